// The service manager stand-in, driven through its Windows calls against a
// real service process (tests/programs/fake_service).

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/errors.h"
#include "platform/services.h"
#include "platform/utf16.h"
#include "tests/support/temp_root.h"

namespace {

struct ScHandleCloser {
  void operator()(SC_HANDLE__* h) const {
    if (h) CloseServiceHandle(h);
  }
};
using ScHandle = std::unique_ptr<SC_HANDLE__, ScHandleCloser>;

class ServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager_) << GetLastError();
    program_ = platform::Utf8ToWide((testsupport::BuildDir() / "bin" / "fake_service").string());
  }

  ScHandle Create(const wchar_t* name, DWORD startType = SERVICE_DEMAND_START) {
    return ScHandle(CreateServiceW(manager_.get(), name, name, SERVICE_ALL_ACCESS,
                                   SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, startType,
                                   SERVICE_ERROR_NORMAL, program_.c_str(), nullptr, nullptr, nullptr,
                                   nullptr, nullptr));
  }

  static SERVICE_STATUS_PROCESS Status(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    EXPECT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                                     sizeof(status), &needed));
    return status;
  }

  // Polls the published status until it reaches the state; the service
  // process runs on its own, so there is no event of ours to wait on.
  static bool WaitForState(SC_HANDLE service, DWORD state) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (Status(service).dwCurrentState == state) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  testsupport::TempRoot root_;
  ScHandle manager_;
  std::wstring program_;
};

TEST_F(ServicesTest, CreateOpenAndDeleteFollowWindowsCodes) {
  ScHandle service = Create(L"qelmservice-Main");
  ASSERT_TRUE(service) << GetLastError();
  EXPECT_FALSE(Create(L"QELMSERVICE-main"));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_EXISTS);

  EXPECT_EQ(OpenServiceW(manager_.get(), L"qelmservice-Other", SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);

  SERVICE_STATUS_PROCESS status = Status(service.get());
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
  SERVICE_STATUS answer{};
  EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_STOP, &answer));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);

  DWORD needed = 0;
  EXPECT_FALSE(QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(needed, sizeof(SERVICE_STATUS_PROCESS));

  EXPECT_TRUE(DeleteService(service.get()));
  EXPECT_EQ(OpenServiceW(manager_.get(), L"qelmservice-Main", SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(ServicesTest, StartRunsTheProgramWithNameAndArgumentsAndStopEndsIt) {
  ScHandle service = Create(L"qelmservice-Банк");
  ASSERT_TRUE(service);
  const wchar_t* args[] = {L"Банк"};
  ASSERT_TRUE(StartServiceW(service.get(), 1, args)) << GetLastError();
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING));
  EXPECT_NE(Status(service.get()).dwProcessId, 0u);

  EXPECT_FALSE(StartServiceW(service.get(), 1, args));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);

  EXPECT_EQ(testsupport::ReadFileBytes(root_.path() / "fake_service.args"), "qelmservice-Банк\nБанк\n");

  SERVICE_STATUS answer{};
  ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &answer)) << GetLastError();
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_STOPPED));
  SERVICE_STATUS_PROCESS status = Status(service.get());
  EXPECT_EQ(status.dwWin32ExitCode, 0u);
  EXPECT_EQ(status.dwProcessId, 0u);
}

TEST_F(ServicesTest, ServiceSpecificExitCodeReachesTheManager) {
  setenv("FAKE_SERVICE_EXIT", "0xE171800B", 1);
  ScHandle service = Create(L"qelmservice-Exit");
  ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr));
  unsetenv("FAKE_SERVICE_EXIT");
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING));
  SERVICE_STATUS answer{};
  ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &answer));
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_STOPPED));
  SERVICE_STATUS_PROCESS status = Status(service.get());
  EXPECT_EQ(status.dwWin32ExitCode, ERROR_SERVICE_SPECIFIC_ERROR);
  EXPECT_EQ(status.dwServiceSpecificExitCode, 0xE171800Bu);
}

TEST_F(ServicesTest, AServiceWhoseProcessDiedReadsAsStopped) {
  ScHandle service = Create(L"qelmservice-Killed");
  ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr));
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING));
  pid_t pid = static_cast<pid_t>(Status(service.get()).dwProcessId);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_STOPPED));
  EXPECT_EQ(Status(service.get()).dwWin32ExitCode, ERROR_PROCESS_ABORTED);
}

TEST_F(ServicesTest, DisabledServiceDoesNotStartAndDeleteOfARunningOneWaitsForItsStop) {
  ScHandle service = Create(L"qelmservice-Flags");
  ASSERT_TRUE(ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE,
                                   nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
  EXPECT_FALSE(StartServiceW(service.get(), 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DISABLED);

  ASSERT_TRUE(ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_DEMAND_START, SERVICE_NO_CHANGE,
                                   nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
  ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr));
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING));
  ASSERT_TRUE(DeleteService(service.get()));
  EXPECT_FALSE(DeleteService(service.get()));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  ScHandle again(OpenServiceW(manager_.get(), L"qelmservice-Flags", SERVICE_ALL_ACCESS));
  EXPECT_TRUE(again) << "a running service stays until it stops";

  SERVICE_STATUS answer{};
  ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &answer));
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_STOPPED));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  ScHandle gone;
  do {
    gone.reset(OpenServiceW(manager_.get(), L"qelmservice-Flags", SERVICE_ALL_ACCESS));
    if (gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (gone && std::chrono::steady_clock::now() < deadline);
  EXPECT_FALSE(gone);
}

TEST_F(ServicesTest, ProgramThatCannotRunFailsTheStartWithItsError) {
  program_ = L"/nonexistent/program";
  ScHandle service = Create(L"qelmservice-Missing");
  EXPECT_FALSE(StartServiceW(service.get(), 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Status(service.get()).dwCurrentState, SERVICE_STOPPED);
}

TEST(ServiceDispatcher, OutsideTheManagerFailsWith1063) {
  unsetenv("QELM_SERVICE_NAME");
  wchar_t name[] = L"x";
  SERVICE_TABLE_ENTRYW table[] = {{name, [](DWORD, LPWSTR*) {}}, {nullptr, nullptr}};
  EXPECT_FALSE(StartServiceCtrlDispatcherW(table));
  EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
}

TEST_F(ServicesTest, DaclEntriesAreMergedAndStoredWithTheService) {
  ScHandle service = Create(L"qelmservice-Acl");
  DWORD needed = 0;
  ASSERT_FALSE(QueryServiceObjectSecurity(service.get(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed));
  ASSERT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  std::vector<BYTE> buffer(needed);
  ASSERT_TRUE(QueryServiceObjectSecurity(service.get(), DACL_SECURITY_INFORMATION, buffer.data(), needed, &needed));
  BOOL present = FALSE, defaulted = FALSE;
  PACL oldAcl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(buffer.data(), &present, &oldAcl, &defaulted));
  ASSERT_TRUE(present);
  WORD before = oldAcl->AceCount;

  wchar_t user[] = L"root";
  EXPLICIT_ACCESS_W access{};
  BuildExplicitAccessWithNameW(&access, user, 0x30030, SET_ACCESS, NO_INHERITANCE);
  PACL newAcl = nullptr;
  ASSERT_EQ(SetEntriesInAclW(1, &access, oldAcl, &newAcl), ERROR_SUCCESS);
  SECURITY_DESCRIPTOR descriptor{};
  ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, newAcl, FALSE));
  ASSERT_TRUE(SetServiceObjectSecurity(service.get(), DACL_SECURITY_INFORMATION, &descriptor));
  std::free(newAcl);

  ASSERT_TRUE(QueryServiceObjectSecurity(service.get(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed) ||
              GetLastError() == ERROR_INSUFFICIENT_BUFFER);
  buffer.assign(needed, 0);
  ASSERT_TRUE(QueryServiceObjectSecurity(service.get(), DACL_SECURITY_INFORMATION, buffer.data(), needed, &needed));
  ASSERT_TRUE(GetSecurityDescriptorDacl(buffer.data(), &present, &oldAcl, &defaulted));
  // The creator (this test's user) had an entry; root now has the merged one.
  EXPECT_GE(oldAcl->AceCount, before);

  wchar_t nobody[] = L"no-such-user-here";
  BuildExplicitAccessWithNameW(&access, nobody, 0x30030, SET_ACCESS, NO_INHERITANCE);
  EXPECT_EQ(SetEntriesInAclW(1, &access, oldAcl, &newAcl), ERROR_NONE_MAPPED);
}

}  // namespace
