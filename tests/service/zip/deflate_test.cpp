// The writer's own DEFLATE compressor, checked by inflating its streams with
// zlib and by the sizes that its block and match decisions must give.

#include "service/zip/deflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Feeds a buffer to the compressor in pieces of at most `piece` bytes and
// collects its output; optionally refuses writes after `writeLimit` bytes.
class MemoryIo : public zip::DeflateIo {
 public:
  MemoryIo(const Bytes& input, std::size_t piece) : input_(input), piece_(piece) {}
  long ReadSource(std::uint8_t* buffer, std::size_t size) override {
    reads_++;
    std::size_t n = std::min({size, piece_, input_.size() - position_});
    if (n > 0) std::memcpy(buffer, input_.data() + position_, n);
    position_ += n;
    return static_cast<long>(n);
  }
  bool WriteArchive(const std::uint8_t* data, std::size_t size) override {
    EXPECT_LE(size, 65535u + 16384u);
    if (output.size() + size > writeLimit) return false;
    output.insert(output.end(), data, data + size);
    return true;
  }
  Bytes output;
  std::size_t writeLimit = SIZE_MAX;
  std::size_t reads_ = 0;
  std::size_t position_ = 0;

 private:
  const Bytes& input_;
  std::size_t piece_;
};

struct Compressed {
  Bytes stream;
  std::uint64_t size = 0;
  std::uint16_t flags = 0;
  const char* error = nullptr;
};

Compressed Deflate(zip::DeflateState& state, const Bytes& input, std::size_t piece = 1 << 20) {
  MemoryIo io(input, piece);
  std::vector<std::uint8_t> buffer(zip::kDeflateOutputBufferSize);
  Compressed c;
  c.size = state.DeflateEntry(c.flags, buffer.data(), io);
  c.stream = io.output;
  c.error = state.ErrorText();
  return c;
}

Compressed Deflate(const Bytes& input, std::size_t piece = 1 << 20) {
  zip::DeflateState state;
  return Deflate(state, input, piece);
}

// Inflates a raw DEFLATE stream with zlib; the stream must end exactly at the
// end of the data.
Bytes RawInflate(const Bytes& stream) {
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
  Bytes out;
  std::vector<std::uint8_t> chunk(1 << 16);
  z.next_in = const_cast<Bytef*>(stream.data());
  z.avail_in = static_cast<uInt>(stream.size());
  int rc;
  do {
    z.next_out = chunk.data();
    z.avail_out = static_cast<uInt>(chunk.size());
    rc = inflate(&z, Z_NO_FLUSH);
    out.insert(out.end(), chunk.data(), z.next_out);
  } while (rc == Z_OK);
  EXPECT_EQ(rc, Z_STREAM_END) << (z.msg ? z.msg : "");
  EXPECT_EQ(z.avail_in, 0u) << "bytes after the final block";
  inflateEnd(&z);
  return out;
}

std::size_t ZlibRawSize(const Bytes& input, int level) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&z, input.size()));
  z.next_in = const_cast<Bytef*>(input.data());
  z.avail_in = static_cast<uInt>(input.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  std::size_t n = z.total_out;
  deflateEnd(&z);
  return n;
}

Bytes RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

// Text-like data: words from a small vocabulary, so that it has both
// literals and matches of many lengths and distances.
Bytes TextBytes(std::size_t n, unsigned seed) {
  static const char* words[] = {"файл", "правило", "archive", "the", "signature", "ключ",
                                "service", "zip", "of", "данные", "\r\n", "journal", "0x40001"};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) {
    s += words[rng() % (sizeof(words) / sizeof(words[0]))];
    s += rng() % 7 == 0 ? ". " : " ";
  }
  s.resize(n);
  return Bytes(s.begin(), s.end());
}

TEST(DeflateTest, EmptyInputIsOneFixedBlockWithEndCode) {
  Compressed c = Deflate(Bytes{});
  EXPECT_EQ(c.error, nullptr);
  EXPECT_EQ(c.stream, (Bytes{0x03, 0x00}));
  EXPECT_EQ(c.size, 2u);
  EXPECT_EQ(c.flags, zip::kZipFlagMaximumCompression);
}

struct RoundTripCase {
  const char* name;
  Bytes input;
};

TEST(DeflateTest, StreamsInflateToTheInput) {
  Bytes run(100000, 'A');
  Bytes alternating(70000);
  for (std::size_t i = 0; i < alternating.size(); i++) alternating[i] = "ab"[i % 2];
  Bytes mixed = TextBytes(200000, 1);
  Bytes noise = RandomBytes(50000, 2);
  mixed.insert(mixed.begin() + 100000, noise.begin(), noise.end());
  const std::vector<RoundTripCase> cases = {
      {"one byte", Bytes{'x'}},
      {"two bytes", Bytes{'x', 'y'}},
      {"three equal bytes", Bytes{'z', 'z', 'z'}},
      {"run of 100000", run},
      {"alternating", alternating},
      {"text 1 MiB", TextBytes(1 << 20, 3)},
      {"random 300 KiB", RandomBytes(300 * 1024, 4)},
      {"text with noise inside", mixed},
      {"just past one slide", TextBytes(65275, 5)},
      {"exactly a window", TextBytes(65536, 6)},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    Compressed c = Deflate(tc.input);
    ASSERT_EQ(c.error, nullptr);
    EXPECT_EQ(c.size, c.stream.size());
    EXPECT_TRUE(RawInflate(c.stream) == tc.input);
  }
}

TEST(DeflateTest, StreamDoesNotDependOnHowTheSourceDeliversItsBytes) {
  Bytes input = TextBytes(300000, 7);
  Compressed whole = Deflate(input);
  for (std::size_t piece : {1u, 7u, 261u, 4096u, 65535u}) {
    SCOPED_TRACE(piece);
    Compressed pieces = Deflate(input, piece);
    EXPECT_TRUE(pieces.stream == whole.stream);
  }
}

TEST(DeflateTest, NothingCarriesOverBetweenEntriesOfOneState) {
  zip::DeflateState shared;
  Bytes first = TextBytes(150000, 8);
  Bytes second = TextBytes(90000, 9);
  Bytes tiny{'q', 'q'};
  Deflate(shared, first);
  Compressed again = Deflate(shared, second);
  Compressed afterTiny = (Deflate(shared, tiny), Deflate(shared, first));
  EXPECT_TRUE(again.stream == Deflate(second).stream);
  EXPECT_TRUE(afterTiny.stream == Deflate(first).stream);
  // An entry shorter than a hash's three bytes after a long one.
  EXPECT_TRUE(Deflate(shared, tiny).stream == Deflate(tiny).stream);
}

TEST(DeflateTest, RunOfIdenticalBytesBecomesMaximalMatches) {
  Bytes run(100000, 0x5A);
  Compressed c = Deflate(run);
  // One literal and 388 matches of 258 at distance 1: a few bits each.
  EXPECT_LT(c.size, 160u);
  EXPECT_TRUE(RawInflate(c.stream) == run);
}

TEST(DeflateTest, IncompressibleDataStaysCloseToItsSize) {
  Bytes noise = RandomBytes(1 << 20, 10);
  Compressed c = Deflate(noise);
  EXPECT_TRUE(RawInflate(c.stream) == noise);
  // Stored blocks cost 5 bytes; blocks whose start slid out of the window are
  // coded with Huffman codes and grow a little.
  EXPECT_LT(c.size, noise.size() + noise.size() / 20);
  // A block held in the window is stored: a 30000-byte input costs 5 bytes.
  Bytes small = RandomBytes(30000, 11);
  EXPECT_EQ(Deflate(small).size, small.size() + 5);
}

TEST(DeflateTest, CompressesTextAboutAsWellAsZlib) {
  Bytes text = TextBytes(2 << 20, 12);
  Compressed c = Deflate(text);
  std::size_t zlib9 = ZlibRawSize(text, 9);
  EXPECT_LT(static_cast<double>(c.size), zlib9 * 1.03) << "zlib level 9: " << zlib9;
}

// A repeat is found as far back as the window allows after the window slid,
// and not beyond: 32506 bytes.
TEST(DeflateTest, MatchesReachBackToTheWindowLimit) {
  auto sizeWithRepeatAt = [](std::size_t distance) {
    Bytes data = RandomBytes(70000, 13);  // slides the window first
    Bytes pattern = RandomBytes(2000, 14);
    std::copy(pattern.begin(), pattern.end(), data.begin() + 70000 - distance);
    data.insert(data.end(), pattern.begin(), pattern.end());
    Compressed c = Deflate(data);
    EXPECT_TRUE(RawInflate(c.stream) == data);
    return c.size;
  };
  std::uint64_t inside = sizeWithRepeatAt(32506);
  std::uint64_t outside = sizeWithRepeatAt(32507 + 300);
  EXPECT_GT(outside, inside + 1500);
}

TEST(DeflateTest, FailedWriteStopsTheEntryWithoutWritingMore) {
  Bytes input = RandomBytes(400000, 16);
  MemoryIo io(input, 1 << 20);
  io.writeLimit = 20000;
  zip::DeflateState state;
  std::vector<std::uint8_t> buffer(zip::kDeflateOutputBufferSize);
  std::uint16_t flags = 0;
  std::uint64_t size = state.DeflateEntry(flags, buffer.data(), io);
  EXPECT_TRUE(state.WriteFailed());
  EXPECT_LE(size, 20000u);
  EXPECT_EQ(size, io.output.size());
  // It stops reading soon after the failure instead of compressing on.
  EXPECT_LT(io.position_, 200000u);
  // The state is usable again for the next entry.
  Compressed next = Deflate(state, Bytes{'o', 'k'});
  EXPECT_FALSE(state.WriteFailed());
  EXPECT_TRUE(RawInflate(next.stream) == (Bytes{'o', 'k'}));
}

TEST(DeflateTest, LevelOutsideTheRangeFails) {
  zip::DeflateState state;
  state.SetLevel(9);
  Compressed c = Deflate(state, Bytes{'a'});
  ASSERT_NE(c.error, nullptr);
  EXPECT_STREQ(c.error, "bad pack level");
  EXPECT_TRUE(c.stream.empty());
}

}  // namespace
