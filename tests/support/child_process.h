#pragma once
// A child program with a pipe to its standard input and one from its
// output, for tests that need another process to hold a file, a claim or a
// lock. The child is killed (SIGKILL) and waited for when the object goes.

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

class ChildProcess {
 public:
  // Starts argv[0] (searched in PATH when it holds no slash) with the test
  // process's environment.
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  // One line of output, without its newline ("" at end of output).
  std::string ReadLine();
  // Closes the child's standard input (it sees end of file).
  void CloseInput();
  // Kills the child and waits for it, so that its open files, locks and
  // claims are gone, as after a crash.
  void Stop();

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
};

}  // namespace testsupport
