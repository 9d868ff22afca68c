#pragma once
// Children that crash. RunKilledMidWrite runs a step in a child process that
// is killed in the middle of a write:
// past `bytes` any write of the child raises SIGXFSZ, and its handler (which
// the layer leaves alone, where it would otherwise ignore the signal) kills
// the process with SIGKILL at once, as a crash or a kill would, with no
// destructor or cleanup run. The parent sees what the kill left on disk.

#include <gtest/gtest.h>

#include <fcntl.h>

#include <csignal>
#include <cstdlib>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

// Runs prepare and then step in a child process that leaves no core file,
// and returns the signal that ended the child, or 0 when the step returned
// (the child then exits with 0).
template <typename Prepare, typename Step>
int RunInChild(Prepare prepare, Step step) {
  const pid_t pid = fork();
  if (pid == 0) {
    rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
    prepare();
    step();
    _exit(0);
  }
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

// The signal that ended the child (SIGKILL for a kill mid-write), or 0 when
// the step returned.
template <typename Step>
int RunKilledMidWrite(rlim_t bytes, Step step) {
  return RunInChild(
      [bytes] {
        std::signal(SIGXFSZ, [](int) { kill(getpid(), SIGKILL); });
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGXFSZ);
        sigprocmask(SIG_UNBLOCK, &signals, nullptr);
        rlimit limit{bytes, bytes};
        setrlimit(RLIMIT_FSIZE, &limit);
      },
      step);
}

// Runs a step in a child process whose writes fail past `bytes` in any
// file (EFBIG, as a full disk fails them: the signal is ignored) and that
// kills itself at the named kill point, as RunKilledAt does. The signal that
// ended the child, or 0 when the step returned without reaching the point.
template <typename Step>
int RunWithWritesCutKilledAt(rlim_t bytes, const char* killPoint, Step step) {
  return RunInChild(
      [bytes, killPoint] {
        std::signal(SIGXFSZ, SIG_IGN);
        setenv("QELM_TEST_KILL", killPoint, 1);
        rlimit limit{bytes, bytes};
        setrlimit(RLIMIT_FSIZE, &limit);
      },
      step);
}

// Runs a step in a child process that kills itself with SIGKILL at the
// named kill point of the layer (platform/kill_points.h: "name" or
// "name:N"), as a kill from outside at that moment would. The signal that
// ended the child, or 0 when the step returned without reaching the point.
template <typename Step>
int RunKilledAt(const char* killPoint, Step step) {
  return RunInChild([killPoint] { setenv("QELM_TEST_KILL", killPoint, 1); }, step);
}

// Runs a step in a child process that stops at a point of its choosing: the
// step is given a hold function, which tells the parent and waits. The
// parent then finds the child held there (WaitHeld) and kills it with
// SIGKILL (Kill: a crash at that point, no destructor or cleanup run) or
// leaves it held, at work, for as long as it needs (killed at the latest
// when the object goes).
class HeldChild {
 public:
  template <typename Step>
  explicit HeldChild(Step step) {
    int ready[2] = {-1, -1};
    int release[2] = {-1, -1};
    if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(release, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(release[1]);
      const auto hold = [&] {
        char c = 1;
        if (write(ready[1], &c, 1) == 1) {
          while (read(release[0], &c, 1) > 0) {
          }
        }
      };
      step(hold);
      _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    ready_ = ready[0];
    release_ = release[1];
  }
  ~HeldChild() {
    Kill();
    if (ready_ >= 0) close(ready_);
    if (release_ >= 0) close(release_);
  }
  HeldChild(const HeldChild&) = delete;
  HeldChild& operator=(const HeldChild&) = delete;

  // True once the child holds; false when it ended without holding.
  bool WaitHeld() {
    char c = 0;
    return pid_ > 0 && read(ready_, &c, 1) == 1;
  }
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int ready_ = -1;
  int release_ = -1;
};

}  // namespace testsupport
