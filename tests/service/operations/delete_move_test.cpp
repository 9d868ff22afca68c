// DELE and MOVE as the worker calls them: names, dated folders on the driven
// clock, the copy and its conflicts, and what a failure leaves behind.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/utf16.h"
#include "service/operations/operations.h"
#include "tests/support/crash_child.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/one_rule_fixture.h"
#include "tests/support/shm_folder.h"

namespace fs = std::filesystem;

namespace {

using namespace testsupport;

class DeleteMove : public OneRuleTest {
 protected:
  DWORD Delete(const std::vector<std::string>& names) {
    return DeleteFiles(Call(Names(names)));
  }
  DWORD Move(const std::vector<std::string>& names) {
    return MoveFiles(Call(Names(names)));
  }
};

TEST_F(DeleteMove, DeleteRecordsTheSizeTheFileHadAndPassesOverOnlyExactStp) {
  Put(in_, "a.STP", "12345");
  Put(in_, "b.stp", "x");
  Put(in_, "noext", "");
  // "b.stp" is claimed by a live process (another instance).
  HANDLE live = platform::ClaimFile(platform::Utf8ToWide((in_ / "b.stp").string()).c_str());
  ASSERT_NE(live, INVALID_HANDLE_VALUE);
  ASSERT_EQ(Delete({"a.STP", "b.stp", "noext", "gone"}), 0u);
  CloseHandle(live);
  EXPECT_EQ(Listing(in_), std::vector<std::string>{"b.stp"});
  EXPECT_EQ(Operations(),
            Prefix() + "Профиль: P | Успех | Правило 1 ('Тест'). Удаление файла " + (in_ / "a.STP").string() +
                " (размер: 5)\r\n" + Prefix() + "Профиль: P | Ошибка | Правило 1 ('Тест'). Удаление файла " +
                (in_ / "b.stp").string() + " (размер: 1)\r\n" + Prefix() +
                "Профиль: P | Успех | Правило 1 ('Тест'). Удаление файла " + (in_ / "noext").string() +
                " (размер: 0)\r\n" + Prefix() + "Профиль: P | Ошибка | Правило 1 ('Тест'). Удаление файла " +
                (in_ / "gone").string() + " (размер: 0)\r\n");
  const std::string errors = Errors();
  EXPECT_NE(errors.find("0xE171800A - Файл '" + (in_ / "b.stp").string() +
                        "' с временным расширением stp был пропущен"),
            std::string::npos);
  EXPECT_NE(errors.find("0xE171800B - Файл '" + (in_ / "gone").string() +
                        "' был выбран для обработки но не был найден"),
            std::string::npos);
}

TEST_F(DeleteMove, ReadOnlyFileIsRefusedAndGoesToTheErrorFolder) {
  const fs::path file = Put(in_, "locked.txt", "keep");
  ASSERT_EQ(chmod(file.c_str(), 0444), 0);
  ASSERT_EQ(Delete({"locked.txt"}), 0u);
  EXPECT_EQ(testsupport::ReadFileBytes(err_ / "locked.txt"), "keep");
  EXPECT_EQ(Operations(), Prefix() + "Профиль: P | Ошибка | Правило 1 ('Тест'). Удаление файла " + file.string() +
                              " (размер: 4). Файл перемещен в каталог ошибок под именем " +
                              (err_ / "locked.txt").string() + "\r\n");
  EXPECT_NE(Errors().find("Ошибка 0x5 - "), std::string::npos) << Errors();
  EXPECT_NE(Errors().find(". Правило 1 ('Тест'). \r\n"), std::string::npos) << Errors();
}

TEST_F(DeleteMove, MoveChangesTheExtensionByDelExtAndAddExt) {
  struct Case {
    std::string name;
    std::string delExt;
    std::string addExt;
    std::string output;
  };
  const Case cases[] = {
      {"x.txt.stp", "stp", "", "x.txt"},  // a claimed-looking name is moved like any other
      {"y.txt.stp", "", "", "y.txt.stp"},
      {"a.txt", "TXT", "", "a.txt"},      // letter case counts
      {"a.b.txt", "txt", "", "a.b"},
      {"a", "txt", "", "a"},
      {"c.txt", "txt", "bak", "c.bak"},
      {"d.dat", "txt", "bak", "d.dat.bak"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(out_);
    fs::create_directory(out_);
    Rule().delExt = Wide(c.delExt);
    Rule().addExt = Wide(c.addExt);
    Put(in_, c.name, "data");
    ASSERT_EQ(Move({c.name}), 0u);
    EXPECT_EQ(Listing(out_), std::vector<std::string>{c.output});
    EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  }
  EXPECT_EQ(Errors(), "");
}

TEST_F(DeleteMove, MoveMakesDatedFoldersAndACopyUnderOneName) {
  clock_.Set(1772960707);  // 2026-03-08 09:05:07
  const fs::path copies = root_.Dir("copies");
  Rule().folders = L":|YYYY|\\:|MM|";
  Rule().copyFolders = L"/:|DD|-:|MM|/";
  Rule().pathOut2 = Wide(copies);
  Put(in_, "a.txt", "data");
  ASSERT_EQ(Move({"a.txt", "gone.txt"}), 0u);
  EXPECT_EQ(testsupport::ReadFileBytes(out_ / "2026" / "03" / "a.txt"), "data");
  EXPECT_EQ(testsupport::ReadFileBytes(copies / "08-03" / "a.txt"), "data");
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  const std::string operations = testsupport::ReadFileBytes(journal_ / "2026.03.08 P.txt");
  EXPECT_NE(operations.find("Успех | Правило 1 ('Тест'). Перемещение файла '" + (in_ / "a.txt").string() +
                            "' (размер: 4) в '" + (out_ / "2026" / "03" / "a.txt").string() +
                            "' (размер: 4) и копирование в '" + (copies / "08-03" / "a.txt").string() +
                            "' (размер: 4)\r\n"),
            std::string::npos)
      << operations;
  // A file gone after listing still had its folders made; its record names
  // the targets as first formed, without them.
  EXPECT_NE(operations.find("Ошибка | Правило 1 ('Тест'). Перемещение файла '" + (in_ / "gone.txt").string() +
                            "' (размер: 0) в '" + (out_ / "gone.txt").string() +
                            "' (размер: 0) и копирование в '" + (copies / "gone.txt").string() +
                            "' (размер: 0)\r\n"),
            std::string::npos)
      << operations;
}

TEST_F(DeleteMove, ConflictOnTheCopyAloneRenamesBothOrFails) {
  const fs::path copies = root_.Dir("copies");
  Rule().pathOut2 = Wide(copies);
  Put(copies, "a.txt", "theirs");
  Put(in_, "a.txt", "data");
  profile_.renameConfFiles = 0;
  ASSERT_EQ(Move({"a.txt"}), 0u);
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(testsupport::ReadFileBytes(err_ / "a.txt"), "data");
  EXPECT_NE(Errors().find("Ошибка 0x50 - "), std::string::npos);
  EXPECT_NE(Errors().find("Правило 1 ('Тест'). Перемещение файла '" + (in_ / "a.txt").string() + "' (размер: 4) в '" +
                          (out_ / "a.txt").string() + "' (размер: 0)"),
            std::string::npos)
      << Errors();

  fs::rename(err_ / "a.txt", in_ / "a.txt");
  profile_.renameConfFiles = 1;
  ASSERT_EQ(Move({"a.txt"}), 0u);
  const std::vector<std::string> moved = Listing(out_);
  ASSERT_EQ(moved.size(), 1u);
  EXPECT_TRUE(std::regex_match(moved[0], std::regex("a~[0-9a-f]{1,8}\\.txt"))) << moved[0];
  EXPECT_EQ(Listing(copies), (std::vector<std::string>{"a.txt", moved[0]}));
  EXPECT_EQ(testsupport::ReadFileBytes(copies / moved[0]), "data");
}

// Missing output folders do not stop MOVE: the dated folders are made with
// their parents, and without them each file fails with the move's (or the
// copy's) own error and goes to the error folder.
TEST_F(DeleteMove, MissingOutputFoldersAreMadeByTheTemplatesOrFailEachFile) {
  clock_.Set(1772960707);  // 2026-03-08 09:05:07
  struct Case {
    const char* what;
    bool copies;
    const wchar_t* folders;
    const wchar_t* copyFolders;
    std::string moved;   // below the missing "Path Out"; empty: failed
    std::string copied;  // below the missing "Path Out 2"
    std::string error;
  };
  const Case cases[] = {
      {"Folders", false, L":|YYYY|", L"", "2026/a.txt", "", ""},
      {"Folders and Copyfolders", true, L":|YYYY|", L":|DD|", "2026/a.txt", "08/a.txt", ""},
      {"no Folders", false, L"", L"", "", "", "Ошибка 0x3 - "},
      {"no Copyfolders", true, L":|YYYY|", L"", "", "", "Ошибка 0x3 - "},
  };
  int tag = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path missing = root_.path() / ("missing-" + std::to_string(tag));
    const fs::path missingCopies = root_.path() / ("missing-copies-" + std::to_string(tag++));
    Rule().pathOut = Wide(missing);
    Rule().pathOut2 = c.copies ? Wide(missingCopies) : CString();
    Rule().folders = c.folders;
    Rule().copyFolders = c.copyFolders;
    Put(in_, "a.txt", "data");
    ASSERT_EQ(Move({"a.txt"}), 0u);
    EXPECT_EQ(Listing(in_), std::vector<std::string>{});
    if (c.moved.empty()) {
      EXPECT_EQ(testsupport::ReadFileBytes(err_ / "a.txt"), "data");
      fs::remove(err_ / "a.txt");
      const std::string errors = testsupport::ReadFileBytes(journal_ / "2026.03.08 P - errors.txt");
      EXPECT_NE(errors.find(c.error), std::string::npos) << errors;
      continue;
    }
    EXPECT_EQ(testsupport::ReadFileBytes(missing / c.moved), "data");
    if (c.copies) {
      EXPECT_EQ(testsupport::ReadFileBytes(missingCopies / c.copied), "data");
    }
  }
}

// A move to another file system is a copy under a temporary name: when the
// copy fails (a file larger than the disk takes), the record carries the
// copy's own error, and nothing of the copy is left.
TEST_F(DeleteMove, AMoveAcrossFileSystemsThatFailsRecordsTheFailingCallsError) {
  testsupport::ShmFolder shm;
  if (!shm.OnAnotherFileSystemThan(root_.path())) GTEST_SKIP() << "no second file system on this machine";
  Rule().pathOut = Wide(shm.path());
  Put(in_, "big.bin", std::string(1 << 20, 'x'));
  ASSERT_EQ(testsupport::WithFileSizeLimit(64 * 1024, [&] { return Move({"big.bin"}); }), 0u);
  EXPECT_EQ(Listing(shm.path()), std::vector<std::string>{});
  EXPECT_EQ(fs::file_size(err_ / "big.bin"), 1u << 20);
  EXPECT_NE(Errors().find("Ошибка 0xDF - "), std::string::npos) << Errors();
}

// A read-only input moved to another file system leaves its folder as a
// rename would take it: it ends in the output folder alone, with its
// permission bits.
TEST_F(DeleteMove, AReadOnlyInputMovedToAnotherFileSystemEndsInOnePlace) {
  testsupport::ShmFolder shm;
  if (!shm.OnAnotherFileSystemThan(root_.path())) GTEST_SKIP() << "no second file system on this machine";
  Rule().pathOut = Wide(shm.path());
  const fs::path file = Put(in_, "ro.txt", "read only");
  ASSERT_EQ(chmod(file.c_str(), 0444), 0);
  ASSERT_EQ(Move({"ro.txt"}), 0u);
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  EXPECT_EQ(Listing(err_), std::vector<std::string>{});
  EXPECT_EQ(Listing(shm.path()), std::vector<std::string>{"ro.txt"});
  EXPECT_EQ(testsupport::ReadFileBytes(shm.path() / "ro.txt"), "read only");
  EXPECT_EQ(fs::status(shm.path() / "ro.txt").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  EXPECT_EQ(Errors(), "");
}

// A kill once the copy to "Path Out 2" is published and before the move
// (on one file system or across two): the next run withdraws the copy and
// moves the file again, so that each folder holds it once.
TEST_F(DeleteMove, AKillBetweenTheCopyAndTheMoveLeavesOneCopyAndOneMovedFile) {
  testsupport::ShmFolder shm;
  int round = 0;
  for (const bool across : {false, true}) {
    SCOPED_TRACE(across ? "across file systems" : "on one file system");
    if (across && !shm.OnAnotherFileSystemThan(root_.path())) continue;
    ++round;
    // Folders of their own: a run takes claims back once per folder.
    in_ = root_.Dir("in" + std::to_string(round));
    const fs::path copies = root_.Dir("copies" + std::to_string(round));
    const fs::path moved = across ? shm.path() : root_.Dir("moved");
    Rule().pathIn = Wide(in_);
    Rule().pathOut = Wide(moved);
    Rule().pathOut2 = Wide(copies);
    Put(in_, "a.txt", "data");
    ASSERT_EQ(testsupport::RunKilledAt("copy-published", [&] { Move({"a.txt"}); }), SIGKILL);
    EXPECT_EQ(Listing(copies), std::vector<std::string>{"a.txt"});
    ASSERT_EQ(Move({"a.txt"}), 0u);
    EXPECT_EQ(Listing(in_), std::vector<std::string>{});
    EXPECT_EQ(Listing(copies), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(Listing(moved), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(testsupport::ReadFileBytes(moved / "a.txt"), "data");
    EXPECT_NE(Errors().find("' остался от прерванной обработки; опубликованная часть результата ('" +
                            (copies / "a.txt").string() + "') удалена, и он будет обработан повторно"),
              std::string::npos)
        << Errors();
  }
}

TEST_F(DeleteMove, FailedMoveLeavesNoCopyBehind) {
  const fs::path copies = root_.Dir("copies");
  Rule().pathOut2 = Wide(copies);
  // An output folder that cannot take the file (root writes into any folder,
  // so it is missing instead of read-only).
  Rule().pathOut = Wide(root_.path() / "missing");
  Put(in_, "a.txt", "data");
  ASSERT_EQ(Move({"a.txt"}), 0u);
  EXPECT_EQ(Listing(copies), std::vector<std::string>{});
  EXPECT_EQ(testsupport::ReadFileBytes(err_ / "a.txt"), "data");
  EXPECT_NE(Errors().find("Ошибка 0x3 - "), std::string::npos) << Errors();
}

}  // namespace
