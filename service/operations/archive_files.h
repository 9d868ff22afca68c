#pragma once
// One-file ZIP archives through minizip, for ARCH and UNAR (ArchiveFiles and
// UnarchiveFiles are declared with the other operations). Both take 8-bit
// paths in the ANSI code page and fill errorText, when it is empty and the
// call fails, with CompressionErrorText of the result (ZipResultText for
// ZIP_E_TOO_LARGE). A partial output may remain for the caller to delete.
// Any thread.

#include "platform/cstring.h"
#include "platform/windows_types.h"

// Writes a new ZIP archive (CREATE_NEW: an existing name fails) holding the
// source as one deflated entry (level 9) named entryName in the OEM code
// page, dated with the source's last-write time in local time; no ZIP64
// records. Returns 0, or COMPRESS_E_NO_MEMORY, COMPRESS_E_OPEN_SOURCE,
// COMPRESS_E_SOURCE_SIZE, COMPRESS_E_SOURCE_EMPTY, ZIP_E_TOO_LARGE (a source
// whose archive could pass 4 GiB - 1 bytes), COMPRESS_E_CREATE_PACKED,
// ERR_GZIP_TIME, COMPRESS_E_WRITE_PACKED (the entry could not be begun, or
// a write or the archive's completion failed), COMPRESS_E_READ_SOURCE (a
// failed or short read).
DWORD ZipOneFile(LPCSTR source, LPCSTR archive, const CString& entryName, CString& errorText);

// Writes the one file entry of a ZIP archive to target (CREATE_NEW) and gives
// it the entry's date (read as local time) as creation and last-write time.
// Returns 0, or COMPRESS_E_NO_MEMORY, COMPRESS_E_OPEN_PACKED (the archive
// cannot be opened or read as ZIP, or has no entry), COMPRESS_E_PACKED_SIZE,
// COMPRESS_E_PACKED_EMPTY, ERR_ARCHIVE_NOT_SINGLE (more than one entry, or a
// folder entry; its own text always), ERR_ARCHIVE_TOO_LARGE (declared or
// written size past ExtractionLimit), COMPRESS_E_CREATE_UNPACKED,
// COMPRESS_E_WRITE_UNPACKED, COMPRESS_E_INFLATE (damaged data, a CRC that
// does not match, or fewer bytes than the entry declares).
DWORD UnzipOneFile(LPCSTR archive, LPCSTR target, CString& errorText);
