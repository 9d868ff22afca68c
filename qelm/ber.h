#pragma once
// A small forward-only BER reader over a file or a buffer. It reads headers
// and short values and skips everything else, so the outline of a message of
// any size (its type, encoding, signer count) is read in constant memory.

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace qelm {

struct Tlv {
  int tagClass = 0;          // 0 universal, 1 application, 2 context, 3 private
  bool constructed = false;
  uint32_t tag = 0;
  bool indefinite = false;
  uint64_t length = 0;       // definite lengths
  uint64_t start = 0;        // offset of the first content byte
  uint64_t headerStart = 0;  // offset of the tag
  bool IsEoc() const { return tagClass == 0 && tag == 0 && !constructed && !indefinite && length == 0; }
};

class BerReader {
 public:
  // Over an open file (not owned; read from its current position, which must
  // be its start, and not written while the reader is used) or over a buffer
  // (not copied).
  explicit BerReader(std::FILE* file) : file_(file) {}
  explicit BerReader(std::string_view bytes) : bytes_(bytes) {}

  bool ReadHeader(Tlv* tlv);
  // Skips the content of tlv (its header already read).
  bool Skip(const Tlv& tlv);
  // Reads the content of a primitive definite tlv of at most limit bytes.
  bool ReadValue(const Tlv& tlv, std::string* value, size_t limit = 4096);
  // The next child of a constructed parent; *end true when there is none
  // (for an indefinite parent its end-of-contents is consumed).
  bool NextChild(const Tlv& parent, Tlv* child, bool* end);
  // Skips the rest of a constructed parent whose children were partly read.
  bool SkipRest(const Tlv& parent);
  // Length of the content of an OCTET STRING (plain or in segments), read over.
  bool MeasureOctets(const Tlv& tlv, uint64_t* length);
  uint64_t position() const { return pos_; }

 private:
  bool ReadBytes(void* out, size_t n);
  bool SkipBytes(uint64_t n);
  std::FILE* file_ = nullptr;
  std::string_view bytes_;
  uint64_t pos_ = 0;
  long fileSize_ = -1;  // read on the first skip
  int depth_ = 0;
};

// An object identifier's content bytes as dotted text ("" when malformed).
std::string OidText(std::string_view der);

}  // namespace qelm
