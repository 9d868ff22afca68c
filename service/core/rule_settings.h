#pragma once
// A rule's stored numbers read into what they mean, once, where the rule is
// dispatched: the operations see these types and never compare a stored
// integer themselves. The profile's "Rename conf files" and the switches of
// the rule's directory profiles are read here too, since an operation sees
// them only through its rule.

#include <cstdint>
#include <optional>

#include "common/config_records.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"

// "ZipFile". Only 0, 1 and 2 are offered, but a stored file may hold any
// number; kOther keeps what such a number has always meant: an archive, made
// and read as GZIP around encryption, a ZIP file for ARCH and UNAR, under the
// ZIP archive extension.
enum class ArchiveSetting { kNone, kZip, kGzip, kOther };

// True when the rule archives (any setting but kNone).
inline bool Archives(ArchiveSetting setting) { return setting != ArchiveSetting::kNone; }
// The archive ARCH and UNAR make and read is GZIP for kGzip alone; the
// archive extension is "GZIPArchiveExt" then, else "ZIPArchiveExt".
inline bool GzipArchive(ArchiveSetting setting) { return setting == ArchiveSetting::kGzip; }
// The one-entry archive around encryption is ZIP for kZip alone, else GZIP.
inline bool ZipSingleEntry(ArchiveSetting setting) { return setting == ArchiveSetting::kZip; }

// "Enc algorythm": the content cipher, in the order of kEncAlgorithmNames;
// kLibraryDefault for a stored number outside the list (no cipher flags, no
// cipher named in the records).
enum class ContentCipher { kGost89, kMagma, kMagmaOmac, kKuznyechik, kKuznyechikOmac, kLibraryDefault };

// The switches of one directory profile, from the profile's parallel lists.
struct DirectorySwitches {
  CString serverTsp;                 // "ServerTSP"
  bool useNetworkDirectory = true;   // "NotUseLDAP" 0
  bool addCertificate = true;        // "NotAddCert" 0
  bool notCopyToLocal = false;       // "NotCopyToLocal" not 0
  bool verifyStamps = false;         // "AutoVerifyTSP" not 0
  bool noStampIsError = false;       // "NoTSPisError" not 0
  bool stampSignatures = false;      // "AutoUseTSP" not 0
};

// PACK's triggers; an absent one does not apply.
struct PackTriggers {
  std::optional<int> fileCount;         // "ArchCount" when 1 or more
  std::optional<ULONGLONG> sizeLimit;   // "ArchSize" KiB in bytes, when 1 or more
  std::optional<int> waitMinutes;       // "ArchTimeout" when 1 or more
};

struct RuleSettings {
  ArchiveSetting archive = ArchiveSetting::kNone;  // "ZipFile"
  bool stream = false;          // "Stream" not 0
  bool detachedInput = false;   // "In format det" not 0
  bool detachedOutput = false;  // "Out format det" not 0
  ContentCipher cipher = ContentCipher::kGost89;  // "Enc algorythm"
  PackTriggers pack;
  ULONGLONG execTimeLimitMs = 0;  // "ExecTimeout" minutes in ms when 1 or more; 0 no limit
  bool renameConflicts = false;   // the profile's "Rename conf files" not 0
  DirectorySwitches directory;        // of the rule's "ZCSProfile"
  DirectorySwitches resignDirectory;  // of its "ResignProfile" (RESG)
};

// The switches of the directory profile named name (DirectoryProfileIndex).
DirectorySwitches ReadDirectorySwitches(const ProfileRecord& profile, const CString& name);
// The settings of profile.rules[ruleIndex].
RuleSettings ReadRuleSettings(const ProfileRecord& profile, int ruleIndex);
