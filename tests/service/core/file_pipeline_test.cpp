// The per-file steps every operation runs, against real files: claim,
// passing over, the exclusive-open probe (also against another process),
// output conflicts, the error-folder movers with their conflict names, pairs
// and the stop poll.

#include "service/core/file_pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include "platform/codepage.h"
#include "platform/datetime.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "service/core/claim_records.h"
#include "service/core/conflict_names.h"
#include "service/core/error_folder.h"
#include "service/core/find_files.h"
#include "service/core/journal.h"
#include "service/core/path_names.h"
#include "service/core/staged_outputs.h"
#include "tests/support/crash_child.h"
#include "tests/support/one_rule_fixture.h"
#include "tests/support/shm_folder.h"
#include "tests/support/wide_text.h"

namespace fs = std::filesystem;

namespace {

using testsupport::Utf8;
using testsupport::Wide;

// The conflict mark ("~" and 1 to 8 lower-case hex digits) of a name made of
// stem + mark + rest; "" when the name is not of that form.
std::string MarkOf(const std::string& name, const std::string& stem, const std::string& rest) {
  if (name.size() < stem.size() + rest.size() + 2 || name.compare(0, stem.size(), stem) != 0 ||
      name.compare(name.size() - rest.size(), rest.size(), rest) != 0)
    return "";
  std::string mark = name.substr(stem.size(), name.size() - stem.size() - rest.size());
  if (mark[0] != '~' || mark.size() > 9) return "";
  for (size_t i = 1; i < mark.size(); ++i)
    if (!((mark[i] >= '0' && mark[i] <= '9') || (mark[i] >= 'a' && mark[i] <= 'f'))) return "";
  return mark;
}

class PipelineTest : public testsupport::OneRuleTest {
 protected:
  // A copying operation: "Копирование '<source>' (размер: <in>) в '<output>' (размер: <out>)".
  FileOperation Copying(DWORD failWith = 0) {
    FileOperation op;
    op.appended = L".out";
    op.describe = [](const PipelineFile& f, const CString& in, const CString& out) {
      CString text;
      text.Format(L"Копирование '%s' (размер: %s) в '%s' (размер: %s)", f.source.GetString(),
                  in.GetString(), f.output.GetString(), out.GetString());
      return text;
    };
    op.work = [failWith](PipelineFile& f, WorkFailure& failure) -> DWORD {
      if (failWith != 0) {
        failure.code = failWith;
        failure.stageText = L"Работа";
        failure.description = L"Своя причина";
        failure.detail = L"стек\r\n";
        return failWith;
      }
      return CopyFileW(f.claimed, f.output, TRUE) ? 0 : (failure.code = GetLastError());
    };
    return op;
  }

  DWORD Run(const std::vector<std::string>& names, const FileOperation& op) {
    FilePipeline pipeline(Journal(), profile_, worker_, L"P", 0);
    return RunFileOperation(pipeline, Names(names), op);
  }
};

TEST_F(PipelineTest, SuccessWritesOutputRecordsRealSizesAndDeletesTheClaimedInput) {
  Put(in_, "a.txt", "hello");
  ASSERT_EQ(Run({"a.txt"}, Copying()), 0u);
  EXPECT_FALSE(fs::exists(in_ / "a.txt"));
  EXPECT_FALSE(fs::exists(in_ / "a.txt.stp"));
  EXPECT_EQ(testsupport::ReadFileBytes(out_ / "a.txt.out"), "hello");
  EXPECT_EQ(Operations(), Prefix() + "Профиль: P | Успех | Правило 1 ('Тест'). Копирование '" +
                              (in_ / "a.txt").string() + "' (размер: 5) в '" + (out_ / "a.txt.out").string() +
                              "' (размер: 5)\r\n");
  EXPECT_EQ(Errors(), "");
}

// The input's size is the one taken at the claim: a work step that moves the
// claimed input on (as the output itself) still has it in the record.
TEST_F(PipelineTest, RecordKeepsTheInputSizeTakenAtTheClaim) {
  Put(in_, "a.txt", "hello");
  FileOperation op = Copying();
  op.work = [](PipelineFile& f, WorkFailure& failure) -> DWORD {
    return MoveFileW(f.claimed, f.output) ? 0 : (failure.code = GetLastError());
  };
  ASSERT_EQ(Run({"a.txt"}, op), 0u);
  EXPECT_EQ(testsupport::ReadFileBytes(out_ / "a.txt.out"), "hello");
  EXPECT_EQ(Operations(), Prefix() + "Профиль: P | Успех | Правило 1 ('Тест'). Копирование '" +
                              (in_ / "a.txt").string() + "' (размер: 5) в '" + (out_ / "a.txt.out").string() +
                              "' (размер: 5)\r\n");
}

TEST_F(PipelineTest, TemporaryAndVanishedNamesArePassedOverWithTheirRecords) {
  Put(in_, "b.txt.stp", "x");
  Put(in_, "c.STP", "y");
  // A claim that a live process (another instance) holds.
  HANDLE live = platform::ClaimFile(Wide((in_ / "b.txt.stp").string()));
  ASSERT_NE(live, INVALID_HANDLE_VALUE);
  ASSERT_EQ(Run({"b.txt.stp", "gone.txt", "c.STP"}, Copying()), 0u);
  CloseHandle(live);
  EXPECT_TRUE(fs::exists(in_ / "b.txt.stp"));     // untouched
  EXPECT_TRUE(fs::exists(out_ / "c.STP.out"));    // another case is an ordinary name
  const std::string errors = Errors();
  EXPECT_NE(errors.find("Ошибка ORLAX 0xE171800A - Файл '" + (in_ / "b.txt.stp").string() +
                        "' с временным расширением stp был пропущен. \r\n"),
            std::string::npos);
  EXPECT_NE(errors.find("Ошибка ORLAX 0xE171800B - Файл '" + (in_ / "gone.txt").string() +
                        "' был выбран для обработки но не был найден. \r\n"),
            std::string::npos);
  // The skipped file's record shows its real size; the vanished one "0".
  EXPECT_NE(Operations().find("Ошибка | Правило 1 ('Тест'). Копирование '" + (in_ / "b.txt.stp").string() +
                              "' (размер: 1)"),
            std::string::npos);
}

// A handle that refuses the claim's rename (no delete sharing: a reader)
// leaves the file under its name, with one record of the system error
// however many times it is met in a run, and it is taken once the handle is
// closed. A file gone between the listing and the claim (another instance
// took it) gets the record of a vanished file, not a bare system error.
TEST_F(PipelineTest, ClaimRefusedByAnotherHandleWaitsWithOneRecordAndAGoneFileIsVanished) {
  fs::path file = Put(in_, "held.txt", "data");
  HANDLE holder = CreateFileW(Wide(file.string()), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  ASSERT_EQ(Run({"held.txt"}, Copying()), 0u);
  ASSERT_EQ(Run({"held.txt"}, Copying()), 0u);
  CloseHandle(holder);
  EXPECT_TRUE(fs::exists(file));
  EXPECT_EQ(Errors(), Prefix() + "Ошибка 0x20 - Процесс не может получить доступ к файлу, так как этот файл занят "
                                 "другим процессом. Правило 1 ('Тест'). Переименование файла '" +
                          file.string() + "' (размер: 4) во временный формат '" + file.string() + ".stp'\r\n");
  EXPECT_EQ(Operations(), Prefix() + "Профиль: P | Ошибка | Правило 1 ('Тест'). Копирование '" + file.string() +
                              "' (размер: 4) в '" + (out_ / "held.txt.out").string() + "' (размер: 0)\r\n");
  ASSERT_EQ(Run({"held.txt"}, Copying()), 0u);
  EXPECT_EQ(testsupport::ReadFileBytes(out_ / "held.txt.out"), "data");

  FilePipeline pipeline(Wide(journal_.string()), profile_, worker_, L"P", 0);
  PipelineFile gone = pipeline.Prepare(L"gone.txt", L"gone.txt", L".out", nullptr);
  EXPECT_FALSE(pipeline.ClaimInputFile(gone));
  EXPECT_FALSE(pipeline.Fatal());
  EXPECT_NE(Errors().find("Ошибка ORLAX 0xE171800B - Файл '" + (in_ / "gone.txt").string() +
                          "' был выбран для обработки но не был найден. "),
            std::string::npos)
      << Errors();
}

// A reader outside the layer holding the input open: the claim (a rename)
// succeeds, the exclusive-open probe finds the reader, and the file is given
// its name back without a record (another instance sizing the file looks
// the same for an instant); a later cycle takes it once it is closed.
TEST_F(PipelineTest, FileHeldOpenByAnotherProcessWaitsForALaterCycleWithoutARecord) {
  fs::path file = Put(in_, "busy.txt", "data");
  fs::path ready = root_.path() / "ready";
  std::string command = "exec 3<'" + file.string() + "'; : > '" + ready.string() + "'; read line";
  FILE* child = popen(command.c_str(), "w");
  ASSERT_NE(child, nullptr);
  while (!fs::exists(ready)) std::this_thread::yield();
  DWORD rc = Run({"busy.txt"}, Copying());
  EXPECT_TRUE(fs::exists(file));
  EXPECT_FALSE(fs::exists(in_ / "busy.txt.stp"));
  fputs("done\n", child);
  pclose(child);
  ASSERT_EQ(rc, 0u);
  EXPECT_EQ(Errors(), "");
  EXPECT_EQ(Operations(), "");
  EXPECT_TRUE(fs::is_empty(err_));

  ASSERT_EQ(Run({"busy.txt"}, Copying()), 0u);
  EXPECT_EQ(testsupport::ReadFileBytes(out_ / "busy.txt.out"), "data");
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(Errors(), "");
}

// Claims as this service takes them, in a child process that is killed
// while it holds them (it writes past its file-size limit).
void ClaimAndDie(const fs::path& journal, ProfileRecord& profile, const std::vector<std::string>& names) {
  const int signal = testsupport::RunKilledMidWrite(64 * 1024, [&] {
    WorkerState worker;
    worker.journalFiles.settings = MakeJournalSettings(L"P", 4000);
    FilePipeline pipeline(Wide(journal.string()), profile, worker, L"P", 0);
    std::vector<PipelineFile> files;
    for (const std::string& name : names) {
      files.push_back(pipeline.Prepare(Wide(name), Wide(name), L".out", nullptr));
      if (!pipeline.ClaimInputFile(files.back())) return;
    }
    std::ofstream(journal / "past-the-limit", std::ios::binary) << std::string(256 * 1024, 'x');
  });
  EXPECT_EQ(signal, SIGKILL);
}

std::size_t ClaimRecordsLeft() {
  const CString folder = ClaimRecordFolder();
  return folder.IsEmpty() ? 0 : static_cast<std::size_t>(std::distance(fs::directory_iterator(Utf8(folder)),
                                                                        fs::directory_iterator()));
}

// Claims of a killed process are taken back when a rule first meets its
// folder, whatever the rule's masks would list: under their own names, or,
// when a new file took that name meanwhile, under a conflict-free one, so
// that neither blocks the other. A file that only ends in ".stp" (a user's
// CAD model), or that took a claimed name after the crash, is never
// renamed: it is passed over with one record per run.
TEST_F(PipelineTest, ClaimsOfAKilledProcessAreTakenBackAndNoOtherStpFileIs) {
  Put(in_, "a.bin", "a");
  Put(in_, "x.bin", "old x");
  Put(in_, "c.bin", "c");
  Put(in_, "model.stp", "a user's model");
  ClaimAndDie(journal_, profile_, {"a.bin", "x.bin", "c.bin"});
  for (const char* name : {"a.bin.stp", "x.bin.stp", "c.bin.stp"}) ASSERT_TRUE(fs::exists(in_ / name)) << name;
  Put(in_, "x.bin", "new x");  // dropped again while the old one was claimed
  // The claimed file taken away, another put under its name.
  fs::rename(in_ / "c.bin.stp", root_.path() / "c.bin.kept");
  Put(in_, "c.bin.stp", "another file");
  ASSERT_EQ(Errors(), "");

  { FilePipeline first(Wide(journal_.string()), profile_, worker_, L"P", 0); }
  EXPECT_EQ(testsupport::ReadFileBytes(in_ / "a.bin"), "a");
  EXPECT_EQ(testsupport::ReadFileBytes(in_ / "x.bin"), "new x");
  std::string renamed;
  for (const auto& entry : fs::directory_iterator(in_)) {
    const std::string name = entry.path().filename().string();
    if (!MarkOf(name, "x", ".bin").empty()) renamed = name;
  }
  ASSERT_FALSE(renamed.empty());
  EXPECT_EQ(testsupport::ReadFileBytes(in_ / renamed), "old x");
  EXPECT_EQ(testsupport::ReadFileBytes(in_ / "c.bin.stp"), "another file");
  EXPECT_EQ(testsupport::ReadFileBytes(in_ / "model.stp"), "a user's model");
  EXPECT_EQ(std::distance(fs::directory_iterator(in_), fs::directory_iterator()), 5);
  EXPECT_EQ(ClaimRecordsLeft(), 0u);
  const std::string errors = Errors();
  EXPECT_NE(errors.find("Ошибка ORLAX 0xE1718021 - Файл '" + (in_ / "a.bin.stp").string() +
                        "' остался от прерванной обработки и возвращен под исходным именем '" +
                        (in_ / "a.bin").string() + "' для повторной обработки. \r\n"),
            std::string::npos)
      << errors;
  EXPECT_NE(errors.find("Ошибка ORLAX 0xE1718021 - Файл '" + (in_ / "x.bin.stp").string() +
                        "' остался от прерванной обработки; его исходное имя '" + (in_ / "x.bin").string() +
                        "' занято, и он возвращен под именем '" + (in_ / renamed).string() +
                        "' для повторной обработки. \r\n"),
            std::string::npos)
      << errors;
  EXPECT_EQ(Operations(), Prefix() + "Профиль: P | Ошибка | Правило 1 ('Тест'). Проверка входного каталога '" +
                              in_.string() + "'\r\n" + Prefix() +
                              "Профиль: P | Ошибка | Правило 1 ('Тест'). Проверка входного каталога '" +
                              in_.string() + "'\r\n");

  for (int cycle = 0; cycle < 3; ++cycle)
    ASSERT_EQ(Run({"model.stp", "c.bin.stp", "a.bin", "x.bin", renamed}, Copying()), 0u);
  EXPECT_EQ(testsupport::ReadFileBytes(in_ / "model.stp"), "a user's model");
  EXPECT_EQ(testsupport::ReadFileBytes(in_ / "c.bin.stp"), "another file");
  EXPECT_EQ(testsupport::ReadFileBytes(out_ / "a.bin.out"), "a");
  EXPECT_EQ(testsupport::ReadFileBytes(out_ / "x.bin.out"), "new x");
  EXPECT_EQ(testsupport::ReadFileBytes(out_ / (renamed + ".out")), "old x");
  const std::string after = Errors();
  for (const char* name : {"model.stp", "c.bin.stp"}) {
    const std::string skipped =
        "Ошибка ORLAX 0xE171800A - Файл '" + (in_ / name).string() + "' с временным расширением stp был пропущен";
    EXPECT_NE(after.find(skipped), std::string::npos) << after;
    EXPECT_EQ(after.find(skipped), after.rfind(skipped)) << after;
  }
  EXPECT_EQ(ClaimRecordsLeft(), 0u);
}

// A claim of a live process (another instance at work) is never taken back;
// a claimed file that stays under its claimed name when its claim ends (the
// mover could not move it) keeps its record, and a later run gives it back.
TEST_F(PipelineTest, ALiveClaimStaysAndOneLeftClaimedIsGivenBackByALaterRun) {
  Put(in_, "b.bin", "b");
  {
    FilePipeline pipeline(Wide(journal_.string()), profile_, worker_, L"P", 0);
    PipelineFile held = pipeline.Prepare(L"b.bin", L"b.bin", L".out", nullptr);
    ASSERT_TRUE(pipeline.ClaimInputFile(held));
    EXPECT_EQ(ClaimRecordsLeft(), 1u);
    EXPECT_TRUE(TakeBackAbandonedClaims(Wide(in_.string())).empty());
    EXPECT_TRUE(fs::exists(in_ / "b.bin.stp"));
  }
  EXPECT_EQ(ClaimRecordsLeft(), 1u);
  const std::vector<TakenBackClaim> taken = TakeBackAbandonedClaims(Wide(in_.string()));
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(Utf8(taken[0].restored), (in_ / "b.bin").string());
  EXPECT_EQ(taken[0].error, 0u);
  EXPECT_EQ(testsupport::ReadFileBytes(in_ / "b.bin"), "b");
  EXPECT_EQ(ClaimRecordsLeft(), 0u);

  // Done, failed or given back: no record stays.
  Put(in_, "busy.bin", "busy");
  HANDLE holder = CreateFileW(Wide((in_ / "busy.bin").string()), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_EQ(Run({"b.bin", "busy.bin"}, Copying()), 0u);
  CloseHandle(holder);
  Put(in_, "bad.bin", "bad");
  ASSERT_EQ(Run({"bad.bin"}, Copying(ERROR_INVALID_DATA)), 0u);
  EXPECT_TRUE(fs::exists(err_ / "bad.bin"));
  EXPECT_TRUE(fs::exists(out_ / "b.bin.out"));
  EXPECT_TRUE(fs::exists(in_ / "busy.bin"));
  EXPECT_EQ(ClaimRecordsLeft(), 0u);
}

// A live claim and a name that cannot be claimed (too long for the suffix)
// would be met every cycle: each is recorded once per run.
TEST_F(PipelineTest, RepeatingConditionsAreRecordedOncePerRun) {
  fs::path held = Put(in_, "held.txt.stp", "x");
  const std::string longName(252, 'n');
  Put(in_, longName, "y");
  HANDLE live = platform::ClaimFile(Wide(held.string()));
  ASSERT_NE(live, INVALID_HANDLE_VALUE);
  for (int cycle = 0; cycle < 3; ++cycle) ASSERT_EQ(Run({"held.txt.stp", longName}, Copying()), 0u);
  CloseHandle(live);
  const std::string errors = Errors();
  auto count = [&](const std::string& text) {
    std::size_t n = 0;
    for (std::size_t at = errors.find(text); at != std::string::npos; at = errors.find(text, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("Ошибка ORLAX 0xE171800A"), 1u) << errors;
  const std::string longPath = (in_ / longName).string();
  EXPECT_EQ(count("Ошибка ORLAX 0xE1718024 - Имя файла '" + longPath + "' слишком длинное для временного имени '" +
                  longPath + ".stp': файл не обрабатывается и остается во входном каталоге. "),
            1u)
      << errors;
  EXPECT_TRUE(fs::exists(held));
  EXPECT_TRUE(fs::exists(in_ / longName));
}

// A name written in another code page cannot be opened by any call: it stays
// where it is with one record per run, shown byte by byte, however many
// cycles list it; the names beside it are processed as usual.
TEST_F(PipelineTest, NamesNotInTheFileNameEncodingStayWithOneRecordPerRun) {
  struct Case {
    std::string name;
    std::string shown;
  };
  const Case cases[] = {
      {"\xCF\xF0\xE8.txt", "\\xCF\\xF0\\xE8.txt"},         // written in 1251
      {"a\xFF\nb.txt", "a\\xFF\\x0Ab.txt"},                     // a line break as well: still one line
      {"\xED\xA0\x80.txt", "\\xED\\xA0\\x80.txt"},         // an encoded surrogate
      {"\xD0.txt", "\\xD0.txt"},                               // a sequence cut short
  };
  for (const Case& c : cases) Put(in_, c.name, "stray");
  Put(in_, "good.txt", "data");
  for (int cycle = 0; cycle < 3; ++cycle) {
    SCOPED_TRACE(cycle);
    CStringArray names;
    ASSERT_EQ(FindFiles(Wide(in_.string()), names, {L"*.txt"}), 0u);
    ASSERT_EQ(names.GetSize(), cycle == 0 ? 5 : 4);
    FilePipeline pipeline(Wide(journal_.string()), profile_, worker_, L"P", 0);
    ASSERT_TRUE(pipeline.SetAsideUnencodableNames(names));
    ASSERT_EQ(names.GetSize(), cycle == 0 ? 1 : 0);
    if (cycle == 0) {
      EXPECT_EQ(names[0], CString(L"good.txt"));
    }
    ASSERT_EQ(RunFileOperation(pipeline, names, Copying()), 0u);
  }
  EXPECT_EQ(testsupport::ReadFileBytes(out_ / "good.txt.out"), "data");
  const std::string operations = Operations();
  EXPECT_EQ(std::count(operations.begin(), operations.end(), '\n'), 5) << operations;
  const std::string errors = Errors();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    EXPECT_EQ(testsupport::ReadFileBytes(in_ / c.name), "stray");
    const std::string path = in_.string() + "/" + c.shown;
    const std::string record = "Ошибка ORLAX 0xE1718024 - Имя файла '" + path +
                               "' недопустимо в кодировке имен файлов: файл не обрабатывается и остается во "
                               "входном каталоге. Правило 1 ('Тест'). Проверка файла '" + path + "'\r\n";
    const std::size_t at = errors.find(record);
    EXPECT_NE(at, std::string::npos) << errors;
    EXPECT_EQ(errors.find(record, at + 1), std::string::npos) << errors;
    EXPECT_NE(operations.find(" | Правило 1 ('Тест'). Проверка файла '" + path + "'\r\n"), std::string::npos);
  }
  EXPECT_TRUE(fs::is_empty(err_));
}

// Nothing is read through a link in the input folder: the link itself goes
// to the error folder (its target stays where and what it was).
TEST_F(PipelineTest, LinksInTheInputFolderGoToTheErrorFolderUnread) {
  const fs::path secret = Put(root_.path(), "secret.txt", "root only");
  struct Case {
    const char* name;
    fs::path target;
  };
  const Case cases[] = {{"live.txt", secret}, {"dangling.txt", root_.path() / "nowhere"}};
  for (const Case& c : cases) fs::create_symlink(c.target, in_ / c.name);
  ASSERT_EQ(Run({"live.txt", "dangling.txt"}, Copying()), 0u);
  EXPECT_TRUE(fs::is_empty(out_));
  EXPECT_TRUE(fs::is_empty(in_));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(fs::is_symlink(err_ / c.name));
    EXPECT_EQ(fs::read_symlink(err_ / c.name), c.target);
    EXPECT_NE(Errors().find("Ошибка ORLAX 0xE1718020 - Файл '" + (in_ / c.name).string() +
                            "' является символической ссылкой: файлы по ссылкам не обрабатываются. " +
                            "Правило 1 ('Тест'). Проверка файла '" + (in_ / c.name).string() + "'\r\n"),
              std::string::npos)
        << Errors();
  }
  EXPECT_EQ(testsupport::ReadFileBytes(secret), "root only");
}

// An output is never more readable than its input.
TEST_F(PipelineTest, OutputTakesTheInputsPermissionBits) {
  for (DWORD mode : {0600u, 0640u, 0644u}) {
    SCOPED_TRACE(mode);
    const std::string name = "m" + std::to_string(mode) + ".txt";
    fs::path input = Put(in_, name, "plain");
    ASSERT_TRUE(platform::SetFilePermissions(Wide(input.string()), mode));
    FileOperation op = Copying();
    op.work = [](PipelineFile& f, WorkFailure& failure) -> DWORD {
      // Written the way a careless writer would: readable by everybody.
      if (!CopyFileW(f.claimed, f.output, TRUE)) return failure.code = GetLastError();
      return platform::SetFilePermissions(f.output, 0666) ? 0 : (failure.code = GetLastError());
    };
    ASSERT_EQ(Run({name}, op), 0u);
    EXPECT_EQ(platform::GetFilePermissions(Wide((out_ / (name + ".out")).string())), mode);
  }
}

// A crafted name cannot forge a record: each file gives one line per
// record, its control characters written escaped.
TEST_F(PipelineTest, NameWithALineBreakGivesOneJournalLine) {
  // A name cannot hold '/', so the forged date has none either.
  const std::string name = "a\r\n14:05:09 09-12-2026 | Профиль: P | Успех | forged.txt";
  Put(in_, name, "x");
  ASSERT_EQ(Run({name}, Copying()), 0u);
  EXPECT_TRUE(fs::exists(out_ / (name + ".out")));
  const std::string operations = Operations();
  EXPECT_EQ(std::count(operations.begin(), operations.end(), '\n'), 1) << operations;
  EXPECT_NE(operations.find("a\\x0D\\x0A14:05:09 09-12-2026 | Профиль: P | Успех | forged.txt"), std::string::npos);
}

TEST_F(PipelineTest, ReadOnlyInputFailsTheProbeAndSaysWhy) {
  fs::path file = Put(in_, "ro.txt", "data");
  ASSERT_TRUE(SetFileAttributesW(Wide(file.string()), FILE_ATTRIBUTE_READONLY));
  ASSERT_EQ(Run({"ro.txt"}, Copying()), 0u);
  EXPECT_TRUE(fs::exists(err_ / "ro.txt"));
  EXPECT_FALSE(fs::exists(out_ / "ro.txt.out"));
  EXPECT_NE(Errors().find("Ошибка 0x5 - "), std::string::npos);
  EXPECT_NE(Errors().find(". Правило 1 ('Тест'). Открытие файла " + file.string() +
                          " (размер: 4). Файл доступен только для чтения\r\n"),
            std::string::npos);
}

TEST_F(PipelineTest, ExistingOutputFailsWithCode80UnlessConflictFilesAreRenamed) {
  Put(in_, "a.txt", "new");
  Put(out_, "a.txt.out", "old");
  ASSERT_EQ(Run({"a.txt"}, Copying()), 0u);
  EXPECT_TRUE(fs::exists(err_ / "a.txt"));
  EXPECT_EQ(testsupport::ReadFileBytes(out_ / "a.txt.out"), "old");
  EXPECT_NE(Errors().find("Ошибка 0x50 - "), std::string::npos);
  EXPECT_NE(Errors().find(". Правило 1 ('Тест'). Создание файла " + (out_ / "a.txt.out").string() + "\r\n"),
            std::string::npos);

  profile_.renameConfFiles = 1;
  Put(in_, "a.txt", "new");
  ASSERT_EQ(Run({"a.txt"}, Copying()), 0u);
  EXPECT_EQ(testsupport::ReadFileBytes(out_ / "a.txt.out"), "old");
  int renamed = 0;
  for (const auto& entry : fs::directory_iterator(out_)) {
    std::string name = entry.path().filename().string();
    if (!MarkOf(name, "a", ".txt.out").empty()) {
      ++renamed;
      EXPECT_EQ(testsupport::ReadFileBytes(entry.path()), "new");
      EXPECT_NE(Operations().find("в '" + entry.path().string() + "' (размер: 3)\r\n"), std::string::npos);
    }
  }
  EXPECT_EQ(renamed, 1);
}

// The output is written under a temporary name in its folder, which the
// listing never offers, and gets its name only when the file is done, never
// replacing what took that name meanwhile (a file or a dangling link).
TEST_F(PipelineTest, OutputIsWrittenUnderATemporaryNameAndPublishedWithoutReplacing) {
  struct Row {
    const char* what;
    const char* planted;  // "", "file" or "link": what takes the name during the work
    int renameConfFiles;
    bool published;       // under its own name (else under a mark, or failed)
    bool failed;
  };
  const Row rows[] = {{"free name", "", 0, true, false},
                      {"file planted, no renaming", "file", 0, false, true},
                      {"link planted, no renaming", "link", 0, false, true},
                      {"file planted, renaming", "file", 1, false, false},
                      {"link planted, renaming", "link", 1, false, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    for (const fs::path& folder : {in_, out_, err_, journal_}) fs::remove_all(folder), fs::create_directories(folder);
    profile_.renameConfFiles = row.renameConfFiles;
    Put(in_, "a.txt", "hello");
    const fs::path final = out_ / "a.txt.out", elsewhere = root_.path() / "elsewhere";
    FileOperation op = Copying();
    op.work = [&](PipelineFile& f, WorkFailure& failure) -> DWORD {
      EXPECT_EQ(fs::path(Utf8(f.output)).parent_path(), out_);
      EXPECT_TRUE(IsStagedOutputName(BareName(f.output)));
      if (!CopyFileW(f.claimed, f.output, TRUE)) return failure.code = GetLastError();
      CStringArray listed;
      EXPECT_EQ(FindFiles(Wide(out_.string()), listed, {L"*"}), 0u);
      EXPECT_EQ(listed.GetSize(), 0);
      EXPECT_FALSE(fs::exists(fs::symlink_status(final)));  // nothing under the name while it is written
      if (std::string(row.planted) == "file") Put(out_, "a.txt.out", "theirs");
      if (std::string(row.planted) == "link") fs::create_symlink(elsewhere, final);
      return 0;
    };
    ASSERT_EQ(Run({"a.txt"}, op), 0u);
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(out_)) left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_FALSE(fs::exists(elsewhere));
    if (row.published) {
      EXPECT_EQ(left, std::vector<std::string>{"a.txt.out"});
      EXPECT_EQ(testsupport::ReadFileBytes(final), "hello");
      continue;
    }
    if (std::string(row.planted) == "file") {
      EXPECT_EQ(testsupport::ReadFileBytes(final), "theirs");
    } else {
      EXPECT_TRUE(fs::is_symlink(final));
    }
    if (row.failed) {
      EXPECT_EQ(left, std::vector<std::string>{"a.txt.out"});  // theirs only, no temporary file
      EXPECT_EQ(testsupport::ReadFileBytes(err_ / "a.txt"), "hello");
      EXPECT_NE(Errors().find("Ошибка 0x50 - "), std::string::npos) << Errors();
      EXPECT_NE(Errors().find(". Правило 1 ('Тест'). Создание файла " + final.string() + "\r\n"),
                std::string::npos)
          << Errors();
      EXPECT_EQ(Errors().find(".part"), std::string::npos) << Errors();
      continue;
    }
    ASSERT_EQ(left.size(), 2u);
    const std::string marked = left[0] == "a.txt.out" ? left[1] : left[0];
    EXPECT_FALSE(MarkOf(marked, "a", ".txt.out").empty()) << marked;
    EXPECT_EQ(testsupport::ReadFileBytes(out_ / marked), "hello");
    EXPECT_NE(Operations().find("в '" + (out_ / marked).string() + "' (размер: 5)\r\n"), std::string::npos)
        << Operations();
  }
}

// Another process that writes an output under its temporary name and then
// either ends without publishing it (a killed instance) or stays at work
// until End.
class OtherWriter {
 public:
  OtherWriter(const fs::path& folder, const std::string& finalName, bool staysAlive) {
    int ready[2], hold[2];
    EXPECT_EQ(pipe(ready), 0);
    EXPECT_EQ(pipe(hold), 0);
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(hold[1]);
      auto* staged = new StagedFile;  // never destroyed: the process ends as a crash ends it
      staged->Stage(Wide((folder / finalName).string()), Wide(folder.string()));
      std::ofstream(Utf8(staged->Path()), std::ios::binary) << "half";
      const std::string path = Utf8(staged->Path()) + "\n";
      if (write(ready[1], path.data(), path.size()) != static_cast<ssize_t>(path.size())) _exit(1);
      char byte;
      while (staysAlive && read(hold[0], &byte, 1) > 0) {
      }
      _exit(0);
    }
    close(ready[1]);
    close(hold[0]);
    hold_ = hold[1];
    char buffer[4096];
    ssize_t got;
    while ((got = read(ready[0], buffer, sizeof buffer)) > 0) {
      temporary_.append(buffer, static_cast<size_t>(got));
      if (temporary_.back() == '\n') break;
    }
    close(ready[0]);
    if (!temporary_.empty()) temporary_.pop_back();
    if (!staysAlive) End();
  }
  ~OtherWriter() { End(); }
  OtherWriter(const OtherWriter&) = delete;
  OtherWriter& operator=(const OtherWriter&) = delete;
  void End() {
    if (pid_ <= 0) return;
    close(hold_);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  const std::string& Temporary() const { return temporary_; }

 private:
  pid_t pid_ = -1;
  int hold_ = -1;
  std::string temporary_;
};

// Temporary outputs left by a process that is gone are removed when a rule
// first meets its output folder, with the work files the library wrote
// beside them and one record each; those of a live writer (another instance
// sharing the folder, or this one) stay, and so do names that only look
// alike. None of them is ever listed as an input.
TEST_F(PipelineTest, TemporaryOutputsOfAGoneWriterAreRemovedAndLiveOnesStay) {
  OtherWriter gone(out_, "a.txt.p7e", false);
  OtherWriter live(out_, "b.txt.p7e", true);
  StagedFile own;
  own.Stage(Wide((out_ / "c.txt.p7e").string()), Wide(out_.string()));
  std::ofstream(Utf8(own.Path()), std::ios::binary) << "mine";
  Put(out_, ".~d.txt.part", "not ours");
  Put(out_, "e.txt.part", "a user's");
  Put(out_, "f.txt.~0123456789abcdef", "a user's");
  const std::string goneWork = gone.Temporary() + ".~0123456789abcdef";
  const std::string liveWork = live.Temporary() + ".~fedcba9876543210";
  std::ofstream(goneWork, std::ios::binary) << "work";
  std::ofstream(liveWork, std::ios::binary) << "work";
  ASSERT_TRUE(fs::exists(gone.Temporary()));
  ASSERT_TRUE(fs::exists(live.Temporary()));
  CStringArray listed;
  ASSERT_EQ(FindFiles(Wide(out_.string()), listed, {L"*"}), 0u);
  std::vector<std::string> inputs;
  for (const CString& name : listed) inputs.push_back(Utf8(name));
  std::sort(inputs.begin(), inputs.end());
  EXPECT_EQ(inputs, (std::vector<std::string>{".~d.txt.part", "e.txt.part", "f.txt.~0123456789abcdef"}));

  { FilePipeline first(Wide(journal_.string()), profile_, worker_, L"P", 0); }
  EXPECT_FALSE(fs::exists(gone.Temporary()));
  EXPECT_FALSE(fs::exists(goneWork));
  size_t staged = 0;
  for (const auto& entry : fs::directory_iterator(out_)) staged += IsStagedOutputName(Wide(entry.path().filename().string()));
  EXPECT_EQ(staged, 5u);  // the live writers' files, a work file and their reservations
  EXPECT_TRUE(fs::exists(live.Temporary()));
  EXPECT_TRUE(fs::exists(liveWork));
  EXPECT_TRUE(fs::exists(Utf8(own.Path())));
  EXPECT_TRUE(fs::exists(out_ / ".~d.txt.part"));
  EXPECT_TRUE(fs::exists(out_ / "e.txt.part"));
  EXPECT_EQ(Errors(), Prefix() + "Ошибка ORLAX 0xE1718025 - Временный файл '" + goneWork +
                          "' остался от прерванной обработки и удален. \r\n" + Prefix() +
                          "Ошибка ORLAX 0xE1718025 - Временный файл '" + gone.Temporary() +
                          "' остался от прерванной обработки и удален. \r\n");
  const std::string checked =
      Prefix() + "Профиль: P | Ошибка | Правило 1 ('Тест'). Проверка выходного каталога '" + out_.string() + "'\r\n";
  EXPECT_EQ(Operations(), checked + checked);

  // Once per run: a writer gone since is met by the next run, or directly.
  live.End();
  { FilePipeline again(Wide(journal_.string()), profile_, worker_, L"P", 0); }
  EXPECT_TRUE(fs::exists(live.Temporary()));
  const std::vector<CString> removed = RemoveAbandonedStagedOutputs(Wide(out_.string()));
  ASSERT_EQ(removed.size(), 2u);
  EXPECT_EQ(Utf8(removed[0]), liveWork);
  EXPECT_EQ(Utf8(removed[1]), live.Temporary());
  EXPECT_EQ(own.Publish(Wide((out_ / "c.txt.p7e").string())), 0u);
  EXPECT_EQ(testsupport::ReadFileBytes(out_ / "c.txt.p7e"), "mine");
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(out_)) left.push_back(entry.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{".~d.txt.part", "c.txt.p7e", "e.txt.part", "f.txt.~0123456789abcdef"}));
}

// The outputs of one input in one folder share one reservation, however
// many they are: a writer that is gone leaves them all to be removed, a live
// one keeps them all. The file's record finds each by its name in one step,
// and publishing under a conflict name is what records show.
TEST_F(PipelineTest, OutputsOfOneInputShareOneReservationPerFolder) {
  auto stageThree = [this](StagedOutputs& staged) {
    std::vector<CString> temporaries;
    for (const char* name : {"a/x.txt", "b/x.txt", "y.txt"}) {
      temporaries.push_back(staged.Stage(Wide((out_ / name).string()), Wide(fs::path(name).stem().string()),
                                         L".txt", Wide(out_.string())));
      std::ofstream(Utf8(temporaries.back()), std::ios::binary) << name;
    }
    return temporaries;
  };
  auto leftInOut = [this] {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(out_)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  };
  for (const bool staysAlive : {false, true}) {
    SCOPED_TRACE(staysAlive ? "a live writer" : "a gone writer");
    fs::remove_all(out_);
    fs::create_directories(out_);
    int ready[2], hold[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(hold), 0);
    const pid_t child = fork();
    if (child == 0) {
      close(ready[0]);
      close(hold[1]);
      auto* staged = new StagedOutputs;  // never destroyed: the process ends as a crash ends it
      stageThree(*staged);
      if (write(ready[1], "r", 1) != 1) _exit(1);
      char byte;
      while (staysAlive && read(hold[0], &byte, 1) > 0) {
      }
      _exit(0);
    }
    close(ready[1]);
    close(hold[0]);
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    if (!staysAlive) waitpid(child, nullptr, 0);
    const std::vector<std::string> written = leftInOut();
    ASSERT_EQ(written.size(), 4u) << ::testing::PrintToString(written);
    EXPECT_EQ(std::count_if(written.begin(), written.end(),
                            [](const std::string& name) { return name.ends_with(".lock"); }),
              1);
    for (const std::string& name : written) EXPECT_TRUE(IsStagedOutputName(Wide(name))) << name;

    const std::vector<CString> removed = RemoveAbandonedStagedOutputs(Wide(out_.string()));
    if (staysAlive) {
      EXPECT_TRUE(removed.empty());
      EXPECT_EQ(leftInOut(), written);
      close(hold[1]);
      waitpid(child, nullptr, 0);
    } else {
      close(hold[1]);
      EXPECT_EQ(removed.size(), 3u);
      EXPECT_TRUE(leftInOut().empty()) << ::testing::PrintToString(leftInOut());
    }
  }

  // This process's own outputs: found by name, published, shown by the names they get.
  fs::remove_all(out_);
  fs::create_directories(out_ / "a");
  fs::create_directories(out_ / "b");
  Put(out_ / "b", "x.txt", "taken");
  StagedOutputs staged;
  const std::vector<CString> temporaries = stageThree(staged);
  EXPECT_TRUE(staged.Holds(Wide((out_ / "a" / "x.txt").string())));
  EXPECT_TRUE(staged.Holds(Wide((out_ / "y.txt").string())));
  EXPECT_FALSE(staged.Holds(Wide((out_ / "x.txt").string())));
  EXPECT_FALSE(staged.Holds(Wide((out_ / "a" / "y.txt").string())));
  EXPECT_EQ(staged.Count(), 3);
  const CString text = L"'" + temporaries[1] + L"', '" + temporaries[0] + L"'";
  CString failed;
  ASSERT_EQ(staged.Publish(1, failed), 0u);
  EXPECT_EQ(testsupport::ReadFileBytes(out_ / "a" / "x.txt"), "a/x.txt");
  EXPECT_EQ(testsupport::ReadFileBytes(out_ / "y.txt"), "y.txt");
  std::string aside;
  for (const auto& entry : fs::directory_iterator(out_ / "b")) {
    if (entry.path().filename() != "x.txt") aside = entry.path().filename().string();
  }
  EXPECT_FALSE(MarkOf(aside, "x", ".txt").empty()) << aside;
  EXPECT_EQ(testsupport::ReadFileBytes(out_ / "b" / aside), "b/x.txt");
  EXPECT_TRUE(staged.Holds(Wide((out_ / "b" / aside).string())));
  EXPECT_EQ(Utf8(staged.Shown(text)), "'" + (out_ / "b" / aside).string() + "', '" + (out_ / "a" / "x.txt").string() + "'");
  EXPECT_EQ(leftInOut(), (std::vector<std::string>{"a", "b", "y.txt"}));  // the reservation went too
}

// A move across file systems copies: the copy is written under a temporary
// name and given the target's name only when complete, so a crash in the
// middle leaves the source whole and nothing under the target's name.
TEST_F(PipelineTest, AMoveAcrossFileSystemsNeverLeavesAPartialTarget) {
  testsupport::ShmFolder shm;
  if (!shm.OnAnotherFileSystemThan(root_.path()))
    GTEST_SKIP() << "/dev/shm is missing or on the same file system as the temporary root";
  const std::string content(256 * 1024, 'm');
  const fs::path source = Put(in_, "big.bin", content);
  const fs::path target = shm.path() / "big.bin";
  const int signal = testsupport::RunKilledMidWrite(64 * 1024, [&] {
    MoveFileStaged(Wide(source.string()), Wide(target.string()));
  });
  ASSERT_EQ(signal, SIGKILL);
  EXPECT_EQ(testsupport::ReadFileBytes(source), content);
  EXPECT_FALSE(fs::exists(fs::symlink_status(target)));
  EXPECT_EQ(RemoveAbandonedStagedOutputs(Wide(shm.path().string())).size(), 1u);
  EXPECT_TRUE(fs::is_empty(shm.path()));

  ASSERT_TRUE(MoveFileStaged(Wide(source.string()), Wide(target.string())));
  EXPECT_FALSE(fs::exists(source));
  EXPECT_EQ(testsupport::ReadFileBytes(target), content);
  EXPECT_EQ(std::distance(fs::directory_iterator(shm.path()), fs::directory_iterator()), 1);

  // Never replacing, across file systems too.
  Put(in_, "big.bin", "other");
  EXPECT_FALSE(MoveFileStaged(Wide(source.string()), Wide(target.string())));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(testsupport::ReadFileBytes(target), content);
  EXPECT_EQ(testsupport::ReadFileBytes(source), "other");
  EXPECT_EQ(std::distance(fs::directory_iterator(shm.path()), fs::directory_iterator()), 1);
}

// A failed file leaves nothing in the output folder, under no name; its
// record names the output by its own name.
TEST_F(PipelineTest, FailedWorkLeavesNoTemporaryOutput) {
  Put(in_, "a.txt", "hello");
  FileOperation op = Copying();
  op.work = [](PipelineFile& f, WorkFailure& failure) -> DWORD {
    EXPECT_TRUE(CopyFileW(f.claimed, f.output, TRUE));
    failure.stageText = L"Запись файла " + f.output;
    return failure.code = ERROR_WRITE_FAULT;
  };
  ASSERT_EQ(Run({"a.txt"}, op), 0u);
  EXPECT_TRUE(fs::is_empty(out_));
  EXPECT_NE(Errors().find(". Правило 1 ('Тест'). Запись файла " + (out_ / "a.txt.out").string()), std::string::npos)
      << Errors();
}

TEST_F(PipelineTest, FailedWorkMovesTheInputUnderAConflictNameWhenItsNameIsTaken) {
  Put(in_, "a.b.txt", "in");
  Put(err_, "a.b.txt", "earlier");
  ASSERT_EQ(Run({"a.b.txt"}, Copying(0xE0700053)), 0u);
  std::string moved;
  for (const auto& entry : fs::directory_iterator(err_)) {
    std::string name = entry.path().filename().string();
    if (!MarkOf(name, "a", ".b.txt").empty()) moved = entry.path().string();
  }
  ASSERT_FALSE(moved.empty());
  EXPECT_EQ(testsupport::ReadFileBytes(moved), "in");
  EXPECT_EQ(testsupport::ReadFileBytes(err_ / "a.b.txt"), "earlier");
  const std::string errors = Errors();
  // The move record: errors journal only, code 183 and the renaming.
  EXPECT_NE(errors.find(Prefix() + "Перемещение файла '" + (in_ / "a.b.txt").string() +
                        "' (размер: 0) в каталог ошибок '" + (err_ / "a.b.txt").string() +
                        "' (размер: 2). Ошибка 0xB7 - "),
            std::string::npos);
  EXPECT_NE(errors.find(". . Переименование файла '" + (err_ / "a.b.txt").string() + "' (размер: 0) в '" +
                        moved + "' (размер: 2). \r\n"),
            std::string::npos);
  // The failure record names the file where it now is, with the operation's
  // own description, step text and detail.
  EXPECT_NE(Operations().find(". Файл перемещен в каталог ошибок под именем " + moved + "\r\n"),
            std::string::npos);
  EXPECT_NE(errors.find(Prefix() + "Ошибка ORLAX 0xE0700053 - Своя причина. Правило 1 ('Тест'). Работа\r\nстек\r\n"),
            std::string::npos);
}

TEST_F(PipelineTest, InputThatCannotBeMovedStaysClaimedAndTheRecordSaysSo) {
  profile_.rules[0].pathError = Wide((root_.path() / "missing-folder").string());
  Put(in_, "a.txt", "in");
  ASSERT_EQ(Run({"a.txt"}, Copying(5)), 0u);
  EXPECT_TRUE(fs::exists(in_ / "a.txt.stp"));
  const std::string stays = ". Файл остается во входном каталоге под именем '" + (in_ / "a.txt.stp").string() + "'";
  EXPECT_NE(Errors().find(stays + ". \r\n"), std::string::npos);      // the move record
  EXPECT_NE(Operations().find(stays + "\r\n"), std::string::npos);    // the failure record
  EXPECT_EQ(Operations().find("Файл перемещен"), std::string::npos);
}

// A conflict-name retry that fails for another reason than a taken name (here
// a name grown past the file-name limit) leaves the file where it is.
TEST_F(PipelineTest, RetryFailingOtherwiseLeavesTheFileAndSaysWhereItIs) {
  const std::string longName(250, 'n');
  fs::path source = Put(in_, longName + ".stp", "x");
  Put(err_, longName, "taken");
  JournalFiles files{.settings = worker_.journalFiles.settings};
  CString target = Wide((err_ / longName).string());
  bool moved = true;
  ASSERT_EQ(MoveToErrorFolder(Wide(journal_.string()), files, Wide(source.string()), target, CString(), &moved), 0u);
  EXPECT_FALSE(moved);
  EXPECT_TRUE(fs::exists(source));
  EXPECT_NE(Errors().find(". Файл остается во входном каталоге под именем '" + source.string() + "'. \r\n"),
            std::string::npos);
  EXPECT_EQ(Operations(), "");
}

TEST_F(PipelineTest, PartialOutputIsDeletedBeforeTheMove) {
  fs::path partial = Put(out_, "half.out", "par");
  fs::path source = Put(in_, "a.txt.stp", "x");
  JournalFiles files{.settings = worker_.journalFiles.settings};
  CString target = Wide((err_ / "a.txt").string());
  ASSERT_EQ(MoveToErrorFolder(Wide(journal_.string()), files, Wide(source.string()), target,
                              Wide(partial.string())),
            0u);
  EXPECT_FALSE(fs::exists(partial));
  EXPECT_TRUE(fs::exists(err_ / "a.txt"));
  EXPECT_EQ(Errors(), "");  // a plain move writes no record
}

class PairMoveTest : public PipelineTest {
 protected:
  // Moves doc.txt.stp and doc.txt.p7d.stp; returns the bare error names.
  std::pair<std::string, std::string> MovePair() {
    fs::path data = Put(in_, "doc.txt.stp", "data");
    fs::path sig = Put(in_, "doc.txt.p7d.stp", "sig");
    JournalFiles files{.settings = worker_.journalFiles.settings};
    ErrorFolderMove first{.source = Wide(data.string()), .target = Wide((err_ / "doc.txt").string())};
    ErrorFolderMove second{.source = Wide(sig.string()), .target = Wide((err_ / "doc.txt.p7d").string())};
    EXPECT_EQ(MovePairToErrorFolder(Wide(journal_.string()), files, first, second), 0u);
    EXPECT_TRUE(first.moved && second.moved);
    EXPECT_EQ(testsupport::ReadFileBytes(Utf8(first.target)), "data");
    EXPECT_EQ(testsupport::ReadFileBytes(Utf8(second.target)), "sig");
    return {fs::path(Utf8(first.target)).filename().string(), fs::path(Utf8(second.target)).filename().string()};
  }
};

TEST_F(PairMoveTest, PairWithoutConflictKeepsItsNames) {
  auto [data, sig] = MovePair();
  EXPECT_EQ(data, "doc.txt");
  EXPECT_EQ(sig, "doc.txt.p7d");
}

TEST_F(PairMoveTest, DataConflictGivesBothFilesTheSameMark) {
  Put(err_, "doc.txt", "old");
  auto [data, sig] = MovePair();
  std::string mark = MarkOf(data, "doc", ".txt");
  ASSERT_FALSE(mark.empty()) << data;
  EXPECT_EQ(sig, "doc" + mark + ".txt.p7d");
}

TEST_F(PairMoveTest, SignatureConflictRenamesTheDataFileToItsMark) {
  Put(err_, "doc.txt.p7d", "old");
  auto [data, sig] = MovePair();
  std::string mark = MarkOf(sig, "doc", ".txt.p7d");
  ASSERT_FALSE(mark.empty()) << sig;
  EXPECT_EQ(data, "doc" + mark + ".txt");
  EXPECT_FALSE(fs::exists(err_ / "doc.txt"));
  EXPECT_EQ(testsupport::ReadFileBytes(err_ / "doc.txt.p7d"), "old");
}

TEST_F(PipelineTest, PairClaimTakesBothFilesWhicheverWasListedAndPassesOverAnIncompletePair) {
  Put(in_, "doc.txt", "d");
  Put(in_, "doc.txt.p7d", "s");
  Put(in_, "lone.txt.p7d", "s");
  FilePipeline pipeline(Wide(journal_.string()), profile_, worker_, L"P", 0, RecordStyle::kClaimTextUntilClaimed);

  PipelineFile lone = pipeline.Prepare(L"lone.txt.p7d", L"lone.txt", L".vrf", nullptr);
  EXPECT_FALSE(pipeline.ClaimPair(lone, L"p7d"));
  EXPECT_FALSE(pipeline.Fatal());
  EXPECT_TRUE(fs::exists(in_ / "lone.txt.p7d"));

  PipelineFile pair = pipeline.Prepare(L"doc.txt.p7d", L"doc.txt", L".vrf", nullptr);
  ASSERT_TRUE(pipeline.ClaimPair(pair, L"p7d"));
  EXPECT_FALSE(pair.listedIsData);
  EXPECT_EQ(Utf8(pair.DataClaimed()), (in_ / "doc.txt.stp").string());
  EXPECT_EQ(Utf8(pair.SignatureClaimed()), (in_ / "doc.txt.p7d.stp").string());
  EXPECT_TRUE(fs::exists(in_ / "doc.txt.stp"));
  EXPECT_TRUE(fs::exists(in_ / "doc.txt.p7d.stp"));
  ASSERT_TRUE(pipeline.ProbeInputFile(pair));

  WorkFailure failure;
  failure.code = 0xE1718001;
  failure.stageText = L"Проверка";
  failure.description = L"Нет в списке";
  ASSERT_EQ(pipeline.FailFile(pair, failure), 0u);
  EXPECT_TRUE(fs::exists(err_ / "doc.txt"));
  EXPECT_TRUE(fs::exists(err_ / "doc.txt.p7d"));
  EXPECT_NE(Operations().find(". Файлы перемещены в каталог ошибок под именами " + (err_ / "doc.txt.p7d").string() +
                              " ; " + (err_ / "doc.txt").string() + "\r\n"),
            std::string::npos);
  EXPECT_EQ(Errors().find("lone"), std::string::npos);  // passed over without a record
}

TEST_F(PipelineTest, PairClaimGivesTheListedFileItsNameBackWhenThePartnerIsHeld) {
  Put(in_, "doc.txt", "d");
  fs::path sig = Put(in_, "doc.txt.p7d", "s");
  HANDLE holder = CreateFileW(Wide(sig.string()), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  FilePipeline pipeline(Wide(journal_.string()), profile_, worker_, L"P", 0, RecordStyle::kClaimTextUntilClaimed);
  PipelineFile pair = pipeline.Prepare(L"doc.txt", L"doc.txt", L".vrf", nullptr);
  EXPECT_FALSE(pipeline.ClaimPair(pair, L"p7d"));
  CloseHandle(holder);
  EXPECT_TRUE(fs::exists(in_ / "doc.txt"));
  EXPECT_TRUE(fs::exists(sig));
  // The claim record of the partner, with the system error of its rename.
  EXPECT_EQ(Operations(), Prefix() + "Профиль: P | Ошибка | Правило 1 ('Тест'). Переименование файла '" +
                              sig.string() + "' (размер: 1) во временный формат '" + sig.string() + ".stp'\r\n");
  EXPECT_NE(Errors().find("Ошибка 0x20 - "), std::string::npos) << Errors();
  PipelineFile again = pipeline.Prepare(L"doc.txt", L"doc.txt", L".vrf", nullptr);
  EXPECT_TRUE(pipeline.ClaimPair(again, L"p7d"));
  EXPECT_TRUE(fs::exists(sig.string() + ".stp"));
}

// Admit runs the steps its gates name in their order and stops at the first
// that refuses the file: a name passed over is never claimed, the
// operation's own naming sees the claimed file before the probe, and its own
// output step comes last. A refusal is a skip unless the journal failed.
TEST_F(PipelineTest, AdmitTakesTheGatedStepsInOrderAndStopsAtTheFirstRefusal) {
  Put(in_, "kept.txt", "k");
  Put(in_, "pass.txt", "p");
  Put(in_, "taken.txt", "t");
  FilePipeline pipeline(Journal(), profile_, worker_, L"P", 0);
  std::vector<std::string> steps;
  Gates gates;
  gates.passOver = [&](const PipelineFile& file) {
    steps.push_back("passOver");
    return file.name == L"pass.txt";
  };
  gates.afterClaim = [&](PipelineFile& file) {
    steps.push_back(fs::exists(Utf8(file.claimed)) ? "afterClaim on the claimed file" : "afterClaim unclaimed");
  };
  gates.outputs = Gates::Outputs::kOwn;
  gates.ownOutputs = [&](PipelineFile& file) {
    steps.push_back("ownOutputs");
    // A refusing step ends the file itself.
    WorkFailure failure;
    failure.code = ERROR_FILE_EXISTS;
    failure.stageText = L"Выходы";
    pipeline.FailFile(file, failure);
    return false;
  };

  PipelineFile stp = pipeline.Prepare(L"x.stp", L"x", L".out", nullptr);
  EXPECT_EQ(pipeline.Admit(stp, gates), Admission::kSkip);
  PipelineFile pass = pipeline.Prepare(L"pass.txt", L"pass.txt", L".out", nullptr);
  EXPECT_EQ(pipeline.Admit(pass, gates), Admission::kSkip);
  EXPECT_TRUE(fs::exists(in_ / "pass.txt"));
  PipelineFile taken = pipeline.Prepare(L"taken.txt", L"taken.txt", L".out", nullptr);
  EXPECT_EQ(pipeline.Admit(taken, gates), Admission::kSkip);
  EXPECT_EQ(steps,
            (std::vector<std::string>{"passOver", "passOver", "afterClaim on the claimed file", "ownOutputs"}));
  EXPECT_TRUE(fs::exists(err_ / "taken.txt"));

  // Only the skip and the vanished check: the file is neither claimed nor probed.
  PipelineFile kept = pipeline.Prepare(L"kept.txt", L"kept.txt", L".out", nullptr);
  EXPECT_EQ(pipeline.Admit(kept, {.claim = Gates::Claim::kNone, .probe = false, .outputs = Gates::Outputs::kNone}),
            Admission::kProceed);
  EXPECT_TRUE(fs::exists(in_ / "kept.txt"));
  EXPECT_FALSE(kept.claim);
  EXPECT_EQ(Errors().find("pass.txt"), std::string::npos);  // passed over without a record
  EXPECT_NE(Errors().find("x.stp"), std::string::npos);

  journal_ = root_.path() / "no-such-folder";
  FilePipeline failing(Journal(), profile_, worker_, L"P", 0);
  PipelineFile gone = failing.Prepare(L"gone.txt", L"gone.txt", L".out", nullptr);
  EXPECT_EQ(failing.Admit(gone, Gates{}), Admission::kFatal);
}

// A passing over asked before the temporary name's step (a partner already
// taken whose name merely ends in the claim suffix) leaves no record; asked
// after it, the temporary name is recorded first.
TEST_F(PipelineTest, APassOverAskedFirstComesBeforeTheTemporaryNameRecord) {
  // Asked first before asked after: the record is written once per run.
  for (const bool first : {true, false}) {
    SCOPED_TRACE(first ? "asked first" : "asked after the temporary name");
    FilePipeline pipeline(Journal(), profile_, worker_, L"P", 0);
    int asked = 0;
    Gates gates;
    gates.passOver = [&asked](const PipelineFile&) {
      ++asked;
      return true;
    };
    gates.passOverFirst = first;
    PipelineFile file = pipeline.Prepare(L"data.stp", L"data.stp", L".out", nullptr);
    EXPECT_EQ(pipeline.Admit(file, gates), Admission::kSkip);
    EXPECT_EQ(asked, first ? 1 : 0);
    EXPECT_EQ(Errors().find("0xE171800A") != std::string::npos, !first) << Errors();
  }
}

// The appended extension may depend on the listed name.
TEST_F(PipelineTest, AppendedExtensionCanFollowTheListedName) {
  Put(in_, "a.txt", "x");
  Put(in_, "b.sig", "y");
  FileOperation op = Copying();
  op.appendedFor = [](const CString& name) { return HasLastExtension(name, L"sig") ? CString() : CString(L".sig"); };
  ASSERT_EQ(Run({"a.txt", "b.sig"}, op), 0u);
  EXPECT_EQ(testsupport::ReadFileBytes(out_ / "a.txt.sig"), "x");
  EXPECT_EQ(testsupport::ReadFileBytes(out_ / "b.sig"), "y");
  EXPECT_FALSE(fs::exists(out_ / "a.txt.out"));
}

TEST_F(PipelineTest, SetStopEventEndsTheOperationBeforeTheNextFile) {
  HANDLE stop = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  ASSERT_NE(stop, nullptr);
  worker_.stopEvent = stop;
  Put(in_, "a.txt", "x");
  EXPECT_EQ(Run({"a.txt"}, Copying()), 0u);
  EXPECT_TRUE(fs::exists(in_ / "a.txt"));
  EXPECT_EQ(Operations(), "");
  worker_.stopEvent = nullptr;
  CloseHandle(stop);
}

// A step of the operation's own before the gates fails its file unadmitted
// (here the file under its own name, unclaimed), and the run goes on.
TEST_F(PipelineTest, AFailureRightAfterPrepareFailsTheFileBeforeAnyGate) {
  Put(in_, "a.txt", "x");
  Put(in_, "b.txt", "y");
  FileOperation op = Copying();
  op.afterPrepare = [](PipelineFile& f, WorkFailure& failure) -> DWORD {
    if (f.name != L"a.txt") return 0;
    f.claimed = f.source;
    failure.stageText = L"Создание каталога";
    return ERROR_ACCESS_DENIED;
  };
  ASSERT_EQ(Run({"a.txt", "b.txt"}, op), 0u);
  EXPECT_EQ(testsupport::ReadFileBytes(err_ / "a.txt"), "x");
  EXPECT_FALSE(fs::exists(out_ / "a.txt.out"));
  EXPECT_EQ(testsupport::ReadFileBytes(out_ / "b.txt.out"), "y");
  EXPECT_NE(Errors().find("Ошибка 0x5 - "), std::string::npos) << Errors();
  EXPECT_NE(Errors().find(". Правило 1 ('Тест'). Создание каталога"), std::string::npos) << Errors();
}

// A failure that ends the operation and a work step of its own that asks to
// end it both leave the names not yet taken untouched for the next cycle.
TEST_F(PipelineTest, AFileThatEndsTheOperationLeavesTheRestForTheNextCycle) {
  struct Case {
    const char* what;
    void (*shape)(FileOperation& op, int& completed, FilePipeline*& pipeline);
    bool firstFailed;
  };
  const Case cases[] = {
      {"failure that ends the operation",
       [](FileOperation& op, int&, FilePipeline*&) {
         op.work = [](PipelineFile&, WorkFailure& failure) -> DWORD {
           failure.endsOperation = true;
           return failure.code = ERROR_WRITE_FAULT;
         };
       },
       true},
      {"own work step that ends the operation",
       [](FileOperation& op, int& completed, FilePipeline*& pipeline) {
         op.ownWork = [&completed, &pipeline](PipelineFile& f) {
           EXPECT_EQ(pipeline->CompleteFile(f, false), 0u);
           ++completed;
           return false;
         };
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(in_);
    fs::remove_all(err_);
    fs::create_directories(in_);
    fs::create_directories(err_);
    Put(in_, "a.txt", "x");
    Put(in_, "b.txt", "y");
    FileOperation op = Copying();
    int completed = 0;
    FilePipeline* current = nullptr;
    c.shape(op, completed, current);
    FilePipeline pipeline(Journal(), profile_, worker_, L"P", 0);
    current = &pipeline;
    ASSERT_EQ(RunFileOperation(pipeline, Names({"a.txt", "b.txt"}), op), 0u);
    EXPECT_EQ(fs::exists(err_ / "a.txt"), c.firstFailed);
    EXPECT_EQ(completed, c.firstFailed ? 0 : 1);
    EXPECT_FALSE(fs::exists(in_ / "a.txt"));
    EXPECT_EQ(testsupport::ReadFileBytes(in_ / "b.txt"), "y");
  }
}

TEST_F(PipelineTest, JournalFailureEndsTheOperationAtOnce) {
  Put(in_, "a.txt", "x");
  Put(in_, "b.txt", "y");
  journal_ = root_.path() / "no-such-folder";
  DWORD rc = Run({"a.txt", "b.txt"}, Copying());
  EXPECT_NE(rc, 0u);
  EXPECT_TRUE(fs::exists(in_ / "b.txt"));  // the next name is never taken
}

TEST_F(PipelineTest, TemporaryWorkFileIsCreatedInTheTemporaryFolderAndDeletedOnExit) {
  std::string path;
  {
    TemporaryWorkFile scratch;
    WorkFailure failure;
    ASSERT_EQ(scratch.Create(failure), 0u);
    path = Utf8(scratch.Path());
    EXPECT_TRUE(fs::exists(path));
    EXPECT_TRUE(fs::equivalent(fs::path(path).parent_path(), root_.path() / "tmp"));
    EXPECT_EQ(fs::path(path).filename().string().rfind("~xx", 0), 0u);
  }
  EXPECT_FALSE(fs::exists(path));
}

// What a step wrote into it (an unpacked read-only entry) may have made it
// read-only, which the layer refuses to delete as Windows does.
TEST_F(PipelineTest, TemporaryWorkFileGoesEvenWhenMadeReadOnly) {
  std::string early, late;
  {
    TemporaryWorkFile first, second;
    WorkFailure failure;
    ASSERT_EQ(first.Create(failure), 0u);
    ASSERT_EQ(second.Create(failure), 0u);
    early = Utf8(first.Path());
    late = Utf8(second.Path());
    ASSERT_TRUE(SetFileAttributesW(first.Path(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesW(second.Path(), FILE_ATTRIBUTE_READONLY));
    first.Delete();
    EXPECT_FALSE(fs::exists(early));
    EXPECT_TRUE(first.Path().IsEmpty());
  }
  EXPECT_FALSE(fs::exists(late));
}

// At start the service removes the scratch files that a process which is
// gone left in the temporary folder; those that live work steps hold stay,
// as do files that only look alike.
TEST_F(PipelineTest, ScratchFilesOfAGoneProcessAreRemovedAndLiveOnesStay) {
  const fs::path tmp = root_.path() / "tmp";
  WorkFailure failure;
  TemporaryWorkFile live, liveWriter;
  ASSERT_EQ(live.Create(failure), 0u);
  ASSERT_EQ(liveWriter.CreateForWriter(failure), 0u);
  std::ofstream(Utf8(liveWriter.Path()), std::ios::binary) << "being written";

  // What a killed process leaves: its scratch file, and a writer's file with
  // or without the reservation it was named after.
  Put(tmp, "~xx1a2b.tmp", "left");
  Put(tmp, "~xx3c4d.tmp", "");
  Put(tmp, "~xx3c4d.out.tmp", "left by a writer");
  Put(tmp, "~xx3c4d.out.tmp.~0123456789abcdef", "the library's work file");
  Put(tmp, "~xx5e6f.out.tmp", "reservation gone");
  Put(tmp, "~xx7a8b.tmp.~0123456789abcdef", "the library's work file beside a scratch file");
  const std::string liveWork = Utf8(liveWriter.Path()) + ".~fedcba9876543210";
  std::ofstream(liveWork, std::ios::binary) << "being written";
  Put(tmp, "~xx.txt", "a user's");
  Put(tmp, "other.tmp", "a user's");

  RemoveAbandonedScratchFiles();

  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(tmp)) left.push_back(entry.path().filename().string());
  std::vector<std::string> expected{"other.tmp", "~xx.txt", fs::path(Utf8(live.Path())).filename().string(),
                                    fs::path(liveWork).filename().string(),
                                    fs::path(Utf8(liveWriter.Path())).filename().string()};
  // The live writer's reservation beside its file.
  const std::string writerName = expected.back();
  expected.push_back(writerName.substr(0, writerName.size() - std::string(".out.tmp").size()) + ".tmp");
  std::sort(left.begin(), left.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(left, expected);
}

// A failed input goes to an error folder on another file system as a copy
// made under a temporary name: a kill in the middle leaves nothing under
// the input's name there, the input stays claimed, and the next run takes
// the claim back and removes the partial copy, with a record of each. A
// read-only input leaves the input folder all the same.
TEST_F(PipelineTest, AKillWhileAFailedInputIsCopiedToTheErrorFolderLeavesNoPartialFile) {
  testsupport::ShmFolder shm;
  if (!shm.OnAnotherFileSystemThan(root_.path()))
    GTEST_SKIP() << "/dev/shm is missing or on the same file system as the temporary root";
  profile_.rules[0].pathError = Wide(shm.path().string());
  const std::string content(256 * 1024, 'e');
  Put(in_, "big.bin", content);
  const int signal = testsupport::RunKilledMidWrite(64 * 1024, [&] { Run({"big.bin"}, Copying(ERROR_INVALID_DATA)); });
  ASSERT_EQ(signal, SIGKILL);
  EXPECT_FALSE(fs::exists(fs::symlink_status(shm.path() / "big.bin")));
  EXPECT_EQ(testsupport::ReadFileBytes(in_ / "big.bin.stp"), content);

  { FilePipeline first(Wide(journal_.string()), profile_, worker_, L"P", 0); }
  EXPECT_EQ(testsupport::ReadFileBytes(in_ / "big.bin"), content);
  EXPECT_TRUE(fs::is_empty(shm.path()));
  const std::string errors = Errors();
  EXPECT_NE(errors.find("Ошибка ORLAX 0xE1718021 - Файл '" + (in_ / "big.bin.stp").string() + "'"), std::string::npos)
      << errors;
  EXPECT_NE(errors.find("Ошибка ORLAX 0xE1718025 - Временный файл '" + shm.path().string() + "/.~big.bin."),
            std::string::npos)
      << errors;
  EXPECT_NE(Operations().find("Правило 1 ('Тест'). Проверка каталога ошибок '" + shm.path().string() + "'"),
            std::string::npos)
      << Operations();

  ASSERT_EQ(Run({"big.bin"}, Copying(ERROR_INVALID_DATA)), 0u);
  EXPECT_EQ(testsupport::ReadFileBytes(shm.path() / "big.bin"), content);
  const fs::path readOnly = Put(in_, "ro.bin", "read only");
  fs::permissions(readOnly, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  ASSERT_EQ(Run({"ro.bin"}, Copying(ERROR_INVALID_DATA)), 0u);
  EXPECT_EQ(testsupport::ReadFileBytes(shm.path() / "ro.bin"), "read only");
  EXPECT_EQ(fs::status(shm.path() / "ro.bin").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  // A name taken there: the one copy takes a conflict-free name.
  Put(in_, "big.bin", "again");
  ASSERT_EQ(Run({"big.bin"}, Copying(ERROR_INVALID_DATA)), 0u);
  EXPECT_TRUE(fs::is_empty(in_));
  EXPECT_EQ(std::distance(fs::directory_iterator(shm.path()), fs::directory_iterator()), 3);
  EXPECT_EQ(testsupport::ReadFileBytes(shm.path() / "big.bin"), content);
}

TEST(ConflictNameTest, MarkGoesBeforeTheFirstDot) {
  const struct {
    const wchar_t* name;
    const wchar_t* expected;
  } cases[] = {{L"report.tar.gz", L"report~1f3a9c07.tar.gz"},
               {L"noext", L"noext~1f3a9c07"},
               {L".hidden", L"~1f3a9c07.hidden"},
               {L"Отчёт.txt", L"Отчёт~1f3a9c07.txt"}};
  for (const auto& c : cases) EXPECT_EQ(MakeConflictNameWith(c.name, 0x1F3A9C07), CString(c.expected));
  EXPECT_EQ(MakeConflictNameWith(L"a.b", 0x7), CString(L"a~7.b"));
}

TEST(ConflictNameTest, EveryCallDrawsAfresh) {
  CString first = MakeConflictName(L"a.txt");
  EXPECT_FALSE(MarkOf(Utf8(first), "a", ".txt").empty());
  bool differs = false;
  for (int i = 0; i < 4 && !differs; ++i) differs = MakeConflictName(L"a.txt") != first;
  EXPECT_TRUE(differs);
}

}  // namespace

namespace {

// Outputs that share one stem: a signature (stem.sig), a data copy (stem)
// and an optional report (stem.vrf), settled together.
struct StemCase {
  const char* what;
  std::vector<std::string> taken;  // names already in the output folder
  bool reportWanted;
  int renameConfFiles;
  bool settled;
  bool marked;               // all three carry one conflict mark
  std::string refusedName;   // settled false: the output the record names
};

class StemOutputsTest : public PipelineTest, public ::testing::WithParamInterface<StemCase> {};

TEST_P(StemOutputsTest, OneMarkForTheWholeSetOrOneRefusal) {
  const StemCase& c = GetParam();
  profile_.renameConfFiles = c.renameConfFiles;
  for (const std::string& name : c.taken) Put(out_, name, "old");
  Put(in_, "a.txt", "new");
  FilePipeline pipeline(Wide(journal_.string()), profile_, worker_, L"P", 0);
  PipelineFile file = pipeline.Prepare(L"a.txt", L"a.txt", L".sig", nullptr);
  ASSERT_TRUE(pipeline.ClaimInputFile(file));
  CString copy = Wide((out_ / "a.txt").string());
  CString report = Wide((out_ / "a.txt.vrf").string());
  const StemOutput outputs[] = {
      {L".sig", &file.output}, {CString(), &copy}, {L".vrf", &report, c.reportWanted, true}};

  ASSERT_EQ(pipeline.ResolveStemOutputs(file, Wide(out_.string()), L"a.txt", outputs), c.settled);
  EXPECT_FALSE(pipeline.Fatal());
  if (!c.settled) {
    EXPECT_EQ(testsupport::ReadFileBytes(err_ / "a.txt"), "new");
    EXPECT_NE(Errors().find("Ошибка 0x50 - "), std::string::npos);
    EXPECT_NE(Errors().find(". Правило 1 ('Тест'). Создание файла " + (out_ / c.refusedName).string() + "\r\n"),
              std::string::npos)
        << Errors();
    return;
  }
  // The work writes under temporary names in the folder; the records and
  // the publishing use the settled ones.
  for (const CString* path : {&file.output, &copy}) {
    EXPECT_EQ(fs::path(Utf8(*path)).parent_path(), out_);
    EXPECT_TRUE(IsStagedOutputName(BareName(*path))) << Utf8(*path);
  }
  EXPECT_EQ(IsStagedOutputName(BareName(report)), c.reportWanted);
  const fs::path signature = Utf8(file.staged.Shown(file.output)), data = Utf8(file.staged.Shown(copy)),
                 written = Utf8(file.staged.Shown(report));
  for (const fs::path& path : {signature, data}) EXPECT_FALSE(fs::exists(path)) << path;
  if (c.reportWanted) {
    EXPECT_FALSE(fs::exists(written));
  }
  if (!c.marked) {
    EXPECT_EQ(signature, out_ / "a.txt.sig");
    EXPECT_EQ(data, out_ / "a.txt");
    EXPECT_EQ(written, out_ / "a.txt.vrf");
    return;
  }
  const std::string mark = MarkOf(data.filename().string(), "a", ".txt");
  ASSERT_FALSE(mark.empty()) << data;
  EXPECT_EQ(signature, out_ / ("a" + mark + ".txt.sig"));
  EXPECT_EQ(written, out_ / ("a" + mark + ".txt.vrf"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StemOutputsTest,
    ::testing::Values(
        StemCase{"FreeNames", {}, true, 0, true, false, ""},
        StemCase{"UnwantedReportIsNoConflict", {"a.txt.vrf"}, false, 0, true, false, ""},
        StemCase{"TakenCopyRefusedNamesTheFirstOutput", {"a.txt"}, true, 0, false, false, "a.txt.sig"},
        StemCase{"TakenReportAloneIsNamed", {"a.txt.vrf"}, true, 0, false, false, "a.txt.vrf"},
        StemCase{"OneTakenMarksAll", {"a.txt"}, true, 1, true, true, ""},
        StemCase{"SeveralTakenMarkAll", {"a.txt.sig", "a.txt.vrf"}, true, 1, true, true, ""},
        StemCase{"TakenReportMarksAll", {"a.txt.vrf"}, true, 1, true, true, ""}),
    [](const ::testing::TestParamInfo<StemCase>& info) { return std::string(info.param.what); });

}  // namespace
