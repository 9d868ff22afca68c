// Message information: the outline of a CMS message read without loading its
// content.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qelm/ber.h"
#include "qelm/cms_info.h"
#include "qelm/internal.h"

namespace qelm {
namespace {

constexpr char kSignedData[] = "1.2.840.113549.1.7.2";
constexpr char kEnvelopedData[] = "1.2.840.113549.1.7.3";

bool ReadOid(BerReader& r, const Tlv& parent, std::string* oid) {
  Tlv tlv;
  bool end = false;
  std::string value;
  if (!r.NextChild(parent, &tlv, &end) || end || tlv.tagClass != 0 || tlv.tag != 6) return false;
  if (!r.ReadValue(tlv, &value)) return false;
  *oid = OidText(value);
  return !oid->empty();
}

bool CountChildren(BerReader& r, const Tlv& set, uint32_t* count) {
  for (;;) {
    Tlv child;
    bool end = false;
    if (!r.NextChild(set, &child, &end)) return false;
    if (end) return true;
    if (!r.Skip(child)) return false;
    ++*count;
  }
}

// SignedData: version, digestAlgorithms, encapContentInfo, [0] certificates,
// [1] crls, signerInfos.
bool ReadSignedData(BerReader& r, const Tlv& sd, MessageOutline* out) {
  Tlv tlv;
  bool end = false;
  if (!r.NextChild(sd, &tlv, &end) || end || tlv.tag != 2 || !r.Skip(tlv)) return false;   // version
  if (!r.NextChild(sd, &tlv, &end) || end || tlv.tag != 17 || !r.Skip(tlv)) return false;  // digestAlgorithms
  Tlv encap;
  if (!r.NextChild(sd, &encap, &end) || end || encap.tag != 16 || !encap.constructed) return false;
  if (!ReadOid(r, encap, &out->contentType)) return false;
  Tlv content;
  if (!r.NextChild(encap, &content, &end)) return false;
  out->detached = end;
  if (!end) {
    if (content.tagClass != 2 || content.tag != 0) return false;
    Tlv octets;
    bool inner = false;
    if (!r.NextChild(content, &octets, &inner) || inner) return false;
    if (!r.MeasureOctets(octets, &out->contentLength)) return false;
    if (!r.SkipRest(content) || !r.SkipRest(encap)) return false;
  }
  for (;;) {
    if (!r.NextChild(sd, &tlv, &end) || end) return false;
    if (tlv.tagClass == 2 && (tlv.tag == 0 || tlv.tag == 1)) {
      if (!r.Skip(tlv)) return false;
      continue;
    }
    if (tlv.tagClass != 0 || tlv.tag != 17) return false;
    return CountChildren(r, tlv, &out->signatureCount);
  }
}

// EnvelopedData: version, [0] originatorInfo, recipientInfos,
// encryptedContentInfo {contentType, contentEncryptionAlgorithm, ...}.
bool ReadEnvelopedData(BerReader& r, const Tlv& ed, MessageOutline* out) {
  Tlv tlv;
  bool end = false;
  if (!r.NextChild(ed, &tlv, &end) || end || tlv.tag != 2 || !r.Skip(tlv)) return false;
  if (!r.NextChild(ed, &tlv, &end) || end) return false;
  if (tlv.tagClass == 2 && tlv.tag == 0) {
    if (!r.Skip(tlv) || !r.NextChild(ed, &tlv, &end) || end) return false;
  }
  if (tlv.tag != 17 || !CountChildren(r, tlv, &out->recipientCount)) return false;
  Tlv eci;
  if (!r.NextChild(ed, &eci, &end) || end || eci.tag != 16) return false;
  if (!ReadOid(r, eci, &out->contentType)) return false;
  Tlv alg;
  if (!r.NextChild(eci, &alg, &end) || end || alg.tag != 16) return false;
  return ReadOid(r, alg, &out->cipherOid);
}

}  // namespace

uint32_t ReadOutline(BerReader& r, MessageOutline* out) {
  Tlv ci;
  if (!r.ReadHeader(&ci) || ci.tagClass != 0 || ci.tag != 16 || !ci.constructed) return ORLAX_E_NOT_SIGNED_MESSAGE;
  out->stream = ci.indefinite;
  std::string type;
  if (!ReadOid(r, ci, &type)) return ORLAX_E_NOT_SIGNED_MESSAGE;
  if (type == kSignedData) {
    out->type = ORLAX_MSG_SIGNED;
  } else if (type == kEnvelopedData) {
    out->type = ORLAX_MSG_ENVELOPED;
  } else {
    return ORLAX_E_NOT_SIGNED_MESSAGE;
  }
  Tlv explicitTag, body;
  bool end = false;
  if (!r.NextChild(ci, &explicitTag, &end) || end || explicitTag.tagClass != 2 || explicitTag.tag != 0) {
    return ORLAX_E_BAD_MESSAGE;
  }
  if (!r.NextChild(explicitTag, &body, &end) || end || body.tag != 16) return ORLAX_E_BAD_MESSAGE;
  bool ok = out->type == ORLAX_MSG_SIGNED ? ReadSignedData(r, body, out) : ReadEnvelopedData(r, body, out);
  return ok ? 0 : ORLAX_E_BAD_MESSAGE;
}

uint32_t ReadOutlineFile(Context* context, const std::string& path, MessageOutline* out) {
  std::FILE* file = OpenInputStream(path);
  if (file == nullptr) return Fail(context, ORLAX_E_FILE_OPEN, path);
  BerReader reader(file);
  uint32_t code = ReadOutline(reader, out);
  std::fclose(file);
  if (code != 0) return Fail(context, code, path);
  return 0;
}

uint32_t ReadOutlineMemory(Context* context, std::string_view bytes, MessageOutline* out) {
  BerReader reader(bytes);
  uint32_t code = ReadOutline(reader, out);
  if (code != 0) return Fail(context, code, "");
  return 0;
}

void FillMessageInfo(const MessageOutline& outline, MessageInfo* info) {
  std::memset(info, 0, sizeof *info);
  info->type = outline.type;
  info->flags = (outline.stream ? ORLAX_MSG_STREAM : 0u) | (outline.detached ? ORLAX_MSG_DETACHED : 0u);
  info->signatureCount = outline.signatureCount;
  info->recipientCount = outline.recipientCount;
  info->contentLength = outline.contentLength;
  info->contentType = DupText(outline.contentType);
  if (!outline.cipherOid.empty()) info->cipherOid = DupText(outline.cipherOid);
}

}  // namespace qelm

using namespace qelm;

namespace {
uint32_t MsgInfFile(const char* name, LibraryContext context, const char* path, MessageInfo* info) {
  return WithContext(name, context, [&](Context& ctx) -> uint32_t {
    if (info == nullptr || path == nullptr) return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, name);
    std::memset(info, 0, sizeof *info);
    MessageOutline outline;
    if (uint32_t code = ReadOutlineFile(&ctx, DiskPath(path), &outline); code != 0) return code;
    FillMessageInfo(outline, info);
    return 0;
  });
}
}  // namespace

extern "C" {

ORLAX_API uint32_t ORLAX_CmsBlkMsgInfFile(LibraryContext context, const char* path, MessageInfo* info,
                                          uint32_t /*flags*/) {
  return MsgInfFile("ORLAX_CmsBlkMsgInfFile", context, path, info);
}

ORLAX_API uint32_t ORLAX_CmsStrMsgInfFile(LibraryContext context, const char* path, MessageInfo* info,
                                          uint32_t /*flags*/) {
  return MsgInfFile("ORLAX_CmsStrMsgInfFile", context, path, info);
}

ORLAX_API uint32_t ORLAX_CmsBlkMsgInfMem(LibraryContext context, const DataBlob* input, MessageInfo* info,
                                         uint32_t /*flags*/) {
  return WithContext("ORLAX_CmsBlkMsgInfMem", context, [&](Context& ctx) -> uint32_t {
    if (info == nullptr || input == nullptr || (input->length > 0 && input->data == nullptr)) {
      return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "ORLAX_CmsBlkMsgInfMem");
    }
    std::memset(info, 0, sizeof *info);
    MessageOutline outline;
    std::string_view bytes(reinterpret_cast<const char*>(input->data), input->length);
    if (uint32_t code = ReadOutlineMemory(&ctx, bytes, &outline); code != 0) return code;
    FillMessageInfo(outline, info);
    return 0;
  });
}

ORLAX_API uint32_t ORLAX_CmsFreeMsgInf(LibraryContext /*context*/, MessageInfo* info) {
  if (info == nullptr) return 0;
  std::free(info->contentType);
  std::free(info->cipherOid);
  std::memset(info, 0, sizeof *info);
  return 0;
}

}  // extern "C"
