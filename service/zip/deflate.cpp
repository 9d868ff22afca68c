#include "service/zip/deflate.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace zip {
namespace {

constexpr unsigned kWindowSize = 32768;
constexpr unsigned kWindowMask = kWindowSize - 1;
constexpr unsigned kSlidingWindow = 2 * kWindowSize;
constexpr unsigned kMinMatch = 3;
constexpr unsigned kMaxMatch = 258;
constexpr unsigned kMinLookahead = kMaxMatch + kMinMatch + 1;  // 262
constexpr unsigned kMaxDistance = kWindowSize - kMinLookahead;  // 32506
constexpr unsigned kHashBits = 15;
constexpr unsigned kHashSize = 1u << kHashBits;
constexpr unsigned kHashMask = kHashSize - 1;
constexpr unsigned kHashShift = 5;
constexpr unsigned kTooFar = 4096;  // a 3-byte match further back costs more than literals
constexpr unsigned kNoPosition = 0;

constexpr unsigned kLiteralBufferSize = 0x8000;
constexpr unsigned kDistanceBufferSize = 0x8000;

constexpr int kMaxBits = 15;
constexpr int kMaxBitLengthBits = 7;
constexpr int kLengthCodes = 29;
constexpr int kLiterals = 256;
constexpr int kEndBlock = 256;
constexpr int kLiteralCodes = kLiterals + 1 + kLengthCodes;  // 286
constexpr int kFixedLiteralCodes = kLiteralCodes + 2;         // 288 with the two unused codes
constexpr int kDistanceCodes = 30;
constexpr int kBitLengthCodes = 19;
constexpr int kHeapSize = 2 * kLiteralCodes + 1;  // 573
constexpr int kRepeat3To6 = 16;
constexpr int kRepeatZero3To10 = 17;
constexpr int kRepeatZero11To138 = 18;

constexpr int kStoredBlock = 0;
constexpr int kFixedBlock = 1;
constexpr int kDynamicBlock = 2;

constexpr std::array<int, kLengthCodes> kExtraLengthBits = {
    0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<int, kDistanceCodes> kExtraDistanceBits = {
    0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::array<int, kBitLengthCodes> kExtraBitLengthBits = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
// The order in which the code-length code lengths are sent (RFC 1951 3.2.7).
constexpr std::array<std::uint8_t, kBitLengthCodes> kBitLengthOrder = {
    16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Level parameters: good length, lazy limit, nice length, chain limit.
struct LevelParameters {
  unsigned good, lazy, nice, chain;
};
constexpr std::array<LevelParameters, 9> kLevels = {{
    {0, 0, 0, 0},
    {4, 4, 8, 4},
    {4, 5, 16, 8},
    {4, 6, 32, 32},
    {4, 4, 16, 16},
    {8, 16, 32, 32},
    {8, 16, 128, 128},
    {8, 32, 128, 256},
    {32, 128, 258, 1024},
}};

// The window is followed by this many spare bytes, so that the match tail can
// be compared a word at a time up to its last byte.
constexpr unsigned kWindowPadding = 8;

std::uint64_t Load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// A word whose first n bytes in memory (at most 8) are all ones.
std::uint64_t FirstBytesMask(unsigned n) {
  std::array<std::uint8_t, 8> bytes{};
  std::fill_n(bytes.begin(), std::min(n, 8u), std::uint8_t{0xFF});
  return std::bit_cast<std::uint64_t>(bytes);
}

// The number of equal bytes at the start of scan and match, counted from the
// third (the first two are known equal) and at most maxLength.
unsigned CommonLength(const std::uint8_t* scan, const std::uint8_t* match, unsigned maxLength) {
  unsigned length = 2;
  if constexpr (std::endian::native == std::endian::little) {
    while (length < maxLength) {
      std::uint64_t a, b;
      std::memcpy(&a, scan + length, sizeof a);
      std::memcpy(&b, match + length, sizeof b);
      if (const std::uint64_t diff = a ^ b; diff != 0) {
        length += static_cast<unsigned>(std::countr_zero(diff)) / 8;
        return std::min(length, maxLength);
      }
      length += 8;
    }
    return maxLength;
  } else {
    while (length < maxLength && scan[length] == match[length]) length++;
    return length;
  }
}

unsigned ReverseBits(unsigned code, int length) {
  unsigned result = 0;
  do {
    result |= code & 1;
    code >>= 1;
    result <<= 1;
  } while (--length > 0);
  return result >> 1;
}

}  // namespace

namespace {

// A chain position after the window slid down by a window: positions that
// fall out of it become "none".
std::uint16_t Slid(std::uint16_t position) {
  return static_cast<std::uint16_t>(position >= kWindowSize ? position - kWindowSize : kNoPosition);
}

}  // namespace

// Code tables built for each entry (RFC 1951's length and distance codes and
// the fixed trees) and checked for consistency.
struct DeflateState::Tables {
  std::array<std::uint8_t, 256> lengthCode{};  // match length - 3 -> length code
  std::array<std::uint8_t, 512> distanceCode{};
  std::array<int, kLengthCodes> baseLength{};
  std::array<int, kDistanceCodes> baseDistance{};
  std::array<std::uint16_t, kFixedLiteralCodes> fixedLiteralCode{};
  std::array<std::uint16_t, kFixedLiteralCodes> fixedLiteralLength{};
  std::array<std::uint16_t, kDistanceCodes> fixedDistanceCode{};
  std::array<std::uint16_t, kDistanceCodes> fixedDistanceLength{};

  unsigned DistanceCode(unsigned distance) const {
    return distance < 256 ? distanceCode[distance] : distanceCode[256 + (distance >> 7)];
  }
};

// The three dynamic trees and the work space of their construction.
struct DeflateState::Trees {
  struct Tree {
    std::array<std::uint32_t, kHeapSize> freq{};
    std::array<std::uint16_t, kHeapSize> code{};
    std::array<std::uint16_t, kHeapSize> len{};
    std::array<std::uint16_t, kHeapSize> dad{};
    int elements = 0;
    int maxLength = 0;
    int maxCode = 0;
    const int* extraBits = nullptr;
    int extraBase = 0;
    const std::uint16_t* fixedLengths = nullptr;  // for counting the fixed size
  };
  std::array<Tree, 3> tree;  // 0 literal/length, 1 distance, 2 code lengths
  std::array<int, kHeapSize> heap{};
  int heapLength = 0;
  int heapMax = 0;
  std::array<std::uint8_t, kHeapSize> depth{};
  std::array<std::uint16_t, kMaxBits + 1> bitLengthCount{};

  bool Smaller(const Tree& t, int n, int m) const {
    return t.freq[n] < t.freq[m] || (t.freq[n] == t.freq[m] && depth[n] <= depth[m]);
  }
  // Restores the heap property by moving heap[k] down.
  void DownHeap(const Tree& t, int k) {
    int v = heap[k];
    int j = k << 1;
    while (j <= heapLength) {
      if (j < heapLength && Smaller(t, heap[j + 1], heap[j])) j++;
      if (Smaller(t, v, heap[j])) break;
      heap[k] = heap[j];
      k = j;
      j <<= 1;
    }
    heap[k] = v;
  }
};

DeflateState::DeflateState()
    : window_(new std::uint8_t[kSlidingWindow + kWindowPadding]()),
      head_(new std::uint16_t[kHashSize]()),
      links_(new DeflateChainLink[kWindowSize]()),
      tables_(std::make_unique<Tables>()),
      trees_(std::make_unique<Trees>()),
      literalBuffer_(new char8_t[kLiteralBufferSize]()),
      distanceBuffer_(new std::uint16_t[kDistanceBufferSize]()),
      flagBuffer_(new char8_t[kLiteralBufferSize / 8]()) {}

DeflateState::~DeflateState() = default;

void DeflateState::Fail(const char* text) {
  if (error_ == nullptr) error_ = text;
}

std::uint64_t DeflateState::DeflateEntry(std::uint16_t& flags, std::uint8_t* outputBuffer,
                                         DeflateIo& io) {
  io_ = &io;
  out_ = outputBuffer;
  outFill_ = 0;
  bitBuffer_ = 0;
  bitCount_ = 0;
  bitsSent_ = 0;
  bytesWritten_ = 0;
  error_ = nullptr;
  writeFailed_ = false;
  if (SetUpEntry(flags)) {
    DeflateLazy();
    if (!Failed() && bitsSent_ != bytesWritten_ * 8) Fail("bad compressed size");
  }
  io_ = nullptr;
  out_ = nullptr;
  return bytesWritten_;
}

// ---------------------------------------------------------------------------
// Setting up an entry.

bool DeflateState::BuildCodeTables() {
  Tables& t = *tables_;
  int length = 0;
  int code = 0;
  for (code = 0; code < kLengthCodes - 1; code++) {
    t.baseLength[code] = length;
    for (int n = 0; n < (1 << kExtraLengthBits[code]); n++) t.lengthCode[length++] = code;
  }
  if (length != 256) {
    Fail("ct_init: length != 256");
    return false;
  }
  // Length 258 has a code of its own with no extra bits; it replaces the last
  // value of code 27, which would need 5 extra bits for it.
  t.lengthCode[length - 1] = code;
  t.baseLength[code] = length - 1;

  int distance = 0;
  for (code = 0; code < 16; code++) {
    t.baseDistance[code] = distance;
    for (int n = 0; n < (1 << kExtraDistanceBits[code]); n++) t.distanceCode[distance++] = code;
  }
  if (distance != 256) {
    Fail("ct_init: dist != 256");
    return false;
  }
  distance >>= 7;  // from now on, all distances are divided by 128
  for (; code < kDistanceCodes; code++) {
    t.baseDistance[code] = distance << 7;
    for (int n = 0; n < (1 << (kExtraDistanceBits[code] - 7)); n++) {
      t.distanceCode[256 + distance++] = code;
    }
  }
  if (distance != 256) {
    Fail("ct_init: 256+dist != 512");
    return false;
  }

  // The fixed literal/length tree of RFC 1951 3.2.6.
  auto& count = trees_->bitLengthCount;
  count.fill(0);
  for (int n = 0; n < kFixedLiteralCodes; n++) {
    int bits = n <= 143 ? 8 : n <= 255 ? 9 : n <= 279 ? 7 : 8;
    t.fixedLiteralLength[n] = bits;
    count[bits]++;
  }
  GenerateCodes(t.fixedLiteralCode.data(), t.fixedLiteralLength.data(), kFixedLiteralCodes - 1);
  for (int n = 0; n < kDistanceCodes; n++) {
    t.fixedDistanceLength[n] = 5;
    t.fixedDistanceCode[n] = ReverseBits(n, 5);
  }
  return error_ == nullptr;
}

bool DeflateState::SetUpEntry(std::uint16_t& flags) {
  if (level_ < 1 || level_ > 8) {
    Fail("bad pack level");
    return false;
  }
  if (!BuildCodeTables()) return false;

  Trees& tr = *trees_;
  tr.tree[0].elements = kLiteralCodes;
  tr.tree[0].maxLength = kMaxBits;
  tr.tree[0].extraBits = kExtraLengthBits.data();
  tr.tree[0].extraBase = kLiterals + 1;
  tr.tree[0].fixedLengths = tables_->fixedLiteralLength.data();
  tr.tree[1].elements = kDistanceCodes;
  tr.tree[1].maxLength = kMaxBits;
  tr.tree[1].extraBits = kExtraDistanceBits.data();
  tr.tree[1].extraBase = 0;
  tr.tree[1].fixedLengths = tables_->fixedDistanceLength.data();
  tr.tree[2].elements = kBitLengthCodes;
  tr.tree[2].maxLength = kMaxBitLengthBits;
  tr.tree[2].extraBits = kExtraBitLengthBits.data();
  tr.tree[2].extraBase = 0;
  tr.tree[2].fixedLengths = nullptr;
  InitBlock();

  std::fill_n(head_.get(), kHashSize, kNoPosition);
  const LevelParameters& p = kLevels[level_];
  goodLength_ = p.good;
  lazyLimit_ = p.lazy;
  niceLength_ = p.nice;
  chainLimit_ = p.chain;
  if (level_ == 8) flags |= kZipFlagMaximumCompression;

  strStart_ = 0;
  blockStart_ = 0;
  matchStart_ = 0;
  insertHash_ = 0;
  lookahead_ = 0;
  endOfInput_ = false;
  long n = io_->ReadSource(window_.get(), kSlidingWindow);
  if (n <= 0) {
    endOfInput_ = true;
    return true;
  }
  lookahead_ = static_cast<unsigned>(std::min<long>(n, kSlidingWindow));
  while (lookahead_ < kMinLookahead && !endOfInput_ && !Failed()) FillWindow();
  for (unsigned j = 0; j < kMinMatch - 1; j++) {
    insertHash_ = ((insertHash_ << kHashShift) ^ window_[j]) & kHashMask;
  }
  return true;
}

// ---------------------------------------------------------------------------
// The window and the match search.

void DeflateState::FillWindow() {
  unsigned more = kSlidingWindow - lookahead_ - strStart_;
  if (strStart_ >= kWindowSize + kMaxDistance) {
    // Keep the last 32 KiB as history for the matches to come.
    std::memcpy(window_.get(), window_.get() + kWindowSize, kWindowSize);
    matchStart_ -= kWindowSize;
    strStart_ -= kWindowSize;
    blockStart_ -= kWindowSize;
    std::uint16_t* const head = head_.get();
    for (unsigned n = 0; n < kHashSize; n++) head[n] = Slid(head[n]);
    DeflateChainLink* const links = links_.get();
    for (unsigned n = 0; n < kWindowSize; n++) {
      links[n] = {Slid(links[n].previous), Slid(links[n].beforePrevious)};
    }
    more += kWindowSize;
  }
  if (more < 2) {
    Fail("more < 2");
    return;
  }
  long n = io_->ReadSource(window_.get() + strStart_ + lookahead_, more);
  if (n <= 0) {
    endOfInput_ = true;
  } else {
    lookahead_ += static_cast<unsigned>(std::min<long>(n, more));
  }
}

namespace {

// What the chain walk reads, copied out of the state so that the walk runs on
// locals: members would be reloaded on every step, since a store into the
// window or the chains could alias them for the compiler.
struct MatchSearch {
  const std::uint8_t* window;
  const DeflateChainLink* links;
  unsigned goodLength, niceLength, chainLimit;
};

// Walks the chain from chainHead for the longest match of the string at
// strStart that beats bestLength, and sets matchStart to where it begins.
// Returns the best length, at most the lookahead. A chain that reaches the
// string itself or a window too short for the search sets error.
inline unsigned LongestMatch(const MatchSearch& s, unsigned strStart, unsigned lookahead, unsigned bestLength,
                             unsigned chainHead, unsigned& matchStart, const char*& error) {
  unsigned chain = s.chainLimit;
  if (bestLength >= s.goodLength) chain >>= 2;
  const unsigned limit = strStart > kMaxDistance ? strStart - kMaxDistance : kNoPosition;
  // Never compare past the bytes actually read: the rest of the window holds
  // stale data of an earlier entry or block.
  const unsigned maxLength = std::min(kMaxMatch, lookahead);
  const unsigned nice = std::min(s.niceLength, lookahead);
  if (bestLength >= maxLength) return std::min(bestLength, lookahead);
  if (strStart + maxLength > kSlidingWindow) {
    error = "insufficient lookahead";
    return kMinMatch - 1;
  }
  const std::uint8_t* const window = s.window;
  const DeflateChainLink* const links = s.links;
  const std::uint8_t* const scan = window + strStart;
  // A candidate beats bestLength only if its bytes 0..bestLength all equal
  // the string's. Two words check most of that before the full compare: the
  // first 8 bytes and the 8 that end at bestLength, or, while bestLength is
  // below 7, only the first bestLength + 1 bytes.
  const std::uint64_t scanHead = Load64(scan);
  std::uint64_t headMask = 0, tailMask = 0, scanTail = 0;
  unsigned tailOffset = 0;
  const auto aimAtBest = [&] {
    headMask = FirstBytesMask(bestLength + 1);
    tailOffset = bestLength >= 7 ? bestLength - 7 : 0;
    tailMask = bestLength >= 7 ? ~std::uint64_t{0} : headMask;
    scanTail = Load64(scan + tailOffset);
  };
  aimAtBest();
  // Compares one candidate; true when the search is over: it found a match
  // long enough, or the chain is inconsistent.
  const auto compare = [&](unsigned candidate) {
    if (candidate >= strStart) {
      error = "no future";
      return true;
    }
    const std::uint8_t* const match = window + candidate;
    if ((((Load64(match) ^ scanHead) & headMask) | ((Load64(match + tailOffset) ^ scanTail) & tailMask)) != 0) {
      return false;
    }
    const unsigned length = CommonLength(scan, match, maxLength);
    if (length <= bestLength) return false;
    matchStart = candidate;
    bestLength = length;
    if (length >= nice) return true;
    aimAtBest();
    return false;
  };
  // Two steps a pass: the link of a position inside the window read the
  // position two steps down the chain when it was entered, and a position
  // past the limit stops the walk before its link is used.
  unsigned current = chainHead;
  for (;;) {
    const DeflateChainLink link = links[current & kWindowMask];
    if (compare(current) || link.previous <= limit || --chain == 0) break;
    if (compare(link.previous) || link.beforePrevious <= limit || --chain == 0) break;
    current = link.beforePrevious;
  }
  if (error != nullptr) return kMinMatch - 1;
  return std::min(bestLength, lookahead);
}

}  // namespace

void DeflateState::DeflateLazy() {
  if (Failed()) return;
  // The loop keeps the match state in locals and stores it back only around
  // the calls that read or change the members: tallying a symbol, ending a
  // block, filling the window.
  std::uint8_t* const window = window_.get();
  std::uint16_t* const head = head_.get();
  DeflateChainLink* const links = links_.get();
  const MatchSearch search{window, links, goodLength_, niceLength_, chainLimit_};
  const unsigned lazyLimit = lazyLimit_;
  unsigned strStart = strStart_;
  unsigned lookahead = lookahead_;
  unsigned matchStart = matchStart_;
  unsigned insertHash = insertHash_;
  const auto store = [&] {
    strStart_ = strStart;
    lookahead_ = lookahead;
    matchStart_ = matchStart;
  };
  // Enters the string at position into its hash chain and returns the
  // chain's previous head (kNoPosition: none).
  const auto insertString = [&](unsigned position) {
    insertHash = ((insertHash << kHashShift) ^ window[position + kMinMatch - 1]) & kHashMask;
    const unsigned chainHead = head[insertHash];
    // The link of a position that has left the window holds whatever came
    // after; a walk stops at such a position and never reads it.
    links[position & kWindowMask] = {static_cast<std::uint16_t>(chainHead), links[chainHead & kWindowMask].previous};
    head[insertHash] = static_cast<std::uint16_t>(position);
    // The next position's chain head is read next; its fetch from memory
    // starts now. (The byte read lies in the window or its padding.)
    __builtin_prefetch(head + (((insertHash << kHashShift) ^ window[position + kMinMatch]) & kHashMask));
    return chainHead;
  };
  // Ends the block before the current position; false when that failed.
  const auto endBlock = [&] {
    strStart_ = strStart;
    FlushBlock(false);
    blockStart_ = strStart;
    return !Failed();
  };

  unsigned matchLength = kMinMatch - 1;
  bool literalPending = false;
  while (lookahead != 0) {
    const unsigned hashHead = lookahead >= kMinMatch ? insertString(strStart) : kNoPosition;
    const unsigned prevLength = matchLength;
    const unsigned prevMatch = matchStart;
    matchLength = kMinMatch - 1;

    if (hashHead != kNoPosition && prevLength < lazyLimit && strStart - hashHead <= kMaxDistance) {
      const char* error = nullptr;
      matchLength = LongestMatch(search, strStart, lookahead, prevLength, hashHead, matchStart, error);
      if (error != nullptr) {
        Fail(error);
        return;
      }
      if (matchLength == kMinMatch && strStart - matchStart > kTooFar) matchLength--;
    }

    if (prevLength >= kMinMatch && matchLength <= prevLength) {
      strStart_ = strStart;
      const bool flush = TallyMatch(strStart - 1 - prevMatch, prevLength - kMinMatch);
      if (Failed()) return;
      // The match began at the previous position, and the current one is
      // inserted already; insert the other positions it covers while three
      // bytes of input remain from them.
      const unsigned remaining = lookahead;  // bytes from strStart on
      lookahead -= prevLength - 1;
      for (unsigned k = 1; k + 2 <= prevLength; k++) {
        strStart++;
        if (remaining - k >= kMinMatch) insertString(strStart);
      }
      literalPending = false;
      matchLength = kMinMatch - 1;
      strStart++;
      if (flush && !endBlock()) return;
    } else if (literalPending) {
      strStart_ = strStart;
      if (TallyLiteral(window[strStart - 1]) && !endBlock()) return;
      strStart++;
      lookahead--;
    } else {
      literalPending = true;
      strStart++;
      lookahead--;
    }
    if (lookahead < kMinLookahead && !endOfInput_) {
      store();
      while (lookahead_ < kMinLookahead && !endOfInput_ && !Failed()) FillWindow();
      if (Failed()) return;
      strStart = strStart_;
      lookahead = lookahead_;
      matchStart = matchStart_;
    }
  }
  store();
  if (literalPending) TallyLiteral(window_[strStart_ - 1]);
  FlushBlock(true);
}

// ---------------------------------------------------------------------------
// Symbols and blocks.

void DeflateState::InitBlock() {
  Trees& tr = *trees_;
  for (auto& t : tr.tree) std::fill(t.freq.begin(), t.freq.end(), 0u);
  tr.tree[0].freq[kEndBlock] = 1;
  dynamicBits_ = 0;
  fixedBits_ = 0;
  lastLiteral_ = 0;
  lastDistance_ = 0;
  lastFlags_ = 0;
  flagByte_ = 0;
  flagBit_ = 1;
}

inline bool DeflateState::TallyLiteral(unsigned literal) {
  literalBuffer_[lastLiteral_++] = static_cast<char8_t>(literal);
  trees_->tree[0].freq[literal]++;
  return EndSymbol();
}

bool DeflateState::TallyMatch(unsigned distance, unsigned lengthCode) {
  Trees& tr = *trees_;
  literalBuffer_[lastLiteral_++] = static_cast<char8_t>(lengthCode);
  distance--;
  unsigned dcode = tables_->DistanceCode(distance);
  if (distance >= kMaxDistance || lengthCode > kMaxMatch - kMinMatch || dcode >= kDistanceCodes) {
    Fail("ct_tally: bad match");
    return false;
  }
  tr.tree[0].freq[tables_->lengthCode[lengthCode] + kLiterals + 1]++;
  tr.tree[1].freq[dcode]++;
  distanceBuffer_[lastDistance_++] = static_cast<std::uint16_t>(distance);
  flagByte_ |= flagBit_;
  return EndSymbol();
}

// Completes a symbol's entry and tells whether the block should end here.
inline bool DeflateState::EndSymbol() {
  flagBit_ <<= 1;
  if ((lastLiteral_ & 7) == 0) {
    flagBuffer_[lastFlags_++] = static_cast<char8_t>(flagByte_);
    flagByte_ = 0;
    flagBit_ = 1;
    if ((lastLiteral_ & 0xFFF) == 0 && LiteralHeavyBlockEnds()) return true;
  }
  return lastLiteral_ == kLiteralBufferSize - 1 || lastDistance_ == kDistanceBufferSize;
}

// Literal-heavy data compresses poorly with long blocks: end the block early
// when it looks like it would halve its input anyway.
bool DeflateState::LiteralHeavyBlockEnds() const {
  std::uint64_t outLength = static_cast<std::uint64_t>(lastLiteral_) * 8;
  std::uint64_t inLength = static_cast<std::uint64_t>(static_cast<long long>(strStart_) - blockStart_);
  for (int code = 0; code < kDistanceCodes; code++) {
    outLength += static_cast<std::uint64_t>(trees_->tree[1].freq[code]) * (5 + kExtraDistanceBits[code]);
  }
  outLength >>= 3;
  return lastDistance_ < lastLiteral_ / 2 && outLength < inLength / 2;
}

void DeflateState::BuildTree(int which) {
  Trees& tr = *trees_;
  Trees::Tree& t = tr.tree[which];
  int maxCode = -1;
  tr.heapLength = 0;
  tr.heapMax = kHeapSize;
  for (int n = 0; n < t.elements; n++) {
    if (t.freq[n] != 0) {
      tr.heap[++tr.heapLength] = maxCode = n;
      tr.depth[n] = 0;
    } else {
      t.len[n] = 0;
    }
  }
  // A tree needs two codes at least; add codes of frequency 1 (they cost
  // nothing in the data, only in the size counts, which are corrected here).
  while (tr.heapLength < 2) {
    int node = tr.heap[++tr.heapLength] = (maxCode < 2 ? ++maxCode : 0);
    t.freq[node] = 1;
    tr.depth[node] = 0;
    dynamicBits_--;
    if (t.fixedLengths != nullptr) fixedBits_ -= t.fixedLengths[node];
  }
  t.maxCode = maxCode;
  for (int n = tr.heapLength / 2; n >= 1; n--) tr.DownHeap(t, n);

  int node = t.elements;
  do {
    int n = tr.heap[1];
    tr.heap[1] = tr.heap[tr.heapLength--];
    tr.DownHeap(t, 1);
    int m = tr.heap[1];
    tr.heap[--tr.heapMax] = n;
    tr.heap[--tr.heapMax] = m;
    t.freq[node] = t.freq[n] + t.freq[m];
    tr.depth[node] = static_cast<std::uint8_t>(std::max(tr.depth[n], tr.depth[m]) + 1);
    t.dad[n] = t.dad[m] = static_cast<std::uint16_t>(node);
    tr.heap[1] = node++;
    tr.DownHeap(t, 1);
  } while (tr.heapLength >= 2);
  tr.heap[--tr.heapMax] = tr.heap[1];

  GenerateBitLengths(which);
  GenerateCodes(t.code.data(), t.len.data(), maxCode);
}

void DeflateState::GenerateBitLengths(int which) {
  Trees& tr = *trees_;
  Trees::Tree& t = tr.tree[which];
  tr.bitLengthCount.fill(0);
  t.len[tr.heap[tr.heapMax]] = 0;  // the root
  int overflow = 0;
  int h;
  for (h = tr.heapMax + 1; h < kHeapSize; h++) {
    int n = tr.heap[h];
    int bits = t.len[t.dad[n]] + 1;
    if (bits > t.maxLength) {
      bits = t.maxLength;
      overflow++;
    }
    t.len[n] = static_cast<std::uint16_t>(bits);
    if (n > t.maxCode) continue;  // not a leaf
    tr.bitLengthCount[bits]++;
    int extra = n >= t.extraBase ? t.extraBits[n - t.extraBase] : 0;
    std::uint64_t f = t.freq[n];
    dynamicBits_ += f * static_cast<std::uint64_t>(bits + extra);
    if (t.fixedLengths != nullptr) fixedBits_ += f * static_cast<std::uint64_t>(t.fixedLengths[n] + extra);
  }
  if (overflow == 0) return;

  // Codes longer than the limit: move leaves down from the deepest level that
  // has some until the code space is filled exactly.
  do {
    int bits = t.maxLength - 1;
    while (tr.bitLengthCount[bits] == 0) bits--;
    tr.bitLengthCount[bits]--;
    tr.bitLengthCount[bits + 1] += 2;
    tr.bitLengthCount[t.maxLength]--;
    overflow -= 2;
  } while (overflow > 0);

  // Hand the lengths out again, longest first, to the leaves in frequency
  // order (the heap holds them sorted).
  h = kHeapSize;
  for (int bits = t.maxLength; bits != 0; bits--) {
    int n = tr.bitLengthCount[bits];
    while (n != 0) {
      int m = tr.heap[--h];
      if (m > t.maxCode) continue;
      if (t.len[m] != bits) {
        dynamicBits_ += (static_cast<std::int64_t>(bits) - t.len[m]) * static_cast<std::int64_t>(t.freq[m]);
        t.len[m] = static_cast<std::uint16_t>(bits);
      }
      n--;
    }
  }
}

void DeflateState::GenerateCodes(std::uint16_t* codes, const std::uint16_t* lengths, int maxCode) {
  const auto& count = trees_->bitLengthCount;
  std::array<unsigned, kMaxBits + 1> nextCode{};
  unsigned code = 0;
  for (int bits = 1; bits <= kMaxBits; bits++) {
    code = (code + count[bits - 1]) << 1;
    nextCode[bits] = code;
  }
  if (code + count[kMaxBits] - 1 != (1u << kMaxBits) - 1) {
    Fail("inconsistent bit counts");
    return;
  }
  for (int n = 0; n <= maxCode; n++) {
    int len = lengths[n];
    if (len == 0) continue;
    codes[n] = static_cast<std::uint16_t>(ReverseBits(nextCode[len]++, len));
  }
}

// Counts the code-length symbols that will describe a tree's lengths, with
// runs coded by 16 (repeat previous), 17 and 18 (repeat zero).
void DeflateState::ScanTree(const std::uint16_t* lengths, int maxCode) {
  auto& freq = trees_->tree[2].freq;
  int prevLength = -1;
  int nextLength = lengths[0];
  int count = 0;
  int maxCount = 7, minCount = 4;
  if (nextLength == 0) maxCount = 138, minCount = 3;
  for (int n = 0; n <= maxCode; n++) {
    int curLength = nextLength;
    nextLength = n + 1 <= maxCode ? lengths[n + 1] : -1;
    if (++count < maxCount && curLength == nextLength) continue;
    if (count < minCount) {
      freq[curLength] += count;
    } else if (curLength != 0) {
      if (curLength != prevLength) freq[curLength]++;
      freq[kRepeat3To6]++;
    } else if (count <= 10) {
      freq[kRepeatZero3To10]++;
    } else {
      freq[kRepeatZero11To138]++;
    }
    count = 0;
    prevLength = curLength;
    if (nextLength == 0) {
      maxCount = 138, minCount = 3;
    } else if (curLength == nextLength) {
      maxCount = 6, minCount = 3;
    } else {
      maxCount = 7, minCount = 4;
    }
  }
}

void DeflateState::SendTree(const std::uint16_t* lengths, int maxCode) {
  const auto& bl = trees_->tree[2];
  int prevLength = -1;
  int nextLength = lengths[0];
  int count = 0;
  int maxCount = 7, minCount = 4;
  if (nextLength == 0) maxCount = 138, minCount = 3;
  for (int n = 0; n <= maxCode; n++) {
    int curLength = nextLength;
    nextLength = n + 1 <= maxCode ? lengths[n + 1] : -1;
    if (++count < maxCount && curLength == nextLength) continue;
    if (count < minCount) {
      do {
        SendCode(curLength, bl.code.data(), bl.len.data());
      } while (--count != 0);
    } else if (curLength != 0) {
      if (curLength != prevLength) {
        SendCode(curLength, bl.code.data(), bl.len.data());
        count--;
      }
      if (count < 3 || count > 6) {
        Fail(" 3_6?");
        return;
      }
      SendCode(kRepeat3To6, bl.code.data(), bl.len.data());
      SendBits(count - 3, 2);
    } else if (count <= 10) {
      SendCode(kRepeatZero3To10, bl.code.data(), bl.len.data());
      SendBits(count - 3, 3);
    } else {
      SendCode(kRepeatZero11To138, bl.code.data(), bl.len.data());
      SendBits(count - 11, 7);
    }
    count = 0;
    prevLength = curLength;
    if (nextLength == 0) {
      maxCount = 138, minCount = 3;
    } else if (curLength == nextLength) {
      maxCount = 6, minCount = 3;
    } else {
      maxCount = 7, minCount = 4;
    }
  }
}

int DeflateState::BuildBitLengthTree() {
  Trees& tr = *trees_;
  ScanTree(tr.tree[0].len.data(), tr.tree[0].maxCode);
  ScanTree(tr.tree[1].len.data(), tr.tree[1].maxCode);
  BuildTree(2);
  // At least four code-length codes are sent, whatever is used.
  int maxIndex;
  for (maxIndex = kBitLengthCodes - 1; maxIndex >= 3; maxIndex--) {
    if (tr.tree[2].len[kBitLengthOrder[maxIndex]] != 0) break;
  }
  dynamicBits_ += 3 * (static_cast<std::uint64_t>(maxIndex) + 1) + 5 + 5 + 4;
  return maxIndex;
}

void DeflateState::SendAllTrees(int lengthCodes, int distanceCodes, int bitLengthCodes) {
  if (lengthCodes < 257 || distanceCodes < 1 || bitLengthCodes < 4) {
    Fail("not enough codes");
    return;
  }
  if (lengthCodes > kLiteralCodes || distanceCodes > kDistanceCodes || bitLengthCodes > kBitLengthCodes) {
    Fail("too many codes");
    return;
  }
  const Trees& tr = *trees_;
  SendBits(lengthCodes - 257, 5);
  SendBits(distanceCodes - 1, 5);
  SendBits(bitLengthCodes - 4, 4);
  for (int rank = 0; rank < bitLengthCodes; rank++) {
    SendBits(tr.tree[2].len[kBitLengthOrder[rank]], 3);
  }
  SendTree(tr.tree[0].len.data(), lengthCodes - 1);
  SendTree(tr.tree[1].len.data(), distanceCodes - 1);
}

void DeflateState::CompressBlock(const std::uint16_t* literalCodes, const std::uint16_t* literalLengths,
                                 const std::uint16_t* distanceCodes, const std::uint16_t* distanceLengths) {
  const Tables& t = *tables_;
  unsigned lx = 0, dx = 0, fx = 0;
  unsigned flag = 0;
  while (lx < lastLiteral_ && !Failed()) {
    if ((lx & 7) == 0) flag = flagBuffer_[fx++];
    unsigned lc = literalBuffer_[lx++];
    if ((flag & 1) == 0) {
      SendCode(lc, literalCodes, literalLengths);
    } else {
      unsigned code = t.lengthCode[lc];
      SendCode(code + kLiterals + 1, literalCodes, literalLengths);
      int extra = kExtraLengthBits[code];
      if (extra != 0) SendBits(lc - t.baseLength[code], extra);
      unsigned distance = distanceBuffer_[dx++];
      code = t.DistanceCode(distance);
      if (code >= kDistanceCodes) {
        Fail("bad d_code");
        return;
      }
      SendCode(code, distanceCodes, distanceLengths);
      extra = kExtraDistanceBits[code];
      if (extra != 0) SendBits(distance - t.baseDistance[code], extra);
    }
    flag >>= 1;
  }
  SendCode(kEndBlock, literalCodes, literalLengths);
}

void DeflateState::FlushBlock(bool last) {
  if (Failed()) return;
  flagBuffer_[lastFlags_] = static_cast<char8_t>(flagByte_);
  Trees& tr = *trees_;
  BuildTree(0);
  BuildTree(1);
  int maxBitLengthIndex = BuildBitLengthTree();
  if (Failed()) return;

  std::uint64_t dynamicBytes = (dynamicBits_ + 3 + 7) >> 3;
  std::uint64_t fixedBytes = (fixedBits_ + 3 + 7) >> 3;
  std::uint64_t bestBytes = std::min(dynamicBytes, fixedBytes);
  std::uint64_t storedLength = static_cast<std::uint64_t>(static_cast<long long>(strStart_) - blockStart_);

  if (storedLength + 4 <= bestBytes && blockStart_ >= 0) {
    SendStoredBlock(window_.get() + blockStart_, storedLength, last);
  } else if (fixedBytes == bestBytes) {
    SendBits((kFixedBlock << 1) + (last ? 1 : 0), 3);
    CompressBlock(tables_->fixedLiteralCode.data(), tables_->fixedLiteralLength.data(),
                  tables_->fixedDistanceCode.data(), tables_->fixedDistanceLength.data());
  } else {
    SendBits((kDynamicBlock << 1) + (last ? 1 : 0), 3);
    SendAllTrees(tr.tree[0].maxCode + 1, tr.tree[1].maxCode + 1, maxBitLengthIndex + 1);
    CompressBlock(tr.tree[0].code.data(), tr.tree[0].len.data(), tr.tree[1].code.data(),
                  tr.tree[1].len.data());
  }
  InitBlock();
  if (last) {
    AlignToByte();
    FlushOutput();
  }
}

// A stored block holds at most 65535 bytes (LEN is 16 bits); longer runs go
// out as several stored blocks, only the last of them final.
void DeflateState::SendStoredBlock(const std::uint8_t* data, std::uint64_t length, bool last) {
  do {
    unsigned piece = static_cast<unsigned>(std::min<std::uint64_t>(length, 0xFFFF));
    bool final = last && piece == length;
    SendBits((kStoredBlock << 1) + (final ? 1 : 0), 3);
    AlignToByte();
    FlushOutput();
    PutByte(static_cast<std::uint8_t>(piece & 0xFF));
    PutByte(static_cast<std::uint8_t>(piece >> 8));
    PutByte(static_cast<std::uint8_t>(~piece & 0xFF));
    PutByte(static_cast<std::uint8_t>((~piece >> 8) & 0xFF));
    bitsSent_ += 32;
    FlushOutput();
    WriteOut(data, piece);
    bitsSent_ += static_cast<std::uint64_t>(piece) * 8;
    data += piece;
    length -= piece;
  } while (length != 0 && !Failed());
}

// ---------------------------------------------------------------------------
// Bit output: least significant bit first.

void DeflateState::SendBits(unsigned value, int length) {
  if (length < 1 || length > 15) {
    Fail("invalid length");
    return;
  }
  bitsSent_ += static_cast<unsigned>(length);
  bitBuffer_ |= (value & ((1u << length) - 1)) << bitCount_;
  bitCount_ += length;
  while (bitCount_ > 16) {
    PutByte(static_cast<std::uint8_t>(bitBuffer_));
    PutByte(static_cast<std::uint8_t>(bitBuffer_ >> 8));
    bitBuffer_ >>= 16;
    bitCount_ -= 16;
  }
}

void DeflateState::SendCode(unsigned symbol, const std::uint16_t* codes, const std::uint16_t* lengths) {
  SendBits(codes[symbol], lengths[symbol]);
}

void DeflateState::PutByte(std::uint8_t byte) {
  if (writeFailed_) return;  // output after a failed write is dropped
  out_[outFill_++] = byte;
  if (kDeflateOutputBufferSize - outFill_ < 2) FlushOutput();
}

void DeflateState::AlignToByte() {
  while (bitCount_ > 0) {
    PutByte(static_cast<std::uint8_t>(bitBuffer_));
    bitBuffer_ >>= 8;
    bitCount_ -= 8;
  }
  bitBuffer_ = 0;
  bitCount_ = 0;
  bitsSent_ = (bitsSent_ + 7) & ~static_cast<std::uint64_t>(7);
}

void DeflateState::FlushOutput() {
  if (outFill_ == 0) return;
  std::size_t size = outFill_;
  outFill_ = 0;
  WriteOut(out_, size);
}

void DeflateState::WriteOut(const std::uint8_t* data, std::size_t size) {
  if (writeFailed_ || size == 0) return;
  if (!io_->WriteArchive(data, size)) {
    writeFailed_ = true;
    return;
  }
  bytesWritten_ += size;
}

}  // namespace zip
