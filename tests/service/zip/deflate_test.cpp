// The writer's own DEFLATE compressor, checked by inflating its streams with
// zlib and by the sizes that its block and match decisions must give.

#include "service/zip/deflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>
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


// A small DEFLATE decoder that records what the stream says, block by block
// and symbol by symbol, so that the compressor's decisions can be checked.
struct Symbol {
  bool match;
  unsigned value;     // the literal, or the match length
  unsigned distance;  // of a match
};
struct Block {
  int type;  // 0 stored, 1 fixed, 2 dynamic
  bool last;
  std::size_t storedLength = 0;
  std::vector<Symbol> symbols;
};

class StreamReader {
 public:
  explicit StreamReader(const Bytes& b) : b_(b) {}
  std::vector<Block> Blocks() {
    std::vector<Block> blocks;
    bool last = false;
    while (!last) {
      Block block{};
      block.last = last = Bits(1) == 1;
      block.type = static_cast<int>(Bits(2));
      if (block.type == 0) {
        bit_ = (bit_ + 7) & ~std::size_t{7};
        unsigned len = Bits(16), nlen = Bits(16);
        EXPECT_EQ(len, (~nlen) & 0xFFFF);
        block.storedLength = len;
        bit_ += 8 * len;
      } else if (block.type == 1) {
        std::vector<int> lit(288), dist(30, 5);
        for (int i = 0; i < 288; i++) lit[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
        Symbols(Huffman(lit), Huffman(dist), block);
      } else if (block.type == 2) {
        unsigned hlit = Bits(5) + 257, hdist = Bits(5) + 1, hclen = Bits(4) + 4;
        static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
        std::vector<int> cl(19, 0);
        for (unsigned i = 0; i < hclen; i++) cl[order[i]] = static_cast<int>(Bits(3));
        Code clc = Huffman(cl);
        std::vector<int> lengths;
        while (lengths.size() < hlit + hdist) {
          int sym = Decode(clc);
          if (sym < 16) {
            lengths.push_back(sym);
          } else if (sym == 16) {
            int prev = lengths.back();
            for (unsigned n = 3 + Bits(2); n > 0; n--) lengths.push_back(prev);
          } else {
            unsigned n = sym == 17 ? 3 + Bits(3) : 11 + Bits(7);
            lengths.insert(lengths.end(), n, 0);
          }
        }
        Symbols(Huffman(std::vector<int>(lengths.begin(), lengths.begin() + hlit)),
                Huffman(std::vector<int>(lengths.begin() + hlit, lengths.end())), block);
      } else {
        ADD_FAILURE() << "reserved block type";
        return blocks;
      }
      blocks.push_back(std::move(block));
    }
    return blocks;
  }

 private:
  struct Code {
    std::vector<int> count, symbol;
  };
  unsigned Bits(int n) {
    unsigned v = 0;
    for (int i = 0; i < n; i++, bit_++) v |= ((b_.at(bit_ / 8) >> (bit_ % 8)) & 1u) << i;
    return v;
  }
  static Code Huffman(const std::vector<int>& lengths) {
    Code c{std::vector<int>(16, 0), std::vector<int>(lengths.size())};
    for (int l : lengths) c.count[l]++;
    std::vector<int> offs(16, 0);
    for (int l = 1; l < 15; l++) offs[l + 1] = offs[l] + c.count[l];
    for (std::size_t s = 0; s < lengths.size(); s++) {
      if (lengths[s] != 0) c.symbol[offs[lengths[s]]++] = static_cast<int>(s);
    }
    return c;
  }
  int Decode(const Code& c) {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len <= 15; len++) {
      code |= static_cast<int>(Bits(1));
      int count = c.count[len];
      if (code - count < first) return c.symbol[index + (code - first)];
      index += count;
      first = (first + count) << 1;
      code <<= 1;
    }
    throw std::runtime_error("bad code");
  }
  void Symbols(const Code& lit, const Code& dist, Block& block) {
    static const unsigned lbase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                       31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    static const int lext[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static const unsigned dbase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                       193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    static const int dext[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    for (;;) {
      int sym = Decode(lit);
      if (sym < 256) {
        block.symbols.push_back({false, static_cast<unsigned>(sym), 0});
      } else if (sym == 256) {
        return;
      } else {
        sym -= 257;
        unsigned length = lbase[sym] + Bits(lext[sym]);
        int d = Decode(dist);
        unsigned distance = dbase[d] + Bits(dext[d]);
        block.symbols.push_back({true, length, distance});
      }
    }
  }
  const Bytes& b_;
  std::size_t bit_ = 0;
};

std::vector<Block> BlocksOf(const Bytes& input) {
  Compressed c = Deflate(input);
  EXPECT_TRUE(RawInflate(c.stream) == input);
  return StreamReader(c.stream).Blocks();
}

// The symbol that codes the byte at `position` of the input.
Symbol SymbolAt(const std::vector<Block>& blocks, std::size_t position) {
  std::size_t at = 0;
  for (const Block& b : blocks) {
    if (b.type == 0) {
      if (position < at + b.storedLength) return {false, 0xFFFF, 0};
      at += b.storedLength;
      continue;
    }
    for (const Symbol& s : b.symbols) {
      std::size_t covers = s.match ? s.value : 1;
      if (position < at + covers) return s;
      at += covers;
    }
  }
  ADD_FAILURE() << "position past the stream";
  return {};
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
  std::vector<Block> blocks = BlocksOf(run);
  ASSERT_EQ(blocks.size(), 1u);
  const auto& symbols = blocks[0].symbols;
  // Position 0 stands for "no position" in the hash chains, so the first two
  // bytes are literals; then matches of 258 at distance 1, the last shorter.
  ASSERT_GE(symbols.size(), 3u);
  EXPECT_FALSE(symbols[0].match);
  EXPECT_FALSE(symbols[1].match);
  std::size_t covered = 2;
  for (std::size_t i = 2; i < symbols.size(); i++) {
    ASSERT_TRUE(symbols[i].match);
    EXPECT_EQ(symbols[i].distance, 1u);
    if (i + 1 < symbols.size()) {
      EXPECT_EQ(symbols[i].value, 258u);
    }
    covered += symbols[i].value;
  }
  EXPECT_LT(symbols.back().value, 258u);
  EXPECT_EQ(covered, run.size());
}

TEST(DeflateTest, BlockKindFollowsTheCheapestCoding) {
  struct Case {
    const char* what;
    Bytes input;
    int type;
  } cases[] = {
      {"empty", Bytes{}, 1},
      {"short text", Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'h', 'e', 'l', 'l', 'o', ' ', 'h', 'e', 'l', 'l', 'o'}, 1},
      {"noise held in the window", RandomBytes(30000, 20), 0},
      {"long text", TextBytes(20000, 21), 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<Block> blocks = BlocksOf(c.input);
    ASSERT_FALSE(blocks.empty());
    EXPECT_EQ(blocks[0].type, c.type);
    EXPECT_TRUE(blocks.back().last);
  }
}

// A 3-byte repeat further back than 4096 bytes costs more as a match than as
// literals; a 4-byte repeat at the same distance is a match.
TEST(DeflateTest, ShortMatchesFarBackAreLiterals) {
  const std::size_t first = 1000, second = 6000;
  for (unsigned repeat : {3u, 4u}) {
    SCOPED_TRACE(repeat);
    // Periodic filler (so the block is Huffman-coded, not stored), with
    // random bytes around the two places that share `repeat` bytes.
    Bytes data(6100);
    for (std::size_t i = 0; i < data.size(); i++) data[i] = static_cast<std::uint8_t>(i % 251);
    Bytes noise = RandomBytes(200, 22);
    std::copy(noise.begin(), noise.begin() + 8, data.begin() + first - 1);
    std::copy(noise.begin() + 100, noise.end(), data.begin() + second - 1);
    std::copy(data.begin() + first, data.begin() + first + repeat, data.begin() + second);
    data[second - 1] = static_cast<std::uint8_t>(data[first - 1] + 1);
    data[second + repeat] = static_cast<std::uint8_t>(data[first + repeat] + 1);

    std::vector<Block> blocks = BlocksOf(data);
    ASSERT_NE(blocks[0].type, 0);
    Symbol s = SymbolAt(blocks, second);
    if (repeat == 3) {
      EXPECT_FALSE(s.match);
    } else {
      EXPECT_TRUE(s.match);
      EXPECT_EQ(s.value, 4u);
      EXPECT_EQ(s.distance, second - first);
    }
  }
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

// Records of 32-bit counters and short fields with some noise: the kind of
// structure executables and databases have, matched at many short distances.
Bytes RecordBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b;
  for (std::uint32_t i = 0; b.size() < n; i++) {
    const std::uint32_t noise = rng() % 5 == 0 ? static_cast<std::uint32_t>(rng()) : 0x1F;
    const std::uint32_t fields[] = {i, i * 16 + 0x400000, noise, i % 97};
    for (std::uint32_t f : fields) {
      for (int k = 0; k < 4; k++) b.push_back(static_cast<std::uint8_t>(f >> (8 * k)));
    }
  }
  b.resize(n);
  return b;
}

// The compressor's match and block decisions are fixed: the same input gives
// the same stream, byte for byte, whatever is done to make it faster. The
// sizes and CRC-32s below were taken from the compressor before each rework
// of its match finder.
TEST(DeflateTest, OutputIsPinnedForAFixedSetOfInputs) {
  Bytes mixed = TextBytes(400000, 31);
  Bytes noise = RandomBytes(70000, 32);
  mixed.insert(mixed.begin() + 150000, noise.begin(), noise.end());
  Bytes runs;
  for (int i = 0; runs.size() < 300000; i++) runs.insert(runs.end(), 1 + (i * 37) % 700, static_cast<std::uint8_t>(i));
  // Blocks repeated at about the window's reach (32506 bytes): the chains
  // run up to and past the oldest position a match may start at.
  auto repeated = [](const Bytes& block, std::size_t n) {
    Bytes b;
    while (b.size() < n) b.insert(b.end(), block.begin(), block.end());
    b.resize(n);
    return b;
  };
  struct Case {
    const char* name;
    Bytes input;
    int level;
    std::uint64_t size;
    std::uint32_t crc;
  } cases[] = {
      {"text 3 MiB", TextBytes(3 << 20, 30), 8, 373308, 0x0a72d6dd},
      {"text 3 MiB, level 6", TextBytes(3 << 20, 30), 6, 399094, 0x5bb5cd74},
      {"text 3 MiB, level 4", TextBytes(3 << 20, 30), 4, 471093, 0xe7afec21},
      {"text 3 MiB, level 1", TextBytes(3 << 20, 30), 1, 565275, 0x5ea69800},
      {"records 2 MiB", RecordBytes(2 << 20, 33), 8, 808180, 0x8e093582},
      {"text with noise inside", mixed, 8, 122972, 0xa1561d23},
      {"runs of many lengths", runs, 8, 2471, 0x7e01b054},
      {"random block repeated at the reach", repeated(RandomBytes(32506, 36), 300000), 8, 36818, 0x403d8b50},
      {"random block repeated just past the reach", repeated(RandomBytes(32600, 35), 300000), 8, 300050, 0xee9c843d},
      {"text block repeated past the reach, level 6", repeated(TextBytes(33000, 37), 400000), 6, 51453, 0x0408be3b},
      {"random 200 KiB", RandomBytes(200 * 1024, 34), 8, 204835, 0x68013054},
      {"four bytes", Bytes{'a', 'b', 'a', 'b'}, 8, 6, 0xf641403b},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    zip::DeflateState state;
    state.SetLevel(c.level);
    Compressed out = Deflate(state, c.input, 4093);
    ASSERT_EQ(out.error, nullptr);
    const std::uint32_t crc =
        static_cast<std::uint32_t>(crc32(0, out.stream.data(), static_cast<uInt>(out.stream.size())));
    EXPECT_EQ(out.size, c.size);
    EXPECT_EQ(crc, c.crc) << std::hex << "0x" << crc;
    EXPECT_TRUE(RawInflate(out.stream) == c.input);
  }
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
