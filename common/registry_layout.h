#pragma once
// Where the configuration lives in the registry: the keys, and every value
// of the base key, a profile key, a rule key and a signer-list key with its
// type, its default and the record field it fills. The service reads through
// these tables and the configuration program writes through them, so both
// agree on every name ("Descryption" and "Enc algorythm" are spelled as
// stored) and every default.
//
//   HKEY_LOCAL_MACHINE\SOFTWARE\TORVAK\qelmservice                 base values, "LastCrlUpdate"
//   HKEY_LOCAL_MACHINE\SOFTWARE\TORVAK\qelmservice\<profile>       profile values
//   HKEY_LOCAL_MACHINE\...\<profile>\rules\<rule>                  rule values ("Rule %d")
//   HKEY_LOCAL_MACHINE\...\<profile>\rules\<rule>\<signer list>    signer-list values
//
// Each table is in the order in which the service reads the values. The
// tables are constant and may be used from any thread; the read helper reads
// the key of the RegistryValues it is given (registry_values.h).

#include <cstring>
#include <span>
#include <vector>

#include "common/config_records.h"
#include "common/registry_values.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"

inline constexpr const wchar_t* kServiceBaseKey = L"SOFTWARE\\TORVAK\\qelmservice";
inline constexpr const wchar_t* kMachineRootName = L"HKEY_LOCAL_MACHINE\\";
// The subkey of a profile key that holds one subkey per rule.
inline constexpr const wchar_t* kRulesKeyName = L"rules";
// The journal folder's writability probe file.
inline constexpr const wchar_t* kJournalProbeFileName = L"test.fpc";

// How a value is stored.
enum class RegistryValueType {
  Text,           // REG_SZ; default textDefault
  Number,         // REG_DWORD; default numberDefault
  TextList,       // REG_MULTI_SZ of texts, or a CStringArray (textArray); default empty
  NumberList,     // REG_MULTI_SZ of decimal texts; default empty
  CountedTexts,   // REG_DWORD count under name (default 0), then the REG_SZ texts
                  // prefix + "0", prefix + "1", ... (default "") of the list
};

// One value of a key whose values fill a Record. Exactly the accessor that
// matches type is set (for TextList either texts or textArray).
template <class Record>
struct RegistryValueLayout {
  const char* name;
  RegistryValueType type;
  const char* textDefault = "";
  int numberDefault = 0;
  // The report flags of the service's reader (2: event log; 3: console too).
  DWORD serviceReadFlags = 2;
  CString& (*text)(Record&) = nullptr;
  int& (*number)(Record&) = nullptr;
  std::vector<CString>& (*texts)(Record&) = nullptr;  // TextList, CountedTexts
  std::vector<int>& (*numbers)(Record&) = nullptr;
  CStringArray& (*textArray)(Record&) = nullptr;
  const char* prefix = nullptr;  // CountedTexts
  // Read and written only for a rule whose operation is exactly "RESG".
  bool resignOnly = false;
};

// The base key's names that the service reads apart from the others:
// "LogPath" (its failure stops the service) and "Log filesize" (a failed
// read leaves its own fallback).
inline constexpr const char* kLogPathValueName = "LogPath";
inline constexpr const char* kLogFileSizeValueName = "Log filesize";

// The base key's values. The configuration program's own defaults
// for a missing "ZIPArchiveExt" and "GZIPArchiveExt" are "zip" and "gz"; the
// service's are the empty texts listed here.
std::span<const RegistryValueLayout<BaseSettings>> BaseValueLayout();

// A profile key's values. "Handler timeout" fills ProfileRecord::handlerTimeout
// (default 15; the service takes 0 as 15 and keeps the pause apart).
std::span<const RegistryValueLayout<ProfileRecord>> ProfileValueLayout();

// A rule key's values. "Mask num" counts the masks "M%d"; when it is 0 the
// single "Mask" is the rule's only mask (MaskCountValueName). "Ext num"
// counts the recipients "C%d". "PSE", "LOCAL", "LDAP" are the paths of the
// rule's directory profile, "PSE2", "LOCAL2", "LDAP2" those of a RESG rule's
// re-signing profile (resignOnly): the configuration program writes them from
// its directory-profile table and never reads them.
std::span<const RegistryValueLayout<RuleRecord>> RuleValueLayout();
inline constexpr const char* kMaskCountValueName = "Mask num";

// A signer-list key's values: "Signer Num" counting the signers "S%d".
std::span<const RegistryValueLayout<SignerListRecord>> SignerListValueLayout();

// The most entries a counted list ("Mask num", "Ext num", "Signer Num") may
// hold. A rule needs a handful; a damaged or hostile count (100000000) would
// otherwise have its loader read missing values for hours.
inline constexpr int kMaxCountedTexts = 1000;

// Reads one value of registry's key into record with its readers (owner and
// flags passed on; the list readers report with the flags of its reporter): a missing value takes the layout's
// default. Returns the count read for CountedTexts (texts appended in order),
// else 0. A count below 0 or above kMaxCountedTexts is returned with no text
// read: the caller decides what the record is worth then.
template <class Record>
int ReadRegistryValue(RegistryValues& registry, const RegistryValueLayout<Record>& value, Record& record, HWND owner,
                      DWORD flags);

// The entry of values named name (exactly), or null when there is none.
template <class Record>
const RegistryValueLayout<Record>* FindValueLayout(std::span<const RegistryValueLayout<Record>> values,
                                                   const char* name) {
  for (const RegistryValueLayout<Record>& value : values)
    if (std::strcmp(value.name, name) == 0) return &value;
  return nullptr;
}
