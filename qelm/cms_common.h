#pragma once
// Reading and writing CMS messages, and the pieces shared by signing,
// verification and time stamps.

#include <map>
#include <string>
#include <string_view>

#include "qelm/internal.h"

namespace qelm {

enum class Encoding { kDer, kIndefinite };

// Parses a whole message. NOT_SIGNED_MESSAGE for input that is no CMS
// message at all, BAD_MESSAGE for a damaged one (with a stack line).
uint32_t LoadCms(Context* context, BIO* input, const std::string& what, CmsPtr* cms);
uint32_t LoadCmsFile(Context* context, const std::string& path, CmsPtr* cms);
uint32_t LoadCmsBlob(Context* context, const DataBlob* blob, CmsPtr* cms);

// Writes a message: DER, or BER whose outer structures (ContentInfo, the
// explicit tag and the SignedData / EnvelopedData sequence) have indefinite
// lengths, as stream-encoded messages have.
uint32_t WriteCms(Context* context, CMS_ContentInfo* cms, Encoding encoding, BIO* out, const std::string& what);
uint32_t WriteCmsFile(Context* context, CMS_ContentInfo* cms, Encoding encoding, const std::string& path);
uint32_t WriteCmsBlob(Context* context, CMS_ContentInfo* cms, Encoding encoding, DataBlob* blob);

// DER of a ContentInfo re-encoded with indefinite outer lengths.
bool DerToIndefinite(std::string_view der, std::string* ber);

bool IsSigned(CMS_ContentInfo* cms);
bool IsEnveloped(CMS_ContentInfo* cms);

// Digests of a content by algorithm NID, fed in pieces.
class ContentDigests {
 public:
  bool Add(int mdNid);   // false for an unknown digest
  bool Update(const void* data, size_t length);
  void Finish();
  const std::string* Get(int mdNid) const;

 private:
  std::map<int, MdCtxPtr> contexts_;
  std::map<int, std::string> results_;
};

// Feeds every digest algorithm of the signers of cms.
bool AddSignerDigests(CMS_ContentInfo* cms, ContentDigests* digests);
// Reads a BIO to its end through the digests, writing to out when given.
// false on a read or write failure (*writeFailed tells which).
bool PumpThrough(BIO* in, ContentDigests* digests, BIO* out, bool* writeFailed);

// Adds a signature with the context's key over a content whose digest (GOST R
// 34.11-2012 256) is given; content type attribute from cms.
uint32_t AddSignerWithDigest(Context& context, CMS_ContentInfo* cms, const std::string& digest, uint32_t signFlags);

// The signature value of the index-th signer, or null.
CMS_SignerInfo* SignerAt(CMS_ContentInfo* cms, uint32_t index);

// The signing time attribute, 0 when absent.
uint32_t SigningTime(CMS_SignerInfo* si);

}  // namespace qelm
