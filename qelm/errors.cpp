// Error texts, error stacks, the test hook and the library's buffers.

#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_set>

#include "platform/codepage.h"
#include "qelm/internal.h"

namespace qelm {
namespace {

// A stack keeps only its last lines, so a caller that never drains it (a
// tolerated failure) cannot make it grow without bound.
constexpr size_t kMaxStackLines = 64;

struct CodeEntry {
  uint32_t code;
  const char* text;
};

// The texts end with "." as the callers cut it themselves.
constexpr CodeEntry kCodeTexts[] = {
    {0, "Успешное выполнение."},
    {ORLAX_E_CRL_TOLERATED, "Часть списков отозванных сертификатов не загружена, работа продолжена с имеющимися."},
    {ORLAX_E_NOT_SIGNED_MESSAGE, "Данные не являются подписанным или зашифрованным сообщением CMS."},
    {ORLAX_E_CERT_NOT_FOUND, "Сертификат не найден."},
    {ORLAX_E_NO_TIME_STAMP, "Подпись не содержит штампа времени."},
    {ORLAX_E_NO_MORE_PROFILES, "Профилей справочника больше нет."},
    {ORLAX_E_INVALID_ARGUMENT, "Неверный параметр вызова библиотеки."},
    {ORLAX_E_NO_MEMORY, "Недостаточно памяти."},
    {ORLAX_E_INVALID_CONTEXT, "Неверный криптоконтекст."},
    {ORLAX_E_NO_MORE_ERRORS, "Стек ошибок пуст."},
    {ORLAX_E_ENGINE, "Криптографический модуль ГОСТ недоступен."},
    {ORLAX_E_FILE_OPEN, "Не удалось открыть или прочитать файл."},
    {ORLAX_E_FILE_CREATE, "Не удалось создать файл."},
    {ORLAX_E_FILE_WRITE, "Не удалось записать файл."},
    {ORLAX_E_FILE_TOO_LARGE, "Файл слишком велик для блочной обработки."},
    {ORLAX_E_PSE_NOT_FOUND, "Персональный справочник (PSE) не найден или неполон."},
    {ORLAX_E_BAD_PASSWORD, "Закрытый ключ защищен паролем, открыть его не удалось."},
    {ORLAX_E_BAD_KEY, "Закрытый ключ не читается или не соответствует сертификату."},
    {ORLAX_E_LOCAL_NOT_FOUND, "Локальный справочник сертификатов не найден."},
    {ORLAX_E_PROFILE_NOT_FOUND, "Профиль справочника не найден."},
    {ORLAX_E_BAD_MESSAGE, "Сообщение CMS повреждено или имеет неверный формат."},
    {ORLAX_E_NOT_ENVELOPED_MESSAGE, "Сообщение не является зашифрованным."},
    {ORLAX_E_WRONG_SIGNATURE_FORM, "Неверный вид подписи (присоединенная или отсоединенная)."},
    {ORLAX_E_SIGNATURE_INDEX, "Подписи с таким номером в сообщении нет."},
    {ORLAX_E_SIGNATURE_INVALID, "Подпись неверна."},
    {ORLAX_E_SIGNER_CERT_NOT_FOUND, "Сертификат подписанта не найден."},
    {ORLAX_E_CERT_REVOKED, "Сертификат отозван."},
    {ORLAX_E_CERT_UNTRUSTED, "Цепочка сертификатов не ведет к доверенному корневому сертификату."},
    {ORLAX_E_CERT_EXPIRED, "Срок действия сертификата истек или не наступил."},
    {ORLAX_E_NO_RECIPIENTS, "Не задан ни один сертификат получателя."},
    {ORLAX_E_RECIPIENT_CERT, "Сертификат получателя непригоден для шифрования."},
    {ORLAX_E_NOT_RECIPIENT, "Сообщение зашифровано не для владельца этого ключа."},
    {ORLAX_E_DECRYPT_FAILED, "Ошибка расшифрования: данные повреждены или ключ не подходит."},
    {ORLAX_E_UNKNOWN_CIPHER, "Неизвестный алгоритм шифрования."},
    {ORLAX_E_UNKNOWN_ALGORITHM, "Неизвестный алгоритм хэширования."},
    {ORLAX_E_NETWORK, "Ошибка сетевого обмена."},
    {ORLAX_E_TSP_RESPONSE, "Сервер штампов времени отказал или ответил неверно."},
    {ORLAX_E_TSP_INVALID, "Штамп времени неверен."},
    {ORLAX_E_CRL_LOAD, "Не удалось загрузить списки отозванных сертификатов."},
    {ORLAX_E_BAD_URL, "Неверный адрес сервера."},
    {ORLAX_E_UNSUPPORTED, "Операция не поддерживается."},
    {ORLAX_E_INTERNAL, "Внутренняя ошибка библиотеки."},
    {ORLAX_E_REGISTRY, "Ошибка чтения хранилища профилей справочника."},
};

std::string Basename(const char* file) {
  const char* slash = std::strrchr(file, '/');
  return slash != nullptr ? slash + 1 : file;
}

ErrorStack& StackOf(Context* context) { return context != nullptr ? context->errors : GlobalErrorStack(); }

std::mutex& RegistryMutex() {
  static std::mutex m;
  return m;
}
std::unordered_set<Context*>& Contexts() {
  static auto* set = new std::unordered_set<Context*>();
  return *set;
}

bool IsUtf8Acp() { return GetACP() == CP_UTF8; }

}  // namespace

void ErrorStack::Push(ErrorLine line) {
  std::lock_guard lock(mutex_);
  if (lines_.size() >= kMaxStackLines) lines_.erase(lines_.begin());
  lines_.push_back(std::move(line));
}

bool ErrorStack::Pop(ErrorLine* line) {
  std::lock_guard lock(mutex_);
  if (lines_.empty()) return false;
  *line = std::move(lines_.front());
  lines_.erase(lines_.begin());
  return true;
}

ErrorStack& GlobalErrorStack() {
  static auto* stack = new ErrorStack();
  return *stack;
}

Context* LookupContext(LibraryContext handle) {
  auto* context = reinterpret_cast<Context*>(handle);
  std::lock_guard lock(RegistryMutex());
  return Contexts().count(context) != 0 ? context : nullptr;
}

void RegisterContext(Context* context) {
  std::lock_guard lock(RegistryMutex());
  Contexts().insert(context);
}

void UnregisterContext(Context* context) {
  std::lock_guard lock(RegistryMutex());
  Contexts().erase(context);
}

const char* CodeText(uint32_t code) {
  for (const auto& entry : kCodeTexts) {
    if (entry.code == code) return entry.text;
  }
  return nullptr;
}

std::string OpenSslErrors() {
  std::string text;
  unsigned long err;
  const char* file = nullptr;
  int line = 0;
  while ((err = ERR_get_error_all(&file, &line, nullptr, nullptr, nullptr)) != 0) {
    char buffer[256];
    ERR_error_string_n(err, buffer, sizeof buffer);
    if (!text.empty()) text += "; ";
    text += buffer;
  }
  return text;
}

uint32_t Fail(Context* context, uint32_t code, std::string_view data, const char* file, unsigned line) {
  ErrorLine entry;
  const char* text = CodeText(code);
  entry.text = text != nullptr ? text : "Ошибка";
  if (!entry.text.empty() && entry.text.back() == '.') entry.text.pop_back();
  entry.file = Basename(file);
  entry.line = line;
  entry.data = std::string(data);
  std::string ssl = OpenSslErrors();
  if (!ssl.empty()) entry.data += (entry.data.empty() ? "" : "; ") + ssl;
  StackOf(context).Push(std::move(entry));
  return code;
}

void Note(Context* context, std::string_view text, std::string_view data, const char* file, unsigned line) {
  StackOf(context).Push({std::string(text), Basename(file), line, std::string(data)});
}

#if defined(QELM_TEST_HOOKS)
uint32_t TestHookCode(const char* name) {
  const char* failures = std::getenv("QELM_TEST_FAIL");
  if (failures == nullptr || *failures == '\0') return 0;
  const std::string_view wanted(name);
  std::string_view rest(failures);
  while (!rest.empty()) {
    size_t comma = rest.find(',');
    std::string_view item = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    size_t eq = item.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = item.substr(0, eq);
    while (!key.empty() && key.front() == ' ') key.remove_prefix(1);
    while (!key.empty() && key.back() == ' ') key.remove_suffix(1);
    if (key != wanted) continue;
    std::string value(item.substr(eq + 1));
    unsigned long code = std::strtoul(value.c_str(), nullptr, 0);
    return code != 0 ? static_cast<uint32_t>(code) : ORLAX_E_INTERNAL;
  }
  return 0;
}
#endif

uint32_t GuardException(Context* context, const char* name) {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return Fail(context, ORLAX_E_NO_MEMORY, name);
  } catch (const std::exception& e) {
    return Fail(context, ORLAX_E_INTERNAL, std::string(name) + ": " + e.what());
  } catch (...) {
    return Fail(context, ORLAX_E_INTERNAL, name);
  }
}

std::string DiskPath(const char* ansiPath) {
  if (ansiPath == nullptr) return {};
  if (IsUtf8Acp()) return ansiPath;
  return FromAnsi(ansiPath);
}

std::string ToAnsi(std::string_view utf8) {
  if (IsUtf8Acp()) return std::string(utf8);
  return platform::WideToMultiByte(platform::MultiByteToWide(utf8, CP_UTF8), CP_ACP);
}

std::string FromAnsi(std::string_view ansi) {
  if (IsUtf8Acp()) return std::string(ansi);
  return platform::WideToMultiByte(platform::MultiByteToWide(ansi, CP_ACP), CP_UTF8);
}

void SetBlob(DataBlob* blob, const void* data, size_t length) {
  blob->length = 0;
  blob->data = nullptr;
  if (length > 0xFFFFFFFFu) throw std::length_error("blob too large");
  if (length == 0) return;
  auto* copy = static_cast<uint8_t*>(std::malloc(length));
  if (copy == nullptr) throw std::bad_alloc();
  std::memcpy(copy, data, length);
  blob->data = copy;
  blob->length = static_cast<uint32_t>(length);
}

void SetBlobText(DataBlob* blob, std::string_view text) {
  std::string withNul(text);
  withNul.push_back('\0');
  SetBlob(blob, withNul.data(), withNul.size());
}

char* DupText(std::string_view text) {
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) throw std::bad_alloc();
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

bool BlobToBio(const DataBlob* blob, BioPtr* bio) {
  if (blob == nullptr || (blob->length > 0 && blob->data == nullptr)) return false;
  static const char kEmpty = 0;
  const void* data = blob->length > 0 ? static_cast<const void*>(blob->data) : &kEmpty;
  bio->reset(BIO_new_mem_buf(data, static_cast<int>(blob->length)));
  if (*bio == nullptr) throw std::bad_alloc();
  return true;
}

uint32_t BioToBlob(Context* context, BIO* mem, DataBlob* blob) {
  char* data = nullptr;
  long length = BIO_get_mem_data(mem, &data);
  if (length < 0 || static_cast<unsigned long>(length) > 0xFFFFFFFFu) {
    return Fail(context, ORLAX_E_FILE_TOO_LARGE, "результат больше 4 ГБ");
  }
  SetBlob(blob, data, static_cast<size_t>(length));
  return 0;
}

}  // namespace qelm

using namespace qelm;

extern "C" {

ORLAX_API const char* ORLAX_GetErrorText(uint32_t code, char* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) return nullptr;
  const char* text = CodeText(code);
  if (text == nullptr) return nullptr;
  std::string ansi = ToAnsi(text);
  size_t n = std::min<size_t>(ansi.size(), size - 1);
  std::memcpy(buffer, ansi.data(), n);
  buffer[n] = '\0';
  return buffer;
}

ORLAX_API uint32_t ORLAX_GetErrorLineEx(LibraryContext context, DataBlob* text, DataBlob* file, uint32_t* line,
                                        DataBlob* data) {
  Context* ctx = nullptr;
  if (context != nullptr) {
    ctx = LookupContext(context);
    if (ctx == nullptr) return ORLAX_E_INVALID_CONTEXT;
  }
  if (text != nullptr) *text = {};
  if (file != nullptr) *file = {};
  if (data != nullptr) *data = {};
  if (line != nullptr) *line = 0;
  ErrorLine entry;
  if (!(ctx != nullptr ? ctx->errors : GlobalErrorStack()).Pop(&entry)) return ORLAX_E_NO_MORE_ERRORS;
  try {
    if (text != nullptr) SetBlobText(text, ToAnsi(entry.text));
    if (file != nullptr) SetBlobText(file, entry.file);
    if (data != nullptr) SetBlobText(data, ToAnsi(entry.data));
    if (line != nullptr) *line = entry.line;
  } catch (...) {
    return ORLAX_E_NO_MEMORY;
  }
  return 0;
}

ORLAX_API uint32_t ORLAX_FreeMem(LibraryContext /*context*/, void* data) {
  std::free(data);
  return 0;
}

}  // extern "C"
