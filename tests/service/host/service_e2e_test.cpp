// The service program end to end: the real mirelservice, its command words
// and a running instance under the layer's service manager, on a private
// store and private folders.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/datetime.h"
#include "platform/services.h"
#include "tests/support/service_runner.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_pki.h"

namespace {

using testsupport::ReadFileBytes;
using testsupport::ReadJournals;
using testsupport::RunMirelservice;
using testsupport::WaitUntil;

constexpr char kUsage[] =
    "Описание:\n"
    "\tУтилита командной строки, контролирующая сервис.\n\n"
    "Использование:\n"
    "\tqelmservice [команда] [имя_сервиса]\n\n"
    "\t[команда]\n"
    "\t  install\n"
    "\t  start\n"
    "\t  dacl (дает доступ к сервису пользователю, dacl [имя_сервиса] [имя_пользователя])\n"
    "\t  stop\n"
    "\t  disable\n"
    "\t  enable\n"
    "\t  delete\n"
    "\t  usage\n";

class ServiceProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    logs_ = root_.Dir("logs");
    profile_.LogPath(logs_);
  }
  void TearDown() override {
    // Never leave a service process behind, whatever the test did.
    RunMirelservice({"stop", profile_.profile()});
    RunMirelservice({"delete", profile_.profile()});
  }

  std::string Journals() const { return ReadJournals(logs_); }
  std::string EventLog() const { return ReadFileBytes(root_.path() / "eventlog" / "Application.log"); }
  bool JournalHas(const std::string& text) const { return Journals().find(text) != std::string::npos; }

  void InstallAndStart() {
    ASSERT_EQ(RunMirelservice({"install", profile_.profile()}).exitCode, 0);
    auto started = RunMirelservice({"start", profile_.profile()});
    ASSERT_EQ(started.exitCode, 0) << started.output;
  }

  testsupport::TempRoot root_;
  std::filesystem::path logs_;
  testsupport::ProfileWriter profile_{"Main"};
};

TEST(ServiceCommandLine, UsageAndArgumentCountsAndInvalidCommand) {
  testsupport::TempRoot root;
  auto usage = RunMirelservice({"usage"});
  EXPECT_EQ(usage.exitCode, 0);
  EXPECT_EQ(usage.output, kUsage);

  // Words are compared without regard to case; the message names them in
  // lower case.
  auto wrong = RunMirelservice({"INSTALL"});
  EXPECT_EQ(wrong.exitCode, 1);
  EXPECT_EQ(wrong.output,
            std::string("ОШИБКА: Некорректное количество аргументов для функции 'install'\n\n") + kUsage);
  EXPECT_EQ(RunMirelservice({"dacl", "Main"}).exitCode, 1);
  EXPECT_EQ(RunMirelservice({"stop", "Main", "extra"}).exitCode, 1);

  // No word, outside the service manager: the invalid-command text.
  auto none = RunMirelservice({});
  EXPECT_EQ(none.exitCode, 1);
  EXPECT_EQ(none.output, std::string("ОШИБКА: Некорректная комманда\n\n") + kUsage);
}

TEST(ServiceCommandLine, MissingProfileCreatesNothing) {
  testsupport::TempRoot root;
  auto install = RunMirelservice({"install", "Nobody"});
  EXPECT_EQ(install.exitCode, 1);
  EXPECT_EQ(install.output, "Профиль 'Nobody' не существует.\n");
  auto stop = RunMirelservice({"stop", "Nobody"});
  EXPECT_EQ(stop.exitCode, 1);
  EXPECT_NE(stop.output.find("Не удалось открыть сервис 'qelmservice-Nobody'"), std::string::npos) << stop.output;
}

TEST_F(ServiceProgram, InstallStartStopDeleteWithJournalRecords) {
  profile_.Create().HandlerTimeout(1);
  auto install = RunMirelservice({"install", "Main"});
  EXPECT_EQ(install.exitCode, 0);
  EXPECT_EQ(install.output, "Сервис 'qelmservice-Main' успешно установлен\n");
  EXPECT_EQ(RunMirelservice({"install", "Main"}).exitCode, 1);

  auto start = RunMirelservice({"start", "Main"});
  EXPECT_EQ(start.exitCode, 0) << start.output;
  EXPECT_EQ(start.output,
            "Сервис 'qelmservice-Main' запускается...\nСервис 'qelmservice-Main' успешно запущен.\n");
  auto again = RunMirelservice({"start", "Main"});
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_EQ(again.output, "Не удалось запустить сервис 'qelmservice-Main', он уже запущен.\n");

  EXPECT_TRUE(WaitUntil([&] { return JournalHas("Запуск АК СКЗИ Квелла: сервис"); }));
  auto stop = RunMirelservice({"stop", "Main"});
  EXPECT_EQ(stop.exitCode, 0);
  EXPECT_EQ(stop.output, "Сервис 'qelmservice-Main' успешно остановлен.\n");
  auto stopped = RunMirelservice({"stop", "Main"});
  EXPECT_EQ(stopped.output, "Сервис 'qelmservice-Main' уже остановлен.\n");

  auto del = RunMirelservice({"delete", "Main"});
  EXPECT_EQ(del.exitCode, 0);
  EXPECT_EQ(del.output, "Сервис 'qelmservice-Main' успешно удалён.\n");

  // An instance with no rules only pauses: its journals hold the start and
  // the stop, in both journals.
  std::string ops = ReadFileBytes(*std::filesystem::directory_iterator(logs_));
  std::string journals = Journals();
  EXPECT_EQ(std::count(journals.begin(), journals.end(), '\n'), 4) << journals;
  EXPECT_NE(journals.find("| Профиль: Main | Успех | Запуск АК СКЗИ Квелла: сервис\r\n"), std::string::npos)
      << journals;
  EXPECT_NE(journals.find("| Профиль: Main | Успех | Остановка АК СКЗИ Квелла: сервис\r\n"), std::string::npos);
}

TEST_F(ServiceProgram, DisableAndEnable) {
  profile_.Create();
  ASSERT_EQ(RunMirelservice({"install", "Main"}).exitCode, 0);
  auto disable = RunMirelservice({"disable", "Main"});
  EXPECT_EQ(disable.output, "Сервис 'qelmservice-Main' успешно выключен.\n");
  auto start = RunMirelservice({"start", "Main"});
  EXPECT_EQ(start.exitCode, 1);
  EXPECT_NE(start.output.find("Не удалось запустить сервис 'qelmservice-Main'. Ошибка 0x422"), std::string::npos)
      << start.output;
  auto enable = RunMirelservice({"enable", "Main"});
  EXPECT_EQ(enable.output, "Сервис 'qelmservice-Main' успешно включен.\n");
}

TEST_F(ServiceProgram, StopDuringALongPauseIsImmediate) {
  profile_.Create().HandlerTimeout(3600);
  InstallAndStart();
  ASSERT_TRUE(WaitUntil([&] { return JournalHas("Запуск АК СКЗИ Квелла: сервис"); }));
  auto begin = std::chrono::steady_clock::now();
  auto stop = RunMirelservice({"stop", "Main"});
  EXPECT_EQ(stop.exitCode, 0) << stop.output;
  // Far below the hour of the pause: the stop event ends the wait.
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(25));
  EXPECT_TRUE(JournalHas("Остановка АК СКЗИ Квелла: сервис"));
}

TEST_F(ServiceProgram, MissingRuleFolderIsJournaledAndTheServiceGoesOn) {
  profile_.Create().HandlerTimeout(1);
  std::filesystem::path missing = root_.path() / "no-such-folder";
  profile_.Rule("Rule 1", "MOVE", missing, root_.Dir("out"), root_.Dir("err")).Description("входящие");
  InstallAndStart();
  ASSERT_TRUE(WaitUntil([&] { return JournalHas("Проверка входного каталога"); }));
  std::string expected = "Правило 1 ('входящие'). Проверка входного каталога '" + missing.string() + "'";
  EXPECT_NE(Journals().find(expected), std::string::npos) << Journals();
  EXPECT_EQ(RunMirelservice({"stop", "Main"}).exitCode, 0);
}

// The service manager's status of an instance (all zero when it cannot be
// read).
SERVICE_STATUS_PROCESS InstanceStatus(const std::string& service) {
  SERVICE_STATUS_PROCESS status{};
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE handle = manager != nullptr
                         ? OpenServiceW(manager, std::wstring(service.begin(), service.end()).c_str(),
                                        SERVICE_QUERY_STATUS)
                         : nullptr;
  DWORD needed = 0;
  if (handle == nullptr ||
      !QueryServiceStatusEx(handle, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof(status),
                            &needed))
    status = SERVICE_STATUS_PROCESS{};
  if (handle != nullptr) CloseServiceHandle(handle);
  if (manager != nullptr) CloseServiceHandle(manager);
  return status;
}

TEST_F(ServiceProgram, BadServiceNameOrMissingJournalFolderStopsWithItsCode) {
  // A journal folder that cannot exist (a file stands in its way).
  std::filesystem::path blocker = root_.WriteFile("blocker", "x");
  profile_.LogPath(blocker / "logs");
  profile_.Create();
  ASSERT_EQ(RunMirelservice({"install", "Main"}).exitCode, 0);
  auto start = RunMirelservice({"start", "Main"});
  if (start.exitCode == 0 || start.output.find("  Текущее Состояние: 2\n") != std::string::npos) {
    // The instance reports running before it reads its profile, so on a
    // loaded machine the command may see it running (and say it started),
    // or stop waiting while it is still starting; the instance then stops
    // with the code all the same.
    EXPECT_TRUE(WaitUntil([] { return InstanceStatus("qelmservice-Main").dwCurrentState == SERVICE_STOPPED; }));
    EXPECT_EQ(InstanceStatus("qelmservice-Main").dwWin32ExitCode, 1066u);
  } else {
    EXPECT_EQ(start.exitCode, 1);
    EXPECT_NE(start.output.find("Сервис 'qelmservice-Main' не был запущен."), std::string::npos) << start.output;
    EXPECT_NE(start.output.find("  Код ошибки: 1066\n"), std::string::npos) << start.output;
  }
  EXPECT_TRUE(WaitUntil([&] { return !EventLog().empty(); }));
}

TEST_F(ServiceProgram, TwoDirectoryProfilesOpenTwoContexts) {
  const testsupport::TestPki& pki = testsupport::TestPki::Shared();
  profile_.Usual(logs_, {"Первый", "Второй"});
  auto in = root_.Dir("in"), out = root_.Dir("out"), err = root_.Dir("err");
  profile_.Rule("Rule 1", "NONE", in, out, err, "*.*", "Первый", pki.Pse("user1"), pki.local);
  profile_.Rule("Rule 2", "NONE", in, out, err, "*.*", "Второй", pki.Pse("user2"), pki.local);
  profile_.Rule("Rule 3", "NONE", in, out, err, "*.*", "Первый", pki.Pse("user2"), pki.local);
  InstallAndStart();
  ASSERT_TRUE(WaitUntil([&] { return JournalHas("'Второй' | Инициализация криптопрофиля"); })) << Journals();
  EXPECT_TRUE(JournalHas("Профиль справочника : 'Первый' | Инициализация криптопрофиля"));
  std::string journals = Journals();
  size_t count = 0;
  for (size_t at = journals.find("Инициализация криптопрофиля"); at != std::string::npos;
       at = journals.find("Инициализация криптопрофиля", at + 1))
    ++count;
  EXPECT_EQ(count, 2u) << journals;
  EXPECT_EQ(RunMirelservice({"stop", "Main"}).exitCode, 0);
}

TEST_F(ServiceProgram, ContextThatCannotOpenStopsTheServiceWithTheLibraryCode) {
  profile_.Create().List("ZCSProfile", {"Пустой"});
  auto in = root_.Dir("in");
  profile_.Rule("Rule 1", "NONE", in, root_.Dir("out"), root_.Dir("err"), "*.*", "Пустой",
                root_.path() / "no-pse", root_.path() / "no-local");
  ASSERT_EQ(RunMirelservice({"install", "Main"}).exitCode, 0);
  // The service reports running before its worker opens the contexts, so
  // the start command sees either the stop with its code or a start that
  // the stop follows at once; the event log and the journal tell either way.
  auto start = RunMirelservice({"start", "Main"});
  if (start.exitCode != 0) {
    EXPECT_EQ(start.exitCode, 1);
    EXPECT_NE(start.output.find("  Код ошибки: 1066\n"), std::string::npos) << start.output;
  }
  EXPECT_TRUE(WaitUntil([&] {
    return EventLog().find("Критическая ошибка: инициализация криптопрофиля. Остановка обработчика") !=
           std::string::npos;
  })) << EventLog();
  EXPECT_TRUE(JournalHas("Профиль справочника : 'Пустой' | Инициализация криптопрофиля"));
}

// An encrypted key's password is set by the administrator in key.pass
// beside the key, root's alone: a file others can read is refused and the
// instance stops; once it is root's alone the key opens, and no store that
// users can read (the machine store, the user store, the entry's
// "Environment") holds the password.
TEST_F(ServiceProgram, AnEncryptedKeyOpensWithARootOnlyPasswordFileThatNoStoreHolds) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: the password file must be root's";
  const testsupport::TestPki& pki = testsupport::TestPki::Shared();
  const std::filesystem::path pse = root_.Dir("pse");
  const std::string password = "пароль-ключа-7";
  std::filesystem::copy_file(pki.Cert("user1"), pse / "cert.pem");
  std::string log;
  ASSERT_EQ(testsupport::RunOpenssl({"pkcs8", "-topk8", "-v2", "aes-256-cbc", "-in", pki.Key("user1").string(),
                                     "-out", (pse / "key.pem").string(), "-passout", "pass:" + password},
                                    &log),
            0)
      << log;
  const std::filesystem::path file = root_.WriteFile("pse/key.pass", password + "\n");
  std::filesystem::permissions(file, std::filesystem::perms(0644));
  profile_.Usual(logs_, {"Первый"});
  profile_.Rule("Rule 1", "NONE", root_.Dir("in"), root_.Dir("out"), root_.Dir("err"), "*.*", "Первый", pse,
                pki.local);
  ASSERT_EQ(RunMirelservice({"install", "Main"}).exitCode, 0);

  RunMirelservice({"start", "Main"});
  ASSERT_TRUE(WaitUntil([&] {
    return EventLog().find("Критическая ошибка: инициализация криптопрофиля") != std::string::npos;
  })) << EventLog();
  EXPECT_TRUE(JournalHas("| Ошибка | Профиль справочника : 'Первый' | Инициализация криптопрофиля")) << Journals();
  EXPECT_TRUE(JournalHas("Файл пароля ключа отвергнут")) << Journals();
  ASSERT_TRUE(WaitUntil([&] { return InstanceStatus("qelmservice-Main").dwCurrentState == SERVICE_STOPPED; }));

  std::filesystem::permissions(file, std::filesystem::perms(0600));
  auto start = RunMirelservice({"start", "Main"});
  EXPECT_EQ(start.exitCode, 0) << start.output;
  ASSERT_TRUE(WaitUntil([&] {
    return JournalHas("| Успех | Профиль справочника : 'Первый' | Инициализация криптопрофиля");
  })) << Journals();
  EXPECT_EQ(RunMirelservice({"stop", "Main"}).exitCode, 0);

  for (const auto& entry : std::filesystem::recursive_directory_iterator(root_.path())) {
    if (!entry.is_regular_file() || entry.path() == file) continue;
    EXPECT_EQ(ReadFileBytes(entry.path()).find(password), std::string::npos) << entry.path();
  }
}

// The environment of a running process, one "NAME=value" a line.
std::string ProcessEnvironment(DWORD pid) {
  std::string text = ReadFileBytes("/proc/" + std::to_string(pid) + "/environ");
  std::replace(text.begin(), text.end(), '\0', '\n');
  return text;
}

DWORD InstancePid(const std::string& service) {
  const SERVICE_STATUS_PROCESS status = InstanceStatus(service);
  return status.dwCurrentState == SERVICE_RUNNING ? status.dwProcessId : 0;
}

// An instance holds a descriptor for each folder it works in and for each
// one below them on the way to its outputs: it takes as many as the system
// lets a process have, whatever soft limit its starter had.
TEST_F(ServiceProgram, AnInstanceTakesAllTheOpenFilesTheSystemAllows) {
  struct rlimit limit {};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max <= 256) GTEST_SKIP() << "the hard limit leaves no soft limit to raise";
  const struct rlimit lowered {256, limit.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  profile_.Create().HandlerTimeout(3600);
  InstallAndStart();
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  DWORD pid = 0;
  ASSERT_TRUE(WaitUntil([&] { return (pid = InstancePid("qelmservice-Main")) != 0; }));
  const std::string limits = ReadFileBytes("/proc/" + std::to_string(pid) + "/limits");
  const std::size_t line = limits.find("Max open files");
  ASSERT_NE(line, std::string::npos) << limits;
  std::istringstream values(limits.substr(line + std::string("Max open files").size()));
  std::string soft, hard;
  values >> soft >> hard;
  EXPECT_EQ(soft, std::to_string(limit.rlim_max)) << limits;
  EXPECT_EQ(hard, std::to_string(limit.rlim_max)) << limits;
  EXPECT_EQ(RunMirelservice({"stop", "Main"}).exitCode, 0);
}

// Whoever may start an instance must not steer it through the environment
// of the start command: not the library's or the clock's test hooks, not the
// loader, not its temporary folder, search path or home. The instance starts
// with the environment its entry gives, and signs files with the library, in
// real time, as if the starter had set nothing.
TEST_F(ServiceProgram, StarterEnvironmentDoesNotReachTheInstance) {
  const testsupport::TestPki& pki = testsupport::TestPki::Shared();
  profile_.Usual(logs_, {"Банк"});
  profile_.Rule("Rule 1", "SIGN", root_.Dir("in"), root_.Dir("out"), root_.Dir("err"), "*.*", "Банк",
                pki.Pse("user1"), pki.local);
  ASSERT_EQ(RunMirelservice({"install", "Main"}).exitCode, 0);

  // The clock file appears only once the instance runs, so that the start
  // command itself counts real time.
  const std::filesystem::path hostile = root_.Dir("hostile");
  const std::string clock = (hostile / "clock").string();
  const std::vector<std::string> environment{
      "QELM_TEST_FAIL=ORLAX_InitializeEx=0xE0700020,ORLAX_CmsBlkDetSignFile=0xE0700001,"
      "ORLAX_CmsBlkAttSignFile=0xE0700001,ORLAX_CmsStrAttSignFile=0xE0700001",
      "QELM_CLOCK_FILE=" + clock,
      "LD_PRELOAD=" + (hostile / "libsteer.so").string(),
      "TMPDIR=" + (hostile / "no-such-tmp").string(),
      "PATH=" + hostile.string(),
      "HOME=" + hostile.string(),
      "QELM_NET_TIMEOUT=1"};
  auto start = RunMirelservice({"start", "Main"}, environment);
  ASSERT_EQ(start.exitCode, 0) << start.output;
  ASSERT_TRUE(platform::WriteClockFile(clock.c_str(), 978307200));  // 2001-01-01

  DWORD pid = 0;
  ASSERT_TRUE(WaitUntil([&] { return (pid = InstancePid("qelmservice-Main")) != 0; })) << Journals();
  const std::string seen = ProcessEnvironment(pid);
  for (const std::string& assignment : environment)
    EXPECT_EQ(("\n" + seen).find("\n" + assignment + "\n"), std::string::npos) << "reached the instance:\n" << seen;
  for (const char* name : {"QELM_TEST_FAIL=", "QELM_CLOCK_FILE=", "LD_PRELOAD=", "HOME=", "QELM_NET_TIMEOUT="})
    EXPECT_EQ(("\n" + seen).find(std::string("\n") + name), std::string::npos) << seen;
  EXPECT_NE(seen.find("QELM_ROOT=" + root_.path().string() + "\n"), std::string::npos) << seen;
  EXPECT_NE(seen.find("TMPDIR=" + (root_.path() / "tmp").string() + "\n"), std::string::npos) << seen;
  EXPECT_NE(seen.find("PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin\n"), std::string::npos)
      << seen;

  root_.WriteFile("in/contract.txt", "Договор");
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::is_empty(root_.path() / "in"); })) << Journals();
  EXPECT_EQ(RunMirelservice({"stop", "Main"}).exitCode, 0);
  EXPECT_TRUE(std::filesystem::is_empty(root_.path() / "err")) << Journals();
  EXPECT_FALSE(std::filesystem::is_empty(root_.path() / "out")) << Journals();
  EXPECT_EQ(Journals().find("| Ошибка |"), std::string::npos) << Journals();
  // The journals are dated by real time, none by the hostile clock.
  for (const auto& entry : std::filesystem::directory_iterator(logs_))
    EXPECT_NE(entry.path().filename().string().rfind("2001.", 0), 0u) << entry.path();
}

}  // namespace

namespace {

// Runs a program as another user (nobody, or a user id with no account);
// the output is its standard output.
testsupport::ProgramResult RunAs(unsigned uid, const std::filesystem::path& program,
                                 const std::vector<std::string>& args) {
  const std::string id = std::to_string(uid);
  std::vector<std::string> all{"--reuid=" + id, "--regid=" + id, "--clear-groups", program.string()};
  all.insert(all.end(), args.begin(), args.end());
  return testsupport::RunProgram("/usr/bin/setpriv", all);
}

// dacl lets a user stop an instance, with the program's own stop command:
// the instance runs as root, so the stop goes through its control channel,
// where it checks the caller's user id. No user but root starts it (it would
// run as that user), and the start says so.
TEST_F(ServiceProgram, DaclLetsAnotherUserStopTheInstanceButNotStartOrReconfigureIt) {
  if (geteuid() != 0 || !std::filesystem::exists("/usr/bin/setpriv"))
    GTEST_SKIP() << "needs root and setpriv to act as a second user";
  constexpr unsigned kNobody = 65534, kStranger = 54321;
  profile_.Create().HandlerTimeout(1);
  ASSERT_EQ(RunMirelservice({"install", "Main"}).exitCode, 0);
  // The other users must reach the private store and folders.
  auto openUp = [&] {
    std::filesystem::permissions(root_.path(), std::filesystem::perms::all);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root_.path()))
      std::filesystem::permissions(entry.path(), std::filesystem::perms::all);
  };
  openUp();
  const std::filesystem::path control = testsupport::BuildDir() / "bin" / "service_control";
  const std::filesystem::path program = testsupport::BuildDir() / "bin" / "mirelservice";
  EXPECT_EQ(RunAs(kNobody, control, {"start", "qelmservice-Main"}).output, "5\n") << "no right before dacl";

  auto dacl = RunMirelservice({"dacl", "Main", "nobody"});
  EXPECT_EQ(dacl.exitCode, 0) << dacl.output;
  EXPECT_EQ(dacl.output, "DACL сервиса 'qelmservice-Main'  успешно обновлён.\n");
  openUp();

  EXPECT_EQ(RunAs(kNobody, control, {"start", "qelmservice-Main"}).output, "1314\n");
  auto start = RunAs(kNobody, program, {"start", "Main"});
  EXPECT_EQ(start.exitCode, 1);
  EXPECT_EQ(start.output,
            "Не удалось запустить сервис 'qelmservice-Main'. Ошибка 0x522 - Клиент не обладает требуемыми правами. \n")
      << start.output;
  EXPECT_EQ(InstanceStatus("qelmservice-Main").dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_FALSE(JournalHas("Запуск АК СКЗИ Квелла: сервис")) << Journals();

  auto rootStart = RunMirelservice({"start", "Main"});
  ASSERT_EQ(rootStart.exitCode, 0) << rootStart.output;
  ASSERT_TRUE(WaitUntil([&] { return JournalHas("Запуск АК СКЗИ Квелла: сервис"); })) << Journals();
  EXPECT_EQ(RunAs(kNobody, control, {"config", "qelmservice-Main"}).output, "5\n");
  EXPECT_EQ(RunAs(kStranger, control, {"stop", "qelmservice-Main"}).output, "5\n");
  auto refused = RunAs(kStranger, program, {"stop", "Main"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(InstanceStatus("qelmservice-Main").dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

  auto stop = RunAs(kNobody, program, {"stop", "Main"});
  EXPECT_EQ(stop.exitCode, 0) << stop.output;
  EXPECT_EQ(stop.output, "Сервис 'qelmservice-Main' успешно остановлен.\n");
  EXPECT_TRUE(WaitUntil([&] { return JournalHas("Остановка АК СКЗИ Квелла: сервис"); })) << Journals();

  auto unknown = RunMirelservice({"dacl", "Main", "no-such-user-here"});
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_NE(unknown.output.find("Не удалось установить доступ в Acl сервиса 'qelmservice-Main' для пользователя "
                                "'no-such-user-here'"),
            std::string::npos)
      << unknown.output;
}

}  // namespace
