#include "service/operations/extension_names.h"

#include "service/core/path_names.h"
#include "service/operations/crypto_operation_support.h"

CString StripOwnOrExtraExtensions(const CString& name, const CString& ownExt, const CStringArray* extExt) {
  CString out = name;
  if (HasLastExtension(out, ownExt)) return WithoutLastExtension(out);
  if (extExt == nullptr) return out;
  for (const CString& entry : *extExt) {
    if (out.ReverseFind(L'.') <= 0) break;
    if (CanStripExtension(out, entry)) out = WithoutLastExtension(out);
  }
  return out;
}
