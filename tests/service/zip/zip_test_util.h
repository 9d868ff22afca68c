#pragma once
// Helpers of the ZIP tests: bytes in and out of files, a plain parser of the
// records the writer produces, raw inflate with zlib, and running the
// outside archivers (zip, unzip) on a test's own files.

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace ziptest {

using Bytes = std::vector<std::uint8_t>;

inline Bytes ReadBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::filesystem::path& p, const Bytes& b) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

inline Bytes RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

inline Bytes TextBytes(std::size_t n, unsigned seed) {
  static const char* words[] = {"file", "rule", "archive", "the", "signature", "key", "zip", "journal"};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) {
    s += words[rng() % 8];
    s += ' ';
  }
  s.resize(n);
  return Bytes(s.begin(), s.end());
}

inline std::uint16_t Get16(const Bytes& b, std::size_t at) {
  return static_cast<std::uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}
inline std::uint32_t Get32(const Bytes& b, std::size_t at) {
  return static_cast<std::uint32_t>(Get16(b, at)) | static_cast<std::uint32_t>(Get16(b, at + 2)) << 16;
}
inline void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; i++) b.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
}

// One entry as the central directory and its local header describe it.
struct ParsedEntry {
  std::uint16_t versionMadeBy, centralFlags, method, localFlags;
  std::uint32_t dosTime, crc, compressedSize, uncompressedSize, externalAttributes, localOffset;
  std::uint32_t localCrc, localCompressedSize, localUncompressedSize;
  std::string name;
  Bytes centralExtra, localExtra;
  std::size_t dataOffset;  // in the bytes given to ParseArchive
};

struct ParsedArchive {
  std::uint32_t centralOffset = 0, centralSize = 0;
  std::uint16_t count = 0;
  std::size_t endRecord = 0;
  std::vector<ParsedEntry> entries;
};

// Parses an archive whose end record is the last 22 bytes; `base` is the
// position of the archive's first byte in `b` subtracted from its offsets.
inline ParsedArchive ParseArchive(const Bytes& b, std::size_t base = 0) {
  ParsedArchive a;
  a.endRecord = b.size() - 22;
  if (Get32(b, a.endRecord) != 0x06054B50) throw std::runtime_error("no end record");
  a.count = Get16(b, a.endRecord + 10);
  a.centralSize = Get32(b, a.endRecord + 12);
  a.centralOffset = Get32(b, a.endRecord + 16);
  std::size_t p = a.centralOffset - base;
  for (int i = 0; i < a.count; i++) {
    if (Get32(b, p) != 0x02014B50) throw std::runtime_error("bad central header");
    ParsedEntry e{};
    e.versionMadeBy = Get16(b, p + 4);
    e.centralFlags = Get16(b, p + 8);
    e.method = Get16(b, p + 10);
    e.dosTime = Get32(b, p + 12);
    e.crc = Get32(b, p + 16);
    e.compressedSize = Get32(b, p + 20);
    e.uncompressedSize = Get32(b, p + 24);
    std::uint16_t n = Get16(b, p + 28), x = Get16(b, p + 30), c = Get16(b, p + 32);
    e.externalAttributes = Get32(b, p + 38);
    e.localOffset = Get32(b, p + 42);
    e.name.assign(b.begin() + p + 46, b.begin() + p + 46 + n);
    e.centralExtra.assign(b.begin() + p + 46 + n, b.begin() + p + 46 + n + x);
    std::size_t l = e.localOffset - base;
    if (Get32(b, l) != 0x04034B50) throw std::runtime_error("bad local header");
    e.localFlags = Get16(b, l + 6);
    e.localCrc = Get32(b, l + 14);
    e.localCompressedSize = Get32(b, l + 18);
    e.localUncompressedSize = Get32(b, l + 22);
    std::uint16_t ln = Get16(b, l + 26), lx = Get16(b, l + 28);
    e.localExtra.assign(b.begin() + l + 30 + ln, b.begin() + l + 30 + ln + lx);
    e.dataOffset = l + 30 + ln + lx;
    a.entries.push_back(e);
    p += 46 + n + x + c;
  }
  return a;
}

// The entry's data, inflated with zlib when deflated.
inline Bytes EntryData(const Bytes& archive, const ParsedEntry& e) {
  Bytes raw(archive.begin() + e.dataOffset, archive.begin() + e.dataOffset + e.compressedSize);
  if (e.method == 0) return raw;
  z_stream z{};
  inflateInit2(&z, -15);
  Bytes out(e.uncompressedSize + 1);
  z.next_in = raw.data();
  z.avail_in = static_cast<uInt>(raw.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  int rc = inflate(&z, Z_FINISH);
  out.resize(z.total_out);
  inflateEnd(&z);
  if (rc != Z_STREAM_END) throw std::runtime_error("inflate failed");
  return out;
}

// Runs a shell command line quietly; 0 when it succeeded.
inline int RunQuietly(const std::string& command) {
  return std::system(("(" + command + ") >/dev/null 2>&1").c_str());
}

inline std::string Quote(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

}  // namespace ziptest
