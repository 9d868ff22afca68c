#pragma once
// The in-memory form of the configuration store: the base values, one
// profile with its parallel per-directory-profile lists and flags, its rules
// with their signer lists, and the paths of the directory profiles. The
// service's worker fills them once at start and reads them (what it keeps
// from cycle to cycle is its own, service/core/worker_state.h, and so are the
// library contexts it opens, service/core/directory_profile_table.h);
// the configuration program holds one ProfileRecord per profile and writes
// them back. Where each field is stored, with its type and
// default, is registry_layout.h.
//
// Every record owns its members outright: copying copies every text, list
// and nested record (a copied ProfileRecord holds its own rules, signer lists
// and directory-profile entries), and destroying releases them.

#include <cstdint>
#include <vector>

#include "platform/cstring.h"
#include "platform/windows_types.h"

// The paths of a directory profile.
struct DirectoryProfileEntry {
  CString pse;    // "PSE": the owner's key and certificate
  CString local;  // "LOCAL": the local certificate directory
  CString ldap;   // "LDAP": the network directory address
  CString name;   // the directory-profile name
};

// The base values shared by every profile (the base key).
struct BaseSettings {
  CString sigExt;          // "SigExt", default "p7s"
  CString dsigExt;         // "DsigExt", default "p7d"
  CString encExt;          // "EncExt", default "p7e"
  CString b64Ext;          // "B64Ext", default "b64"
  CString hashExt;         // "HashExt", default "hsh"
  CString verifyFileExt;   // "VerifyFileExt", default "vrf"
  CString zipArchiveExt;   // "ZIPArchiveExt", default ""
  CString gzipArchiveExt;  // "GZIPArchiveExt", default ""
  CStringArray extExt;     // "ExtExt": extensions that decoding and decryption strip
  int logFileSize = 4000;  // "Log filesize" in thousands of bytes, at least 400
  CString logPath;         // "LogPath" as stored
};

// One signer list of a rule: the name of its subkey and the owner
// distinguished names it permits ("S0", "S1", ...).
struct SignerListRecord {
  CString name;
  std::vector<CString> signers;
};

// One rule of a profile: the fifteen texts, recipients, masks, switches,
// numbers and signer lists of the rule's registry key.
struct RuleRecord {
  CString zcsProfile;     // "ZCSProfile": directory profile whose context the rule uses
  CString resignProfile;  // "ResignProfile": second directory profile of a RESG rule
  CString operation;      // "Operation": the four-character operation code
  CString pathIn;         // "Path In"
  CString pathOut;        // "Path Out"
  CString pathOut2;       // "Path Out 2": MOVE copies there
  CString pathError;      // "Path Error"
  CString mask;           // "Mask": the single mask of a rule whose "Mask num" is 0
  CString description;    // "Descryption": shown in every journal message of the rule
  CString delExt;         // "DelExt" (MOVE)
  CString addExt;         // "AddExt" (MOVE)
  CString folders;        // "Folders" (MOVE): dated subfolder template of the output
  CString copyFolders;    // "Copyfolders" (MOVE): dated subfolder template of the copy
  CString archName;       // "ArchName" (PACK): archive-name template
  CString execName;       // "ExecName" (EXEC): command template
  std::vector<CString> recipients;  // "C0", "C1", ...: certificate subjects
  std::vector<CString> masks;       // "M0", "M1", ... or "Mask": file-name masks in order
  DirectoryProfileEntry directoryProfile;        // "PSE", "LOCAL", "LDAP" (paths only)
  DirectoryProfileEntry resignDirectoryProfile;  // "PSE2", "LOCAL2", "LDAP2" (RESG only)
  int isOn = 0;                 // "Is on": 0 skips the rule
  int inFormatDet = 0;          // "In format det": not 0: detached-signature pairs in the input
  int outFormatDet = 0;         // "Out format det": not 0: detached signatures in the output
  int stream = 0;               // "Stream": not 0: stream mode
  int zipFile = 0;              // "ZipFile": 0 no archive, 1 ZIP, 2 GZIP
  int archCount = 0;            // "ArchCount" (PACK): file-count trigger
  int archSize = 0;             // "ArchSize" (PACK): size trigger in KiB
  int archTimeout = 0;          // "ArchTimeout" (PACK): waiting-time trigger in minutes
  int execTimeout = 0;          // "ExecTimeout" (EXEC): wait in minutes, 0 none
  std::vector<SignerListRecord> signerLists;
  int encAlgorithm = 0;          // "Enc algorythm": content-encryption algorithm 0..4
  // The rule's place among the profile's rule keys in key order, from 1, as
  // its records name it ("Правило N") also when a rule before it was refused
  // at the load; 0: its place in the run order.
  int number = 0;
};

// One service profile. The ten lists after zcsProfiles run parallel to it;
// DirectoryProfileIndex selects a directory profile's position in them, and
// an element beyond the end of a list counts as 0 (empty for serverTsp):
// their lengths are never forced to agree.
struct ProfileRecord {
  CString name;        // the service keeps the profile name apart and leaves this empty
  CString reserved1;
  CString reserved2;
  CString reserved3;
  CString ldapSwitch;  // never filled by the service
  std::vector<RuleRecord> rules;       // in the order in which they run
  std::vector<CString> serverTsp;      // "ServerTSP": time-stamp server address
  std::vector<CString> zcsProfiles;    // "ZCSProfile": directory-profile names
  std::vector<int> notUseLdap;         // "NotUseLDAP"
  std::vector<int> notAddCert;         // "NotAddCert"
  std::vector<int> notCopyToLocal;     // "NotCopyToLocal"
  std::vector<int> autoVerifyTsp;      // "AutoVerifyTSP"
  std::vector<int> noTspIsError;       // "NoTSPisError"
  std::vector<int> useAia;             // "UseAIA"
  std::vector<int> autoUseTsp;         // "AutoUseTSP"
  std::vector<int> notLoadCrl;         // "NotLoadCrl"
  std::vector<int> crlUpdatePeriod;    // "CrlUpdatePeriod": hours, none when 0 or below
  int handlerTimeout = 15;  // "Handler timeout"; the service reads it apart and leaves 15 here
  int verifyFile = 0;        // "Verify File"
  int verifyXFile = 0;       // "Verify x file"
  int verifyDetFile = 0;     // "Verify det file"
  int verifyResignFile = 0;  // "Verify resign file"
  int renameConfFiles = 0;   // "Rename conf files"
};

// The position of the LAST element of profile.zcsProfiles equal to name
// (exact comparison, letter case included); 0 when none is, or when the list
// is empty, so that the first directory profile's settings apply.
int DirectoryProfileIndex(const ProfileRecord& profile, const CString& name);

// Element k of a parallel list, or 0 (an empty text) when the list is
// shorter.
int ListValueAt(const std::vector<int>& list, int k);
CString ListTextAt(const std::vector<CString>& list, int k);

// The per-directory-profile settings at position k of the parallel lists.
struct DirectoryProfileSettings {
  CString serverTsp;
  int notUseLdap = 0;
  int notAddCert = 0;
  int notCopyToLocal = 0;
  int autoVerifyTsp = 0;
  int noTspIsError = 0;
  int useAia = 0;
  int autoUseTsp = 0;
  int notLoadCrl = 0;
  int crlUpdatePeriod = 0;
};
DirectoryProfileSettings DirectoryProfileSettingsAt(const ProfileRecord& profile, int k);

// After a load: "CrlUpdatePeriod" is padded with 1 (hour) until it is as long
// as "NotLoadCrl", so that a directory profile that loads lists without a
// period of its own refreshes them hourly.
void PadCrlUpdatePeriods(ProfileRecord& profile);
