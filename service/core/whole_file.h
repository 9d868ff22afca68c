#pragma once
// Whole files in memory for the block-mode operations.

#include "common/qelm_api.h"
#include "platform/windows_types.h"

// Stages reported by ReadWholeFile and WriteWholeFile on failure.
inline constexpr int kWholeFileStageOpen = 1;
inline constexpr int kWholeFileStageSize = 2;   // ReadWholeFile only
inline constexpr int kWholeFileStageRead = 3;   // allocation or read
inline constexpr int kWholeFileStageWrite = 2;  // WriteWholeFile only

// Reads the whole file, opened for exclusive reading, into a new buffer of
// length + 1 bytes (a zero byte follows the data), which the caller releases
// with delete[]. Returns 0 with *blob set, or a code with *stage set (neither
// blob nor stage is touched otherwise):
//  - stage 1: the class library's file-exception cause of the open (2 missing,
//    5 access denied, 11 in use by someone else, ...);
//  - stage 2: ERR_FILE_SIZE_UNSUPPORTED for a length of 0 or above
//    0x7FFFFFC7, or the cause when the length cannot be read;
//  - stage 3: ERROR_NOT_ENOUGH_MEMORY when the buffer cannot be allocated; the
//    cause of a failed read; CFileException::endOfFile (14) when the file
//    ends before its length was read.
DWORD ReadWholeFile(LPCWSTR path, int* stage, DataBlob* blob);

// Creates or empties the file (exclusively) and writes the blob's bytes.
// Returns 0, or the file-exception cause with *stage 1 (open) or 2 (write,
// including the final close).
DWORD WriteWholeFile(LPCWSTR path, int* stage, const DataBlob& blob);
