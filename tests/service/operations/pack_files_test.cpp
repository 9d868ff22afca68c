// PACK: when an archive is made (count, waiting time on the driven clock,
// size limit), what it holds, how a taken name is met, and archives that
// cannot be finished, which give every input back.

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <memory>

#include "platform/sync.h"
#include "service/core/file_pipeline.h"
#include "service/operations/minizip_files.h"
#include "service/operations/operations.h"
#include "tests/service/operations/archive_test_files.h"
#include "tests/support/crash_child.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/one_rule_fixture.h"

namespace fs = std::filesystem;

namespace fileops {
namespace {

using namespace testsupport;

// FILETIME ticks of a moment given in seconds since 1970 (UTC is local here).
std::int64_t Ticks(std::int64_t seconds) { return (seconds + 11644473600LL) * 10000000LL; }

class PackFilesTest : public OneRuleTest {
 protected:
  PackFilesTest() : OneRuleTest(L"Проба") {}

  void SetUp() override {
    OneRuleTest::SetUp();
    Rule().operation = L"PACK";
    Rule().archName = L"batch";
  }
  // Lists the input folder as the worker would and packs.
  DWORD Pack(const std::string& ext = "zip") {
    std::vector<std::string> names;
    for (const std::string& name : Tree(in_)) names.push_back(name);
    return PackWith(names, ext);
  }
  DWORD PackWith(const std::vector<std::string>& names, const std::string& ext = "zip") {
    return PackFiles(Call(Names(names)), {.archExt = Wide(ext), .waitStart = &wait_});
  }
  // Points the rule at other folders below the root.
  void Folders(const std::string& tag) {
    in_ = root_.Dir(tag + "-in");
    out_ = root_.Dir(tag + "-out");
    Rule().pathIn = Wide(in_.string());
    Rule().pathOut = Wide(out_.string());
  }
  // The entry names of an archive in their order.
  static std::vector<std::string> Entries(const fs::path& archive) {
    const auto listed = Tool(archive.parent_path(), {"unzip", "-Z1", archive.filename().string()});
    std::vector<std::string> names;
    for (size_t at = 0; at < listed.output.size();) {
      size_t end = listed.output.find('\n', at);
      if (end == std::string::npos) end = listed.output.size();
      if (end > at) names.push_back(listed.output.substr(at, end - at));
      at = end + 1;
    }
    return names;
  }
  size_t Successes() const {
    size_t count = 0;
    for (const std::string& line : Records()) count += Contains(line, "| Успех |") ? 1 : 0;
    return count;
  }

  std::int64_t wait_ = 0;
};

TEST_F(PackFilesTest, CountAndWaitingTimeDecideWhenAnArchiveIsMade) {
  struct Step {
    int seconds;  // after kNow
    size_t packed;  // entries of the archive made by this call; 0: none made
    int waitAt;     // the wait start afterwards, in seconds after kNow; -1: none
  };
  struct Case {
    std::string what;
    int count, timeout, files;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"count not reached, no waiting time", 5, 0, 3, {{0, 0, -1}, {30 * 86400, 0, -1}}},
      {"two minutes", 5, 2, 3, {{0, 0, 0}, {60, 0, 0}, {119, 0, 0}, {120, 3, 120}}},
      {"four minutes", 5, 4, 3, {{0, 0, 0}, {239, 0, 0}, {240, 3, 240}}},
      {"count reached, the rest stays", 5, 0, 7, {{0, 5, -1}}},
      {"every file", 0, 0, 4, {{0, 4, -1}}},
      // An archive made by the count starts no wait; the leftover waits.
      {"count, then the leftover waits", 2, 1, 3, {{0, 2, -1}, {10, 0, 10}, {69, 0, 10}, {70, 1, 70}}},
  };
  Rule().archName = L"pack:|hhmmss|";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Folders(c.what);
    Rule().archCount = c.count;
    Rule().archTimeout = c.timeout;
    wait_ = 0;
    std::vector<std::string> inputs;
    for (int i = 0; i < c.files; ++i) {
      inputs.push_back("f" + std::to_string(i) + ".txt");
      Put(inputs.back(), "file " + std::to_string(i));
    }
    const size_t recordsBefore = Successes();
    size_t packedSoFar = 0, archives = 0;
    for (const Step& step : c.steps) {
      SCOPED_TRACE(step.seconds);
      clock_.Set(kNow + step.seconds);
      ASSERT_EQ(Pack(), 0u);
      EXPECT_EQ(wait_, step.waitAt < 0 ? 0 : Ticks(kNow + step.waitAt));
      const auto made = Tree(out_);
      if (step.packed > 0) {
        ++archives;
        ASSERT_EQ(made.size(), archives);
        char name[32];
        const std::int64_t t = (kNow + step.seconds) % 86400;
        std::snprintf(name, sizeof(name), "pack%02d%02d%02d.zip", static_cast<int>(t / 3600),
                      static_cast<int>(t / 60 % 60), static_cast<int>(t % 60));
        const std::vector<std::string> expected(inputs.begin() + static_cast<long>(packedSoFar),
                                                inputs.begin() + static_cast<long>(packedSoFar + step.packed));
        EXPECT_EQ(Entries(out_ / name), expected);
        packedSoFar += step.packed;
      } else {
        EXPECT_EQ(made.size(), archives);
      }
      EXPECT_EQ(Tree(in_).size(), inputs.size() - packedSoFar);
      EXPECT_EQ(Successes() - recordsBefore, archives);
    }
  }
  EXPECT_FALSE(Contains(Operations(), "| Ошибка |")) << Operations();
}

TEST_F(PackFilesTest, SizeLimitDropsLargeFilesAndClaimedNamesAndStopsPastTheLimit) {
  Rule().archSize = 1;  // 1024 bytes
  Put("a", std::string(600, 'a'));
  Put("b", std::string(600, 'b'));
  Put("c", std::string(600, 'c'));
  Put("d", std::string(5000, 'd'));
  Put("left.stp", "claimed by another instance at work");
  LiveClaim claim(in_ / "left.stp");
  ASSERT_TRUE(claim.Held());
  ASSERT_EQ(PackWith({"a", "b", "c", "d", "left.stp"}), 0u);
  EXPECT_EQ(Entries(out_ / "batch.zip"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Tree(in_), (std::vector<std::string>{"c", "d", "left.stp"}));
  const auto records = Records();
  ASSERT_EQ(records.size(), 1u) << Operations();  // nothing for the names dropped
  EXPECT_TRUE(Contains(records[0], "| Успех | Правило 1 ('Проба'). Упаковка '2' файлов из каталога '" + in_.string() +
                                       "' в архив '" + (out_ / "batch.zip").string() + "' (размер: 0)"))
      << records[0];

  // Without a size limit the claimed name is taken up, recorded and counted.
  Rule().archSize = 0;
  Rule().archName = L"second";
  ASSERT_EQ(PackWith({"c", "left.stp"}), 0u);
  EXPECT_EQ(Entries(out_ / "second.zip"), std::vector<std::string>{"c"});
  EXPECT_TRUE(Contains(Errors(), "с временным расширением stp был пропущен")) << Errors();
  EXPECT_TRUE(Contains(Operations(), "Упаковка '2' файлов из каталога")) << Operations();
  EXPECT_EQ(Tree(in_), (std::vector<std::string>{"d", "left.stp"}));
}

TEST_F(PackFilesTest, TheArchivePassesUnzipWithEveryFileDeflatedAndDated) {
  const std::string big = Bytes(1024 * 1024 + 7, 5);  // two full pieces and a short one
  const std::string text(200000, 'x');
  Put("big.bin", big);
  const fs::path named = Put("отчёт.txt", text);
  Put("empty", "");
  // 8 March 2026 09:05:08 UTC (local time here).
  const timespec times[2] = {{1772960708, 0}, {1772960708, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, named.c_str(), times, 0), 0);
  ASSERT_EQ(PackWith({"big.bin", "отчёт.txt", "empty"}), 0u);
  const fs::path archive = out_ / "batch.zip";
  const auto tested = Tool(out_, {"unzip", "-t", "batch.zip"});
  EXPECT_EQ(tested.exitCode, 0) << tested.output;
  EXPECT_TRUE(Tree(in_).empty());
  // Entry names in the OEM code page, without the UTF-8 flag.
  const std::string bytes = Read(archive);
  EXPECT_TRUE(Contains(bytes, OemEntryName(Wide("отчёт.txt")))) << "no OEM entry name";
  EXPECT_EQ(Le32(bytes, 6) & 0x0800u, 0u);
  const auto verbose = Tool(out_, {"unzip", "-Z", "-T", "batch.zip"});
  EXPECT_TRUE(Contains(verbose.output, "defX")) << verbose.output;  // deflated at the highest level
  EXPECT_TRUE(Contains(verbose.output, " 20260308.090508 ")) << verbose.output;
  EXPECT_EQ(Tool(out_, {"unzip", "-p", "batch.zip", "big.bin"}).output, big);
  EXPECT_EQ(Tool(out_, {"unzip", "-p", "batch.zip", "empty"}).output, "");
  EXPECT_LT(bytes.size(), big.size() + 10000);  // the text went in deflated
}

TEST_F(PackFilesTest, ATakenArchiveNameFailsOrGetsAMarkAsTheProfileSays) {
  Put("a", "a");
  WriteBytes(out_ / "batch.zip", "an older archive");
  profile_.renameConfFiles = 0;
  ASSERT_EQ(Pack(), 0u);
  EXPECT_EQ(Tree(in_), std::vector<std::string>{"a"});  // not even claimed
  EXPECT_TRUE(Contains(Errors(), "Ошибка 0x50 - ")) << Errors();
  EXPECT_TRUE(Contains(Errors(), ". Правило 1 ('Проба'). Создание файла " + (out_ / "batch.zip").string()))
      << Errors();

  profile_.renameConfFiles = 1;
  ASSERT_EQ(Pack(), 0u);
  const auto made = Tree(out_);
  ASSERT_EQ(made.size(), 2u);
  const std::string marked = made[0] == "batch.zip" ? made[1] : made[0];
  EXPECT_EQ(marked.rfind("batch~", 0), 0u) << marked;
  EXPECT_EQ(marked.substr(marked.size() - 4), ".zip");
  EXPECT_EQ(Entries(out_ / marked), std::vector<std::string>{"a"});
  EXPECT_EQ(Read(out_ / "batch.zip"), "an older archive");
  EXPECT_TRUE(Contains(Records().back(), "в архив '" + (out_ / marked).string() + "' (размер: 0)"))
      << Records().back();

  // An empty archive extension: the archive has none.
  Put("b", "b");
  ASSERT_EQ(Pack(""), 0u);
  EXPECT_EQ(Entries(out_ / "batch"), std::vector<std::string>{"b"});

  // An archive that cannot be made: every file stays unclaimed.
  Put("c", "c");
  Rule().pathOut = Wide((root_.path() / "missing").string());
  ASSERT_EQ(Pack(), 0u);
  EXPECT_EQ(Tree(in_), std::vector<std::string>{"c"});
  EXPECT_TRUE(Contains(Errors(), "Ошибка 0x4001A - Ошибка создания файла с запакованными данными")) << Errors();
}

TEST_F(PackFilesTest, AFileThatFailsGoesToTheErrorFolderAndTheArchiveGoesOn) {
  Put("a", "a");
  const fs::path locked = Put("b", "b");
  Put("c", "c");
  ASSERT_TRUE(SetFileAttributesW(Wide(locked.string()), FILE_ATTRIBUTE_READONLY));
  ASSERT_EQ(Pack(), 0u);
  EXPECT_EQ(Entries(out_ / "batch.zip"), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(Tree(err_), std::vector<std::string>{"b"});
  EXPECT_TRUE(Tree(in_).empty());
  const auto records = Records();
  ASSERT_EQ(records.size(), 2u) << Operations();
  const std::string text = "Упаковка '3' файлов из каталога '" + in_.string() + "' в архив '" +
                           (out_ / "batch.zip").string() + "' (размер: 0)";
  EXPECT_TRUE(Contains(records[0], text + ". Файл перемещен в каталог ошибок под именем " + (err_ / "b").string()))
      << records[0];
  EXPECT_TRUE(Contains(records[1], "| Успех | Правило 1 ('Проба'). " + text)) << records[1];
  EXPECT_FALSE(Contains(records[1], "перемещен")) << records[1];
}

TEST_F(PackFilesTest, AnArchiveThatCannotBeWrittenGivesEveryInputBack) {
  Put("a", Bytes(1024 * 1024, 1));
  Put("b", Bytes(1024 * 1024, 2));
  Put("c", "c");
  // The disk fills while b is written.
  const DWORD rc = testsupport::WithFileSizeLimit(1536 * 1024, [&] { return Pack(); });
  ASSERT_EQ(rc, 0u);
  EXPECT_TRUE(Tree(out_).empty());
  EXPECT_EQ(Tree(in_), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(Read(in_ / "a"), Bytes(1024 * 1024, 1));
  EXPECT_EQ(Tree(err_), std::vector<std::string>{"b"});
  EXPECT_EQ(Successes(), 0u);
  EXPECT_TRUE(Contains(Errors(), "Ошибка 0x40024 - Ошибка записи сжатых данных в файл")) << Errors();
  EXPECT_TRUE(Contains(Errors(), "Архивация файла '" + (in_ / "b").string() + "'")) << Errors();
}

TEST_F(PackFilesTest, AStopOrAFailedJournalLeavesNoArchiveAndNoClaimedName) {
  Put("a", "a");
  Put("b", "b");
  platform::FileHandle stop(CreateEventW(nullptr, TRUE, TRUE, nullptr));
  worker_.stopEvent = stop.get();
  ASSERT_EQ(Pack(), 0u);
  worker_.stopEvent = nullptr;
  EXPECT_TRUE(Tree(out_).empty());
  EXPECT_EQ(Tree(in_), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(Records().empty());

  // a is packed; b's failure cannot be journaled, which ends the call.
  ASSERT_TRUE(SetFileAttributesW(Wide((in_ / "b").string()), FILE_ATTRIBUTE_READONLY));
  const DWORD rc = PackFiles({.files = Names({"a", "b"}),
                              .rule = Rule(),
                              .state = state_,
                              .worker = worker_,
                              .journalFolder = Wide((root_.path() / "no-journal").string()),
                              .profileName = L"P",
                              .settings = ReadRuleSettings(profile_, 0)},
                             {.archExt = L"zip", .waitStart = &wait_});
  EXPECT_NE(rc, 0u);
  EXPECT_TRUE(Tree(out_).empty());
  EXPECT_TRUE(fs::exists(in_ / "a"));
  EXPECT_FALSE(fs::exists(in_ / "a.stp"));
}

TEST_F(PackFilesTest, AFileBeyondTheZipLimitsIsRefusedOrWaits) {
  // Sparse: 4 GiB of nothing on disk.
  const fs::path huge = Put("huge", "");
  fs::resize_file(huge, 0x100000000ull);
  Put("small", "small");
  // Listed after a file that fits, it waits for an archive of its own.
  ASSERT_EQ(PackWith({"small", "huge"}), 0u);
  EXPECT_EQ(Entries(out_ / "batch.zip"), std::vector<std::string>{"small"});
  EXPECT_EQ(Tree(in_), std::vector<std::string>{"huge"});
  // Alone, it is refused whole; the call's archive holds nothing.
  Rule().archName = L"second";
  ASSERT_EQ(Pack(), 0u);
  EXPECT_EQ(Tree(err_), std::vector<std::string>{"huge"});
  EXPECT_EQ(Tree(out_), (std::vector<std::string>{"batch.zip", "second.zip"}));
  EXPECT_EQ(fs::file_size(out_ / "second.zip"), 22u);  // the end record alone: no entry
  EXPECT_TRUE(Contains(Errors(), "Ошибка 0x90000 - ")) << Errors();
  EXPECT_EQ(Successes(), 2u);
}

// An archive is made and recorded once a file has been taken for it, packed
// or failed: when every one fails, the archive is empty and its record
// counts the names taken up. Names that are only passed over make none,
// which would otherwise come anew every cycle.
TEST_F(PackFilesTest, EveryTakenFileFailingStillGivesTheArchiveAndItsRecord) {
  struct Case {
    const char* what;
    std::function<void()> setup;
    bool archive;
  };
  std::unique_ptr<LiveClaim> live;
  const Case cases[] = {
      {"every file refused",
       [&] {
         for (const char* name : {"a", "b"})
           ASSERT_TRUE(SetFileAttributesW(Wide(Put(name, name).string()), FILE_ATTRIBUTE_READONLY));
       },
       true},
      {"every name passed over",
       [&] {
         Put("held.stp", "another instance's");
         live = std::make_unique<LiveClaim>(in_ / "held.stp");
         ASSERT_TRUE(live->Held());
       },
       false},
  };
  int tag = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Folders("case" + std::to_string(tag++));
    c.setup();
    const size_t listed = Tree(in_).size();
    const size_t before = Successes();
    ASSERT_EQ(Pack(), 0u);
    EXPECT_EQ(Successes() - before, c.archive ? 1u : 0u) << Operations();
    if (!c.archive) {
      EXPECT_EQ(Tree(out_), std::vector<std::string>{});
      continue;
    }
    EXPECT_EQ(Tree(out_), std::vector<std::string>{"batch.zip"});
    EXPECT_EQ(fs::file_size(out_ / "batch.zip"), 22u);  // the end record alone: no entry
    EXPECT_TRUE(Contains(Records().back(), "| Успех | Правило 1 ('Проба'). Упаковка '" + std::to_string(listed) +
                                               "' файлов из каталога '" + in_.string() + "' в архив '" +
                                               (out_ / "batch.zip").string() + "' (размер: 0)"))
        << Records().back();
  }
  live.reset();
}

// A kill once the archive has its name and before its inputs are deleted:
// the next run's take-back deletes the inputs (the archive holds them), and
// nothing is packed twice. A kill after the inputs' records name the
// archive and before it has that name: every input is given back whole and
// packed once by the next cycle.
TEST_F(PackFilesTest, AKillAroundPublishingPacksEveryFileExactlyOnce) {
  struct Case {
    const char* killPoint;
    std::vector<std::string> inAfterTakeBack;
    std::vector<std::string> outAfterTakeBack;
    const char* recordText;
  };
  const std::vector<std::string> inputs{"a.txt", "b.txt", "c.txt"};
  const Case cases[] = {
      {"outputs-published", {}, {"batch.zip"}, "' остался от прерванной обработки, результат которой уже опубликован ('"},
      {"publishing-noted", inputs, {}, "' остался от прерванной обработки и возвращен под исходным именем '"},
  };
  int tag = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.killPoint);
    Folders("kill" + std::to_string(tag++));
    for (const std::string& name : inputs) Put(name, "content of " + name);
    ASSERT_EQ(RunKilledAt(c.killPoint, [&] { Pack(); }), SIGKILL);
    { FilePipeline first(Journal(), profile_, worker_, L"P", 0); }  // the next run meets the folders
    EXPECT_EQ(Tree(in_), c.inAfterTakeBack);
    EXPECT_EQ(Tree(out_), c.outAfterTakeBack);
    EXPECT_TRUE(Contains(Errors(), c.recordText)) << Errors();

    ASSERT_EQ(Pack(), 0u);
    EXPECT_TRUE(Tree(in_).empty());
    ASSERT_EQ(Tree(out_), std::vector<std::string>{"batch.zip"});
    EXPECT_EQ(Entries(out_ / "batch.zip"), inputs);
    for (const std::string& name : inputs)
      EXPECT_EQ(Tool(out_, {"unzip", "-p", "batch.zip", name}).output, "content of " + name);
  }
}

}  // namespace
}  // namespace fileops
