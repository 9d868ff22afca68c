#include "tests/support/child_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testsupport {

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  int in[2], out[2];
  if (pipe(in) != 0) return;
  if (pipe(out) != 0) {
    close(in[0]);
    close(in[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, in[1]);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  stdin_ = in[1];
  stdout_ = out[0];
}

ChildProcess::~ChildProcess() {
  Stop();
  if (stdout_ >= 0) close(stdout_);
}

std::string ChildProcess::ReadLine() {
  std::string line;
  char ch;
  while (read(stdout_, &ch, 1) == 1 && ch != '\n') line += ch;
  return line;
}

void ChildProcess::CloseInput() {
  if (stdin_ >= 0) close(stdin_);
  stdin_ = -1;
}

void ChildProcess::Stop() {
  CloseInput();
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
}

}  // namespace testsupport
