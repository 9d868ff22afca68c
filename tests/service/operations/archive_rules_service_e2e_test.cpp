// ARCH feeding UNAR (ZIP and GZIP), PACK feeding UNPK and EXEC per file in
// the running service; and PACK's wait, which must outlive the cycles of the
// service's worker, on a clock the test drives.

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/datetime.h"
#include "tests/service/operations/file_rules_service_fixture.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFileBytes;
using testsupport::RunMirelservice;

std::vector<std::string> Listing(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    names.push_back(fs::relative(entry.path(), folder).generic_string() + (entry.is_directory() ? "/" : ""));
  std::sort(names.begin(), names.end());
  return names;
}

class ArchiveRulesInTheService : public servicetest::FileRulesServiceTest {
 protected:
  ArchiveRulesInTheService() : FileRulesServiceTest("Archives") {}
  void SetUp() override {
    FileRulesServiceTest::SetUp();
    profile_.ZipExtension("zip").GzipExtension("gz");
  }
};

TEST_F(ArchiveRulesInTheService, ArchivedPackedAndHandedOnFilesComeOutWhole) {
  Rule(1, "ARCH", "arch-in", "arch-zip").Archive(1);
  Rule(2, "UNAR", "arch-zip", "arch-back", "*.zip").Archive(1);
  Rule(3, "ARCH", "gz-in", "gz-packed").Archive(2);
  Rule(4, "UNAR", "gz-packed", "gz-back", "*.gz").Archive(2);
  Rule(5, "PACK", "pack-in", "pack-out").Batch("batch", 3);
  Rule(6, "UNPK", "pack-out", "unpk-out", "*.zip");
  // The program moves each file on: the name goes to it as one argument.
  Rule(7, "EXEC", "exec-in", "exec-out").Program("/bin/mv :|$F $OUT|");

  std::mt19937 generator(5);
  std::string scan(700000, '\0');
  for (char& c : scan) c = static_cast<char>(generator());
  const std::string odd = "a b \"c\" $(touch x);.txt";
  Write("arch-in/отчёт.txt", "Отчёт за квартал");
  Write("gz-in/scan.bin", scan);
  Write("pack-in/one.txt", "one");
  Write("pack-in/two.bin", scan);
  Write("pack-in/three.txt", "");
  Write("exec-in/" + odd, "handed on");

  Start();
  const bool done = testsupport::WaitUntil([&] {
    return Exists("arch-back/отчёт.txt") && Exists("gz-back/scan.bin") && Exists("unpk-out/three.txt") &&
           Exists("exec-out/" + odd);
  });
  EXPECT_EQ(RunMirelservice({"stop", profile_.profile()}).exitCode, 0);
  const std::string journals = testsupport::ReadJournals(logs_);
  ASSERT_TRUE(done) << journals;

  EXPECT_EQ(Read("arch-back/отчёт.txt"), "Отчёт за квартал");
  EXPECT_TRUE(Read("gz-back/scan.bin") == scan);
  EXPECT_EQ(Listing(Path("unpk-out")), (std::vector<std::string>{"one.txt", "three.txt", "two.bin"}));
  EXPECT_TRUE(Read("unpk-out/two.bin") == scan);
  EXPECT_EQ(Read("unpk-out/three.txt"), "");
  EXPECT_EQ(Read("exec-out/" + odd), "handed on");
  EXPECT_FALSE(Exists("x"));
  EXPECT_FALSE(Exists("exec-in/x"));
  for (const char* folder : {"arch-in", "arch-zip", "gz-in", "gz-packed", "pack-in", "pack-out", "err"})
    EXPECT_TRUE(fs::is_empty(Path(folder))) << folder;
  EXPECT_EQ(journals.find("| Ошибка |"), std::string::npos) << journals;
  EXPECT_NE(journals.find("Упаковка '3' файлов из каталога '" + Path("pack-in").string() + "' в архив '" +
                          Path("pack-out/batch.zip").string() + "'"),
            std::string::npos)
      << journals;
  EXPECT_NE(journals.find("(распаковано файлов: 3)"), std::string::npos) << journals;
}

// The worker keeps PACK's wait start in its own rule record from cycle to
// cycle: fewer files than "ArchCount" are packed once "ArchTimeout" has run
// out since the first cycle that saw them, not since the latest one.
TEST_F(ArchiveRulesInTheService, FewFilesArePackedOnceTheirWaitingTimeRunsOut) {
  Rule(1, "PACK", "pack-in", "pack-out").Batch("waited", 5).BatchTimeout(2);
  // One run of the recorder per cycle, after the PACK rule: the cycles the
  // worker has finished.
  const std::string recorder = (testsupport::BuildDir() / "bin" / "argument_recorder").string();
  const fs::path log = Path("cycles");
  Rule(2, "EXEC", "marker", "marker").Program(recorder + " " + log.string() + " :|$IN|");
  Write("marker/m", "m");
  auto cycles = [&] {
    const std::string text = ReadFileBytes(log);
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  };

  // The clock file appears only once the service runs (until then it and
  // the start command count real time). From then on the worker waits for
  // the test's clock: a jump of a second or more ends its pause between
  // cycles, and small nudges let its short stop polls before each rule pass.
  const std::string clock = Path("clock").string();
  Start({"QELM_CLOCK_FILE=" + clock, "TZ=UTC"});
  const std::int64_t t0 = std::time(nullptr) + 86400;
  ASSERT_TRUE(platform::WriteClockFile(clock.c_str(), t0));
  Write("pack-in/a.txt", "a");
  Write("pack-in/b.txt", "b");
  // Sets the clock to t0 + seconds and nudges it on by 50 ms at a time until
  // done holds (a cycle takes a few such nudges, far below the margins of the
  // checkpoints below).
  auto runUntil = [&](std::int64_t seconds, const std::function<bool()>& done) {
    std::int64_t nudged = 0;  // milliseconds
    return testsupport::WaitUntil([&] {
      if (done()) return true;
      const bool written = platform::WriteClockFile(clock.c_str(), t0 + seconds + nudged / 1000,
                                                    static_cast<std::uint32_t>(nudged % 1000) * 1000000u);
      nudged += 50;
      return !written;
    });
  };
  auto cycleAt = [&](std::int64_t seconds) {
    const size_t before = cycles();
    ASSERT_TRUE(runUntil(seconds, [&] { return cycles() > before; })) << seconds;
  };
  // Two whole cycles after the files came: the wait began before t0 + 20.
  cycleAt(2);
  cycleAt(10);
  cycleAt(60);
  cycleAt(110);
  EXPECT_TRUE(fs::is_empty(Path("pack-out")));
  EXPECT_EQ(Listing(Path("pack-in")), (std::vector<std::string>{"a.txt", "b.txt"}));
  const bool packed = runUntil(150, [&] { return fs::exists(Path("pack-out/waited.zip")); });
  EXPECT_EQ(RunMirelservice({"stop", profile_.profile()}).exitCode, 0);
  const std::string journals = testsupport::ReadJournals(logs_);
  ASSERT_TRUE(packed) << journals;
  EXPECT_TRUE(fs::is_empty(Path("pack-in")));
  EXPECT_NE(journals.find("Упаковка '2' файлов"), std::string::npos) << journals;
  EXPECT_EQ(journals.find("| Ошибка |"), std::string::npos) << journals;
}

}  // namespace
