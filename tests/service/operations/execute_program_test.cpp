// EXEC: the rule's program started per file or once, its arguments exactly
// as the names are, its exit code, a time limit on the driven clock, a stop
// request during the wait, and programs that cannot start.

#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/codepage.h"
#include "platform/datetime.h"
#include "platform/sync.h"
#include "service/core/file_pipeline.h"
#include "service/operations/operations.h"
#include "tests/support/one_rule_fixture.h"
#include "tests/support/service_runner.h"

namespace fs = std::filesystem;

namespace fileops {
namespace {

using namespace testsupport;

class ExecuteProgramTest : public OneRuleTest {
 protected:
  ExecuteProgramTest() : OneRuleTest(L"Проба") {}

  std::string Recorder() const { return (testsupport::BuildDir() / "bin" / "argument_recorder").string(); }
  std::string Log() const { return (root_.path() / "log").string(); }
  std::string LogText() const { return Read(root_.path() / "log"); }
  // The template: the recorder with its options and log, then the group.
  void Template(const std::string& options, const std::string& group) {
    Rule().execName = Wide(Recorder() + " " + options + (options.empty() ? "" : " ") + Log() + " " + group);
  }
  DWORD Exec(const std::vector<std::string>& names) {
    return ExecuteProgram(Call(Names(names)));
  }
  size_t Runs() const {
    const std::string log = LogText();
    return static_cast<size_t>(std::count(log.begin(), log.end(), '\n'));
  }
  // Waits (polling the log the program writes) until it has started n times.
  void AwaitRuns(size_t n) {
    ASSERT_TRUE(testsupport::WaitUntil([&] { return Runs() >= n; }));
  }
};

TEST_F(ExecuteProgramTest, InsertedNamesAreOneArgumentWhateverTheyHold) {
  const std::string odd = "a b \"c\" $(touch x);.txt";
  Put(odd, "data");
  Put("report.2024.txt", "data");
  Template("", ":|$F \"$N\" $E|");
  ASSERT_EQ(Exec({odd, "report.2024.txt"}), 0u);
  const std::string expected = in_.string() + "/" + odd + std::string("\0a b \"c\" $(touch x);\0txt\0fds=0\n", 31) +
                               in_.string() + "/report.2024.txt" + std::string("\0report\0" "2024.txt\0fds=0\n", 23);
  EXPECT_EQ(LogText(), expected);
  EXPECT_FALSE(fs::exists(root_.path() / "x"));
  EXPECT_FALSE(fs::exists(in_ / "x"));
  // The files stay for the program to remove; each run has its record.
  EXPECT_EQ(Tree(in_).size(), 2u);
  const auto records = Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_TRUE(Contains(records[1], "| Успех | Правило 1 ('Проба'). Исполнение файла '" + Recorder() + " " + Log() +
                                       " " + in_.string() + "/report.2024.txt \"report\" 2024.txt' в каталоге '" +
                                       in_.string() + "'"))
      << records[1];
}

TEST_F(ExecuteProgramTest, ExitCodesAndStartFailuresAreRecorded) {
  Put("one.txt", "1");
  Put("two.txt", "2");
  Put("skip.stp", "claimed");
  LiveClaim claim(in_ / "skip.stp");
  ASSERT_TRUE(claim.Held());
  Template("--exit 3", ":|$N|");
  ASSERT_EQ(Exec({"one.txt", "skip.stp"}), 0u);
  EXPECT_TRUE(Contains(Errors(), "Ошибка 0x3 - Программа завершилась с кодом 3")) << Errors();
  EXPECT_TRUE(Contains(Errors(), "с временным расширением stp был пропущен")) << Errors();
  EXPECT_EQ(Tree(in_), (std::vector<std::string>{"one.txt", "skip.stp", "two.txt"}));

  // A program that does not exist: once per cycle the files stay; per file
  // each goes to the error folder.
  Rule().execName = Wide((root_.path() / "missing").string() + " :|$IN|");
  ASSERT_EQ(Exec({"one.txt", "two.txt"}), 0u);
  EXPECT_EQ(Tree(in_).size(), 3u);
  Rule().execName = Wide((root_.path() / "missing").string() + " :|$N|");
  ASSERT_EQ(Exec({"one.txt"}), 0u);
  EXPECT_EQ(Tree(err_), std::vector<std::string>{"one.txt"});
  const auto records = Records();
  ASSERT_EQ(records.size(), 4u);
  const std::string errors = Errors();
  size_t notFound = 0;
  for (size_t at = 0; (at = errors.find("Ошибка 0x2 - ", at)) != std::string::npos; ++at) {
    ++notFound;
    // A start that failed has no step text, not even the rule's prefix.
    const std::string line = errors.substr(at, errors.find("\r\n", at) - at);
    EXPECT_EQ(line.find("Правило"), std::string::npos) << line;
  }
  EXPECT_EQ(notFound, 2u) << errors;
  EXPECT_TRUE(Contains(records[3], ". Файл перемещен в каталог ошибок под именем " + (err_ / "one.txt").string()))
      << records[3];
}

// "$F" is the path of the file as it is named: no "." is added to a name
// without an extension (a path ending in one names another file here).
TEST_F(ExecuteProgramTest, FilePathsNameTheFileAsItIs) {
  const std::vector<std::string> names = {"README", ".profile", "a.", "report.2024.txt"};
  std::string expected;
  for (const std::string& name : names) {
    Put(name, name);
    expected += (in_ / name).string() + std::string("\0fds=0\n", 7);
  }
  Template("", ":|$F|");
  ASSERT_EQ(Exec(names), 0u);
  EXPECT_EQ(LogText(), expected);
}

TEST_F(ExecuteProgramTest, OneRunPerCycleWithoutAFilePlaceholderAndOemNames) {
  Put("отчёт.txt", "1");
  Put("b.txt", "2");
  Template("", ":|$IN|");
  ASSERT_EQ(Exec({"отчёт.txt", "b.txt"}), 0u);
  EXPECT_EQ(LogText(), in_.string() + std::string("\0fds=0\n", 7));
  fs::remove(root_.path() / "log");
  Template("", ":|$O2C$N|");
  ASSERT_EQ(Exec({"отчёт.txt"}), 0u);
  EXPECT_EQ(LogText(), platform::WideToMultiByte(L"отчёт", 866) + std::string("\0fds=0\n", 7));
}

TEST_F(ExecuteProgramTest, ATimeLimitOnTheDrivenClockEndsTheProgramsGroup) {
  Put("a.txt", "1");
  Rule().execTimeout = 2;
  Template("--hang-with-helper", ":|$N|");
  DWORD result = 1;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    result = Exec({"a.txt"});
    done = true;
  });
  AwaitRuns(1);
  // The wait counts the steps of the clock that it sees, and the program may
  // have run before the call begins to wait: the clock goes on a minute at a
  // time until the call ends, which it must within the limit's two minutes
  // seen.
  for (int minute = 1; minute <= 30 && !done; ++minute) {
    clock_.Set(kNow + 60 * minute);
    WaitUntil([&] { return done.load(); }, std::chrono::milliseconds(500));
  }
  worker.join();
  EXPECT_EQ(result, 0u);
  EXPECT_TRUE(Contains(Errors(), "Ошибка 0x102 - ")) << Errors();
  const std::string log = LogText();
  const pid_t helper = std::stoi(log.substr(log.find("helper=") + 7));
  EXPECT_TRUE(testsupport::WaitUntil([&] {
    std::ifstream stat("/proc/" + std::to_string(helper) + "/stat");
    std::string line;
    std::getline(stat, line);
    return kill(helper, 0) != 0 || line.find(") Z") != std::string::npos;
  }));
}

TEST_F(ExecuteProgramTest, AStopDuringTheWaitEndsTheProgramAndTheCall) {
  Put("a.txt", "1");
  Put("b.txt", "2");
  Template("--hang", ":|$N|");
  platform::FileHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  worker_.stopEvent = stop.get();
  DWORD result = 1;
  std::thread worker([&] { result = Exec({"a.txt", "b.txt"}); });
  AwaitRuns(1);
  SetEvent(stop.get());
  worker.join();
  EXPECT_EQ(result, 0u);
  const auto records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(Contains(Errors(), "Ошибка 0x4C7 - ")) << Errors();
  EXPECT_EQ(Runs(), 1u);
  EXPECT_EQ(Tree(in_).size(), 2u);
}

}  // namespace
}  // namespace fileops
