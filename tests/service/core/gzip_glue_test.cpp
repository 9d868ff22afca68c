// The GZIP glue: files and buffers compressed with zlib and a gzip header,
// decompressed back, and every failure as a compression code with its text.

#include "service/core/gzip_glue.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/datetime.h"
#include "platform/files.h"
#include "service/core/result_codes.h"
#include "tests/support/temp_root.h"
#include "tests/support/wide_text.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes ReadBytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& p, const Bytes& b) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

Bytes SomeBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  // Half text-like, half noise: both deflate paths get work.
  for (std::size_t i = 0; i < n; i++) b[i] = i % 2 ? static_cast<std::uint8_t>(rng()) : "abcdefgh"[rng() % 8];
  return b;
}

// Paths here are the file system's UTF-8 bytes; the file routines take them
// as 8-bit text in the ANSI code page.
using testsupport::Wide;
std::string Ansi(const fs::path& p) { return platform::WideToMultiByte(Wide(p).GetString(), CP_ACP); }

struct GzipMember {
  std::uint8_t flags = 0;
  std::uint32_t mtime = 0;
  std::string name;
  Bytes data;
};

// Decompresses with zlib's gzip reader in memory and reads the first header.
GzipMember Gunzip(const Bytes& gz) {
  GzipMember m;
  m.flags = gz.at(3);
  m.mtime = static_cast<std::uint32_t>(gz.at(4) | gz.at(5) << 8 | gz.at(6) << 16 | gz.at(7) << 24);
  if (m.flags & 0x08) m.name = std::string(reinterpret_cast<const char*>(gz.data() + 10));
  z_stream z{};
  inflateInit2(&z, 15 + 16);
  z.next_in = const_cast<Bytef*>(gz.data());
  z.avail_in = static_cast<uInt>(gz.size());
  Bytes chunk(1 << 16);
  int rc;
  do {
    z.next_out = chunk.data();
    z.avail_out = static_cast<uInt>(chunk.size());
    rc = inflate(&z, Z_NO_FLUSH);
    m.data.insert(m.data.end(), chunk.data(), z.next_out);
  } while (rc == Z_OK);
  EXPECT_EQ(rc, Z_STREAM_END);
  EXPECT_EQ(z.avail_in, 0u);
  inflateEnd(&z);
  return m;
}

void SetLastWriteSeconds(const fs::path& p, std::int64_t seconds) {
  FILETIME t = platform::FileTimeFromTicks(static_cast<std::uint64_t>(seconds + platform::kSecondsFrom1601To1970) *
                                           10000000ull);
  HANDLE h = CreateFileW(Wide(p).GetString(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(SetFileTime(h, nullptr, nullptr, &t));
  CloseHandle(h);
}

std::string Text(DWORD code) {
  char text[1024];
  EXPECT_EQ(CompressionErrorText(code, text), 0u);
  return platform::WideToMultiByte(platform::MultiByteToWide(text, CP_ACP), CP_UTF8);
}

TEST(GzipGlueTest, FilesAreCompressedInChunksWithNameAndTime) {
  testsupport::TempRoot root;
  for (std::size_t size : {std::size_t{1}, std::size_t{524288}, std::size_t{524289}, std::size_t{1600000}}) {
    SCOPED_TRACE(size);
    fs::path source = root.Dir("in") / "данные.bin";
    fs::path target = root.Dir("out") / (std::to_string(size) + ".gz");
    Bytes data = SomeBytes(size, static_cast<unsigned>(size));
    WriteBytes(source, data);
    SetLastWriteSeconds(source, 1600000001);
    CString error;
    ASSERT_EQ(GzipOneFile(Ansi(source).c_str(), Ansi(target).c_str(), L"данные.bin", error), 0u);
    EXPECT_TRUE(error.IsEmpty());
    GzipMember m = Gunzip(ReadBytes(target));
    EXPECT_TRUE(m.data == data);
    EXPECT_EQ(m.flags & 0x01, 0x01) << "text flag";
    EXPECT_EQ(m.name, platform::WideToMultiByte(L"данные.bin", CP_ACP));
    EXPECT_EQ(m.mtime, 1600000001u);

    // And back with GunzipOneFile.
    fs::path back = root.Dir("back") / std::to_string(size);
    ASSERT_EQ(GunzipOneFile(Ansi(target).c_str(), Ansi(back).c_str(), error), 0u);
    EXPECT_TRUE(ReadBytes(back) == data);
  }
}

TEST(GzipGlueTest, FileFailuresGiveTheirCodesAndTexts) {
  testsupport::TempRoot root;
  fs::path empty = root.WriteFile("empty", "");
  fs::path target = root.Dir("out") / "t.gz";
  CString error;
  EXPECT_EQ(GzipOneFile(Ansi(empty).c_str(), Ansi(target).c_str(), L"empty", error), COMPRESS_E_SOURCE_EMPTY);
  EXPECT_EQ(platform::WideToMultiByte(error.GetString(), CP_UTF8), "Файл с исходными данными имеет нулевую длину");

  // A text the caller gave stays.
  error = L"своё";
  EXPECT_EQ(GzipOneFile(Ansi(root.path() / "missing").c_str(), Ansi(target).c_str(), L"x", error),
            COMPRESS_E_OPEN_SOURCE);
  EXPECT_EQ(error, CString(L"своё"));

  fs::path some = root.WriteFile("some", "some data");
  error.Empty();
  EXPECT_EQ(GzipOneFile(Ansi(some).c_str(), Ansi(root.path() / "no" / "dir" / "t.gz").c_str(), L"x", error),
            COMPRESS_E_CREATE_PACKED);
  // The source is held exclusively while it is compressed: one in use fails.
  HANDLE held = CreateFileW(Wide(some).GetString(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  error.Empty();
  EXPECT_EQ(GzipOneFile(Ansi(some).c_str(), Ansi(target).c_str(), L"x", error), COMPRESS_E_OPEN_SOURCE);
  CloseHandle(held);

  error.Empty();
  EXPECT_EQ(GunzipOneFile(Ansi(empty).c_str(), Ansi(target).c_str(), error), COMPRESS_E_PACKED_EMPTY);
  EXPECT_EQ(platform::WideToMultiByte(error.GetString(), CP_UTF8), "Файл с сжатыми данными имеет нулевую длину");
  error.Empty();
  EXPECT_EQ(GunzipOneFile(Ansi(root.path() / "missing").c_str(), Ansi(target).c_str(), error), COMPRESS_E_OPEN_PACKED);
}

// A target is always created new: a file of that name is never replaced and a
// link planted there (dangling or live) is never written through.
TEST(GzipGlueTest, TakenTargetsAreRefusedAndNeverWrittenThrough) {
  testsupport::TempRoot root;
  fs::path source = root.WriteFile("source", "some data to pack");
  fs::path packed = root.Dir("packed") / "source.gz";
  CString error;
  ASSERT_EQ(GzipOneFile(Ansi(source).c_str(), Ansi(packed).c_str(), L"source", error), 0u);
  struct Row {
    const char* what;
    bool link;
    bool linkTargetExists;
  };
  for (const Row& row : {Row{"file", false, false}, Row{"dangling link", true, false}, Row{"live link", true, true}}) {
    SCOPED_TRACE(row.what);
    fs::path out = root.Dir(std::string("out-") + row.what);
    fs::path elsewhere = root.path() / (std::string("elsewhere-") + row.what);
    if (row.linkTargetExists) WriteBytes(elsewhere, Bytes{'o', 'l', 'd'});
    for (const char* name : {"t.gz", "t"}) {
      if (row.link) {
        fs::create_symlink(elsewhere, out / name);
      } else {
        WriteBytes(out / name, Bytes{'o', 'l', 'd'});
      }
    }
    EXPECT_EQ(GzipOneFile(Ansi(source).c_str(), Ansi(out / "t.gz").c_str(), L"source", error),
              COMPRESS_E_CREATE_PACKED);
    EXPECT_EQ(GunzipOneFile(Ansi(packed).c_str(), Ansi(out / "t").c_str(), error), COMPRESS_E_CREATE_UNPACKED);
    EXPECT_EQ(row.link, fs::is_symlink(out / "t.gz"));
    if (row.linkTargetExists || !row.link) {
      EXPECT_TRUE(ReadBytes(row.link ? elsewhere : out / "t") == (Bytes{'o', 'l', 'd'}));
    } else {
      EXPECT_FALSE(fs::exists(elsewhere));
    }
  }
}

TEST(GzipGlueTest, GunzipRefusesWhatIsNotGzipAndReportsDamage) {
  testsupport::TempRoot root;
  fs::path plain = root.WriteFile("plain.txt", "this is not gzip data at all");
  fs::path target = root.Dir("out") / "plain";
  CString error;
  EXPECT_EQ(GunzipOneFile(Ansi(plain).c_str(), Ansi(target).c_str(), error), ERR_GZIP_HEADER_GET);
  EXPECT_FALSE(fs::exists(target)) << "nothing copied through";
  EXPECT_EQ(platform::WideToMultiByte(error.GetString(), CP_UTF8),
            "Не удалось получить гаголовок gzip файла с сжатыми данными");

  fs::path source = root.Dir("in") / "d.bin";
  WriteBytes(source, SomeBytes(300000, 1));
  fs::path gz = root.Dir("in") / "d.gz";
  ASSERT_EQ(GzipOneFile(Ansi(source).c_str(), Ansi(gz).c_str(), L"d.bin", error), 0u);
  Bytes good = ReadBytes(gz);

  Bytes damaged = good;
  damaged[damaged.size() / 2] ^= 0xFF;
  damaged[damaged.size() / 2 + 1] ^= 0x55;
  WriteBytes(gz, damaged);
  error.Empty();
  EXPECT_EQ(GunzipOneFile(Ansi(gz).c_str(), Ansi(target).c_str(), error), static_cast<DWORD>(Z_DATA_ERROR));
  EXPECT_EQ(error.Find(CString(Ansi(gz).c_str()) + L": "), 0) << "zlib's message after the path";

  WriteBytes(gz, Bytes(good.begin(), good.end() - 100));
  error.Empty();
  fs::remove(target);  // the partial target of the damaged data
  EXPECT_EQ(GunzipOneFile(Ansi(gz).c_str(), Ansi(target).c_str(), error), static_cast<DWORD>(Z_BUF_ERROR));
  EXPECT_NE(error.Find(L"unexpected end of file"), -1);
}

TEST(GzipGlueTest, ConcatenatedMembersAreAllDecompressed) {
  testsupport::TempRoot root;
  Bytes a = SomeBytes(1000, 2), b = SomeBytes(700000, 3);
  WriteBytes(root.Dir("in") / "a", a);
  WriteBytes(root.Dir("in") / "b", b);
  CString error;
  ASSERT_EQ(GzipOneFile(Ansi(root.Dir("in") / "a").c_str(), Ansi(root.Dir("in") / "a.gz").c_str(), L"a", error), 0u);
  ASSERT_EQ(GzipOneFile(Ansi(root.Dir("in") / "b").c_str(), Ansi(root.Dir("in") / "b.gz").c_str(), L"b", error), 0u);
  Bytes both = ReadBytes(root.Dir("in") / "a.gz");
  Bytes second = ReadBytes(root.Dir("in") / "b.gz");
  both.insert(both.end(), second.begin(), second.end());
  WriteBytes(root.Dir("in") / "ab.gz", both);
  ASSERT_EQ(GunzipOneFile(Ansi(root.Dir("in") / "ab.gz").c_str(), Ansi(root.Dir("out") / "ab").c_str(), error), 0u);
  Bytes expected = a;
  expected.insert(expected.end(), b.begin(), b.end());
  EXPECT_TRUE(ReadBytes(root.Dir("out") / "ab") == expected);
}

TEST(GzipGlueTest, BufferIsCompressedWithNameAndCurrentTime) {
  testsupport::TempRoot root;
  Bytes data = SomeBytes(200000, 4);
  DataBlob in{static_cast<uint32_t>(data.size()), data.data()};
  DataBlob out{0, nullptr};
  CString error;
  std::time_t before = std::time(nullptr);
  ASSERT_EQ(GzipBuffer(in, &out, L"report.txt", error), 0u);
  std::time_t after = std::time(nullptr);
  Bytes gz(out.data, out.data + out.length);
  std::free(out.data);
  GzipMember m = Gunzip(gz);
  EXPECT_TRUE(m.data == data);
  EXPECT_EQ(m.name, "report.txt");
  EXPECT_GE(m.mtime, static_cast<std::uint32_t>(before));
  EXPECT_LE(m.mtime, static_cast<std::uint32_t>(after));

  DataBlob nothing{0, nullptr};
  DataBlob untouched{7, reinterpret_cast<uint8_t*>(&untouched)};
  EXPECT_EQ(GzipBuffer(nothing, &untouched, L"x", error), COMPRESS_E_PACKED_EMPTY);
  EXPECT_EQ(untouched.length, 7u);
}

TEST(GzipGlueTest, CompressionErrorTexts) {
  testsupport::TempRoot root;  // the ANSI code page comes from its store
  struct Case {
    DWORD code;
    const char* text;
  } cases[] = {
      {0x40019, "Ошибка инициализации процедуры распаковки"},
      {5, "Описание ошибки не найдено"},
      {ERR_GZIP_HEADER_SET, "Не удалось задать гаголовок gzip файла с сжатыми данными"},
      {ERR_GZIP_TIME, "Не удалось получить время последнего изменения файла с сжатыми данными"},
      {0x40028, "Не удалось определить конец сжатых данных"},
  };
  for (const auto& c : cases) EXPECT_EQ(Text(c.code), c.text) << std::hex << c.code;
}

TEST(GzipGlueTest, FileTimeToTime64ReadsLocalTime) {
  testsupport::TempRoot root;
  SYSTEMTIME st{2021, 7, 0, 14, 12, 30, 45, 999};
  FILETIME local{};
  ASSERT_TRUE(SystemTimeToFileTime(&st, &local));
  std::tm tm{};
  tm.tm_year = 121;
  tm.tm_mon = 6;
  tm.tm_mday = 14;
  tm.tm_hour = 12;
  tm.tm_min = 30;
  tm.tm_sec = 45;
  tm.tm_isdst = -1;
  EXPECT_EQ(FileTimeToTime64(local), static_cast<LONGLONG>(std::mktime(&tm)));
}

// A source past 4 GiB: the gzip trailer keeps the size modulo 2^32 and the
// data decompresses whole. The source is sparse, so this costs little disk.
TEST(GzipGlueTest, SourceOfMoreThanFourGigabytes) {
  testsupport::TempRoot root;
  fs::path source = root.Dir("in") / "big.bin";
  const std::uint64_t size = 0x100000000ull + 5;
  {
    std::ofstream out(source, std::ios::binary);
  }
  fs::resize_file(source, size);
  fs::path gz = root.Dir("out") / "big.gz";
  CString error;
  ASSERT_EQ(GzipOneFile(Ansi(source).c_str(), Ansi(gz).c_str(), L"big.bin", error), 0u);
  Bytes packed = ReadBytes(gz);
  std::uint32_t isize = static_cast<std::uint32_t>(packed[packed.size() - 4] | packed[packed.size() - 3] << 8 |
                                                   packed[packed.size() - 2] << 16 | packed[packed.size() - 1] << 24);
  EXPECT_EQ(isize, 5u);
  // Count what it inflates to without keeping it.
  z_stream z{};
  inflateInit2(&z, 15 + 16);
  z.next_in = packed.data();
  z.avail_in = static_cast<uInt>(packed.size());
  Bytes chunk(1 << 20);
  std::uint64_t total = 0;
  bool allZero = true;
  int rc;
  do {
    z.next_out = chunk.data();
    z.avail_out = static_cast<uInt>(chunk.size());
    rc = inflate(&z, Z_NO_FLUSH);
    std::size_t n = chunk.size() - z.avail_out;
    for (std::size_t i = 0; i < n; i += 4093) allZero = allZero && chunk[i] == 0;
    total += n;
  } while (rc == Z_OK);
  inflateEnd(&z);
  EXPECT_EQ(rc, Z_STREAM_END);
  EXPECT_EQ(total, size);
  EXPECT_TRUE(allZero);
}

}  // namespace
