#pragma once
// Time stamps shared by the file, block and stream forms.

#include "qelm/cms_common.h"

namespace qelm {

// Asks the server at url for a stamp of the index-th signature and puts it
// into that signature's unsigned attributes.
uint32_t StampSignature(Context& ctx, CMS_ContentInfo* cms, uint32_t index, const char* url);
// Checks the stamp of the index-th signature; fills result when it can.
uint32_t VerifyStamp(Context& ctx, CMS_ContentInfo* cms, uint32_t index, TspVerifyResult* result);

}  // namespace qelm
