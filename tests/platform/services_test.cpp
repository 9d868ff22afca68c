// The service manager stand-in, driven through its Windows calls against a
// real service process (tests/programs/fake_service).

#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/registry.h"
#include "platform/security_descriptors.h"
#include "platform/service_control.h"
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

  // The service entry's "Environment" (REG_MULTI_SZ), as an administrator
  // configures it.
  static void SetEnvironment(const std::wstring& name, const std::vector<std::wstring>& entries) {
    std::string bytes;
    for (const std::wstring& entry : entries) bytes += platform::WideToUtf16Le(entry) + std::string(2, '\0');
    bytes.append(2, '\0');
    const std::wstring path = L"SYSTEM\\CurrentControlSet\\Services\\" + name;
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, L"Environment", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }

  // The environment the fake service found, sorted.
  std::vector<std::string> ServiceEnvironment() const {
    std::vector<std::string> lines;
    std::istringstream in(testsupport::ReadFileBytes(root_.path() / "fake_service.env"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
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
  ScHandle service = Create(L"qelmservice-Exit");
  SetEnvironment(L"qelmservice-Exit", {L"FAKE_SERVICE_EXIT=0xE171800B"});
  ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr));
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING));
  SERVICE_STATUS answer{};
  ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &answer));
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_STOPPED));
  SERVICE_STATUS_PROCESS status = Status(service.get());
  EXPECT_EQ(status.dwWin32ExitCode, ERROR_SERVICE_SPECIFIC_ERROR);
  EXPECT_EQ(status.dwServiceSpecificExitCode, 0xE171800Bu);
}

// A handler registered with a context gets that context at the stop request:
// the service finds its stop event through it and stops.
TEST_F(ServicesTest, HandlerWithAContextStopsTheService) {
  ScHandle service = Create(L"qelmservice-Context");
  SetEnvironment(L"qelmservice-Context", {L"FAKE_SERVICE_HANDLER_EX=1", L"FAKE_SERVICE_EXIT=0xE1718001"});
  ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr));
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING));
  SERVICE_STATUS answer{};
  ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &answer));
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_STOPPED));
  EXPECT_EQ(Status(service.get()).dwServiceSpecificExitCode, 0xE1718001u);
}

// Sets variables of this process for the object's lifetime ("NAME=value";
// "NAME" alone unsets).
class ScopedVariables {
 public:
  explicit ScopedVariables(const std::vector<std::string>& assignments) {
    for (const std::string& assignment : assignments) {
      const size_t equals = assignment.find('=');
      const std::string name = assignment.substr(0, equals);
      const char* old = std::getenv(name.c_str());
      saved_.push_back({name, old != nullptr, old != nullptr ? old : ""});
      if (equals == std::string::npos)
        unsetenv(name.c_str());
      else
        setenv(name.c_str(), assignment.c_str() + equals + 1, 1);
    }
  }
  ~ScopedVariables() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->had)
        setenv(it->name.c_str(), it->value.c_str(), 1);
      else
        unsetenv(it->name.c_str());
    }
  }
  ScopedVariables(const ScopedVariables&) = delete;
  ScopedVariables& operator=(const ScopedVariables&) = delete;

 private:
  struct Saved {
    std::string name;
    bool had;
    std::string value;
  };
  std::vector<Saved> saved_;
};

// A service starts with what its entry gives, whatever its starter's
// environment holds: the creator's store, temporary folder and locale are
// recorded in the entry with a fixed search path, and an administrator may
// change them there.
TEST_F(ServicesTest, AServiceStartsWithItsEntrysEnvironmentNotItsStarters) {
  const std::string home = (root_.path() / "config").string(), tmp = (root_.path() / "tmp").string();
  const std::string defaultPath = "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
  ScHandle service;
  {
    ScopedVariables creator({"LANG=ru_RU.UTF-8", "LC_ALL", "LC_CTYPE"});
    service = Create(L"qelmservice-Env");
  }
  ASSERT_TRUE(service) << GetLastError();
  const std::string root = "QELM_ROOT=" + root_.path().string();

  struct Case {
    const char* what;
    std::vector<std::wstring> entry;  // the entry's "Environment"; empty: as created
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"as created", {}, {"LANG=ru_RU.UTF-8", defaultPath, root, "TMPDIR=" + tmp, "XDG_CONFIG_HOME=" + home}},
      {"as an administrator changed it",
       {L"TMPDIR=/var/tmp", L"TZ=UTC", L"QELM_ROOT=/elsewhere", L"QELM_SERVICE_NAME=other", L"=nameless",
        L"no assignment", L"QELM_PSE_PASSWORD=секрет"},
       {"PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", root, "TMPDIR=/var/tmp", "TZ=UTC"}},
      {"with its own search path", {L"PATH=/opt/bank/bin"}, {"PATH=/opt/bank/bin", root}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.entry.empty()) SetEnvironment(L"qelmservice-Env", c.entry);
    bool started = false;
    {
      // What a user allowed to start the service might set.
      ScopedVariables starter({"QELM_TEST_FAIL=ORLAX_InitializeEx=0xE0700020", "QELM_CLOCK_FILE=/tmp/clock",
                               "LD_PRELOAD=/tmp/libsteer.so", "PATH=/tmp", "TMPDIR=/tmp/x", "HOME=/tmp",
                               "XDG_CONFIG_HOME=/tmp", "LANG=C", "TZ=Asia/Tokyo", "QELM_NET_TIMEOUT=1"});
      started = StartServiceW(service.get(), 0, nullptr);
    }
    ASSERT_TRUE(started) << GetLastError();
    ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING));
    std::vector<std::string> expected = c.expected;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ServiceEnvironment(), expected);
    SERVICE_STATUS answer{};
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &answer));
    ASSERT_TRUE(WaitForState(service.get(), SERVICE_STOPPED));
  }
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

// Grants name users by their id: a grant made to a name holds for that
// user's id alone, a user later made under the same name is someone else,
// and an entry that names a user by name (as older stores hold them) grants
// nothing and goes when the user is granted again.
TEST(SecurityDescriptorTest, GrantsNameUsersByTheirId) {
  auto merge = [](const std::vector<platform::AccessEntry>& old, const wchar_t* name, DWORD rights, ACCESS_MODE mode) {
    const std::vector<BYTE> descriptor = platform::SelfRelativeDescriptor(old);
    std::wstring trustee = name;
    EXPLICIT_ACCESS_W access{};
    BuildExplicitAccessWithNameW(&access, trustee.data(), rights, mode, NO_INHERITANCE);
    PACL merged = nullptr;
    EXPECT_EQ(SetEntriesInAclW(1, &access, const_cast<PACL>(platform::DescriptorDacl(descriptor.data(), descriptor.size())),
                               &merged),
              ERROR_SUCCESS);
    std::vector<platform::AccessEntry> entries = platform::ReadAccessEntries(merged);
    std::free(merged);
    return entries;
  };
  const std::vector<platform::AccessEntry> byName{{0, 0x30030, "nobody"}};
  EXPECT_EQ(platform::GrantedRightsOf(platform::SelfRelativeDescriptor(byName), 65534), 0u);

  const std::vector<platform::AccessEntry> granted = merge(byName, L"nobody", 0x30030, SET_ACCESS);
  ASSERT_EQ(granted.size(), 1u);
  EXPECT_EQ(granted[0].trustee, "S-1-22-1-65534");
  const std::vector<BYTE> descriptor = platform::SelfRelativeDescriptor(granted);
  EXPECT_EQ(platform::GrantedRightsOf(descriptor, 65534), 0x30030u);
  EXPECT_EQ(platform::GrantedRightsOf(descriptor, 65534, 0x4), 0x30034u);
  EXPECT_EQ(platform::GrantedRightsOf(descriptor, 54321, 0x4), 0x4u);
  EXPECT_EQ(platform::GrantedRightsOf(descriptor, 0), 0xFFFFFFFFu);

  const std::vector<BYTE> denied = platform::SelfRelativeDescriptor(merge(granted, L"nobody", 0x24, DENY_ACCESS));
  EXPECT_EQ(platform::GrantedRightsOf(denied, 65534, 0x4), 0x30010u);
  EXPECT_TRUE(merge(granted, L"nobody", 0, REVOKE_ACCESS).empty());

  std::uint32_t uid = 0;
  EXPECT_TRUE(platform::TrusteeUser("S-1-22-1-4294967295", uid));
  EXPECT_EQ(uid, 4294967295u);
  for (const char* text : {"S-1-22-1-", "S-1-22-1-x", "S-1-22-1-4294967296", "S-1-22-1-01", "S-1-22-2-5", "nobody"})
    EXPECT_FALSE(platform::TrusteeUser(text, uid)) << text;
}

// A user other than the administrator: never starts a service (it would run
// as them), and stops one only when its DACL grants their id the stop right,
// through the service's control channel, where the service itself checks
// who asks.
class ServiceUsersTest : public ServicesTest {
 protected:
  static constexpr uid_t kGranted = 65534;  // nobody
  static constexpr uid_t kStranger = 54321;  // no account

  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
    ServicesTest::SetUp();
  }

  // Runs call in a child process as the user (its group the same number)
  // and returns the code it gives.
  static DWORD AsUser(uid_t uid, const std::function<DWORD()>& call) {
    int channel[2];
    if (pipe(channel) != 0) return 0xFFFFFFFF;
    const pid_t pid = fork();
    if (pid == 0) {
      close(channel[0]);
      DWORD code = 0xFFFFFFFE;
      if (setgroups(0, nullptr) == 0 && setgid(uid) == 0 && setuid(uid) == 0) code = call();
      (void)!write(channel[1], &code, sizeof(code));
      _exit(0);
    }
    close(channel[1]);
    DWORD code = 0xFFFFFFFF;
    if (read(channel[0], &code, sizeof(code)) != sizeof(code)) code = 0xFFFFFFFF;
    close(channel[0]);
    waitpid(pid, nullptr, 0);
    return code;
  }

  // The call made with a service handle opened as the user with the rights.
  static DWORD WithService(const wchar_t* name, DWORD rights, const std::function<BOOL(SC_HANDLE)>& call) {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return GetLastError();
    ScHandle service(OpenServiceW(manager.get(), name, rights));
    if (!service) return GetLastError();
    return call(service.get()) ? 0 : GetLastError();
  }

  static void Grant(SC_HANDLE service, const wchar_t* user) {
    std::wstring name = user;
    EXPLICIT_ACCESS_W access{};
    BuildExplicitAccessWithNameW(&access, name.data(), 0x30030, SET_ACCESS, NO_INHERITANCE);
    PACL acl = nullptr;
    ASSERT_EQ(SetEntriesInAclW(1, &access, nullptr, &acl), ERROR_SUCCESS);
    SECURITY_DESCRIPTOR descriptor{};
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE));
    ASSERT_TRUE(SetServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, &descriptor));
    std::free(acl);
  }

  // The other users must reach this test's private store.
  void OpenUpTheRoot() const {
    std::filesystem::permissions(root_.path(), std::filesystem::perms::all);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root_.path()))
      std::filesystem::permissions(entry.path(), std::filesystem::perms::all);
  }

  std::filesystem::path ControlSocket() const {
    for (const auto& entry : std::filesystem::directory_iterator(root_.path() / "services"))
      if (entry.path().extension() == ".ctl") return entry.path();
    return {};
  }
};

TEST_F(ServiceUsersTest, AGrantedUserStopsTheServiceAndNoOtherUserCan) {
  ScHandle service = Create(L"qelmservice-Users");
  ASSERT_TRUE(service);
  Grant(service.get(), L"nobody");
  OpenUpTheRoot();
  const wchar_t* name = L"qelmservice-Users";

  EXPECT_EQ(AsUser(kGranted, [&] { return WithService(name, SERVICE_START, [](SC_HANDLE s) {
              return StartServiceW(s, 0, nullptr);
            }); }),
            ERROR_PRIVILEGE_NOT_HELD);
  EXPECT_EQ(Status(service.get()).dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));

  ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING));
  const std::filesystem::path socket = ControlSocket();
  ASSERT_FALSE(socket.empty());

  auto stop = [&](SC_HANDLE s) {
    SERVICE_STATUS answer{};
    return ControlService(s, SERVICE_CONTROL_STOP, &answer);
  };
  // Every user may look; a stranger cannot stop it through the manager, nor
  // by asking the service directly, which checks who asks.
  EXPECT_EQ(AsUser(kStranger, [&] { return WithService(name, SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS, [](SC_HANDLE s) {
              SERVICE_STATUS status{};
              return QueryServiceStatus(s, &status);
            }); }),
            0u);
  EXPECT_EQ(AsUser(kStranger, [&] { return WithService(name, SERVICE_STOP, stop); }), ERROR_ACCESS_DENIED);
  EXPECT_EQ(AsUser(kStranger, [&] { return platform::SendServiceControl(socket.string(), SERVICE_CONTROL_STOP); }),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(AsUser(kGranted, [&] { return platform::SendServiceControl(socket.string(), SERVICE_CONTROL_INTERROGATE); }),
            ERROR_INVALID_SERVICE_CONTROL);
  EXPECT_EQ(Status(service.get()).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

  EXPECT_EQ(AsUser(kGranted, [&] { return WithService(name, SERVICE_STOP, stop); }), 0u);
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_STOPPED));
  EXPECT_EQ(AsUser(kGranted, [&] { return WithService(name, SERVICE_STOP, stop); }), ERROR_SERVICE_NOT_ACTIVE);
}

}  // namespace
