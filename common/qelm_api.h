#pragma once
// The interface of the cryptographic library libqelm1.so (the ORLAX_ functions).
//
// Calling rules, common to every function:
// - Every function returns a 32-bit result code, 0 for success. Codes of the
//   library have bit 0x20000000 set (ORLAX_E_...). ORLAX_GetErrorText is the
//   one exception: it returns a text pointer.
// - Texts and paths are 8-bit text in the ANSI code page (machine store
//   "ACP"); paths are turned into the UTF-8 names on disk, texts the library
//   returns (names, error texts) are written in that code page.
// - Every function but ORLAX_GetErrorText takes a LibraryContext first. A
//   failing call pushes one or more lines (text, source file, line, data) to
//   the error stack of its context, or to the library's stack for calls made
//   without a context (a failed ORLAX_InitializeEx / ORLAX_Initialize). The
//   caller drains that stack with ORLAX_GetErrorLineEx before its next work on
//   the context. A stack keeps at most its last 64 lines. Opening a context
//   also leaves a line there for each file of LOCAL it had to pass over.
// - Records the caller builds are zeroed before the listed fields are set.
//   Records and buffers the library fills belong to the library until they are
//   released with their own free call: DataBlob contents with ORLAX_FreeMem
//   (any context, or none), FindResult with ORLAX_FreeFindResult, MessageInfo
//   with ORLAX_CmsFreeMsgInf, VerifyResult with ORLAX_FreeVerifyResult,
//   DecryptResult with ORLAX_FreeDecryptResult, TspVerifyResult with
//   ORLAX_TspFreeVerifyResult. Each free call zeroes the record and may be
//   called on a zeroed record. Buffers passed in stay the caller's.
// - An output DataBlob or record is zeroed by the library on entry, so it is
//   empty after a failure unless the function says otherwise (the verification
//   calls fill their VerifyResult also when a signature fails).
// - File outputs are written completely or not at all: a failing call leaves
//   no partial output file behind (it removes what it created).
// - One context may be used by one thread at a time; different contexts may be
//   used by different threads at once.
//
// Memory streams (...InitMem, ...UpdateMem, ...FinalMem): a started stream
// ends with its Final, which releases it (also on a failure path; with
// *stream null Final does nothing and returns 0). The pieces that Update and
// Final give, in order, form the whole output. Attached signing and
// encryption hand out their output as the content comes (one piece held at a
// time); detached signing and detached verification digest their data as it
// comes; attached verification, and decryption with a cipher without MAC,
// hand out the content as it arrives; time stamping passes a stream-encoded
// message on up to the end of its content as it arrives and gives the
// stamped end with Final. The other stages (decryption with a MAC, which
// follows the content; message information; the stamp check; stamping a
// message of definite lengths) gather their input in an anonymous temporary
// file and work in Final:
// their Updates give empty pieces and Final gives the whole output (in
// memory); message information and the stamp check so keep only the
// message's signatures in memory. A decryption stream fails at Init or Update
// with ORLAX_E_NOT_RECIPIENT as soon as its recipients show that the key is
// not one of them.
//
// Test hook, only in a library built with QELM_TEST_HOOKS (the tests' build;
// never one to install): the environment variable QELM_TEST_FAIL, read on
// every call, of the form "ORLAX_Name=0xCODE[,ORLAX_Name2=0xCODE]", makes the
// named functions fail with that code at once and push one stack line ("Отказ
// по заданию теста", data: the function's name), so failure paths of the
// callers can be driven end to end. It covers every function but ORLAX_GetErrorText,
// ORLAX_GetErrorLineEx, ORLAX_Uninitialize and the free calls.
//
// Network time-outs: QELM_NET_TIMEOUT (seconds, default 30) bounds every HTTP
// exchange (time stamps, revocation lists); the connection phase is bounded by
// the smaller of it and 10 seconds.

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(QELM_BUILDING_LIBRARY)
#define ORLAX_API __attribute__((visibility("default")))
#else
#define ORLAX_API
#endif

// ---------------------------------------------------------------------------
// Result codes.

// Codes that the callers test by name.
#define ORLAX_E_CRL_TOLERATED 0xE0700001u       // ControlEx: some lists not loaded, the rest kept
#define ORLAX_E_NOT_SIGNED_MESSAGE 0xE070000Fu  // message information: no signed (CMS) message
#define ORLAX_E_CERT_NOT_FOUND 0xE0700046u      // FindCert: no certificate matches
#define ORLAX_E_NO_TIME_STAMP 0xE0700106u       // time-stamp verification: the signature has none
#define ORLAX_E_NO_MORE_PROFILES 0xE0D5001Au    // QueryRegistryProfileEx: no profile at that index

// The library's other failures.
#define ORLAX_E_INVALID_ARGUMENT 0xE0700002u    // null or inconsistent argument, bad record
#define ORLAX_E_NO_MEMORY 0xE0700003u           // memory could not be allocated
#define ORLAX_E_INVALID_CONTEXT 0xE0700004u     // null or unknown context
#define ORLAX_E_NO_MORE_ERRORS 0xE0700005u      // GetErrorLineEx: the error stack is empty
#define ORLAX_E_ENGINE 0xE0700006u              // the GOST engine cannot be loaded or used
#define ORLAX_E_FILE_OPEN 0xE0700010u           // an input file cannot be opened or read
#define ORLAX_E_FILE_CREATE 0xE0700011u         // an output file cannot be created
#define ORLAX_E_FILE_WRITE 0xE0700012u          // an output file cannot be written
#define ORLAX_E_FILE_TOO_LARGE 0xE0700013u      // a block-form input above 0x7FFFFFC7 bytes
#define ORLAX_E_PSE_NOT_FOUND 0xE0700020u       // the PSE folder, key.pem or cert.pem is missing
#define ORLAX_E_BAD_PASSWORD 0xE0700021u        // key.pem is encrypted and cannot be opened
#define ORLAX_E_BAD_KEY 0xE0700022u             // the key is unreadable or does not match cert.pem
#define ORLAX_E_LOCAL_NOT_FOUND 0xE0700023u     // the LOCAL folder is missing
#define ORLAX_E_PROFILE_NOT_FOUND 0xE0700024u   // Initialize: no directory profile of that name
#define ORLAX_E_BAD_MESSAGE 0xE0700030u         // the input is not a well-formed CMS message
#define ORLAX_E_NOT_ENVELOPED_MESSAGE 0xE0700031u  // decryption of a message that is not enveloped
#define ORLAX_E_WRONG_SIGNATURE_FORM 0xE0700032u   // attached where detached expected, or the reverse
#define ORLAX_E_SIGNATURE_INDEX 0xE0700033u     // no signature with that number in the message
#define ORLAX_E_SIGNATURE_INVALID 0xE0700040u   // a signature or the signed content does not verify
#define ORLAX_E_SIGNER_CERT_NOT_FOUND 0xE0700041u  // the signer's certificate is in neither message nor store
#define ORLAX_E_CERT_REVOKED 0xE0700042u        // a certificate of the chain is revoked
#define ORLAX_E_CERT_UNTRUSTED 0xE0700043u      // the chain does not end in a trusted root of LOCAL
#define ORLAX_E_CERT_EXPIRED 0xE0700044u        // a certificate of the chain is out of its validity
#define ORLAX_E_NO_RECIPIENTS 0xE0700050u       // encryption to no certificate
#define ORLAX_E_RECIPIENT_CERT 0xE0700051u      // a recipient's certificate cannot be used
#define ORLAX_E_NOT_RECIPIENT 0xE0700052u       // decryption: the context's key is not a recipient
#define ORLAX_E_DECRYPT_FAILED 0xE0700053u      // decryption failed (damaged content or wrong key)
#define ORLAX_E_UNKNOWN_CIPHER 0xE0700054u      // cipher flags name no supported content cipher
#define ORLAX_E_UNKNOWN_ALGORITHM 0xE0700055u   // StrHashFile: unsupported digest OID
#define ORLAX_E_NETWORK 0xE0700060u             // an HTTP exchange failed (connection, time-out, status)
#define ORLAX_E_TSP_RESPONSE 0xE0700061u        // the time-stamp server refused or answered badly
#define ORLAX_E_TSP_INVALID 0xE0700062u         // a time stamp does not verify
#define ORLAX_E_CRL_LOAD 0xE0700063u            // no revocation list could be loaded
#define ORLAX_E_BAD_URL 0xE0700064u             // an empty or unusable server address
#define ORLAX_E_UNSUPPORTED 0xE0700070u         // an operation or parameter this library does not offer
#define ORLAX_E_INTERNAL 0xE070007Fu            // an unexpected failure inside the library
#define ORLAX_E_REGISTRY 0xE0700080u            // the profile store cannot be read

// ---------------------------------------------------------------------------
// Handles and records. Sizes and offsets are those of the 64-bit build and are
// checked below.

typedef struct ORLAX_Context* LibraryContext;   // one opened context
typedef struct ORLAX_Stream* StreamContext;     // one memory stream, null before its Init

// A buffer: {length; bytes}. Buffers filled by the library are released with
// ORLAX_FreeMem(context, data) when length is above 0.
typedef struct DataBlob {
  uint32_t length;
  uint8_t* data;
} DataBlob;

// Flags of InitParams.flags and of ORLAX_Initialize. The service opens its
// contexts with 0x1 | 0x4 (plus 0x20, 0x400 by its settings), the
// configuration program with 0x80000040 (plus 0x20, 0x400, 0x4, 0x1). Only
// ORLAX_INIT_NOT_COPY_TO_LOCAL changes what the library does; the others are
// accepted: revocation lists are loaded whenever ORLAX_ControlEx is called
// (callers that must not load them do not call it), there is no network
// directory, and issuers are taken from LOCAL and the message.
#define ORLAX_INIT_NOT_LOAD_CRL 0x1u        // ORLAX_Initialize: "NotLoadCrl" (not used)
#define ORLAX_INIT_STANDARD 0x1u            // InitParams.flags: set by the service on every context
#define ORLAX_INIT_NOT_USE_LDAP 0x4u        // "NotUseLDAP" (not used)
#define ORLAX_INIT_NOT_COPY_TO_LOCAL 0x20u  // never copy signers' certificates into LOCAL
#define ORLAX_INIT_USE_AIA 0x400u           // "UseAIA" (not used)

// Input of ORLAX_InitializeEx: the directory profile as paths.
typedef struct InitParams {
  uint64_t size;          // 48
  uint32_t flags;         // ORLAX_INIT_...
  uint32_t reserved0;
  const char* pse;        // folder with key.pem (PKCS#8 PEM) and cert.pem
  const char* local;      // folder of certificates (*.pem, *.crt, *.cer) and CRLs (*.crl)
  const char* ldap;       // network directory address; not used, may be null
  uint64_t reserved1;     // 0
} InitParams;

// Key-usage byte of a CertRecord: bit n is bit n of the certificate's
// KeyUsage extension (RFC 5280 numbering), 0xFF when it has no such extension.
#define ORLAX_KU_DIGITAL_SIGNATURE 0x01u
#define ORLAX_KU_NON_REPUDIATION 0x02u
#define ORLAX_KU_KEY_ENCIPHERMENT 0x04u
#define ORLAX_KU_DATA_ENCIPHERMENT 0x08u
#define ORLAX_KU_KEY_AGREEMENT 0x10u
#define ORLAX_KU_ENCRYPTION_MASK 0x1Cu   // any of these: usable as a recipient

// One certificate as the library reports it. Every pointer stays valid until
// the record that holds it (FindResult, VerifyResult, TspVerifyResult) is
// released; a byte-for-byte copy of the record may be used until then.
typedef struct CertRecord {
  uint32_t flags;             // 0x1: the certificate is a CA certificate
  uint32_t reserved0;
  char* issuer;               // issuer DN, written like the owner DN
  char* serialNumber;         // upper-case hexadecimal, no separators
  char* owner;                // subject DN: most specific RDN first, "CN=.., O=.., C=.."
  const uint8_t* encoded;     // the certificate, DER
  uint32_t encodedLength;
  uint32_t reserved1;
  int64_t notBefore;          // seconds since 1970
  int64_t notAfter;           // seconds since 1970
  uint64_t reserved2;
  uint8_t keyUsage;           // ORLAX_KU_... bits
  uint8_t reserved3[0x148 - 0x49];
  uint32_t oidCount;          // extended key usage and policy OIDs
  uint32_t reserved4;
  char** oids;                // oidCount texts in dotted form
  uint8_t reserved5[0x188 - 0x158];
} CertRecord;

// Query flags.
#define ORLAX_FIND_NETWORK 0x4u     // also the network directory (none here: the local store only)
#define ORLAX_FIND_SIGNING 0x100u   // only certificates usable for signing
#define ORLAX_FIND_BY_NAME 0xE00u   // any of these: a search by name, whose subject may
                                    // also match one "NAME=value" part of the DN
#define ORLAX_SUBJECT_KIND_DN 4u    // subject holds an owner DN or a pattern

// Input of ORLAX_FindCert.
typedef struct CertQuery {
  uint32_t flags;             // ORLAX_FIND_...
  uint8_t reserved0[0x10 - 0x04];
  uint32_t subjectKind;       // 4: subject is given; 0: every certificate
  uint8_t reserved1[0x28 - 0x14];
  const char* subject;        // owner DN, compared without regard to letter case;
                              // with "*": a pattern over the DN or one of its
                              // "NAME=value" parts ("*=*" matches all); with
                              // ORLAX_FIND_BY_NAME also one part exactly
  uint8_t reserved2[0x198 - 0x30];
  uint32_t selectionMask;     // accepted, not used
  uint32_t reserved3;
} CertQuery;

// Output of ORLAX_FindCert; released with ORLAX_FreeFindResult.
typedef struct FindResult {
  uint32_t count;
  uint32_t reserved0;
  CertRecord* certs;          // count records, back to back
} FindResult;

// Content-cipher flags of EncryptParams.cipherFlags: exactly one of the five
// values below; any other value fails with ORLAX_E_UNKNOWN_CIPHER.
#define ORLAX_CIPHER_GOST89 0x0u                 // GOST 28147-89 CFB (1.2.643.2.2.21)
#define ORLAX_CIPHER_MAGMA 0x20000u              // magma-ctr-acpkm (1.2.643.7.1.1.5.1.1)
#define ORLAX_CIPHER_KUZNYECHIK 0x40000u         // kuznyechik-ctr-acpkm (1.2.643.7.1.1.5.2.1)
#define ORLAX_CIPHER_OMAC 0x80000u               // with OMAC: 0xA0000 Magma, 0xC0000 Kuznyechik
#define ORLAX_CIPHER_MASK 0xE0000u

typedef struct EncryptParams {
  uint32_t cipherFlags;       // ORLAX_CIPHER_...
  uint32_t reserved0;
  uint64_t reserved1;         // 0
  uint32_t certCount;         // recipients
  uint32_t reserved2;
  const CertRecord* certs;    // certCount records (as ORLAX_FindCert gives them)
} EncryptParams;

typedef struct DecryptParams {
  uint32_t flags;             // 0
  uint32_t reserved0;
  uint64_t reserved1;         // 0
  uint32_t mode;              // 0x8003 (accepted, not used)
  uint32_t reserved2;
} DecryptParams;

// Output of the decryption calls; released with ORLAX_FreeDecryptResult.
typedef struct DecryptResult {
  uint32_t flags;             // 1 when filled
  uint32_t reserved0;
  char* cipherOid;            // content-encryption OID
  CertRecord* recipient;      // the context's certificate that opened the message
  uint8_t reserved1[0x188 - 0x18];
} DecryptResult;

// Signing flags.
#define ORLAX_SIGN_ADD_CERT 0x8u    // put the signer's certificate into the message

typedef struct SignParams {
  uint32_t flags;             // ORLAX_SIGN_...
  uint32_t reserved0;
  uint64_t reserved1;         // 0
} SignParams;

typedef struct TspStampParams {
  uint32_t kind;              // 6 (accepted, not used)
  uint32_t reserved0;
  uint64_t reserved1;         // 0
  uint32_t signatureIndex;    // the signature to stamp, from 0
  uint32_t reserved2;
} TspStampParams;

// Message types and flags of MessageInfo.
#define ORLAX_MSG_SIGNED 1u
#define ORLAX_MSG_ENVELOPED 2u
#define ORLAX_MSG_STREAM 0x1u       // indefinite-length (BER) encoding
#define ORLAX_MSG_DETACHED 0x2u     // signed message without its content

// Output of the message-information calls; released with ORLAX_CmsFreeMsgInf.
typedef struct MessageInfo {
  uint32_t type;              // ORLAX_MSG_SIGNED or ORLAX_MSG_ENVELOPED
  uint32_t flags;             // ORLAX_MSG_STREAM, ORLAX_MSG_DETACHED
  uint32_t signatureCount;    // signed messages
  uint32_t recipientCount;    // enveloped messages
  char* contentType;          // OID of the (encapsulated) content type
  char* cipherOid;            // enveloped messages: content-encryption OID
  uint64_t contentLength;     // length of the content when known, else 0
  uint64_t reserved0;
} MessageInfo;

// Verification flags.
#define ORLAX_VERIFY_CONTENT 0x4u           // hand out the content (file or DataBlob)
#define ORLAX_VERIFY_NOT_COPY_TO_LOCAL 0x4000u  // do not copy signers' certificates into LOCAL

typedef struct VerifyParams {
  uint32_t flags;             // ORLAX_VERIFY_...
  uint8_t reserved0[0x40 - 0x04];
  uint32_t contentLimit;      // 0xFFFFFFFF with ORLAX_VERIFY_CONTENT (accepted, not used)
  uint32_t reserved1;
  uint32_t checks;            // 0x407 (accepted; every check is always made)
  uint8_t reserved2[0x50 - 0x4C];
} VerifyParams;

// One signature of a verified message.
typedef struct SignerEntry {
  uint32_t status;            // 0 verified, else the code of its failure
  uint32_t signingTime;       // seconds since 1970 from the signing-time attribute, 0 none
  CertRecord* cert;           // the signer's certificate, null when not found
} SignerEntry;

// Output of the verification calls; released with ORLAX_FreeVerifyResult.
typedef struct VerifyResult {
  uint32_t count;
  uint32_t reserved0;
  SignerEntry* signers;       // count entries in the message's order
} VerifyResult;

typedef struct TspVerifyParams {
  uint32_t flags;             // 0
  uint32_t reserved0;
  uint64_t reserved1;         // 0
  uint32_t signatureIndex;    // from 0
  uint32_t mode;              // 3 (accepted, not used)
} TspVerifyParams;

// Output of the time-stamp verification; released with ORLAX_TspFreeVerifyResult.
typedef struct TspVerifyResult {
  uint32_t stampTime;         // seconds since 1970, 0 none
  uint32_t reserved0;
  CertRecord* tsaCert;        // the time-stamp server's certificate, or null
} TspVerifyResult;

// Operations of ORLAX_ControlEx.
#define ORLAX_CONTROL_LOAD_CRL 4u

// ---------------------------------------------------------------------------
// Contexts.

// Opens a context on a directory profile given as paths. version must be 1.
// Reads LOCAL (certificates and CRLs; unreadable files are skipped with a
// stack line) and the PSE (key.pem, cert.pem). A CRL of LOCAL counts only
// when its signature verifies against its issuer's certificate there and it
// is no delta list; others are passed over with a stack line, and a CA whose
// only lists failed that check fails the revocation check of its
// certificates. Codes: INVALID_ARGUMENT,
// PSE_NOT_FOUND, BAD_PASSWORD (an encrypted key), BAD_KEY, LOCAL_NOT_FOUND,
// ENGINE. On failure *context is null and the lines go to the library's stack.
ORLAX_API uint32_t ORLAX_InitializeEx(uint32_t version, const InitParams* params, LibraryContext* context);

// Opens a context on the directory profile of that name in the library's own
// store, the user hive key HKCU\SOFTWARE\TORVAK\qelm\Profiles\<name> (values
// "PSE", "LOCAL", "LDAP", REG_SZ). Flags as InitParams.flags (0x80000040 and
// other bits are accepted). PROFILE_NOT_FOUND when the key is missing; then
// as ORLAX_InitializeEx.
ORLAX_API uint32_t ORLAX_Initialize(const char* profileName, uint32_t flags, LibraryContext* context);

// A context without key or certificates, good only for
// ORLAX_QueryRegistryProfileEx and the error stack.
ORLAX_API uint32_t ORLAX_InitMinimal(LibraryContext* context);

// Releases a context and everything it holds. Records and buffers already
// handed out stay valid until their own free call.
ORLAX_API uint32_t ORLAX_Uninitialize(LibraryContext context);

// The index-th directory profile of the library's store, in the order of the
// subkey names: four library-owned NUL-ended texts (length counts the NUL),
// each released with ORLAX_FreeMem. NO_MORE_PROFILES past the last (also when
// the store key does not exist); REGISTRY when the store cannot be read.
ORLAX_API uint32_t ORLAX_QueryRegistryProfileEx(LibraryContext context, DataBlob* name, DataBlob* pse,
                                                DataBlob* local, DataBlob* ldap, uint32_t index);

// ---------------------------------------------------------------------------
// Errors and memory.

// Writes the Russian description of code (ending with ".") into buffer as
// NUL-ended 8-bit text, cut to size - 1 bytes, and returns buffer; returns
// null (buffer untouched) for a code the library does not know, or for a null
// buffer or a size of 0. Code 0 has a text ("Успешное выполнение.").
ORLAX_API const char* ORLAX_GetErrorText(uint32_t code, char* buffer, uint32_t size);

// Takes the oldest line of the error stack of context (null: the library's
// stack for calls without a context): its text, source file and data as
// library-owned NUL-ended texts (each released with ORLAX_FreeMem) and its
// line number. NO_MORE_ERRORS when the stack is empty (outputs zeroed).
ORLAX_API uint32_t ORLAX_GetErrorLineEx(LibraryContext context, DataBlob* text, DataBlob* file, uint32_t* line,
                                        DataBlob* data);

// Releases a buffer the library returned in a DataBlob; context may be any
// context or null. A null pointer is ignored.
ORLAX_API uint32_t ORLAX_FreeMem(LibraryContext context, void* data);

// ---------------------------------------------------------------------------
// Certificates and revocation lists.

// Searches the certificates of PSE and LOCAL (end-entity certificates; a CA
// certificate only when the subject names it exactly). With ORLAX_FIND_SIGNING
// only those whose key usage and extended key usage allow signing documents.
// Without it the search is for recipients: only certificates valid now,
// chaining to a root of LOCAL, not revoked, and allowing encipherment or key
// agreement when they carry a key usage; when none is left, a stack line per
// passed-over certificate says why. 0 with at least one record,
// CERT_NOT_FOUND with an empty result. Release with ORLAX_FreeFindResult.
ORLAX_API uint32_t ORLAX_FindCert(LibraryContext context, const CertQuery* query, FindResult* result);
ORLAX_API uint32_t ORLAX_FreeFindResult(LibraryContext context, FindResult* result);

// Operation 4 (ORLAX_CONTROL_LOAD_CRL): loads the revocation lists named by the
// HTTP distribution points of the certificates of PSE and LOCAL, keeps them in
// the context and stores each in LOCAL as "cdp-<hash>.crl" (one file per point
// and issuer). Of two lists of one issuer the newer is kept (CRL number, then
// time of issue), expired or not; a point that answers with an older list
// than the one held, a delta list or one whose signature does not verify
// against its issuer fails. 0 when all loaded, or the same as held
// (or there is nothing to load);
// CRL_TOLERATED when some failed and others loaded; CRL_LOAD when all failed.
// On any failure a NUL-ended Russian text naming the failed points is left in
// message (when given, with its length as the room). Other operations:
// UNSUPPORTED.
ORLAX_API uint32_t ORLAX_ControlEx(LibraryContext context, uint32_t reserved0, uint32_t operation,
                                   const void* input, DataBlob* message, uint32_t reserved1);

// Digest of a file. algorithmOid: "1.2.643.7.1.1.2.2" (GOST R 34.11-2012,
// 256 bits) or "1.2.643.7.1.1.2.3" (512 bits). *digest: the raw digest bytes.
ORLAX_API uint32_t ORLAX_StrHashFile(LibraryContext context, const char* algorithmOid, const char* path,
                                     DataBlob* digest);

// ---------------------------------------------------------------------------
// Message information. Any input that is not a CMS signed or enveloped
// message (not CMS at all, or another content type) gives NOT_SIGNED_MESSAGE.
// flags argument: 0. Release with ORLAX_CmsFreeMsgInf (also after a failure).

ORLAX_API uint32_t ORLAX_CmsBlkMsgInfFile(LibraryContext context, const char* path, MessageInfo* info,
                                          uint32_t flags);
ORLAX_API uint32_t ORLAX_CmsStrMsgInfFile(LibraryContext context, const char* path, MessageInfo* info,
                                          uint32_t flags);
ORLAX_API uint32_t ORLAX_CmsBlkMsgInfMem(LibraryContext context, const DataBlob* input, MessageInfo* info,
                                         uint32_t flags);
ORLAX_API uint32_t ORLAX_CmsStrMsgInfInitMem(LibraryContext context, const DataBlob* first, StreamContext* stream,
                                             uint32_t flags);
ORLAX_API uint32_t ORLAX_CmsStrMsgInfUpdateMem(LibraryContext context, StreamContext* stream,
                                               const DataBlob* input);
ORLAX_API uint32_t ORLAX_CmsStrMsgInfFinalMem(LibraryContext context, StreamContext* stream, MessageInfo* info);
ORLAX_API uint32_t ORLAX_CmsFreeMsgInf(LibraryContext context, MessageInfo* info);

// ---------------------------------------------------------------------------
// Signing with the context's key (GOST R 34.10-2012 256, digest GOST R
// 34.11-2012 256; signed attributes: content type, digest, signing time).
// Blk forms write DER, Str forms BER with indefinite lengths. The context's
// certificate is first checked as verification would check it: a revoked
// one, one out of its validity, or one that does not chain to a root of
// LOCAL or may not sign documents fails (CERT_REVOKED, CERT_EXPIRED,
// CERT_UNTRUSTED) before any output.

// Attached signature of the input file. When the input already is an attached
// signed message, one more signature is added to it (the content stays).
ORLAX_API uint32_t ORLAX_CmsBlkAttSignFile(LibraryContext context, const SignParams* params, const char* input,
                                           const char* output);
ORLAX_API uint32_t ORLAX_CmsStrAttSignFile(LibraryContext context, const SignParams* params, const char* input,
                                           const char* output);
// Detached signature of the data file; with existingSignature (a detached
// signed message of the same data) the output holds its signatures and the
// new one. existingSignature may be null or "".
ORLAX_API uint32_t ORLAX_CmsBlkDetSignFile(LibraryContext context, const SignParams* params, const char* data,
                                           const char* existingSignature, const char* output);
ORLAX_API uint32_t ORLAX_CmsStrDetSignFile(LibraryContext context, const SignParams* params, const char* data,
                                           const char* existingSignature, const char* output);
// The same in memory: an attached signed message (DER or BER) gets one more
// signature (written DER), a detached one is refused with
// WRONG_SIGNATURE_FORM, anything else is signed as data.
ORLAX_API uint32_t ORLAX_CmsBlkAttSignMem(LibraryContext context, const SignParams* params, const DataBlob* content,
                                          DataBlob* output);
// existing: an empty blob (length 0) for a new detached signature.
ORLAX_API uint32_t ORLAX_CmsBlkDetSignMem(LibraryContext context, const SignParams* params, const DataBlob* content,
                                          const DataBlob* existing, DataBlob* output);

// Memory streams of signing (see the rules of memory streams at the top).
// Attached: Init takes the first piece of content. An input that turns out to
// be an attached signed message gets one more signature, as in the file
// forms: a stream-encoded one whose digest algorithms include ours passes on
// unchanged up to the end of its content as it arrives, and Final gives its
// new end (certificates and signatures); one of definite lengths is gathered
// and given whole by Final (stream-encoded). Final refuses a detached one
// (WRONG_SIGNATURE_FORM) and a stream-encoded one found damaged after its
// start was passed on (BAD_MESSAGE); an input that only began like a signed
// message is otherwise signed as data. Detached: Init takes the
// detached signature to add to (an empty blob for a new one).
ORLAX_API uint32_t ORLAX_CmsStrAttSignInitMem(LibraryContext context, const SignParams* params,
                                              const DataBlob* first, StreamContext* stream);
ORLAX_API uint32_t ORLAX_CmsStrAttSignUpdateMem(LibraryContext context, const SignParams* params,
                                                StreamContext* stream, const DataBlob* input, DataBlob* output);
ORLAX_API uint32_t ORLAX_CmsStrAttSignFinalMem(LibraryContext context, const SignParams* params,
                                               StreamContext* stream, DataBlob* output);
ORLAX_API uint32_t ORLAX_CmsStrDetSignInitMem(LibraryContext context, const SignParams* params,
                                              const DataBlob* existing, StreamContext* stream);
ORLAX_API uint32_t ORLAX_CmsStrDetSignUpdateMem(LibraryContext context, const SignParams* params,
                                                StreamContext* stream, const DataBlob* input);
ORLAX_API uint32_t ORLAX_CmsStrDetSignFinalMem(LibraryContext context, const SignParams* params,
                                               StreamContext* stream, DataBlob* output);

// ---------------------------------------------------------------------------
// Verification. Every signature is checked: its signed attributes and content
// digest, the signer's certificate (its key usage must allow digitalSignature
// or nonRepudiation, and a critical extended key usage must not keep it to
// time stamps: CERT_UNTRUSTED otherwise), its chain up to a self-signed root
// of LOCAL, validity, and revocation against the CRLs of LOCAL and those
// loaded by ControlEx (a missing CRL is no failure). *result is filled with one entry
// per signature also when some fail; the call returns 0 when all verified,
// else the status of the first failing one (SIGNATURE_INVALID,
// SIGNER_CERT_NOT_FOUND, CERT_REVOKED, CERT_UNTRUSTED, CERT_EXPIRED), or
// BAD_MESSAGE / NOT_SIGNED_MESSAGE / WRONG_SIGNATURE_FORM with no entries.
// Release with ORLAX_FreeVerifyResult whatever the code.
// A verified signer's certificate that came in the message and is not yet in
// LOCAL is stored there as "signer-<hash>.cer", unless VerifyParams has
// ORLAX_VERIFY_NOT_COPY_TO_LOCAL or the context ORLAX_INIT_NOT_COPY_TO_LOCAL.
// Stream forms read the content of a message file in pieces (little memory
// for any size); the block and memory forms hold the message in memory.

// contentOutput: null for none; else the content is written there, and kept
// only when every signature verified.
ORLAX_API uint32_t ORLAX_CmsStrAttVerifyFile(LibraryContext context, const VerifyParams* params, const char* input,
                                             const char* contentOutput, VerifyResult* result);
// reserved: null.
ORLAX_API uint32_t ORLAX_CmsBlkDetVerifyFile(LibraryContext context, const VerifyParams* params, const char* data,
                                             const char* signature, const char* reserved, VerifyResult* result);
ORLAX_API uint32_t ORLAX_CmsStrDetVerifyFile(LibraryContext context, const VerifyParams* params, const char* data,
                                             const char* signature, const char* reserved, VerifyResult* result);
// content: filled with the content when params asks for it (ORLAX_VERIFY_CONTENT).
ORLAX_API uint32_t ORLAX_CmsBlkAttVerifyMem(LibraryContext context, const VerifyParams* params, const DataBlob* input,
                                            DataBlob* content, VerifyResult* result);

// Memory streams of verification. Attached: the message arrives in pieces;
// the content (when asked for) is handed out by Update as it arrives and the
// rest by Final, whose code alone tells whether the signatures hold. Detached:
// Init takes the whole detached signature, Update the data pieces, no
// content output.
ORLAX_API uint32_t ORLAX_CmsStrAttVerifyInitMem(LibraryContext context, const VerifyParams* params,
                                                const DataBlob* first, StreamContext* stream);
ORLAX_API uint32_t ORLAX_CmsStrAttVerifyUpdateMem(LibraryContext context, const VerifyParams* params,
                                                  StreamContext* stream, const DataBlob* input, DataBlob* content);
ORLAX_API uint32_t ORLAX_CmsStrAttVerifyFinalMem(LibraryContext context, const VerifyParams* params,
                                                 StreamContext* stream, DataBlob* content, VerifyResult* result);
ORLAX_API uint32_t ORLAX_CmsStrDetVerifyInitMem(LibraryContext context, const VerifyParams* params,
                                                const DataBlob* signature, StreamContext* stream);
ORLAX_API uint32_t ORLAX_CmsStrDetVerifyUpdateMem(LibraryContext context, const VerifyParams* params,
                                                  StreamContext* stream, const DataBlob* data);
ORLAX_API uint32_t ORLAX_CmsStrDetVerifyFinalMem(LibraryContext context, const VerifyParams* params,
                                                 StreamContext* stream, DataBlob* content, VerifyResult* result);

ORLAX_API uint32_t ORLAX_FreeVerifyResult(LibraryContext context, VerifyResult* result);

// ---------------------------------------------------------------------------
// Removal of signatures: splits an attached signed message into its content
// (contentOutput) and a detached signed message with all its signatures
// (signaturesOutput, may be null). flags: 0.
ORLAX_API uint32_t ORLAX_CmsBlkSignDetachFile(LibraryContext context, const char* input, const char* contentOutput,
                                              const char* signaturesOutput, uint32_t flags);
ORLAX_API uint32_t ORLAX_CmsStrSignDetachFile(LibraryContext context, const char* input, const char* contentOutput,
                                              const char* signaturesOutput, uint32_t flags);

// ---------------------------------------------------------------------------
// Encryption to certificates (key transport with the recipients' GOST keys,
// content cipher by EncryptParams.cipherFlags). NO_RECIPIENTS for a count of
// 0, RECIPIENT_CERT for a record whose certificate cannot be used.
ORLAX_API uint32_t ORLAX_CmsBlkEncryptFile(LibraryContext context, const EncryptParams* params, const char* input,
                                           const char* output);
ORLAX_API uint32_t ORLAX_CmsStrEncryptFile(LibraryContext context, const EncryptParams* params, const char* input,
                                           const char* output);
ORLAX_API uint32_t ORLAX_CmsBlkEncryptMem(LibraryContext context, const EncryptParams* params, const DataBlob* input,
                                          DataBlob* output);
ORLAX_API uint32_t ORLAX_CmsStrEncryptInitMem(LibraryContext context, const EncryptParams* params,
                                              const DataBlob* first, StreamContext* stream);
ORLAX_API uint32_t ORLAX_CmsStrEncryptUpdateMem(LibraryContext context, const EncryptParams* params,
                                                StreamContext* stream, const DataBlob* input, DataBlob* output);
ORLAX_API uint32_t ORLAX_CmsStrEncryptFinalMem(LibraryContext context, const EncryptParams* params,
                                               StreamContext* stream, DataBlob* output);

// Decryption with the context's key. NOT_ENVELOPED_MESSAGE, NOT_RECIPIENT,
// DECRYPT_FAILED (also when an OMAC does not match). result (may be null) is
// filled on success; release it with ORLAX_FreeDecryptResult whatever the code.
ORLAX_API uint32_t ORLAX_CmsBlkDecryptFile(LibraryContext context, const DecryptParams* params, const char* input,
                                           const char* output, DecryptResult* result);
ORLAX_API uint32_t ORLAX_CmsStrDecryptFile(LibraryContext context, const DecryptParams* params, const char* input,
                                           const char* output, DecryptResult* result);
ORLAX_API uint32_t ORLAX_CmsBlkDecryptMem(LibraryContext context, const DecryptParams* params, const DataBlob* input,
                                          DataBlob* output, DecryptResult* result);
// The same as ORLAX_CmsBlkDecryptMem.
ORLAX_API uint32_t ORLAX_DecryptMem(LibraryContext context, const DecryptParams* params, const DataBlob* input,
                                    DataBlob* output, DecryptResult* result);
ORLAX_API uint32_t ORLAX_CmsStrDecryptInitMem(LibraryContext context, const DecryptParams* params,
                                              const DataBlob* first, StreamContext* stream);
ORLAX_API uint32_t ORLAX_CmsStrDecryptUpdateMem(LibraryContext context, const DecryptParams* params,
                                                StreamContext* stream, const DataBlob* input, DataBlob* output);
ORLAX_API uint32_t ORLAX_CmsStrDecryptFinalMem(LibraryContext context, const DecryptParams* params,
                                               StreamContext* stream, DataBlob* output, DecryptResult* result);
ORLAX_API uint32_t ORLAX_FreeDecryptResult(LibraryContext context, DecryptResult* result);

// ---------------------------------------------------------------------------
// Time stamps (RFC 3161 over HTTP). The server address comes from the caller
// (the directory profile's "ServerTSP" setting); the request is POSTed to it
// as given. The stamp of the chosen signature's value goes into that
// signature's unsigned attribute id-smime-aa-timeStampToken (replacing an
// earlier one) only when it verifies as ORLAX_Tsp*Verify* would check it:
// TSP_INVALID otherwise. SIGNATURE_INDEX, BAD_URL, NETWORK, TSP_RESPONSE.
ORLAX_API uint32_t ORLAX_TspBlkUrlStampCmsFile(LibraryContext context, const TspStampParams* params, const char* url,
                                               const char* input, const char* output);
ORLAX_API uint32_t ORLAX_TspStrUrlStampCmsFile(LibraryContext context, const TspStampParams* params, const char* url,
                                               const char* input, const char* output);
ORLAX_API uint32_t ORLAX_TspBlkUrlStampCmsMem(LibraryContext context, const TspStampParams* params, const char* url,
                                              const DataBlob* input, DataBlob* output);
ORLAX_API uint32_t ORLAX_TspStrUrlStampCmsInitMem(LibraryContext context, const TspStampParams* params,
                                                  const char* url, const DataBlob* first, StreamContext* stream);
ORLAX_API uint32_t ORLAX_TspStrUrlStampCmsUpdateMem(LibraryContext context, const TspStampParams* params,
                                                    const char* url, StreamContext* stream, const DataBlob* input,
                                                    DataBlob* output);
ORLAX_API uint32_t ORLAX_TspStrUrlStampCmsFinalMem(LibraryContext context, const TspStampParams* params,
                                                   const char* url, StreamContext* stream, DataBlob* output);

// Verification of the stamp of one signature: the token's signature, its
// imprint (the GOST R 34.11-2012 256-bit digest of the signature value, the
// algorithm and the bytes) and the server's chain to a root of LOCAL, valid
// now and at the stamp's time.
// NO_TIME_STAMP when the signature has none; TSP_INVALID; SIGNATURE_INDEX.
// result: stamp time and server certificate (also filled, when readable, on
// TSP_INVALID). Release with ORLAX_TspFreeVerifyResult whatever the code.
ORLAX_API uint32_t ORLAX_TspBlkVerifyCmsFile(LibraryContext context, const TspVerifyParams* params, const char* path,
                                             TspVerifyResult* result);
ORLAX_API uint32_t ORLAX_TspStrVerifyCmsFile(LibraryContext context, const TspVerifyParams* params, const char* path,
                                             TspVerifyResult* result);
ORLAX_API uint32_t ORLAX_TspBlkVerifyCmsMem(LibraryContext context, const TspVerifyParams* params,
                                            const DataBlob* input, TspVerifyResult* result);
ORLAX_API uint32_t ORLAX_TspStrVerifyCmsInitMem(LibraryContext context, const TspVerifyParams* params,
                                                const DataBlob* first, StreamContext* stream);
ORLAX_API uint32_t ORLAX_TspStrVerifyCmsUpdateMem(LibraryContext context, const TspVerifyParams* params,
                                                  StreamContext* stream, const DataBlob* input);
ORLAX_API uint32_t ORLAX_TspStrVerifyCmsFinalMem(LibraryContext context, const TspVerifyParams* params,
                                                 StreamContext* stream, TspVerifyResult* result);
ORLAX_API uint32_t ORLAX_TspFreeVerifyResult(LibraryContext context, TspVerifyResult* result);

#ifdef __cplusplus
}  // extern "C"
#endif

// ---------------------------------------------------------------------------
// The layouts the callers rely on.
#ifdef __cplusplus
#include <cstddef>
static_assert(sizeof(void*) == 8, "the library's records are those of the 64-bit build");
static_assert(sizeof(DataBlob) == 16 && offsetof(DataBlob, data) == 8);
static_assert(sizeof(InitParams) == 48 && offsetof(InitParams, flags) == 8 && offsetof(InitParams, pse) == 0x10 &&
              offsetof(InitParams, local) == 0x18 && offsetof(InitParams, ldap) == 0x20 &&
              offsetof(InitParams, reserved1) == 0x28);
static_assert(sizeof(CertQuery) == 416 && offsetof(CertQuery, subjectKind) == 0x10 &&
              offsetof(CertQuery, subject) == 0x28 && offsetof(CertQuery, selectionMask) == 0x198);
static_assert(sizeof(FindResult) == 16 && offsetof(FindResult, certs) == 8);
static_assert(sizeof(CertRecord) == 392 && offsetof(CertRecord, issuer) == 8 &&
              offsetof(CertRecord, serialNumber) == 0x10 && offsetof(CertRecord, owner) == 0x18 &&
              offsetof(CertRecord, keyUsage) == 0x48 && offsetof(CertRecord, oidCount) == 0x148 &&
              offsetof(CertRecord, oids) == 0x150);
static_assert(sizeof(EncryptParams) == 32 && offsetof(EncryptParams, reserved1) == 8 &&
              offsetof(EncryptParams, certCount) == 0x10 && offsetof(EncryptParams, certs) == 0x18);
static_assert(sizeof(DecryptParams) == 24 && offsetof(DecryptParams, mode) == 0x10);
static_assert(sizeof(DecryptResult) == 392);
static_assert(sizeof(SignParams) == 16 && offsetof(SignParams, reserved1) == 8);
static_assert(sizeof(TspStampParams) == 24 && offsetof(TspStampParams, signatureIndex) == 0x10);
static_assert(sizeof(MessageInfo) == 48 && offsetof(MessageInfo, flags) == 4 &&
              offsetof(MessageInfo, signatureCount) == 8 && offsetof(MessageInfo, cipherOid) == 0x18);
static_assert(sizeof(VerifyParams) == 80 && offsetof(VerifyParams, contentLimit) == 0x40 &&
              offsetof(VerifyParams, checks) == 0x48);
static_assert(sizeof(VerifyResult) == 16 && offsetof(VerifyResult, signers) == 8);
static_assert(sizeof(SignerEntry) == 16 && offsetof(SignerEntry, signingTime) == 4 &&
              offsetof(SignerEntry, cert) == 8);
static_assert(sizeof(TspVerifyParams) == 24 && offsetof(TspVerifyParams, signatureIndex) == 0x10 &&
              offsetof(TspVerifyParams, mode) == 0x14);
static_assert(sizeof(TspVerifyResult) == 16 && offsetof(TspVerifyResult, tsaCert) == 8);
#endif
