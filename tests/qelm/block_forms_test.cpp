// The block file forms write the same DER as the block memory forms, which
// build the whole message in memory and encode it at once: every tag and
// length alike, and every value alike but the ones chosen afresh for each
// message (signing time, signature, keys, initialisation vectors, MACs and
// the encrypted content). openssl accepts what they write.

#include <cstdlib>

#include "tests/qelm/library_fixture.h"

namespace qelmtest {
namespace {

using testsupport::RunOpenssl;

// A DER element: tag octet, content bounds.
struct Element {
  unsigned char tag = 0;
  size_t start = 0, length = 0, end = 0;
};

// Reads one definite-length element at pos; false for anything else (an
// indefinite length, a multi-octet tag, a length past the end).
bool ReadElement(const std::string& der, size_t pos, Element* e) {
  if (pos + 2 > der.size()) return false;
  e->tag = static_cast<unsigned char>(der[pos]);
  if ((e->tag & 0x1F) == 0x1F) return false;
  unsigned char first = static_cast<unsigned char>(der[pos + 1]);
  size_t at = pos + 2;
  if (first < 0x80) {
    e->length = first;
  } else {
    const size_t count = first & 0x7F;
    if (count == 0 || count > 8 || at + count > der.size()) return false;
    e->length = 0;
    for (size_t i = 0; i < count; i++) e->length = (e->length << 8) | static_cast<unsigned char>(der[at + i]);
    if (e->length < 0x80 || static_cast<unsigned char>(der[at]) == 0) return false;  // not the shortest form
    at += count;
  }
  e->start = at;
  e->end = at + e->length;
  return e->end <= der.size();
}

// Values that differ from one message to the next.
bool IsFreshValue(unsigned char tag) {
  return tag == 0x03 || tag == 0x04 || tag == 0x17 || tag == 0x18 || tag == 0x80 || tag == 0x81;
}

// Compares two DER trees element by element; a message names the first place
// where they differ.
void CompareTrees(const std::string& a, const std::string& b, size_t pa, size_t pb, size_t endA, const std::string& path,
                  std::string* difference) {
  while (difference->empty() && pa < endA) {
    Element ea, eb;
    if (!ReadElement(a, pa, &ea) || !ReadElement(b, pb, &eb)) {
      *difference = path + ": not DER";
      return;
    }
    const std::string here = path + "/" + std::to_string(ea.tag);
    if (ea.tag != eb.tag || ea.length != eb.length) {
      *difference = here + ": tag or length";
      return;
    }
    if ((ea.tag & 0x20) != 0) {
      CompareTrees(a, b, ea.start, eb.start, ea.end, here, difference);
    } else if (!IsFreshValue(ea.tag) && a.compare(ea.start, ea.length, b, eb.start, eb.length) != 0) {
      *difference = here + ": value";
    }
    pa = ea.end;
    pb = eb.end;
  }
}

std::string TreeDifference(const std::string& file, const std::string& memory) {
  if (file.size() != memory.size()) {
    return "sizes " + std::to_string(file.size()) + " and " + std::to_string(memory.size());
  }
  std::string difference;
  CompareTrees(file, memory, 0, 0, file.size(), "", &difference);
  return difference;
}

std::string TakeBlob(LibraryContext ctx, DataBlob& blob) {
  std::string bytes(reinterpret_cast<char*>(blob.data), blob.length);
  if (blob.length > 0) ORLAX_FreeMem(ctx, blob.data);
  blob = {};
  return bytes;
}

struct Size {
  const char* name;
  size_t bytes;
};
// The file forms read and write in pieces of 64 KiB.
const Size kSizes[] = {
    {"empty", 0}, {"one byte", 1}, {"one piece", 1 << 16}, {"several pieces", 3 * (1 << 16) + 17},
};

class BlockFormsTest : public LibraryTest {
 protected:
  DataBlob Blob(const std::string& bytes) {
    return DataBlob{static_cast<uint32_t>(bytes.size()), reinterpret_cast<uint8_t*>(const_cast<char*>(bytes.data()))};
  }
  // The content of an attached message that openssl verifies.
  std::string OpensslVerifiedContent(const fs::path& message) {
    const fs::path content = fs::path(message).concat(".content");
    std::string log;
    EXPECT_EQ(RunOpenssl({"cms", "-verify", "-binary", "-inform", "DER", "-in", message.string(), "-CAfile",
                          pki_.Cert("ca").string(), "-out", content.string()},
                         &log),
              0)
        << log;
    return Read(content);
  }
};

// A new attached message is the DER of the memory form; a second signer
// added to it keeps it DER throughout.
TEST_F(BlockFormsTest, AttachedSignatureIsTheDerOfTheMemoryFormAndVerifiesWithOpenssl) {
  Ctx first = Open("user1");
  Ctx second = Open("user2");
  SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
  for (const Size& size : kSizes) {
    SCOPED_TRACE(size.name);
    const std::string data = RandomBytes(size.bytes, 21);
    const fs::path input = WriteInput(std::string("att.") + size.name, data);
    const fs::path once = File(std::string("att.") + size.name + ".1.p7s");
    const fs::path twice = File(std::string("att.") + size.name + ".2.p7s");
    ASSERT_EQ(ORLAX_CmsBlkAttSignFile(first, &sign, input.c_str(), once.c_str()), 0u);
    DataBlob content = Blob(data), memory{};
    ASSERT_EQ(ORLAX_CmsBlkAttSignMem(first, &sign, &content, &memory), 0u);
    EXPECT_EQ(TreeDifference(Read(once), TakeBlob(first, memory)), "");
    EXPECT_TRUE(OpensslVerifiedContent(once) == data);

    ASSERT_EQ(ORLAX_CmsBlkAttSignFile(second, &sign, once.c_str(), twice.c_str()), 0u);
    const std::string twiceBytes = Read(twice);
    std::string difference;
    CompareTrees(twiceBytes, twiceBytes, 0, 0, twiceBytes.size(), "", &difference);
    EXPECT_EQ(difference, "");
    EXPECT_GT(twiceBytes.size(), Read(once).size());
    EXPECT_TRUE(OpensslVerifiedContent(twice) == data);
  }
}

TEST_F(BlockFormsTest, DetachedSignatureIsTheDerOfTheMemoryForm) {
  Ctx ctx = Open("user1");
  SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
  for (const Size& size : kSizes) {
    SCOPED_TRACE(size.name);
    const std::string data = RandomBytes(size.bytes, 23);
    const fs::path input = WriteInput(std::string("det.") + size.name, data);
    const fs::path output = File(std::string("det.") + size.name + ".p7d");
    ASSERT_EQ(ORLAX_CmsBlkDetSignFile(ctx, &sign, input.c_str(), nullptr, output.c_str()), 0u);
    DataBlob content = Blob(data), memory{};
    ASSERT_EQ(ORLAX_CmsBlkDetSignMem(ctx, &sign, &content, nullptr, &memory), 0u);
    EXPECT_EQ(TreeDifference(Read(output), TakeBlob(ctx, memory)), "");
  }
}

TEST_F(BlockFormsTest, EncryptedMessageIsTheDerOfTheMemoryFormAndDecrypts) {
  struct Cipher {
    const char* name;
    uint32_t flags;
  } ciphers[] = {{"gost89", ORLAX_CIPHER_GOST89}, {"magma-ctr-acpkm", 0x20000}, {"kuznyechik-ctr-acpkm-omac", 0xC0000}};
  Ctx sender = Open("user1");
  Ctx receiver = Open("user2");
  FindResult user2 = Find(sender, "user2");
  EncryptParams params{};
  params.certCount = user2.count;
  params.certs = user2.certs;
  for (const Cipher& cipher : ciphers) {
    params.cipherFlags = cipher.flags;
    for (const Size& size : kSizes) {
      SCOPED_TRACE(std::string(cipher.name) + ", " + size.name);
      const std::string data = RandomBytes(size.bytes, 24);
      const std::string stem = std::string("enc.") + cipher.name + "." + size.name;
      const fs::path input = WriteInput(stem, data);
      const fs::path output = File(stem + ".p7e");
      ASSERT_EQ(ORLAX_CmsBlkEncryptFile(sender, &params, input.c_str(), output.c_str()), 0u);
      DataBlob content = Blob(data), memory{};
      ASSERT_EQ(ORLAX_CmsBlkEncryptMem(sender, &params, &content, &memory), 0u);
      EXPECT_EQ(TreeDifference(Read(output), TakeBlob(sender, memory)), "");
      for (const auto& entry : fs::directory_iterator(output.parent_path())) {
        EXPECT_EQ(entry.path().filename().string().find(".~"), std::string::npos) << "work file left behind";
      }

      // Both decryptions give the data back.
      DecryptParams decrypt{0, 0, 0, 0x8003, 0};
      for (bool stream : {false, true}) {
        const fs::path back = File(stem + (stream ? ".s.out" : ".b.out"));
        DecryptResult result{};
        EXPECT_EQ(stream ? ORLAX_CmsStrDecryptFile(receiver, &decrypt, output.c_str(), back.c_str(), &result)
                         : ORLAX_CmsBlkDecryptFile(receiver, &decrypt, output.c_str(), back.c_str(), &result),
                  0u);
        ORLAX_FreeDecryptResult(receiver, &result);
        EXPECT_TRUE(Read(back) == data);
      }
      // openssl's engine decrypts the key-meshing ciphers only up to 1000
      // bytes (see envelope_test.cpp).
      if (cipher.flags == ORLAX_CIPHER_GOST89 || size.bytes <= 1000) {
        const fs::path back = File(stem + ".openssl.out");
        std::string log;
        EXPECT_EQ(RunOpenssl({"cms", "-decrypt", "-binary", "-inform", "DER", "-in", output.string(), "-recip",
                              pki_.Cert("user2").string(), "-inkey", pki_.Key("user2").string(), "-out",
                              back.string()},
                             &log),
                  0)
            << log;
        EXPECT_TRUE(Read(back) == data);
      }
    }
  }
  ORLAX_FreeFindResult(sender, &user2);
}

}  // namespace
}  // namespace qelmtest
