#include "qelm/cms_common.h"

#include <openssl/rand.h>

#include <cstring>
#include <ctime>
#include <vector>

#include "qelm/ber.h"
#include "qelm/cms_info.h"

namespace qelm {

uint32_t LoadCms(Context* context, BIO* input, const std::string& what, CmsPtr* cms) {
  cms->reset(d2i_CMS_bio(input, nullptr));
  if (*cms != nullptr) return 0;
  return Fail(context, ORLAX_E_BAD_MESSAGE, what);
}

uint32_t LoadCmsFile(Context* context, const std::string& path, CmsPtr* cms) {
  // The outline tells a file that is no message from a damaged one, without
  // reading the content.
  MessageOutline outline;
  if (uint32_t code = ReadOutlineFile(context, path, &outline); code != 0) return code;
  BioPtr bio = OpenInput(path);
  if (bio == nullptr) return Fail(context, ORLAX_E_FILE_OPEN, path);
  return LoadCms(context, bio.get(), path, cms);
}

uint32_t LoadCmsBlob(Context* context, const DataBlob* blob, CmsPtr* cms) {
  BioPtr bio;
  if (!BlobToBio(blob, &bio)) return Fail(context, ORLAX_E_INVALID_ARGUMENT, "DataBlob");
  MessageOutline outline;
  std::string_view bytes(reinterpret_cast<const char*>(blob->data), blob->length);
  if (uint32_t code = ReadOutlineMemory(context, bytes, &outline); code != 0) return code;
  return LoadCms(context, bio.get(), "DataBlob", cms);
}

bool DerToIndefinite(std::string_view der, std::string* ber) {
  BerReader r(der);
  Tlv ci, oid, tag, body;
  bool end = false;
  if (!r.ReadHeader(&ci) || ci.tag != 16 || ci.indefinite) return false;
  if (!r.NextChild(ci, &oid, &end) || end || oid.tag != 6) return false;
  const uint64_t oidStart = oid.start - 2;  // short OIDs: one tag and one length byte
  if (oid.length > 127 || !r.Skip(oid)) return false;
  if (!r.NextChild(ci, &tag, &end) || end || tag.tagClass != 2 || tag.indefinite) return false;
  if (!r.NextChild(tag, &body, &end) || end || body.tag != 16 || body.indefinite) return false;
  if (body.start + body.length != der.size()) return false;
  ber->clear();
  ber->append("\x30\x80", 2);
  ber->append(der.substr(oidStart, oid.length + 2));
  ber->append("\xA0\x80\x30\x80", 4);
  ber->append(der.substr(body.start, body.length));
  ber->append(6, '\0');
  return true;
}

namespace {

// The byte ranges of the SignerInfo elements of a DER SignedData message.
bool SignerInfoRanges(std::string_view der, std::vector<std::pair<size_t, size_t>>* ranges) {
  BerReader r(der);
  Tlv ci, oid, tag, sd, tlv;
  bool end = false;
  if (!r.ReadHeader(&ci) || !r.NextChild(ci, &oid, &end) || end || !r.Skip(oid)) return false;
  if (!r.NextChild(ci, &tag, &end) || end || !r.NextChild(tag, &sd, &end) || end) return false;
  for (;;) {
    if (!r.NextChild(sd, &tlv, &end) || end) return false;
    if (tlv.tagClass == 0 && tlv.tag == 17 && tlv.constructed) {
      // The last SET of SignedData is signerInfos (digestAlgorithms comes first).
      uint64_t setEnd = tlv.start + tlv.length;
      if (setEnd != sd.start + sd.length) {
        if (!r.Skip(tlv)) return false;
        continue;
      }
      for (;;) {
        Tlv child;
        uint64_t at = r.position();
        if (!r.NextChild(tlv, &child, &end)) return false;
        if (end) return true;
        if (!r.Skip(child)) return false;
        ranges->emplace_back(static_cast<size_t>(at), static_cast<size_t>(r.position() - at));
      }
    }
    if (!r.Skip(tlv)) return false;
  }
}

// DER sorts the elements of a SET OF, which would move a newly added
// signature away from the end. Signatures are numbered by their place in the
// message, so they are written in the order they were added.
void KeepSignerOrder(CMS_ContentInfo* cms, std::string* der) {
  if (!IsSigned(cms)) return;
  STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms);
  const int count = sk_CMS_SignerInfo_num(signers);
  if (count < 2) return;
  std::vector<std::pair<size_t, size_t>> ranges;
  if (!SignerInfoRanges(*der, &ranges) || ranges.size() != static_cast<size_t>(count)) return;
  std::string ordered;
  std::vector<bool> used(ranges.size(), false);
  for (int i = 0; i < count; ++i) {
    ASN1_OCTET_STRING* sig = CMS_SignerInfo_get0_signature(sk_CMS_SignerInfo_value(signers, i));
    std::string_view value(reinterpret_cast<const char*>(ASN1_STRING_get0_data(sig)),
                           static_cast<size_t>(ASN1_STRING_length(sig)));
    bool found = false;
    for (size_t j = 0; j < ranges.size() && !found; ++j) {
      std::string_view element(der->data() + ranges[j].first, ranges[j].second);
      if (!used[j] && element.find(value) != std::string_view::npos) {
        used[j] = found = true;
        ordered.append(element);
      }
    }
    if (!found) return;
  }
  der->replace(ranges.front().first, ordered.size(), ordered);
}

}  // namespace

uint32_t WriteCms(Context* context, CMS_ContentInfo* cms, Encoding encoding, BIO* out, const std::string& what) {
  const bool severalSigners = IsSigned(cms) && sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(cms)) > 1;
  if (encoding == Encoding::kDer && !severalSigners) {
    // Nothing to reorder: one copy of a large content fewer.
    if (i2d_CMS_bio(out, cms) != 1) return Fail(context, ORLAX_E_FILE_WRITE, what);
    return 0;
  }
  unsigned char* der = nullptr;
  int length = i2d_CMS_ContentInfo(cms, &der);
  if (length <= 0) return Fail(context, ORLAX_E_INTERNAL, "i2d_CMS_ContentInfo");
  std::string bytes(reinterpret_cast<char*>(der), static_cast<size_t>(length));
  OPENSSL_free(der);
  KeepSignerOrder(cms, &bytes);
  if (encoding == Encoding::kIndefinite) {
    std::string ber;
    if (!DerToIndefinite(bytes, &ber)) return Fail(context, ORLAX_E_INTERNAL, "BER");
    bytes.swap(ber);
  }
  size_t done = 0;
  while (done < bytes.size()) {
    int n = BIO_write(out, bytes.data() + done, static_cast<int>(std::min<size_t>(bytes.size() - done, 1 << 30)));
    if (n <= 0) return Fail(context, ORLAX_E_FILE_WRITE, what);
    done += static_cast<size_t>(n);
  }
  return 0;
}

uint32_t WriteCmsFile(Context* context, CMS_ContentInfo* cms, Encoding encoding, const std::string& path) {
  OutputFile output(path);
  BIO* out = output.Open();
  if (out == nullptr) return Fail(context, ORLAX_E_FILE_CREATE, path);
  if (uint32_t code = WriteCms(context, cms, encoding, out, path); code != 0) return code;
  if (!output.Commit()) return Fail(context, ORLAX_E_FILE_WRITE, path);
  return 0;
}

uint32_t WriteCmsBlob(Context* context, CMS_ContentInfo* cms, Encoding encoding, DataBlob* blob) {
  BioPtr mem(BIO_new(BIO_s_mem()));
  if (mem == nullptr) throw std::bad_alloc();
  if (uint32_t code = WriteCms(context, cms, encoding, mem.get(), "DataBlob"); code != 0) return code;
  return BioToBlob(context, mem.get(), blob);
}

bool IsSigned(CMS_ContentInfo* cms) { return OBJ_obj2nid(CMS_get0_type(cms)) == NID_pkcs7_signed; }
bool IsEnveloped(CMS_ContentInfo* cms) { return OBJ_obj2nid(CMS_get0_type(cms)) == NID_pkcs7_enveloped; }

bool ContentDigests::Add(int mdNid) {
  if (contexts_.count(mdNid) != 0) return true;
  GostEngine();
  const EVP_MD* md = EVP_get_digestbynid(mdNid);
  if (md == nullptr) return false;
  MdCtxPtr ctx(EVP_MD_CTX_new());
  if (ctx == nullptr) throw std::bad_alloc();
  if (EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return false;
  contexts_[mdNid] = std::move(ctx);
  return true;
}

bool ContentDigests::Update(const void* data, size_t length) {
  for (auto& [nid, ctx] : contexts_) {
    if (EVP_DigestUpdate(ctx.get(), data, length) != 1) return false;
  }
  return true;
}

void ContentDigests::Finish() {
  for (auto& [nid, ctx] : contexts_) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), md, &length) == 1) {
      results_[nid] = std::string(reinterpret_cast<char*>(md), length);
    }
  }
  contexts_.clear();
}

const std::string* ContentDigests::Get(int mdNid) const {
  auto it = results_.find(mdNid);
  return it == results_.end() ? nullptr : &it->second;
}

bool AddSignerDigests(CMS_ContentInfo* cms, ContentDigests* digests) {
  STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms);
  for (int i = 0; i < sk_CMS_SignerInfo_num(signers); ++i) {
    X509_ALGOR* digestAlg = nullptr;
    CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(signers, i), nullptr, nullptr, &digestAlg, nullptr);
    const ASN1_OBJECT* object = nullptr;
    X509_ALGOR_get0(&object, nullptr, nullptr, digestAlg);
    digests->Add(OBJ_obj2nid(object));  // an unknown digest fails that signer later
  }
  return true;
}

bool PumpThrough(BIO* in, ContentDigests* digests, BIO* out, bool* writeFailed) {
  *writeFailed = false;
  std::string buffer(1 << 16, '\0');
  for (;;) {
    int n = BIO_read(in, buffer.data(), static_cast<int>(buffer.size()));
    if (n < 0) return false;  // the sources here never ask to retry
    if (n == 0) break;
    if (digests != nullptr && !digests->Update(buffer.data(), static_cast<size_t>(n))) return false;
    if (out != nullptr && BIO_write(out, buffer.data(), n) != n) {
      *writeFailed = true;
      return false;
    }
  }
  // A file BIO reports a read error only by stopping before its end.
  return BIO_method_type(in) != BIO_TYPE_FILE || BIO_eof(in) == 1;
}

namespace {

// A signer who signed the message before has the certificate in it already:
// OpenSSL refuses to add it a second time.
bool HasCertificate(CMS_ContentInfo* cms, X509* cert) {
  X509StackPtr certs(CMS_get1_certs(cms));
  for (int i = 0; certs != nullptr && i < sk_X509_num(certs.get()); ++i) {
    if (X509_cmp(sk_X509_value(certs.get(), i), cert) == 0) return true;
  }
  return false;
}

}  // namespace

uint32_t AddSignerWithDigest(Context& context, CMS_ContentInfo* cms, const std::string& digest, uint32_t signFlags) {
  if (uint32_t code = CheckSigningCert(context); code != 0) return code;
  unsigned int flags = CMS_PARTIAL | CMS_BINARY | CMS_NOSMIMECAP;
  if ((signFlags & ORLAX_SIGN_ADD_CERT) == 0 || HasCertificate(cms, context.cert.get())) flags |= CMS_NOCERTS;
  CMS_SignerInfo* si = CMS_add1_signer(cms, context.cert.get(), context.key.get(), GostDigest256(), flags);
  if (si == nullptr) return Fail(&context, ORLAX_E_INTERNAL, "CMS_add1_signer");
  const ASN1_OBJECT* contentType = CMS_get0_eContentType(cms);
  if (CMS_signed_add1_attr_by_NID(si, NID_pkcs9_contentType, V_ASN1_OBJECT, contentType, -1) != 1 ||
      CMS_signed_add1_attr_by_NID(si, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING, digest.data(),
                                  static_cast<int>(digest.size())) != 1 ||
      CMS_SignerInfo_sign(si) != 1) {
    return Fail(&context, ORLAX_E_INTERNAL, "CMS_SignerInfo_sign");
  }
  return 0;
}

CMS_SignerInfo* SignerAt(CMS_ContentInfo* cms, uint32_t index) {
  STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms);
  if (signers == nullptr || index >= static_cast<uint32_t>(sk_CMS_SignerInfo_num(signers))) return nullptr;
  return sk_CMS_SignerInfo_value(signers, static_cast<int>(index));
}

uint32_t SigningTime(CMS_SignerInfo* si) {
  int index = CMS_signed_get_attr_by_NID(si, NID_pkcs9_signingTime, -1);
  if (index < 0) return 0;
  X509_ATTRIBUTE* attr = CMS_signed_get_attr(si, index);
  ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attr, 0);
  if (value == nullptr) return 0;
  const ASN1_TIME* time = nullptr;
  if (value->type == V_ASN1_UTCTIME) time = value->value.utctime;
  else if (value->type == V_ASN1_GENERALIZEDTIME) time = value->value.generalizedtime;
  struct tm tm {};
  if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return 0;
  int64_t seconds = timegm(&tm);
  return seconds > 0 && seconds <= 0xFFFFFFFF ? static_cast<uint32_t>(seconds) : 0;
}

}  // namespace qelm
