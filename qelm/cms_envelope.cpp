// Encryption to certificates and decryption with the context's key.

#include <cstdlib>
#include <cstring>

#include <openssl/rand.h>

#include "qelm/ber.h"
#include "qelm/cms_common.h"
#include "qelm/cms_envelope.h"
#include "qelm/cms_split.h"

namespace qelm {
namespace {

struct CipherChoice {
  uint32_t flags;
  const char* name;
  int keyMesh;       // section size of ACPKM, 0 for none
  size_t macLength;  // bytes of the MAC the cipher carries, 0 for none
};

constexpr CipherChoice kCiphers[] = {
    {ORLAX_CIPHER_GOST89, "gost89", 0, 0},
    {ORLAX_CIPHER_MAGMA, "magma-ctr-acpkm", 8192, 0},
    {ORLAX_CIPHER_MAGMA | ORLAX_CIPHER_OMAC, "magma-ctr-acpkm-omac", 8192, 8},
    {ORLAX_CIPHER_KUZNYECHIK, "kuznyechik-ctr-acpkm", 262144, 0},
    {ORLAX_CIPHER_KUZNYECHIK | ORLAX_CIPHER_OMAC, "kuznyechik-ctr-acpkm-omac", 262144, 16},
};

const CipherChoice* ChoiceOf(const EVP_CIPHER* cipher) {
  const char* name = OBJ_nid2sn(EVP_CIPHER_get_nid(cipher));
  for (const auto& choice : kCiphers) {
    if (name != nullptr && std::strcmp(choice.name, name) == 0) return &choice;
  }
  return nullptr;
}

// The section size the engine must use to decrypt an ACPKM cipher: it does
// not take it from the message and would fall back to 1 KiB / 4 KiB, which
// corrupts everything past the first section.
int KeyMeshFor(const EVP_CIPHER* cipher) {
  const CipherChoice* choice = ChoiceOf(cipher);
  return choice != nullptr ? choice->keyMesh : 0;
}

// The attribute of an enveloped message that holds its (encrypted) MAC.
const std::string kMacAttributeOid("\x06\x09\x2A\x85\x03\x07\x01\x00\x06\x01\x01", 11);

std::string ShortDer(unsigned char tag, const std::string& content) {
  return std::string(1, static_cast<char>(tag)) + std::string(1, static_cast<char>(content.size())) + content;
}

void FreeAttributes(STACK_OF(X509_ATTRIBUTE) * attributes) { sk_X509_ATTRIBUTE_pop_free(attributes, X509_ATTRIBUTE_free); }

X509Ptr RecipientCert(Context& ctx, const CertRecord& record) {
  if (record.encoded != nullptr && record.encodedLength > 0) {
    const unsigned char* p = record.encoded;
    return X509Ptr(d2i_X509(nullptr, &p, record.encodedLength));
  }
  // A record made by the caller: find the certificate by issuer and serial.
  if (record.serialNumber == nullptr) return nullptr;
  for (const auto& stored : ctx.certs) {
    CertRecord probe{};
    FillCertRecord(stored.cert.get(), &probe);
    bool same = std::strcmp(probe.serialNumber, record.serialNumber) == 0 &&
                (record.issuer == nullptr || std::strcmp(probe.issuer, record.issuer) == 0);
    FreeCertRecordFields(&probe);
    if (same) {
      X509_up_ref(stored.cert.get());
      return X509Ptr(stored.cert.get());
    }
  }
  return nullptr;
}

}  // namespace

uint32_t MakeEnvelope(Context& ctx, const EncryptParams* params, bool stream, CmsPtr* cms) {
  if (params == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "EncryptParams");
  if (params->certCount == 0 || params->certs == nullptr) return Fail(&ctx, ORLAX_E_NO_RECIPIENTS, "");
  const CipherChoice* choice = nullptr;
  for (const auto& c : kCiphers) {
    if (c.flags == params->cipherFlags) choice = &c;
  }
  if (choice == nullptr) return Fail(&ctx, ORLAX_E_UNKNOWN_CIPHER, std::to_string(params->cipherFlags));
  GostEngine();
  const EVP_CIPHER* cipher = EVP_get_cipherbyname(choice->name);
  if (cipher == nullptr) return Fail(&ctx, ORLAX_E_ENGINE, choice->name);
  unsigned int flags = CMS_BINARY | CMS_PARTIAL | (stream ? CMS_STREAM : 0u);
  cms->reset(CMS_encrypt(nullptr, nullptr, cipher, flags));
  if (*cms == nullptr) return Fail(&ctx, ORLAX_E_INTERNAL, "CMS_encrypt");
  for (uint32_t i = 0; i < params->certCount; ++i) {
    const CertRecord& record = params->certs[i];
    X509Ptr cert = RecipientCert(ctx, record);
    const std::string who = record.owner != nullptr ? FromAnsi(record.owner) : std::to_string(i + 1);
    if (cert == nullptr) return Fail(&ctx, ORLAX_E_RECIPIENT_CERT, who);
    // GOST recipients need their key parameters set up before the content is
    // encrypted, hence the partial message finished later.
    if (CMS_add1_recipient_cert(cms->get(), cert.get(), flags | CMS_KEY_PARAM) == nullptr) {
      return Fail(&ctx, ORLAX_E_RECIPIENT_CERT, who);
    }
  }
  return 0;
}

uint32_t EncryptBio(Context& ctx, const EncryptParams* params, BIO* in, BIO* out, Encoding encoding,
                    const std::string& what, bool emptyContent) {
  CmsPtr cms;
  // OpenSSL's streaming writer fails on an empty content, which needs no
  // streaming anyway.
  const bool stream = encoding == Encoding::kIndefinite && !emptyContent;
  if (uint32_t code = MakeEnvelope(ctx, params, stream, &cms); code != 0) return code;
  if (stream) {
    if (i2d_CMS_bio_stream(out, cms.get(), in, CMS_BINARY | CMS_STREAM) != 1) {
      return Fail(&ctx, ORLAX_E_FILE_WRITE, what);
    }
    return 0;
  }
  if (CMS_final(cms.get(), in, nullptr, CMS_BINARY) != 1) return Fail(&ctx, ORLAX_E_INTERNAL, "CMS_final");
  return WriteCms(&ctx, cms.get(), encoding, out, what);
}

uint32_t StartDecryption(Context& ctx, CMS_ContentInfo* cms, BIO* detachedContent, const std::string& what,
                         Decryption* d) {
  if (!IsEnveloped(cms)) return Fail(&ctx, ORLAX_E_NOT_ENVELOPED_MESSAGE, what);
  if (ctx.key == nullptr || ctx.cert == nullptr) return Fail(&ctx, ORLAX_E_PSE_NOT_FOUND, "key.pem");
  bool recipient = false;
  STACK_OF(CMS_RecipientInfo)* infos = CMS_get0_RecipientInfos(cms);
  for (int i = 0; i < sk_CMS_RecipientInfo_num(infos); ++i) {
    CMS_RecipientInfo* ri = sk_CMS_RecipientInfo_value(infos, i);
    int type = CMS_RecipientInfo_type(ri);
    if ((type == CMS_RECIPINFO_TRANS && CMS_RecipientInfo_ktri_cert_cmp(ri, ctx.cert.get()) == 0) ||
        type == CMS_RECIPINFO_AGREE) {
      recipient = true;
    }
  }
  if (!recipient) return Fail(&ctx, ORLAX_E_NOT_RECIPIENT, OwnerDn(X509_get_subject_name(ctx.cert.get())));
  if (CMS_decrypt_set1_pkey_and_peer(cms, ctx.key.get(), ctx.cert.get(), nullptr) != 1) {
    return Fail(&ctx, ORLAX_E_DECRYPT_FAILED, "CMS_decrypt_set1_pkey");
  }
  d->chain = std::unique_ptr<BIO, ChainFree>(CMS_dataInit(cms, detachedContent), ChainFree{detachedContent});
  if (d->chain == nullptr) return Fail(&ctx, ORLAX_E_DECRYPT_FAILED, "CMS_dataInit");
  d->cipherBio = BIO_find_type(d->chain.get(), BIO_TYPE_CIPHER);
  if (d->cipherBio == nullptr || BIO_get_cipher_ctx(d->cipherBio, &d->cipherCtx) != 1 || d->cipherCtx == nullptr) {
    return Fail(&ctx, ORLAX_E_DECRYPT_FAILED, "cipher");
  }
  d->cipher = EVP_CIPHER_CTX_get0_cipher(d->cipherCtx);
  if (int mesh = KeyMeshFor(d->cipher); mesh != 0) EVP_CIPHER_CTX_ctrl(d->cipherCtx, EVP_CTRL_KEY_MESH, mesh, nullptr);
  return 0;
}

size_t MacLengthOf(const EVP_CIPHER* cipher) {
  const CipherChoice* choice = ChoiceOf(cipher);
  return choice != nullptr ? choice->macLength : 0;
}

std::string PlaceholderMacAttributes(size_t length) {
  const std::string mac = ShortDer(0x04, std::string(length, '\0'));
  return ShortDer(0xA1, ShortDer(0x30, kMacAttributeOid + ShortDer(0x31, mac)));
}

uint32_t ExpectMac(Context& ctx, Decryption& d, std::string_view unprotected, const std::string& what) {
  std::unique_ptr<STACK_OF(X509_ATTRIBUTE), Deleter<FreeAttributes>> attributes(sk_X509_ATTRIBUTE_new_null());
  if (attributes == nullptr) throw std::bad_alloc();
  BerReader reader(unprotected);
  Tlv set, child;
  bool end = false;
  if (!unprotected.empty() && reader.ReadHeader(&set)) {
    while (reader.NextChild(set, &child, &end) && !end && reader.Skip(child)) {
      const auto* p = reinterpret_cast<const unsigned char*>(unprotected.data() + child.headerStart);
      X509_ATTRIBUTE* attribute = d2i_X509_ATTRIBUTE(nullptr, &p, static_cast<long>(reader.position() - child.headerStart));
      if (attribute == nullptr) break;
      if (sk_X509_ATTRIBUTE_push(attributes.get(), attribute) <= 0) {
        X509_ATTRIBUTE_free(attribute);
        throw std::bad_alloc();
      }
    }
  }
  ERR_clear_error();
  // The engine takes the MAC it will compare in its final step; a message
  // without one of the cipher's length is refused here.
  if (EVP_CIPHER_CTX_ctrl(d.cipherCtx, EVP_CTRL_PROCESS_UNPROTECTED, 0, attributes.get()) <= 0) {
    return Fail(&ctx, ORLAX_E_DECRYPT_FAILED, what);
  }
  return 0;
}

uint32_t FinishDecryption(Context& ctx, Decryption& d, DecryptResult* result, const std::string& what) {
  // Ciphers with a MAC compare it with the message's in their final step,
  // which the status reports.
  if (BIO_get_cipher_status(d.cipherBio) <= 0) return Fail(&ctx, ORLAX_E_DECRYPT_FAILED, what);
  if (result != nullptr) {
    result->flags = 1;
    char oid[128] = "";
    OBJ_obj2txt(oid, sizeof oid, OBJ_nid2obj(EVP_CIPHER_get_nid(d.cipher)), 1);
    result->cipherOid = DupText(oid);
    result->recipient = NewCertRecord(ctx.cert.get());
  }
  return 0;
}

uint32_t DecryptLoaded(Context& ctx, CMS_ContentInfo* cms, BIO* out, DecryptResult* result, const std::string& what,
                       BIO* detachedContent) {
  Decryption d;
  if (uint32_t code = StartDecryption(ctx, cms, detachedContent, what, &d); code != 0) return code;
  bool writeFailed = false;
  if (!PumpThrough(d.chain.get(), nullptr, out, &writeFailed)) {
    return Fail(&ctx, writeFailed ? ORLAX_E_FILE_WRITE : ORLAX_E_DECRYPT_FAILED, what);
  }
  return FinishDecryption(ctx, d, result, what);
}

}  // namespace qelm

using namespace qelm;

namespace {

// A name beside path for a work file of the library's own.
std::string WorkFileBeside(const std::string& path) {
  unsigned char random[8];
  if (RAND_bytes(random, sizeof random) != 1) throw std::bad_alloc();
  static const char kHex[] = "0123456789abcdef";
  std::string name = path + ".~";
  for (unsigned char b : random) {
    name += kHex[b >> 4];
    name += kHex[b & 15];
  }
  return name;
}

// DER of a content of any size: the message is stream-encoded into a work
// file beside the output, then written again as DER with the encrypted
// content copied over in pieces. The DER is the same as that of the message
// built whole in memory (the GOST content ciphers keep the content's length),
// and no more than a piece of the file is ever held.
uint32_t EncryptToDer(Context& ctx, const EncryptParams* params, BIO* data, BIO* out, const std::string& in,
                      const std::string& outPath) {
  OutputFile work(WorkFileBeside(outPath));
  BIO* streamed = work.Open();
  if (streamed == nullptr) return Fail(&ctx, ORLAX_E_FILE_CREATE, outPath);
  if (uint32_t code = EncryptBio(ctx, params, data, streamed, Encoding::kIndefinite, in, false); code != 0) {
    return code;
  }
  if (!work.Flush()) return Fail(&ctx, ORLAX_E_FILE_WRITE, outPath);
  SplitMessage split;
  if (SplitFile(&ctx, work.path(), &split) != 0 || !split.hasContent) return Fail(&ctx, ORLAX_E_INTERNAL, "join");
  BioPtr shell(BIO_new_mem_buf(split.shell.data(), static_cast<int>(split.shell.size())));
  if (shell == nullptr) throw std::bad_alloc();
  CmsPtr cms;
  if (uint32_t code = LoadCms(&ctx, shell.get(), work.path(), &cms); code != 0) return code;
  FilePtr file(OpenInputStream(work.path()));
  if (file == nullptr) return Fail(&ctx, ORLAX_E_FILE_OPEN, work.path());
  return JoinToBioDer(&ctx, cms.get(), file.get(), split.content, out, outPath);
}  // the work file goes with `work`

uint32_t EncryptFile(Context& ctx, const EncryptParams* params, const char* input, const char* output,
                     Encoding encoding) {
  if (input == nullptr || output == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "path");
  const std::string in = DiskPath(input), out = DiskPath(output);
  BioPtr data = OpenInput(in);
  if (data == nullptr) return Fail(&ctx, ORLAX_E_FILE_OPEN, in);
  OutputFile file(out);
  BIO* bio = file.Open();
  if (bio == nullptr) return Fail(&ctx, ORLAX_E_FILE_CREATE, out);
  // An empty content is small in any form.
  const bool empty = FileSize(in) == 0;
  if (uint32_t code = encoding == Encoding::kDer && !empty
                          ? EncryptToDer(ctx, params, data.get(), bio, in, out)
                          : EncryptBio(ctx, params, data.get(), bio, encoding, in, empty);
      code != 0) {
    return code;
  }
  if (!file.Commit()) return Fail(&ctx, ORLAX_E_FILE_WRITE, out);
  return 0;
}

// Both forms read the encrypted content from the file in pieces.
uint32_t DecryptFile(Context& ctx, const DecryptParams* params, const char* input, const char* output,
                     DecryptResult* result) {
  if (result != nullptr) std::memset(result, 0, sizeof *result);
  if (params == nullptr || input == nullptr || output == nullptr) {
    return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "DecryptParams");
  }
  const std::string in = DiskPath(input), out = DiskPath(output);
  CmsPtr cms;
  SplitMessage split;
  if (uint32_t code = SplitFile(&ctx, in, &split); code != 0) return code;
  BioPtr shell(BIO_new_mem_buf(split.shell.data(), static_cast<int>(split.shell.size())));
  if (shell == nullptr) throw std::bad_alloc();
  if (uint32_t code = LoadCms(&ctx, shell.get(), in, &cms); code != 0) return code;
  if (!IsEnveloped(cms.get())) return Fail(&ctx, ORLAX_E_NOT_ENVELOPED_MESSAGE, in);
  if (!split.hasContent) return Fail(&ctx, ORLAX_E_BAD_MESSAGE, in);
  FilePtr file(OpenInputStream(in));
  if (file == nullptr) return Fail(&ctx, ORLAX_E_FILE_OPEN, in);
  BioPtr content = ContentBio(file.get(), split.content);
  OutputFile target(out);
  BIO* bio = target.Open();
  if (bio == nullptr) return Fail(&ctx, ORLAX_E_FILE_CREATE, out);
  if (uint32_t code = DecryptLoaded(ctx, cms.get(), bio, result, in, content.get()); code != 0) return code;
  if (!target.Commit()) return Fail(&ctx, ORLAX_E_FILE_WRITE, out);
  return 0;
}

uint32_t DecryptMem(Context& ctx, const DecryptParams* params, const DataBlob* input, DataBlob* output,
                    DecryptResult* result) {
  if (result != nullptr) std::memset(result, 0, sizeof *result);
  if (output != nullptr) *output = {};
  if (params == nullptr || output == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "DecryptParams");
  CmsPtr cms;
  if (uint32_t code = LoadCmsBlob(&ctx, input, &cms); code != 0) return code;
  BioPtr mem(BIO_new(BIO_s_mem()));
  if (mem == nullptr) throw std::bad_alloc();
  if (uint32_t code = DecryptLoaded(ctx, cms.get(), mem.get(), result, "DataBlob"); code != 0) return code;
  return BioToBlob(&ctx, mem.get(), output);
}

}  // namespace

extern "C" {

ORLAX_API uint32_t ORLAX_CmsBlkEncryptFile(LibraryContext context, const EncryptParams* params, const char* input,
                                           const char* output) {
  return WithContext("ORLAX_CmsBlkEncryptFile", context,
                     [&](Context& ctx) { return EncryptFile(ctx, params, input, output, Encoding::kDer); });
}

ORLAX_API uint32_t ORLAX_CmsStrEncryptFile(LibraryContext context, const EncryptParams* params, const char* input,
                                           const char* output) {
  return WithContext("ORLAX_CmsStrEncryptFile", context,
                     [&](Context& ctx) { return EncryptFile(ctx, params, input, output, Encoding::kIndefinite); });
}

ORLAX_API uint32_t ORLAX_CmsBlkEncryptMem(LibraryContext context, const EncryptParams* params, const DataBlob* input,
                                          DataBlob* output) {
  return WithContext("ORLAX_CmsBlkEncryptMem", context, [&](Context& ctx) -> uint32_t {
    if (output == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "output");
    *output = {};
    BioPtr data;
    if (!BlobToBio(input, &data)) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "DataBlob");
    BioPtr mem(BIO_new(BIO_s_mem()));
    if (mem == nullptr) throw std::bad_alloc();
    if (uint32_t code = EncryptBio(ctx, params, data.get(), mem.get(), Encoding::kDer, "DataBlob", false); code != 0) {
      return code;
    }
    return BioToBlob(&ctx, mem.get(), output);
  });
}

ORLAX_API uint32_t ORLAX_CmsBlkDecryptFile(LibraryContext context, const DecryptParams* params, const char* input,
                                           const char* output, DecryptResult* result) {
  return WithContext("ORLAX_CmsBlkDecryptFile", context,
                     [&](Context& ctx) { return DecryptFile(ctx, params, input, output, result); });
}

ORLAX_API uint32_t ORLAX_CmsStrDecryptFile(LibraryContext context, const DecryptParams* params, const char* input,
                                           const char* output, DecryptResult* result) {
  return WithContext("ORLAX_CmsStrDecryptFile", context,
                     [&](Context& ctx) { return DecryptFile(ctx, params, input, output, result); });
}

ORLAX_API uint32_t ORLAX_CmsBlkDecryptMem(LibraryContext context, const DecryptParams* params, const DataBlob* input,
                                          DataBlob* output, DecryptResult* result) {
  return WithContext("ORLAX_CmsBlkDecryptMem", context,
                     [&](Context& ctx) { return DecryptMem(ctx, params, input, output, result); });
}

ORLAX_API uint32_t ORLAX_DecryptMem(LibraryContext context, const DecryptParams* params, const DataBlob* input,
                                    DataBlob* output, DecryptResult* result) {
  return WithContext("ORLAX_DecryptMem", context,
                     [&](Context& ctx) { return DecryptMem(ctx, params, input, output, result); });
}

ORLAX_API uint32_t ORLAX_FreeDecryptResult(LibraryContext /*context*/, DecryptResult* result) {
  if (result == nullptr) return 0;
  std::free(result->cipherOid);
  FreeCertRecord(result->recipient);
  std::memset(result, 0, sizeof *result);
  return 0;
}

}  // extern "C"
