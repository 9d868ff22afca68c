// Messages whose content is cut into segments of every shape BER allows:
// one piece, many pieces (empty and one-byte ones among them), segments
// nested in segments of definite and indefinite length. The library reads
// such a content piece by piece as it walks it, in the file forms and in the
// memory streams fed a few bytes at a time (so that headers arrive split
// across calls); it gives the content back whole, and refuses a content
// whose segments are damaged or cut short.

#include "tests/qelm/library_fixture.h"

namespace qelmtest {
namespace {

// --- a small DER reader and BER writer -----------------------------------

struct Element {
  unsigned char tag = 0;
  size_t header = 0, value = 0, end = 0;  // offsets into the message
};

Element ReadElement(const std::string& der, size_t at) {
  Element e;
  e.header = at;
  e.tag = static_cast<unsigned char>(der.at(at));
  size_t length = static_cast<unsigned char>(der.at(at + 1));
  size_t pos = at + 2;
  if (length & 0x80) {
    const size_t count = length & 0x7F;
    length = 0;
    for (size_t i = 0; i < count; ++i) length = (length << 8) | static_cast<unsigned char>(der.at(pos++));
  }
  e.value = pos;
  e.end = pos + length;
  return e;
}

std::vector<Element> Children(const std::string& der, const Element& parent) {
  std::vector<Element> children;
  for (size_t at = parent.value; at < parent.end;) {
    children.push_back(ReadElement(der, at));
    at = children.back().end;
  }
  return children;
}

std::string Length(size_t length) {
  if (length < 128) return std::string(1, static_cast<char>(length));
  std::string bytes;
  for (size_t v = length; v != 0; v >>= 8) bytes.insert(bytes.begin(), static_cast<char>(v & 0xFF));
  return std::string(1, static_cast<char>(0x80 | bytes.size())) + bytes;
}

const std::string kEoc(2, '\0');

std::string Definite(unsigned char tag, const std::string& value) {
  return std::string(1, static_cast<char>(tag)) + Length(value.size()) + value;
}
std::string Indefinite(unsigned char tag, const std::string& value) {
  return std::string(1, static_cast<char>(tag)) + '\x80' + value + kEoc;
}

// How a content is cut. outer: the tag of the content's own element when
// primitive (0x04 in a signed message, 0x80 in an enveloped one); a
// constructed shape takes its constructed form (0x24, 0xA0).
using Shape = std::string (*)(const std::string& content, unsigned char outer);

std::string OnePiece(const std::string& c, unsigned char outer) { return Definite(outer, c); }

// Pieces of 1, 0, 4095 bytes and the rest, in an indefinite segment.
std::string SmallAndEmptyPieces(const std::string& c, unsigned char outer) {
  std::string inner = Definite(0x04, c.substr(0, 1)) + Definite(0x04, "") + Definite(0x04, c.substr(1, 4095)) +
                      Definite(0x04, c.substr(4096));
  return Indefinite(outer | 0x20, inner);
}

// Three levels: a definite segment holding an indefinite one, an empty
// definite one, and one-byte pieces; then a plain piece with the rest.
std::string NestedSegments(const std::string& c, unsigned char outer) {
  std::string ones;
  for (size_t i = 10; i < 300; ++i) ones += Definite(0x04, c.substr(i, 1));
  std::string level3 = Indefinite(0x24, Definite(0x04, c.substr(0, 10)) + Definite(0x24, "") + ones);
  std::string level2 = Definite(0x24, level3 + Definite(0x04, c.substr(300, 700)));
  return Indefinite(outer | 0x20, level2 + Definite(0x04, c.substr(1000)));
}

// The message with its content element replaced by shape's. A signed
// message's content is [0] EXPLICIT OCTET STRING in its encapContentInfo,
// an enveloped one's [0] IMPLICIT at the end of its encryptedContentInfo;
// every element around the content takes the indefinite length.
std::string Recut(const std::string& der, Shape shape) {
  const Element info = ReadElement(der, 0);
  const std::vector<Element> top = Children(der, info);
  const Element body = Children(der, top.at(1)).at(0);
  const std::vector<Element> parts = Children(der, body);
  const bool isSigned = der.substr(top[0].value, top[0].end - top[0].value) ==
                        std::string("\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02", 9);
  std::string out;
  bool done = false;
  for (const Element& part : parts) {
    const bool holder = !done && part.tag == 0x30 && (!isSigned || &part == &parts.at(2));
    if (!holder) {
      out += der.substr(part.header, part.end - part.header);
      continue;
    }
    done = true;
    std::vector<Element> fields = Children(der, part);
    std::string inner;
    for (size_t i = 0; i + 1 < fields.size(); ++i) inner += der.substr(fields[i].header, fields[i].end - fields[i].header);
    const Element& content = fields.back();
    if (isSigned) {
      const Element octets = Children(der, content).at(0);
      inner += Indefinite(0xA0, shape(der.substr(octets.value, octets.end - octets.value), 0x04));
    } else {
      inner += shape(der.substr(content.value, content.end - content.value), 0x80);
    }
    out += Indefinite(0x30, inner);
  }
  return Indefinite(0x30, der.substr(top[0].header, top[0].end - top[0].header) + Indefinite(0xA0, Indefinite(0x30, out)));
}

// --- the tests -------------------------------------------------------------

struct Case {
  const char* name;
  Shape shape;
};
const Case kShapes[] = {
    {"one piece", OnePiece},
    {"small and empty pieces", SmallAndEmptyPieces},
    {"nested segments", NestedSegments},
};

DataBlob Blob(const std::string& bytes) {
  return {static_cast<uint32_t>(bytes.size()), reinterpret_cast<uint8_t*>(const_cast<char*>(bytes.data()))};
}

std::string Take(LibraryContext ctx, DataBlob* blob) {
  std::string bytes(reinterpret_cast<const char*>(blob->data), blob->length);
  ORLAX_FreeMem(ctx, blob->data);
  *blob = {};
  return bytes;
}

// Slices of 7 bytes: headers of two to four bytes arrive split.
constexpr size_t kSlice = 7;

class ContentSegmentsTest : public LibraryTest {
 protected:
  void SetUp() override {
    content_ = RandomBytes(20000, 11);
    ctx_ = std::make_unique<Ctx>(Open("user2"));
  }

  std::string SignedDer() {
    SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
    DataBlob in = Blob(content_), out{};
    EXPECT_EQ(ORLAX_CmsBlkAttSignMem(*ctx_, &sign, &in, &out), 0u);
    return Take(*ctx_, &out);
  }

  std::string EnvelopedDer() {
    FindResult user2 = Find(*ctx_, "user2");
    EncryptParams params{};
    params.cipherFlags = ORLAX_CIPHER_GOST89;  // no MAC: decrypted while it arrives
    params.certCount = user2.count;
    params.certs = user2.certs;
    DataBlob in = Blob(content_), out{};
    EXPECT_EQ(ORLAX_CmsBlkEncryptMem(*ctx_, &params, &in, &out), 0u);
    ORLAX_FreeFindResult(*ctx_, &user2);
    return Take(*ctx_, &out);
  }

  // Verification through the file form: 0 and the content, or the code.
  uint32_t VerifyFile(const std::string& message, std::string* content) {
    fs::path in = WriteInput("message.p7s", message), out = File("content.bin");
    fs::remove(out);
    VerifyParams params{};
    params.flags = ORLAX_VERIFY_CONTENT;
    params.contentLimit = 0xFFFFFFFF;
    params.checks = 0x407;
    VerifyResult result{};
    uint32_t code = ORLAX_CmsStrAttVerifyFile(*ctx_, &params, in.c_str(), out.c_str(), &result);
    if (code == 0 && (result.count != 1 || result.signers[0].status != 0)) code = 0xFFFF;
    ORLAX_FreeVerifyResult(*ctx_, &result);
    if (code == 0) *content = Read(out);
    return code;
  }

  // Verification through the memory stream fed in slices: the first code
  // that is not 0, or 0 and the content handed out.
  uint32_t VerifyStream(const std::string& message, std::string* content) {
    VerifyParams params{};
    params.flags = ORLAX_VERIFY_CONTENT;
    params.contentLimit = 0xFFFFFFFF;
    params.checks = 0x407;
    StreamContext s = nullptr;
    const std::string head = message.substr(0, kSlice);
    DataBlob first = Blob(head);
    if (uint32_t code = ORLAX_CmsStrAttVerifyInitMem(*ctx_, &params, &first, &s)) return code;
    for (size_t at = kSlice; at < message.size(); at += kSlice) {
      const std::string slice = message.substr(at, kSlice);
      DataBlob in = Blob(slice), out{};
      if (uint32_t code = ORLAX_CmsStrAttVerifyUpdateMem(*ctx_, &params, &s, &in, &out)) {
        DataBlob ignored{};
        VerifyResult result{};
        ORLAX_CmsStrAttVerifyFinalMem(*ctx_, &params, &s, &ignored, &result);
        ORLAX_FreeVerifyResult(*ctx_, &result);
        return code;
      }
      *content += Take(*ctx_, &out);
    }
    DataBlob last{};
    VerifyResult result{};
    uint32_t code = ORLAX_CmsStrAttVerifyFinalMem(*ctx_, &params, &s, &last, &result);
    if (code == 0 && (result.count != 1 || result.signers[0].status != 0)) code = 0xFFFF;
    *content += Take(*ctx_, &last);
    ORLAX_FreeVerifyResult(*ctx_, &result);
    return code;
  }

  uint32_t DecryptFile(const std::string& message, std::string* content) {
    fs::path in = WriteInput("message.p7e", message), out = File("plain.bin");
    fs::remove(out);
    DecryptParams params{0, 0, 0, 0x8003, 0};
    DecryptResult result{};
    uint32_t code = ORLAX_CmsStrDecryptFile(*ctx_, &params, in.c_str(), out.c_str(), &result);
    ORLAX_FreeDecryptResult(*ctx_, &result);
    if (code == 0) *content = Read(out);
    return code;
  }

  uint32_t DecryptStream(const std::string& message, std::string* content) {
    DecryptParams params{0, 0, 0, 0x8003, 0};
    StreamContext s = nullptr;
    const std::string head = message.substr(0, kSlice);
    DataBlob first = Blob(head);
    if (uint32_t code = ORLAX_CmsStrDecryptInitMem(*ctx_, &params, &first, &s)) return code;
    for (size_t at = kSlice; at < message.size(); at += kSlice) {
      const std::string slice = message.substr(at, kSlice);
      DataBlob in = Blob(slice), out{};
      if (uint32_t code = ORLAX_CmsStrDecryptUpdateMem(*ctx_, &params, &s, &in, &out)) {
        DataBlob ignored{};
        DecryptResult result{};
        ORLAX_CmsStrDecryptFinalMem(*ctx_, &params, &s, &ignored, &result);
        ORLAX_FreeDecryptResult(*ctx_, &result);
        return code;
      }
      *content += Take(*ctx_, &out);
    }
    DataBlob last{};
    DecryptResult result{};
    uint32_t code = ORLAX_CmsStrDecryptFinalMem(*ctx_, &params, &s, &last, &result);
    *content += Take(*ctx_, &last);
    ORLAX_FreeDecryptResult(*ctx_, &result);
    return code;
  }

  std::string content_;
  std::unique_ptr<Ctx> ctx_;
};

TEST_F(ContentSegmentsTest, SignedContentOfEveryShapeVerifiesAndComesBackWhole) {
  const std::string der = SignedDer();
  for (const Case& c : kShapes) {
    SCOPED_TRACE(c.name);
    const std::string message = Recut(der, c.shape);
    std::string fromFile, fromStream;
    EXPECT_EQ(VerifyFile(message, &fromFile), 0u);
    EXPECT_TRUE(fromFile == content_);
    EXPECT_EQ(VerifyStream(message, &fromStream), 0u);
    EXPECT_TRUE(fromStream == content_) << fromStream.size() << " bytes handed out";
  }
}

TEST_F(ContentSegmentsTest, EncryptedContentOfEveryShapeDecryptsWhole) {
  const std::string der = EnvelopedDer();
  for (const Case& c : kShapes) {
    SCOPED_TRACE(c.name);
    const std::string message = Recut(der, c.shape);
    std::string fromFile, fromStream;
    EXPECT_EQ(DecryptFile(message, &fromFile), 0u);
    EXPECT_TRUE(fromFile == content_);
    EXPECT_EQ(DecryptStream(message, &fromStream), 0u);
    EXPECT_TRUE(fromStream == content_) << fromStream.size() << " bytes decrypted";
  }
}

// Damage the walk must see: a piece longer than the segment holding it, an
// end-of-contents inside a segment of definite length, a message cut inside
// its content. Each form fails; none gives the content as verified.
TEST_F(ContentSegmentsTest, DamagedSegmentsAreRefusedByEveryForm) {
  const std::string der = SignedDer();
  const std::string good = Recut(der, NestedSegments);
  // The definite level-2 segment: its header follows the outer segment's.
  const size_t level2 = good.find(std::string("\x24\x82", 2));
  ASSERT_NE(level2, std::string::npos);
  std::string overlong = good;
  const size_t length = (static_cast<unsigned char>(good[level2 + 2]) << 8) | static_cast<unsigned char>(good[level2 + 3]);
  overlong[level2 + 2] = static_cast<char>((length - 1) >> 8);
  overlong[level2 + 3] = static_cast<char>((length - 1) & 0xFF);
  std::string strayEnd = good;
  const size_t plain = good.find(std::string("\x04\x82\x02\xBC", 4), level2);  // the 700-byte piece
  ASSERT_NE(plain, std::string::npos);
  strayEnd.replace(plain, 4, std::string("\x00\x00\x04\x82", 4));
  const std::string cut = good.substr(0, good.size() / 2);
  const struct {
    const char* name;
    std::string message;
  } damaged[] = {{"piece past its segment", overlong}, {"end inside a definite segment", strayEnd}, {"cut", cut}};
  for (const auto& d : damaged) {
    SCOPED_TRACE(d.name);
    std::string fromFile, fromStream;
    EXPECT_NE(VerifyFile(d.message, &fromFile), 0u);
    EXPECT_NE(VerifyStream(d.message, &fromStream), 0u);
  }
}

}  // namespace
}  // namespace qelmtest
