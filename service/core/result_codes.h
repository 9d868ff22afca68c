#pragma once
// The system's own result codes. Like the cryptographic library's codes they
// have bit 0x20000000 set, so reports label them "Ошибка ORLAX 0x%X"; the code
// that reports one always supplies its description, since the library has no
// text for them.

#include "platform/windows_types.h"

// A verified signer is on none of the rule's signer lists.
inline constexpr DWORD ERR_SIGNER_NOT_LISTED = 0xE1718001;
// The message is not of the signature kind (attached/detached) the rule expects.
inline constexpr DWORD ERR_WRONG_SIGNATURE_TYPE = 0xE1718002;
// The message's information does not agree with what its verification found.
inline constexpr DWORD ERR_SIGNATURE_INFO_MISMATCH = 0xE1718003;
// A file of 0 bytes, or of more than 0x7FFFFFC7 bytes, in block mode.
inline constexpr DWORD ERR_FILE_SIZE_UNSUPPORTED = 0xE1718004;
// An archive entry's path leads out of the folder it is unpacked into.
inline constexpr DWORD ERR_ARCHIVE_PATH_OUTSIDE = 0xE1718005;
// An archive expected to hold one file holds another number of entries.
inline constexpr DWORD ERR_ARCHIVE_NOT_SINGLE = 0xE1718006;
// The modification time of the file to compress could not be read.
inline constexpr DWORD ERR_GZIP_TIME = 0xE1718007;
// The gzip header could not be set when compressing.
inline constexpr DWORD ERR_GZIP_HEADER_SET = 0xE1718008;
// The gzip header could not be read when decompressing.
inline constexpr DWORD ERR_GZIP_HEADER_GET = 0xE1718009;
// A listed name is one of the system's own temporary (".stp") names.
inline constexpr DWORD ERR_TEMPORARY_NAME_SKIPPED = 0xE171800A;
// A listed file was gone before it could be claimed.
inline constexpr DWORD ERR_FILE_VANISHED = 0xE171800B;
// An archive would unpack to more than its size can hold or than the
// output folder's disk can take.
inline constexpr DWORD ERR_ARCHIVE_TOO_LARGE = 0xE171800C;
// An unpacked folder's name is taken by a file, or no conflict-free name was left.
inline constexpr DWORD ERR_UNPACK_NAME_CLASH = 0xE171800D;
// A listed input is a symbolic link: nothing is read through it.
inline constexpr DWORD ERR_INPUT_IS_LINK = 0xE1718020;
// A claimed (".stp") file left by a process that is gone was given its name back.
inline constexpr DWORD ERR_CLAIM_TAKEN_BACK = 0xE1718021;
// A rule's "Path Out" or "Path Error" is its "Path In": the rule would take
// its own outputs (or failed files) as new inputs for ever.
inline constexpr DWORD ERR_RULE_FOLDERS_OVERLAP = 0xE1718022;
// A count of the configuration ("Mask num", "Ext num", "Signer Num", signer
// lists of a rule, rules of a profile) beyond what the loader reads.
inline constexpr DWORD ERR_CONFIGURATION_COUNT_TOO_LARGE = 0xE1718023;
// A listed name the service cannot work under: it holds bytes that are not
// valid in the file-name encoding, or it has no room for the claim suffix.
// The file stays where it is.
inline constexpr DWORD ERR_FILE_NAME_UNUSABLE = 0xE1718024;
// A temporary output (".~*.part") left in an output folder by a process that
// is gone was removed.
inline constexpr DWORD ERR_ABANDONED_OUTPUT_REMOVED = 0xE1718025;

// The largest file that block mode reads whole into memory.
inline constexpr DWORD kMaxBlockFileSize = 0x7FFFFFC7;
