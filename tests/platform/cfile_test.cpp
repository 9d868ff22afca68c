#include "platform/cfile.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/errors.h"
#include "tests/support/temp_root.h"
#include "tests/support/wide_text.h"

namespace {

using testsupport::Wide;

// Runs the call and returns the cause of the CFileException* it throws
// (-1 when it throws nothing); the exception is released as callers do.
template <typename Call>
int CauseOf(Call call, LONG* osError = nullptr) {
  try {
    call();
  } catch (CFileException* e) {
    int cause = e->m_cause;
    if (osError != nullptr) *osError = e->m_lOsError;
    e->Delete();
    return cause;
  }
  return -1;
}

constexpr UINT kCreateExclusive = CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive | CFile::typeBinary;
constexpr UINT kReadExclusive = CFile::modeRead | CFile::shareExclusive | CFile::typeBinary;

}  // namespace

TEST(CFileTest, WriteReadSeekAndLength) {
  testsupport::TempRoot root;
  CString path = Wide(root.path() / "data.bin");
  {
    CFile file;
    ASSERT_TRUE(file.Open(path, kCreateExclusive));
    file.Write("Привет", 12);
    file.Write("", 0);
    char none[1];
    EXPECT_EQ(CFileException::accessDenied, CauseOf([&] { file.Read(none, 1); }));  // opened write-only
    EXPECT_EQ(12u, file.GetLength());
    EXPECT_EQ(12u, file.GetPosition());
    EXPECT_EQ(L"data.bin", file.GetFileName());
    EXPECT_EQ(Wide(root.path() / "data.bin"), file.GetFilePath());
  }  // the destructor closes
  CFile file(path, CFile::modeReadWrite | CFile::shareExclusive);
  char buffer[32] = {};
  EXPECT_EQ(12u, file.Read(buffer, sizeof(buffer)));
  EXPECT_EQ(std::string("Привет"), buffer);
  EXPECT_EQ(0u, file.Read(buffer, sizeof(buffer)));  // end of file
  EXPECT_EQ(6u, file.Seek(-6, CFile::end));
  EXPECT_EQ(2u, file.Read(buffer, 2));
  EXPECT_EQ(std::string("\xD0\xB2"), std::string(buffer, 2));
  EXPECT_EQ(2u, file.Seek(-6, CFile::current));
  file.SetLength(4);
  EXPECT_EQ(4u, file.GetLength());
  EXPECT_EQ(4u, file.GetPosition());
  EXPECT_EQ(4u, file.SeekToEnd());
  file.SeekToBegin();
  EXPECT_EQ(4u, file.Read(buffer, sizeof(buffer)));
  EXPECT_EQ(std::string("Пр"), std::string(buffer, 4));
  EXPECT_EQ(CFileException::badSeek, CauseOf([&] { file.Seek(-1, CFile::begin); }));
  file.Flush();
  file.Close();
  file.Close();  // a second close does nothing
  EXPECT_EQ(CFile::hFileNull, file.m_hFile);
}

TEST(CFileTest, CreationFlagsTruncateOrKeep) {
  testsupport::TempRoot root;
  auto path = root.WriteFile("keep.txt", "0123456789");
  {
    CFile file(Wide(path), CFile::modeCreate | CFile::modeNoTruncate | CFile::modeReadWrite);
    EXPECT_EQ(10u, file.GetLength());
    file.SeekToEnd();
    file.Write("AB", 2);
  }
  EXPECT_EQ("0123456789AB", testsupport::ReadFileBytes(path));
  {
    CFile file(Wide(path), CFile::modeCreate | CFile::modeWrite);
    EXPECT_EQ(0u, file.GetLength());
  }
  EXPECT_EQ("", testsupport::ReadFileBytes(path));
  // Without modeCreate a missing file is not made.
  CFile file;
  EXPECT_FALSE(file.Open(Wide(root.path() / "new.txt"), CFile::modeWrite));
  EXPECT_FALSE(std::filesystem::exists(root.path() / "new.txt"));
}

// Failed opens report the class library's cause, the Windows code and the
// name; the throwing constructor does the same through CFileException*.
TEST(CFileTest, OpenFailuresGiveCauses) {
  testsupport::TempRoot root;
  root.Dir("folder");
  struct Case {
    const char* what;
    std::filesystem::path path;
    UINT flags;
    int cause;
    LONG osError;
  } cases[] = {
      {"missing file", root.path() / "missing.txt", kReadExclusive, CFileException::fileNotFound,
       LONG(ERROR_FILE_NOT_FOUND)},
      {"missing folder", root.path() / "nowhere" / "x.txt", kCreateExclusive, CFileException::badPath,
       LONG(ERROR_PATH_NOT_FOUND)},
      {"a folder opened as a file", root.path() / "folder", kReadExclusive, CFileException::accessDenied,
       LONG(ERROR_ACCESS_DENIED)},
  };
  for (const Case& c : cases) {
    CFile file;
    CFileException error;
    EXPECT_FALSE(file.Open(Wide(c.path), c.flags, &error)) << c.what;
    EXPECT_EQ(c.cause, error.m_cause) << c.what;
    EXPECT_EQ(c.osError, error.m_lOsError) << c.what;
    EXPECT_EQ(Wide(c.path), error.m_strFileName) << c.what;
    error.Delete();  // a caller's own exception object is not freed

    LONG osError = 0;
    EXPECT_EQ(c.cause, CauseOf([&] { CFile thrown(Wide(c.path), c.flags); }, &osError)) << c.what;
    EXPECT_EQ(c.osError, osError) << c.what;
  }
  CFile open(Wide(root.WriteFile("a.txt", "a")), kReadExclusive);
  CFileException error;
  EXPECT_FALSE(open.Open(Wide(root.path() / "a.txt"), kReadExclusive, &error));  // already open
  EXPECT_EQ(CFileException::genericException, error.m_cause);
}

// The read-only attribute (no write permission bits) holds for every user.
TEST(CFileTest, ReadOnlyFileRefusesWriting) {
  testsupport::TempRoot root;
  auto path = root.WriteFile("journal.txt", "x");
  ASSERT_EQ(0, chmod(path.c_str(), 0444));
  CFile file;
  CFileException error;
  EXPECT_FALSE(file.Open(Wide(path), CFile::modeCreate | CFile::modeNoTruncate | CFile::modeWrite |
                                         CFile::shareDenyWrite, &error));
  EXPECT_EQ(CFileException::accessDenied, error.m_cause);
  EXPECT_TRUE(file.Open(Wide(path), CFile::modeRead | CFile::shareDenyWrite));
}

TEST(CFileTest, UnreadableFileIsAccessDeniedSkippedForRoot) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads files without permission bits";
  testsupport::TempRoot root;
  auto path = root.WriteFile("secret.txt", "x");
  ASSERT_EQ(0, chmod(path.c_str(), 0));
  CFile file;
  CFileException error;
  EXPECT_FALSE(file.Open(Wide(path), CFile::modeRead | CFile::shareDenyNone, &error));
  EXPECT_EQ(CFileException::accessDenied, error.m_cause);
}

// Share modes between two opens of one file: the second fails with cause 11
// when either open refuses what the other does.
TEST(CFileTest, ShareModesGiveSharingViolation) {
  testsupport::TempRoot root;
  CString path = Wide(root.WriteFile("shared.txt", "data"));
  struct Case {
    UINT first;
    UINT second;
    bool secondOpens;
  } cases[] = {
      {CFile::modeRead | CFile::shareExclusive, CFile::modeRead | CFile::shareDenyNone, false},
      {CFile::modeRead | CFile::shareCompat, CFile::modeRead | CFile::shareDenyNone, false},
      {CFile::modeRead | CFile::shareDenyNone, CFile::modeRead | CFile::shareExclusive, false},
      {CFile::modeRead | CFile::shareDenyWrite, CFile::modeRead | CFile::shareDenyWrite, true},
      {CFile::modeRead | CFile::shareDenyWrite, CFile::modeWrite | CFile::shareDenyNone, false},
      {CFile::modeWrite | CFile::shareDenyWrite, CFile::modeRead | CFile::shareDenyNone, true},
      {CFile::modeWrite | CFile::shareDenyRead, CFile::modeRead | CFile::shareDenyNone, false},
      {CFile::modeReadWrite | CFile::shareDenyNone, CFile::modeReadWrite | CFile::shareDenyNone, true},
  };
  for (const Case& c : cases) {
    CFile first;
    ASSERT_TRUE(first.Open(path, c.first)) << std::hex << c.first;
    CFile second;
    CFileException error;
    EXPECT_EQ(c.secondOpens, second.Open(path, c.second, &error) != FALSE) << std::hex << c.first << " " << c.second;
    if (!c.secondOpens) {
      EXPECT_EQ(CFileException::sharingViolation, error.m_cause);
      EXPECT_EQ(LONG(ERROR_SHARING_VIOLATION), error.m_lOsError);
    }
  }
  // Once the holder closes, the file opens again.
  CFile holder(path, kReadExclusive);
  EXPECT_EQ(CFileException::sharingViolation, CauseOf([&] { CFile again(path, kReadExclusive); }));
  holder.Close();
  EXPECT_EQ(-1, CauseOf([&] { CFile again(path, kReadExclusive); }));
}

TEST(CFileTest, WriteToAFullDeviceIsDiskFull) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  testsupport::TempRoot root;
  CFile file;
  CFileException error;
  ASSERT_TRUE(file.Open(L"/dev/full", CFile::modeWrite | CFile::shareDenyNone, &error)) << error.m_lOsError;
  char block[4096] = {};
  LONG osError = 0;
  EXPECT_EQ(CFileException::diskFull, CauseOf([&] { file.Write(block, sizeof(block)); }, &osError));
  EXPECT_EQ(LONG(ERROR_DISK_FULL), osError);
}

// A file that reaches the process's size limit stops the writer the same way.
// Run in a child: the limit and the ignored SIGXFSZ must not reach other tests.
TEST(CFileTest, WritePastTheFileSizeLimitIsDiskFull) {
  testsupport::TempRoot root;
  CString path = Wide(root.path() / "big.bin");
  pid_t child = fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{64 * 1024, 64 * 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    int cause = 100;
    try {
      CFile file(path, kCreateExclusive);
      static char block[48 * 1024];
      file.Write(block, sizeof(block));
      file.Write(block, sizeof(block));
      cause = 99;  // no exception: wrong
    } catch (CFileException* e) {
      cause = e->m_cause;
      e->Delete();
    }
    _exit(cause);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(CFileException::diskFull, WEXITSTATUS(status));
}

TEST(CFileTest, OsErrorsMapToCauses) {
  struct Case {
    DWORD os;
    int cause;
  } cases[] = {
      {ERROR_SUCCESS, CFileException::none},
      {ERROR_FILE_NOT_FOUND, CFileException::fileNotFound},
      {ERROR_PATH_NOT_FOUND, CFileException::badPath},
      {ERROR_FILENAME_EXCED_RANGE, CFileException::badPath},
      {ERROR_INVALID_NAME, CFileException::badPath},
      {ERROR_TOO_MANY_OPEN_FILES, CFileException::tooManyOpenFiles},
      {ERROR_ACCESS_DENIED, CFileException::accessDenied},
      {ERROR_FILE_EXISTS, CFileException::accessDenied},
      {ERROR_ALREADY_EXISTS, CFileException::accessDenied},
      {ERROR_DIR_NOT_EMPTY, CFileException::removeCurrentDir},
      {ERROR_NEGATIVE_SEEK, CFileException::badSeek},
      {ERROR_IO_DEVICE, CFileException::hardIO},
      {ERROR_SHARING_VIOLATION, CFileException::sharingViolation},
      {ERROR_LOCK_VIOLATION, CFileException::lockViolation},
      {ERROR_DISK_FULL, CFileException::diskFull},
      {ERROR_HANDLE_DISK_FULL, CFileException::diskFull},
      {ERROR_FILE_TOO_LARGE, CFileException::diskFull},
      {ERROR_HANDLE_EOF, CFileException::endOfFile},
      {ERROR_INVALID_PARAMETER, CFileException::genericException},
      {0xFFFFFFFF, CFileException::genericException},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.cause, CFileException::OsErrorToException(static_cast<LONG>(c.os))) << c.os;
}
