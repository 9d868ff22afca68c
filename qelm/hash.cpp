// File digests.

#include <cstring>

#include "qelm/cms_common.h"

using namespace qelm;

namespace {

int DigestNid(const char* oid) {
  if (std::strcmp(oid, "1.2.643.7.1.1.2.2") == 0) return NID_id_GostR3411_2012_256;
  if (std::strcmp(oid, "1.2.643.7.1.1.2.3") == 0) return NID_id_GostR3411_2012_512;
  return NID_undef;
}

}  // namespace

extern "C" {

ORLAX_API uint32_t ORLAX_StrHashFile(LibraryContext context, const char* algorithmOid, const char* path,
                                     DataBlob* digest) {
  return WithContext("ORLAX_StrHashFile", context, [&](Context& ctx) -> uint32_t {
    if (digest == nullptr || algorithmOid == nullptr || path == nullptr) {
      return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "ORLAX_StrHashFile");
    }
    *digest = {};
    const int nid = DigestNid(algorithmOid);
    if (nid == NID_undef) return Fail(&ctx, ORLAX_E_UNKNOWN_ALGORITHM, algorithmOid);
    const std::string file = DiskPath(path);
    BioPtr bio = OpenInput(file);
    if (bio == nullptr) return Fail(&ctx, ORLAX_E_FILE_OPEN, file);
    ContentDigests digests;
    if (!digests.Add(nid)) return Fail(&ctx, ORLAX_E_ENGINE, algorithmOid);
    bool writeFailed = false;
    if (!PumpThrough(bio.get(), &digests, nullptr, &writeFailed)) return Fail(&ctx, ORLAX_E_FILE_OPEN, file);
    digests.Finish();
    const std::string* value = digests.Get(nid);
    if (value == nullptr) return Fail(&ctx, ORLAX_E_ENGINE, algorithmOid);
    SetBlob(digest, value->data(), value->size());
    return 0;
  });
}

}  // extern "C"
