#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/sync.h"

extern char** environ;

namespace platform {
namespace {

// ----- splitting

template <typename Char>
class Splitter {
 public:
  Splitter(std::basic_string_view<Char> text, const std::vector<LiteralSpan>& literal)
      : text_(text), literal_(text.size(), false) {
    for (const LiteralSpan& span : literal) {
      if (span.start < 0 || span.length <= 0) continue;
      for (size_t i = static_cast<size_t>(span.start);
           i < text.size() && i < static_cast<size_t>(span.start) + static_cast<size_t>(span.length); ++i)
        literal_[i] = true;
    }
  }

  std::vector<std::basic_string<Char>> Split() {
    std::vector<std::basic_string<Char>> arguments;
    size_t i = 0;
    if (text_.empty()) return arguments;
    // The program name: no escapes, a quote only toggles.
    std::basic_string<Char> name;
    bool quoted = false;
    for (; i < text_.size(); ++i) {
      const Char c = text_[i];
      if (!literal_[i] && c == Char('"')) {
        quoted = !quoted;
      } else if (!literal_[i] && !quoted && IsBlank(c)) {
        break;
      } else {
        name += c;
      }
    }
    arguments.push_back(name);

    for (;;) {
      while (i < text_.size() && !literal_[i] && IsBlank(text_[i])) ++i;
      if (i >= text_.size()) break;
      std::basic_string<Char> argument;
      quoted = false;
      while (i < text_.size()) {
        const Char c = text_[i];
        if (literal_[i]) {
          argument += c;
          ++i;
        } else if (c == Char('\\')) {
          size_t run = 0;
          while (i < text_.size() && !literal_[i] && text_[i] == Char('\\')) {
            ++run;
            ++i;
          }
          if (i < text_.size() && !literal_[i] && text_[i] == Char('"')) {
            argument.append(run / 2, Char('\\'));
            if (run % 2 == 1) {
              argument += Char('"');
              ++i;
            }
          } else {
            argument.append(run, Char('\\'));
          }
        } else if (c == Char('"')) {
          if (quoted && i + 1 < text_.size() && !literal_[i + 1] && text_[i + 1] == Char('"')) {
            argument += Char('"');
            i += 2;
          } else {
            quoted = !quoted;
            ++i;
          }
        } else if (!quoted && IsBlank(c)) {
          break;
        } else {
          argument += c;
          ++i;
        }
      }
      arguments.push_back(std::move(argument));
    }
    return arguments;
  }

 private:
  static bool IsBlank(Char c) { return c == Char(' ') || c == Char('\t'); }

  std::basic_string_view<Char> text_;
  std::vector<bool> literal_;
};

// ----- processes

// What both handles of a started program share.
struct ProcessState {
  pid_t pid = 0;
  bool ended = false;      // seen ended by waitid (still a zombie until reaped)
  DWORD exitCode = 0;
  bool terminated = false;  // TerminateProcess ended it
  DWORD terminateCode = 0;

  ~ProcessState() {
    if (pid <= 0) return;
    if (ended) {
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
      return;
    }
    // Still running: Windows leaves it running; someone must reap it when
    // it ends, or it stays a zombie for as long as the service runs.
    const pid_t child = pid;
    try {
      std::thread([child] {
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
      }).detach();
    } catch (const std::exception&) {
      // Without a thread the zombie waits for the service's end.
    }
  }

  // Looks at the program without reaping it, so that its pid, and the id of
  // its process group, stay reserved while a handle can still signal it.
  // Called with Waitable::WaitLock() held.
  bool Poll() {
    if (ended) return true;
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
      if (errno == ECHILD) {  // reaped by someone else: nothing more to learn
        ended = true;
        pid = 0;
      }
      return ended;
    }
    if (info.si_pid != pid) return false;
    ended = true;
    if (terminated)
      exitCode = terminateCode;
    else if (info.si_code == CLD_EXITED)
      exitCode = static_cast<DWORD>(info.si_status);
    else
      exitCode = 128 + static_cast<DWORD>(info.si_status);
    return true;
  }
};

class ProcessObject : public Waitable {
 public:
  explicit ProcessObject(std::shared_ptr<ProcessState> state) : state_(std::move(state)) {}
  bool IsSignaled(DWORD) override { return state_->Poll(); }
  bool NeedsPolling() const override { return true; }
  ProcessState& State() { return *state_; }

 private:
  std::shared_ptr<ProcessState> state_;
};

template <typename T>
T Fail(DWORD code, T value) {
  SetLastError(code);
  return value;
}

DWORD SpawnErrorCode(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case ENOEXEC:
    case ELIBBAD:
      return ERROR_BAD_EXE_FORMAT;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return WinErrorFromErrno(err);
  }
}

// A regular file that we may execute: 0; otherwise the errno to report.
int CheckProgram(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return errno;
  if (S_ISDIR(st.st_mode)) return EACCES;
  if (access(path.c_str(), X_OK) != 0) return errno;
  return 0;
}

// The program's path: a name with "/" as it is, a bare name from PATH.
// Returns 0 or the errno to report.
int FindProgram(const std::string& name, std::string& path) {
  if (name.find('/') != std::string::npos) {
    path = name;
    return CheckProgram(path);
  }
  const char* variable = std::getenv("PATH");
  std::string folders = variable != nullptr ? variable : "";
  int found = ENOENT;
  size_t start = 0;
  while (start <= folders.size()) {
    size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    std::string folder = folders.substr(start, end - start);
    start = end + 1;
    if (folder.empty()) continue;  // an empty entry would mean the current folder
    std::string candidate = folder + "/" + name;
    int err = CheckProgram(candidate);
    if (err == 0) {
      path = candidate;
      return 0;
    }
    if (err == EACCES) found = EACCES;  // keep looking; report it if nothing runs
  }
  return found;
}

class SpawnSettings {
 public:
  SpawnSettings() {
    actionsReady_ = posix_spawn_file_actions_init(&actions_) == 0;
    attributesReady_ = posix_spawnattr_init(&attributes_) == 0;
  }
  ~SpawnSettings() {
    if (actionsReady_) posix_spawn_file_actions_destroy(&actions_);
    if (attributesReady_) posix_spawnattr_destroy(&attributes_);
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;

  // 0 or an errno.
  int Prepare(const char* nullDevice) {
    if (!actionsReady_ || !attributesReady_) return ENOMEM;
    for (int fd = 0; fd <= 2; ++fd) {
      int rc = posix_spawn_file_actions_addopen(&actions_, fd, nullDevice, fd == 0 ? O_RDONLY : O_WRONLY, 0);
      if (rc != 0) return rc;
    }
    if (int rc = posix_spawn_file_actions_addclosefrom_np(&actions_, 3)) return rc;
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    if (int rc = posix_spawnattr_setsigmask(&attributes_, &none)) return rc;
    if (int rc = posix_spawnattr_setsigdefault(&attributes_, &all)) return rc;
    if (int rc = posix_spawnattr_setpgroup(&attributes_, 0)) return rc;
    return posix_spawnattr_setflags(&attributes_,
                                    POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  const posix_spawn_file_actions_t* Actions() const { return &actions_; }
  const posix_spawnattr_t* Attributes() const { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_{};
  posix_spawnattr_t attributes_{};
  bool actionsReady_ = false;
  bool attributesReady_ = false;
};

bool ReadAll(int fd, void* buffer, size_t size) {
  auto* p = static_cast<char*>(buffer);
  while (size > 0) {
    ssize_t n = read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// What the detached program reports through the status pipe when it cannot
// run, with the errno of the step.
enum DetachedStep : int32_t { kStreamsStep = 1, kExecStep = 2 };

[[noreturn]] void FailDetached(int statusPipe, int32_t step, int32_t err) {
  const int32_t report[2] = {step, err};
  (void)!write(statusPipe, report, sizeof(report));
  _exit(127);
}

// The program's side of SpawnDetached, in the second child: only
// async-signal-safe calls. Never returns.
[[noreturn]] void RunDetached(const char* path, char* const* argv, char* const* envp, const char* nullDevice,
                              int statusPipe) {
  auto failAt = [&statusPipe](int32_t step, int32_t err) { FailDetached(statusPipe, step, err); };
  // A starter without standard streams may have been given the pipe as one
  // of 0-2: it moves above them before they are replaced.
  if (statusPipe <= 2) {
    statusPipe = fcntl(statusPipe, F_DUPFD_CLOEXEC, 3);
    if (statusPipe < 0) _exit(127);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int s : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD}) signal(s, SIG_DFL);
  // The starter's streams must not stay: a starter reading its pipe to the
  // end would wait as long as the program runs. Without the null device the
  // start fails instead.
  int null = open(nullDevice, O_RDWR | O_NOCTTY);
  if (null < 0) failAt(kStreamsStep, errno);
  struct stat info {};
  if (fstat(null, &info) != 0 || !S_ISCHR(info.st_mode)) failAt(kStreamsStep, ENODEV);
  for (int fd = 0; fd <= 2; ++fd)
    if (dup2(null, fd) < 0) failAt(kStreamsStep, errno);
  if (null > 2) close(null);
  // Every other descriptor of the starter goes; the status pipe closes on
  // exec.
  if (statusPipe > 3) close_range(3, static_cast<unsigned>(statusPipe) - 1, 0);
  close_range(static_cast<unsigned>(statusPipe) + 1, ~0U, 0);
  execve(path, argv, envp);
  FailDetached(statusPipe, kExecStep, errno);
}

}  // namespace

std::vector<std::wstring> SplitCommandLine(std::wstring_view commandLine, const std::vector<LiteralSpan>& literal) {
  return Splitter<wchar_t>(commandLine, literal).Split();
}

std::vector<std::string> SplitCommandLine(std::string_view commandLine, const std::vector<LiteralSpan>& literal) {
  return Splitter<char>(commandLine, literal).Split();
}

DWORD SpawnDetached(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                    const char* nullDevice) {
  if (arguments.empty() || arguments[0].empty()) return Fail(ERROR_INVALID_PARAMETER, DWORD{0});
  std::vector<char*> argv, envp;
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  // Two pipes: the middle child reports the program's pid on one, the
  // program reports a failed start on the other. On one pipe a program that
  // fails at once could write its report before the pid arrives.
  int pidPipe[2], statusPipe[2];
  if (pipe2(pidPipe, O_CLOEXEC) != 0) return Fail(SpawnErrorCode(errno), DWORD{0});
  if (pipe2(statusPipe, O_CLOEXEC) != 0) {
    int err = errno;
    close(pidPipe[0]);
    close(pidPipe[1]);
    return Fail(SpawnErrorCode(err), DWORD{0});
  }
  pid_t middle = fork();
  if (middle < 0) {
    int err = errno;
    for (int fd : {pidPipe[0], pidPipe[1], statusPipe[0], statusPipe[1]}) close(fd);
    return Fail(SpawnErrorCode(err), DWORD{0});
  }
  if (middle == 0) {
    // A new session, and a second child that init adopts once this one ends:
    // the program outlives its starter and is never its zombie.
    close(pidPipe[0]);
    close(statusPipe[0]);
    setsid();
    pid_t program = fork();
    if (program == 0) {
      close(pidPipe[1]);
      RunDetached(argv[0], argv.data(), envp.data(), nullDevice, statusPipe[1]);
    }
    close(statusPipe[1]);
    int32_t pid = program;
    (void)!write(pidPipe[1], &pid, sizeof(pid));
    _exit(program < 0 ? 1 : 0);
  }
  close(pidPipe[1]);
  close(statusPipe[1]);
  int32_t pid = 0;
  int32_t report[2] = {0, 0};
  const bool gotPid = ReadAll(pidPipe[0], &pid, sizeof(pid));
  // The status pipe ends empty once the program runs (it closes on exec).
  const bool failed = gotPid && pid > 0 && ReadAll(statusPipe[0], report, sizeof(report));
  close(pidPipe[0]);
  close(statusPipe[0]);
  int status = 0;
  while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  if (!gotPid || pid <= 0) return Fail(ERROR_GEN_FAILURE, DWORD{0});
  if (failed) return Fail(report[0] == kStreamsStep ? ERROR_BAD_UNIT : SpawnErrorCode(report[1]), DWORD{0});
  return static_cast<DWORD>(pid);
}

BOOL CreateProcessFromArguments(const std::vector<std::string>& arguments, LPPROCESS_INFORMATION information,
                                const char* nullDevice) {
  if (information == nullptr || arguments.empty() || arguments[0].empty())
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  std::string path;
  if (int err = FindProgram(arguments[0], path)) return Fail(SpawnErrorCode(err), FALSE);
  // The child opens the null device for its streams; when that open fails
  // the spawn reports the open's errno, which would read as a missing
  // program. Tell the two apart before starting anything.
  struct stat device{};
  if (stat(nullDevice, &device) != 0 || !S_ISCHR(device.st_mode)) return Fail(ERROR_BAD_UNIT, FALSE);

  try {
    SpawnSettings settings;
    if (int err = settings.Prepare(nullDevice)) return Fail(SpawnErrorCode(err), FALSE);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    auto state = std::make_shared<ProcessState>();
    pid_t pid = 0;
    // posix_spawn (not posix_spawnp): the path is settled above, and a file
    // that is no program must fail, never be handed to a shell.
    int err = posix_spawn(&pid, path.c_str(), settings.Actions(), settings.Attributes(), argv.data(), environ);
    if (err != 0) return Fail(SpawnErrorCode(err), FALSE);
    state->pid = pid;
    HANDLE process = RegisterHandle(std::make_unique<ProcessObject>(state));
    HANDLE thread = RegisterHandle(std::make_unique<ProcessObject>(state));
    information->hProcess = process;
    information->hThread = thread;
    information->dwProcessId = static_cast<DWORD>(pid);
    information->dwThreadId = static_cast<DWORD>(pid);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY, FALSE);
  }
}

}  // namespace platform

namespace {

bool UnsupportedStart(const void* applicationName, LPVOID environment, const void* currentDirectory,
                      const void* commandLine, LPPROCESS_INFORMATION information) {
  return applicationName != nullptr || environment != nullptr || currentDirectory != nullptr ||
         commandLine == nullptr || information == nullptr;
}

}  // namespace

BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                    DWORD, LPVOID environment, LPCSTR currentDirectory, LPSTARTUPINFOA,
                    LPPROCESS_INFORMATION information) {
  if (UnsupportedStart(applicationName, environment, currentDirectory, commandLine, information))
    return platform::Fail(ERROR_INVALID_PARAMETER, FALSE);
  return platform::CreateProcessFromArguments(platform::SplitCommandLine(std::string_view(commandLine)),
                                              information);
}

BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                    BOOL, DWORD, LPVOID environment, LPCWSTR currentDirectory, LPSTARTUPINFOW,
                    LPPROCESS_INFORMATION information) {
  if (UnsupportedStart(applicationName, environment, currentDirectory, commandLine, information))
    return platform::Fail(ERROR_INVALID_PARAMETER, FALSE);
  std::vector<std::string> arguments;
  for (const std::wstring& argument : platform::SplitCommandLine(std::wstring_view(commandLine)))
    arguments.push_back(platform::WideToMultiByte(argument, CP_UTF8));
  return platform::CreateProcessFromArguments(arguments, information);
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
  auto* object = platform::LookupHandleAs<platform::ProcessObject>(process);
  if (object == nullptr) return FALSE;
  if (exitCode == nullptr) return platform::Fail(ERROR_INVALID_PARAMETER, FALSE);
  std::lock_guard guard(platform::Waitable::WaitLock());
  platform::ProcessState& state = object->State();
  *exitCode = state.Poll() ? state.exitCode : STILL_ACTIVE;
  return TRUE;
}

BOOL TerminateProcess(HANDLE process, UINT exitCode) {
  auto* object = platform::LookupHandleAs<platform::ProcessObject>(process);
  if (object == nullptr) return FALSE;
  {
    std::lock_guard guard(platform::Waitable::WaitLock());
    platform::ProcessState& state = object->State();
    if (!state.Poll() && state.pid > 0) {
      state.terminated = true;
      state.terminateCode = exitCode;
      // The group id is the program's pid, held while it is not reaped.
      killpg(state.pid, SIGKILL);
    } else if (state.pid > 0) {
      killpg(state.pid, SIGKILL);  // helpers that outlived it
    }
  }
  platform::Waitable::NotifyWaiters();
  return TRUE;
}

BOOL GetDiskFreeSpaceExW(LPCWSTR directoryName, ULARGE_INTEGER* available, ULARGE_INTEGER* total,
                         ULARGE_INTEGER* totalFree) {
  if (directoryName == nullptr) return platform::Fail(ERROR_INVALID_PARAMETER, FALSE);
  const std::string path = platform::WideToMultiByte(directoryName, CP_UTF8);
  struct statvfs vfs {};
  int rc;
  while ((rc = statvfs(path.c_str(), &vfs)) != 0 && errno == EINTR) {
  }
  if (rc != 0) {
    const DWORD code = errno == ENOENT ? ERROR_PATH_NOT_FOUND : WinErrorFromErrno(errno);
    return platform::Fail(code, FALSE);
  }
  const ULONGLONG unit = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
  if (available != nullptr) available->QuadPart = unit * vfs.f_bavail;
  if (total != nullptr) total->QuadPart = unit * vfs.f_blocks;
  if (totalFree != nullptr) totalFree->QuadPart = unit * vfs.f_bfree;
  return TRUE;
}
