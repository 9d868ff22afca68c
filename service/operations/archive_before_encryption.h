#pragma once
// A file put into a one-entry ZIP archive ("ZipFile" 1) or a GZIP file (any
// other archiving setting) before it is encrypted, by encryption and
// sign-and-encrypt alike.

#include "platform/cstring.h"
#include "platform/windows_types.h"
#include "service/core/file_pipeline.h"
#include "service/core/rule_settings.h"

// "Архивирование файла '%s' (размер: %s)": the source name and the claimed
// file's size.
CString ArchiveStepText(const PipelineFile& file);

// The file that becomes the archive's one entry: the path it is read from,
// and its name in the archive (the ZIP entry, or the GZIP header's name).
struct ArchiveEntry {
  CString source;
  CString name;
};

// Archives entry into archive (a scratch name that must not exist yet: the
// writers create their targets new, never replacing or following a link),
// ZIP for ArchiveSetting::kZip, GZIP for any other setting. 0, or the failure
// with stepText: ZIP_E_NO_FILE ("Не удалось создать/открыть файл") when no
// writer can be made, a ZIP result with its ZipResultText (a failed finish
// of the archive included: an unfinished archive is never encrypted), or a
// compression code with the GZIP glue's text.
DWORD ArchiveForEncryption(ArchiveSetting setting, const ArchiveEntry& entry, const CString& archive, const CString& stepText,
                           WorkFailure& failure);
