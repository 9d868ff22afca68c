// A program for tests that start programs: it appends what it was given to a
// log file and ends as told.
//
//   argument_recorder [--exit N] [--hang] [--hang-with-helper] [--touch FILE] [--streams]
//                     <log> [arguments...]
//
// One record per run is appended to <log>: every argument after <log>
// followed by a NUL byte, then the number of descriptors it holds open
// beyond 0-2 as "fds=N", with --streams what 0, 1 and 2 are open on as
// " streams=<0>,<1>,<2>", then a newline. With --hang-with-helper it first
// starts a helper process that waits for ever and writes "helper=<pid>" to
// the record; --hang and --hang-with-helper wait until killed. --touch makes
// FILE after the record is written (a run that has done its work).

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int OpenDescriptorsBeyondStandard() {
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return -1;
  int count = 0;
  const int own = dirfd(folder);
  while (dirent* entry = readdir(folder)) {
    if (entry->d_name[0] == '.') continue;
    int fd = std::atoi(entry->d_name);
    if (fd > 2 && fd != own) ++count;
  }
  closedir(folder);
  return count;
}

std::string StreamTargets() {
  std::string targets;
  for (int fd = 0; fd <= 2; ++fd) {
    char link[64], target[4096];
    std::snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof(target) - 1);
    if (fd > 0) targets += ',';
    targets += n < 0 ? std::string("closed") : std::string(target, static_cast<size_t>(n));
  }
  return targets;
}

}  // namespace

int main(int argc, char** argv) {
  int exitCode = 0;
  bool hang = false, helper = false, streams = false;
  const char* touch = nullptr;
  int i = 1;
  for (; i < argc; ++i) {
    if (std::strcmp(argv[i], "--exit") == 0 && i + 1 < argc) {
      exitCode = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--hang") == 0) {
      hang = true;
    } else if (std::strcmp(argv[i], "--hang-with-helper") == 0) {
      hang = helper = true;
    } else if (std::strcmp(argv[i], "--streams") == 0) {
      streams = true;
    } else if (std::strcmp(argv[i], "--touch") == 0 && i + 1 < argc) {
      touch = argv[++i];
    } else {
      break;
    }
  }
  if (i >= argc) return 100;
  const int descriptors = OpenDescriptorsBeyondStandard();
  std::string record;
  for (int k = i + 1; k < argc; ++k) {
    record += argv[k];
    record += '\0';
  }
  record += "fds=" + std::to_string(descriptors);
  if (streams) record += " streams=" + StreamTargets();
  if (helper) {
    pid_t child = fork();
    if (child == 0) {
      for (;;) pause();
    }
    record += " helper=" + std::to_string(child);
  }
  record += '\n';
  FILE* log = std::fopen(argv[i], "ab");
  if (log == nullptr) return 101;
  std::fwrite(record.data(), 1, record.size(), log);
  std::fclose(log);
  if (touch != nullptr) {
    FILE* done = std::fopen(touch, "wb");
    if (done != nullptr) std::fclose(done);
  }
  while (hang) pause();
  return exitCode;
}
