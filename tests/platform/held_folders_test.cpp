// Held folders and held names: folders that a user other than root may
// write on the way to, replaced by that user's links before they are held
// and while they are, and a claimed file's name given to another file.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/utf16.h"
#include "tests/support/temp_root.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFileBytes;
using testsupport::TempRoot;

std::wstring W(const fs::path& path) { return platform::Utf8ToWide(path.string()); }

constexpr uid_t kNobody = 65534;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

void Write(const fs::path& file, const std::string& bytes) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(file.c_str(), "wb"), &std::fclose);
  ASSERT_NE(out, nullptr) << file;
  std::fwrite(bytes.data(), 1, bytes.size(), out.get());
}

// Writes a new file through the layer; the last error, 0 on success.
DWORD CreateNew(const fs::path& file, const std::string& bytes) {
  platform::FileHandle handle(
      CreateFileW(W(file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle.valid()) return GetLastError();
  DWORD written = 0;
  return WriteFile(handle.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ? 0
                                                                                                    : GetLastError();
}

// A machine with a user's folder tree under the test's root-only root: the
// user ("nobody") owns home/ and the rule folders in it; secret/ is
// root's, 0700, holding a 0600 key.
class HeldFoldersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "links of another user are made as root (the tests run as root in CI)";
    fs::permissions(root_.path(), fs::perms::owner_all);
    for (const char* folder : {"home", "home/in", "home/out", "secret"}) fs::create_directories(Path(folder));
    for (const char* folder : {"home", "home/in", "home/out"}) ASSERT_EQ(chown(Path(folder).c_str(), kNobody, kNobody), 0);
    fs::permissions(Path("secret"), fs::perms::owner_all);
    Write(Path("secret/key"), "root's key");
    fs::permissions(Path("secret/key"), fs::perms::owner_read | fs::perms::owner_write);
  }

  fs::path Path(const std::string& relative) const { return root_.path() / relative; }

  // What the user can do: put its own link where a folder of its was.
  void ReplaceByUsersLink(const std::string& folder, const fs::path& target) {
    fs::rename(Path(folder), Path(folder + ".moved"));
    fs::create_directory_symlink(target, Path(folder));
    ASSERT_EQ(lchown(Path(folder).c_str(), kNobody, kNobody), 0);
  }

  // secret/ holds its key and nothing else.
  void ExpectSecretUntouched() {
    EXPECT_EQ(std::distance(fs::directory_iterator(Path("secret")), fs::directory_iterator()), 1);
    EXPECT_EQ(ReadFileBytes(Path("secret/key")), "root's key");
  }

  TempRoot root_;
};

// A folder is held only when no user but root could have made or changed a
// link on its path; what is refused is never held.
TEST_F(HeldFoldersTest, FollowsOnlyLinksThatOnlyRootCouldHaveMade) {
  fs::create_directory_symlink(Path("home/out"), Path("by-root"));  // root's link in a root-only folder
  fs::create_directory_symlink(Path("secret"), Path("home/users-own"));
  ASSERT_EQ(lchown(Path("home/users-own").c_str(), kNobody, kNobody), 0);
  fs::create_directory_symlink(Path("secret"), Path("home/root-owned-in-users"));  // the user can replace it
  Write(Path("home/file"), "not a folder");
  struct Case {
    const char* folder;
    DWORD code;
  };
  const Case cases[] = {
      {"by-root", 0},
      {"by-root/../home/in", 0},
      {"home/users-own", ERROR_CANT_RESOLVE_FILENAME},
      {"home/users-own/..", 0},  // folded before it is opened, as Windows folds it
      {"home/root-owned-in-users", ERROR_CANT_RESOLVE_FILENAME},
      {"home/missing", ERROR_FILE_NOT_FOUND},
      {"home/missing/deeper", ERROR_PATH_NOT_FOUND},
      {"home/file", ERROR_DIRECTORY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    platform::HeldFolders held;
    EXPECT_EQ(held.Hold(W(Path(c.folder)).c_str()), c.code);
  }
  platform::HeldFolders held;
  ASSERT_EQ(held.Hold(W(Path("by-root")).c_str()), 0u);
  EXPECT_EQ(CreateNew(Path("by-root/x"), "through root's link"), 0u);
  EXPECT_EQ(ReadFileBytes(Path("home/out/x")), "through root's link");
}

// Once held, the folder the user replaced by a link to root's folder is
// still the one worked in: written, read, listed, renamed into and deleted
// from; the link's target never is. Let go, the path works by name again.
TEST_F(HeldFoldersTest, ReplacedFoldersAreNeverFollowedWhileHeld) {
  Write(Path("home/in/a"), "input a");
  Write(Path("home/in/b"), "input b");
  Write(Path("home/in/c"), "input c");
  {
    platform::HeldFolders held;
    ASSERT_EQ(held.Hold(W(Path("home/in")).c_str()), 0u);
    ASSERT_EQ(held.Hold(W(Path("home/out")).c_str()), 0u);
    ReplaceByUsersLink("home/in", Path("secret"));
    ReplaceByUsersLink("home/out", Path("secret"));

    EXPECT_EQ(CreateNew(Path("home/out/new"), "output"), 0u);
    EXPECT_TRUE(MoveFileW(W(Path("home/in/a")).c_str(), W(Path("home/out/a")).c_str()));
    EXPECT_TRUE(DeleteFileW(W(Path("home/in/b")).c_str()));
    EXPECT_FALSE(DeleteFileW(W(Path("home/in/key")).c_str()));
    EXPECT_FALSE(MoveFileW(W(Path("home/in/key")).c_str(), W(Path("home/out/key")).c_str()));
    EXPECT_EQ(SHCreateDirectoryExW(nullptr, W(Path("home/out/2026/12")).c_str(), nullptr), 0);
    EXPECT_EQ(CreateNew(Path("home/out/2026/12/dated"), "dated"), 0u);
    EXPECT_EQ(GetFileAttributesW(W(Path("home/in/key")).c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributesW(W(Path("home/in/c")).c_str()), INVALID_FILE_ATTRIBUTES);
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(W(Path("home/in/c")).c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    FindClose(search);
    EXPECT_EQ(FindFirstFileW(W(Path("home/in/key")).c_str(), &found), INVALID_HANDLE_VALUE);
    platform::FileHandle folder(CreateFileW(W(Path("home/out")).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    ASSERT_TRUE(folder.valid());
    ASSERT_TRUE(GetFileInformationByHandle(folder.get(), &info));
    struct stat original {};
    ASSERT_EQ(stat(Path("home/out.moved").c_str(), &original), 0);
    EXPECT_EQ(info.nFileIndexLow, static_cast<DWORD>(original.st_ino & 0xFFFFFFFF));
  }
  ExpectSecretUntouched();
  EXPECT_EQ(ReadFileBytes(Path("home/out.moved/new")), "output");
  EXPECT_EQ(ReadFileBytes(Path("home/out.moved/a")), "input a");
  EXPECT_EQ(ReadFileBytes(Path("home/out.moved/2026/12/dated")), "dated");
  EXPECT_EQ(ReadFileBytes(Path("home/in.moved/c")), "input c");
  EXPECT_FALSE(fs::exists(Path("home/in.moved/b")));
  // Let go: the name is followed as it always was.
  EXPECT_NE(GetFileAttributesW(W(Path("home/in/key")).c_str()), INVALID_FILE_ATTRIBUTES);
}

// A folder below a held one that is removed and made again, or moved away
// and replaced, while the hold lasts is looked up again: a file is written
// into the folder that has the name now, never into the one that went.
TEST_F(HeldFoldersTest, AFolderBelowThatWentIsLookedUpAgain) {
  platform::HeldFolders held;
  ASSERT_EQ(held.Hold(W(Path("home/out")).c_str()), 0u);
  ASSERT_TRUE(CreateDirectoryW(W(Path("home/out/d")).c_str(), nullptr));
  EXPECT_EQ(CreateNew(Path("home/out/d/first"), "1"), 0u);
  ASSERT_TRUE(DeleteFileW(W(Path("home/out/d/first")).c_str()));
  ASSERT_TRUE(RemoveDirectoryW(W(Path("home/out/d")).c_str()));
  ASSERT_TRUE(CreateDirectoryW(W(Path("home/out/d")).c_str(), nullptr));
  EXPECT_EQ(CreateNew(Path("home/out/d/second"), "2"), 0u);
  EXPECT_EQ(ReadFileBytes(Path("home/out/d/second")), "2");

  fs::rename(Path("home/out/d"), Path("home/out/gone"));
  fs::create_directory(Path("home/out/d"));
  EXPECT_EQ(CreateNew(Path("home/out/d/third"), "3"), 0u);
  EXPECT_EQ(ReadFileBytes(Path("home/out/d/third")), "3");
  EXPECT_FALSE(fs::exists(Path("home/out/gone/third")));

  // A user's link in its place is refused as any link below.
  fs::remove_all(Path("home/out/d"));
  fs::create_directory_symlink(Path("secret"), Path("home/out/d"));
  ASSERT_EQ(lchown(Path("home/out/d").c_str(), kNobody, kNobody), 0);
  EXPECT_NE(CreateNew(Path("home/out/d/fourth"), "4"), 0u);
  ExpectSecretUntouched();
}

// Below a held folder no link is followed: not a folder on the way to a
// name, not the name an open is given; folders made on the way stop at a
// link.
TEST_F(HeldFoldersTest, NoLinkBelowAHeldFolderIsFollowed) {
  fs::create_directory(Path("home/out/sub"));
  platform::HeldFolders held;
  ASSERT_EQ(held.Hold(W(Path("home/out")).c_str()), 0u);
  fs::remove(Path("home/out/sub"));
  fs::create_directory_symlink(Path("secret"), Path("home/out/sub"));
  fs::create_symlink(Path("secret/key"), Path("home/out/key"));
  EXPECT_EQ(CreateNew(Path("home/out/sub/x"), "x"), static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
  EXPECT_EQ(SHCreateDirectoryExW(nullptr, W(Path("home/out/sub/2026")).c_str(), nullptr),
            static_cast<int>(ERROR_CANT_RESOLVE_FILENAME));
  platform::FileHandle key(CreateFileW(W(Path("home/out/key")).c_str(), GENERIC_READ, kShareAll, nullptr,
                                       OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(key.valid());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
  EXPECT_EQ(platform::OpenInputFileStream(Path("home/out/key").c_str()), nullptr);
  EXPECT_EQ(platform::CreateNewFileStream(Path("home/out/sub/y").c_str()), nullptr);
  EXPECT_FALSE(CopyFileW(W(Path("home/out/key")).c_str(), W(Path("home/out/copy")).c_str(), TRUE));
  ExpectSecretUntouched();
  EXPECT_FALSE(fs::exists(Path("home/out/copy")));
}

// A claimed file's name, handed on by the move to its claimed name, reaches
// the claimed file only: once the user puts a link or another file there,
// opens, copies, attributes and the library's stream fail instead of
// reading what is there now, and the permission bits are the claimed
// file's.
TEST_F(HeldFoldersTest, AClaimsNameReadsOnlyTheClaimedFile) {
  Write(Path("home/in/name"), "claimed content");
  fs::permissions(Path("home/in/name"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  platform::HeldFolders held;
  ASSERT_EQ(held.Hold(W(Path("home/in")).c_str()), 0u);
  platform::FileHandle claim(platform::ClaimFile(W(Path("home/in/name")).c_str()));
  ASSERT_TRUE(claim.valid());
  const std::wstring claimed = W(Path("home/in/name.stp"));
  ASSERT_TRUE(MoveFileW(W(Path("home/in/name")).c_str(), claimed.c_str()));
  EXPECT_EQ(platform::GetFilePermissions(claimed.c_str()), 0640u);
  {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> stream(
        platform::OpenInputFileStream(Path("home/in/name.stp").c_str()), &std::fclose);
    ASSERT_NE(stream, nullptr);
  }

  fs::rename(Path("home/in/name.stp"), Path("home/in/kept"));
  struct Swap {
    const char* what;
    DWORD code;
  };
  for (const Swap& swap : {Swap{"link", ERROR_CANT_RESOLVE_FILENAME}, Swap{"file", ERROR_FILE_INVALID}}) {
    SCOPED_TRACE(swap.what);
    fs::remove(Path("home/in/name.stp"));
    if (std::string(swap.what) == "link")
      fs::create_symlink(Path("secret/key"), Path("home/in/name.stp"));
    else
      Write(Path("home/in/name.stp"), "another file");
    platform::FileHandle read(
        CreateFileW(claimed.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(read.valid());
    EXPECT_EQ(GetLastError(), swap.code);
    EXPECT_EQ(platform::OpenInputFileStream(Path("home/in/name.stp").c_str()), nullptr);
    EXPECT_FALSE(CopyFileW(claimed.c_str(), W(Path("home/in/copy")).c_str(), TRUE));
    EXPECT_EQ(platform::GetFilePermissions(claimed.c_str()), 0640u);  // the claimed file's, never the link's
    if (std::string(swap.what) == "file") {
      EXPECT_EQ(GetFileAttributesW(claimed.c_str()), INVALID_FILE_ATTRIBUTES);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_INVALID));
    }
  }
  EXPECT_FALSE(fs::exists(Path("home/in/copy")));
  ExpectSecretUntouched();

  // The claim let go, the name is an ordinary name again.
  claim.Close();
  struct stat other {};
  ASSERT_EQ(stat(Path("home/in/name.stp").c_str(), &other), 0);
  EXPECT_EQ(platform::GetFilePermissions(claimed.c_str()), other.st_mode & 07777);
  EXPECT_NE(other.st_mode & 07777, 0640u);
}

}  // namespace
