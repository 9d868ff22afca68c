// Certificate search, file digests and the memory streams.

#include <sys/stat.h>

#include <set>

#include "tests/qelm/library_fixture.h"

namespace qelmtest {
namespace {

using testsupport::RunOpenssl;

class FindCertTest : public LibraryTest {
 protected:
  std::vector<std::string> Owners(LibraryContext ctx, uint32_t flags, const char* subject, uint32_t* code) {
    CertQuery query{};
    query.flags = flags;
    query.subjectKind = subject != nullptr ? 4 : 0;
    query.subject = subject;
    query.selectionMask = 0x10000;
    FindResult result{};
    *code = ORLAX_FindCert(ctx, &query, &result);
    std::vector<std::string> owners;
    for (uint32_t i = 0; i < result.count; ++i) owners.push_back(result.certs[i].owner);
    ORLAX_FreeFindResult(ctx, &result);
    EXPECT_EQ(result.count, 0u);
    return owners;
  }
};

TEST_F(FindCertTest, OwnerDnMatchesWithoutRegardToLetterCase) {
  Ctx ctx = Open("user1");
  uint32_t code = 0;
  std::string upper = "CN=ИВАНОВ ИВАН, O=ТЕСТОВЫЙ БАНК, C=RU";
  EXPECT_EQ(Owners(ctx, 0x4, upper.c_str(), &code), std::vector<std::string>{pki_.Dn("user1")});
  EXPECT_EQ(code, 0u);
  std::string lower = "cn=петров пётр, o=тестовый банк, c=ru";
  EXPECT_EQ(Owners(ctx, 0, lower.c_str(), &code), std::vector<std::string>{pki_.Dn("user2")});

  DrainStack(ctx);
  EXPECT_TRUE(Owners(ctx, 0xE04, "CN=QQQ,C=RU", &code).empty());
  EXPECT_EQ(code, ORLAX_E_CERT_NOT_FOUND);
  EXPECT_EQ(DrainStack(ctx).size(), 1u);
  // Near misses: another order of the parts, a missing blank.
  std::string reordered = "C=RU, O=Тестовый Банк, CN=Иванов Иван";
  EXPECT_TRUE(Owners(ctx, 0, reordered.c_str(), &code).empty());
  std::string squeezed = "CN=Иванов Иван,O=Тестовый Банк, C=RU";
  EXPECT_TRUE(Owners(ctx, 0, squeezed.c_str(), &code).empty());
}

TEST_F(FindCertTest, RecordCarriesTheCertificateFields) {
  Ctx ctx = Open("user2");
  FindResult found = Find(ctx, "user1");
  ASSERT_EQ(found.count, 1u) << "the PSE's and LOCAL's copies count once";
  const CertRecord& record = found.certs[0];
  EXPECT_EQ(std::string(record.owner), pki_.Dn("user1"));
  EXPECT_EQ(std::string(record.issuer), pki_.Issuer("user1"));
  EXPECT_EQ(std::string(record.serialNumber), pki_.Serial("user1"));
  EXPECT_NE(record.keyUsage & ORLAX_KU_ENCRYPTION_MASK, 0);
  EXPECT_NE(record.keyUsage & ORLAX_KU_DIGITAL_SIGNATURE, 0);
  std::set<std::string> oids(record.oids, record.oids + record.oidCount);
  EXPECT_EQ(oids.count("1.3.6.1.5.5.7.3.4"), 1u) << "emailProtection";
  EXPECT_EQ(testsupport::ReadFileBytes(pki_.CertDer("user1")),
            std::string(reinterpret_cast<const char*>(record.encoded), record.encodedLength));
  EXPECT_LT(record.notBefore, record.notAfter);
  ORLAX_FreeFindResult(ctx, &found);
}

TEST_F(FindCertTest, AllOwnersAndPatterns) {
  Ctx ctx = Open("user1");
  uint32_t code = 0;
  std::vector<std::string> all = Owners(ctx, 0, nullptr, &code);
  std::set<std::string> owners(all.begin(), all.end());
  EXPECT_EQ(owners.size(), all.size()) << "each certificate once";
  EXPECT_EQ(owners.count(pki_.Dn("user1")), 1u);
  EXPECT_EQ(owners.count(pki_.Dn("user2")), 1u);
  EXPECT_EQ(owners.count(pki_.Dn("ca")), 0u) << "CA certificates are no owners";
  EXPECT_EQ(Owners(ctx, 0xE04, "*=*", &code).size(), all.size());
  EXPECT_EQ(Owners(ctx, 0xE04, "CN=ПЕТ*", &code), std::vector<std::string>{pki_.Dn("user2")});
  // A search by name matches one part of the DN; a search by DN only the whole.
  const std::string cn = "CN=" + pki_.CommonName("user1");
  EXPECT_EQ(Owners(ctx, 0xE04, cn.c_str(), &code), std::vector<std::string>{pki_.Dn("user1")});
  EXPECT_TRUE(Owners(ctx, 0x4, cn.c_str(), &code).empty());
  // Signing certificates only: the time-stamp authority is not one.
  std::vector<std::string> signers = Owners(ctx, 0x100, nullptr, &code);
  EXPECT_EQ(std::count(signers.begin(), signers.end(), pki_.Dn("tsa")), 0);
}

class HashTest : public LibraryTest {};

TEST_F(HashTest, DigestMatchesOpensslForBothLengths) {
  Ctx ctx = Open("user1");
  fs::path input = WriteInput("data.bin", RandomBytes(333 * 1024, 1));
  fs::path empty = WriteInput("empty.bin", "");
  struct {
    const char* oid;
    const char* md;
    uint32_t length;
  } cases[] = {{"1.2.643.7.1.1.2.2", "-md_gost12_256", 32}, {"1.2.643.7.1.1.2.3", "-md_gost12_512", 64}};
  for (const auto& c : cases) {
    for (const fs::path& file : {input, empty}) {
      SCOPED_TRACE(std::string(c.oid) + " " + file.filename().string());
      DataBlob digest{};
      ASSERT_EQ(ORLAX_StrHashFile(ctx, c.oid, file.c_str(), &digest), 0u);
      ASSERT_EQ(digest.length, c.length);
      static const char kHex[] = "0123456789abcdef";
      std::string hex;
      for (uint32_t i = 0; i < digest.length; ++i) {
        hex += kHex[digest.data[i] >> 4];
        hex += kHex[digest.data[i] & 15];
      }
      ORLAX_FreeMem(ctx, digest.data);
      std::string out;
      ASSERT_EQ(RunOpenssl({"dgst", c.md, "-r", file.string()}, &out), 0) << out;
      EXPECT_EQ(out.substr(0, hex.size()), hex);
    }
  }
  DataBlob digest{};
  EXPECT_EQ(ORLAX_StrHashFile(ctx, "1.2.840.113549.2.5", input.c_str(), &digest), ORLAX_E_UNKNOWN_ALGORITHM);
  EXPECT_EQ(ORLAX_StrHashFile(ctx, "1.2.643.7.1.1.2.2", File("missing").c_str(), &digest), ORLAX_E_FILE_OPEN);
  EXPECT_EQ(digest.data, nullptr);
  EXPECT_EQ(DrainStack(ctx).size(), 2u);
}

class StreamTest : public LibraryTest {
 protected:
  static DataBlob Blob(std::string& s) { return DataBlob{static_cast<uint32_t>(s.size()), reinterpret_cast<uint8_t*>(s.data())}; }
  static std::string Take(LibraryContext ctx, DataBlob* blob) {
    std::string bytes(reinterpret_cast<char*>(blob->data), blob->length);
    ORLAX_FreeMem(ctx, blob->data);
    *blob = {};
    return bytes;
  }
  // Splits data into three pieces for Init, Update, Update.
  static std::vector<std::string> Pieces(const std::string& data) {
    size_t third = data.size() / 3;
    return {data.substr(0, third), data.substr(third, third), data.substr(2 * third)};
  }
};

// A chain as the combined operations run it: sign, then encrypt, then decrypt
// and verify, each fed in pieces, each piece of output passed on.
TEST_F(StreamTest, SignEncryptDecryptVerifyInPieces) {
  Ctx sender = Open("user1");
  Ctx receiver = Open("user2");
  const std::string data = RandomBytes(350 * 1024, 13);
  SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
  StreamContext s = nullptr;
  auto pieces = Pieces(data);
  std::string signedMsg;
  DataBlob head = Blob(pieces[0]);
  ASSERT_EQ(ORLAX_CmsStrAttSignInitMem(sender, &sign, &head, &s), 0u);
  for (size_t i = 1; i < pieces.size(); ++i) {
    DataBlob in = Blob(pieces[i]), out{};
    ASSERT_EQ(ORLAX_CmsStrAttSignUpdateMem(sender, &sign, &s, &in, &out), 0u);
    signedMsg += Take(sender, &out);
  }
  DataBlob last{};
  ASSERT_EQ(ORLAX_CmsStrAttSignFinalMem(sender, &sign, &s, &last), 0u);
  EXPECT_EQ(s, nullptr);
  signedMsg += Take(sender, &last);

  FindResult found = Find(sender, "user2");
  EncryptParams enc{};
  enc.cipherFlags = 0xC0000;
  enc.certCount = found.count;
  enc.certs = found.certs;
  std::string encrypted;
  auto signedPieces = Pieces(signedMsg);
  DataBlob first = Blob(signedPieces[0]);
  ASSERT_EQ(ORLAX_CmsStrEncryptInitMem(sender, &enc, &first, &s), 0u);
  for (size_t i = 1; i < signedPieces.size(); ++i) {
    DataBlob in = Blob(signedPieces[i]), out{};
    ASSERT_EQ(ORLAX_CmsStrEncryptUpdateMem(sender, &enc, &s, &in, &out), 0u);
    encrypted += Take(sender, &out);
  }
  ASSERT_EQ(ORLAX_CmsStrEncryptFinalMem(sender, &enc, &s, &last), 0u);
  encrypted += Take(sender, &last);
  ORLAX_FreeFindResult(sender, &found);

  DecryptParams dec{0, 0, 0, 0x8003, 0};
  DecryptResult decResult{};
  std::string decrypted;
  auto encPieces = Pieces(encrypted);
  first = Blob(encPieces[0]);
  ASSERT_EQ(ORLAX_CmsStrDecryptInitMem(receiver, &dec, &first, &s), 0u);
  for (size_t i = 1; i < encPieces.size(); ++i) {
    DataBlob in = Blob(encPieces[i]), out{};
    ASSERT_EQ(ORLAX_CmsStrDecryptUpdateMem(receiver, &dec, &s, &in, &out), 0u);
    decrypted += Take(receiver, &out);
  }
  ASSERT_EQ(ORLAX_CmsStrDecryptFinalMem(receiver, &dec, &s, &last, &decResult), 0u);
  decrypted += Take(receiver, &last);
  ORLAX_FreeDecryptResult(receiver, &decResult);
  EXPECT_TRUE(decrypted == signedMsg);

  // Message information of the decrypted stream.
  auto decPieces = Pieces(decrypted);
  first = Blob(decPieces[0]);
  ASSERT_EQ(ORLAX_CmsStrMsgInfInitMem(receiver, &first, &s, 0), 0u);
  for (size_t i = 1; i < decPieces.size(); ++i) {
    DataBlob in = Blob(decPieces[i]);
    ASSERT_EQ(ORLAX_CmsStrMsgInfUpdateMem(receiver, &s, &in), 0u);
  }
  MessageInfo info{};
  ASSERT_EQ(ORLAX_CmsStrMsgInfFinalMem(receiver, &s, &info), 0u);
  EXPECT_EQ(info.type, ORLAX_MSG_SIGNED);
  EXPECT_EQ(info.flags, ORLAX_MSG_STREAM);
  EXPECT_EQ(info.signatureCount, 1u);
  ORLAX_CmsFreeMsgInf(receiver, &info);

  VerifyParams vp{};
  vp.flags = ORLAX_VERIFY_CONTENT;
  vp.contentLimit = 0xFFFFFFFF;
  vp.checks = 0x407;
  first = Blob(decPieces[0]);
  ASSERT_EQ(ORLAX_CmsStrAttVerifyInitMem(receiver, &vp, &first, &s), 0u);
  std::string content;
  for (size_t i = 1; i < decPieces.size(); ++i) {
    DataBlob in = Blob(decPieces[i]), out{};
    ASSERT_EQ(ORLAX_CmsStrAttVerifyUpdateMem(receiver, &vp, &s, &in, &out), 0u);
    // Never more than came in: the caller holds one piece, not two.
    EXPECT_LE(out.length, in.length);
    content += Take(receiver, &out);
  }
  EXPECT_GT(content.size(), data.size() / 2) << "content is handed out as the message arrives";
  VerifyResult vr{};
  ASSERT_EQ(ORLAX_CmsStrAttVerifyFinalMem(receiver, &vp, &s, &last, &vr), 0u);
  content += Take(receiver, &last);
  EXPECT_EQ(vr.count, 1u);
  ORLAX_FreeVerifyResult(receiver, &vr);
  EXPECT_TRUE(content == data);
}

TEST_F(StreamTest, DetachedSigningAndVerificationDigestPieceByPiece) {
  Ctx first = Open("user1");
  Ctx second = Open("user2");
  const std::string data = RandomBytes(500 * 1024, 17);
  auto pieces = Pieces(data);
  SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
  auto detSign = [&](LibraryContext ctx, std::string existing) {
    StreamContext s = nullptr;
    DataBlob prior = Blob(existing);
    EXPECT_EQ(ORLAX_CmsStrDetSignInitMem(ctx, &sign, &prior, &s), 0u);
    for (auto& piece : pieces) {
      DataBlob in = Blob(piece);
      EXPECT_EQ(ORLAX_CmsStrDetSignUpdateMem(ctx, &sign, &s, &in), 0u);
    }
    DataBlob out{};
    EXPECT_EQ(ORLAX_CmsStrDetSignFinalMem(ctx, &sign, &s, &out), 0u);
    return Take(ctx, &out);
  };
  std::string signature = detSign(second, detSign(first, ""));

  auto verify = [&](std::string sig, std::string tail) {
    VerifyParams vp{};
    StreamContext s = nullptr;
    DataBlob sigBlob = Blob(sig);
    EXPECT_EQ(ORLAX_CmsStrDetVerifyInitMem(first, &vp, &sigBlob, &s), 0u);
    for (size_t i = 0; i + 1 < pieces.size(); ++i) {
      DataBlob in = Blob(pieces[i]);
      EXPECT_EQ(ORLAX_CmsStrDetVerifyUpdateMem(first, &vp, &s, &in), 0u);
    }
    DataBlob in = Blob(tail), content{};
    EXPECT_EQ(ORLAX_CmsStrDetVerifyUpdateMem(first, &vp, &s, &in), 0u);
    VerifyResult vr{};
    uint32_t code = ORLAX_CmsStrDetVerifyFinalMem(first, &vp, &s, &content, &vr);
    EXPECT_EQ(vr.count, 2u);
    ORLAX_FreeVerifyResult(first, &vr);
    return code;
  };
  EXPECT_EQ(verify(signature, pieces.back()), 0u);
  std::string changed = pieces.back();
  changed[0] ^= 1;
  EXPECT_EQ(verify(signature, changed), ORLAX_E_SIGNATURE_INVALID);
}

// Signing and encryption hand out the message as the content comes, one
// call behind (Init has no output): no call hands out much more than a
// piece, so a chain holds one piece at a time; an empty content still makes
// a message.
TEST_F(StreamTest, WritingStagesHandOutPiecesAsTheyGo) {
  Ctx ctx = Open("user1");
  SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
  // Larger than what a stage keeps in memory: the piece waits on disk.
  std::string piece = RandomBytes(1536 * 1024, 3);
  DataBlob in = Blob(piece), out{};
  StreamContext s = nullptr;
  ASSERT_EQ(ORLAX_CmsStrAttSignInitMem(ctx, &sign, &in, &s), 0u);
  ASSERT_EQ(ORLAX_CmsStrAttSignUpdateMem(ctx, &sign, &s, &in, &out), 0u);
  EXPECT_GT(out.length, piece.size()) << "the first piece with the message's start";
  EXPECT_LT(out.length, piece.size() + 1024) << "only the first piece";
  std::string message = Take(ctx, &out);
  ASSERT_EQ(ORLAX_CmsStrAttSignFinalMem(ctx, &sign, &s, &out), 0u);
  EXPECT_GT(out.length, piece.size()) << "the second piece and the signature";
  EXPECT_LT(out.length, piece.size() + 4096u);
  message += Take(ctx, &out);
  DataBlob msg = Blob(message);
  VerifyParams vp{};
  DataBlob content{};
  VerifyResult vr{};
  EXPECT_EQ(ORLAX_CmsBlkAttVerifyMem(ctx, &vp, &msg, &content, &vr), 0u);
  ORLAX_FreeVerifyResult(ctx, &vr);

  std::string nothing;
  DataBlob empty = Blob(nothing);
  ASSERT_EQ(ORLAX_CmsStrAttSignInitMem(ctx, &sign, &empty, &s), 0u);
  ASSERT_EQ(ORLAX_CmsStrAttSignFinalMem(ctx, &sign, &s, &out), 0u);
  std::string emptyMessage = Take(ctx, &out);
  msg = Blob(emptyMessage);
  EXPECT_EQ(ORLAX_CmsBlkAttVerifyMem(ctx, &vp, &msg, &content, &vr), 0u);
  EXPECT_EQ(vr.count, 1u);
  ORLAX_FreeVerifyResult(ctx, &vr);

  FindResult found = Find(ctx, "user2");
  EncryptParams enc{};
  enc.cipherFlags = 0x20000;
  enc.certCount = found.count;
  enc.certs = found.certs;
  ASSERT_EQ(ORLAX_CmsStrEncryptInitMem(ctx, &enc, &in, &s), 0u);
  ASSERT_EQ(ORLAX_CmsStrEncryptUpdateMem(ctx, &enc, &s, &in, &out), 0u);
  EXPECT_GT(out.length, piece.size());
  EXPECT_LT(out.length, piece.size() + 4096) << "only the first piece, after the recipients";
  ORLAX_FreeMem(ctx, out.data);
  ASSERT_EQ(ORLAX_CmsStrEncryptFinalMem(ctx, &enc, &s, &out), 0u);
  ORLAX_FreeMem(ctx, out.data);
  ORLAX_FreeFindResult(ctx, &found);
}

// Decryption hands out the plaintext as the message arrives, with every
// cipher; with a MAC (which follows the content) the verdict comes with Final.
class StreamDecryptionTest : public StreamTest {
 protected:
  struct Outcome {
    uint32_t init = 0, updates = 0, final = 0;
    std::string byUpdates, byFinal;
    bool noPieceLongerThanItsInput = true;
  };
  // message in three pieces: Init, Update, Update, Final.
  Outcome Decrypt(LibraryContext ctx, const std::string& message) {
    Outcome outcome;
    auto pieces = Pieces(message);
    DecryptParams dp{0, 0, 0, 0x8003, 0};
    StreamContext s = nullptr;
    DataBlob first = Blob(pieces[0]);
    outcome.init = ORLAX_CmsStrDecryptInitMem(ctx, &dp, &first, &s);
    if (outcome.init != 0) {
      EXPECT_EQ(s, nullptr);
      return outcome;
    }
    for (size_t i = 1; i < pieces.size() && outcome.updates == 0; ++i) {
      DataBlob in = Blob(pieces[i]), out{};
      outcome.updates = ORLAX_CmsStrDecryptUpdateMem(ctx, &dp, &s, &in, &out);
      if (out.length > in.length) outcome.noPieceLongerThanItsInput = false;
      outcome.byUpdates += Take(ctx, &out);
    }
    DataBlob last{};
    DecryptResult result{};
    outcome.final = ORLAX_CmsStrDecryptFinalMem(ctx, &dp, &s, &last, &result);
    outcome.byFinal = Take(ctx, &last);
    ORLAX_FreeDecryptResult(ctx, &result);
    EXPECT_EQ(s, nullptr);
    return outcome;
  }
  std::string Encrypt(LibraryContext ctx, const FindResult& to, uint32_t cipher, bool streamEncoded,
                      const fs::path& input) {
    EncryptParams enc{};
    enc.cipherFlags = cipher;
    enc.certCount = to.count;
    enc.certs = to.certs;
    fs::path encrypted = File("data.p7e");
    fs::remove(encrypted);
    EXPECT_EQ((streamEncoded ? ORLAX_CmsStrEncryptFile : ORLAX_CmsBlkEncryptFile)(ctx, &enc, input.c_str(),
                                                                                 encrypted.c_str()),
              0u);
    return Read(encrypted);
  }
};

TEST_F(StreamDecryptionTest, PlaintextComesOutAtEachUpdateForEveryCipher) {
  Ctx sender = Open("user1");
  Ctx receiver = Open("user2");
  Ctx stranger = Open("revoked");
  const std::string data = RandomBytes(600 * 1024, 41);
  fs::path input = WriteInput("data.bin", data);
  FindResult found = Find(sender, "user2");
  const uint32_t ciphers[] = {0, 0x20000, 0xA0000, 0x40000, 0xC0000};
  for (uint32_t cipher : ciphers) {
    for (bool streamEncoded : {true, false}) {
      SCOPED_TRACE(std::to_string(cipher) + (streamEncoded ? " BER" : " DER"));
      const std::string message = Encrypt(sender, found, cipher, streamEncoded, input);
      Outcome outcome = Decrypt(receiver, message);
      ASSERT_EQ(outcome.init, 0u);
      ASSERT_EQ(outcome.updates, 0u);
      EXPECT_EQ(outcome.final, 0u);
      // The second and third pieces hold most of the content; what the
      // Init took comes out later, never making a piece twice as long.
      EXPECT_GT(outcome.byUpdates.size(), data.size() / 2);
      EXPECT_TRUE(outcome.noPieceLongerThanItsInput);
      EXPECT_TRUE(outcome.byUpdates + outcome.byFinal == data);

      // Someone else's key: refused as soon as the recipients have arrived.
      DrainStack(stranger);
      EXPECT_EQ(Decrypt(stranger, message).init, ORLAX_E_NOT_RECIPIENT);
      EXPECT_FALSE(DrainStack(stranger).empty());
    }
  }
  ORLAX_FreeFindResult(sender, &found);
}

// What a MAC cipher's Updates handed out is unverified: a changed content, a
// changed MAC or a MAC that cannot be found fails Final, which gives nothing.
TEST_F(StreamDecryptionTest, TamperedMacMessageFailsAtFinal) {
  Ctx sender = Open("user1");
  Ctx receiver = Open("user2");
  const std::string data = RandomBytes(300 * 1024, 43);
  fs::path input = WriteInput("data.bin", data);
  FindResult found = Find(sender, "user2");
  // The OID of the attribute that holds the MAC, as encoded.
  const std::string macOid("\x06\x09\x2A\x85\x03\x07\x01\x00\x06\x01\x01", 11);
  struct Tampering {
    const char* name;
    size_t (*at)(const std::string& message, size_t oid);
  };
  const Tampering tamperings[] = {
      {"content", [](const std::string& message, size_t) { return message.size() / 2; }},
      {"MAC", [](const std::string&, size_t oid) { return oid + 11 + 2 + 2; }},     // past SET and OCTET STRING headers
      {"MAC attribute's type", [](const std::string&, size_t oid) { return oid + 10; }},
  };
  for (uint32_t cipher : {0xA0000u, 0xC0000u}) {
    for (bool streamEncoded : {true, false}) {
      const std::string message = Encrypt(sender, found, cipher, streamEncoded, input);
      const size_t oid = message.rfind(macOid);
      ASSERT_NE(oid, std::string::npos);
      for (const Tampering& t : tamperings) {
        SCOPED_TRACE(std::to_string(cipher) + (streamEncoded ? " BER " : " DER ") + t.name);
        std::string tampered = message;
        tampered[t.at(message, oid)] ^= 0x01;
        DrainStack(receiver);
        Outcome outcome = Decrypt(receiver, tampered);
        ASSERT_EQ(outcome.init, 0u);
        ASSERT_EQ(outcome.updates, 0u);
        EXPECT_FALSE(outcome.byUpdates.empty());
        EXPECT_EQ(outcome.final, ORLAX_E_DECRYPT_FAILED);
        EXPECT_TRUE(outcome.byFinal.empty());
        EXPECT_FALSE(DrainStack(receiver).empty());
      }
    }
  }
  ORLAX_FreeFindResult(sender, &found);
}

// An enveloped message given to attached verification hands out nothing of
// its encrypted content before Final refuses it.
TEST_F(StreamTest, VerificationHandsOutNothingOfAnotherKindOfMessage) {
  Ctx ctx = Open("user1");
  FindResult found = Find(ctx, "user2");
  EncryptParams enc{};
  enc.cipherFlags = 0x40000;
  enc.certCount = found.count;
  enc.certs = found.certs;
  fs::path input = WriteInput("data.bin", RandomBytes(100 * 1024, 5)), encrypted = File("data.p7e");
  ASSERT_EQ(ORLAX_CmsStrEncryptFile(ctx, &enc, input.c_str(), encrypted.c_str()), 0u);
  ORLAX_FreeFindResult(ctx, &found);
  std::string message = Read(encrypted);
  auto pieces = Pieces(message);
  VerifyParams vp{};
  vp.flags = ORLAX_VERIFY_CONTENT;
  StreamContext s = nullptr;
  DataBlob first = Blob(pieces[0]), out{};
  ASSERT_EQ(ORLAX_CmsStrAttVerifyInitMem(ctx, &vp, &first, &s), 0u);
  for (size_t i = 1; i < pieces.size(); ++i) {
    DataBlob in = Blob(pieces[i]);
    ASSERT_EQ(ORLAX_CmsStrAttVerifyUpdateMem(ctx, &vp, &s, &in, &out), 0u);
    EXPECT_EQ(out.length, 0u);
  }
  VerifyResult vr{};
  EXPECT_EQ(ORLAX_CmsStrAttVerifyFinalMem(ctx, &vp, &s, &out, &vr), ORLAX_E_NOT_SIGNED_MESSAGE);
  EXPECT_EQ(out.length, 0u);
  ORLAX_FreeVerifyResult(ctx, &vr);
}

// What a stream gathers (a message being verified or decrypted) is spooled
// in the caller's temporary folder, readable by its owner only, under no
// name anyone could open, and is gone with the stream.
TEST_F(StreamTest, GatheredInputIsSpooledInTheTemporaryFolderForItsOwnerOnly) {
  const fs::path temporary = root_.Dir("spool");
  setenv("TMPDIR", temporary.c_str(), 1);  // TempRoot gives the old one back
  // The descriptors of this process on files in that folder, with their
  // permission bits.
  auto spooled = [&] {
    std::vector<unsigned> modes;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      const std::string target = fs::read_symlink(entry.path(), ec).string();
      struct stat st {};
      if (!ec && target.rfind(temporary.string() + "/", 0) == 0 && stat(entry.path().c_str(), &st) == 0)
        modes.push_back(st.st_mode & 07777);
    }
    return modes;
  };
  Ctx ctx = Open("user1");
  std::string bytes = RandomBytes(64 * 1024, 9);
  DataBlob in = Blob(bytes);
  StreamContext s = nullptr;
  ASSERT_EQ(ORLAX_CmsStrMsgInfInitMem(ctx, &in, &s, 0), 0u);
  EXPECT_EQ(spooled(), std::vector<unsigned>{0600u});
  EXPECT_TRUE(fs::is_empty(temporary));
  MessageInfo info{};
  EXPECT_EQ(ORLAX_CmsStrMsgInfFinalMem(ctx, &s, &info), ORLAX_E_NOT_SIGNED_MESSAGE);
  EXPECT_EQ(spooled(), std::vector<unsigned>{});

  // What a signing stream made of a large first piece waits for the next
  // call in the same place, the same way.
  std::string large = RandomBytes(3 << 20, 10);
  DataBlob head = Blob(large);
  SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
  StreamContext signing = nullptr;
  ASSERT_EQ(ORLAX_CmsStrAttSignInitMem(ctx, &sign, &head, &signing), 0u);
  EXPECT_EQ(spooled(), std::vector<unsigned>{0600u});
  DataBlob out{};
  ASSERT_EQ(ORLAX_CmsStrAttSignFinalMem(ctx, &sign, &signing, &out), 0u);
  Take(ctx, &out);
  EXPECT_EQ(spooled(), std::vector<unsigned>{});

  // A temporary folder that is not there fails the stream; nothing is
  // spooled anywhere else.
  setenv("TMPDIR", (temporary / "missing").c_str(), 1);
  s = nullptr;
  EXPECT_EQ(ORLAX_CmsStrMsgInfInitMem(ctx, &in, &s, 0), ORLAX_E_FILE_CREATE);
  EXPECT_EQ(s, nullptr);
}

TEST_F(StreamTest, FinalWithoutAStartedStreamDoesNothing) {
  Ctx ctx = Open("user1");
  StreamContext none = nullptr;
  SignParams sign{};
  DataBlob out{};
  VerifyParams vp{};
  VerifyResult vr{};
  EXPECT_EQ(ORLAX_CmsStrAttSignFinalMem(ctx, &sign, &none, &out), 0u);
  EXPECT_EQ(ORLAX_CmsStrAttVerifyFinalMem(ctx, &vp, &none, &out, &vr), 0u);
  EXPECT_EQ(out.data, nullptr);
  // A stream of another kind is not taken for this one.
  std::string bytes = "x";
  DataBlob in = Blob(bytes);
  StreamContext s = nullptr;
  ASSERT_EQ(ORLAX_CmsStrMsgInfInitMem(ctx, &in, &s, 0), 0u);
  EXPECT_EQ(ORLAX_CmsStrAttSignUpdateMem(ctx, &sign, &s, &in, &out), ORLAX_E_INVALID_ARGUMENT);
  MessageInfo info{};
  EXPECT_EQ(ORLAX_CmsStrMsgInfFinalMem(ctx, &s, &info), ORLAX_E_NOT_SIGNED_MESSAGE);
  EXPECT_EQ(s, nullptr);
}

// Attached signing of an input that already is an attached signed message
// adds one signature, in memory and in streams, as the file forms do; the
// stream form passes a stream-encoded message's content on as it arrives.
TEST_F(StreamTest, SigningASignedMessageAddsOneSignature) {
  Ctx first = Open("user1");
  Ctx second = Open("user2");
  const std::string data = RandomBytes(300 * 1024, 21);
  fs::path input = WriteInput("data.bin", data);
  SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
  fs::path streamed = File("streamed.p7s"), block = File("block.p7s"), detached = File("detached.p7d");
  ASSERT_EQ(ORLAX_CmsStrAttSignFile(first, &sign, input.c_str(), streamed.c_str()), 0u);
  ASSERT_EQ(ORLAX_CmsBlkAttSignFile(first, &sign, input.c_str(), block.c_str()), 0u);
  ASSERT_EQ(ORLAX_CmsBlkDetSignFile(first, &sign, input.c_str(), nullptr, detached.c_str()), 0u);

  // Verifies a message with its two signers in order and gives its content.
  auto verifyTwice = [&](std::string message) {
    DataBlob msg = Blob(message), content{};
    VerifyParams vp{};
    vp.flags = ORLAX_VERIFY_CONTENT;
    vp.contentLimit = 0xFFFFFFFF;
    VerifyResult vr{};
    EXPECT_EQ(ORLAX_CmsBlkAttVerifyMem(second, &vp, &msg, &content, &vr), 0u);
    EXPECT_EQ(vr.count, 2u);
    if (vr.count == 2) {
      EXPECT_EQ(std::string(vr.signers[0].cert->owner), pki_.Dn("user1"));
      EXPECT_EQ(std::string(vr.signers[1].cert->owner), pki_.Dn("user2"));
    }
    ORLAX_FreeVerifyResult(second, &vr);
    return Take(second, &content);
  };

  for (const fs::path& message : {streamed, block}) {
    SCOPED_TRACE(message.filename().string());
    std::string bytes = Read(message);
    DataBlob in = Blob(bytes), out{};
    ASSERT_EQ(ORLAX_CmsBlkAttSignMem(second, &sign, &in, &out), 0u);
    EXPECT_TRUE(verifyTwice(Take(second, &out)) == data);

    // In streams, from pieces of a few bytes (the start arrives in parts) to
    // the whole message in the Init.
    for (size_t piece : {size_t{3}, size_t{4096}, bytes.size()}) {
      SCOPED_TRACE(piece);
      std::string head = bytes.substr(0, piece);
      DataBlob firstPiece = Blob(head);
      StreamContext s = nullptr;
      ASSERT_EQ(ORLAX_CmsStrAttSignInitMem(second, &sign, &firstPiece, &s), 0u);
      std::string result, passedOn;
      for (size_t at = piece; at < bytes.size(); at += std::max(piece, size_t{64 * 1024})) {
        std::string part = bytes.substr(at, std::max(piece, size_t{64 * 1024}));
        DataBlob next = Blob(part), got{};
        ASSERT_EQ(ORLAX_CmsStrAttSignUpdateMem(second, &sign, &s, &next, &got), 0u);
        passedOn += Take(second, &got);
      }
      DataBlob none{}, got{};
      ASSERT_EQ(ORLAX_CmsStrAttSignUpdateMem(second, &sign, &s, &none, &got), 0u);
      passedOn += Take(second, &got);
      ASSERT_EQ(ORLAX_CmsStrAttSignFinalMem(second, &sign, &s, &got), 0u);
      result = passedOn + Take(second, &got);
      if (message == streamed) {
        EXPECT_GT(passedOn.size(), data.size()) << "the content passed on before the Final";
        EXPECT_LT(got.length + 8192, result.size());
      }
      EXPECT_TRUE(verifyTwice(result) == data);
      MessageInfo info{};
      fs::path out = File("out.p7s");
      Write(out, result);
      ASSERT_EQ(ORLAX_CmsStrMsgInfFile(second, out.c_str(), &info, 0), 0u);
      EXPECT_EQ(info.flags, ORLAX_MSG_STREAM);
      ORLAX_CmsFreeMsgInf(second, &info);
    }
  }

  // A detached signature cannot take an attached one.
  std::string det = Read(detached);
  DataBlob in = Blob(det), out{};
  EXPECT_EQ(ORLAX_CmsBlkAttSignMem(second, &sign, &in, &out), ORLAX_E_WRONG_SIGNATURE_FORM);
  StreamContext s = nullptr;
  ASSERT_EQ(ORLAX_CmsStrAttSignInitMem(second, &sign, &in, &s), 0u);
  EXPECT_EQ(ORLAX_CmsStrAttSignFinalMem(second, &sign, &s, &out), ORLAX_E_WRONG_SIGNATURE_FORM);
  EXPECT_EQ(out.data, nullptr);
  EXPECT_EQ(s, nullptr);
  DrainStack(second);
}

// Data that only begins like a signed message, or whose first piece is too
// short to tell, is signed as data. Only a stream-encoded message whose start
// was passed on already cannot be taken back: when it turns out damaged, the
// stream fails.
TEST_F(StreamTest, DataThatBeginsLikeASignedMessageIsSignedAsData) {
  Ctx ctx = Open("user1");
  SignParams sign{ORLAX_SIGN_ADD_CERT, 0, 0};
  fs::path input = WriteInput("x", "x"), der = File("x.der.p7s"), ber = File("x.ber.p7s");
  ASSERT_EQ(ORLAX_CmsBlkAttSignFile(ctx, &sign, input.c_str(), der.c_str()), 0u);
  ASSERT_EQ(ORLAX_CmsStrAttSignFile(ctx, &sign, input.c_str(), ber.c_str()), 0u);
  const std::string lookalike = Read(der).substr(0, 40) + RandomBytes(5000, 5);
  const std::string damaged = Read(ber).substr(0, 60) + RandomBytes(5000, 5);
  {
    std::string copy = damaged;
    DataBlob in = Blob(copy), out{};
    StreamContext s = nullptr;
    ASSERT_EQ(ORLAX_CmsStrAttSignInitMem(ctx, &sign, &in, &s), 0u);
    DataBlob none{};
    ASSERT_EQ(ORLAX_CmsStrAttSignUpdateMem(ctx, &sign, &s, &none, &out), 0u);
    Take(ctx, &out);
    EXPECT_EQ(ORLAX_CmsStrAttSignFinalMem(ctx, &sign, &s, &out), ORLAX_E_BAD_MESSAGE);
    EXPECT_EQ(out.data, nullptr);
    DrainStack(ctx);
  }
  for (const std::string& data : {lookalike, std::string("0"), std::string("0\x80")}) {
    SCOPED_TRACE(data.size());
    std::string copy = data;
    DataBlob in = Blob(copy), out{};
    ASSERT_EQ(ORLAX_CmsBlkAttSignMem(ctx, &sign, &in, &out), 0u);
    std::string blockSigned = Take(ctx, &out);
    StreamContext s = nullptr;
    std::string head = copy.substr(0, 1), rest = copy.substr(1);
    DataBlob first = Blob(head), next = Blob(rest);
    ASSERT_EQ(ORLAX_CmsStrAttSignInitMem(ctx, &sign, &first, &s), 0u);
    ASSERT_EQ(ORLAX_CmsStrAttSignUpdateMem(ctx, &sign, &s, &next, &out), 0u);
    std::string streamSigned = Take(ctx, &out);
    ASSERT_EQ(ORLAX_CmsStrAttSignFinalMem(ctx, &sign, &s, &out), 0u);
    streamSigned += Take(ctx, &out);
    for (std::string& signedMessage : {std::ref(blockSigned), std::ref(streamSigned)}) {
      DataBlob msg = Blob(signedMessage), content{};
      VerifyParams vp{};
      vp.flags = ORLAX_VERIFY_CONTENT;
      vp.contentLimit = 0xFFFFFFFF;
      VerifyResult vr{};
      EXPECT_EQ(ORLAX_CmsBlkAttVerifyMem(ctx, &vp, &msg, &content, &vr), 0u);
      EXPECT_EQ(vr.count, 1u);
      ORLAX_FreeVerifyResult(ctx, &vr);
      EXPECT_TRUE(Take(ctx, &content) == data);
    }
  }
}

}  // namespace
}  // namespace qelmtest
