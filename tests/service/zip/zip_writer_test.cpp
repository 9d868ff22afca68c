// The ZIP writer: archives to a path, a caller's handle and memory, checked
// byte by byte, with zlib, with Debian's unzip and with our reader.

#include "service/zip/zip_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "platform/datetime.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "service/zip/zip_reader.h"
#include "tests/service/zip/zip_test_util.h"
#include "tests/support/driven_clock.h"
#include "tests/support/temp_root.h"

namespace {

using namespace ziptest;
namespace fs = std::filesystem;

// A writer-made memory archive, copied out before the writer is closed.
Bytes BuildInMemory(const std::function<void(ZipHandle*)>& add, DWORD capacity = 8 << 20) {
  ZipHandle* h = ZipWriterCreate(nullptr, capacity, kZipToMemory);
  EXPECT_NE(h, nullptr);
  add(h);
  void* data = nullptr;
  DWORD length = 0;
  EXPECT_EQ(ZipWriterGetBuffer(h, &data, &length), ZIP_OK);
  Bytes out(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + length);
  EXPECT_EQ(ZipWriterClose(h), ZIP_OK);
  return out;
}

TEST(ZipWriterTest, FileArchiveIsReadByUnzipZlibAndOurReader) {
  testsupport::TempRoot root;
  Bytes text = TextBytes(300000, 1);
  Bytes noise = RandomBytes(70000, 2);
  fs::path source = root.Dir("in") / "report.txt";
  WriteBytes(source, text);
  fs::path archive = root.Dir("out") / "a.zip";

  ZipHandle* h = ZipWriterCreate(const_cast<wchar_t*>(archive.wstring().c_str()), 0, kZipToFile);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(ZipWriterAddFile(h, L"report.txt", source.wstring().c_str()), ZIP_OK);
  EXPECT_EQ(ZipWriterAddBuffer(h, L"dir\\noise.bin", noise.data(), static_cast<DWORD>(noise.size())), ZIP_OK);
  EXPECT_EQ(ZipWriterAddBuffer(h, L"inner.zip", noise.data(), 1000), ZIP_OK);
  EXPECT_EQ(ZipWriterClose(h), ZIP_OK);

  EXPECT_EQ(RunQuietly("unzip -tq " + Quote(archive)), 0);
  Bytes bytes = ReadBytes(archive);
  ParsedArchive a = ParseArchive(bytes);
  ASSERT_EQ(a.count, 3);
  EXPECT_EQ(a.entries[0].name, "report.txt");
  EXPECT_EQ(a.entries[1].name, "dir/noise.bin");
  EXPECT_TRUE(EntryData(bytes, a.entries[0]) == text);
  EXPECT_TRUE(EntryData(bytes, a.entries[1]) == noise);
  EXPECT_TRUE(EntryData(bytes, a.entries[2]) == Bytes(noise.begin(), noise.begin() + 1000));

  DWORD rc = 1;
  ZipHandle* r = ZipReaderOpen(archive.wstring().c_str(), &rc);
  ASSERT_NE(r, nullptr) << rc;
  ZipEntryInfo info{};
  EXPECT_EQ(ZipReaderGetItem(r, -1, &info), ZIP_OK);
  EXPECT_EQ(info.index, 3);
  fs::path extracted = root.Dir("x") / "copy.txt";
  EXPECT_EQ(ZipReaderExtractFirst(r, extracted.wstring().c_str()), ZIP_OK);
  EXPECT_EQ(ZipReaderClose(r), ZIP_OK);
  EXPECT_TRUE(ReadBytes(extracted) == text);
}

// Seekable outputs get no data descriptors: the local headers carry the
// final CRC and sizes, and the flags say deflated-at-maximum (2) or stored (0).
TEST(ZipWriterTest, MethodFlagsAndLocalHeadersFollowTheName) {
  testsupport::TempRoot root;  // the code pages come from its store
  Bytes data = TextBytes(5000, 3);
  Bytes archive = BuildInMemory([&](ZipHandle* h) {
    for (const wchar_t* name : {L"report.ZIP", L"data.tgz", L"report.zip.p7e", L"readme", L"dir\\sub\\file.txt"}) {
      EXPECT_EQ(ZipWriterAddBuffer(h, name, data.data(), static_cast<DWORD>(data.size())), ZIP_OK);
    }
  });
  ParsedArchive a = ParseArchive(archive);
  ASSERT_EQ(a.count, 5);
  struct Expect {
    const char* name;
    std::uint16_t method, flags;
  } expected[] = {{"report.ZIP", 0, 0}, {"data.tgz", 0, 0}, {"report.zip.p7e", 8, 2}, {"readme", 8, 2},
                  {"dir/sub/file.txt", 8, 2}};
  for (int i = 0; i < 5; i++) {
    const ParsedEntry& e = a.entries[i];
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(e.name, expected[i].name);
    EXPECT_EQ(e.method, expected[i].method);
    EXPECT_EQ(e.centralFlags, expected[i].flags);
    EXPECT_EQ(e.localFlags, expected[i].flags);
    EXPECT_EQ(e.versionMadeBy, 0x0B17);
    EXPECT_EQ(e.localCrc, e.crc);
    EXPECT_EQ(e.localCompressedSize, e.compressedSize);
    EXPECT_EQ(e.localUncompressedSize, data.size());
    EXPECT_EQ(e.crc, crc32(0, data.data(), static_cast<uInt>(data.size())));
    if (e.method == 0) {
      EXPECT_EQ(e.compressedSize, data.size());
    }
    EXPECT_TRUE(EntryData(archive, e) == data);
    EXPECT_EQ(e.localExtra.size(), 17u);
    EXPECT_EQ(e.centralExtra.size(), 9u);
  }
}

TEST(ZipWriterTest, FileEntryKeepsTimesAndAttributes) {
  testsupport::TempRoot root;
  fs::path source = root.WriteFile("t/old.txt", "content");
  // 2021-06-15 10:20:31 UTC, an odd second.
  const std::int64_t seconds = 1623752431;
  FILETIME when = platform::FileTimeFromTicks(static_cast<std::uint64_t>(seconds + 11644473600LL) * 10000000ull);
  HANDLE f = CreateFileW(source.wstring().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetFileTime(f, nullptr, &when, &when));
  CloseHandle(f);
  ASSERT_TRUE(SetFileAttributesW(source.wstring().c_str(), FILE_ATTRIBUTE_READONLY));

  Bytes archive = BuildInMemory([&](ZipHandle* h) {
    EXPECT_EQ(ZipWriterAddFile(h, L"old.txt", source.wstring().c_str()), ZIP_OK);
  });
  ParsedEntry e = ParseArchive(archive).entries.at(0);
  // "UT": flags 7, then last write and last access as UTC seconds.
  EXPECT_EQ(e.localExtra[4], 7);
  EXPECT_EQ(Get32(e.localExtra, 5), static_cast<std::uint32_t>(seconds));
  EXPECT_EQ(Get32(e.localExtra, 9), static_cast<std::uint32_t>(seconds));
  EXPECT_EQ(Get32(e.centralExtra, 5), static_cast<std::uint32_t>(seconds));
  // DOS time: local time, seconds halved.
  FILETIME local{};
  WORD date = 0, time = 0;
  ASSERT_TRUE(FileTimeToLocalFileTime(&when, &local));
  ASSERT_TRUE(FileTimeToDosDateTime(&local, &date, &time));
  EXPECT_EQ(e.dosTime, static_cast<std::uint32_t>(date) << 16 | time);
  EXPECT_EQ(time & 31, 15);  // 31 s written as 30 s
  // Read-only: attribute 0x01, Unix mode without owner write.
  EXPECT_EQ(e.externalAttributes, 0x80000000u | 0x01000000u | FILE_ATTRIBUTE_READONLY |
                                      (e.externalAttributes & FILE_ATTRIBUTE_ARCHIVE));
}

TEST(ZipWriterTest, EmptyFileIsOneFinalBlock) {
  testsupport::TempRoot root;
  fs::path source = root.WriteFile("empty.dat", "");
  Bytes archive = BuildInMemory([&](ZipHandle* h) {
    EXPECT_EQ(ZipWriterAddFile(h, L"empty.dat", source.wstring().c_str()), ZIP_OK);
  });
  ParsedEntry e = ParseArchive(archive).entries.at(0);
  EXPECT_EQ(e.method, 8);
  EXPECT_EQ(e.uncompressedSize, 0u);
  EXPECT_EQ(e.compressedSize, 2u);
  EXPECT_EQ(archive[e.dataOffset], 0x03);
  EXPECT_EQ(archive[e.dataOffset + 1], 0x00);
}

// On a caller's handle at position P every recorded offset includes P, and
// the handle stays open and the caller's.
TEST(ZipWriterTest, ArchiveOnCallersHandleCountsFromItsPosition) {
  testsupport::TempRoot root;
  fs::path path = root.Dir("h") / "front.bin";
  HANDLE f = CreateFileW(path.wstring().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  Bytes front = RandomBytes(777, 4);
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(f, front.data(), static_cast<DWORD>(front.size()), &done, nullptr));
  ZipHandle* h = ZipWriterCreate(f, 0, kZipToHandle);
  ASSERT_NE(h, nullptr);
  Bytes data = TextBytes(40000, 5);
  EXPECT_EQ(ZipWriterAddBuffer(h, L"one.txt", data.data(), static_cast<DWORD>(data.size())), ZIP_OK);
  EXPECT_EQ(ZipWriterAddBuffer(h, L"two.txt", data.data(), 100), ZIP_OK);
  void* buffer = reinterpret_cast<void*>(1);
  DWORD length = 0;
  EXPECT_EQ(ZipWriterGetBuffer(h, &buffer, &length), ZIP_E_NOT_MEMORY);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(ZipWriterClose(h), ZIP_OK);
  // Still the caller's: writable after the writer is gone.
  EXPECT_TRUE(WriteFile(f, "", 0, &done, nullptr));
  EXPECT_TRUE(CloseHandle(f));

  Bytes bytes = ReadBytes(path);
  ASSERT_TRUE(std::equal(front.begin(), front.end(), bytes.begin()));
  ParsedArchive a = ParseArchive(bytes);
  EXPECT_EQ(a.entries.at(0).localOffset, 777u);
  EXPECT_EQ(a.centralOffset, a.endRecord - a.centralSize);
  EXPECT_TRUE(EntryData(bytes, a.entries[0]) == data);
  EXPECT_EQ(RunQuietly("unzip -tq " + Quote(path)), 0);
}

TEST(ZipWriterTest, MemoryArchiveHoldsOneByteLessThanItsCapacity) {
  testsupport::TempRoot root;  // the code pages come from its store
  // The archives are compared byte for byte: their entry times must not
  // cross a second between the builds.
  testsupport::DrivenClock clock(root, 1796825109);
  Bytes data = TextBytes(3000, 6);
  auto build = [&](std::vector<std::uint8_t>& buffer, DWORD& length) {
    ZipHandle* h = ZipWriterCreate(buffer.data(), static_cast<DWORD>(buffer.size()), kZipToMemory);
    EXPECT_NE(h, nullptr);
    DWORD add = ZipWriterAddBuffer(h, L"a.txt", data.data(), static_cast<DWORD>(data.size()));
    void* out = nullptr;
    DWORD got = ZipWriterGetBuffer(h, &out, &length);
    EXPECT_EQ(ZipWriterClose(h), ZIP_OK) << "finished once only";
    return std::make_pair(add, got);
  };
  std::vector<std::uint8_t> roomy(1 << 16, 0xCC);
  DWORD size = 0;
  ASSERT_EQ(build(roomy, size), std::make_pair(ZIP_OK, ZIP_OK));
  // Closing after GetBuffer wrote nothing more.
  EXPECT_EQ(roomy[size], 0xCC);

  std::vector<std::uint8_t> exact(size + 1);
  DWORD length = 0;
  EXPECT_EQ(build(exact, length), std::make_pair(ZIP_OK, ZIP_OK));
  EXPECT_EQ(length, size);
  EXPECT_TRUE(std::equal(exact.begin(), exact.begin() + size, roomy.begin()));

  std::vector<std::uint8_t> tight(size);
  EXPECT_EQ(build(tight, length), std::make_pair(ZIP_OK, ZIP_E_WRITE)) << "the end record does not fit";
}

// ZipMemoryArchiveBound is enough for any data of its length under the
// longest name the writer takes: random bytes (stored blocks), random bytes
// of the literals that cost nine bits in fixed codes, runs, text; short and
// long.
TEST(ZipWriterTest, MemoryArchiveOfTheBoundHoldsAnyEntryOfItsLength) {
  testsupport::TempRoot root;
  const std::wstring name = std::wstring(255, L'n') + L".p7s";  // 259 bytes
  Bytes highLiterals = RandomBytes(70000, 7);
  for (std::uint8_t& byte : highLiterals) byte = static_cast<std::uint8_t>(144 + byte % 112);
  const std::pair<const char*, Bytes> cases[] = {
      {"one byte", RandomBytes(1, 1)},
      {"random 100", RandomBytes(100, 2)},
      {"random 4095", RandomBytes(4095, 3)},
      {"random 65536", RandomBytes(65536, 4)},
      {"random 1 MiB + 7", RandomBytes((1 << 20) + 7, 5)},
      {"nine-bit literals", highLiterals},
      {"run", Bytes(300000, 0x41)},
      {"text", TextBytes(200000, 6)},
  };
  for (const auto& [what, data] : cases) {
    SCOPED_TRACE(what);
    const std::uint64_t bound = ZipMemoryArchiveBound(data.size());
    ASSERT_LT(bound, 0xFFFFFFFFull);
    Bytes archive = BuildInMemory(
        [&](ZipHandle* h) {
          EXPECT_EQ(ZipWriterAddBuffer(h, name.c_str(), data.data(), static_cast<DWORD>(data.size())), ZIP_OK);
        },
        static_cast<DWORD>(bound));
    EXPECT_LT(archive.size(), bound);
    ParsedArchive parsed = ParseArchive(archive);
    ASSERT_EQ(parsed.entries.size(), 1u);
    EXPECT_TRUE(EntryData(archive, parsed.entries[0]) == data);
  }
  // No memory archive holds an entry near 4 GiB.
  EXPECT_GT(ZipMemoryArchiveBound(0xFFFFFFFFull - 1000), 0xFFFFFFFFull);
}

TEST(ZipWriterTest, StickyAndFinishedStates) {
  testsupport::TempRoot root;  // the code pages come from its store
  Bytes data = RandomBytes(5000, 7);
  std::vector<std::uint8_t> small(2000);
  ZipHandle* h = ZipWriterCreate(small.data(), static_cast<DWORD>(small.size()), kZipToMemory);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(ZipWriterAddBuffer(h, L"big.bin", data.data(), static_cast<DWORD>(data.size())), ZIP_E_MEMORY_SIZE);
  EXPECT_EQ(ZipWriterAddBuffer(h, L"small.bin", data.data(), 10), ZIP_E_FAILED);
  // Finishing still writes what fits: an archive without the failed entry.
  void* out = nullptr;
  DWORD length = 0;
  EXPECT_EQ(ZipWriterGetBuffer(h, &out, &length), ZIP_OK);
  EXPECT_EQ(ParseArchive(Bytes(small.data(), small.data() + length)).count, 0);
  EXPECT_EQ(ZipWriterClose(h), ZIP_OK);

  h = ZipWriterCreate(nullptr, 1 << 20, kZipToMemory);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(ZipWriterAddBuffer(h, L"x", data.data(), 10), ZIP_OK);
  EXPECT_EQ(ZipWriterGetBuffer(h, &out, &length), ZIP_OK);
  EXPECT_EQ(ZipWriterAddBuffer(h, L"y", data.data(), 10), ZIP_E_ENDED);
  EXPECT_EQ(ZipWriterGetBuffer(h, &out, &length), ZIP_OK);
  EXPECT_EQ(ParseArchive(Bytes(static_cast<std::uint8_t*>(out), static_cast<std::uint8_t*>(out) + length)).count, 1);
  EXPECT_EQ(ZipWriterClose(h), ZIP_OK);
}

TEST(ZipWriterTest, BadArgumentsLeaveTheArchiveAsItWas) {
  testsupport::TempRoot root;
  Bytes data = TextBytes(100, 8);
  fs::path missing = root.path() / "no-such-file";
  std::wstring longName(260, L'n');
  Bytes archive = BuildInMemory([&](ZipHandle* h) {
    EXPECT_EQ(ZipWriterAddBuffer(h, L"", data.data(), 100), ZIP_E_ARGS);
    EXPECT_EQ(ZipWriterAddBuffer(h, nullptr, data.data(), 100), ZIP_E_ARGS);
    EXPECT_EQ(ZipWriterAddBuffer(h, L"zero", data.data(), 0), ZIP_E_ARGS);
    EXPECT_EQ(ZipWriterAddBuffer(h, L"null", nullptr, 10), ZIP_E_ARGS);
    EXPECT_EQ(ZipWriterAddBuffer(h, longName.c_str(), data.data(), 100), ZIP_E_ARGS);
    EXPECT_EQ(ZipWriterAddFile(h, L"gone", missing.wstring().c_str()), ZIP_E_NO_FILE);
    EXPECT_EQ(ZipWriterAddBuffer(h, std::wstring(259, L'n').c_str(), data.data(), 100), ZIP_OK);
  });
  ParsedArchive a = ParseArchive(archive);
  ASSERT_EQ(a.count, 1);
  EXPECT_EQ(a.entries[0].localOffset, 0u) << "nothing was written before the good entry";
}

TEST(ZipWriterTest, NamesAreWrittenInTheAnsiCodePageAndReadBackUnchanged) {
  testsupport::TempRoot root;  // the code pages come from its store (UTF-8 by default)
  Bytes data = TextBytes(10, 9);
  Bytes archive = BuildInMemory([&](ZipHandle* h) {
    EXPECT_EQ(ZipWriterAddBuffer(h, L"Отчёт.txt", data.data(), 10), ZIP_OK);
    EXPECT_EQ(ZipWriterAddBuffer(h, L"plain.txt", data.data(), 10), ZIP_OK);
  });
  ParsedArchive parsed = ParseArchive(archive);
  const ParsedEntry& cyrillic = parsed.entries.at(0);
  EXPECT_EQ(cyrillic.name, "Отчёт.txt");
  EXPECT_EQ(cyrillic.centralFlags & 0x0800, 0x0800) << "a UTF-8 name says so";
  EXPECT_EQ(cyrillic.localFlags & 0x0800, 0x0800);
  EXPECT_EQ(parsed.entries.at(1).centralFlags & 0x0800, 0) << "a plain ASCII name needs no flag";

  fs::path file = root.path() / "names.zip";
  WriteBytes(file, archive);
  DWORD rc = 1;
  ZipHandle* reader = ZipReaderOpen(file.wstring().c_str(), &rc);
  ASSERT_NE(reader, nullptr) << rc;
  ZipEntryInfo info{};
  ASSERT_EQ(ZipReaderGetItem(reader, 0, &info), ZIP_OK);
  EXPECT_EQ(std::wstring(info.name), L"Отчёт.txt");
  ZipReaderClose(reader);
}

TEST(ZipWriterTest, NamesFollowAWindowsAnsiCodePageWithoutTheUtf8Flag) {
  testsupport::TempRoot root;
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", 0, nullptr,
                            0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const char16_t page[] = u"1251";
  ASSERT_EQ(RegSetValueExW(key, L"ACP", 0, REG_SZ, reinterpret_cast<const BYTE*>(page), sizeof(page)), ERROR_SUCCESS);
  RegCloseKey(key);
  platform::ReloadCodePages();
  Bytes data = TextBytes(10, 9);
  Bytes archive = BuildInMemory([&](ZipHandle* h) {
    EXPECT_EQ(ZipWriterAddBuffer(h, L"Отчёт.txt", data.data(), 10), ZIP_OK);
  });
  // Windows-1251: О=0xCE т=0xF2 ч=0xF7 ё=0xB8 т=0xF2
  ParsedArchive parsed = ParseArchive(archive);
  const ParsedEntry& entry = parsed.entries.at(0);
  EXPECT_EQ(entry.name, "\xCE\xF2\xF7\xB8\xF2.txt");
  EXPECT_EQ(entry.centralFlags & 0x0800, 0);
  platform::ReloadCodePages();
}

TEST(ZipWriterTest, HandleKindsAreChecked) {
  testsupport::TempRoot root;
  ZipHandle* writer = ZipWriterCreate(nullptr, 1000, kZipToMemory);
  ASSERT_NE(writer, nullptr);
  void* out = reinterpret_cast<void*>(1);
  DWORD length = 5;
  EXPECT_EQ(ZipWriterAddBuffer(nullptr, L"a", "x", 1), ZIP_E_ARGS);
  EXPECT_EQ(ZipWriterAddFile(nullptr, L"a", L"/x"), ZIP_E_ARGS);
  EXPECT_EQ(ZipWriterGetBuffer(nullptr, &out, &length), ZIP_E_ARGS);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(ZipWriterClose(nullptr), ZIP_E_ARGS);
  EXPECT_EQ(ZipReaderClose(writer), ZIP_E_MIXED_MODE);
  EXPECT_EQ(ZipReaderExtractFirst(writer, L"/tmp/x"), ZIP_E_MIXED_MODE);
  EXPECT_EQ(ZipReaderSetBaseDir(writer), ZIP_E_MIXED_MODE);
  EXPECT_EQ(ZipWriterAddBuffer(writer, L"still.txt", "x", 1), ZIP_OK) << "left open";
  EXPECT_EQ(ZipWriterClose(writer), ZIP_OK);

  EXPECT_EQ(ZipWriterCreate(nullptr, 0, kZipToMemory), nullptr);
  EXPECT_EQ(ZipLastWriterResult(), ZIP_E_MEMORY_SIZE);
  EXPECT_EQ(ZipWriterCreate(nullptr, 10, 7), nullptr);
  EXPECT_EQ(ZipLastWriterResult(), ZIP_E_ARGS);
}

TEST(ZipWriterTest, ResultTexts) {
  testsupport::TempRoot root;
  fs::path bad = root.path() / "missing-folder" / "a.zip";
  EXPECT_EQ(ZipWriterCreate(const_cast<wchar_t*>(bad.wstring().c_str()), 0, kZipToFile), nullptr);
  char text[1024];
  DWORD n = ZipResultText(ZIP_LAST_WRITER_RESULT, text);
  EXPECT_STREQ(text, "Не удалось создать/открыть файл");
  EXPECT_EQ(n, std::strlen(text));
  EXPECT_EQ(ZipResultText(ZIP_E_ENCRYPTED, nullptr), std::strlen("Неизвестный возвратный zip код"));
  ZipResultText(ZIP_E_ENCRYPTED, text);
  EXPECT_STREQ(text, "Неизвестный возвратный zip код");
  ZipResultText(ZIP_E_MEMORY_SIZE, text);
  EXPECT_STREQ(text, "Caller: для zip архива выделено недостаточно места");
}

// Without ZIP64 nothing may pass 4 GiB: a big source is refused before any
// byte is written, and an archive that would cross the limit stops there.
TEST(ZipWriterTest, SourcesAndArchivesPastFourGigabytesAreRefused) {
  testsupport::TempRoot root;
  fs::path big = root.Dir("big") / "sparse.bin";
  HANDLE f = CreateFileW(big.wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  LARGE_INTEGER at{};
  at.QuadPart = 0x100000000LL;
  ASSERT_TRUE(SetFilePointerEx(f, at, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(f));
  CloseHandle(f);
  Bytes archive = BuildInMemory([&](ZipHandle* h) {
    EXPECT_EQ(ZipWriterAddFile(h, L"sparse.bin", big.wstring().c_str()), ZIP_E_TOO_LARGE);
    EXPECT_EQ(ZipWriterAddBuffer(h, L"ok.txt", "ok", 2), ZIP_OK);
  });
  EXPECT_EQ(ParseArchive(archive).entries.at(0).localOffset, 0u);

  // An archive that starts just below 4 GiB on the caller's handle.
  fs::path near = root.Dir("big") / "near.bin";
  f = CreateFileW(near.wstring().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  at.QuadPart = 0xFFFFFF00LL;
  ASSERT_TRUE(SetFilePointerEx(f, at, nullptr, FILE_BEGIN));
  ZipHandle* h = ZipWriterCreate(f, 0, kZipToHandle);
  ASSERT_NE(h, nullptr);
  Bytes data = RandomBytes(1000, 10);
  EXPECT_EQ(ZipWriterAddBuffer(h, L"cross.bin", data.data(), 1000), ZIP_E_TOO_LARGE);
  EXPECT_EQ(ZipWriterAddBuffer(h, L"next.bin", data.data(), 10), ZIP_E_FAILED);
  EXPECT_EQ(ZipWriterClose(h), ZIP_OK) << "the end record still fits below 4 GiB";
  LARGE_INTEGER size{};
  ASSERT_TRUE(GetFileSizeEx(f, &size));
  EXPECT_LE(size.QuadPart, 0xFFFFFFFFLL);
  CloseHandle(f);
}

TEST(ZipWriterTest, FailedSourceReadFailsTheEntry) {
  testsupport::TempRoot root;
  // A file that opens and reports a position but cannot be read.
  Bytes archive = BuildInMemory([&](ZipHandle* h) {
    EXPECT_EQ(ZipWriterAddFile(h, L"mem", L"/proc/self/mem"), ZIP_E_READ);
    EXPECT_EQ(ZipWriterAddBuffer(h, L"after.txt", "ok", 2), ZIP_OK);
  });
  ParsedArchive a = ParseArchive(archive);
  ASSERT_EQ(a.count, 1);
  EXPECT_EQ(a.entries[0].name, "after.txt");
  EXPECT_GT(a.entries[0].localOffset, 0u) << "the failed entry's header stays outside the directory";
}

// An output that cannot seek (a pipe) gets each entry's CRC and sizes in a
// data descriptor after its data, and flag 8 in both headers.
TEST(ZipWriterTest, UnseekableOutputGetsDataDescriptors) {
  testsupport::TempRoot root;
  fs::path fifo = root.path() / "pipe";
  ASSERT_EQ(RunQuietly("mkfifo " + Quote(fifo)), 0);
  Bytes received;
  std::thread reader([&] { received = ReadBytes(fifo); });
  // Opening never blocks: until the reader has the pipe open, the open is
  // refused with 233 and tried again.
  HANDLE f = INVALID_HANDLE_VALUE;
  do {
    f = CreateFileW(fifo.wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) std::this_thread::yield();
  } while (f == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_NOT_CONNECTED);
  if (f == INVALID_HANDLE_VALUE) {
    { std::ofstream release(fifo); }
    reader.join();
    FAIL() << "cannot open the pipe";
  }
  Bytes text = TextBytes(100000, 11);
  ZipHandle* h = ZipWriterCreate(f, 0, kZipToHandle);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(ZipWriterAddBuffer(h, L"text.txt", text.data(), static_cast<DWORD>(text.size())), ZIP_OK);
  EXPECT_EQ(ZipWriterAddBuffer(h, L"inner.zip", text.data(), 500), ZIP_OK);
  EXPECT_EQ(ZipWriterClose(h), ZIP_OK);
  CloseHandle(f);
  reader.join();

  ParsedArchive a = ParseArchive(received);
  ASSERT_EQ(a.count, 2);
  for (const ParsedEntry& e : a.entries) {
    SCOPED_TRACE(e.name);
    EXPECT_EQ(e.localFlags, 0x0008);
    EXPECT_EQ(e.centralFlags, 0x0008);
    EXPECT_EQ(e.localCrc, 0u);
    std::size_t d = e.dataOffset + e.compressedSize;
    EXPECT_EQ(Get32(received, d), 0x08074B50u);
    EXPECT_EQ(Get32(received, d + 4), e.crc);
    EXPECT_EQ(Get32(received, d + 8), e.compressedSize);
    EXPECT_EQ(Get32(received, d + 12), e.uncompressedSize);
  }
  EXPECT_EQ(a.entries[1].localCompressedSize, 500u) << "a stored entry's size is known up front";
  EXPECT_TRUE(EntryData(received, a.entries[0]) == text);
  fs::path file = root.Dir("out") / "piped.zip";
  WriteBytes(file, received);
  EXPECT_EQ(RunQuietly("unzip -tq " + Quote(file)), 0);
  DWORD rc = 1;
  ZipHandle* r = ZipReaderOpen(file.wstring().c_str(), &rc);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(ZipReaderExtractFirst(r, (root.Dir("out") / "text.txt").wstring().c_str()), ZIP_OK);
  ZipReaderClose(r);
  EXPECT_TRUE(ReadBytes(root.Dir("out") / "text.txt") == text);
}

// The entry count is 16 bits without ZIP64: the 65536th entry is refused.
TEST(ZipWriterTest, AtMost65535Entries) {
  testsupport::TempRoot root;  // the code pages come from its store
  ZipHandle* h = ZipWriterCreate(nullptr, 32 << 20, kZipToMemory);
  ASSERT_NE(h, nullptr);
  for (int i = 0; i < 65535; i++) {
    std::wstring name = L"e" + std::to_wstring(i) + L".zip";  // stored: no compressor work
    DWORD rc = ZipWriterAddBuffer(h, name.c_str(), "x", 1);
    if (rc != ZIP_OK) FAIL() << "entry " << i << ": " << rc;
  }
  EXPECT_EQ(ZipWriterAddBuffer(h, L"one-more.zip", "x", 1), ZIP_E_TOO_LARGE);
  void* out = nullptr;
  DWORD length = 0;
  ASSERT_EQ(ZipWriterGetBuffer(h, &out, &length), ZIP_OK);
  Bytes archive(static_cast<std::uint8_t*>(out), static_cast<std::uint8_t*>(out) + length);
  EXPECT_EQ(ZipWriterClose(h), ZIP_OK);
  ParsedArchive a = ParseArchive(archive);
  EXPECT_EQ(a.count, 65535);
  EXPECT_EQ(a.entries.back().name, "e65534.zip");
}

}  // namespace
