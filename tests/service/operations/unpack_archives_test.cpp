// UNPK: archives with folders unpacked below "Path Out", name clashes, and
// archives from outside that try to write elsewhere or more than they hold.

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <regex>

#include "service/core/claim_records.h"
#include "service/core/result_codes.h"
#include "service/operations/operations.h"
#include "service/operations/unpack_entry_path.h"
#include "tests/service/operations/archive_test_files.h"
#include "tests/support/crash_child.h"
#include "tests/support/one_rule_fixture.h"

namespace fs = std::filesystem;

namespace fileops {
namespace {

using namespace testsupport;

void PutLe16(std::string& bytes, std::uint16_t value) {
  bytes += static_cast<char>(value & 0xFF);
  bytes += static_cast<char>(value >> 8);
}

void PutLe32Back(std::string& bytes, std::uint32_t value) {
  PutLe16(bytes, static_cast<std::uint16_t>(value & 0xFFFF));
  PutLe16(bytes, static_cast<std::uint16_t>(value >> 16));
}

// A stored archive of `count` empty entries, a thousand to a folder
// ("d00/f00000.txt" on), made without a tool: too many for a shell loop.
std::string EmptyEntriesZip(int count) {
  std::string local, central;
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "d%02d/f%05d.txt", i / 1000, i);
    const std::string entry(name);
    const auto offset = static_cast<std::uint32_t>(local.size());
    local += std::string("PK\3\4", 4);
    PutLe16(local, 10);                 // version needed
    PutLe16(local, 0);                  // flags
    PutLe16(local, 0);                  // stored
    PutLe32Back(local, 0);              // time and date
    for (int field = 0; field < 3; ++field) PutLe32Back(local, 0);  // crc, sizes: empty
    PutLe16(local, static_cast<std::uint16_t>(entry.size()));
    PutLe16(local, 0);
    local += entry;
    central += std::string("PK\1\2", 4);
    PutLe16(central, 20);
    PutLe16(central, 10);
    PutLe16(central, 0);
    PutLe16(central, 0);
    PutLe32Back(central, 0);
    for (int field = 0; field < 3; ++field) PutLe32Back(central, 0);
    PutLe16(central, static_cast<std::uint16_t>(entry.size()));
    for (int field = 0; field < 4; ++field) PutLe16(central, 0);  // extra, comment, disk, internal
    PutLe32Back(central, 0);                                       // external attributes
    PutLe32Back(central, offset);
    central += entry;
  }
  std::string zip = local + central;
  zip += std::string("PK\5\6", 4);
  PutLe16(zip, 0);
  PutLe16(zip, 0);
  PutLe16(zip, static_cast<std::uint16_t>(count));
  PutLe16(zip, static_cast<std::uint16_t>(count));
  PutLe32Back(zip, static_cast<std::uint32_t>(central.size()));
  PutLe32Back(zip, static_cast<std::uint32_t>(local.size()));
  PutLe16(zip, 0);
  return zip;
}

class UnpackArchivesTest : public OneRuleTest {
 protected:
  UnpackArchivesTest() : OneRuleTest(L"Проба") {}

  DWORD Unpk(const std::vector<std::string>& names) {
    return UnpackArchives(Call(Names(names)));
  }
  // Makes an archive in the input folder from files made in a scratch
  // folder by a shell command; zip's own arguments follow.
  void MakeZip(const std::string& name, const std::string& files, const std::string& zipArguments) {
    const fs::path work = root_.Dir("work-" + name);
    ASSERT_EQ(Tool(work, {"sh", "-c", files + " && zip -q " + zipArguments}).exitCode, 0);
    fs::rename(work / "a.zip", in_ / name);
  }
  // Renames the entries of an archive: every occurrence of `from` in its
  // headers becomes `to` (of the same length).
  void RenameEntries(const std::string& name, const std::string& from, const std::string& to) {
    std::string bytes = Read(in_ / name);
    for (size_t at = 0; (at = bytes.find(from, at)) != std::string::npos; at += to.size()) bytes.replace(at, from.size(), to);
    WriteBytes(in_ / name, bytes);
  }
};

TEST_F(UnpackArchivesTest, FoldersAndFilesOfAZipTreeLandBelowTheOutputFolder) {
  MakeZip("tree.zip", "mkdir -p a/d && echo b > a/b.txt && echo e > a/d/e.txt && echo c > c.txt", "-r a.zip a c.txt");
  ASSERT_EQ(Unpk({"tree.zip"}), 0u);
  EXPECT_EQ(Tree(out_), (std::vector<std::string>{"a/", "a/b.txt", "a/d/", "a/d/e.txt", "c.txt"}));
  EXPECT_EQ(Read(out_ / "a/d/e.txt"), "e\n");
  EXPECT_TRUE(Tree(in_).empty());
  const auto records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(Contains(records[0], "| Успех | Правило 1 ('Проба'). Распаковка файлов из архива '" +
                                       (in_ / "tree.zip").string() + "' (размер: "))
      << records[0];
  EXPECT_TRUE(Contains(records[0], " в каталог '" + out_.string() + "' (распаковано файлов: 3)")) << records[0];
}

// An archive of many entries unpacks whole, each entry under its own name,
// with no reservation or temporary file left beside them.
TEST_F(UnpackArchivesTest, ManyEntriesLandWholeAndLeaveNothingBeside) {
  MakeZip("many.zip", "mkdir d && for i in $(seq 1 300); do echo $i > d/f$i.txt; done", "-r a.zip d");
  ASSERT_EQ(Unpk({"many.zip"}), 0u);
  const auto tree = Tree(out_);
  ASSERT_EQ(tree.size(), 301u);  // the folder and its files
  EXPECT_EQ(Read(out_ / "d" / "f300.txt"), "300\n");
  EXPECT_TRUE(Tree(in_).empty());
  EXPECT_TRUE(Tree(err_).empty());
  EXPECT_TRUE(Contains(Records().at(0), "(распаковано файлов: 300)")) << Records().at(0);
}

// A kill while a large archive's entries are published, or after the last
// of them: the next run's take-back reads the archive's claim record (a
// note for each of its thousands of entries) and either finishes the
// archive, every entry being there whole, or withdraws the entries
// published so far and gives the archive back, to be unpacked again whole.
TEST_F(UnpackArchivesTest, AKillWhileALargeArchiveIsPublishedIsFinishedOrUndoneWhole) {
  constexpr int kEntries = 12000;
  const std::string zip = EmptyEntriesZip(kEntries);
  const struct {
    const char* title;
    std::string killPoint;
    bool finished;
  } cases[] = {
      {"after the last entry", "output-published:" + std::to_string(kEntries), true},
      {"midway", "output-published:5000", false},
  };
  int round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    UseFreshFolders(++round);
    WriteBytes(in_ / "many.zip", zip);
    ASSERT_EQ(RunKilledAt(c.killPoint.c_str(), [&] { Unpk({"many.zip"}); }), SIGKILL);
    ASSERT_EQ(Tree(in_), std::vector<std::string>{"many.zip.stp"});
    // The take-back comes first in the next run: the archive then is gone,
    // or is back under its name for the same run to unpack.
    ASSERT_EQ(Unpk({"many.zip"}), 0u);
    const std::vector<std::string> tree = Tree(out_);
    EXPECT_EQ(tree.size(), static_cast<std::size_t>(kEntries + kEntries / 1000));
    EXPECT_EQ(tree.front(), "d00/");
    EXPECT_EQ(tree.back(), "d11/f11999.txt");
    EXPECT_TRUE(std::none_of(tree.begin(), tree.end(), [](const std::string& name) { return Contains(name, "~"); }));
    EXPECT_EQ(Tree(in_), std::vector<std::string>{});
    EXPECT_EQ(Tree(err_), std::vector<std::string>{});
    const CString records = ClaimRecordFolder();
    ASSERT_FALSE(records.IsEmpty());
    EXPECT_TRUE(fs::is_empty(Utf8(records)));
    const std::string done = c.finished ? "результат которой уже опубликован" : "опубликованная часть результата";
    EXPECT_TRUE(Contains(Errors(), done)) << Errors().substr(0, 2000);
    // The record names a few of the entries and how many there were, not
    // every one of them.
    const std::string count = "(файлов всего: " + std::string(c.finished ? std::to_string(kEntries) : "5000") + ")";
    const std::string errors = Errors();
    const std::size_t at = errors.find(count);
    ASSERT_NE(at, std::string::npos) << errors.substr(0, 2000);
    const std::size_t start = errors.rfind('\n', at), end = errors.find('\n', at);
    EXPECT_LT((end == std::string::npos ? errors.size() : end) - (start == std::string::npos ? 0 : start), 8000u);
  }
}

// The claim record's notes of a large archive's entries are written a part
// at a time: when a later part cannot be written (the disk is full), nothing
// is published, and the archive goes to the error folder. Were the entries
// of the parts written published all the same, a kill after them would
// leave a record whose every note is whole: the take-back would take the
// archive for done, delete it, and remove the other entries' temporary
// files.
TEST_F(UnpackArchivesTest, AnArchiveWhoseNotesCannotAllBeWrittenIsNotPublished) {
  constexpr int kEntries = 12000;
  WriteBytes(in_ / "many.zip", EmptyEntriesZip(kEntries));
  // The record takes the first part's notes (about 60 bytes an entry, a
  // few thousand entries a part), not the second's.
  constexpr rlim_t kRecordRoom = 300000;
  RunWithWritesCutKilledAt(kRecordRoom, "output-published:5000", [&] { Unpk({"many.zip"}); });
  ASSERT_EQ(Unpk({"many.zip"}), 0u);
  // (The folders made for the entries may stay, empty.)
  const std::vector<std::string> tree = Tree(out_);
  const auto published = std::count_if(tree.begin(), tree.end(), [](const std::string& name) { return name.back() != '/'; });
  EXPECT_EQ(published, 0) << "files in the output folder";
  EXPECT_EQ(Tree(in_), std::vector<std::string>{});
  EXPECT_EQ(Tree(err_), std::vector<std::string>{"many.zip"});
  EXPECT_TRUE(Read(err_ / "many.zip") == EmptyEntriesZip(kEntries));
  const CString records = ClaimRecordFolder();
  ASSERT_FALSE(records.IsEmpty());
  EXPECT_TRUE(fs::is_empty(Utf8(records)));
  EXPECT_FALSE(Contains(Errors(), "результат которой уже опубликован")) << Errors().substr(0, 2000);
}

TEST_F(UnpackArchivesTest, NameClashesFailOrGoAsideAsTheProfileSays) {
  WriteBytes(out_ / "a", "a file named like the folder");
  WriteBytes(out_ / "c.txt", "an older c");
  // new.txt first, so that a failure at a/b.txt must take it back.
  MakeZip("clash0.zip", "mkdir a && echo b > a/b.txt && echo new > new.txt", "a.zip new.txt a/b.txt");
  MakeZip("clash1.zip", "mkdir a && echo b > a/b.txt && echo new > c.txt", "a.zip c.txt a/b.txt");
  // A folder made aside before, with its eight hexadecimal digits.
  fs::create_directories(out_ / "a~0badcafe");
  profile_.renameConfFiles = 0;
  ASSERT_EQ(Unpk({"clash0.zip"}), 0u);
  EXPECT_EQ(Tree(err_), std::vector<std::string>{"clash0.zip"});
  EXPECT_EQ(Tree(out_), (std::vector<std::string>{"a", "a~0badcafe/", "c.txt"}));
  EXPECT_TRUE(Contains(Errors(), "Ошибка ORLAX 0xE171800D - При распаковке директории произрошел конфликт имен с "
                                 "существующим файлом. Правило 1 ('Проба'). Создание каталога '" +
                                     out_.string() + "'"))
      << Errors();

  profile_.renameConfFiles = 1;
  ASSERT_EQ(Unpk({"clash1.zip"}), 0u);
  const auto listing = Tree(out_);
  ASSERT_EQ(listing.size(), 5u) << ::testing::PrintToString(listing);
  EXPECT_EQ(listing[1], "a~0badcafe/");
  EXPECT_EQ(listing[2], "a~0badcafe/b.txt");
  EXPECT_EQ(listing[3], "c.txt");
  EXPECT_EQ(Read(out_ / "c.txt"), "an older c");
  // The new c.txt takes a conflict-free name: c~<hex>.txt.
  EXPECT_EQ(listing[4].rfind("c~", 0), 0u);
  EXPECT_EQ(listing[4].substr(listing[4].size() - 4), ".txt");
  EXPECT_EQ(Read(out_ / listing[4]), "new\n");
}

TEST_F(UnpackArchivesTest, EntryPathsThatLeaveTheOutputFolderFailTheArchive) {
  // Names of the same length as those zip stores, patched in afterwards.
  MakeZip("up.zip", "echo x > zzzz", "a.zip zzzz");
  RenameEntries("up.zip", "zzzz", "../x");
  MakeZip("deep.zip", "echo 1 > first.txt && echo x > zzzzzzzzz", "a.zip first.txt zzzzzzzzz");
  RenameEntries("deep.zip", "zzzzzzzzz", "a/../../x");
  MakeZip("back.zip", "echo x > zzzz", "a.zip zzzz");
  RenameEntries("back.zip", "zzzz", "..\\x");
  MakeZip("dated.zip", "echo x > zzzzzzzzz", "a.zip zzzzzzzzz");
  RenameEntries("dated.zip", "zzzzzzzzz", ":|..|/x/y");
  MakeZip("rooted.zip", "mkdir -p x && echo y > x/y.txt", "a.zip x/y.txt");
  RenameEntries("rooted.zip", "x/y.txt", "/x/y.tx");

  ASSERT_EQ(Unpk({"up.zip", "deep.zip", "back.zip", "dated.zip", "rooted.zip"}), 0u);
  // "../x" and "a/../../x" from "Path Out" would be the root's own x.
  EXPECT_FALSE(fs::exists(root_.path() / "x"));
  EXPECT_FALSE(fs::exists(root_.path() / "x\\"));
  EXPECT_EQ(Tree(out_), (std::vector<std::string>{"x/", "x/y.tx"}));
  EXPECT_EQ(Tree(err_), (std::vector<std::string>{"back.zip", "dated.zip", "deep.zip", "up.zip"}));
  const std::string errors = Errors();
  size_t outsideRecords = 0;
  for (size_t at = 0; (at = errors.find("Ошибка ORLAX 0xE1718005 - Путь элемента архива выходит за пределы "
                                        "выходного каталога",
                                        at)) != std::string::npos;
       ++at)
    ++outsideRecords;
  EXPECT_EQ(outsideRecords, 4u) << errors;
}

TEST_F(UnpackArchivesTest, ALinkInTheOutputFolderIsAClashNeverFollowed) {
  const fs::path outside = root_.Dir("outside");
  fs::create_symlink(outside, out_ / "link");
  MakeZip("linked.zip", "echo 1 > first.txt && mkdir link && echo x > link/evil", "a.zip first.txt link/evil");
  profile_.renameConfFiles = 0;
  ASSERT_EQ(Unpk({"linked.zip"}), 0u);
  EXPECT_TRUE(fs::is_empty(outside));
  EXPECT_EQ(Tree(err_), std::vector<std::string>{"linked.zip"});
  EXPECT_EQ(Tree(out_), std::vector<std::string>{"link"});

  // With renaming, the link is a clash like a file: a folder beside it.
  profile_.renameConfFiles = 1;
  fs::rename(err_ / "linked.zip", in_ / "linked.zip");
  ASSERT_EQ(Unpk({"linked.zip"}), 0u);
  EXPECT_TRUE(fs::is_empty(outside));
  bool aside = false;
  for (const auto& name : Tree(out_)) aside |= name.rfind("link~", 0) == 0 && name.find("/evil") != std::string::npos;
  EXPECT_TRUE(aside) << ::testing::PrintToString(Tree(out_));
}

TEST_F(UnpackArchivesTest, DamagedOrInflatedArchivesLeaveNothingBehind) {
  MakeZip("crc.zip", "echo 1 > first.txt && head -c 1000 /dev/zero > z", "-0 a.zip first.txt z");
  std::string crc = Read(in_ / "crc.zip");
  ForgeZipField(crc, true, 0x12345678);
  WriteBytes(in_ / "crc.zip", crc);
  // Many entries over one compressed run of 4 MiB of zeros: each declares
  // the whole run, together far more than the archive can hold.
  MakeZip("overlap.zip", "head -c 4194304 /dev/zero > z000", "a.zip z000");
  {
    std::string zip = Read(in_ / "overlap.zip");
    const size_t central = zip.find("PK\1\2");
    const size_t end = zip.find("PK\5\6");
    const std::string entry = zip.substr(central, end - central);
    std::string directory;
    for (int i = 0; i < 100; ++i) {
      std::string copy = entry;
      const std::string name = "z" + std::string(i < 10 ? "00" : "0") + std::to_string(i);
      copy.replace(copy.find("z000"), 4, name.substr(0, 4));
      directory += copy;
    }
    std::string tail = zip.substr(end);
    tail[8] = tail[10] = 100;  // entries on this disk and in all
    PutLe32(tail, 12, static_cast<std::uint32_t>(directory.size()));
    zip = zip.substr(0, central) + directory + tail;
    WriteBytes(in_ / "overlap.zip", zip);
  }
  // An entry name of 301 bytes: never cut to fit.
  MakeZip("long.zip", "n=$(printf 'n%.0s' $(seq 150)) && mkdir $n && echo x > $n/$n", "-r a.zip n*");
  ASSERT_EQ(Unpk({"crc.zip", "overlap.zip", "long.zip"}), 0u);
  // Not even the folder made before the long name failed stays.
  EXPECT_EQ(Tree(out_), std::vector<std::string>{});
  EXPECT_EQ(Tree(err_), (std::vector<std::string>{"crc.zip", "long.zip", "overlap.zip"}));
  // Failures of reading have no step text, not even the rule's prefix.
  const std::string errors = Errors();
  EXPECT_TRUE(Contains(errors, "Ошибка 0x40027 - Ошибка распаковки данных. \r\n")) << errors;
  EXPECT_TRUE(Contains(errors, "Ошибка ORLAX 0xE171800C - Распакованные данные архива превышают допустимый объём. \r\n"))
      << errors;
  EXPECT_TRUE(Contains(errors, "Ошибка 0x40020 - Ошибка открытия файла с сжатыми данными. \r\n")) << errors;
}

// ZIP64 archives (zip -fz): an entry's sizes are in its ZIP64 field, its
// 32-bit fields saying 0xFFFFFFFF. The bound holds the true sizes, and a
// damaged entry is found by its CRC.
TEST_F(UnpackArchivesTest, Zip64ArchivesUnpackByTheirTrueSizes) {
  MakeZip("zip64.zip", "mkdir a && printf abc > a/b.txt && head -c 300000 /dev/urandom > c.bin",
          "-r -fz a.zip a c.bin");
  MakeZip("damaged.zip", "printf abc > d.txt", "-fz a.zip d.txt");
  std::string damaged = Read(in_ / "damaged.zip");
  ForgeZipField(damaged, true, 0x12345678);
  WriteBytes(in_ / "damaged.zip", damaged);
  ASSERT_EQ(Unpk({"zip64.zip", "damaged.zip"}), 0u);
  EXPECT_EQ(Tree(out_), (std::vector<std::string>{"a/", "a/b.txt", "c.bin"}));
  EXPECT_EQ(Read(out_ / "a/b.txt"), "abc");
  EXPECT_EQ(fs::file_size(out_ / "c.bin"), 300000u);
  EXPECT_EQ(Tree(err_), std::vector<std::string>{"damaged.zip"});
  EXPECT_TRUE(Contains(Errors(), "Ошибка 0x40027 - Ошибка распаковки данных. \r\n")) << Errors();
}

// A file entry k followed by k/x.txt: the name k is taken by a file (one of
// the archive's own, not yet under its name) where a folder is to be made,
// a clash as with a file already there. Without renaming the archive fails
// with nothing left of it; with renaming the folder goes aside.
TEST_F(UnpackArchivesTest, AFileEntryThenAPathThroughItClashesAtTheFolder) {
  struct Case {
    int rename;
    bool unpacked;
  };
  for (const Case c : {Case{0, false}, Case{1, true}}) {
    SCOPED_TRACE(c.rename);
    fs::remove_all(out_);
    fs::create_directories(out_);
    const std::string name = "k" + std::to_string(c.rename) + ".zip";
    MakeZip(name, "echo file > k && mkdir j && echo x > j/x.txt", "a.zip k j/x.txt");
    RenameEntries(name, "j/x.txt", "k/x.txt");
    profile_.renameConfFiles = c.rename;
    ASSERT_EQ(Unpk({name}), 0u);
    const std::string record = Records().back();
    if (!c.unpacked) {
      EXPECT_EQ(Tree(out_), std::vector<std::string>{});
      EXPECT_TRUE(fs::exists(err_ / name));
      EXPECT_TRUE(Contains(Errors(), "Ошибка ORLAX 0xE171800D - При распаковке директории произрошел конфликт имен с "
                                     "существующим файлом. Правило 1 ('Проба'). Создание каталога '" +
                                         out_.string() + "'"))
          << Errors();
      EXPECT_FALSE(Contains(record, "распаковано файлов")) << record;
      continue;
    }
    const auto listing = Tree(out_);
    ASSERT_EQ(listing.size(), 3u) << ::testing::PrintToString(listing);
    EXPECT_EQ(listing[0], "k");
    EXPECT_EQ(Read(out_ / "k"), "file\n");
    EXPECT_TRUE(std::regex_match(listing[1], std::regex("k~[0-9a-f]{1,8}/"))) << listing[1];
    EXPECT_EQ(listing[2], listing[1] + "x.txt");
    EXPECT_TRUE(Contains(record, "| Успех | ")) << record;
    EXPECT_TRUE(Contains(record, "(распаковано файлов: 2)")) << record;
  }
}

// An archive that fails leaves none of the folders it made (an empty one
// is no result of it); folders that were there before stay.
TEST_F(UnpackArchivesTest, AFailedArchiveTakesAwayTheFoldersItMade) {
  fs::create_directories(out_ / "old");
  WriteBytes(out_ / "c.txt", "an older c");
  MakeZip("made.zip", "mkdir -p new/deep old && echo a > new/deep/a.txt && echo b > old/b.txt && echo c > c.txt",
          "a.zip new/deep/a.txt old/b.txt c.txt");
  profile_.renameConfFiles = 0;
  ASSERT_EQ(Unpk({"made.zip"}), 0u);
  EXPECT_EQ(Tree(err_), std::vector<std::string>{"made.zip"});
  EXPECT_EQ(Tree(out_), (std::vector<std::string>{"c.txt", "old/"}));
  EXPECT_TRUE(Contains(Errors(), "Ошибка 0x50 - ")) << Errors();
}

// An archive without a single entry is unpacked as no files and deleted.
TEST_F(UnpackArchivesTest, AnArchiveWithNoEntriesIsUnpackedAsNoFiles) {
  Put("none.zip", std::string("PK\5\6", 4) + std::string(18, '\0'));
  ASSERT_EQ(Unpk({"none.zip"}), 0u);
  EXPECT_EQ(Tree(in_), std::vector<std::string>{});
  EXPECT_EQ(Tree(err_), std::vector<std::string>{});
  EXPECT_EQ(Tree(out_), std::vector<std::string>{});
  const auto records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(Contains(records[0], "| Успех | ")) << records[0] << "\n" << Errors();
  EXPECT_TRUE(Contains(records[0], "(распаковано файлов: 0)")) << records[0];
}

TEST_F(UnpackArchivesTest, ClaimedNamesArePassedOverAndEmptyArchivesCountNoFiles) {
  Put("left.zip.stp", "claimed");
  LiveClaim claim(in_ / "left.zip.stp");
  ASSERT_TRUE(claim.Held());
  MakeZip("empty.zip", "mkdir d", "a.zip d");
  ASSERT_EQ(Unpk({"left.zip.stp", "empty.zip"}), 0u);
  EXPECT_EQ(Tree(in_), std::vector<std::string>{"left.zip.stp"});
  EXPECT_EQ(Tree(out_), std::vector<std::string>{"d/"});
  const auto records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(Contains(records[0], "(распаковано файлов: 0)")) << records[0];
}

// A name ending in ".stp" that this service did not claim (a user's own
// file) is passed over without a record and never renamed or unpacked.
TEST_F(UnpackArchivesTest, ANameEndingInStpIsPassedOverWithoutARecord) {
  MakeZip("late.zip", "echo late > late.txt", "a.zip late.txt");
  fs::rename(in_ / "late.zip", in_ / "late.zip.stp");
  for (int cycle = 0; cycle < 2; ++cycle) ASSERT_EQ(Unpk({"late.zip.stp"}), 0u);
  EXPECT_EQ(Tree(in_), std::vector<std::string>{"late.zip.stp"});
  EXPECT_EQ(Tree(out_), std::vector<std::string>{});
  EXPECT_EQ(Errors(), "");
}

TEST(UnpackEntryPath, NamesBecomeComponentsBelowTheOutputFolder) {
  struct Case {
    std::string raw;
    DWORD rc;
    std::vector<std::string> folders;
    std::string file;
  };
  const Case cases[] = {
      {"a/b/c.txt", 0, {"a", "b"}, "c.txt"},
      {"\\x\\y.txt", 0, {"x"}, "y.txt"},
      {"/x//./y.txt", 0, {"x"}, "y.txt"},
      {"dir/", 0, {"dir"}, ""},
      {"", 0, {}, ""},
      {"../x", ERR_ARCHIVE_PATH_OUTSIDE, {}, ""},
      {"a/../../x", ERR_ARCHIVE_PATH_OUTSIDE, {}, ""},
      {"a\\..\\x", ERR_ARCHIVE_PATH_OUTSIDE, {}, ""},
      {"a/..", ERR_ARCHIVE_PATH_OUTSIDE, {}, ""},
      {"a/.", ERR_ARCHIVE_PATH_OUTSIDE, {}, ""},
      {":|..|/x", ERR_ARCHIVE_PATH_OUTSIDE, {}, ""},
      {std::string(255, 'n'), 0, {}, std::string(255, 'n')},
      {std::string(256, 'n'), 0x40020, {}, ""},
  };
  for (const Case& c : cases) {
    EntryPath path;
    EXPECT_EQ(EntryNameToPath(c.raw, path), c.rc) << c.raw;
    if (c.rc != 0) continue;
    std::vector<std::string> folders;
    for (const CString& folder : path.folders) folders.push_back(Utf8(folder));
    EXPECT_EQ(folders, c.folders) << c.raw;
    EXPECT_EQ(Utf8(path.fileName), c.file) << c.raw;
  }
}

}  // namespace
}  // namespace fileops
