// Whole files in memory: limits, stages and the class library's causes.

#include "service/core/whole_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/cfile.h"
#include "platform/files.h"
#include "service/core/result_codes.h"
#include "tests/support/temp_root.h"

namespace {

namespace fs = std::filesystem;

struct ReadResult {
  DWORD code;
  int stage;
  DataBlob blob;
};

ReadResult Read(const fs::path& p) {
  ReadResult r{0, 0, {0, nullptr}};
  r.code = ReadWholeFile(p.wstring().c_str(), &r.stage, &r.blob);
  return r;
}

fs::path SparseFile(const testsupport::TempRoot& root, const char* name, std::uintmax_t size) {
  fs::path p = root.Dir("sparse") / name;
  { std::ofstream out(p, std::ios::binary); }
  fs::resize_file(p, size);
  return p;
}

TEST(WholeFileTest, ReadsTheWholeFileWithAZeroAfterIt) {
  testsupport::TempRoot root;
  std::string content("binary\0data\xFF", 12);
  ReadResult r = Read(root.WriteFile("f.bin", content));
  ASSERT_EQ(r.code, 0u);
  EXPECT_EQ(r.stage, 0) << "stage is set only on failure";
  ASSERT_EQ(r.blob.length, content.size());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(r.blob.data), r.blob.length), content);
  EXPECT_EQ(r.blob.data[r.blob.length], 0);
  delete[] r.blob.data;
}

TEST(WholeFileTest, FailuresGiveStageAndCode) {
  testsupport::TempRoot root;
  fs::path held = root.WriteFile("held.txt", "in use");
  HANDLE other = CreateFileW(held.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  struct Case {
    const char* what;
    fs::path path;
    int stage;
    DWORD code;
  } cases[] = {
      {"missing", root.path() / "missing.txt", 1, CFileException::fileNotFound},
      {"held open by another handle", held, 1, CFileException::sharingViolation},
      {"empty", root.WriteFile("empty.txt", ""), 2, ERR_FILE_SIZE_UNSUPPORTED},
      {"one byte too long", SparseFile(root, "long", 0x7FFFFFC8), 2, ERR_FILE_SIZE_UNSUPPORTED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ReadResult r = Read(c.path);
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.stage, c.stage);
    EXPECT_EQ(r.blob.data, nullptr) << "the blob is set only on success";
  }
  CloseHandle(other);
}

// The largest accepted file is more than one read of the system delivers at
// once; every byte must arrive.
TEST(WholeFileTest, LargestFileIsReadWhole) {
  testsupport::TempRoot root;
  fs::path p = SparseFile(root, "largest", 0x7FFFFFC7);
  {
    std::fstream f(p, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(0x7FFFFFC6);
    f.put('Z');
  }
  ReadResult r = Read(p);
  ASSERT_EQ(r.code, 0u);
  EXPECT_EQ(r.blob.length, 0x7FFFFFC7u);
  EXPECT_EQ(r.blob.data[0x7FFFFFC6], 'Z');
  EXPECT_EQ(r.blob.data[0x7FFFFFC7], 0);
  delete[] r.blob.data;
}

TEST(WholeFileTest, WriteReplacesTheFileCompletely) {
  testsupport::TempRoot root;
  fs::path p = root.WriteFile("w.txt", std::string(5000, 'x'));
  std::string data = "short";
  DataBlob blob{static_cast<uint32_t>(data.size()), reinterpret_cast<uint8_t*>(data.data())};
  int stage = 0;
  EXPECT_EQ(WriteWholeFile(p.wstring().c_str(), &stage, blob), 0u);
  EXPECT_EQ(testsupport::ReadFileBytes(p), "short");

  EXPECT_EQ(WriteWholeFile((root.path() / "no" / "w.txt").wstring().c_str(), &stage, blob),
            static_cast<DWORD>(CFileException::badPath));
  EXPECT_EQ(stage, 1);
}

}  // namespace
