#pragma once
// The ZIP writer's own DEFLATE compressor: turns one entry's bytes into a raw
// DEFLATE stream (RFC 1951, no zlib or gzip wrapper). It works at level 8:
// lazy matching over a 32 KiB window with hash chains, and per block the
// cheapest of a stored block, fixed codes and dynamic codes.
//
// One DeflateState belongs to one ZIP writer. It is made on the writer's first
// deflated entry and reused for every later one; nothing of one entry's data
// carries over into the next entry's stream. A state is used by one thread at
// a time.

#include <cstddef>
#include <cstdint>
#include <memory>

namespace zip {

// Where the compressor takes its input and puts its output.
class DeflateIo {
 public:
  virtual ~DeflateIo() = default;
  // Fills buffer with up to size bytes of the entry's source and returns the
  // count; 0 or -1 means the end of the source. A source that fails to read
  // reports the end here and remembers the failure itself.
  virtual long ReadSource(std::uint8_t* buffer, std::size_t size) = 0;
  // Writes all size bytes to the archive. false when they could not all be
  // stored; the compressor then stops and drops whatever output is pending.
  virtual bool WriteArchive(const std::uint8_t* data, std::size_t size) = 0;
};

// Size of the output buffer the caller hands to DeflateEntry.
inline constexpr std::size_t kDeflateOutputBufferSize = 16384;

// General-purpose flag bit 1 of a ZIP entry: "maximum compression".
inline constexpr std::uint16_t kZipFlagMaximumCompression = 0x0002;

// A window position's links in the compressor's hash chains: the position
// before it and the one before that. With both in one read, a walk down a
// chain waits for memory once every two steps instead of every step.
struct DeflateChainLink {
  std::uint16_t previous;
  std::uint16_t beforePrevious;
};

class DeflateState {
 public:
  DeflateState();
  ~DeflateState();
  DeflateState(const DeflateState&) = delete;
  DeflateState& operator=(const DeflateState&) = delete;

  // The compression level, 1..8 (8 unless a test says otherwise). A level
  // outside 1..8 makes the next DeflateEntry fail with "bad pack level".
  void SetLevel(int level) { level_ = level; }

  // Compresses everything that io.ReadSource delivers into a raw DEFLATE
  // stream written through io.WriteArchive, using outputBuffer
  // (kDeflateOutputBufferSize bytes, owned by the caller) to gather output.
  // At level 8 sets kZipFlagMaximumCompression in flags. Returns the number of
  // compressed bytes written. Afterwards ErrorText() is null on success, or
  // the text of the internal check that failed; WriteFailed() tells that a
  // write stored less than asked (the stream is then incomplete).
  std::uint64_t DeflateEntry(std::uint16_t& flags, std::uint8_t* outputBuffer, DeflateIo& io);

  const char* ErrorText() const { return error_; }
  bool WriteFailed() const { return writeFailed_; }

 private:
  struct Tables;
  struct Trees;

  // Match finding.
  bool SetUpEntry(std::uint16_t& flags);
  void FillWindow();
  void DeflateLazy();
  bool Failed() const { return error_ != nullptr || writeFailed_; }
  void Fail(const char* text);

  // Blocks.
  bool TallyLiteral(unsigned literal);
  bool TallyMatch(unsigned distance, unsigned lengthCode);  // lengthCode: match length - 3
  bool EndSymbol();
  bool LiteralHeavyBlockEnds() const;
  void FlushBlock(bool last);
  void InitBlock();
  void BuildTree(int which);
  void GenerateBitLengths(int which);
  void GenerateCodes(std::uint16_t* codes, const std::uint16_t* lengths, int maxCode);
  void ScanTree(const std::uint16_t* lengths, int maxCode);
  void SendTree(const std::uint16_t* lengths, int maxCode);
  int BuildBitLengthTree();
  void SendAllTrees(int lengthCodes, int distanceCodes, int bitLengthCodes);
  void CompressBlock(const std::uint16_t* literalCodes, const std::uint16_t* literalLengths,
                     const std::uint16_t* distanceCodes, const std::uint16_t* distanceLengths);
  void SendStoredBlock(const std::uint8_t* data, std::uint64_t length, bool last);
  bool BuildCodeTables();

  // Bit output.
  void SendBits(unsigned value, int length);
  void SendCode(unsigned symbol, const std::uint16_t* codes, const std::uint16_t* lengths);
  void PutByte(std::uint8_t byte);
  void AlignToByte();
  void FlushOutput();
  void WriteOut(const std::uint8_t* data, std::size_t size);

  int level_ = 8;
  DeflateIo* io_ = nullptr;
  const char* error_ = nullptr;
  bool writeFailed_ = false;

  // Match state.
  // Positions in the window are below 65536 and fit the chains' 16 bits.
  std::unique_ptr<std::uint8_t[]> window_;   // 2 * 32768 bytes and a little padding
  std::unique_ptr<std::uint16_t[]> head_;    // hash -> latest position (0: none)
  std::unique_ptr<DeflateChainLink[]> links_;  // position & 0x7FFF -> its links
  unsigned insertHash_ = 0;
  unsigned strStart_ = 0;
  unsigned matchStart_ = 0;
  unsigned lookahead_ = 0;
  long long blockStart_ = 0;
  bool endOfInput_ = false;
  unsigned goodLength_ = 0, lazyLimit_ = 0, niceLength_ = 0, chainLimit_ = 0;

  std::unique_ptr<Tables> tables_;
  std::unique_ptr<Trees> trees_;

  // Block buffers. The byte buffers are of char8_t, which unlike uint8_t may
  // not alias other types: a symbol stored into them then does not force the
  // compressor to reload its whole state from memory.
  std::unique_ptr<char8_t[]> literalBuffer_;         // literal, or match length - 3
  std::unique_ptr<std::uint16_t[]> distanceBuffer_;  // match distance - 1
  std::unique_ptr<char8_t[]> flagBuffer_;            // bit set: the symbol is a match
  unsigned lastLiteral_ = 0, lastDistance_ = 0, lastFlags_ = 0;
  unsigned flagByte_ = 0, flagBit_ = 1;
  std::uint64_t dynamicBits_ = 0, fixedBits_ = 0;

  // Bit output.
  std::uint8_t* out_ = nullptr;
  std::size_t outFill_ = 0;
  std::uint32_t bitBuffer_ = 0;
  int bitCount_ = 0;
  std::uint64_t bitsSent_ = 0;
  std::uint64_t bytesWritten_ = 0;
};

}  // namespace zip
