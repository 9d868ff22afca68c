// The running service over folders that others write into: links where
// outputs go and where inputs come from, pipes and sockets, claims of an
// instance that was killed, two instances on one folder, files held open by
// another program, names it cannot work under, rules that must not load, and
// rules whose output folder becomes their input through a link.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "service/core/file_pipeline.h"
#include "tests/service/operations/file_rules_service_fixture.h"
#include "tests/support/bound_socket.h"
#include "tests/support/child_process.h"
#include "tests/support/crash_child.h"
#include "tests/support/shm_folder.h"
#include "tests/support/wide_text.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFileBytes;
using testsupport::RunMirelservice;
using testsupport::WaitUntil;

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// The regular files of a folder (links and other entries left out).
std::set<std::string> RegularFiles(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.is_regular_file() && !entry.is_symlink()) names.insert(entry.path().filename().string());
  return names;
}

using testsupport::Wide;

class FoldersInTheService : public servicetest::FileRulesServiceTest {
 protected:
  FoldersInTheService() : FileRulesServiceTest("Folders") {}

  std::string Journals() const { return testsupport::ReadJournals(logs_); }
  // Stops the instance; the journals, for the messages of what follows.
  std::string Stop() {
    EXPECT_EQ(RunMirelservice({"stop", profile_.profile()}).exitCode, 0);
    return Journals();
  }

  // A link put in the input folder, and what it leads to.
  struct LinkCase {
    const char* name;
    fs::path target;
  };
  // Each link is in the error folder as the same link, with one refusal
  // record.
  void ExpectLinksInTheErrorFolder(std::span<const LinkCase> cases, const std::string& journals) {
    for (const LinkCase& c : cases) {
      SCOPED_TRACE(c.name);
      EXPECT_EQ(fs::read_symlink(Path("err") / c.name), c.target);
      EXPECT_EQ(Count(journals, "Ошибка ORLAX 0xE1718020 - Файл '" + (Path("in") / c.name).string() +
                                    "' является символической ссылкой"),
                1u)
          << journals;
    }
  }
};

// Names that no call can open, or that have no room for the claim suffix,
// stay where they are with one record per run however many cycles list
// them; a name with a line break is processed and gives one journal line.
TEST_F(FoldersInTheService, NamesTheServiceCannotWorkUnderStayWithOneRecordPerRun) {
  Rule(1, "B64E", "in", "out");
  const std::string cp1251 = "\xCF\xF0\xE8\xE2\xE5\xF2.txt";  // "Привет.txt" written in code page 1251
  const std::string longName(252, 'n');
  const std::string lineBreak = "a\n12:00:00 01-01-2026 | Профиль: X | Успех | forged.txt";
  Write("in/" + cp1251, "stray");
  Write("in/" + longName, "long");
  Write("in/" + lineBreak, "broken");
  Start();
  ASSERT_TRUE(WaitUntil([&] { return Exists("out/" + lineBreak + ".b64"); })) << Journals();
  // Written after that cycle listed the folder: a later cycle, which lists
  // the two names again, takes it.
  Write("in/later.txt", "later");
  const bool later = WaitUntil([&] { return Exists("out/later.txt.b64"); });
  const std::string journals = Stop();
  ASSERT_TRUE(later) << journals;

  const std::string in = Path("in").string();
  EXPECT_EQ(Count(journals, "Ошибка ORLAX 0xE1718024 - Имя файла '" + in +
                                "/\\xCF\\xF0\\xE8\\xE2\\xE5\\xF2.txt' недопустимо в кодировке имен файлов: файл не "
                                "обрабатывается и остается во входном каталоге. "),
            1u)
      << journals;
  EXPECT_EQ(Count(journals, "Ошибка ORLAX 0xE1718024 - Имя файла '" + in + "/" + longName +
                                "' слишком длинное для временного имени '" + in + "/" + longName + ".stp'"),
            1u)
      << journals;
  EXPECT_EQ(Count(journals, "0xE1718024"), 2u) << journals;
  EXPECT_EQ(Read("in/" + cp1251), "stray");
  EXPECT_EQ(Read("in/" + longName), "long");
  EXPECT_TRUE(fs::is_empty(Path("err")));
  // The forged time begins no line of its own.
  EXPECT_EQ(Count(journals, "\n12:00:00 01-01-2026"), 0u) << journals;
  EXPECT_NE(journals.find("a\\x0A12:00:00 01-01-2026 | Профиль: X | Успех | forged.txt"), std::string::npos);
}

// Links planted in the output folders, dangling and to a file, where every
// kind of output would go: a rule per operation (DECR fed by an ENCR rule),
// two files dropped for each, each output's name taken by a link that leads
// out of the folders.
class LinksInOutputFolders : public FoldersInTheService {
 protected:
  struct Case {
    const char* operation;
    const char* in;        // where the file is dropped
    const char* out;       // where its output goes
    const char* appended;  // what the output adds to the dropped file's name
  };
  static constexpr Case kCases[] = {
      {"ENCR", "encr-in", "encr-out", ".p7e"},
      {"DECR", "pre-in", "decr-out", ""},  // encrypted into "decr-in" first
      {"SIGN", "sign-in", "sign-out", ".p7s"},
      {"HASH", "hash-in", "hash-out", ".hsh"},
      {"B64E", "b64-in", "b64-out", ".b64"},
      {"ARCH", "arch-in", "arch-out", ".zip"},
  };
  static constexpr const char* kKinds[] = {"dangling", "live"};

  void PlantLinks(int renameConfFiles) {
    profile_.Dword("Rename conf files", renameConfFiles);
    profile_.ZipExtension("zip");
    int n = 0;
    for (const Case& c : kCases) {
      const std::string operation = c.operation;
      testsupport::RuleWriter rule =
          operation == "DECR" ? Rule(++n, "ENCR", c.in, "decr-in") : Rule(++n, operation, c.in, c.out);
      if (operation == "ENCR" || operation == "DECR") rule.Recipients({pki_.Dn("user1")});
      if (operation == "DECR") Rule(++n, "DECR", "decr-in", c.out, "*.p7e");
      if (operation == "ARCH") rule.Archive(1);
      for (const std::string kind : kKinds) {
        Write(std::string(c.in) + "/" + kind + ".txt", operation + " " + kind);
        if (kind == "live") std::ofstream(Target(c, kind)) << "untouched";
        fs::create_symlink(Target(c, kind), Link(c, kind));
      }
    }
  }
  fs::path Target(const Case& c, const std::string& kind) const {
    return root_.Dir("elsewhere") / (std::string(c.operation) + "-" + kind);
  }
  fs::path Link(const Case& c, const std::string& kind) const {
    return Path(std::string(c.out) + "/" + kind + ".txt" + c.appended);
  }
  // Every link as planted, nothing came into being behind one, and the
  // files they lead to are as they were.
  void ExpectLinksAndTargetsUntouched() const {
    std::set<std::string> targets;
    for (const Case& c : kCases) {
      SCOPED_TRACE(c.operation);
      for (const std::string kind : kKinds) {
        ASSERT_TRUE(fs::is_symlink(Link(c, kind))) << kind;
        EXPECT_EQ(fs::read_symlink(Link(c, kind)), Target(c, kind));
      }
      EXPECT_TRUE(fs::is_empty(Path(c.in)));
      targets.insert(Target(c, "live").filename().string());
    }
    EXPECT_EQ(RegularFiles(Path("elsewhere")), targets);
    for (const std::string& target : targets) EXPECT_EQ(ReadFileBytes(Path("elsewhere") / target), "untouched");
  }
};

// With conflict files renamed, each output takes a conflict name beside the
// link.
TEST_F(LinksInOutputFolders, AreTakenNamesThatGiveTheOutputAConflictName) {
  PlantLinks(1);
  // The output under a conflict name: stem, mark, the rest of the name.
  const auto marked = [&](const Case& c, const std::string& kind) {
    for (const std::string& name : RegularFiles(Path(c.out))) {
      const std::string rest = std::string(".txt") + c.appended;
      if (name.rfind(kind + "~", 0) == 0 && name.size() > rest.size() &&
          name.compare(name.size() - rest.size(), rest.size(), rest) == 0)
        return name;
    }
    return std::string();
  };
  Start();
  const bool done = WaitUntil(
      [&] {
        return std::all_of(std::begin(kCases), std::end(kCases), [&](const Case& c) {
          return !marked(c, "dangling").empty() && !marked(c, "live").empty();
        });
      },
      std::chrono::seconds(60));
  const std::string journals = Stop();
  ASSERT_TRUE(done) << journals;

  ExpectLinksAndTargetsUntouched();
  for (const Case& c : kCases) {
    for (const std::string kind : kKinds)
      EXPECT_FALSE(Read(std::string(c.out) + "/" + marked(c, kind)).empty()) << c.operation << " " << kind;
  }
  EXPECT_EQ(Read(std::string("decr-out/") + marked(kCases[1], "live")), "DECR live");
  EXPECT_EQ(Read(std::string("decr-out/") + marked(kCases[1], "dangling")), "DECR dangling");
  EXPECT_TRUE(fs::is_empty(Path("err")));
  EXPECT_EQ(journals.find("| Ошибка |"), std::string::npos) << journals;
}

// Without renaming, a taken output name fails the file with 80: it goes to
// the error folder and no output is written.
TEST_F(LinksInOutputFolders, AreTakenNamesThatSendTheFileToTheErrorFolder) {
  PlantLinks(0);
  constexpr std::size_t kFiles = std::size(kCases) * std::size(kKinds);
  Start();
  const bool done = WaitUntil([&] { return RegularFiles(Path("err")).size() >= kFiles; }, std::chrono::seconds(60));
  const std::string journals = Stop();
  ASSERT_TRUE(done) << journals;

  ExpectLinksAndTargetsUntouched();
  for (const Case& c : kCases) EXPECT_TRUE(RegularFiles(Path(c.out)).empty()) << c.operation;
  EXPECT_TRUE(fs::is_empty(Path("decr-in")));
  EXPECT_EQ(RegularFiles(Path("err")).size(), kFiles);
  EXPECT_EQ(Count(journals, "| Ошибка 0x50 - "), kFiles) << journals;
}

// A link in an input folder is never read through: the link itself goes to
// the error folder, whatever it points to.
TEST_F(FoldersInTheService, LinksInTheInputFolderGoToTheErrorFolderAsLinks) {
  Rule(1, "SIGN", "in", "out");
  const fs::path secret = root_.WriteFile("secret/key.txt", "root only");
  const LinkCase cases[] = {{"live.txt", secret}, {"dangling.txt", Path("secret/nowhere")}};
  for (const LinkCase& c : cases) fs::create_symlink(c.target, Path("in") / c.name);
  Start();
  const bool done = WaitUntil([&] {
    return std::all_of(std::begin(cases), std::end(cases),
                       [&](const LinkCase& c) { return fs::is_symlink(Path("err") / c.name); });
  });
  const std::string journals = Stop();
  ASSERT_TRUE(done) << journals;
  ExpectLinksInTheErrorFolder(cases, journals);
  EXPECT_TRUE(fs::is_empty(Path("in")));
  EXPECT_TRUE(fs::is_empty(Path("out")));
  EXPECT_EQ(ReadFileBytes(secret), "root only");
  EXPECT_FALSE(fs::exists(Path("secret/nowhere")));
}

// MOVE takes its files as every other operation does: a link in the input
// folder, whatever it leads to (a file only root may read, the zero device,
// a named pipe, nothing), goes to the error folder as a link, unread;
// neither the move (a copy, across file systems) nor the copy into "Path
// Out 2" reads through it, and the worker is never held: stop is answered.
TEST_F(FoldersInTheService, MoveTakesLinksToTheErrorFolderUnread) {
  testsupport::ShmFolder shm;  // "Path Out" on another file system, where there is one
  testsupport::RuleWriter rule = Rule(1, "MOVE", "in", "out").CopyFolder(root_.Dir("copies"));
  const fs::path out = shm.OnAnotherFileSystemThan(root_.path()) ? shm.path() : Path("out");
  rule.OutputFolder(out);
  const fs::path secret = root_.WriteFile("secret/key.txt", "root only");
  ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(Path("secret/pipe").c_str(), 0644), 0);
  const LinkCase cases[] = {{"secret.txt", secret},
                        {"zero.txt", "/dev/zero"},
                        {"pipe.txt", Path("secret/pipe")},
                        {"dangling.txt", Path("secret/nowhere")}};
  for (const LinkCase& c : cases) fs::create_symlink(c.target, Path("in") / c.name);
  // A file beside them, moved and copied as ever.
  Write("in/very-last.txt", "plain");
  Start();
  const bool done = WaitUntil([&] {
    return fs::exists(out / "very-last.txt") && std::all_of(std::begin(cases), std::end(cases), [&](const LinkCase& c) {
             return fs::is_symlink(Path("err") / c.name);
           });
  });
  const auto stopped = RunMirelservice({"stop", profile_.profile()});
  const std::string journals = Journals();
  ASSERT_TRUE(done) << journals;
  EXPECT_EQ(stopped.exitCode, 0) << stopped.output;
  ExpectLinksInTheErrorFolder(cases, journals);
  EXPECT_TRUE(fs::is_empty(Path("in")));
  EXPECT_EQ(RegularFiles(out), std::set<std::string>{"very-last.txt"});
  EXPECT_EQ(RegularFiles(Path("copies")), std::set<std::string>{"very-last.txt"});
  EXPECT_EQ(ReadFileBytes(out / "very-last.txt"), "plain");
  EXPECT_EQ(ReadFileBytes(secret), "root only");
  EXPECT_TRUE(fs::is_fifo(Path("secret/pipe")));
}

// Two instances moving from one folder to another file system: each file is
// moved by exactly one of them, and one that the other instance has taken
// is no failure of the file (at most a record that it was gone). Enough
// files that the work outlasts a cycle's pause, so that both are at it.
TEST_F(FoldersInTheService, TwoInstancesMovingAcrossFileSystemsMoveEveryFileExactlyOnce) {
  testsupport::ShmFolder shm;
  if (!shm.OnAnotherFileSystemThan(root_.path())) GTEST_SKIP() << "no second file system on this machine";
  testsupport::ProfileWriter second("Folders2");
  WriteProfile(second);
  Rule(1, "MOVE", "shared", "unused-1").OutputFolder(shm.path());
  Rule(second, 1, "MOVE", "shared", "unused-2").OutputFolder(shm.path());
  constexpr int kFiles = 4000;
  std::set<std::string> expected;
  const fs::path staging = root_.Dir("staging");
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "f" + std::to_string(i) + ".txt";
    Write("staging/" + name, std::string(16384, 'x') + name);
    expected.insert(name);
  }
  Start();
  StartProfile("Folders2");
  // Both instances are at work on the empty folder when the files come in.
  for (const auto& entry : fs::directory_iterator(staging))
    fs::rename(entry.path(), Path("shared") / entry.path().filename());
  const bool done = WaitUntil(
      [&] { return RegularFiles(shm.path()).size() + RegularFiles(Path("err")).size() >= kFiles; },
      std::chrono::seconds(120));
  const auto stopped = RunMirelservice({"stop", "Folders2"});
  const std::string journals = Stop();
  ASSERT_TRUE(done) << journals;
  EXPECT_EQ(stopped.exitCode, 0) << stopped.output;

  EXPECT_EQ(RegularFiles(shm.path()), expected);
  EXPECT_TRUE(fs::is_empty(Path("err"))) << RegularFiles(Path("err")).size() << " files in the error folder";
  EXPECT_TRUE(fs::is_empty(Path("shared")));
  for (const std::string& name : expected) {
    EXPECT_EQ(ReadFileBytes(shm.path() / name), std::string(16384, 'x') + name);
  }
  std::istringstream lines(journals);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("| Ошибка ORLAX ") != std::string::npos || line.find("| Ошибка 0x") != std::string::npos) {
      EXPECT_NE(line.find("Ошибка ORLAX 0xE171800B - "), std::string::npos) << line;
    }
  }
}

// A named pipe and a socket in the input folder hold neither the worker nor
// a stop request: the file beside them is processed, and stop is answered.
TEST_F(FoldersInTheService, PipeAndSocketInTheInputFolderHoldNeitherTheWorkerNorTheStop) {
  Rule(1, "B64E", "in", "out");
  ASSERT_EQ(mkfifo(Path("in/pipe.txt").c_str(), 0644), 0);
  testsupport::BoundSocket socket(Path("in/socket.txt"));
  ASSERT_TRUE(socket.bound());
  // Named to come after both in the listing: its output means the cycle went past them.
  Write("in/very-last.txt", "plain");
  Start();
  const bool done = WaitUntil([&] { return Exists("out/very-last.txt.b64"); });
  const auto stopped = RunMirelservice({"stop", profile_.profile()});
  const std::string journals = Journals();
  ASSERT_TRUE(done) << journals;
  EXPECT_EQ(stopped.exitCode, 0) << stopped.output;
  EXPECT_NE(journals.find("Остановка АК СКЗИ Квелла: сервис"), std::string::npos) << journals;
  EXPECT_TRUE(fs::is_fifo(Path("in/pipe.txt")));
  EXPECT_TRUE(fs::is_socket(Path("in/socket.txt")));
  EXPECT_EQ(RegularFiles(Path("out")), std::set<std::string>{"very-last.txt.b64"});
  EXPECT_TRUE(fs::is_empty(Path("err")));
  EXPECT_EQ(journals.find("| Ошибка |"), std::string::npos) << journals;
}

// Claims names of the input folder in as an instance of the service
// claims them (the pipeline's own claim, with its record), then holds.
template <typename Hold>
void ClaimAndHold(const fs::path& in, const fs::path& journal, const std::vector<std::string>& names, Hold hold) {
  RuleRecord rule;
  rule.pathIn = Wide(in.string());
  rule.pathOut = Wide(journal.string());
  rule.pathError = Wide(journal.string());
  WorkerState worker;
  FilePipeline pipeline(Wide(journal.string()), worker, L"Other", 0, rule, false);
  std::vector<PipelineFile> claimed;
  for (const std::string& name : names) {
    claimed.push_back(pipeline.Prepare(Wide(name), Wide(name), L".b64", nullptr));
    if (!pipeline.ClaimInputFile(claimed.back())) return;
  }
  hold();
}

// Claims of an instance that was killed are taken back when the next run
// first meets the folder, whatever the rule's masks (these never list a
// ".stp" name), also where a new file took the claimed file's own name
// meanwhile (each would block the other); a live instance's claim is left
// to it until it is gone; and a user's own file that merely ends in ".stp"
// is never renamed or processed, with one record per run.
TEST_F(FoldersInTheService, ClaimsOfAKilledInstanceAreTakenBackWhateverTheMasksAndNoOtherStpFileIs) {
  Rule(1, "B64E", "in", "out", "*.bin");
  Rule(2, "B64E", "own", "own-out", "*");
  for (const std::string name : {"busy.bin", "crashed.bin", "x.bin"}) Write("in/" + name, name);
  Write("own/model.stp", "a user's model");
  Write("own/a.txt", "a");
  const fs::path childLogs = root_.Dir("child-logs");
  testsupport::HeldChild busy([&](auto hold) { ClaimAndHold(Path("in"), childLogs, {"busy.bin"}, hold); });
  ASSERT_TRUE(busy.WaitHeld());
  {
    testsupport::HeldChild crashed(
        [&](auto hold) { ClaimAndHold(Path("in"), childLogs, {"crashed.bin", "x.bin"}, hold); });
    ASSERT_TRUE(crashed.WaitHeld());
    crashed.Kill();
  }
  ASSERT_EQ(RegularFiles(Path("in")), (std::set<std::string>{"busy.bin.stp", "crashed.bin.stp", "x.bin.stp"}));
  Write("in/x.bin", "new x");
  const auto renamed = [&] {
    for (const std::string& name : RegularFiles(Path("out")))
      if (name.rfind("x~", 0) == 0 && name.size() > 10 && name.compare(name.size() - 8, 8, ".bin.b64") == 0)
        return name;
    return std::string();
  };
  Start();
  const bool first = WaitUntil([&] {
    return Exists("out/crashed.bin.b64") && Exists("out/x.bin.b64") && !renamed().empty() &&
           Exists("own-out/a.txt.b64");
  });
  ASSERT_TRUE(first) << Journals();
  EXPECT_EQ(Read("in/busy.bin.stp"), "busy.bin");
  busy.Kill();
  // The next run takes back what the instance killed meanwhile left.
  ASSERT_EQ(RunMirelservice({"stop", profile_.profile()}).exitCode, 0);
  ASSERT_EQ(RunMirelservice({"start", profile_.profile()}).exitCode, 0);
  const bool taken = WaitUntil([&] { return Exists("out/busy.bin.b64"); });
  const std::string journals = Stop();
  ASSERT_TRUE(taken) << journals;

  EXPECT_EQ(RegularFiles(Path("out")),
            (std::set<std::string>{"busy.bin.b64", "crashed.bin.b64", "x.bin.b64", renamed()}));
  EXPECT_TRUE(fs::is_empty(Path("in")));
  EXPECT_EQ(RegularFiles(Path("own")), std::set<std::string>{"model.stp"});
  EXPECT_EQ(Read("own/model.stp"), "a user's model");
  EXPECT_EQ(RegularFiles(Path("own-out")), std::set<std::string>{"a.txt.b64"});
  EXPECT_TRUE(fs::is_empty(Path("err")));
  EXPECT_TRUE(fs::is_empty(Path("ProgramData/TORVAK/qelmservice/Claims")));
  for (const char* name : {"crashed.bin", "busy.bin", "x.bin"}) {
    const std::string claimed = Path(std::string("in/") + name).string() + ".stp";
    EXPECT_EQ(Count(journals, "Ошибка ORLAX 0xE1718021 - Файл '" + claimed + "' остался от прерванной обработки"), 1u)
        << journals;
  }
  EXPECT_EQ(Count(journals, "Ошибка ORLAX 0xE171800A - Файл '" + Path("own/model.stp").string() +
                                "' с временным расширением stp был пропущен"),
            2u)
      << journals;
  EXPECT_EQ(Count(journals, "Ошибка ORLAX 0xE171800A"), 2u) << journals;
}

// A user's own file that merely ends in ".stp" (a CAD model) is left as it
// is by every operation that meets it: never renamed to its name without
// ".stp", processed, deleted or moved, with one record per run where the
// operation records such names. The file beside it goes its usual way.
TEST_F(FoldersInTheService, AUsersOwnStpFileIsLeftAloneByEveryOperation) {
  profile_.ZipExtension("zip");
  struct Case {
    const char* operation;
    const char* in;
    const char* out;
    std::size_t records;  // of the ".stp" name passed over, per run (PACK and UNPK keep silent)
  };
  const Case cases[] = {
      {"HASH", "hash-in", "hash-out", 1}, {"DELE", "dele-in", "dele-in", 1}, {"ARCH", "arch-in", "arch-out", 1},
      {"PACK", "pack-in", "pack-out", 0}, {"UNPK", "unpk-in", "unpk-out", 0}, {"SGEN", "sgen-in", "sgen-out", 1},
      {"DCCX", "dccx-in", "dccx-out", 1},
  };
  int n = 0;
  for (const Case& c : cases) {
    testsupport::RuleWriter rule = Rule(++n, c.operation, c.in, c.out);
    const std::string operation = c.operation;
    if (operation == "ARCH") rule.Archive(1);
    if (operation == "PACK") rule.Batch("batch", 1);
    if (operation == "SGEN") rule.Recipients({pki_.Dn("user1")});
    Write(std::string(c.in) + "/model.stp", "a user's model");
    Write(std::string(c.in) + "/beside.txt", "beside");
  }
  Start();
  const bool done = WaitUntil(
      [&] {
        return std::all_of(std::begin(cases), std::end(cases), [&](const Case& c) {
          return RegularFiles(Path(c.in)) == std::set<std::string>{"model.stp"};
        });
      },
      std::chrono::seconds(60));
  const std::string journals = Stop();
  ASSERT_TRUE(done) << journals;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.operation);
    EXPECT_EQ(Read(std::string(c.in) + "/model.stp"), "a user's model");
    if (std::string(c.out) != c.in) {
      for (const std::string& name : RegularFiles(Path(c.out))) EXPECT_EQ(name.find("model"), std::string::npos) << name;
    }
    EXPECT_EQ(Count(journals, "Файл '" + (Path(c.in) / "model.stp").string() + "' с временным расширением stp был пропущен"),
              c.records)
        << journals;
  }
  for (const std::string& name : RegularFiles(Path("err"))) EXPECT_EQ(name.find("model"), std::string::npos) << name;
}

// Two instances on one folder: every file is processed by exactly one of
// them, and none is taken for faulty because the other was at it.
TEST_F(FoldersInTheService, TwoInstancesOnOneFolderProcessEveryFileExactlyOnce) {
  testsupport::ProfileWriter second("Folders2");
  WriteProfile(second);
  Rule(1, "B64E", "shared", "out-1");
  Rule(second, 1, "B64E", "shared", "out-2");
  constexpr int kFiles = 2000;
  std::set<std::string> expected;
  const fs::path staging = root_.Dir("staging");
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "f" + std::to_string(i) + ".txt";
    Write("staging/" + name, name);
    expected.insert(name + ".b64");
  }
  Start();
  StartProfile("Folders2");
  // Both instances are at work on the empty folder when the files come in,
  // so that both take part.
  for (const auto& entry : fs::directory_iterator(staging))
    fs::rename(entry.path(), Path("shared") / entry.path().filename());
  const bool done = WaitUntil(
      [&] { return RegularFiles(Path("out-1")).size() + RegularFiles(Path("out-2")).size() >= kFiles; },
      std::chrono::seconds(120));
  const auto stopped = RunMirelservice({"stop", "Folders2"});
  const std::string journals = Stop();
  ASSERT_TRUE(done) << journals;
  EXPECT_EQ(stopped.exitCode, 0) << stopped.output;

  const std::set<std::string> first = RegularFiles(Path("out-1"));
  const std::set<std::string> other = RegularFiles(Path("out-2"));
  std::set<std::string> both;
  std::set_intersection(first.begin(), first.end(), other.begin(), other.end(), std::inserter(both, both.end()));
  EXPECT_TRUE(both.empty()) << both.size() << " files processed twice";
  std::set<std::string> all = first;
  all.insert(other.begin(), other.end());
  EXPECT_EQ(all, expected);
  EXPECT_EQ(first.size() + other.size(), static_cast<std::size_t>(kFiles));
  EXPECT_TRUE(fs::is_empty(Path("shared")));
  EXPECT_TRUE(fs::is_empty(Path("err")));
  // The only records a file may get are those of meeting the other
  // instance at work: listed by one instance and taken by the other before
  // the first came to it (gone, or seen under its claimed name). Never a
  // claim taken back from a live instance.
  std::istringstream lines(journals);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("| Ошибка ORLAX ") != std::string::npos || line.find("| Ошибка 0x") != std::string::npos) {
      EXPECT_TRUE(line.find("Ошибка ORLAX 0xE171800B - ") != std::string::npos ||
                  line.find("Ошибка ORLAX 0xE171800A - ") != std::string::npos)
          << line;
    }
  }
}

// A file another program holds open waits under its own name and is
// processed once it is closed: a reader without a record (another instance
// sizing the file holds it the same way for an instant), a producer still
// writing it with one record of the system error however many cycles meet
// it.
TEST_F(FoldersInTheService, FileHeldOpenByAnotherProgramIsProcessedOnceClosed) {
  Rule(1, "B64E", "in", "out");
  Write("in/read.txt", "read");
  Write("in/written.txt", "written");
  // Programs outside the layer reading the one and writing the other.
  testsupport::ChildProcess reader(
      {"sh", "-c", "exec 3<'" + Path("in/read.txt").string() + "'; echo ready; read line"});
  ASSERT_EQ(reader.ReadLine(), "ready");
  testsupport::ChildProcess writer(
      {"sh", "-c", "exec 3>>'" + Path("in/written.txt").string() + "'; echo ready; read line"});
  ASSERT_EQ(writer.ReadLine(), "ready");
  Start();
  // Named to come after the held files in the listing.
  Write("in/z-later.txt", "later");
  ASSERT_TRUE(WaitUntil([&] { return Exists("out/z-later.txt.b64"); })) << Journals();
  ASSERT_TRUE(WaitUntil([&] { return Count(Journals(), "Ошибка 0x20 - ") > 0; })) << Journals();
  // A cycle more, which meets both again.
  Write("in/z-next.txt", "next");
  ASSERT_TRUE(WaitUntil([&] { return Exists("out/z-next.txt.b64"); })) << Journals();
  EXPECT_EQ(Read("in/read.txt"), "read");
  EXPECT_EQ(Read("in/written.txt"), "written");
  EXPECT_FALSE(Exists("out/read.txt.b64"));
  EXPECT_FALSE(Exists("out/written.txt.b64"));
  reader.CloseInput();
  writer.CloseInput();
  const bool done = WaitUntil([&] { return Exists("out/read.txt.b64") && Exists("out/written.txt.b64"); });
  const std::string journals = Stop();
  ASSERT_TRUE(done) << journals;
  EXPECT_TRUE(fs::is_empty(Path("in")));
  EXPECT_TRUE(fs::is_empty(Path("err")));
  EXPECT_EQ(Count(journals, "| Ошибка |"), 1u) << journals;
  EXPECT_EQ(Count(journals, "Ошибка 0x20 - "), 1u) << journals;
  EXPECT_EQ(Count(journals, "Переименование файла '" + Path("in/written.txt").string() + "' (размер: "), 1u)
      << journals;
}

// Rules the loader must leave out (a mask count no rule can hold, outputs
// into the input folder) are named in the journal, their folders are left
// alone, and the other rules run.
TEST_F(FoldersInTheService, RulesThatMustNotLoadAreRecordedAndTheOthersRun) {
  Rule(1, "B64E", "masks-in", "masks-out").Dword("Mask num", 100000000);
  Rule(2, "B64E", "same", "same");
  Rule(3, "B64E", "in", "out");
  Write("masks-in/a.txt", "a");
  Write("same/b.txt", "b");
  Write("in/c.txt", "c");
  Start();
  const bool done = WaitUntil([&] { return Exists("out/c.txt.b64"); });
  const std::string journals = Stop();
  ASSERT_TRUE(done) << journals;
  EXPECT_EQ(Count(journals, "Ошибка ORLAX 0xE1718023 - Значение 'Mask num' равно 100000000, допустимо не более 1000: "
                            "правило не загружено"),
            1u)
      << journals;
  EXPECT_EQ(Count(journals, "Ошибка ORLAX 0xE1718022 - Значение 'Path Out' совпадает со значением 'Path In'"), 1u)
      << journals;
  EXPECT_EQ(Read("masks-in/a.txt"), "a");
  EXPECT_TRUE(fs::is_empty(Path("masks-out")));
  // The rule that runs keeps its place in the key order as its number.
  EXPECT_EQ(Count(journals, "| Успех | Правило 3. Кодирование в Base64 файла " + Path("in/c.txt").string()), 1u)
      << journals;
  EXPECT_EQ(Count(journals, "Правило 1."), 0u) << journals;
  EXPECT_EQ(RegularFiles(Path("same")), std::set<std::string>{"b.txt"});
}

// A rule whose "Path Out" is its "Path In" by a link would hash its own
// output every cycle. A link there at the start leaves the rule out at the
// load; one that appears later (the folder did not exist yet) passes the
// rule over from the first cycle that meets it. Both are recorded once, the
// file stays as it was, and the other rules run.
TEST_F(FoldersInTheService, ARuleWhoseOutputFolderIsALinkToItsInputNeverTakesItsOwnOutput) {
  fs::create_directory_symlink(root_.Dir("hash-in"), Path("hash-out"));
  profile_.Rule("Rule 1", "HASH", Path("hash-in"), Path("hash-out"), root_.Dir("err"), "*.*", "Demo", pse_, local_);
  profile_.Rule("Rule 2", "HASH", root_.Dir("later-in"), Path("later-out"), root_.Dir("err"), "*.*", "Demo", pse_,
                local_);
  Rule(3, "B64E", "in", "out");
  Write("hash-in/a.bin", "a");
  Write("later-in/b.bin", "b");
  Start();
  // The second rule waits for its output folder, which appears as a link.
  ASSERT_TRUE(WaitUntil([&] { return Journals().find(Path("later-out").string()) != std::string::npos; }))
      << Journals();
  fs::create_directory_symlink(Path("later-in"), Path("later-out"));
  ASSERT_TRUE(WaitUntil([&] { return Journals().find("правило не выполняется") != std::string::npos; }))
      << Journals();
  // Two files one after the other: the cycle that takes the second began
  // after the one that took the first ended, so it met the link.
  Write("in/c1.txt", "c");
  ASSERT_TRUE(WaitUntil([&] { return Exists("out/c1.txt.b64"); })) << Journals();
  Write("in/c2.txt", "c");
  const bool done = WaitUntil([&] { return Exists("out/c2.txt.b64"); });
  const std::string journals = Stop();
  ASSERT_TRUE(done) << journals;
  EXPECT_EQ(RegularFiles(Path("hash-in")), std::set<std::string>{"a.bin"});
  EXPECT_EQ(RegularFiles(Path("later-in")), std::set<std::string>{"b.bin"});
  EXPECT_TRUE(fs::is_empty(Path("err")));
  EXPECT_EQ(Count(journals, "Ошибка ORLAX 0xE1718022 - Значение 'Path Out' совпадает со значением 'Path In' (" +
                                Path("hash-in").string() + "): правило не загружено"),
            1u)
      << journals;
  EXPECT_EQ(Count(journals, "Ошибка ORLAX 0xE1718022 - Значение 'Path Out' совпадает со значением 'Path In' (" +
                                Path("later-in").string() + "): правило не выполняется"),
            1u)
      << journals;
}

}  // namespace

// A rule with no "Path Out" would write into the file system's root: MOVE
// and ENCR are skipped as for a missing folder, with its record, and their
// files stay; DELE, which writes nothing, runs without one.
TEST_F(FoldersInTheService, RulesWithNoOutputFolderAreSkippedAndDeleteRunsWithoutOne) {
  Rule(1, "MOVE", "move-in", "unused-1").Text("Path Out", "");
  Rule(2, "ENCR", "encr-in", "unused-2").Text("Path Out", "").Recipients({pki_.Dn("user1")});
  Rule(3, "DELE", "dele-in", "unused-3").Text("Path Out", "");
  Write("move-in/m.txt", "m");
  Write("encr-in/e.txt", "e");
  Write("dele-in/d.txt", "d");
  Start();
  const bool done = WaitUntil([&] {
    return !Exists("dele-in/d.txt") && Count(Journals(), "Правило 2. Проверка выходного каталога ''") > 0;
  });
  const std::string journals = Stop();
  ASSERT_TRUE(done) << journals;
  EXPECT_GT(Count(journals, "Правило 1. Проверка выходного каталога ''"), 0u) << journals;
  EXPECT_EQ(Count(journals, "Правило 3. Проверка"), 0u) << journals;
  EXPECT_EQ(Read("move-in/m.txt"), "m");
  EXPECT_EQ(Read("encr-in/e.txt"), "e");
  EXPECT_FALSE(fs::exists("/m.txt"));
  EXPECT_FALSE(fs::exists("/e.txt.p7e"));
  EXPECT_TRUE(fs::is_empty(Path("err")));
}
