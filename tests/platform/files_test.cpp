// Files with Windows semantics: dispositions, share modes within and between
// processes, the exclusive-open probe against outside programs, moves that
// never replace, copies, deletes, attributes, times, searches and temporary
// names.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/cfile.h"
#include "platform/datetime.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/files_internal.h"
#include "platform/utf16.h"
#include "tests/support/bound_socket.h"
#include "tests/support/child_process.h"
#include "tests/support/crash_child.h"
#include "tests/support/shm_folder.h"
#include "tests/support/temp_root.h"


namespace {

namespace fs = std::filesystem;
using testsupport::ReadFileBytes;
using testsupport::ShmFolder;
using testsupport::TempRoot;

std::wstring W(const fs::path& path) { return platform::Utf8ToWide(path.string()); }

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

// RAII for a handle of the layer.
class Handle {
 public:
  explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
  ~Handle() { reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : h_(other.h_) { other.h_ = INVALID_HANDLE_VALUE; }
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
  void reset() {
    if (valid()) CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE h_;
};

// Opens and reports the last error (0 on success).
struct OpenOutcome {
  Handle handle;
  DWORD error;
};
OpenOutcome Open(const fs::path& path, DWORD access, DWORD share, DWORD disposition = OPEN_EXISTING,
                 DWORD flags = FILE_ATTRIBUTE_NORMAL) {
  SetLastError(0xDEAD);
  HANDLE h = CreateFileW(W(path).c_str(), access, share, nullptr, disposition, flags, nullptr);
  return {Handle(h), h == INVALID_HANDLE_VALUE ? GetLastError() : 0u};
}

using Child = testsupport::ChildProcess;

DWORD GetFilePermissionsOf(const fs::path& path) { return platform::GetFilePermissions(W(path).c_str()); }

std::string Holder() { return (testsupport::BuildDir() / "bin" / "file_share_holder").string(); }

// Starts the layer's holder program on a file; returns its open result.
DWORD HoldInOtherProcess(Child& child) {
  EXPECT_TRUE(child.started());
  return static_cast<DWORD>(std::stoul(child.ReadLine()));
}

std::vector<std::string> HolderArgs(const fs::path& file, DWORD access, DWORD share, DWORD disposition = OPEN_EXISTING) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%x", access);
  return {Holder(), file.string(), hex, std::to_string(share), std::to_string(disposition)};
}

// ---------------------------------------------------------------------------
// Dispositions

struct DispositionCase {
  const char* name;
  bool exists;
  DWORD disposition;
  DWORD access;
  DWORD expectedError;  // last error after the call (0, 80, 183, 2, 87)
  bool opened;
  const char* contentAfter;  // "" for a truncated or new file, null: no file
};

void PrintTo(const DispositionCase& c, std::ostream* out) { *out << c.name; }

class DispositionTest : public ::testing::TestWithParam<DispositionCase> {};

TEST_P(DispositionTest, OpensCreatesOrFailsAsWindows) {
  const DispositionCase& c = GetParam();
  TempRoot root;
  fs::path file = root.path() / "data.bin";
  if (c.exists) root.WriteFile("data.bin", "old");
  OpenOutcome result = Open(file, c.access, 0, c.disposition);
  EXPECT_EQ(result.handle.valid(), c.opened);
  if (c.opened) {
    EXPECT_EQ(GetLastError(), c.expectedError);
  } else {
    EXPECT_EQ(result.error, c.expectedError);
  }
  result.handle.reset();
  if (c.contentAfter == nullptr)
    EXPECT_FALSE(fs::exists(file));
  else
    EXPECT_EQ(ReadFileBytes(file), c.contentAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Files, DispositionTest,
    ::testing::Values(
        DispositionCase{"CreateNewOnExisting", true, CREATE_NEW, GENERIC_WRITE, ERROR_FILE_EXISTS, false, "old"},
        DispositionCase{"CreateNewMissing", false, CREATE_NEW, GENERIC_WRITE, 0xDEAD, true, ""},
        DispositionCase{"CreateAlwaysExisting", true, CREATE_ALWAYS, GENERIC_WRITE, ERROR_ALREADY_EXISTS, true, ""},
        DispositionCase{"CreateAlwaysMissing", false, CREATE_ALWAYS, GENERIC_WRITE, 0, true, ""},
        DispositionCase{"OpenAlwaysExisting", true, OPEN_ALWAYS, GENERIC_WRITE, ERROR_ALREADY_EXISTS, true, "old"},
        DispositionCase{"OpenAlwaysMissing", false, OPEN_ALWAYS, GENERIC_READ, 0, true, ""},
        DispositionCase{"OpenExistingMissing", false, OPEN_EXISTING, GENERIC_READ, ERROR_FILE_NOT_FOUND, false, nullptr},
        DispositionCase{"TruncateExisting", true, TRUNCATE_EXISTING, GENERIC_WRITE, 0xDEAD, true, ""},
        DispositionCase{"TruncateWithoutWriteAccess", true, TRUNCATE_EXISTING, GENERIC_READ, ERROR_INVALID_PARAMETER,
                        false, "old"},
        DispositionCase{"UnknownDisposition", true, 9, GENERIC_READ, ERROR_INVALID_PARAMETER, false, "old"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Files, MissingFolderIsPathNotFoundAndMissingFileIsFileNotFound) {
  TempRoot root;
  EXPECT_EQ(Open(root.path() / "nofolder" / "x", GENERIC_READ, 0).error, ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Open(root.path() / "nofolder" / "x", GENERIC_WRITE, 0, CREATE_ALWAYS).error, ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Open(root.path() / "x", GENERIC_READ, 0).error, ERROR_FILE_NOT_FOUND);
  root.WriteFile("plain", "x");
  EXPECT_EQ(Open(root.path() / "plain" / "x", GENERIC_READ, 0).error, ERROR_PATH_NOT_FOUND);
}

TEST(Files, FolderOpensOnlyWithBackupSemantics) {
  TempRoot root;
  fs::path dir = root.Dir("d");
  EXPECT_EQ(Open(dir, GENERIC_READ, kShareAll).error, ERROR_ACCESS_DENIED);
  EXPECT_EQ(Open(dir, GENERIC_READ, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS).error, 0u);
}

// ---------------------------------------------------------------------------
// Share modes between two handles of one process

struct SharePair {
  const char* name;
  DWORD firstAccess, firstShare, secondAccess, secondShare;
  bool secondOpens;
};

void PrintTo(const SharePair& c, std::ostream* out) { *out << c.name; }

class SharePairTest : public ::testing::TestWithParam<SharePair> {};

TEST_P(SharePairTest, SecondOpenFollowsWindowsRules) {
  const SharePair& c = GetParam();
  TempRoot root;
  fs::path file = root.WriteFile("shared.txt", "content");
  OpenOutcome first = Open(file, c.firstAccess, c.firstShare);
  ASSERT_TRUE(first.handle.valid()) << first.error;
  OpenOutcome second = Open(file, c.secondAccess, c.secondShare);
  EXPECT_EQ(second.handle.valid(), c.secondOpens);
  if (!c.secondOpens) {
    EXPECT_EQ(second.error, ERROR_SHARING_VIOLATION);
  }
  // Once the first handle is gone the second open always succeeds.
  first.handle.reset();
  second.handle.reset();
  EXPECT_TRUE(Open(file, c.secondAccess, c.secondShare).handle.valid());
}

constexpr DWORD R = GENERIC_READ, Wr = GENERIC_WRITE, SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE,
                SD = FILE_SHARE_DELETE;

const SharePair kSharePairs[] = {
    {"ReadersSharingRead", R, SR, R, SR, true},
    {"WriterRefusedByReaderNotSharingWrite", R, SR, Wr, SR | SW, false},
    {"WriterAllowedWhenReaderSharesWrite", R, SR | SW, Wr, SR, true},
    {"JournalWriterRefusesReaderThatDeniesWrite", Wr, SR, R, SR, false},
    {"JournalWriterAcceptsReaderSharingWrite", Wr, SR, R, SR | SW, true},
    {"SecondJournalWriterRefused", Wr, SR, Wr, SR | SW, false},
    {"ExclusiveAfterAnyOpen", R, kShareAll, kReadWrite, 0, false},
    {"AnyOpenAfterExclusive", kReadWrite, 0, R, kShareAll, false},
    {"AttributesOnlyDoNotCount", 0, 0, kReadWrite, 0, true},
    {"AttributesOnlyAfterExclusive", kReadWrite, 0, FILE_READ_ATTRIBUTES, 0, true},
    {"DeleteAccessNeedsDeleteSharing", R, SR | SW, DELETE, kShareAll, false},
    {"DeleteSharingAllowsDelete", R, kShareAll, DELETE, kShareAll, true},
    {"OpenForDeleteRefusesReaderNotSharingDelete", DELETE, kShareAll, R, SR | SW, false},
};

INSTANTIATE_TEST_SUITE_P(Files, SharePairTest, ::testing::ValuesIn(kSharePairs),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Files, RefusedCreateAlwaysLeavesTheProtectedFileIntact) {
  TempRoot root;
  fs::path file = root.WriteFile("journal.log", "line 1\r\n");
  OpenOutcome reader = Open(file, GENERIC_READ, FILE_SHARE_READ);
  ASSERT_TRUE(reader.handle.valid());
  EXPECT_EQ(Open(file, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS).error, ERROR_SHARING_VIOLATION);
  EXPECT_EQ(ReadFileBytes(file), "line 1\r\n");
}

// ---------------------------------------------------------------------------
// Share modes between two processes of the layer

TEST(Files, ShareModesHoldBetweenProcesses) {
  TempRoot root;
  fs::path file = root.WriteFile("journal.log", "x");
  {
    // The other process writes and shares reading only, as the journal writer.
    Child writer(HolderArgs(file, GENERIC_WRITE, FILE_SHARE_READ));
    ASSERT_EQ(HoldInOtherProcess(writer), 0u);
    EXPECT_EQ(Open(file, GENERIC_READ, FILE_SHARE_READ).error, ERROR_SHARING_VIOLATION);
    EXPECT_EQ(Open(file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE).error, ERROR_SHARING_VIOLATION);
    EXPECT_EQ(Open(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE).error, 0u);
    EXPECT_EQ(Open(file, kReadWrite, 0).error, ERROR_SHARING_VIOLATION);
    // Without delete sharing the other process's handle also stops a claim.
    EXPECT_FALSE(MoveFileW(W(file).c_str(), W(root.path() / "journal.log.stp").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(DeleteFileW(W(file).c_str()));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    writer.Stop();
    EXPECT_EQ(Open(file, kReadWrite, 0).error, 0u);
  }
  {
    // This process holds the file; the other process is refused.
    OpenOutcome mine = Open(file, GENERIC_READ, FILE_SHARE_READ);
    ASSERT_TRUE(mine.handle.valid());
    Child refused(HolderArgs(file, GENERIC_WRITE, kShareAll));
    EXPECT_EQ(HoldInOtherProcess(refused), ERROR_SHARING_VIOLATION);
    Child reader(HolderArgs(file, GENERIC_READ, kShareAll));
    EXPECT_EQ(HoldInOtherProcess(reader), 0u);
    // Closing one of several handles keeps the others' announcements.
    OpenOutcome second = Open(file, GENERIC_READ, kShareAll);
    second.handle.reset();
    Child stillRefused(HolderArgs(file, GENERIC_WRITE, kShareAll));
    EXPECT_EQ(HoldInOtherProcess(stillRefused), ERROR_SHARING_VIOLATION);
  }
}

TEST(Files, RacingExclusiveOpensInSeveralProcessesNeverBothSucceed) {
  TempRoot root;
  fs::path file = root.WriteFile("claimed.stp", "x");
  for (int round = 0; round < 5; ++round) {
    std::vector<std::unique_ptr<Child>> racers;
    for (int i = 0; i < 6; ++i)
      racers.push_back(std::make_unique<Child>(HolderArgs(file, kReadWrite, 0)));
    int opened = 0;
    for (auto& racer : racers) {
      const DWORD result = HoldInOtherProcess(*racer);
      EXPECT_TRUE(result == 0 || result == ERROR_SHARING_VIOLATION) << result;
      opened += result == 0;
    }
    EXPECT_LE(opened, 1) << "round " << round;
  }
}

TEST(Files, DeleteSharingLetsAnotherProcessMoveAndDelete) {
  TempRoot root;
  fs::path file = root.WriteFile("in.txt", "x");
  Child holder(HolderArgs(file, GENERIC_READ, kShareAll));
  ASSERT_EQ(HoldInOtherProcess(holder), 0u);
  fs::path claimed = root.path() / "in.txt.stp";
  EXPECT_TRUE(MoveFileW(W(file).c_str(), W(claimed).c_str())) << GetLastError();
  EXPECT_TRUE(DeleteFileW(W(claimed).c_str())) << GetLastError();
}

// ---------------------------------------------------------------------------
// Programs outside the layer

// Starts a shell that opens the file with the given redirection on fd 3 and
// then sleeps; returns once the file is open.
std::unique_ptr<Child> HoldWithShell(const fs::path& file, const char* redirection) {
  std::string script = std::string("exec 3") + redirection + "'" + file.string() + "'; echo ready; exec sleep 30";
  auto child = std::make_unique<Child>(std::vector<std::string>{"sh", "-c", script});
  EXPECT_EQ(child->ReadLine(), "ready");
  return child;
}

// An outside writer of file refuses its move to target and its deletion; an
// outside reader refuses neither (the move is made).
void ExpectOutsideWriterButNotReaderRefuses(const fs::path& file, const fs::path& target) {
  {
    auto writer = HoldWithShell(file, ">>");
    EXPECT_FALSE(MoveFileW(W(file).c_str(), W(target).c_str()));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(DeleteFileW(W(file).c_str()));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  }
  auto reader = HoldWithShell(file, "<");
  EXPECT_TRUE(MoveFileW(W(file).c_str(), W(target).c_str())) << GetLastError();
}

TEST(Files, ExclusiveOpenFailsWhileAnOutsideProgramHoldsTheFile) {
  TempRoot root;
  fs::path file = root.WriteFile("incoming.dat", "payload");
  auto reader = HoldWithShell(file, "<");
  EXPECT_EQ(Open(file, kReadWrite, 0).error, ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Open(file, GENERIC_READ, 0).error, ERROR_SHARING_VIOLATION);
  // Opens that share do not look at outside programs.
  EXPECT_EQ(Open(file, GENERIC_READ, FILE_SHARE_READ).error, 0u);
  reader->Stop();
  EXPECT_EQ(Open(file, kReadWrite, 0).error, 0u);

  // The same for a file this process holds a claim on: the kernel answers
  // through the claim's descriptor, before the open adds its own.
  Handle claim(platform::ClaimFile(W(file).c_str()));
  ASSERT_TRUE(claim.valid()) << GetLastError();
  EXPECT_EQ(Open(file, kReadWrite, 0).error, 0u);
  for (const char* redirection : {"<", ">>"}) {
    auto holder = HoldWithShell(file, redirection);
    EXPECT_TRUE(platform::ClaimedFileInUse(claim.get())) << redirection;
    EXPECT_EQ(Open(file, GENERIC_READ, 0).error, ERROR_SHARING_VIOLATION) << redirection;
    EXPECT_EQ(Open(file, GENERIC_READ, kShareAll).error, 0u) << redirection;
    holder->Stop();
    EXPECT_FALSE(platform::ClaimedFileInUse(claim.get())) << redirection;
    EXPECT_EQ(Open(file, GENERIC_READ, 0).error, 0u) << redirection;
  }
}

TEST(Files, ProcScanSeesAnOutsideHolderWhereNoLeaseIsGranted) {
  TempRoot root;
  fs::path file = root.WriteFile("incoming.dat", "payload");
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  const platform::files::FileKey key{st.st_dev, st.st_ino};
  const int own = open(file.c_str(), O_RDONLY);
  EXPECT_FALSE(platform::files::OpenedElsewhere(key, own));
  const int pathOnly = open(file.c_str(), O_PATH);
  EXPECT_FALSE(platform::files::OpenedElsewhere(key, own)) << "a path descriptor holds nothing";
  auto reader = HoldWithShell(file, "<");
  EXPECT_TRUE(platform::files::OpenedElsewhere(key, own));
  reader->Stop();
  EXPECT_FALSE(platform::files::OpenedElsewhere(key, own));
  close(pathOnly);
  close(own);
}

// Where no lease is granted (a file of another user, for a service that is
// not root), an exclusive open looks through /proc instead. The tests run as
// root, where every lease is granted; the tests' build refuses them all while
// QELM_TEST_NO_LEASE names a file, and counts each look there.
class FilesWithoutLeases : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(setenv("QELM_TEST_NO_LEASE", looks_.c_str(), 1), 0); }
  void TearDown() override { unsetenv("QELM_TEST_NO_LEASE"); }

  // The looks through /proc so far, of this process and its children.
  std::size_t Looks() const {
    const std::string text = ReadFileBytes(looks_);
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  }

  TempRoot root_;
  const fs::path looks_ = root_.path() / "looks";
};

TEST_F(FilesWithoutLeases, ExclusiveOpenOfAnUnclaimedFileLooksEachTime) {
  const fs::path file = root_.WriteFile("incoming.dat", "payload");
  for (const char* redirection : {"<", ">>"}) {
    auto holder = HoldWithShell(file, redirection);
    const std::size_t before = Looks();
    EXPECT_EQ(Open(file, kReadWrite, 0).error, ERROR_SHARING_VIOLATION) << redirection;
    EXPECT_EQ(Open(file, GENERIC_READ, 0).error, ERROR_SHARING_VIOLATION) << redirection;
    EXPECT_EQ(Looks(), before + 2) << redirection;
    // Opens that share look at nobody outside.
    EXPECT_EQ(Open(file, GENERIC_READ, FILE_SHARE_READ).error, 0u) << redirection;
    EXPECT_EQ(Looks(), before + 2) << redirection;
    holder->Stop();
    EXPECT_EQ(Open(file, kReadWrite, 0).error, 0u) << redirection;
    EXPECT_EQ(Looks(), before + 3) << redirection;
  }
}

TEST_F(FilesWithoutLeases, ClaimedFileHeldByAnOutsideProgramIsFoundHeldUntilItIsClosed) {
  for (const char* redirection : {"<", ">>"}) {
    SCOPED_TRACE(redirection);
    const fs::path file = root_.WriteFile(std::string("held") + (*redirection == '<' ? "-read" : "-write"), "x");
    Handle claim(platform::ClaimFile(W(file).c_str()));
    ASSERT_TRUE(claim.valid()) << GetLastError();
    auto holder = HoldWithShell(file, redirection);
    EXPECT_TRUE(platform::ClaimedFileInUse(claim.get()));
    // Found held, the answer is not kept: each exclusive open looks again
    // until the holder is gone.
    EXPECT_EQ(Open(file, GENERIC_READ, 0).error, ERROR_SHARING_VIOLATION);
    EXPECT_EQ(Open(file, kReadWrite, 0).error, ERROR_SHARING_VIOLATION);
    EXPECT_EQ(Open(file, GENERIC_READ, kShareAll).error, 0u);
    holder->Stop();
    EXPECT_FALSE(platform::ClaimedFileInUse(claim.get()));
    EXPECT_EQ(Open(file, GENERIC_READ, 0).error, 0u);
  }
}

TEST_F(FilesWithoutLeases, ClaimedFileIsLookedForOncePerClaimNotOncePerOpen) {
  const fs::path file = root_.WriteFile("incoming.dat", "payload");
  Handle claim(platform::ClaimFile(W(file).c_str()));
  ASSERT_TRUE(claim.valid()) << GetLastError();
  EXPECT_EQ(Looks(), 0u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Open(file, kReadWrite, 0).error, 0u) << i;
    EXPECT_EQ(Open(file, GENERIC_READ, kShareAll).error, 0u) << i;
  }
  EXPECT_EQ(Looks(), 1u) << "nobody else holds the file: one look serves the claim";

  // The probe looks afresh each time (a program may open the file after
  // it), and one that finds a holder ends the answer kept for the claim.
  EXPECT_FALSE(platform::ClaimedFileInUse(claim.get()));
  EXPECT_EQ(Looks(), 2u);
  {
    auto reader = HoldWithShell(file, "<");
    EXPECT_TRUE(platform::ClaimedFileInUse(claim.get()));
    EXPECT_EQ(Open(file, GENERIC_READ, 0).error, ERROR_SHARING_VIOLATION);
  }
  EXPECT_EQ(Open(file, GENERIC_READ, 0).error, 0u);
  const std::size_t afterHolder = Looks();
  EXPECT_EQ(Open(file, GENERIC_READ, 0).error, 0u);
  EXPECT_EQ(Looks(), afterHolder);

  // A new claim on the same file looks anew.
  claim.reset();
  Handle again(platform::ClaimFile(W(file).c_str()));
  ASSERT_TRUE(again.valid()) << GetLastError();
  EXPECT_EQ(Open(file, GENERIC_READ, 0).error, 0u);
  EXPECT_EQ(Looks(), afterHolder + 1);
}

TEST_F(FilesWithoutLeases, OutsideWriterStopsMoveAndDeleteButReadersAndOwnWritersDoNot) {
  const fs::path file = root_.WriteFile("copying.dat", "partial");
  const fs::path moved = root_.path() / "copying.dat.stp";
  ExpectOutsideWriterButNotReaderRefuses(file, moved);
  OpenOutcome ownWriter = Open(moved, GENERIC_WRITE, kShareAll);
  ASSERT_TRUE(ownWriter.handle.valid());
  EXPECT_TRUE(MoveFileW(W(moved).c_str(), W(file).c_str())) << GetLastError();
  EXPECT_GT(Looks(), 0u);
}

TEST(Files, OutsideWriterStopsClaimAndDeleteButOutsideReaderDoesNot) {
  TempRoot root;
  fs::path file = root.WriteFile("copying.dat", "partial");
  ExpectOutsideWriterButNotReaderRefuses(file, root.path() / "copying.dat.stp");
}

TEST(Files, OwnWriterSharingDeleteDoesNotStopMove) {
  TempRoot root;
  fs::path file = root.WriteFile("a.txt", "x");
  OpenOutcome writer = Open(file, GENERIC_WRITE, kShareAll);
  ASSERT_TRUE(writer.handle.valid());
  EXPECT_TRUE(MoveFileW(W(file).c_str(), W(root.path() / "b.txt").c_str())) << GetLastError();
}

// ---------------------------------------------------------------------------
// Moves, copies, deletes

TEST(Files, MoveNeverReplaces) {
  TempRoot root;
  fs::path source = root.WriteFile("in/a.txt", "new");
  fs::path target = root.WriteFile("err/a.txt", "old");
  EXPECT_FALSE(MoveFileW(W(source).c_str(), W(target).c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ReadFileBytes(source), "new");
  EXPECT_EQ(ReadFileBytes(target), "old");

  EXPECT_FALSE(MoveFileW(W(root.path() / "in" / "missing").c_str(), W(root.path() / "err" / "m").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(MoveFileW(W(source).c_str(), W(root.path() / "nofolder" / "a.txt").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  fs::path moved = root.path() / "err" / "a~1f.txt";
  EXPECT_TRUE(MoveFileW(W(source).c_str(), W(moved).c_str()));
  EXPECT_EQ(ReadFileBytes(moved), "new");
  EXPECT_FALSE(fs::exists(source));

  EXPECT_TRUE(MoveFileExW(W(moved).c_str(), W(target).c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(ReadFileBytes(target), "new");
}

TEST(Files, MovesAcrossFileSystemsWhenDevShmIsAnother) {
  TempRoot root;
  ShmFolder shm;
  if (!shm.OnAnotherFileSystemThan(root.path()))
    GTEST_SKIP() << "/dev/shm is missing or on the same file system as the temporary root";

  std::string content(300000, 'q');
  fs::path source = root.WriteFile("in/big.bin", content);
  FILETIME stamp = platform::FileTimeFromTicks(133000000000000000ULL);
  {
    OpenOutcome f = Open(source, GENERIC_WRITE, 0);
    ASSERT_TRUE(SetFileTime(f.handle.get(), nullptr, nullptr, &stamp));
  }
  fs::path taken = shm.path() / "taken.bin";
  std::ofstream(taken) << "keep";
  EXPECT_FALSE(MoveFileW(W(source).c_str(), W(taken).c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ReadFileBytes(taken), "keep");
  EXPECT_FALSE(MoveFileExW(W(source).c_str(), W(shm.path() / "x").c_str(), 0));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SAME_DEVICE);

  fs::path target = shm.path() / "big.bin";
  ASSERT_TRUE(MoveFileW(W(source).c_str(), W(target).c_str())) << GetLastError();
  EXPECT_FALSE(fs::exists(source));
  EXPECT_EQ(ReadFileBytes(target), content);
  OpenOutcome moved = Open(target, GENERIC_READ, FILE_SHARE_READ);
  FILETIME written{};
  ASSERT_TRUE(GetFileTime(moved.handle.get(), nullptr, nullptr, &written));
  EXPECT_EQ(platform::FileTimeTicks(written), platform::FileTimeTicks(stamp));
}

TEST(Files, CopyFollowsFailIfExistsAndSharing) {
  TempRoot root;
  fs::path source = root.WriteFile("a.txt", "alpha");
  fs::path target = root.WriteFile("b.txt", "beta");
  EXPECT_FALSE(CopyFileW(W(source).c_str(), W(target).c_str(), TRUE));
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_EQ(ReadFileBytes(target), "beta");
  EXPECT_TRUE(CopyFileW(W(source).c_str(), W(target).c_str(), FALSE));
  EXPECT_EQ(ReadFileBytes(target), "alpha");
  // Onto itself: refused by sharing, never emptied.
  EXPECT_FALSE(CopyFileW(W(source).c_str(), W(source).c_str(), FALSE));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(ReadFileBytes(source), "alpha");
  // A source still open for writing cannot be copied.
  OpenOutcome writer = Open(source, GENERIC_WRITE, FILE_SHARE_READ);
  EXPECT_FALSE(CopyFileW(W(source).c_str(), W(root.path() / "c.txt").c_str(), TRUE));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(fs::exists(root.path() / "c.txt"));
}

TEST(Files, DeletedFileStaysReadableThroughAHandleThatSharesDelete) {
  TempRoot root;
  fs::path file = root.WriteFile("gone.txt", "still here");
  OpenOutcome keeper = Open(file, GENERIC_READ, FILE_SHARE_READ);
  EXPECT_FALSE(DeleteFileW(W(file).c_str()));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  keeper.handle.reset();

  OpenOutcome reader = Open(file, GENERIC_READ, kShareAll);
  ASSERT_TRUE(DeleteFileW(W(file).c_str()));
  EXPECT_FALSE(fs::exists(file));
  char buffer[32] = {};
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(reader.handle.get(), buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "still here");

  EXPECT_FALSE(DeleteFileW(W(file).c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(DeleteFileW(W(root.Dir("folder")).c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(Files, DeleteOnCloseRemovesTheFileWithItsHandle) {
  TempRoot root;
  fs::path file = root.path() / "scratch.tmp";
  OpenOutcome f = Open(file, kReadWrite, FILE_SHARE_READ, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE);
  ASSERT_TRUE(f.handle.valid());
  EXPECT_EQ(Open(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE).error, ERROR_SHARING_VIOLATION)
      << "the handle has delete access, so others must share delete";
  f.handle.reset();
  EXPECT_FALSE(fs::exists(file));
}

// ---------------------------------------------------------------------------
// Attributes

TEST(Files, ReadOnlyAttributeHoldsEvenForRoot) {
  TempRoot root;
  fs::path file = root.WriteFile("ro.txt", "x");
  ASSERT_TRUE(SetFileAttributesW(W(file).c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(GetFileAttributesW(W(file).c_str()), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(Open(file, kReadWrite, 0).error, ERROR_ACCESS_DENIED);
  EXPECT_EQ(Open(file, GENERIC_READ, 0).error, 0u);
  EXPECT_FALSE(DeleteFileW(W(file).c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(CopyFileW(W(root.WriteFile("other", "y")).c_str(), W(file).c_str(), FALSE));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  // Renaming a read-only file is allowed, as on Windows.
  fs::path renamed = root.path() / "ro.txt.stp";
  EXPECT_TRUE(MoveFileW(W(file).c_str(), W(renamed).c_str()));
  ASSERT_TRUE(SetFileAttributesW(W(renamed).c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(Open(renamed, kReadWrite, 0).error, 0u);
}

TEST(Files, AttributesOfFoldersFilesAndDotNames) {
  TempRoot root;
  root.Dir("sub");
  root.WriteFile("plain.txt", "");
  root.WriteFile(".hidden", "");
  EXPECT_EQ(GetFileAttributesW(W(root.path() / "sub").c_str()), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesW(W(root.path() / "plain.txt").c_str()), FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(GetFileAttributesW(W(root.path() / ".hidden").c_str()), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(GetFileAttributesW(W(root.path() / "missing").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(PathFileExistsW(W(root.path() / "sub").c_str()));
  EXPECT_FALSE(PathFileExistsW(W(root.path() / "missing" / "x").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

// ---------------------------------------------------------------------------
// Reading, writing, positions, sizes, times

TEST(Files, ReadWriteSeekAndTruncate) {
  TempRoot root;
  fs::path file = root.path() / "rw.bin";
  OpenOutcome f = Open(file, kReadWrite, 0, CREATE_NEW);
  ASSERT_TRUE(f.handle.valid());
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(f.handle.get(), "0123456789", 10, &done, nullptr));
  EXPECT_EQ(done, 10u);
  EXPECT_EQ(SetFilePointer(f.handle.get(), 2, nullptr, FILE_BEGIN), 2u);
  char buffer[4] = {};
  ASSERT_TRUE(ReadFile(f.handle.get(), buffer, 4, &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "2345");
  EXPECT_EQ(SetFilePointer(f.handle.get(), -3, nullptr, FILE_END), 7u);
  ASSERT_TRUE(SetEndOfFile(f.handle.get()));
  EXPECT_EQ(GetFileSize(f.handle.get(), nullptr), 7u);
  ASSERT_TRUE(ReadFile(f.handle.get(), buffer, 4, &done, nullptr));
  EXPECT_EQ(done, 0u) << "end of file reads zero bytes and succeeds";

  EXPECT_EQ(SetFilePointer(f.handle.get(), -8, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
  EXPECT_EQ(SetFilePointer(f.handle.get(), 0, nullptr, FILE_CURRENT), 7u) << "a failed seek does not move";

  LONG high = 1;  // 4 GiB + 5: a sparse position beyond 32 bits
  EXPECT_EQ(SetFilePointer(f.handle.get(), 5, &high, FILE_BEGIN), 5u);
  EXPECT_EQ(high, 1);
  LARGE_INTEGER position{};
  LARGE_INTEGER zero{};
  ASSERT_TRUE(SetFilePointerEx(f.handle.get(), zero, &position, FILE_CURRENT));
  EXPECT_EQ(position.QuadPart, (1LL << 32) + 5);
}

TEST(Files, HugeSizeIsNotCutToThirtyTwoBits) {
  TempRoot root;
  fs::path file = root.path() / "sparse.bin";
  OpenOutcome f = Open(file, kReadWrite, 0, CREATE_NEW);
  LARGE_INTEGER far{};
  far.QuadPart = (5LL << 30);  // 5 GiB, sparse
  ASSERT_TRUE(SetFilePointerEx(f.handle.get(), far, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(f.handle.get()));
  EXPECT_EQ(GetFileSize(f.handle.get(), nullptr), INVALID_FILE_SIZE);
  EXPECT_EQ(GetLastError(), ERROR_ARITHMETIC_OVERFLOW);
  DWORD high = 0;
  EXPECT_EQ(GetFileSize(f.handle.get(), &high), 1u << 30);
  EXPECT_EQ(high, 1u);
}

TEST(Files, AccessOfTheHandleIsEnforced) {
  TempRoot root;
  fs::path file = root.WriteFile("a.txt", "abc");
  OpenOutcome reader = Open(file, GENERIC_READ, kShareAll);
  DWORD done = 7;
  EXPECT_FALSE(WriteFile(reader.handle.get(), "x", 1, &done, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(done, 0u);
  EXPECT_FALSE(SetEndOfFile(reader.handle.get()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  OpenOutcome writer = Open(file, GENERIC_WRITE, kShareAll);
  char c;
  EXPECT_FALSE(ReadFile(writer.handle.get(), &c, 1, &done, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

// A "full" device node of our own (the kernel's /dev/full: every write
// reports ENOSPC), so that no test depends on, or could harm, the real one.
fs::path MakeFullDevice(const TempRoot& root) {
  fs::path node = root.path() / "full";
  if (mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) return {};
  return node;
}

TEST(Files, DevicesAreWrittenButNeverDeletedMovedOrRemovedAfterAFailedCopy) {
  TempRoot root;
  fs::path device = MakeFullDevice(root);
  if (device.empty()) GTEST_SKIP() << "device nodes need root";
  fs::path source = root.WriteFile("data.bin", std::string(10000, 'd'));
  EXPECT_FALSE(CopyFileW(W(source).c_str(), W(device).c_str(), FALSE));
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
  EXPECT_FALSE(DeleteFileW(W(device).c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(MoveFileW(W(device).c_str(), W(root.path() / "moved").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  OpenOutcome f = Open(device, GENERIC_WRITE, kShareAll, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE);
  f.handle.reset();
  struct stat st {};
  ASSERT_EQ(lstat(device.c_str(), &st), 0) << "the device node is still there";
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST(Files, FullDiskAndSizeLimitGiveTheirCodes) {
  TempRoot root;
  fs::path device = MakeFullDevice(root);
  if (!device.empty()) {
    OpenOutcome full = Open(device, GENERIC_WRITE, kShareAll);
    ASSERT_TRUE(full.handle.valid()) << full.error;
    DWORD done = 0;
    EXPECT_FALSE(WriteFile(full.handle.get(), "data", 4, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
  }

  DWORD done = 0;
  OpenOutcome f = Open(root.path() / "limited.bin", GENERIC_WRITE, 0, CREATE_NEW);
  struct rlimit saved {};
  getrlimit(RLIMIT_FSIZE, &saved);
  struct rlimit limited = saved;
  limited.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  std::string block(8192, 'z');
  const BOOL ok = WriteFile(f.handle.get(), block.data(), static_cast<DWORD>(block.size()), &done, nullptr);
  const DWORD error = GetLastError();
  setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, ERROR_FILE_TOO_LARGE);
  EXPECT_EQ(done, 4096u);
}

TEST(Files, FileTimesRoundTripAndShowInSearches) {
  TempRoot root;
  fs::path file = root.WriteFile("t.txt", "12345");
  SYSTEMTIME st{2024, 2, 0, 29, 13, 45, 31, 250};
  FILETIME when{};
  ASSERT_TRUE(SystemTimeToFileTime(&st, &when));
  {
    OpenOutcome f = Open(file, GENERIC_WRITE, 0);
    ASSERT_TRUE(SetFileTime(f.handle.get(), nullptr, &when, &when));
    FILETIME access{}, write{}, creation{};
    ASSERT_TRUE(GetFileTime(f.handle.get(), &creation, &access, &write));
    EXPECT_EQ(platform::FileTimeTicks(write), platform::FileTimeTicks(when));
    EXPECT_EQ(platform::FileTimeTicks(access), platform::FileTimeTicks(when));
    BY_HANDLE_FILE_INFORMATION info{};
    ASSERT_TRUE(GetFileInformationByHandle(f.handle.get(), &info));
    EXPECT_EQ(info.nFileSizeLow, 5u);
    EXPECT_EQ(info.dwFileAttributes, FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(platform::FileTimeTicks(info.ftLastWriteTime), platform::FileTimeTicks(when));
  }
  WIN32_FIND_DATAW found{};
  Handle search(FindFirstFileW(W(file).c_str(), &found));
  ASSERT_TRUE(search.valid());
  EXPECT_STREQ(found.cFileName, L"t.txt");
  EXPECT_EQ(found.nFileSizeLow, 5u);
  EXPECT_EQ(platform::FileTimeTicks(found.ftLastWriteTime), platform::FileTimeTicks(when));
}

// ---------------------------------------------------------------------------
// Searches

std::vector<std::wstring> FindAll(const fs::path& pattern, DWORD* error = nullptr) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data{};
  HANDLE h = FindFirstFileW(W(pattern).c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) {
    if (error) *error = GetLastError();
    return names;
  }
  do names.push_back(data.cFileName);
  while (FindNextFileW(h, &data));
  if (error) *error = GetLastError();
  FindClose(h);
  return names;
}

TEST(Files, SearchMatchesLastComponentIgnoringCase) {
  TempRoot root;
  fs::path dir = root.Dir("in");
  root.WriteFile("in/a.txt", "1");
  root.WriteFile("in/B.TXT", "22");
  root.WriteFile("in/c.log", "");
  root.WriteFile("in/Отчёт.TxT", "");
  root.WriteFile("in/.profile", "");
  root.Dir("in/sub");
  DWORD error = 0;
  EXPECT_EQ(FindAll(dir / "*.txt", &error), (std::vector<std::wstring>{L"a.txt", L"B.TXT", L"Отчёт.TxT"}));
  EXPECT_EQ(error, ERROR_NO_MORE_FILES);
  EXPECT_EQ(FindAll(dir / "*"), (std::vector<std::wstring>{L".", L"..", L".profile", L"a.txt", L"B.TXT", L"c.log",
                                                           L"sub", L"Отчёт.TxT"}));
  EXPECT_EQ(FindAll(dir / "ОТЧЁТ.*"), (std::vector<std::wstring>{L"Отчёт.TxT"}));
  FindAll(dir / "*.zip", &error);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  FindAll(root.path() / "missing" / "*", &error);
  EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);

  WIN32_FIND_DATAW data{};
  Handle sub(FindFirstFileW(W(dir / "su?").c_str(), &data));
  ASSERT_TRUE(sub.valid());
  EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// ---------------------------------------------------------------------------
// Folders, temporary names, well-known paths

TEST(Files, FolderCreationAndRemoval) {
  TempRoot root;
  fs::path deep = root.path() / "a" / "b" / "c";
  EXPECT_EQ(SHCreateDirectoryExW(nullptr, W(deep).c_str(), nullptr), static_cast<int>(ERROR_SUCCESS));
  EXPECT_TRUE(fs::is_directory(deep));
  EXPECT_EQ(SHCreateDirectoryExW(nullptr, W(deep).c_str(), nullptr), static_cast<int>(ERROR_ALREADY_EXISTS));
  fs::path file = root.WriteFile("f", "");
  EXPECT_EQ(SHCreateDirectoryExW(nullptr, W(file).c_str(), nullptr), static_cast<int>(ERROR_FILE_EXISTS));
  EXPECT_EQ(SHCreateDirectoryExW(nullptr, W(file / "x").c_str(), nullptr), static_cast<int>(ERROR_PATH_NOT_FOUND));

  EXPECT_FALSE(CreateDirectoryW(W(deep).c_str(), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(CreateDirectoryW(W(root.path() / "x" / "y").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(RemoveDirectoryW(W(root.path() / "a").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
  EXPECT_FALSE(RemoveDirectoryW(W(file).c_str()));
  EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
  EXPECT_TRUE(RemoveDirectoryW(W(deep).c_str()));
}

TEST(Files, ParallelFolderCreationAllSucceed) {
  TempRoot root;
  fs::path deep = root.path() / "p" / "q" / "r" / "s";
  std::vector<int> results(8, -1);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&, i] { results[i] = SHCreateDirectoryExW(nullptr, W(deep).c_str(), nullptr); });
  for (auto& t : threads) t.join();
  for (int r : results) EXPECT_TRUE(r == 0 || r == static_cast<int>(ERROR_ALREADY_EXISTS)) << r;
  EXPECT_TRUE(fs::is_directory(deep));
}

TEST(Files, TempPathAndNames) {
  TempRoot root;
  wchar_t path[MAX_PATH];
  const DWORD length = GetTempPathW(MAX_PATH, path);
  EXPECT_EQ(std::wstring(path, length), W(root.path() / "tmp") + L"/");
  EXPECT_EQ(GetTempPathW(3, path), length + 1) << "too small: the size needed";

  wchar_t name[MAX_PATH];
  const UINT number = GetTempFileNameW(path, L"~xxyz", 0, name);
  ASSERT_NE(number, 0u);
  wchar_t expected[MAX_PATH];
  std::swprintf(expected, MAX_PATH, L"%ls~xx%X.tmp", path, number);
  EXPECT_STREQ(name, expected);
  struct stat st {};
  ASSERT_EQ(stat(platform::WideToUtf8(name).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 0);

  EXPECT_EQ(GetTempFileNameW(path, L"~xx", 0x1ABCD, name), 0xABCDu);
  EXPECT_EQ(std::wstring(name), std::wstring(path) + L"~xxABCD.tmp");
  EXPECT_FALSE(fs::exists(platform::WideToUtf8(name))) << "a given number only builds the name";

  EXPECT_EQ(GetTempFileNameW(W(root.path() / "missing").c_str(), L"~xx", 0, name), 0u);
  EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
}

TEST(Files, TempNamesAreUniqueAcrossThreadsAndProcesses) {
  TempRoot root;
  const std::wstring folder = W(root.Dir("scratch"));
  constexpr int kPerWorker = 150;
  // Child processes create names and report them through a pipe.
  int channel[2];
  ASSERT_EQ(pipe(channel), 0);
  std::vector<pid_t> children;
  for (int c = 0; c < 3; ++c) {
    pid_t pid = fork();
    if (pid == 0) {
      close(channel[0]);
      for (int i = 0; i < kPerWorker; ++i) {
        wchar_t name[MAX_PATH];
        UINT n = GetTempFileNameW(folder.c_str(), L"~xx", 0, name);
        char line[16];
        int len = std::snprintf(line, sizeof line, "%u\n", n);
        if (write(channel[1], line, static_cast<size_t>(len)) != len) _exit(1);
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  close(channel[1]);
  std::vector<std::vector<UINT>> fromThreads(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerWorker; ++i) {
        wchar_t name[MAX_PATH];
        fromThreads[t].push_back(GetTempFileNameW(folder.c_str(), L"~xx", 0, name));
      }
    });
  std::string reported;
  char buffer[4096];
  ssize_t n;
  while ((n = read(channel[0], buffer, sizeof buffer)) > 0) reported.append(buffer, static_cast<size_t>(n));
  close(channel[0]);
  for (auto& t : threads) t.join();
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::multiset<UINT> all;
  for (const auto& list : fromThreads) all.insert(list.begin(), list.end());
  std::istringstream lines(reported);
  for (UINT number; lines >> number;) all.insert(number);
  EXPECT_EQ(all.size(), 7u * kPerWorker);
  EXPECT_EQ(all.count(0), 0u);
  EXPECT_EQ(std::set<UINT>(all.begin(), all.end()).size(), all.size()) << "a number was handed out twice";
  EXPECT_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(root.path() / "scratch"),
                                                   fs::directory_iterator())),
            all.size());
}

TEST(Files, FullPathsAndWellKnownFolders) {
  TempRoot root;
  wchar_t buffer[MAX_PATH];
  LPWSTR part = nullptr;
  DWORD length = GetFullPathNameW(L"/srv//in/./x/../report.txt", MAX_PATH, buffer, &part);
  EXPECT_EQ(std::wstring(buffer, length), L"/srv/in/report.txt");
  ASSERT_NE(part, nullptr);
  EXPECT_STREQ(part, L"report.txt");
  EXPECT_EQ(GetFullPathNameW(L"/srv/in/", MAX_PATH, buffer, &part), 8u);
  EXPECT_EQ(part, nullptr);
  EXPECT_EQ(GetFullPathNameW(L"/a/b", 2, buffer, nullptr), 5u) << "too small: the size needed";

  wchar_t cwd[MAX_PATH];
  ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, cwd), 0u);
  length = GetFullPathNameW(L"rel.txt", MAX_PATH, buffer, nullptr);
  EXPECT_EQ(std::wstring(buffer, length), std::wstring(cwd) + L"/rel.txt");

  wchar_t module[MAX_PATH];
  length = GetModuleFileNameW(nullptr, module, MAX_PATH);
  EXPECT_EQ(std::wstring(module, length), W(fs::read_symlink("/proc/self/exe")));
  EXPECT_EQ(GetModuleFileNameW(nullptr, module, 4), 4u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::wcslen(module), 3u);

  wchar_t common[MAX_PATH];
  EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common), S_OK);
  EXPECT_EQ(std::wstring(common), W(root.path() / "ProgramData"));
  EXPECT_STREQ(platform::QelmRoot(), root.path().c_str());
  EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, common), S_OK);
  EXPECT_TRUE(fs::is_directory(root.path() / "ProgramData"));
  EXPECT_EQ(SHGetFolderPathW(nullptr, 0x7777, nullptr, 0, common), E_INVALIDARG);
}

// ---------------------------------------------------------------------------
// Bad arguments

TEST(Files, NullAndOverlongArgumentsFailWithTheirCodes) {
  TempRoot root;
  const std::wstring existing = W(root.WriteFile("e.txt", "x"));
  const std::wstring overlong(40000, L'a');
  const std::wstring longName = W(root.path()) + L"/" + std::wstring(300, L'n');
  const std::wstring badChar = W(root.path()) + L"/a" + wchar_t(0xD800) + L"b";
  WIN32_FIND_DATAW data;
  wchar_t buffer[MAX_PATH];
  struct Case {
    const char* call;
    std::function<bool()> fails;  // runs the call, TRUE when it reported failure
    DWORD expected;
  };
  const Case cases[] = {
      {"CreateFileW null", [] { return CreateFileW(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr) == INVALID_HANDLE_VALUE; }, ERROR_INVALID_PARAMETER},
      {"CreateFileW overlong", [&] { return CreateFileW(overlong.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr) == INVALID_HANDLE_VALUE; }, ERROR_FILENAME_EXCED_RANGE},
      {"CreateFileW long name", [&] { return CreateFileW(longName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr) == INVALID_HANDLE_VALUE; }, ERROR_FILENAME_EXCED_RANGE},
      {"CreateFileW lone surrogate", [&] { return CreateFileW(badChar.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr) == INVALID_HANDLE_VALUE; }, ERROR_INVALID_NAME},
      {"CreateFileW bad share bits", [&] { return CreateFileW(existing.c_str(), GENERIC_READ, 0x10, nullptr, OPEN_EXISTING, 0, nullptr) == INVALID_HANDLE_VALUE; }, ERROR_INVALID_PARAMETER},
      {"MoveFileW null source", [&] { return !MoveFileW(nullptr, existing.c_str()); }, ERROR_INVALID_PARAMETER},
      {"MoveFileW null target", [&] { return !MoveFileW(existing.c_str(), nullptr); }, ERROR_INVALID_PARAMETER},
      {"MoveFileW overlong", [&] { return !MoveFileW(existing.c_str(), overlong.c_str()); }, ERROR_FILENAME_EXCED_RANGE},
      {"CopyFileW null", [&] { return !CopyFileW(nullptr, existing.c_str(), TRUE); }, ERROR_INVALID_PARAMETER},
      {"DeleteFileW null", [] { return !DeleteFileW(nullptr); }, ERROR_INVALID_PARAMETER},
      {"DeleteFileW overlong", [&] { return !DeleteFileW(overlong.c_str()); }, ERROR_FILENAME_EXCED_RANGE},
      {"GetFileAttributesW null", [] { return GetFileAttributesW(nullptr) == INVALID_FILE_ATTRIBUTES; }, ERROR_INVALID_PARAMETER},
      {"FindFirstFileW null pattern", [&] { return FindFirstFileW(nullptr, &data) == INVALID_HANDLE_VALUE; }, ERROR_INVALID_PARAMETER},
      {"FindFirstFileW null data", [&] { return FindFirstFileW(existing.c_str(), nullptr) == INVALID_HANDLE_VALUE; }, ERROR_INVALID_PARAMETER},
      {"FindFirstFileW overlong", [&] { return FindFirstFileW(overlong.c_str(), &data) == INVALID_HANDLE_VALUE; }, ERROR_FILENAME_EXCED_RANGE},
      {"PathMatchSpecW null", [] { return !PathMatchSpecW(nullptr, L"*"); }, ERROR_INVALID_PARAMETER},
      {"PathFileExistsW null", [] { return !PathFileExistsW(nullptr); }, ERROR_INVALID_PARAMETER},
      {"GetTempFileNameW null path", [&] { return GetTempFileNameW(nullptr, L"~xx", 0, buffer) == 0; }, ERROR_INVALID_PARAMETER},
      {"GetTempFileNameW null buffer", [] { return GetTempFileNameW(L"/tmp", L"~xx", 0, nullptr) == 0; }, ERROR_INVALID_PARAMETER},
      {"GetTempFileNameW name too long", [&] { return GetTempFileNameW(std::wstring(255, L'/').c_str(), L"~xx", 0, buffer) == 0; }, ERROR_FILENAME_EXCED_RANGE},
      {"GetFullPathNameW null", [&] { return GetFullPathNameW(nullptr, MAX_PATH, buffer, nullptr) == 0; }, ERROR_INVALID_PARAMETER},
      {"CreateDirectoryW overlong", [&] { return !CreateDirectoryW(overlong.c_str(), nullptr); }, ERROR_FILENAME_EXCED_RANGE},
      {"ReadFile bad handle", [&] { DWORD n; return !ReadFile(nullptr, buffer, 1, &n, nullptr); }, ERROR_INVALID_HANDLE},
      {"WriteFile invalid handle", [&] { DWORD n; return !WriteFile(INVALID_HANDLE_VALUE, "x", 1, &n, nullptr); }, ERROR_INVALID_HANDLE},
      {"GetFileSize bad handle", [] { return GetFileSize(nullptr, nullptr) == INVALID_FILE_SIZE; }, ERROR_INVALID_HANDLE},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_TRUE(c.fails()) << c.call;
    EXPECT_EQ(GetLastError(), c.expected) << c.call;
  }
  EXPECT_EQ(SHCreateDirectoryExW(nullptr, nullptr, nullptr), static_cast<int>(ERROR_INVALID_PARAMETER));

  OpenOutcome f = Open(existing, GENERIC_READ, kShareAll);
  DWORD n;
  EXPECT_FALSE(ReadFile(f.handle.get(), nullptr, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// ---------------------------------------------------------------------------
// Folders that others write into: links, pipes and sockets, claims.

using testsupport::BoundSocket;

TEST(FilesInUntrustedFolders, EntriesAreDescribedByThemselvesInSearchesAndAttributes) {
  TempRoot root;
  const fs::path dir = root.Dir("in");
  const fs::path secret = root.WriteFile("secret.txt", "only root");
  std::ofstream(dir / "plain.txt") << "x";
  fs::create_symlink(secret, dir / "to-file");
  fs::create_symlink(root.path() / "nowhere", dir / "dangling");
  fs::create_symlink(root.path(), dir / "to-folder");
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0644), 0);
  BoundSocket socket(dir / "socket");
  ASSERT_TRUE(socket.bound());

  struct Case {
    const char* name;
    DWORD attributes;
  };
  const Case cases[] = {
      {"plain.txt", FILE_ATTRIBUTE_ARCHIVE},
      {"to-file", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT},
      {"dangling", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT},
      {"to-folder", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT},
      {"pipe", FILE_ATTRIBUTE_DEVICE},
      {"socket", FILE_ATTRIBUTE_DEVICE},
  };
  std::map<std::string, WIN32_FIND_DATAW> found;
  WIN32_FIND_DATAW data{};
  HANDLE search = FindFirstFileW(W(dir / "*").c_str(), &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  do found[platform::WideToUtf8(data.cFileName)] = data;
  while (FindNextFileW(search, &data));
  FindClose(search);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(found.count(c.name), 1u);
    EXPECT_EQ(found[c.name].dwFileAttributes, c.attributes);
    EXPECT_EQ(GetFileAttributesW(W(dir / c.name).c_str()), c.attributes);
    EXPECT_TRUE(PathFileExistsW(W(dir / c.name).c_str())) << "a dangling link is a taken name too";
  }
  EXPECT_EQ(found["to-file"].nFileSizeLow, 0u) << "never the size of what the link points to";
}

TEST(FilesInUntrustedFolders, OpensNeverBlockNorFollowALinkWhereTheyMustNot) {
  TempRoot root;
  const fs::path pipe = root.path() / "pipe";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);
  // Neither open waits for the other end of the pipe.
  OpenOutcome reader = Open(pipe, GENERIC_READ, FILE_SHARE_READ);
  EXPECT_EQ(reader.error, 0u);
  reader.handle.reset();
  EXPECT_EQ(Open(pipe, GENERIC_WRITE, FILE_SHARE_READ).error, ERROR_PIPE_NOT_CONNECTED);

  const fs::path target = root.path() / "elsewhere" / "x";
  fs::create_directories(target.parent_path());
  const fs::path planted = root.path() / "out.p7e";
  fs::create_symlink(target, planted);
  EXPECT_EQ(Open(planted, GENERIC_WRITE, 0, CREATE_NEW).error, ERROR_FILE_EXISTS);
  EXPECT_FALSE(fs::exists(target)) << "a link in the way is a taken name, never followed";

  std::ofstream(target) << "theirs";
  EXPECT_EQ(Open(planted, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT).error,
            ERROR_CANT_RESOLVE_FILENAME);
  EXPECT_EQ(Open(planted, GENERIC_READ, FILE_SHARE_READ).error, 0u) << "plain opens follow links as on Windows";

  errno = 0;
  EXPECT_EQ(platform::CreateNewFileStream(planted.c_str()), nullptr);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(ReadFileBytes(target), "theirs");
  const fs::path fresh = root.path() / "fresh.bin";
  std::FILE* stream = platform::CreateNewFileStream(fresh.c_str());
  ASSERT_NE(stream, nullptr);
  std::fputs("data", stream);
  std::fclose(stream);
  EXPECT_EQ(ReadFileBytes(fresh), "data");
  EXPECT_EQ(GetFilePermissionsOf(fresh), 0600u) << "readable by its owner only until told otherwise";
  EXPECT_EQ(platform::CreateNewFileStream(fresh.c_str()), nullptr) << "never replaces";
}

// Sets the process's file-mode creation mask for a scope.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(umask(mask)) {}
  ~ScopedUmask() { umask(old_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t old_;
};

// Scratch files and outputs still being written hold what others must not
// read (decrypted or unverified content): a new file asked for as temporary
// is its owner's alone whatever the mask, and only a new one.
TEST(FilesInUntrustedFolders, TemporaryFilesAreCreatedForTheirOwnerOnlyWhateverTheMask) {
  TempRoot root;
  ScopedUmask open(0);
  struct Case {
    const char* name;
    DWORD disposition;
    DWORD flags;
    DWORD mode;
  };
  const Case cases[] = {
      {"plain", CREATE_NEW, FILE_ATTRIBUTE_NORMAL, 0666},
      {"new", CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, 0600},
      {"always", CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, 0600},
      {"open always", OPEN_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, 0600},
      {"read-only", CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_READONLY, 0400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = root.path() / c.name;
    EXPECT_EQ(Open(path, GENERIC_WRITE, 0, c.disposition, c.flags).error, 0u);
    EXPECT_EQ(GetFilePermissionsOf(path), c.mode);
  }
  const fs::path existing = root.WriteFile("existing", "x");
  fs::permissions(existing, fs::perms(0644));
  EXPECT_EQ(Open(existing, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY).error, 0u);
  EXPECT_EQ(GetFilePermissionsOf(existing), 0644u) << "an existing file keeps its bits";

  CFile file;
  ASSERT_TRUE(file.Open(W(root.path() / "cfile").c_str(), CFile::modeCreate | CFile::modeWrite | CFile::osTemporary));
  file.Close();
  EXPECT_EQ(GetFilePermissionsOf(root.path() / "cfile"), 0600u);

  EXPECT_EQ(platform::DefaultFilePermissions(), 0666u);
  ScopedUmask group(027);
  EXPECT_EQ(platform::DefaultFilePermissions(), 0640u);
}

// A copy is its owner's alone until it is complete: one cut short by a
// kill is left 0600; a finished one has the source's bits.
TEST(FilesInUntrustedFolders, ACopyIsReadableByItsOwnerOnlyUntilItIsComplete) {
  TempRoot root;
  ScopedUmask usual(022);
  const fs::path source = root.WriteFile("source", std::string(256 * 1024, 'p'));
  fs::permissions(source, fs::perms(0644));
  const fs::path cut = root.path() / "cut";
  EXPECT_EQ(testsupport::RunKilledMidWrite(64 * 1024, [&] { CopyFileW(W(source).c_str(), W(cut).c_str(), TRUE); }),
            SIGKILL);
  ASSERT_TRUE(fs::exists(cut));
  EXPECT_EQ(GetFilePermissionsOf(cut), 0600u);
  const fs::path whole = root.path() / "whole";
  ASSERT_TRUE(CopyFileW(W(source).c_str(), W(whole).c_str(), TRUE));
  EXPECT_EQ(GetFilePermissionsOf(whole), 0644u);
}

// The anonymous files of C-stream writers lie in $TMPDIR, are their owner's
// alone, and have no name in the folder.
TEST(FilesInUntrustedFolders, AnonymousTemporaryStreamsLieInTheTemporaryFolderForTheirOwnerOnly) {
  TempRoot root;
  const fs::path folder = root.Dir("spool");
  setenv("TMPDIR", folder.c_str(), 1);  // TempRoot gives the old one back
  std::FILE* stream = platform::CreateTemporaryFileStream();
  ASSERT_NE(stream, nullptr);
  const fs::path descriptor = "/proc/self/fd/" + std::to_string(fileno(stream));
  EXPECT_EQ(fs::read_symlink(descriptor).string().rfind(folder.string() + "/", 0), 0u) << fs::read_symlink(descriptor);
  struct stat st {};
  ASSERT_EQ(fstat(fileno(stream), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_TRUE(fs::is_empty(folder));
  std::fputs("spooled", stream);
  std::rewind(stream);
  char back[16] = {};
  EXPECT_EQ(std::fread(back, 1, sizeof back, stream), 7u);
  EXPECT_STREQ(back, "spooled");
  std::fclose(stream);

  setenv("TMPDIR", (folder / "missing").c_str(), 1);
  errno = 0;
  EXPECT_EQ(platform::CreateTemporaryFileStream(), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

TEST(FilesInUntrustedFolders, PermissionsAreSetOnFilesOnlyNeverThroughALink) {
  TempRoot root;
  const fs::path file = root.WriteFile("a.txt", "a");
  const fs::path link = root.path() / "link";
  fs::create_symlink(file, link);
  ASSERT_TRUE(platform::SetFilePermissions(W(file).c_str(), 0640));
  EXPECT_EQ(platform::GetFilePermissions(W(file).c_str()), 0640u);
  EXPECT_FALSE(platform::SetFilePermissions(W(link).c_str(), 0666));
  EXPECT_EQ(GetLastError(), ERROR_CANT_RESOLVE_FILENAME);
  EXPECT_EQ(platform::GetFilePermissions(W(file).c_str()), 0640u);
  EXPECT_FALSE(platform::SetFilePermissions(W(file).c_str(), 010000));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(platform::GetFilePermissions(W(root.path() / "missing").c_str()), 0xFFFFFFFFu);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// A private file (a temporary output this process alone writes): created
// new for its owner only, never over a name or through a link, given its
// bits and identity through its handle, and renamed without ever replacing.
TEST(FilesInUntrustedFolders, PrivateFilesAreNewTheirOwnersAloneAndNeverReplace) {
  TempRoot root;
  ScopedUmask open(0);
  const fs::path path = root.path() / "own.part";
  HANDLE file = platform::CreatePrivateFile(W(path).c_str());
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_EQ(GetFilePermissionsOf(path), 0600u);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, "private", 7, &written, nullptr));
  ASSERT_TRUE(platform::SetOpenFilePermissions(file, 0644));
  EXPECT_FALSE(platform::SetOpenFilePermissions(file, 010000));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  platform::FileIdentity identity, byPath;
  ASSERT_TRUE(platform::GetOpenFileIdentity(file, &identity));
  ASSERT_TRUE(platform::GetFileIdentityAt(W(path).c_str(), &byPath));
  EXPECT_TRUE(identity.SameFile(byPath));
  EXPECT_EQ(identity.size, 7u);
  ASSERT_TRUE(CloseHandle(file));
  EXPECT_EQ(GetFilePermissionsOf(path), 0644u);
  EXPECT_FALSE(platform::GetOpenFileIdentity(file, &identity));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  // A name already there, a dangling link included, is never taken over.
  const fs::path target = root.WriteFile("taken.txt", "a user's file");
  const fs::path dangling = root.path() / "dangling";
  fs::create_symlink(root.path() / "nowhere", dangling);
  for (const fs::path& there : {path, target, dangling}) {
    SCOPED_TRACE(there.string());
    EXPECT_EQ(platform::CreatePrivateFile(W(there).c_str()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  }
  EXPECT_FALSE(fs::exists(root.path() / "nowhere"));
  EXPECT_EQ(platform::CreatePrivateFile(W(root.path() / "missing" / "x").c_str()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  EXPECT_FALSE(platform::RenamePrivateFile(W(path).c_str(), W(target).c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ReadFileBytes(target), "a user's file");
  EXPECT_FALSE(platform::RenamePrivateFile(W(path).c_str(), W(dangling).c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(fs::is_symlink(dangling));
  ASSERT_TRUE(platform::RenamePrivateFile(W(path).c_str(), W(root.path() / "own.txt").c_str())) << GetLastError();
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(ReadFileBytes(root.path() / "own.txt"), "private");
  EXPECT_FALSE(platform::RenamePrivateFile(W(path).c_str(), W(root.path() / "again.txt").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  // Given the identity it was closed with, the file is published only while
  // it is still the one under its temporary name: a stranger's put there in
  // its place (a folder others write) stays where it is, and ours counts as
  // missing.
  const fs::path swapped = root.path() / "swapped.part";
  HANDLE own = platform::CreatePrivateFile(W(swapped).c_str());
  ASSERT_NE(own, INVALID_HANDLE_VALUE) << GetLastError();
  platform::FileIdentity closed;
  ASSERT_TRUE(platform::GetOpenFileIdentity(own, &closed));
  ASSERT_TRUE(CloseHandle(own));
  const fs::path stranger = root.WriteFile("stranger.txt", "a stranger's file");
  fs::rename(stranger, swapped);
  EXPECT_FALSE(platform::RenamePrivateFile(W(swapped).c_str(), W(root.path() / "swapped.txt").c_str(), &closed));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(fs::exists(root.path() / "swapped.txt"));
  EXPECT_EQ(ReadFileBytes(swapped), "a stranger's file");
  const fs::path kept = root.path() / "kept.part";
  own = platform::CreatePrivateFile(W(kept).c_str());
  ASSERT_NE(own, INVALID_HANDLE_VALUE) << GetLastError();
  ASSERT_TRUE(platform::GetOpenFileIdentity(own, &closed));
  ASSERT_TRUE(CloseHandle(own));
  EXPECT_TRUE(platform::RenamePrivateFile(W(kept).c_str(), W(root.path() / "kept.txt").c_str(), &closed))
      << GetLastError();
  EXPECT_TRUE(fs::exists(root.path() / "kept.txt"));

  // A target folder removed meanwhile, or a source folder: the codes
  // MoveFileW gives (3 for a path whose folder is gone).
  const fs::path source = root.WriteFile("source.part", "s");
  for (const auto& [from, to] : {std::pair{source, root.path() / "removed" / "x.txt"},
                                 std::pair{root.path() / "removed" / "x.part", root.path() / "x.txt"}}) {
    SCOPED_TRACE(from.string() + " -> " + to.string());
    EXPECT_FALSE(MoveFileW(W(from).c_str(), W(to).c_str()));
    const DWORD moved = GetLastError();
    EXPECT_EQ(moved, ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(platform::RenamePrivateFile(W(from).c_str(), W(to).c_str()));
    EXPECT_EQ(GetLastError(), moved);
  }

  ShmFolder shm;
  if (shm.OnAnotherFileSystemThan(root.path())) {
    EXPECT_FALSE(platform::RenamePrivateFile(W(root.path() / "own.txt").c_str(), W(shm.path() / "own.txt").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SAME_DEVICE);
    EXPECT_TRUE(fs::exists(root.path() / "own.txt"));
  }
}

TEST(FilesInUntrustedFolders, LinkMovesAsALinkAcrossFileSystems) {
  TempRoot root;
  ShmFolder shm;
  if (!shm.OnAnotherFileSystemThan(root.path()))
    GTEST_SKIP() << "/dev/shm is missing or on the same file system as the temporary root";
  const fs::path secret = root.WriteFile("secret.txt", "not to be copied");
  const fs::path link = root.path() / "in" / "link.txt";
  fs::create_directories(link.parent_path());
  fs::create_symlink(secret, link);
  ASSERT_TRUE(MoveFileW(W(link).c_str(), W(shm.path() / "link.txt").c_str())) << GetLastError();
  EXPECT_FALSE(fs::is_symlink(link));
  ASSERT_TRUE(fs::is_symlink(shm.path() / "link.txt"));
  EXPECT_EQ(fs::read_symlink(shm.path() / "link.txt"), secret);
}

TEST(FilesInUntrustedFolders, ClaimIsHeldAgainstEveryOtherOpenUntilItsHolderIsGone) {
  TempRoot root;
  const fs::path file = root.WriteFile("a.txt", "a");
  Handle claim(platform::ClaimFile(W(file).c_str()));
  ASSERT_TRUE(claim.valid()) << GetLastError();
  // Another claim of this process is refused as well: a cycle never takes
  // back a claim it holds itself.
  EXPECT_EQ(platform::ClaimFile(W(file).c_str()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
  // The claim follows the file through a rename.
  const fs::path claimed = root.path() / "a.txt.stp";
  ASSERT_TRUE(MoveFileW(W(file).c_str(), W(claimed).c_str())) << GetLastError();
  {
    Child other({Holder(), claimed.string(), "claim"});
    EXPECT_EQ(HoldInOtherProcess(other), ERROR_LOCK_VIOLATION);
  }
  // Alone with its claim, the holder still opens the file exclusively, and
  // the claim tells whether anybody else has it open.
  EXPECT_FALSE(platform::ClaimedFileInUse(claim.get()));
  EXPECT_EQ(Open(claimed, GENERIC_READ, 0).error, 0u);
  {
    Child reader(HolderArgs(claimed, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
    ASSERT_EQ(HoldInOtherProcess(reader), 0u);
    EXPECT_TRUE(platform::ClaimedFileInUse(claim.get()));
    EXPECT_EQ(Open(claimed, GENERIC_READ, 0).error, ERROR_SHARING_VIOLATION);
  }
  claim.reset();

  // A claim whose process was killed is free again.
  Child holder({Holder(), claimed.string(), "claim"});
  ASSERT_EQ(HoldInOtherProcess(holder), 0u);
  EXPECT_EQ(platform::ClaimFile(W(claimed).c_str()), INVALID_HANDLE_VALUE);
  holder.Stop();
  Handle again(platform::ClaimFile(W(claimed).c_str()));
  EXPECT_TRUE(again.valid()) << GetLastError();
}

TEST(FilesInUntrustedFolders, OnlyRegularFilesAreClaimed) {
  TempRoot root;
  const fs::path file = root.WriteFile("a.txt", "a");
  fs::create_symlink(file, root.path() / "link");
  ASSERT_EQ(mkfifo((root.path() / "pipe").c_str(), 0644), 0);
  struct Case {
    const char* name;
    DWORD error;
  };
  for (const Case& c : {Case{"link", ERROR_CANT_RESOLVE_FILENAME}, Case{"pipe", ERROR_ACCESS_DENIED},
                        Case{"missing", ERROR_FILE_NOT_FOUND}}) {
    EXPECT_EQ(platform::ClaimFile(W(root.path() / c.name).c_str()), INVALID_HANDLE_VALUE) << c.name;
    EXPECT_EQ(GetLastError(), c.error) << c.name;
  }
  EXPECT_FALSE(platform::ClaimedFileInUse(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// A name written in another code page is listed, so that the caller can
// tell about it, but nothing can open, move or delete it by that name.
TEST(FilesInUntrustedFolders, NameNotInTheFileNameEncodingIsListedButNeverOpened) {
  TempRoot root;
  const fs::path dir = root.Dir("in");
  const std::string stray = "\xCF\xF0\xE8\xE2\xE5\xF2.txt";  // "Привет.txt" in 1251
  std::ofstream(dir / stray) << "x";
  std::ofstream(dir / "Привет.txt") << "y";
  std::map<std::wstring, DWORD> found;
  WIN32_FIND_DATAW data{};
  HANDLE search = FindFirstFileW(W(dir / "*.txt").c_str(), &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  do found[data.cFileName] = data.dwFileAttributes;
  while (FindNextFileW(search, &data));
  FindClose(search);
  const std::wstring listed = platform::FileNameToWide(stray);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[L"Привет.txt"], FILE_ATTRIBUTE_ARCHIVE);
  ASSERT_EQ(found.count(listed), 1u);
  EXPECT_EQ(found[listed], FILE_ATTRIBUTE_ARCHIVE);

  const std::wstring path = W(dir) + L"/" + listed;
  const std::wstring elsewhere = W(dir) + L"/moved.txt";
  const std::function<bool()> calls[] = {
      [&] { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; },
      [&] { return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr) !=
                   INVALID_HANDLE_VALUE; },
      [&] { return platform::ClaimFile(path.c_str()) != INVALID_HANDLE_VALUE; },
      [&] { return MoveFileW(path.c_str(), elsewhere.c_str()) != FALSE; },
      [&] { return DeleteFileW(path.c_str()) != FALSE; },
  };
  for (std::size_t i = 0; i < std::size(calls); ++i) {
    SetLastError(0);
    EXPECT_FALSE(calls[i]()) << i;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME) << i;
  }
  EXPECT_EQ(ReadFileBytes(dir / stray), "x");
}

}  // namespace
