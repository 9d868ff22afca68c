#include "tests/support/service_runner.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "platform/registry.h"
#include "platform/utf16.h"
#include "tests/support/temp_root.h"

extern char** environ;

namespace testsupport {
ProgramResult RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& extraEnvironment) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", 0, 0);

  std::vector<std::string> argStrings{program.string()};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) envStrings.emplace_back(*e);
  for (const std::string& extra : extraEnvironment) {
    std::string name = extra.substr(0, extra.find('='));
    std::erase_if(envStrings, [&](const std::string& e) { return e.rfind(name + "=", 0) == 0; });
    envStrings.push_back(extra);
  }
  std::vector<char*> envp;
  for (std::string& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = 0;
  int rc = posix_spawn(&pid, argStrings[0].c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  ProgramResult result;
  if (rc != 0) {
    close(fds[0]);
    result.output = std::string("spawn failed: ") + std::strerror(rc);
    return result;
  }
  char buffer[4096];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof(buffer))) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) result.output.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

ProgramResult RunMirelservice(const std::vector<std::string>& args, const std::vector<std::string>& extraEnvironment) {
  return RunProgram(BuildDir() / "bin" / "mirelservice", args, extraEnvironment);
}

void AddServiceEnvironment(const std::string& service, const std::vector<std::string>& assignments) {
  const std::wstring path = L"SYSTEM\\CurrentControlSet\\Services\\" + platform::Utf8ToWide(service);
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
    throw std::runtime_error("no service " + service);
  DWORD type = 0, size = 0;
  std::string bytes;
  if (RegQueryValueExW(key, L"Environment", nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_MULTI_SZ) {
    bytes.resize(size);
    RegQueryValueExW(key, L"Environment", nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()), &size);
    bytes.resize(size);
  }
  std::vector<std::string> values;
  const std::wstring all = platform::Utf16LeToWide(bytes.data(), bytes.size());
  for (size_t start = 0; start < all.size();) {
    const size_t end = std::min(all.find(L'\0', start), all.size());
    if (end == start) break;
    values.push_back(platform::WideToUtf8(all.substr(start, end - start)));
    start = end + 1;
  }
  values.insert(values.end(), assignments.begin(), assignments.end());
  const std::string multi = MultiSzBytes(values);
  const LSTATUS rc = RegSetValueExW(key, L"Environment", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi.data()),
                                    static_cast<DWORD>(multi.size()));
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) throw std::runtime_error("cannot set the environment of " + service);
}

std::string ReadJournals(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::string all;
  for (const auto& f : files) all += ReadFileBytes(f);
  return all;
}

bool WaitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (true) {
    if (predicate()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace testsupport
