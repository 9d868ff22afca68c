// ARCH and UNAR: one file into a ZIP or GZIP archive and back, what other
// archivers make and read, and archives that are not one sound file.

#include <sys/stat.h>
#include <utime.h>

#include "service/operations/operations.h"
#include "tests/service/operations/archive_test_files.h"
#include "tests/support/one_rule_fixture.h"

namespace fs = std::filesystem;

namespace fileops {
namespace {

using namespace testsupport;

class ArchiveFilesTest : public OneRuleTest {
 protected:
  ArchiveFilesTest() : OneRuleTest(L"Проба") {}

  DWORD Arch(const std::vector<std::string>& names, int zipFile, const std::string& ext) {
    Rule().zipFile = zipFile;
    ProfileRecord copy(profile_);
    return ArchiveFiles(Call(Names(names), copy), Wide(ext));
  }
  DWORD Unar(const std::vector<std::string>& names, int zipFile, const std::string& ext) {
    Rule().zipFile = zipFile;
    ProfileRecord copy(profile_);
    return UnarchiveFiles(Call(Names(names), copy), Wide(ext));
  }
  // Points the rule at other folders below the root.
  void Folders(const std::string& in, const std::string& out) {
    in_ = root_.Dir(in);
    out_ = root_.Dir(out);
    Rule().pathIn = Wide(in_.string());
    Rule().pathOut = Wide(out_.string());
  }
};

TEST_F(ArchiveFilesTest, ArchiveThenUnarchiveGivesTheBytesBack) {
  struct Case {
    int zipFile;
    std::string ext;
  };
  const Case cases[] = {{1, "zip"}, {2, "gz"}, {0, ""}, {2, ""}};
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ext + std::to_string(c.zipFile));
    const std::string tag = std::to_string(n++);
    Folders("plain" + tag, "packed" + tag);
    // One full 512 KiB piece and a remainder of 512 KiB; and a short file.
    const std::string big = Bytes(1024 * 1024, 3), small = "Отчёт за год\n";
    Put("big.bin", big);
    Put("отчёт.txt", small);
    ASSERT_EQ(Arch({"big.bin", "отчёт.txt"}, c.zipFile, c.ext), 0u);
    const std::string suffix = c.ext.empty() ? "" : "." + c.ext;
    EXPECT_EQ(Tree(out_), (std::vector<std::string>{"big.bin" + suffix, "отчёт.txt" + suffix}));
    EXPECT_TRUE(Tree(in_).empty());

    Folders("packed" + tag, "back" + tag);
    ASSERT_EQ(Unar({"big.bin" + suffix, "отчёт.txt" + suffix}, c.zipFile, c.ext), 0u);
    EXPECT_EQ(Read(out_ / "big.bin"), big);
    EXPECT_EQ(Read(out_ / "отчёт.txt"), small);
    EXPECT_TRUE(Tree(in_).empty());
  }
  EXPECT_TRUE(Tree(err_).empty());
  EXPECT_FALSE(Contains(Operations(), "| Ошибка |")) << Operations();
  EXPECT_TRUE(Contains(Operations(), "Правило 1 ('Проба'). Архивация файла '" + (root_.path() / "plain0/big.bin").string() +
                                         "' (размер: 1048576) с записью в файл '" +
                                         (root_.path() / "packed0/big.bin.zip").string() + "' (размер: "))
      << Operations();
  EXPECT_TRUE(Contains(Operations(), "Распаковка файла '" + (root_.path() / "packed1/big.bin.gz").string() +
                                         "' (размер: "));
}

TEST_F(ArchiveFilesTest, ArchivesPassTheToolsWithTheEntryNameAndDate) {
  const fs::path source = Put("report.txt", "quarterly figures\n");
  // 8 March 2026 09:05:08 UTC (local time here).
  struct utimbuf times {1772960708, 1772960708};
  ASSERT_EQ(utime(source.c_str(), &times), 0);
  ASSERT_EQ(Arch({"report.txt"}, 1, "zip"), 0u);
  auto tested = Tool(out_, {"unzip", "-t", "report.txt.zip"});
  EXPECT_EQ(tested.exitCode, 0) << tested.output;
  auto listed = Tool(out_, {"unzip", "-Z", "-T", "report.txt.zip"});
  EXPECT_TRUE(Contains(listed.output, "20260308.090508 report.txt")) << listed.output;

  Put("report.txt", "quarterly figures\n");
  ASSERT_EQ(utime(source.c_str(), &times), 0);
  ASSERT_EQ(Arch({"report.txt"}, 2, "gz"), 0u);
  tested = Tool(out_, {"gzip", "-t", "report.txt.gz"});
  EXPECT_EQ(tested.exitCode, 0) << tested.output;
  const std::string gz = Read(out_ / "report.txt.gz");
  EXPECT_EQ(Le32(gz, 4), 1772960708u);
  EXPECT_EQ(gz.substr(10, 11), std::string("report.txt\0", 11));
}

TEST_F(ArchiveFilesTest, UnarchivesWhatZipAndGzipMade) {
  const std::string data = Bytes(300000, 9);
  WriteBytes(in_ / "data.bin", data);
  ASSERT_EQ(Tool(in_, {"zip", "-q", "made.zip", "data.bin"}).exitCode, 0);
  ASSERT_EQ(Tool(in_, {"gzip", "data.bin"}).exitCode, 0);
  ASSERT_EQ(Unar({"made.zip"}, 1, "zip"), 0u);
  ASSERT_EQ(Unar({"data.bin.gz"}, 2, "gz"), 0u);
  EXPECT_EQ(Read(out_ / "made"), data);
  EXPECT_EQ(Read(out_ / "data.bin"), data);
  EXPECT_TRUE(Tree(in_).empty());
}

// ZIP64 archives (zip -fz): an entry's sizes are in its ZIP64 field, its
// 32-bit fields saying 0xFFFFFFFF. The bound holds the true sizes, and a
// damaged entry is found by its CRC.
TEST_F(ArchiveFilesTest, UnarchivesZip64ArchivesByTheirTrueSizes) {
  const std::string data = Bytes(300000, 5);
  WriteBytes(in_ / "data.bin", data);
  ASSERT_EQ(Tool(in_, {"sh", "-c",
                       "printf abc > small && zip -q -fz small.zip small && zip -q -fz data.zip data.bin && "
                       "rm small data.bin"})
                .exitCode,
            0);
  std::string damaged = Read(in_ / "small.zip");
  ForgeZipField(damaged, true, 0x12345678);
  Put("damaged.zip", damaged);
  ASSERT_EQ(Unar({"small.zip", "data.zip", "damaged.zip"}, 1, "zip"), 0u);
  EXPECT_EQ(Read(out_ / "small"), "abc");
  EXPECT_EQ(Read(out_ / "data"), data);
  EXPECT_EQ(Tree(out_), (std::vector<std::string>{"data", "small"}));
  EXPECT_EQ(Tree(err_), std::vector<std::string>{"damaged.zip"});
  EXPECT_TRUE(Contains(Errors(), "Ошибка 0x40027 - Ошибка распаковки данных. \r\n")) << Errors();
}

TEST_F(ArchiveFilesTest, OutputNamesLoseTheArchiveExtensionOnlyWhenItMatchesExactly) {
  ASSERT_EQ(Tool(in_, {"sh", "-c", "echo x > x && zip -q a.zip x && cp a.zip A.ZIP && cp a.zip b.txt && rm x"}).exitCode,
            0);
  Put("left.stp", "claimed by someone");
  LiveClaim claim(in_ / "left.stp");
  ASSERT_TRUE(claim.Held());
  ASSERT_EQ(Unar({"a.zip", "A.ZIP", "b.txt", "left.stp"}, 1, "zip"), 0u);
  EXPECT_EQ(Tree(out_), (std::vector<std::string>{"A.ZIP", "a", "b.txt"}));
  EXPECT_EQ(Tree(in_), std::vector<std::string>{"left.stp"});
  EXPECT_EQ(Records().size(), 3u);  // none for the claimed name

  ASSERT_EQ(Arch({"left.stp"}, 1, "zip"), 0u);
  EXPECT_TRUE(Contains(Errors(), "с временным расширением stp был пропущен")) << Errors();
  EXPECT_EQ(Tree(in_), std::vector<std::string>{"left.stp"});
}

TEST_F(ArchiveFilesTest, ArchivesThatAreNotOneSoundFileGoToTheErrorFolder) {
  ASSERT_EQ(Tool(in_, {"sh", "-c",
                       "printf 'one' > a && printf 'two' > b && zip -q two.zip a b && mkdir d && zip -q folder.zip d "
                       "&& head -c 1000 /dev/zero > z && zip -q -0 stored.zip z && rm -r a b d z"})
                .exitCode,
            0);
  const std::string stored = Read(in_ / "stored.zip");
  fs::remove(in_ / "stored.zip");
  std::string badCrc = stored;
  const size_t header = badCrc.find("PK\3\4");
  const size_t data = header + 30 + (Le32(badCrc, header + 26) & 0xFFFF) + (Le32(badCrc, header + 28) & 0xFFFF);
  badCrc[data + 10] ^= 1;  // a byte of the stored data
  std::string forgedHuge = stored, forgedLonger = stored, forgedShorter = stored;
  ForgeZipField(forgedHuge, false, 0xFFFFFF00);
  ForgeZipField(forgedLonger, false, 2000);
  ForgeZipField(forgedShorter, false, 500);
  Put("badcrc.zip", badCrc);
  Put("huge.zip", forgedHuge);
  Put("longer.zip", forgedLonger);
  Put("shorter.zip", forgedShorter);
  Put("empty.zip", "");
  Put("text.zip", "not an archive at all");
  struct Case {
    std::string name;
    std::string code;
  };
  const Case cases[] = {
      {"two.zip", "Ошибка ORLAX 0xE1718006 - Поддерживаются только архивы, содержащие один файл"},
      {"folder.zip", "Ошибка ORLAX 0xE1718006 - Поддерживаются только архивы, содержащие один файл"},
      {"badcrc.zip", "Ошибка 0x40027 - Ошибка распаковки данных"},
      {"huge.zip", "Ошибка ORLAX 0xE171800C - Распакованные данные архива превышают допустимый объём"},
      {"longer.zip", "Ошибка 0x40027 - Ошибка распаковки данных"},
      {"shorter.zip", "Ошибка 0x40027 - Ошибка распаковки данных"},
      {"empty.zip", "Ошибка 0x4001E - Файл с сжатыми данными имеет нулевую длину"},
      {"text.zip", "Ошибка 0x40020 - Ошибка открытия файла с сжатыми данными"},
  };
  std::vector<std::string> names;
  for (const Case& c : cases) names.push_back(c.name);
  ASSERT_EQ(Unar(names, 1, "zip"), 0u);
  EXPECT_TRUE(Tree(out_).empty());
  EXPECT_TRUE(Tree(in_).empty());
  std::vector<std::string> expected = names;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Tree(err_), expected);
  const std::vector<std::string> records = Records();
  ASSERT_EQ(records.size(), names.size());
  // The work step's error text says what failed: no step text follows it,
  // not even the rule's prefix.
  const std::string errors = Errors();
  for (const Case& c : cases) EXPECT_TRUE(Contains(errors, c.code + ". \r\n")) << c.name << "\n" << errors;
  EXPECT_EQ(Read(err_ / "badcrc.zip"), badCrc);
}

// A taken output fails the file before its text is made again after the
// claim: the record shows the size of the claimed name as it was before
// the claim, "0", in both directions.
TEST_F(ArchiveFilesTest, ATakenOutputIsRecordedWithTheSizeBeforeTheClaim) {
  WriteBytes(out_ / "a.txt.zip", "theirs");
  WriteBytes(out_ / "b", "theirs");
  Put("a.txt", "12345");
  Put("b.zip", "12345");
  profile_.renameConfFiles = 0;
  ASSERT_EQ(Arch({"a.txt"}, 1, "zip"), 0u);
  ASSERT_EQ(Unar({"b.zip"}, 1, "zip"), 0u);
  EXPECT_EQ(Tree(err_), (std::vector<std::string>{"a.txt", "b.zip"}));
  const auto records = Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_TRUE(Contains(records[0], "Архивация файла '" + (in_ / "a.txt").string() + "' (размер: 0) с записью в файл '" +
                                       (out_ / "a.txt.zip").string() + "' (размер: 0). Файл перемещен"))
      << records[0];
  EXPECT_TRUE(Contains(records[1], "Распаковка файла '" + (in_ / "b.zip").string() + "' (размер: 0) с записью в файл '" +
                                       (out_ / "b").string() + "' (размер: 0). Файл перемещен"))
      << records[1];
  EXPECT_TRUE(Contains(Errors(), "Ошибка 0x50 - ")) << Errors();
}

TEST_F(ArchiveFilesTest, EmptyInputsFailInBothFormats) {
  for (int zipFile : {1, 2}) {
    Put("empty.txt", "");
    ASSERT_EQ(Arch({"empty.txt"}, zipFile, "arc"), 0u);
    fs::remove(err_ / "empty.txt");
    Put("empty.arc", "");
    ASSERT_EQ(Unar({"empty.arc"}, zipFile, "arc"), 0u);
    fs::remove(err_ / "empty.arc");
  }
  EXPECT_TRUE(Tree(out_).empty());
  const std::string errors = Errors();
  size_t sourceEmpty = 0, packedEmpty = 0;
  for (size_t at = 0; (at = errors.find("Ошибка 0x4001F - Файл с исходными данными имеет нулевую длину", at)) !=
                      std::string::npos;
       ++at)
    ++sourceEmpty;
  for (size_t at = 0; (at = errors.find("Ошибка 0x4001E", at)) != std::string::npos; ++at) ++packedEmpty;
  EXPECT_EQ(sourceEmpty, 2u) << errors;
  EXPECT_EQ(packedEmpty, 2u) << errors;
}

}  // namespace
}  // namespace fileops
