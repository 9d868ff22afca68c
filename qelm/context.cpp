// Contexts: a directory profile's key, certificates and revocation lists; the
// library's own profile store; files read and written by the other parts.

#include <openssl/crypto.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/secret_file.h"
#include "platform/utf16.h"
#include "qelm/internal.h"

namespace fs = std::filesystem;

namespace qelm {
namespace {

constexpr wchar_t kProfilesKey[] = L"SOFTWARE\\TORVAK\\qelm\\Profiles";
constexpr uint64_t kMaxBlockFile = 0x7FFFFFC7u;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// The password of an encrypted key, when one is known.
struct KeyPassword {
  bool known = false;
  std::string text;
  ~KeyPassword() { OPENSSL_cleanse(text.data(), text.size()); }
};

int PasswordCallback(char* buffer, int size, int /*rwflag*/, void* user) {
  const auto* password = static_cast<const KeyPassword*>(user);
  if (!password->known || password->text.size() > static_cast<size_t>(size)) return -1;
  std::memcpy(buffer, password->text.data(), password->text.size());
  return static_cast<int>(password->text.size());
}

// An encrypted key is opened with the password in key.pass beside it, a
// file that only root (or the user the program runs as) may read or change;
// a file others could read or change is refused. Without that file the
// password of QELM_PSE_PASSWORD in the program's own environment is used (a
// service instance never gets that variable from its entry, which every
// user can read). There is no prompt: the service runs unattended.
uint32_t ReadKeyPassword(const std::string& psePath, KeyPassword& password) {
  const std::string path = (fs::path(psePath) / "key.pass").string();
  const DWORD rc = platform::ReadOwnerOnlyFile(path, PEM_BUFSIZE, password.text);
  if (rc == ERROR_FILE_NOT_FOUND) {
    const char* variable = std::getenv("QELM_PSE_PASSWORD");
    password.known = variable != nullptr;
    if (password.known) password.text = variable;
    return 0;
  }
  if (rc == ERROR_ACCESS_DENIED) {
    Note(nullptr, "Файл пароля ключа отвергнут: он должен принадлежать root и быть закрыт для остальных", path);
    return Fail(nullptr, ORLAX_E_BAD_PASSWORD, path);
  }
  if (rc != 0) return Fail(nullptr, ORLAX_E_BAD_PASSWORD, path);
  // The line break an editor or echo leaves at the end is not part of it.
  if (password.text.ends_with('\n')) password.text.pop_back();
  if (password.text.ends_with('\r')) password.text.pop_back();
  password.known = true;
  return 0;
}

uint32_t LoadPse(Context& ctx) {
  std::error_code ec;
  if (!fs::is_directory(ctx.psePath, ec)) return Fail(nullptr, ORLAX_E_PSE_NOT_FOUND, ctx.psePath);
  const std::string certPath = (fs::path(ctx.psePath) / "cert.pem").string();
  const std::string keyPath = (fs::path(ctx.psePath) / "key.pem").string();
  ctx.cert = ReadCertFile(certPath);
  if (ctx.cert == nullptr) return Fail(nullptr, ORLAX_E_PSE_NOT_FOUND, certPath);
  BioPtr bio(BIO_new_file(keyPath.c_str(), "rb"));
  if (bio == nullptr) return Fail(nullptr, ORLAX_E_PSE_NOT_FOUND, keyPath);
  std::string head(64, '\0');
  int got = BIO_read(bio.get(), head.data(), static_cast<int>(head.size()));
  head.resize(got > 0 ? static_cast<size_t>(got) : 0);
  const bool encrypted = head.find("ENCRYPTED") != std::string::npos;
  BIO_reset(bio.get());
  KeyPassword password;
  if (encrypted) {
    if (uint32_t code = ReadKeyPassword(ctx.psePath, password); code != 0) return code;
  }
  ctx.key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, PasswordCallback, &password));
  if (ctx.key == nullptr) return Fail(nullptr, encrypted ? ORLAX_E_BAD_PASSWORD : ORLAX_E_BAD_KEY, keyPath);
  if (X509_check_private_key(ctx.cert.get(), ctx.key.get()) != 1) {
    return Fail(nullptr, ORLAX_E_BAD_KEY, keyPath + " / " + certPath);
  }
  X509_up_ref(ctx.cert.get());
  ctx.certs.push_back({X509Ptr(ctx.cert.get()), "PSE"});
  return 0;
}

// Reads every certificate of a PEM file (a bundle), or the one DER certificate.
std::vector<X509Ptr> ReadCertificates(const std::string& path) {
  std::vector<X509Ptr> certs;
  BioPtr bio(BIO_new_file(path.c_str(), "rb"));
  if (bio == nullptr) return certs;
  while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) certs.emplace_back(cert);
  ERR_clear_error();
  if (certs.empty()) {
    X509Ptr der = ReadCertFile(path);
    if (der != nullptr) certs.push_back(std::move(der));
  }
  ERR_clear_error();
  return certs;
}

// Of several lists of one authority the newest alone is used: the chain
// check would otherwise prefer an older one still in its validity over a
// newer expired one. Only a list whose signature verifies against its issuer
// takes part; a delta list never does.
void AdmitLocalCrl(Context& ctx, X509CrlPtr crl, const std::string& path) {
  if (IsDeltaCrl(crl.get())) {
    Note(&ctx, "Файл локального справочника пропущен: разностный список отозванных сертификатов", path);
  } else if (!VerifiesAgainstIssuer(ctx, crl.get())) {
    Note(&ctx, "Файл локального справочника пропущен: подпись списка отозванных сертификатов не проверена", path);
    ctx.unverifiedCrls.push_back(std::move(crl));
  } else {
    KeepNewestCrl(ctx.crls, std::move(crl));
  }
}

uint32_t LoadLocal(Context& ctx) {
  std::error_code ec;
  if (!fs::is_directory(ctx.localPath, ec)) return Fail(nullptr, ORLAX_E_LOCAL_NOT_FOUND, ctx.localPath);
  std::vector<fs::path> files;
  for (fs::directory_iterator it(ctx.localPath, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec)) files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  // Lists are checked against their issuers once every certificate is read.
  std::vector<std::pair<X509CrlPtr, std::string>> lists;
  for (const auto& file : files) {
    const std::string ext = Lower(file.extension().string());
    if (ext == ".pem" || ext == ".crt" || ext == ".cer") {
      auto certs = ReadCertificates(file.string());
      if (certs.empty()) Note(&ctx, "Файл локального справочника пропущен: не сертификат", file.string());
      for (auto& cert : certs) ctx.certs.push_back({std::move(cert), "LOCAL"});
    } else if (ext == ".crl") {
      X509CrlPtr crl = ReadCrlFile(file.string());
      if (crl == nullptr) {
        ERR_clear_error();
        Note(&ctx, "Файл локального справочника пропущен: не список отозванных сертификатов", file.string());
      } else {
        lists.emplace_back(std::move(crl), file.string());
      }
    }
  }
  for (auto& [crl, path] : lists) AdmitLocalCrl(ctx, std::move(crl), path);
  return 0;
}

uint32_t OpenContext(uint32_t flags, const char* pse, const char* local, LibraryContext* out) {
  if (out == nullptr) return Fail(nullptr, ORLAX_E_INVALID_ARGUMENT, "context");
  *out = nullptr;
  if (GostEngine() == nullptr) return Fail(nullptr, ORLAX_E_ENGINE, "ENGINE_by_id(\"gost\")");
  auto ctx = std::make_unique<Context>();
  ctx->flags = flags;
  ctx->psePath = DiskPath(pse);
  ctx->localPath = DiskPath(local);
  if (!ctx->psePath.empty()) {
    if (uint32_t code = LoadPse(*ctx); code != 0) return code;
  }
  if (!ctx->localPath.empty()) {
    if (uint32_t code = LoadLocal(*ctx); code != 0) return code;
  }
  RegisterContext(ctx.get());
  *out = reinterpret_cast<LibraryContext>(ctx.release());
  return 0;
}

// A REG_SZ value of an open key as 8-bit text in the ANSI code page.
bool ReadTextValue(HKEY key, const wchar_t* name, std::string* text) {
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  std::string bytes(size, '\0');
  if (size > 0 &&
      RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()), &size) != ERROR_SUCCESS) {
    return false;
  }
  bytes.resize(size);
  std::wstring wide = platform::Utf16LeToWide(bytes);
  while (!wide.empty() && wide.back() == L'\0') wide.pop_back();
  *text = platform::WideToMultiByte(wide, CP_ACP);
  return true;
}

struct KeyCloser {
  void operator()(HKEY key) const { RegCloseKey(key); }
};
using KeyPtr = std::unique_ptr<HKEY__, KeyCloser>;

}  // namespace

OutputFile::~OutputFile() {
  if (bio_ != nullptr) BIO_free_all(bio_);
  if (!committed_ && opened_) platform::DeleteNativeFile(path_.c_str());
}

// An output is always a new file, readable by its owner only until its
// caller decides otherwise: a name already taken (a link planted there
// included) is refused, never followed or replaced.
BIO* OutputFile::Open() {
  std::FILE* stream = platform::CreateNewFileStream(path_.c_str());
  if (stream == nullptr) return nullptr;
  opened_ = true;
  bio_ = BIO_new_fp(stream, BIO_CLOSE);
  if (bio_ == nullptr) std::fclose(stream);
  return bio_;
}

bool OutputFile::Flush() {
  if (bio_ == nullptr) return false;
  bool ok = BIO_flush(bio_) == 1;
  BIO_free_all(bio_);
  bio_ = nullptr;
  return ok;
}

bool OutputFile::Commit() {
  committed_ = Flush();
  return committed_;
}

std::FILE* OpenInputStream(const std::string& path) { return platform::OpenInputFileStream(path.c_str()); }

BioPtr OpenInput(const std::string& path) {
  std::FILE* stream = OpenInputStream(path);
  if (stream == nullptr) return nullptr;
  BioPtr bio(BIO_new_fp(stream, BIO_CLOSE));
  if (bio == nullptr) std::fclose(stream);
  return bio;
}

int64_t FileSize(const std::string& path) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> stream(OpenInputStream(path), &std::fclose);
  if (stream == nullptr || std::fseek(stream.get(), 0, SEEK_END) != 0) return -1;
  const long size = std::ftell(stream.get());
  return size < 0 ? -1 : static_cast<int64_t>(size);
}

uint32_t ReadWholeFile(Context* context, const std::string& path, std::string* bytes) {
  int64_t size = FileSize(path);
  if (size < 0) return Fail(context, ORLAX_E_FILE_OPEN, path);
  if (static_cast<uint64_t>(size) > kMaxBlockFile) return Fail(context, ORLAX_E_FILE_TOO_LARGE, path);
  BioPtr bio = OpenInput(path);
  if (bio == nullptr) return Fail(context, ORLAX_E_FILE_OPEN, path);
  bytes->assign(static_cast<size_t>(size), '\0');
  size_t done = 0;
  while (done < bytes->size()) {
    int n = BIO_read(bio.get(), bytes->data() + done, static_cast<int>(std::min<size_t>(bytes->size() - done, 1 << 20)));
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  if (done != bytes->size()) return Fail(context, ORLAX_E_FILE_OPEN, path);
  return 0;
}

}  // namespace qelm

using namespace qelm;

extern "C" {

ORLAX_API uint32_t ORLAX_InitializeEx(uint32_t version, const InitParams* params, LibraryContext* context) {
  return Guard("ORLAX_InitializeEx", nullptr, [&]() -> uint32_t {
    if (context != nullptr) *context = nullptr;
    if (version != 1 || params == nullptr || params->size != sizeof(InitParams)) {
      return Fail(nullptr, ORLAX_E_INVALID_ARGUMENT, "InitParams");
    }
    return OpenContext(params->flags, params->pse, params->local, context);
  });
}

ORLAX_API uint32_t ORLAX_Initialize(const char* profileName, uint32_t flags, LibraryContext* context) {
  return Guard("ORLAX_Initialize", nullptr, [&]() -> uint32_t {
    if (context != nullptr) *context = nullptr;
    if (profileName == nullptr || *profileName == '\0') return Fail(nullptr, ORLAX_E_INVALID_ARGUMENT, "profile");
    std::wstring path = std::wstring(kProfilesKey) + L"\\" + platform::MultiByteToWide(profileName, CP_ACP);
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS) {
      return Fail(nullptr, ORLAX_E_PROFILE_NOT_FOUND, profileName);
    }
    KeyPtr key(raw);
    std::string pse, local;
    ReadTextValue(key.get(), L"PSE", &pse);
    ReadTextValue(key.get(), L"LOCAL", &local);
    return OpenContext(flags, pse.c_str(), local.c_str(), context);
  });
}

ORLAX_API uint32_t ORLAX_InitMinimal(LibraryContext* context) {
  return Guard("ORLAX_InitMinimal", nullptr, [&]() -> uint32_t {
    if (context == nullptr) return Fail(nullptr, ORLAX_E_INVALID_ARGUMENT, "context");
    auto ctx = std::make_unique<Context>();
    ctx->minimal = true;
    RegisterContext(ctx.get());
    *context = reinterpret_cast<LibraryContext>(ctx.release());
    return 0;
  });
}

ORLAX_API uint32_t ORLAX_Uninitialize(LibraryContext context) {
  Context* ctx = LookupContext(context);
  if (ctx == nullptr) return ORLAX_E_INVALID_CONTEXT;
  UnregisterContext(ctx);
  delete ctx;
  return 0;
}

ORLAX_API uint32_t ORLAX_QueryRegistryProfileEx(LibraryContext context, DataBlob* name, DataBlob* pse,
                                                DataBlob* local, DataBlob* ldap, uint32_t index) {
  return WithContext("ORLAX_QueryRegistryProfileEx", context, [&](Context& ctx) -> uint32_t {
    if (name == nullptr || pse == nullptr || local == nullptr || ldap == nullptr) {
      return Fail(&ctx, ORLAX_E_INVALID_ARGUMENT, "DataBlob");
    }
    *name = *pse = *local = *ldap = {};
    HKEY raw = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, kProfilesKey, 0, KEY_READ, &raw);
    if (status == ERROR_FILE_NOT_FOUND) return ORLAX_E_NO_MORE_PROFILES;
    if (status != ERROR_SUCCESS) return Fail(&ctx, ORLAX_E_REGISTRY, "HKCU\\SOFTWARE\\TORVAK\\qelm\\Profiles");
    KeyPtr key(raw);
    wchar_t subkey[256];
    DWORD length = 256;
    status = RegEnumKeyExW(key.get(), index, subkey, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) return ORLAX_E_NO_MORE_PROFILES;
    if (status != ERROR_SUCCESS) return Fail(&ctx, ORLAX_E_REGISTRY, "RegEnumKeyExW");
    HKEY rawProfile = nullptr;
    if (RegOpenKeyExW(key.get(), subkey, 0, KEY_READ, &rawProfile) != ERROR_SUCCESS) {
      return Fail(&ctx, ORLAX_E_REGISTRY, platform::WideToMultiByte(std::wstring(subkey, length), CP_UTF8));
    }
    KeyPtr profile(rawProfile);
    std::string psePath, localPath, ldapPath;
    ReadTextValue(profile.get(), L"PSE", &psePath);
    ReadTextValue(profile.get(), L"LOCAL", &localPath);
    ReadTextValue(profile.get(), L"LDAP", &ldapPath);
    SetBlobText(name, platform::WideToMultiByte(std::wstring(subkey, length), CP_ACP));
    SetBlobText(pse, psePath);
    SetBlobText(local, localPath);
    SetBlobText(ldap, ldapPath);
    return 0;
  });
}

}  // extern "C"
