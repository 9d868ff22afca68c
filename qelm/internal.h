#pragma once
// Shared pieces of the library's implementation: OpenSSL handles with their
// deleters, the context, the error stack and the guard every exported
// function runs its body in. Nothing here is exported.

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/qelm_api.h"

namespace qelm {

// ---------------------------------------------------------------------------
// OpenSSL objects owned by unique_ptr.
template <auto Fn>
struct Deleter {
  template <typename T>
  void operator()(T* p) const {
    if (p != nullptr) Fn(p);
  }
};
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using X509CrlPtr = std::unique_ptr<X509_CRL, Deleter<X509_CRL_free>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo_free>>;
using StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE_free>>;
using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
inline void FreeX509Stack(STACK_OF(X509) * s) { sk_X509_pop_free(s, X509_free); }
using X509StackPtr = std::unique_ptr<STACK_OF(X509), Deleter<FreeX509Stack>>;
inline void FreeCrlStack(STACK_OF(X509_CRL) * s) { sk_X509_CRL_pop_free(s, X509_CRL_free); }
using CrlStackPtr = std::unique_ptr<STACK_OF(X509_CRL), Deleter<FreeCrlStack>>;

// The GOST engine, loaded once and made the default for its algorithms.
// Null when it cannot be loaded.
ENGINE* GostEngine();
const EVP_MD* GostDigest256();

// ---------------------------------------------------------------------------
// Error stack lines.
struct ErrorLine {
  std::string text;
  std::string file;
  uint32_t line = 0;
  std::string data;
};

class ErrorStack {
 public:
  void Push(ErrorLine line);
  bool Pop(ErrorLine* line);

 private:
  std::mutex mutex_;
  std::vector<ErrorLine> lines_;
};

// The stack of calls made without a context.
ErrorStack& GlobalErrorStack();

// ---------------------------------------------------------------------------
// A certificate of the context's store.
struct StoredCert {
  X509Ptr cert;
  std::string origin;   // the file it came from
};

struct Context {
  uint32_t flags = 0;
  bool minimal = false;
  std::string psePath;     // on-disk form
  std::string localPath;   // on-disk form
  PkeyPtr key;
  X509Ptr cert;
  std::vector<StoredCert> certs;   // PSE's own certificate first, then LOCAL
  std::vector<X509CrlPtr> crls;    // LOCAL's and those loaded by ControlEx, each verified
  // Lists of LOCAL whose signature did not verify against their issuer: never
  // in the ordering, but a CA with one of these and no verified list fails
  // the revocation check of its certificates instead of passing as listless.
  std::vector<X509CrlPtr> unverifiedCrls;
  ErrorStack errors;
};

// Validates a handle given by a caller: the context, or null when unknown.
Context* LookupContext(LibraryContext handle);
void RegisterContext(Context* context);
void UnregisterContext(Context* context);

// Pushes one line with the library's text of code and returns code. The data
// gets the OpenSSL error queue appended (and the queue is emptied).
// The source file and line are those of the caller.
uint32_t Fail(Context* context, uint32_t code, std::string_view data = {}, const char* file = __builtin_FILE(),
              unsigned line = __builtin_LINE());
// Pushes a line with its own text (for skipped files and similar notes).
void Note(Context* context, std::string_view text, std::string_view data, const char* file = __builtin_FILE(),
          unsigned line = __builtin_LINE());

// Russian description of a library code (UTF-8), or null.
const char* CodeText(uint32_t code);

// Runs the body of an exported function: the test hook, exceptions turned
// into codes, the OpenSSL error queue cleared around it.
template <typename Fn>
uint32_t Guard(const char* name, Context* context, Fn&& body);
#if defined(QELM_TEST_HOOKS)
uint32_t TestHookCode(const char* name);
#else
// A build to be installed has no test hook.
inline uint32_t TestHookCode(const char*) { return 0; }
#endif
uint32_t GuardException(Context* context, const char* name);

// Runs body with the context looked up; INVALID_CONTEXT otherwise.
template <typename Fn>
uint32_t WithContext(const char* name, LibraryContext handle, Fn&& body) {
  Context* context = LookupContext(handle);
  return Guard(name, context, [&]() -> uint32_t {
    if (context == nullptr) return Fail(nullptr, ORLAX_E_INVALID_CONTEXT, name);
    return body(*context);
  });
}

// ---------------------------------------------------------------------------
// Text and paths.
std::string DiskPath(const char* ansiPath);     // ANSI code page -> bytes on disk
std::string ToAnsi(std::string_view utf8);      // UTF-8 -> ANSI code page
std::string FromAnsi(std::string_view ansi);    // ANSI code page -> UTF-8
std::string OpenSslErrors();                    // the queue as text, emptied

// Library-owned buffers handed out in DataBlobs (malloc'ed, freed by
// ORLAX_FreeMem). Throws std::bad_alloc.
void SetBlob(DataBlob* blob, const void* data, size_t length);
void SetBlobText(DataBlob* blob, std::string_view text);   // NUL-ended
char* DupText(std::string_view text);                       // malloc'ed copy
bool BlobToBio(const DataBlob* blob, BioPtr* bio);          // read-only memory BIO
uint32_t BioToBlob(Context* context, BIO* mem, DataBlob* blob);

// ---------------------------------------------------------------------------
// Certificates.
std::string OwnerDn(const X509_NAME* name);   // "CN=.., O=.., C=.." in UTF-8
// Fills a record (texts in the ANSI code page); free with FreeCertRecordFields.
void FillCertRecord(X509* cert, CertRecord* record);
void FreeCertRecordFields(CertRecord* record);
CertRecord* NewCertRecord(X509* cert);     // malloc'ed, filled
void FreeCertRecord(CertRecord* record);   // fields and the record

// Reads one certificate, CRL or key file (PEM or DER).
X509Ptr ReadCertFile(const std::string& path);
X509CrlPtr ReadCrlFile(const std::string& path);

// The library's current time: the layer's wall clock, which tests drive.
time_t Now();

// Revocation lists. A delta list (Delta CRL Indicator) only holds changes
// since its base: it never enters the ordering, where it would stand for a
// full list and lift the base's revocations.
bool IsDeltaCrl(X509_CRL* crl);
// The list verifies against a certificate of the context's store whose name
// is the list's issuer and whose key may sign lists.
bool VerifiesAgainstIssuer(const Context& context, X509_CRL* crl);
// Lists of one issuer are ordered by CRL number, then by
// time of issue (<0, 0, >0 as a is older, the same, newer than b).
bool SameIssuer(X509_CRL* a, X509_CRL* b);
int CompareCrls(X509_CRL* a, X509_CRL* b);
// Keeps only the newest list of each issuer: crl replaces the lists of its
// issuer when it is newer than all of them, else it is dropped. Returns
// whether it was kept.
bool KeepNewestCrl(std::vector<X509CrlPtr>& crls, X509CrlPtr crl);

// The store for chain checks: self-signed certificates of LOCAL as roots;
// untrusted: the rest of the context's certificates. Without a moment the
// chain is checked now with the context's CRLs; with one (a time stamp's
// time) it is checked at that moment for validity alone.
StorePtr MakeTrustStore(const Context& context, const time_t* at = nullptr);
X509StackPtr UntrustedCerts(const Context& context, STACK_OF(X509) * extra);
// Checks the chain of cert now; 0 or the code of the failure.
uint32_t CheckChain(Context& context, X509* cert, STACK_OF(X509) * extra, std::string* detail,
                    STACK_OF(X509) * *chainOut = nullptr);
// Checks that every certificate of the chain of cert is valid at `at`.
uint32_t CheckChainAt(Context& context, X509* cert, STACK_OF(X509) * extra, time_t at, std::string* detail);
// Why the certificate may not sign documents (its key usage, or a critical
// extended key usage that keeps it to time stamps), or null when it may.
const char* DocumentSignerFault(X509* cert);
// The context's own certificate checked as a verifier would check it, before
// anything is signed: the key is there, may sign documents, and its chain
// holds now and is not revoked. 0, PSE_NOT_FOUND, CERT_REVOKED, CERT_EXPIRED or CERT_UNTRUSTED.
uint32_t CheckSigningCert(Context& context);

// ---------------------------------------------------------------------------
// Files written completely or not at all.
class OutputFile {
 public:
  explicit OutputFile(std::string path) : path_(std::move(path)) {}
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // Creates the file; null on failure.
  BIO* Open();
  // Flushes and closes; false when the data did not reach the file.
  bool Commit();
  // Commit in two steps, for outputs kept only together: Flush closes the
  // file (still removed by the destructor), Keep makes it stay.
  bool Flush();
  void Keep() { committed_ = true; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  BIO* bio_ = nullptr;
  bool opened_ = false;
  bool committed_ = false;
};

// Opens an input file (a regular file) for reading as the service's file
// layer sees it (platform::OpenInputFileStream): through the folders it
// holds, and only the claimed file under a claimed name; null when it cannot
// be opened.
std::FILE* OpenInputStream(const std::string& path);
BioPtr OpenInput(const std::string& path);
// Reads a whole file into memory for the block forms.
uint32_t ReadWholeFile(Context* context, const std::string& path, std::string* bytes);
// The size of a file as OpenInputStream opens it, -1 when it cannot be read.
int64_t FileSize(const std::string& path);

// ---------------------------------------------------------------------------
// Template definitions.
template <typename Fn>
uint32_t Guard(const char* name, Context* context, Fn&& body) {
  ERR_clear_error();
  if (uint32_t hooked = TestHookCode(name); hooked != 0) {
    Note(context, "Отказ по заданию теста", name);
    return hooked;
  }
  try {
    uint32_t code = body();
    ERR_clear_error();
    return code;
  } catch (...) {
    return GuardException(context, name);
  }
}

}  // namespace qelm
