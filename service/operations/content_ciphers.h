#pragma once
// The content ciphers that a rule's "Enc algorythm" (0 to 4) selects, with
// the names that the journal shows for them. Any other value
// (ContentCipher::kLibraryDefault) encrypts with flags 0 (GOST 28147-89) and
// shows no name, in ENCR, LENC and SGEN alike.

#include <span>

#include "common/qelm_api.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"
#include "service/core/rule_settings.h"

// The library's record for encrypting to the recipients with the cipher of
// a known setting (flags 0, GOST 28147-89, for an unknown one).
EncryptParams EncryptParamsFor(ContentCipher cipher, std::span<const CertRecord> recipients);

// " (Алгоритм шифрования: <name>)" for a known setting, else empty.
CString CipherLabel(ContentCipher cipher);
// The same label for the content-encryption OID of an enveloped message
// (compared exactly), empty for an unknown or missing OID.
CString CipherLabelOfOid(const char* oid);

