#include "service/zip/zip_result.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "platform/codepage.h"
#include "service/zip/zip_internal.h"

namespace {

// The library's interface fixes this one value for the whole process: a
// failed ZipWriterCreate has no handle to carry its reason, and
// ZipResultText(ZIP_LAST_WRITER_RESULT) takes none. So it cannot belong to a
// caller's object; the service itself never reads it (its callers pass the
// codes they were returned).
std::atomic<DWORD> g_lastWriterResult{ZIP_OK};

struct ResultText {
  DWORD code;
  const char* text;  // UTF-8
};

constexpr ResultText kTexts[] = {
    {ZIP_OK, "Успех"},
    {ZIP_E_NO_DUPLICATE, "Не удалось скопировать указатель"},
    {ZIP_E_NO_FILE, "Не удалось создать/открыть файл"},
    {ZIP_E_NO_ALLOC, "Не удалось выделить память"},
    {ZIP_E_WRITE, "Ошибка записи в файл"},
    {ZIP_E_NOT_FOUND, "Файл не найден в zip архиве"},
    {ZIP_E_MORE, "Остались не разархивированные данные"},
    {ZIP_E_CORRUPT, "Файл поврежден или не является zip архивом"},
    {ZIP_E_READ, "Ошибка чтения файла"},
    {ZIP_E_ARGS, "Caller: неверные аргументы"},
    {ZIP_E_NOT_MEMORY, "Caller: возможно получить только память из zip архива"},
    {ZIP_E_MEMORY_SIZE, "Caller: для zip архива выделено недостаточно места"},
    {ZIP_E_FAILED, "Caller: существует предыдущая ошибка"},
    {ZIP_E_ENDED, "Caller: добавления к архиву уже закончились"},
    {ZIP_E_MISSIZE, "Zip-bug: предполагаемый размер оказался неверным"},
    {ZIP_E_PARTIAL_UNZIP, "Caller: файл уже был частично разархивирован"},
    {ZIP_E_MIXED_MODE, "Caller: смешанное создание и открытие zip архива"},
    {ZIP_E_TOO_LARGE, "Размер файла или zip архива превышает 4 ГБ - 1 байт"},
    {ZIP_E_NOT_INITED, "Zip-bug: внешняя инитиализация не завершена"},
    {ZIP_E_SEEK, "Zip-bug: некорректная попытка поиска"},
    {ZIP_E_NO_CHANGE, "Zip-bug: попытка смены поведения не была разрешена"},
    {ZIP_E_FLATE, "Zip-bug: общая ошибка стабилизации"},
};
constexpr const char* kUnknownText = "Неизвестный возвратный zip код";

}  // namespace

DWORD ZipResultText(DWORD code, char* buffer) {
  if (code == ZIP_LAST_WRITER_RESULT) code = g_lastWriterResult.load();
  const char* utf8 = kUnknownText;
  for (const auto& t : kTexts) {
    if (t.code == code) utf8 = t.text;
  }
  // The journals are written in the ANSI code page; so are these texts.
  std::string text = platform::WideToMultiByte(platform::MultiByteToWide(utf8, CP_UTF8), CP_ACP);
  if (buffer != nullptr) {
    std::size_t n = std::min<std::size_t>(text.size(), 1023);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  return static_cast<DWORD>(text.size());
}

DWORD ZipLastWriterResult() { return g_lastWriterResult.load(); }

namespace zip {
DWORD SetLastWriterResult(DWORD result) {
  g_lastWriterResult.store(result);
  return result;
}
}  // namespace zip
