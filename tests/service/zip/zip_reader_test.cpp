// The ZIP reader: archives of Info-ZIP's zip, of minizip and of our writer;
// entry information; extraction; and damaged archives.

#include "service/zip/zip_reader.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <cstring>
#include <string>

#include "platform/datetime.h"
#include "platform/files.h"
#include "service/zip/zip_writer.h"
#include "tests/service/zip/zip_test_util.h"
#include "tests/support/temp_root.h"

namespace {

using namespace ziptest;
namespace fs = std::filesystem;

std::int64_t UnixSeconds(const FILETIME& t) {
  return static_cast<std::int64_t>(platform::FileTimeTicks(t) / 10000000ull) - 11644473600LL;
}

// One entry written with minizip, with full control of its fields.
struct MiniEntry {
  std::string name;
  Bytes data = {};
  int method = Z_DEFLATED;
  unsigned long versionMadeBy = 0;
  unsigned long externalAttributes = 0;
  Bytes localExtra = {};
  unsigned long dosDate = 0x52CF5A2F;  // 2021-06-15 11:17:30 local
};

void WriteWithMinizip(const fs::path& archive, const std::vector<MiniEntry>& entries) {
  zipFile z = zipOpen(archive.string().c_str(), APPEND_STATUS_CREATE);
  ASSERT_NE(z, nullptr);
  for (const auto& e : entries) {
    zip_fileinfo info{};
    info.dosDate = e.dosDate;
    info.external_fa = e.externalAttributes;
    ASSERT_EQ(zipOpenNewFileInZip4(z, e.name.c_str(), &info, e.localExtra.empty() ? nullptr : e.localExtra.data(),
                                   static_cast<uInt>(e.localExtra.size()), nullptr, 0, nullptr, e.method,
                                   e.method == 0 ? 0 : 9, 0, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY, nullptr, 0,
                                   e.versionMadeBy, 0),
              ZIP_OK);
    if (!e.data.empty()) {
      ASSERT_EQ(zipWriteInFileInZip(z, e.data.data(), static_cast<unsigned>(e.data.size())), ZIP_OK);
    }
    ASSERT_EQ(zipCloseFileInZip(z), ZIP_OK);
  }
  ASSERT_EQ(zipClose(z, nullptr), ZIP_OK);
}

// Opens, asks for entry 0 and extracts it; returns the first failing code.
struct ReadOutcome {
  DWORD open = 0, info = 0, extract = 0;
  ZipEntryInfo entry{};
};
ReadOutcome ReadFirst(const fs::path& archive, const fs::path& target) {
  ReadOutcome o;
  ZipHandle* h = ZipReaderOpen(archive.wstring().c_str(), &o.open);
  if (h == nullptr) return o;
  o.info = ZipReaderGetItem(h, 0, &o.entry);
  o.extract = ZipReaderExtractFirst(h, target.wstring().c_str());
  EXPECT_EQ(ZipReaderClose(h), ZIP_OK);
  return o;
}

TEST(ZipReaderTest, ReadsArchivesOfInfoZipMinizipAndOurWriter) {
  testsupport::TempRoot root;
  Bytes text = TextBytes(200000, 1);
  fs::path in = root.Dir("in");
  WriteBytes(in / "doc.txt", text);
  std::string cd = "cd " + Quote(in) + " && ";
  ASSERT_EQ(RunQuietly(cd + "zip -q deflated.zip doc.txt"), 0);
  ASSERT_EQ(RunQuietly(cd + "zip -q -0 stored.zip doc.txt"), 0);
  // Written to a pipe: sizes in a data descriptor after the data.
  ASSERT_EQ(RunQuietly(cd + "zip -q - doc.txt | cat > streamed.zip"), 0);
  WriteWithMinizip(in / "minizip.zip", {{"doc.txt", text}});
  WriteWithMinizip(in / "minizip-stored.zip", {{"doc.txt", text, 0}});
  ZipHandle* w = ZipWriterCreate(const_cast<wchar_t*>((in / "ours.zip").wstring().c_str()), 0, kZipToFile);
  ASSERT_EQ(ZipWriterAddFile(w, L"doc.txt", (in / "doc.txt").wstring().c_str()), ZIP_OK);
  ASSERT_EQ(ZipWriterClose(w), ZIP_OK);

  for (const char* name : {"deflated.zip", "stored.zip", "streamed.zip", "minizip.zip", "minizip-stored.zip",
                           "ours.zip"}) {
    SCOPED_TRACE(name);
    fs::path target = root.Dir("out") / (std::string(name) + ".txt");
    ReadOutcome o = ReadFirst(in / name, target);
    ASSERT_EQ(o.open, ZIP_OK);
    EXPECT_EQ(o.info, ZIP_OK);
    EXPECT_EQ(o.extract, ZIP_OK);
    EXPECT_STREQ(o.entry.name, L"doc.txt");
    EXPECT_EQ(o.entry.uncompressedSize, text.size());
    EXPECT_TRUE(ReadBytes(target) == text);
  }
}

// Info-ZIP keeps the file's modification time in a "UT" field; the extracted
// file gets it back exactly.
TEST(ZipReaderTest, ExtractedFileGetsTheEntryTimes) {
  testsupport::TempRoot root;
  fs::path in = root.Dir("in");
  WriteBytes(in / "t.txt", TextBytes(100, 2));
  ASSERT_EQ(RunQuietly("cd " + Quote(in) + " && touch -d '2020-02-29 13:14:15 UTC' t.txt && zip -q t.zip t.txt"), 0);
  fs::path target = root.Dir("out") / "t.txt";
  ReadOutcome o = ReadFirst(in / "t.zip", target);
  ASSERT_EQ(o.extract, ZIP_OK);
  EXPECT_EQ(UnixSeconds(o.entry.lastWriteTime), 1582982055);
  EXPECT_EQ(fs::last_write_time(target), fs::last_write_time(in / "t.txt"));
}

TEST(ZipReaderTest, TimeStampFieldWithOnlyTheWriteTime) {
  testsupport::TempRoot root;
  MiniEntry e{"a.txt", TextBytes(10, 3)};
  // "UT", 5 bytes: flags 1 (write time only), 1600000000.
  e.localExtra = {0x55, 0x54, 5, 0, 1, 0x00, 0x10, 0x5E, 0x5F};
  WriteWithMinizip(root.Dir("in") / "a.zip", {e});
  ReadOutcome o = ReadFirst(root.Dir("in") / "a.zip", root.Dir("out") / "a.txt");
  ASSERT_EQ(o.info, ZIP_OK);
  EXPECT_EQ(UnixSeconds(o.entry.lastWriteTime), 1600000000);
  // The others come from the DOS time, read as local time.
  FILETIME local{}, utc{};
  ASSERT_TRUE(DosDateTimeToFileTime(0x52CF, 0x5A2F, &local));
  ASSERT_TRUE(LocalFileTimeToFileTime(&local, &utc));
  EXPECT_EQ(platform::FileTimeTicks(o.entry.lastAccessTime), platform::FileTimeTicks(utc));
  EXPECT_EQ(platform::FileTimeTicks(o.entry.creationTime), platform::FileTimeTicks(utc));
}

TEST(ZipReaderTest, EntryCountAndIndexLimits) {
  testsupport::TempRoot root;
  WriteWithMinizip(root.Dir("in") / "one.zip", {{"one.txt", TextBytes(10, 4)}});
  DWORD rc = 1;
  ZipHandle* h = ZipReaderOpen((root.Dir("in") / "one.zip").wstring().c_str(), &rc);
  ASSERT_NE(h, nullptr);
  ZipEntryInfo info{};
  EXPECT_EQ(ZipReaderGetItem(h, -1, &info), ZIP_OK);
  EXPECT_EQ(info.index, 1);
  EXPECT_STREQ(info.name, L"");
  EXPECT_EQ(ZipReaderGetItem(h, 1, &info), ZIP_E_ARGS);
  EXPECT_EQ(ZipReaderGetItem(h, -2, &info), ZIP_E_ARGS);
  EXPECT_EQ(ZipReaderGetItem(h, 0, &info), ZIP_OK);
  EXPECT_EQ(info.index, 0);
  EXPECT_EQ(ZipReaderGetItem(nullptr, 0, &info), ZIP_E_ARGS);
  EXPECT_EQ(ZipReaderSetBaseDir(h), ZIP_OK);
  EXPECT_EQ(ZipWriterClose(h), ZIP_E_MIXED_MODE);
  EXPECT_EQ(ZipReaderClose(h), ZIP_OK);
  EXPECT_EQ(ZipReaderClose(nullptr), ZIP_E_ARGS);

  // An archive without entries opens; there is nothing to extract.
  ZipHandle* w = ZipWriterCreate(const_cast<wchar_t*>((root.Dir("in") / "none.zip").wstring().c_str()), 0, kZipToFile);
  ASSERT_EQ(ZipWriterClose(w), ZIP_OK);
  ReadOutcome o = ReadFirst(root.Dir("in") / "none.zip", root.Dir("out") / "x");
  EXPECT_EQ(o.open, ZIP_OK);
  EXPECT_EQ(o.extract, ZIP_E_ARGS);
  EXPECT_FALSE(fs::exists(root.Dir("out") / "x"));
}

// Names are reported without what could lead outside a folder; they are never
// used as paths (the target is the caller's).
TEST(ZipReaderTest, NamesAreCleanedForReport) {
  testsupport::TempRoot root;
  struct Case {
    const char* stored;
    const wchar_t* reported;
  } cases[] = {
      {"C:\\temp\\..\\x.txt", L"x.txt"},  {"..\\x.txt", L"..\\x.txt"}, {"/etc/passwd", L"etc/passwd"},
      {"a/../../b.txt", L"../b.txt"},     {"\\\\server\\s.txt", L"server\\s.txt"},
      {"\xD0\xBE\xD1\x82\xD1\x87\xD1\x91\xD1\x82.txt", L"отчёт.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    fs::path archive = root.Dir("in") / "n.zip";
    WriteWithMinizip(archive, {{c.stored, TextBytes(10, 5)}});
    fs::path target = root.Dir("out") / "target.txt";
    ReadOutcome o = ReadFirst(archive, target);
    ASSERT_EQ(o.extract, ZIP_OK);
    EXPECT_STREQ(o.entry.name, c.reported);
    EXPECT_TRUE(fs::exists(target));
    fs::remove(target);
  }
  EXPECT_FALSE(fs::exists(root.path() / "x.txt"));
}

TEST(ZipReaderTest, AttributesByHost) {
  testsupport::TempRoot root;
  struct Case {
    const char* what;
    unsigned long versionMadeBy, external;
    DWORD attributes;
  } cases[] = {
      {"windows read-only hidden", 0x0B17, 0x23, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE},
      {"unix 0444", 0x0317, 0100444u << 16, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE},
      {"unix 0644", 0x0317, 0100644u << 16, FILE_ATTRIBUTE_ARCHIVE},
      {"unix folder", 0x0317, 0040755u << 16, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_ARCHIVE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::path archive = root.Dir("in") / "attr.zip";
    MiniEntry e{"f", TextBytes(10, 6)};
    e.versionMadeBy = c.versionMadeBy;
    e.externalAttributes = c.external;
    WriteWithMinizip(archive, {e});
    DWORD rc = 1;
    ZipHandle* h = ZipReaderOpen(archive.wstring().c_str(), &rc);
    ASSERT_NE(h, nullptr);
    ZipEntryInfo info{};
    EXPECT_EQ(ZipReaderGetItem(h, 0, &info), ZIP_OK);
    EXPECT_EQ(info.attributes, c.attributes);
    ZipReaderClose(h);
  }
}

TEST(ZipReaderTest, FolderEntryAndNestedTargets) {
  testsupport::TempRoot root;
  MiniEntry folder{"dir/", {}, 0};
  folder.externalAttributes = FILE_ATTRIBUTE_DIRECTORY;
  WriteWithMinizip(root.Dir("in") / "folder.zip", {folder});
  fs::path made = root.path() / "out" / "a" / "b";
  ReadOutcome o = ReadFirst(root.Dir("in") / "folder.zip", made);
  EXPECT_EQ(o.extract, ZIP_OK);
  EXPECT_TRUE(fs::is_directory(made));

  WriteWithMinizip(root.Dir("in") / "empty.zip", {{"empty.txt", {}}});
  fs::path nested = root.path() / "deep" / "er" / "still" / "empty.txt";
  o = ReadFirst(root.Dir("in") / "empty.zip", nested);
  EXPECT_EQ(o.extract, ZIP_OK);
  EXPECT_TRUE(fs::exists(nested));
  EXPECT_EQ(fs::file_size(nested), 0u);
}

TEST(ZipReaderTest, EncryptedEntryIsNotExtracted) {
  testsupport::TempRoot root;
  fs::path in = root.Dir("in");
  WriteBytes(in / "s.txt", TextBytes(1000, 7));
  ASSERT_EQ(RunQuietly("cd " + Quote(in) + " && zip -q -P secret s.zip s.txt"), 0);
  fs::path target = root.Dir("out") / "s.txt";
  ReadOutcome o = ReadFirst(in / "s.zip", target);
  EXPECT_EQ(o.info, ZIP_OK);
  EXPECT_EQ(o.extract, ZIP_E_ENCRYPTED);
  EXPECT_FALSE(fs::exists(target));
}

TEST(ZipReaderTest, ArchiveBehindOtherDataAndWithAComment) {
  testsupport::TempRoot root;
  fs::path in = root.Dir("in");
  Bytes text = TextBytes(5000, 8);
  WriteBytes(in / "c.txt", text);
  ASSERT_EQ(RunQuietly("cd " + Quote(in) + " && zip -q plain.zip c.txt"), 0);
  Bytes plain = ReadBytes(in / "plain.zip");

  // Other data in front, offsets not adjusted: every offset moves by it.
  Bytes front = RandomBytes(3000, 9);
  front.insert(front.end(), plain.begin(), plain.end());
  WriteBytes(in / "front.zip", front);
  EXPECT_EQ(ReadFirst(in / "front.zip", root.Dir("out") / "f.txt").extract, ZIP_OK);
  EXPECT_TRUE(ReadBytes(root.Dir("out") / "f.txt") == text);

  // A comment of 5000 bytes after the end record.
  auto withComment = [&](std::size_t length) {
    Bytes b = plain;
    b[b.size() - 2] = static_cast<std::uint8_t>(length);
    b[b.size() - 1] = static_cast<std::uint8_t>(length >> 8);
    Bytes comment = TextBytes(length, 10);
    b.insert(b.end(), comment.begin(), comment.end());
    return b;
  };
  WriteBytes(in / "comment.zip", withComment(5000));
  EXPECT_EQ(ReadFirst(in / "comment.zip", root.Dir("out") / "c.txt").extract, ZIP_OK);
  // An end record further back than 65535 bytes is not found.
  WriteBytes(in / "far.zip", withComment(65535));
  EXPECT_EQ(ReadFirst(in / "far.zip", root.Dir("out") / "far.txt").open, ZIP_E_CORRUPT);
}

// Damaged archives give the reader's codes and never a wrong file quietly.
TEST(ZipReaderTest, DamagedArchives) {
  testsupport::TempRoot root;
  fs::path in = root.Dir("in");
  Bytes text = TextBytes(50000, 11);
  WriteWithMinizip(in / "stored.zip", {{"s.txt", text, 0}});
  WriteWithMinizip(in / "deflated.zip", {{"d.txt", text}});
  const Bytes stored = ReadBytes(in / "stored.zip");
  const Bytes deflated = ReadBytes(in / "deflated.zip");
  const ParsedArchive ps = ParseArchive(stored);
  const ParsedArchive pd = ParseArchive(deflated);
  const std::size_t centralOfStored = ps.centralOffset;

  struct Case {
    const char* what;
    std::function<Bytes()> make;
    DWORD open, info, extract;
  };
  std::vector<Case> cases = {
      {"four bytes", [] { return Bytes{'P', 'K', 5, 6}; }, ZIP_E_CORRUPT, 0, 0},
      {"not an archive", [] { return TextBytes(100000, 12); }, ZIP_E_CORRUPT, 0, 0},
      {"truncated", [&] { return Bytes(stored.begin(), stored.end() - 30); }, ZIP_E_CORRUPT, 0, 0},
      {"end record before its directory",
       [&] {
         Bytes b = stored;
         Put32(b, ps.endRecord + 16, ps.centralOffset + 100);
         return b;
       },
       ZIP_E_CORRUPT, 0, 0},
      {"two disks",
       [&] {
         Bytes b = stored;
         b[ps.endRecord + 4] = 1;
         return b;
       },
       ZIP_E_CORRUPT, 0, 0},
      {"zip64 locator",
       [&] {
         Bytes b(stored.begin(), stored.begin() + static_cast<std::ptrdiff_t>(ps.endRecord));
         Bytes locator(20, 0);
         Put32(locator, 0, 0x07064B50);
         b.insert(b.end(), locator.begin(), locator.end());
         b.insert(b.end(), stored.begin() + static_cast<std::ptrdiff_t>(ps.endRecord), stored.end());
         Put32(b, b.size() - 22 + 16, ps.centralOffset);
         return b;
       },
       ZIP_E_CORRUPT, 0, 0},
      {"bad local header offset",
       [&] {
         Bytes b = stored;
         Put32(b, centralOfStored + 42, 7);
         return b;
       },
       ZIP_OK, ZIP_E_CORRUPT, ZIP_E_CORRUPT},
      {"central signature",
       [&] {
         Bytes b = stored;
         b[centralOfStored] = 'X';
         return b;
       },
       ZIP_OK, ZIP_E_CORRUPT, ZIP_E_CORRUPT},
      {"local method differs",
       [&] {
         Bytes b = stored;
         b[8] = 8;
         return b;
       },
       ZIP_OK, ZIP_E_CORRUPT, ZIP_E_CORRUPT},
      {"stored data changed",
       [&] {
         Bytes b = stored;
         b[ps.entries[0].dataOffset + 100] ^= 0x20;
         return b;
       },
       ZIP_OK, ZIP_OK, ZIP_E_CORRUPT},
      {"deflated data changed",
       [&] {
         Bytes b = deflated;
         b[pd.entries[0].dataOffset + pd.entries[0].compressedSize / 2] ^= 0xFF;
         return b;
       },
       ZIP_OK, ZIP_OK, ZIP_E_FLATE},
      {"crc changed in both headers",
       [&] {
         Bytes b = deflated;
         Put32(b, 14, pd.entries[0].crc ^ 1);
         Put32(b, pd.centralOffset + 16, pd.entries[0].crc ^ 1);
         return b;
       },
       ZIP_OK, ZIP_OK, ZIP_E_CORRUPT},
      {"declared size too small",
       [&] {
         Bytes b = deflated;
         Put32(b, 22, 1000);
         Put32(b, pd.centralOffset + 24, 1000);
         return b;
       },
       ZIP_OK, ZIP_OK, ZIP_E_CORRUPT},
      {"declared size too large",
       [&] {
         Bytes b = deflated;
         Put32(b, 22, 60000);
         Put32(b, pd.centralOffset + 24, 60000);
         return b;
       },
       ZIP_OK, ZIP_OK, ZIP_E_CORRUPT},
      {"compressed size past the directory",
       [&] {
         Bytes b = deflated;
         Put32(b, 18, 0x7FFFFFF0);
         Put32(b, pd.centralOffset + 20, 0x7FFFFFF0);
         return b;
       },
       ZIP_OK, ZIP_E_CORRUPT, ZIP_E_CORRUPT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::path archive = in / "damaged.zip";
    WriteBytes(archive, c.make());
    // A target of its own per case: targets are created new.
    fs::path target = root.Dir("out") / (std::string(c.what) + ".txt");
    ReadOutcome o = ReadFirst(archive, target);
    EXPECT_EQ(o.open, c.open);
    if (o.open != ZIP_OK) continue;
    EXPECT_EQ(o.info, c.info);
    EXPECT_EQ(o.extract, c.extract);
  }
}

TEST(ZipReaderTest, MissingArchiveAndUnwritableTarget) {
  testsupport::TempRoot root;
  DWORD rc = 0;
  EXPECT_EQ(ZipReaderOpen((root.path() / "none.zip").wstring().c_str(), &rc), nullptr);
  EXPECT_EQ(rc, ZIP_E_NO_FILE);
  WriteWithMinizip(root.Dir("in") / "a.zip", {{"a.txt", TextBytes(10, 13)}});
  // The target's folder is a file: it cannot be created.
  fs::path blocker = root.WriteFile("blocker", "x");
  EXPECT_EQ(ReadFirst(root.Dir("in") / "a.zip", blocker / "a.txt").extract, ZIP_E_NO_FILE);
}

}  // namespace
