#pragma once
// The certificate searches of the picker: all owners of the local directory,
// the certificates of one owner, and the owners found by a name or pattern.
// Each runs one ORLAX_FindCert on the pick's context, takes the records it
// wants by their named fields, releases the result and reports a failure in
// the program's error box.
//
// Owner DNs are the library's 8-bit texts (ANSI code page), handed to the
// caller as wide text and back.

#include <cstdint>
#include <vector>

#include "common/qelm_api.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"

// The parameter record of one certificate pick: the settings of the
// directory profile in use, at the position the rule takes its settings
// from. The searches read notUseLdap and signerSearch.
struct PreEncryptParams {
  CString serverTsp;
  int autoUseTsp = 0;
  int notAddCert = 0;
  int notLoadCrl = 0;
  int notCopyToLocal = 0;
  int notUseLdap = 0;
  int autoVerifyTsp = 0;
  int noTspIsError = 0;
  int useAia = 0;
  // 1: searches ask for signing certificates and take every one found; 0:
  // a recipient pick, which takes only certificates usable for encryption.
  int signerSearch = 1;
};

// A certificate as a search hands it out (copies of the record's texts).
struct FoundCertificate {
  CString owner;
  CString issuer;
  CString serialNumber;
  uint8_t keyUsage = 0;
};

// The query values of each search.
inline constexpr uint32_t kFindAllMask = 0x84;
inline constexpr uint32_t kFindOwnerMask = 0x28084;
inline constexpr uint32_t kFindByNameMask = 0x84;

// Whether a pick of this kind takes a certificate with this key-usage byte:
// a signer pick takes every one, a recipient pick those usable for
// encryption.
bool TakesCertificate(const PreEncryptParams& params, uint8_t keyUsage);

// Every owner of the local directory with a certificate the pick takes,
// each once, in the library's order. An empty directory is an empty result.
// Returns 1 when the search ran, 0 after a reported failure.
int FindAllOwners(CStringArray& owners, HWND owner, const PreEncryptParams& params,
                  LibraryContext context);

// The certificates the pick takes whose owner DN equals ownerDn without
// regard to letter case. An owner without any is an empty result. Returns 1
// when the search ran, 0 after a reported failure.
int FindOwnerCertificates(const CString& ownerDn, HWND owner, const PreEncryptParams& params,
                          LibraryContext context, std::vector<FoundCertificate>& certificates);

// The owners whose DN, or one "NAME=value" part of it, matches name (a
// pattern with "*"; "*" alone is asked as "*=*"), each once, in the
// library's order, also from the network directory. Nothing found is an
// empty result without a message. Returns 1 when the search ran, 0 after a
// reported failure.
int FindOwnersByName(CStringArray& owners, HWND owner, const PreEncryptParams& params,
                     LibraryContext context, const CString& name);
