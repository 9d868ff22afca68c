#include "qelm/cms_split.h"

#include <algorithm>
#include <cstring>

#include "qelm/ber.h"

namespace qelm {
namespace {

constexpr char kSignedData[] = "1.2.840.113549.1.7.2";
constexpr char kEnvelopedData[] = "1.2.840.113549.1.7.3";
// The shell holds certificates and signatures only; more than this is no
// message of ours and is refused rather than read into memory.
constexpr uint64_t kMaxShell = 64u << 20;
constexpr size_t kChunk = 1 << 16;

const std::string kIndefiniteSequence("\x30\x80", 2);
const std::string kIndefiniteExplicit0("\xA0\x80", 2);
const std::string kEoc(2, '\0');

// The shell as it is built: literal bytes and spans of the file.
class ShellBuilder {
 public:
  void Literal(const std::string& bytes) { pieces_.push_back({bytes, 0, 0}); }
  void Raw(uint64_t start, uint64_t end) {
    pieces_.push_back({{}, start, end - start});
    rawTotal_ += end - start;
  }
  bool TooLarge() const { return rawTotal_ > kMaxShell; }
  // Marks the end of what comes before the content.
  void MarkHead() { head_ = pieces_.size(); }
  size_t head() const { return head_; }
  bool Assemble(std::FILE* file, std::string* shell, size_t count = SIZE_MAX) const {
    for (size_t i = 0; i < pieces_.size() && i < count; ++i) {
      const Piece& piece = pieces_[i];
      if (piece.length == 0) {
        shell->append(piece.literal);
        continue;
      }
      if (std::fseek(file, static_cast<long>(piece.start), SEEK_SET) != 0) return false;
      size_t at = shell->size();
      shell->resize(at + piece.length);
      if (std::fread(shell->data() + at, 1, piece.length, file) != piece.length) return false;
    }
    return true;
  }

 private:
  struct Piece {
    std::string literal;
    uint64_t start, length;
  };
  std::vector<Piece> pieces_;
  uint64_t rawTotal_ = 0;
  size_t head_ = 0;
};

// Copies a child of the reader's current parent whole.
bool CopyChild(BerReader& r, const Tlv& child, ShellBuilder* shell) {
  if (!r.Skip(child)) return false;
  shell->Raw(child.headerStart, r.position());
  return true;
}

// encapContentInfo {eContentType, [0] EXPLICIT OCTET STRING OPTIONAL}
bool SplitEncapsulated(BerReader& r, const Tlv& encap, ShellBuilder* shell, SplitMessage* split) {
  Tlv type, content, octets, rest;
  bool end = false;
  if (!r.NextChild(encap, &type, &end) || end || type.tag != 6 || !CopyChild(r, type, shell)) return false;
  if (!r.NextChild(encap, &content, &end)) return false;
  if (!end) {
    if (content.tagClass != 2 || content.tag != 0 || !content.constructed) return false;
    if (!r.NextChild(content, &octets, &end) || end || octets.tag != 4) return false;
    split->hasContent = true;
    split->content.start = octets.headerStart;
    if (!r.MeasureOctets(octets, &split->content.length) || !r.SkipRest(content)) return false;
    if (!r.NextChild(encap, &rest, &end) || !end) return false;
  }
  return true;
}

// encryptedContentInfo {contentType, contentEncryptionAlgorithm, [0] IMPLICIT OCTET STRING OPTIONAL}
bool SplitEncrypted(BerReader& r, const Tlv& eci, ShellBuilder* shell, SplitMessage* split) {
  Tlv type, algorithm, content, rest;
  bool end = false;
  if (!r.NextChild(eci, &type, &end) || end || !CopyChild(r, type, shell)) return false;
  if (!r.NextChild(eci, &algorithm, &end) || end || !CopyChild(r, algorithm, shell)) return false;
  if (!r.NextChild(eci, &content, &end)) return false;
  if (!end) {
    if (content.tagClass != 2 || content.tag != 0) return false;
    split->hasContent = true;
    split->content.start = content.headerStart;
    shell->MarkHead();
    if (!r.MeasureOctets(content, &split->content.length)) return false;
    if (!r.NextChild(eci, &rest, &end) || !end) return false;
  }
  return true;
}

bool SplitBody(BerReader& r, const Tlv& body, bool isSigned, ShellBuilder* shell, SplitMessage* split) {
  for (int index = 0;; ++index) {
    Tlv child;
    bool end = false;
    if (!r.NextChild(body, &child, &end)) return false;
    if (end) return true;
    const bool container = child.tagClass == 0 && child.tag == 16 && child.constructed;
    if (container && ((isSigned && index == 2) || !isSigned)) {
      shell->Literal(kIndefiniteSequence);
      bool ok = isSigned ? SplitEncapsulated(r, child, shell, split) : SplitEncrypted(r, child, shell, split);
      if (!ok) return false;
      shell->Literal(kEoc);
    } else if (!CopyChild(r, child, shell)) {
      return false;
    }
    if (shell->TooLarge()) return false;
  }
}

// Content length octets of DER.
std::string DerLength(uint64_t length) {
  if (length < 128) return std::string(1, static_cast<char>(length));
  std::string bytes;
  for (uint64_t v = length; v != 0; v >>= 8) bytes.insert(bytes.begin(), static_cast<char>(v & 0xFF));
  return std::string(1, static_cast<char>(0x80 | bytes.size())) + bytes;
}

// Reads the content at a place of a file, piece by piece, finding each piece
// as it goes: the content's element is walked with a stack of the segments
// open around the current piece, through a window of the file that saves a
// read per header. Read returns kWouldBlock when a content still arriving has
// no more bytes yet.
constexpr int kWouldBlock = -2;
constexpr size_t kMaxNesting = 64;  // as the BER reader allows

class ContentReader {
 public:
  ContentReader(std::FILE* file, const ContentPlace& place, uint64_t available, bool complete)
      : file_(file), place_(place), available_(available), complete_(complete) {}

  void SetAvailable(const ContentPlace& place, uint64_t available, bool complete) {
    place_ = place;
    available_ = available;
    complete_ = complete;
  }

  // At most the rest of the current piece, so that a copy made of what it
  // returns keeps the content's segments. 0 at the end, -1 on a content
  // damaged or cut short, or kWouldBlock.
  int Read(char* out, int size) {
    if (size <= 0) return 0;
    if (place_.raw) return ReadRaw(out, size);
    if (pieceLeft_ == 0) {
      if (Step step = NextPiece(); step != Step::kPiece) return step == Step::kEnd ? End() : Stopped(step);
    }
    const uint64_t present = available_ > pieceAt_ ? available_ - pieceAt_ : 0;
    const uint64_t want = std::min({static_cast<uint64_t>(size), pieceLeft_, present});
    if (want == 0) return complete_ ? -1 : kWouldBlock;
    if (!Fetch(pieceAt_, out, static_cast<size_t>(want))) return -1;
    pieceAt_ += want;
    pieceLeft_ -= want;
    return static_cast<int>(want);
  }

  bool AtEnd() {
    if (place_.raw) return done_ == place_.length;
    return pieceLeft_ == 0 && NextPiece() == Step::kEnd;
  }

 private:
  enum class Step { kPiece, kEnd, kWait, kBad };
  struct Open {
    bool indefinite;
    uint64_t end;  // definite: where its content ends
  };

  int Stopped(Step step) const { return step == Step::kWait ? kWouldBlock : -1; }
  // The end is told only once the file is complete: a reader's final step
  // (a cipher comparing its MAC) may need what follows the content.
  int End() const { return complete_ ? 0 : kWouldBlock; }

  int ReadRaw(char* out, int size) {
    const uint64_t at = place_.start + done_;
    const uint64_t present = available_ > at ? available_ - at : 0;
    const uint64_t want = std::min({static_cast<uint64_t>(size), place_.length - done_, present});
    if (want == 0) return done_ == place_.length ? End() : complete_ ? -1 : kWouldBlock;
    if (!Fetch(at, out, static_cast<size_t>(want))) return -1;
    done_ += want;
    return static_cast<int>(want);
  }

  // Moves to the next piece with content bytes, over the headers and ends of
  // the segments between.
  Step NextPiece() {
    for (;;) {
      if (started_ && open_.empty()) return Step::kEnd;
      if (!open_.empty() && !open_.back().indefinite) {
        if (at_ == open_.back().end) {
          open_.pop_back();
          continue;
        }
        if (at_ > open_.back().end) return Step::kBad;
      }
      if (!started_) at_ = place_.start;
      Tlv tlv;
      if (Step step = ReadHeaderAt(&tlv); step != Step::kPiece) return step;
      started_ = true;
      if (tlv.IsEoc()) {
        if (open_.empty() || !open_.back().indefinite) return Step::kBad;
        open_.pop_back();
        at_ = tlv.start;
        continue;
      }
      const uint64_t end = tlv.start + tlv.length;
      if (!open_.empty() && !open_.back().indefinite && !tlv.indefinite && end > open_.back().end) return Step::kBad;
      if (tlv.constructed) {
        if (open_.size() == kMaxNesting) return Step::kBad;
        open_.push_back({tlv.indefinite, end});
        at_ = tlv.start;
        continue;
      }
      at_ = end;
      if (tlv.length == 0) continue;
      pieceAt_ = tlv.start;
      pieceLeft_ = tlv.length;
      return Step::kPiece;
    }
  }

  Step ReadHeaderAt(Tlv* tlv) {
    constexpr size_t kLongestHeader = 1 + 5 + 1 + 8;
    char bytes[kLongestHeader];
    const uint64_t present = available_ > at_ ? available_ - at_ : 0;
    const size_t got = Peek(at_, bytes, static_cast<size_t>(std::min<uint64_t>(kLongestHeader, present)));
    BerReader r(std::string_view(bytes, got));
    if (r.ReadHeader(tlv)) {
      tlv->headerStart += at_;
      tlv->start += at_;
      return Step::kPiece;
    }
    // Too few bytes to tell: more may yet arrive.
    return got < kLongestHeader && !complete_ && got == present ? Step::kWait : Step::kBad;
  }

  // Up to n bytes at offset through the window; how many the file gave.
  size_t Peek(uint64_t offset, char* out, size_t n) {
    if (offset < windowAt_ || offset + n > windowAt_ + window_.size()) {
      window_.resize(kWindow);
      size_t got = 0;
      if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) == 0) got = std::fread(window_.data(), 1, kWindow, file_);
      window_.resize(got);
      windowAt_ = offset;
    }
    const size_t have = static_cast<size_t>(std::min<uint64_t>(n, windowAt_ + window_.size() - offset));
    std::memcpy(out, window_.data() + (offset - windowAt_), have);
    return have;
  }

  bool Fetch(uint64_t offset, char* out, size_t n) {
    if (n >= kWindow) {
      // Large reads go straight to the file.
      return std::fseek(file_, static_cast<long>(offset), SEEK_SET) == 0 && std::fread(out, 1, n, file_) == n;
    }
    return Peek(offset, out, n) == n;
  }

  static constexpr size_t kWindow = 1 << 16;
  std::FILE* file_;
  ContentPlace place_;
  uint64_t available_;
  bool complete_;
  // Raw: bytes read so far. Encoded: the walk of the content's element.
  uint64_t done_ = 0;
  bool started_ = false;
  std::vector<Open> open_;
  uint64_t at_ = 0;  // the next header
  uint64_t pieceAt_ = 0, pieceLeft_ = 0;
  std::string window_;
  uint64_t windowAt_ = 0;
};

int RangeRead(BIO* bio, char* out, int size) {
  auto* reader = static_cast<ContentReader*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  int n = reader->Read(out, size);
  if (n == kWouldBlock) {
    BIO_set_retry_read(bio);
    return -1;
  }
  return n;
}

long RangeCtrl(BIO* bio, int cmd, long /*num*/, void* /*ptr*/) {
  auto* reader = static_cast<ContentReader*>(BIO_get_data(bio));
  switch (cmd) {
    case BIO_CTRL_EOF:
      return reader->AtEnd() ? 1 : 0;
    case BIO_CTRL_FLUSH:
      return 1;
    default:
      return 0;
  }
}

int RangeDestroy(BIO* bio) {
  delete static_cast<ContentReader*>(BIO_get_data(bio));
  BIO_set_data(bio, nullptr);
  return 1;
}

const BIO_METHOD* RangeMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "qelm content");
    BIO_meth_set_read(m, RangeRead);
    BIO_meth_set_ctrl(m, RangeCtrl);
    BIO_meth_set_destroy(m, RangeDestroy);
    return m;
  }();
  return method;
}

bool WriteAll(BIO* out, const char* data, size_t length) {
  while (length > 0) {
    int n = BIO_write(out, data, static_cast<int>(std::min<size_t>(length, 1 << 30)));
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

uint32_t SplitFile(Context* context, const std::string& path, SplitMessage* split) {
  FilePtr file(OpenInputStream(path));
  if (file == nullptr) return Fail(context, ORLAX_E_FILE_OPEN, path);
  return SplitStream(context, file.get(), path, split);
}

namespace {

// Walks a message file: 0, NOT_SIGNED_MESSAGE or BAD_MESSAGE. Whether a
// content was found before a failure, and where, is left in split.
uint32_t Walk(std::FILE* file, SplitMessage* split, ShellBuilder* shell, std::string* typeOut = nullptr) {
  if (std::fseek(file, 0, SEEK_SET) != 0) return ORLAX_E_FILE_OPEN;
  BerReader r(file);
  Tlv ci, oid, tag, body;
  bool end = false;
  std::string oidValue;
  if (!r.ReadHeader(&ci) || ci.tagClass != 0 || ci.tag != 16 || !ci.constructed || !r.NextChild(ci, &oid, &end) ||
      end || oid.tag != 6 || !r.ReadValue(oid, &oidValue)) {
    return ORLAX_E_NOT_SIGNED_MESSAGE;
  }
  const std::string type = OidText(oidValue);
  if (typeOut != nullptr) *typeOut = type;
  if (type != kSignedData && type != kEnvelopedData) return ORLAX_E_NOT_SIGNED_MESSAGE;
  shell->Literal(kIndefiniteSequence);
  shell->Raw(oid.headerStart, oid.start + oid.length);
  shell->Literal(kIndefiniteExplicit0 + kIndefiniteSequence);
  if (!r.NextChild(ci, &tag, &end) || end || tag.tagClass != 2 || tag.tag != 0 || !r.NextChild(tag, &body, &end) ||
      end || body.tag != 16 || !SplitBody(r, body, type == kSignedData, shell, split) || !r.SkipRest(tag) ||
      !r.SkipRest(ci)) {
    return ORLAX_E_BAD_MESSAGE;
  }
  shell->Literal(kEoc + kEoc + kEoc);
  return 0;
}

}  // namespace

uint32_t SplitStream(Context* context, std::FILE* file, const std::string& path, SplitMessage* split) {
  ShellBuilder shell;
  if (uint32_t code = Walk(file, split, &shell); code != 0) return Fail(context, code, path);
  if (!shell.Assemble(file, &split->shell)) return Fail(context, ORLAX_E_FILE_OPEN, path);
  return 0;
}

bool ContentPlaceSoFar(std::FILE* file, ContentPlace* place, bool signedOnly) {
  SplitMessage split;
  ShellBuilder shell;
  std::string type;
  Walk(file, &split, &shell, &type);  // stops where the file stops, keeping what it found
  if (!split.hasContent || (signedOnly && type != kSignedData)) return false;
  *place = split.content;
  place->length = 0;  // not known before the whole content is there
  return true;
}

BioPtr ContentBio(std::FILE* file, const ContentPlace& place) {
  BioPtr bio(BIO_new(RangeMethod()));
  if (bio == nullptr) throw std::bad_alloc();
  BIO_set_data(bio.get(), new ContentReader(file, place, UINT64_MAX, true));
  BIO_set_init(bio.get(), 1);
  return bio;
}

PrefixState SignedPrefixSoFar(std::FILE* file, uint64_t* prefixEnd) {
  *prefixEnd = 0;
  if (std::fseek(file, 0, SEEK_SET) != 0) return PrefixState::kWait;
  BerReader r(file);
  Tlv ci, oid, tag, body, child;
  bool end = false;
  std::string oidValue;
  if (!r.ReadHeader(&ci)) return PrefixState::kWait;
  if (ci.tag != 16 || !ci.indefinite) return PrefixState::kNotStreamable;
  if (!r.NextChild(ci, &oid, &end) || end || !r.ReadValue(oid, &oidValue)) return PrefixState::kWait;
  if (OidText(oidValue) != kSignedData) return PrefixState::kNotStreamable;
  if (!r.NextChild(ci, &tag, &end) || end || !r.NextChild(tag, &body, &end) || end) return PrefixState::kWait;
  if (!tag.indefinite || !body.indefinite) return PrefixState::kNotStreamable;
  for (int index = 0; index < 3; ++index) {
    if (!r.NextChild(body, &child, &end) || end || !r.Skip(child)) {
      // Still arriving: what is there so far belongs to the part before the end.
      std::fseek(file, 0, SEEK_END);
      long size = std::ftell(file);
      *prefixEnd = index == 2 && size > 0 ? static_cast<uint64_t>(size) : 0;
      return PrefixState::kPrefix;
    }
  }
  *prefixEnd = r.position();
  return PrefixState::kComplete;
}

SignedHead SignedDataHead(std::string_view bytes, bool* indefinite) {
  // SEQUENCE, its length, then OBJECT IDENTIFIER 1.2.840.113549.1.7.2.
  static const unsigned char kOid[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
  *indefinite = false;
  auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  if (bytes.empty()) return SignedHead::kTooShort;
  if (byte(0) != 0x30) return SignedHead::kNo;
  if (bytes.size() < 2) return SignedHead::kTooShort;
  size_t at = 2;
  if (byte(1) == 0x80) {
    *indefinite = true;
  } else if (byte(1) > 0x80) {
    size_t count = byte(1) & 0x7F;
    if (count > 8) return SignedHead::kNo;
    at += count;
  }
  for (size_t i = 0; i < sizeof kOid; ++i) {
    if (at + i >= bytes.size()) return SignedHead::kTooShort;
    if (byte(at + i) != kOid[i]) return SignedHead::kNo;
  }
  return SignedHead::kYes;
}

bool SignedDigestAlgorithmsSoFar(std::FILE* file, std::vector<std::string>* oids) {
  oids->clear();
  if (std::fseek(file, 0, SEEK_SET) != 0) return false;
  BerReader r(file);
  Tlv ci, oid, tag, body, version, set;
  bool end = false;
  if (!r.ReadHeader(&ci) || !r.NextChild(ci, &oid, &end) || end || !r.Skip(oid) || !r.NextChild(ci, &tag, &end) ||
      end || !r.NextChild(tag, &body, &end) || end || !r.NextChild(body, &version, &end) || end ||
      !r.Skip(version) || !r.NextChild(body, &set, &end) || end || set.tag != 17) {
    return false;
  }
  for (;;) {
    Tlv algorithm, algorithmOid;
    std::string value;
    if (!r.NextChild(set, &algorithm, &end)) return false;
    if (end) return true;
    if (!r.NextChild(algorithm, &algorithmOid, &end) || end || algorithmOid.tag != 6 ||
        !r.ReadValue(algorithmOid, &value) || !r.SkipRest(algorithm)) {
      return false;
    }
    oids->push_back(OidText(value));
  }
}

uint32_t TailAfterContent(Context* context, CMS_ContentInfo* cms, std::string* tail) {
  BioPtr mem(BIO_new(BIO_s_mem()));
  if (mem == nullptr) throw std::bad_alloc();
  if (uint32_t code = WriteCms(context, cms, Encoding::kDer, mem.get(), "tail"); code != 0) return code;
  char* data = nullptr;
  long length = BIO_get_mem_data(mem.get(), &data);
  std::string_view der(data, static_cast<size_t>(length));
  BerReader r(der);
  Tlv ci, oid, tag, body;
  bool end = false;
  if (!r.ReadHeader(&ci) || !r.NextChild(ci, &oid, &end) || end || !r.Skip(oid) || !r.NextChild(ci, &tag, &end) ||
      end || !r.NextChild(tag, &body, &end) || end) {
    return Fail(context, ORLAX_E_INTERNAL, "tail");
  }
  tail->clear();
  for (int index = 0;; ++index) {
    Tlv child;
    if (!r.NextChild(body, &child, &end)) return Fail(context, ORLAX_E_INTERNAL, "tail");
    if (end) break;
    if (!r.Skip(child)) return Fail(context, ORLAX_E_INTERNAL, "tail");
    if (index >= 3) tail->append(der.substr(child.headerStart, r.position() - child.headerStart));
  }
  tail->append(kEoc + kEoc + kEoc);
  return 0;
}

BioPtr GrowingContentBio(std::FILE* file) {
  BioPtr bio(BIO_new(RangeMethod()));
  if (bio == nullptr) throw std::bad_alloc();
  BIO_set_data(bio.get(), new ContentReader(file, ContentPlace(), 0, false));
  BIO_set_init(bio.get(), 1);
  return bio;
}

void SetContentAvailable(BIO* bio, const ContentPlace& place, uint64_t available, bool complete) {
  static_cast<ContentReader*>(BIO_get_data(bio))->SetAvailable(place, available, complete);
}

bool EnvelopeHeadSoFar(std::FILE* file, std::string* head, const std::string& unprotected) {
  SplitMessage split;
  ShellBuilder shell;
  Walk(file, &split, &shell);
  if (!split.hasContent || shell.head() == 0) return false;
  head->clear();
  if (!shell.Assemble(file, head, shell.head())) return false;
  // encryptedContentInfo closes, then the body, [0] and the ContentInfo.
  head->append(kEoc + unprotected + kEoc + kEoc + kEoc);
  return true;
}

std::string EnvelopeUnprotectedAttributes(std::string_view shell) {
  BerReader r(shell);
  Tlv ci, oid, tag, body, child;
  bool end = false;
  if (!r.ReadHeader(&ci) || !r.NextChild(ci, &oid, &end) || end || !r.Skip(oid) || !r.NextChild(ci, &tag, &end) ||
      end || !r.NextChild(tag, &body, &end) || end) {
    return {};
  }
  while (r.NextChild(body, &child, &end) && !end && r.Skip(child)) {
    if (child.tagClass == 2 && child.tag == 1) return std::string(shell.substr(child.headerStart, r.position() - child.headerStart));
  }
  return {};
}

namespace {

// A message's DER read down to the start of its body (SignedData or
// EnvelopedData), for the joins to write it again with the content put in.
struct OuterElements {
  uint32_t Read(Context* context, CMS_ContentInfo* cms, const std::string& what) {
    mem.reset(BIO_new(BIO_s_mem()));
    if (mem == nullptr) throw std::bad_alloc();
    if (uint32_t code = WriteCms(context, cms, Encoding::kDer, mem.get(), what); code != 0) return code;
    char* data = nullptr;
    long length = BIO_get_mem_data(mem.get(), &data);
    der = std::string_view(data, static_cast<size_t>(length));
    reader = BerReader(der);
    bool end = false;
    if (!reader.ReadHeader(&ci) || !reader.NextChild(ci, &oid, &end) || end || !reader.Skip(oid) ||
        !reader.NextChild(ci, &tag, &end) || end || !reader.NextChild(tag, &body, &end) || end) {
      return Fail(context, ORLAX_E_INTERNAL, "join");
    }
    return 0;
  }
  BioPtr mem;
  std::string_view der;
  BerReader reader{std::string_view()};
  Tlv ci, oid, tag, body;
};

}  // namespace

uint32_t JoinToBio(Context* context, CMS_ContentInfo* cms, std::FILE* file, const ContentPlace& place, BIO* out,
                   const std::string& what) {
  OuterElements outer;
  if (uint32_t code = outer.Read(context, cms, what); code != 0) return code;
  const std::string_view der = outer.der;
  BerReader& r = outer.reader;
  const Tlv &oid = outer.oid, &body = outer.body;
  bool end = false;
  std::string head = kIndefiniteSequence + std::string(der.substr(oid.headerStart, oid.start + oid.length - oid.headerStart)) +
                     kIndefiniteExplicit0 + kIndefiniteSequence;
  if (!WriteAll(out, head.data(), head.size())) return Fail(context, ORLAX_E_FILE_WRITE, what);
  for (int index = 0;; ++index) {
    Tlv child;
    if (!r.NextChild(body, &child, &end)) return Fail(context, ORLAX_E_INTERNAL, "join");
    if (end) break;
    if (!r.Skip(child)) return Fail(context, ORLAX_E_INTERNAL, "join");
    std::string_view raw = der.substr(child.headerStart, r.position() - child.headerStart);
    if (index != 2) {
      if (!WriteAll(out, raw.data(), raw.size())) return Fail(context, ORLAX_E_FILE_WRITE, what);
      continue;
    }
    // encapContentInfo: its type, then the content from the file in pieces.
    BerReader inner(raw);
    Tlv encap, type;
    if (!inner.ReadHeader(&encap) || !inner.NextChild(encap, &type, &end) || end) {
      return Fail(context, ORLAX_E_INTERNAL, "join");
    }
    std::string start = kIndefiniteSequence + std::string(raw.substr(type.headerStart, type.start + type.length - type.headerStart)) +
                        kIndefiniteExplicit0 + std::string("\x24\x80", 2);
    if (!WriteAll(out, start.data(), start.size())) return Fail(context, ORLAX_E_FILE_WRITE, what);
    ContentReader reader(file, place, UINT64_MAX, true);
    std::string buffer(kChunk, '\0');
    for (;;) {
      int n = reader.Read(buffer.data(), static_cast<int>(buffer.size()));
      if (n < 0) return Fail(context, ORLAX_E_FILE_OPEN, what);
      if (n == 0) break;
      std::string header = "\x04" + DerLength(static_cast<uint64_t>(n));
      if (!WriteAll(out, header.data(), header.size()) || !WriteAll(out, buffer.data(), static_cast<size_t>(n))) {
        return Fail(context, ORLAX_E_FILE_WRITE, what);
      }
    }
    std::string close = kEoc + kEoc + kEoc;
    if (!WriteAll(out, close.data(), close.size())) return Fail(context, ORLAX_E_FILE_WRITE, what);
  }
  std::string tail = kEoc + kEoc + kEoc;
  if (!WriteAll(out, tail.data(), tail.size())) return Fail(context, ORLAX_E_FILE_WRITE, what);
  return 0;
}

namespace {

// A DER element's header with a new content length, keeping its tag octet.
std::string DerHeader(std::string_view der, const Tlv& element, uint64_t length) {
  return std::string(1, der[element.headerStart]) + DerLength(length);
}

uint64_t DerTotal(std::string_view der, const Tlv& element, uint64_t length) {
  return DerHeader(der, element, length).size() + length;
}

// Copies the content at place in file to out, piece by piece.
uint32_t CopyContent(Context* context, std::FILE* file, const ContentPlace& place, BIO* out, const std::string& what) {
  ContentReader reader(file, place, UINT64_MAX, true);
  std::string buffer(kChunk, '\0');
  for (;;) {
    int n = reader.Read(buffer.data(), static_cast<int>(buffer.size()));
    if (n < 0) return Fail(context, ORLAX_E_FILE_OPEN, what);
    if (n == 0) return 0;
    if (!WriteAll(out, buffer.data(), static_cast<size_t>(n))) return Fail(context, ORLAX_E_FILE_WRITE, what);
  }
}

}  // namespace

uint32_t JoinToBioDer(Context* context, CMS_ContentInfo* cms, std::FILE* file, const ContentPlace& place, BIO* out,
                      const std::string& what) {
  const uint64_t contentLength = place.length;
  OuterElements outer;
  if (uint32_t code = outer.Read(context, cms, what); code != 0) return code;
  const std::string_view der = outer.der;
  BerReader& r = outer.reader;
  const Tlv &ci = outer.ci, &oid = outer.oid, &tag = outer.tag, &body = outer.body;
  bool end = false;
  // The body's one SEQUENCE is where the content goes: encapContentInfo of a
  // signed message, encryptedContentInfo of an enveloped one. The content is
  // its last element, absent from the shell.
  std::vector<std::pair<uint64_t, uint64_t>> before, after;  // raw children: offset, length
  Tlv target;
  bool found = false;
  for (;;) {
    Tlv child;
    if (!r.NextChild(body, &child, &end)) return Fail(context, ORLAX_E_INTERNAL, "join");
    if (end) break;
    if (!r.Skip(child)) return Fail(context, ORLAX_E_INTERNAL, "join");
    const std::pair<uint64_t, uint64_t> raw{child.headerStart, r.position() - child.headerStart};
    if (!found && child.tagClass == 0 && child.tag == 16 && child.constructed) {
      target = child;
      found = true;
    } else {
      (found ? after : before).push_back(raw);
    }
  }
  if (!found) return Fail(context, ORLAX_E_INTERNAL, "join");

  // Signed: [0] EXPLICIT OCTET STRING; enveloped: [0] IMPLICIT OCTET STRING.
  std::string contentHeader;
  if (IsSigned(cms)) {
    const std::string octets = "\x04" + DerLength(contentLength);
    contentHeader = "\xA0" + DerLength(octets.size() + contentLength) + octets;
  } else {
    contentHeader = "\x80" + DerLength(contentLength);
  }
  const uint64_t targetLength = target.length + contentHeader.size() + contentLength;
  const uint64_t bodyLength = body.length - DerTotal(der, target, target.length) + DerTotal(der, target, targetLength);
  const uint64_t tagLength = DerTotal(der, body, bodyLength);
  const uint64_t oidTotal = oid.start + oid.length - oid.headerStart;
  const uint64_t ciLength = oidTotal + DerTotal(der, tag, tagLength);

  std::string head = DerHeader(der, ci, ciLength) + std::string(der.substr(oid.headerStart, oidTotal)) +
                     DerHeader(der, tag, tagLength) + DerHeader(der, body, bodyLength);
  // OpenSSL's stream encoder sets an enveloped message's version before a
  // MAC cipher adds its unprotected attribute; with the attribute the
  // version is 2 (RFC 5652 6.1), as a message built whole has it.
  const bool unprotectedAttributes = !after.empty() && static_cast<unsigned char>(der[after.back().first]) == 0xA1;
  const std::string_view versionZero("\x02\x01\x00", 3);
  for (size_t i = 0; i < before.size(); ++i) {
    std::string_view raw = der.substr(before[i].first, before[i].second);
    if (i == 0 && !IsSigned(cms) && unprotectedAttributes && raw == versionZero) raw = std::string_view("\x02\x01\x02", 3);
    head.append(raw);
  }
  head += DerHeader(der, target, targetLength);
  head.append(der.substr(target.start, target.length));
  head += contentHeader;
  if (!WriteAll(out, head.data(), head.size())) return Fail(context, ORLAX_E_FILE_WRITE, what);
  if (uint32_t code = CopyContent(context, file, place, out, what); code != 0) return code;
  std::string tail;
  for (const auto& raw : after) tail.append(der.substr(raw.first, raw.second));
  if (!WriteAll(out, tail.data(), tail.size())) return Fail(context, ORLAX_E_FILE_WRITE, what);
  return 0;
}

}  // namespace qelm
