#pragma once
// The unpacking that follows a decryption when the rule archives (DECR and
// decrypt-and-verify): the decrypted data is a ZIP archive of exactly one
// file, or a GZIP file, and its one file goes to a target path whatever the
// entry's own name and folders.
//
// Worker thread; keeps nothing.

#include "platform/cstring.h"
#include "platform/windows_types.h"
#include "service/core/file_pipeline.h"
#include "service/core/rule_settings.h"

// Unpacks the archive at `archive` into `target`: ZIP for
// ArchiveSetting::kZip, GZIP for any other setting. A ZIP archive must hold exactly one entry that is not
// a folder (ERR_ARCHIVE_NOT_SINGLE otherwise), and its declared size must fit
// what the archive can give and the target's disk can take
// (ERR_ARCHIVE_TOO_LARGE); a ZIP result code comes with its text as the
// description, a GZIP failure with the compression text. Every failure has
// stepText as its step text. A partial target may remain: the caller owns it.
DWORD UnpackSingleEntry(ArchiveSetting setting, const CString& archive, const CString& target, const CString& stepText,
                        WorkFailure& failure);
