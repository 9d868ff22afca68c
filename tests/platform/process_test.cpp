// Starting programs from Windows command lines: the split into arguments as
// a table of the C runtime's cases, then real starts of a recording program
// (arguments, exit codes, descriptors, waits, ending a process group, start
// failures, detached starts).

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/datetime.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "tests/support/temp_root.h"

namespace {

namespace fs = std::filesystem;

struct SplitCase {
  const wchar_t* commandLine;
  std::vector<std::wstring> expected;
};

TEST(CommandLineSplit, FollowsTheWindowsRules) {
  const SplitCase cases[] = {
      {L"prog", {L"prog"}},
      {L"  ", {L""}},
      {L"prog a  b\tc", {L"prog", L"a", L"b", L"c"}},
      {L"prog a   ", {L"prog", L"a"}},
      // The program name: quotes only group, backslashes are ordinary.
      {L"\"C:\\Program Files\\x.exe\" a", {L"C:\\Program Files\\x.exe", L"a"}},
      {L"\"/opt/my prog\\\"x y", {L"/opt/my prog\\x", L"y"}},
      {L"a\\\\\"b c", {L"a\\\\b c"}},
      // The C runtime's own examples.
      {L"p \"abc\" d e", {L"p", L"abc", L"d", L"e"}},
      {L"p a\\\\b d\"e f\"g h", {L"p", L"a\\\\b", L"de fg", L"h"}},
      {L"p a\\\\\\\"b c d", {L"p", L"a\\\"b", L"c", L"d"}},
      {L"p a\\\\\\\\\"b c\" d e", {L"p", L"a\\\\b c", L"d", L"e"}},
      {L"p a\"b\"\" c d", {L"p", L"ab\" c d"}},
      // Empty quoted arguments and quotes that run to the end.
      {L"p \"\" x", {L"p", L"", L"x"}},
      {L"p \"a b", {L"p", L"a b"}},
      {L"p \\\\server\\share", {L"p", L"\\\\server\\share"}},
      {L"p tail\\", {L"p", L"tail\\"}},
  };
  for (const SplitCase& c : cases) {
    EXPECT_EQ(platform::SplitCommandLine(std::wstring_view(c.commandLine)), c.expected) << c.commandLine;
  }
}

TEST(CommandLineSplit, LiteralSpansNeverSplitQuoteOrEscape) {
  // p "<in>\<name>" <name>, with the inserted parts marked literal.
  const std::wstring name = L"a b \"c\" $(x);\\";
  std::wstring line = L"p \"/in/";
  const int first = static_cast<int>(line.size());
  line += name + L"\" ";
  const int second = static_cast<int>(line.size());
  line += name + L" last";
  const auto arguments = platform::SplitCommandLine(
      std::wstring_view(line), {{first, static_cast<int>(name.size())}, {second, static_cast<int>(name.size())}});
  EXPECT_EQ(arguments, (std::vector<std::wstring>{L"p", L"/in/" + name, name, L"last"}));

  // The same bytes with 8-bit text.
  const auto narrow = platform::SplitCommandLine(std::string_view("p x\"y z"), {{3, 1}});
  EXPECT_EQ(narrow, (std::vector<std::string>{"p", "x\"y", "z"}));
}

// An ended process that nobody reaped yet (init in a container may not).
bool Zombie(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

class Handle {
 public:
  explicit Handle(HANDLE h = nullptr) : h_(h) {}
  ~Handle() {
    if (h_ != nullptr) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

class ProcessStart : public ::testing::Test {
 protected:
  std::string Recorder() const { return (testsupport::BuildDir() / "bin" / "argument_recorder").string(); }
  std::string Log() const { return (root_.path() / "log").string(); }
  std::string LogText() const { return testsupport::ReadFileBytes(root_.path() / "log"); }

  // Starts a command line, keeping both handles; false with the code.
  bool Start(const std::string& commandLine, DWORD* error = nullptr) {
    std::string buffer = commandLine;
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
      if (error != nullptr) *error = GetLastError();
      return false;
    }
    process_ = std::make_unique<Handle>(info.hProcess);
    thread_ = std::make_unique<Handle>(info.hThread);
    pid_ = info.dwProcessId;
    return true;
  }

  DWORD ExitCode() {
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(process_->get(), &code));
    return code;
  }

  testsupport::TempRoot root_;
  std::unique_ptr<Handle> process_, thread_;
  DWORD pid_ = 0;
};

TEST_F(ProcessStart, ArgumentsArriveAsSplitWithNoShellAndNoDescriptors) {
  // A descriptor of ours that is not close-on-exec must not reach the child.
  HANDLE held = CreateFileW((root_.path() / "held").wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const std::string marker = (root_.path() / "x").string();
  ASSERT_TRUE(Start(Recorder() + " --exit 7 " + Log() + " \"a b\" $(touch " + marker + ") ;|&> *"));
  EXPECT_EQ(WaitForSingleObject(process_->get(), INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(thread_->get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(ExitCode(), 7u);
  CloseHandle(held);
  EXPECT_EQ(LogText(), std::string("a b\0$(touch\0", 12) + marker + std::string(")\0;|&>\0*\0fds=0\n", 15));
  EXPECT_FALSE(fs::exists(marker));
}

TEST_F(ProcessStart, StillActiveUntilTerminatedAndTheWholeGroupEnds) {
  ASSERT_TRUE(Start(Recorder() + " --hang-with-helper " + Log()));
  EXPECT_EQ(ExitCode(), STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(process_->get(), 0), WAIT_TIMEOUT);
  // The helper is started once the record is written.
  for (int i = 0; i < 2000 && LogText().find("helper=") == std::string::npos; ++i) Sleep(5);
  const std::string log = LogText();
  const size_t at = log.find("helper=");
  ASSERT_NE(at, std::string::npos);
  const pid_t helper = std::stoi(log.substr(at + 7));
  ASSERT_EQ(kill(helper, 0), 0);

  ASSERT_TRUE(TerminateProcess(process_->get(), 258));
  EXPECT_EQ(WaitForSingleObject(process_->get(), INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(ExitCode(), 258u);
  // The helper is not our child: it is gone once the kill reached it and
  // init reaped it.
  bool gone = false;
  for (int i = 0; i < 2000 && !gone; ++i) {
    gone = kill(helper, 0) != 0 || Zombie(helper);
    if (!gone) Sleep(5);
  }
  EXPECT_TRUE(gone);
}

TEST_F(ProcessStart, WaitsForAnyOfAProcessAndAnEvent) {
  ASSERT_TRUE(Start(Recorder() + " --hang " + Log()));
  Handle stop(CreateEventW(nullptr, TRUE, TRUE, nullptr));
  HANDLE both[] = {process_->get(), stop.get()};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
  ASSERT_TRUE(ResetEvent(stop.get()));
  ASSERT_TRUE(TerminateProcess(process_->get(), 1223));
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(ExitCode(), 1223u);
}

TEST_F(ProcessStart, BareNamesComeFromPathOnly) {
  fs::copy_file(Recorder(), root_.path() / "recorder_copy");
  const std::string saved = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  const std::string cwd = fs::current_path().string();
  fs::current_path(root_.path());
  setenv("PATH", "/nonexistent", 1);
  DWORD error = 0;
  EXPECT_FALSE(Start("recorder_copy " + Log(), &error));
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  setenv("PATH", ("/nonexistent::" + root_.path().string()).c_str(), 1);
  EXPECT_TRUE(Start("recorder_copy " + Log() + " found"));
  setenv("PATH", saved.c_str(), 1);
  fs::current_path(cwd);
  ASSERT_TRUE(process_);
  EXPECT_EQ(WaitForSingleObject(process_->get(), INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(LogText(), std::string("found\0fds=0\n", 12));
}

TEST_F(ProcessStart, StartFailuresGiveTheirCodes) {
  const fs::path script = root_.WriteFile("script", "touch " + (root_.path() / "ran").string() + "\n");
  fs::permissions(script, fs::perms::owner_all);
  const fs::path plain = root_.WriteFile("plain", "data");
  fs::permissions(plain, fs::perms::owner_read | fs::perms::owner_write);
  struct Case {
    std::string commandLine;
    DWORD code;
  };
  const Case cases[] = {
      {(root_.path() / "missing").string(), ERROR_FILE_NOT_FOUND},
      {"no_such_program_anywhere_here", ERROR_FILE_NOT_FOUND},
      {plain.string(), ERROR_ACCESS_DENIED},
      {root_.path().string(), ERROR_ACCESS_DENIED},
      // A text file without "#!" is no program: never handed to a shell.
      {script.string(), ERROR_BAD_EXE_FORMAT},
      {"", ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    DWORD error = 0;
    EXPECT_FALSE(Start(c.commandLine, &error)) << c.commandLine;
    EXPECT_EQ(error, c.code) << c.commandLine;
  }
  EXPECT_FALSE(fs::exists(root_.path() / "ran"));
}

// Without a usable null device for its streams the program never runs, and
// the code says so rather than reading as a missing program.
TEST_F(ProcessStart, StartWithoutANullDeviceFailsWithItsOwnCode) {
  const fs::path notDevice = root_.WriteFile("not_a_device", "");
  const std::string ran = (root_.path() / "ran").string();
  for (const std::string& device : {(root_.path() / "missing").string(), notDevice.string()}) {
    PROCESS_INFORMATION info{};
    SetLastError(0);
    EXPECT_FALSE(platform::CreateProcessFromArguments({Recorder(), "--touch", ran, Log()}, &info, device.c_str()))
        << device;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_UNIT)) << device;
  }
  EXPECT_FALSE(fs::exists(ran));
  EXPECT_FALSE(fs::exists(Log()));
}

// Detached starts (service processes): the program must not keep its
// starter's streams, or a starter reading them to their end waits as long as
// the program runs.
TEST_F(ProcessStart, DetachedProgramRunsOnTheNullDeviceWithNothingOfItsStarter) {
  int held[2];
  ASSERT_EQ(pipe(held), 0);  // not close-on-exec
  const std::string done = (root_.path() / "done").string();
  const DWORD pid =
      platform::SpawnDetached({Recorder(), "--streams", "--touch", done, Log(), "a b"}, {"QELM_UNUSED=1"});
  close(held[0]);
  close(held[1]);
  ASSERT_NE(pid, 0u) << GetLastError();
  // Not our child: nothing for us to wait for.
  int status = 0;
  EXPECT_EQ(waitpid(static_cast<pid_t>(pid), &status, WNOHANG), -1);
  for (int i = 0; i < 4000 && !fs::exists(done); ++i) Sleep(5);
  ASSERT_TRUE(fs::exists(done));
  EXPECT_EQ(LogText(), std::string("a b\0fds=0 streams=/dev/null,/dev/null,/dev/null\n", 48));
}

TEST_F(ProcessStart, DetachedStartFailsWithoutRunningTheProgram) {
  const fs::path script = root_.WriteFile("script", "touch " + (root_.path() / "ran").string() + "\n");
  fs::permissions(script, fs::perms::owner_all);
  const fs::path notDevice = root_.WriteFile("not_a_device", "");
  const std::string ran = (root_.path() / "ran").string();
  struct Case {
    const char* what;
    std::vector<std::string> arguments;
    std::string nullDevice;
    DWORD code;
  };
  const Case cases[] = {
      {"no null device", {Recorder(), "--touch", ran, Log()}, (root_.path() / "missing").string(), ERROR_BAD_UNIT},
      {"a file for the null device", {Recorder(), "--touch", ran, Log()}, notDevice.string(), ERROR_BAD_UNIT},
      {"missing program", {(root_.path() / "missing").string()}, "/dev/null", ERROR_FILE_NOT_FOUND},
      {"no program", {script.string()}, "/dev/null", ERROR_BAD_EXE_FORMAT},
      {"no arguments", {}, "/dev/null", ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(platform::SpawnDetached(c.arguments, {}, c.nullDevice.c_str()), 0u) << c.what;
    EXPECT_EQ(GetLastError(), c.code) << c.what;
  }
  EXPECT_FALSE(fs::exists(ran));
  EXPECT_FALSE(fs::exists(Log()));
}

TEST(DiskFreeSpace, ReportsTheVolumeOfAFolder) {
  ULARGE_INTEGER available{}, total{}, free{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(L"/tmp", &available, &total, &free));
  EXPECT_GT(total.QuadPart, 0u);
  EXPECT_LE(available.QuadPart, free.QuadPart);
  EXPECT_LE(free.QuadPart, total.QuadPart);
  EXPECT_FALSE(GetDiskFreeSpaceExW(L"/no/such/folder", &available, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

}  // namespace
