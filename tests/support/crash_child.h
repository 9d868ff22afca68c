#pragma once
// Runs a step in a child process that is killed in the middle of a write:
// past `bytes` any write of the child raises SIGXFSZ, and its handler (which
// the layer leaves alone, where it would otherwise ignore the signal) kills
// the process with SIGKILL at once, as a crash or a kill would, with no
// destructor or cleanup run. The parent sees what the kill left on disk.

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

// The signal that ended the child (SIGKILL for a kill mid-write), or 0 when
// the step returned (the child then exits with 0).
template <typename Step>
int RunKilledMidWrite(rlim_t bytes, Step step) {
  const pid_t pid = fork();
  if (pid == 0) {
    rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
    std::signal(SIGXFSZ, [](int) { kill(getpid(), SIGKILL); });
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGXFSZ);
    sigprocmask(SIG_UNBLOCK, &signals, nullptr);
    rlimit limit{bytes, bytes};
    setrlimit(RLIMIT_FSIZE, &limit);
    step();
    _exit(0);
  }
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

}  // namespace testsupport
