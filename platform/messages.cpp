#include "platform/messages.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

namespace {

struct Message {
  DWORD code;
  const wchar_t* text;
};

// The system's descriptions, in plain words. Each ends in ".\r\n".
constexpr Message kSystemMessages[] = {
    {0, L"Операция успешно завершена.\r\n"},
    {1, L"Неверная функция.\r\n"},
    {2, L"Не удается найти указанный файл.\r\n"},
    {3, L"Не удается найти указанный путь.\r\n"},
    {4, L"Системе не удается открыть файл: открыто слишком много файлов.\r\n"},
    {5, L"Отказано в доступе.\r\n"},
    {6, L"Неверный дескриптор.\r\n"},
    {7, L"Повреждены управляющие блоки памяти.\r\n"},
    {8, L"Недостаточно памяти для обработки команды.\r\n"},
    {9, L"Неверный адрес управляющего блока памяти.\r\n"},
    {10, L"Неверная среда окружения.\r\n"},
    {11, L"Попытка загрузить программу, имеющую неверный формат.\r\n"},
    {12, L"Неверный код доступа.\r\n"},
    {13, L"Недопустимые данные.\r\n"},
    {14, L"Недостаточно памяти для завершения операции.\r\n"},
    {15, L"Системе не удается найти указанный диск.\r\n"},
    {16, L"Не удается удалить папку, которая является текущей.\r\n"},
    {17, L"Системе не удается переместить файл на другой диск.\r\n"},
    {18, L"Больше нет файлов.\r\n"},
    {19, L"Носитель защищен от записи.\r\n"},
    {20, L"Системе не удается найти указанное устройство.\r\n"},
    {21, L"Устройство не готово.\r\n"},
    {22, L"Устройство не распознает команду.\r\n"},
    {23, L"Ошибка в данных (ошибка циклического контроля избыточности).\r\n"},
    {24, L"Программа выдала команду неверной длины.\r\n"},
    {25, L"Не удается найти указанную область или дорожку на диске.\r\n"},
    {26, L"Нет доступа к указанному диску или дискете.\r\n"},
    {27, L"Не удается найти указанный сектор на диске.\r\n"},
    {28, L"В принтере закончилась бумага.\r\n"},
    {29, L"Системе не удается произвести запись на устройство.\r\n"},
    {30, L"Системе не удается прочитать данные с устройства.\r\n"},
    {31, L"Присоединенное к системе устройство не работает.\r\n"},
    {32, L"Процесс не может получить доступ к файлу, так как этот файл занят другим процессом.\r\n"},
    {33, L"Процесс не может получить доступ к файлу, так как часть этого файла заблокирована другим процессом.\r\n"},
    {36, L"Слишком много файлов открыто для совместного доступа.\r\n"},
    {38, L"Достигнут конец файла.\r\n"},
    {39, L"Диск заполнен.\r\n"},
    {50, L"Такой запрос не поддерживается.\r\n"},
    {51, L"Удаленный компьютер недоступен.\r\n"},
    {52, L"В сети существует совпадающее имя.\r\n"},
    {53, L"Не найден сетевой путь.\r\n"},
    {54, L"Сеть занята.\r\n"},
    {55, L"Указанный сетевой ресурс или устройство больше недоступны.\r\n"},
    {59, L"Непредвиденная сетевая ошибка.\r\n"},
    {64, L"Указанное сетевое имя более недоступно.\r\n"},
    {65, L"Отказано в доступе к сети.\r\n"},
    {67, L"Не найдено сетевое имя.\r\n"},
    {80, L"Файл существует.\r\n"},
    {82, L"Не удается создать файл или папку.\r\n"},
    {87, L"Параметр задан неверно.\r\n"},
    {89, L"Система не может сейчас запустить другой процесс.\r\n"},
    {108, L"Диск используется или заблокирован другим процессом.\r\n"},
    {109, L"Канал был закрыт.\r\n"},
    {110, L"Системе не удается открыть указанное устройство или файл.\r\n"},
    {111, L"Указано слишком длинное имя файла.\r\n"},
    {112, L"Недостаточно места на диске.\r\n"},
    {120, L"Эта функция не поддерживается в данной системе.\r\n"},
    {121, L"Превышен таймаут семафора.\r\n"},
    {122, L"Область данных, переданная системному вызову, слишком мала.\r\n"},
    {123, L"Синтаксическая ошибка в имени файла, имени папки или метке тома.\r\n"},
    {126, L"Не найден указанный модуль.\r\n"},
    {127, L"Не найдена указанная процедура.\r\n"},
    {131, L"Попытка переместить указатель файла перед началом файла.\r\n"},
    {145, L"Папка не пуста.\r\n"},
    {158, L"Сегмент уже разблокирован.\r\n"},
    {161, L"Указан неверный путь.\r\n"},
    {170, L"Требуемый ресурс занят.\r\n"},
    {183, L"Невозможно создать файл, так как он уже существует.\r\n"},
    {193, L"Программа не является приложением, которое можно запустить в этой системе.\r\n"},
    {206, L"Имя файла или его расширение имеет слишком большую длину.\r\n"},
    {223, L"Размер файла превышает допустимый предел, файл не может быть сохранен.\r\n"},
    {230, L"Неверное состояние канала.\r\n"},
    {231, L"Все копии канала заняты.\r\n"},
    {232, L"Идет закрытие канала.\r\n"},
    {233, L"На другом конце канала нет процесса.\r\n"},
    {234, L"Имеются дополнительные данные.\r\n"},
    {258, L"Время ожидания операции истекло.\r\n"},
    {259, L"Больше нет данных.\r\n"},
    {266, L"Не удается использовать функцию копирования.\r\n"},
    {267, L"Неверно задано имя папки.\r\n"},
    {288, L"Попытка освободить мьютекс, не принадлежащий вызывающему процессу.\r\n"},
    {298, L"Слишком много отправок для семафора.\r\n"},
    {317, L"Не удается найти текст сообщения для кода ошибки в файле сообщений.\r\n"},
    {487, L"Попытка обращения к неверному адресу.\r\n"},
    {534, L"Результат арифметической операции превышает 32 разряда.\r\n"},
    {995, L"Операция ввода-вывода была прервана из-за завершения потока или по запросу приложения.\r\n"},
    {996, L"Событие перекрывающегося ввода-вывода не находится в сигнальном состоянии.\r\n"},
    {997, L"Выполняется перекрывающаяся операция ввода-вывода.\r\n"},
    {998, L"Неверная попытка доступа к адресу памяти.\r\n"},
    {1001, L"Слишком глубокая рекурсия, переполнен стек.\r\n"},
    {1004, L"Неверные флаги.\r\n"},
    {1005, L"Том не содержит распознанной файловой системы.\r\n"},
    {1006, L"Том для открытого файла был изменен извне, и файл больше недействителен.\r\n"},
    {1009, L"База данных реестра повреждена.\r\n"},
    {1010, L"Неверный раздел реестра.\r\n"},
    {1011, L"Не удается открыть раздел реестра.\r\n"},
    {1012, L"Не удается прочитать раздел реестра.\r\n"},
    {1013, L"Не удается записать раздел реестра.\r\n"},
    {1014, L"Один из файлов базы данных реестра пришлось восстановить из журнала или копии.\r\n"},
    {1015, L"Реестр поврежден: структура одного из файлов данных реестра нарушена.\r\n"},
    {1016, L"Операция ввода-вывода, начатая реестром, завершилась неудачей.\r\n"},
    {1017, L"Система пыталась загрузить файл в реестр, но этот файл не является файлом реестра.\r\n"},
    {1018, L"Попытка выполнить недопустимую операцию над разделом реестра, отмеченным для удаления.\r\n"},
    {1019, L"Системе не удалось выделить место в журнале реестра.\r\n"},
    {1020, L"Нельзя создать символическую ссылку в разделе реестра, у которого уже есть подразделы или параметры.\r\n"},
    {1021, L"Нельзя создать постоянный подраздел в непостоянном родительском разделе.\r\n"},
    {1051, L"Команда остановки была отправлена службе, от которой зависят другие работающие службы.\r\n"},
    {1052, L"Запрошенная команда недопустима для этой службы.\r\n"},
    {1053, L"Служба не ответила на запрос своевременно.\r\n"},
    {1054, L"Не удалось создать поток для службы.\r\n"},
    {1055, L"База данных служб заблокирована.\r\n"},
    {1056, L"Одна копия службы уже запущена.\r\n"},
    {1057, L"Имя учетной записи задано неверно или не существует, или неверен пароль для указанной учетной записи.\r\n"},
    {1058, L"Служба не может быть запущена, так как она отключена или с ней не связаны включенные устройства.\r\n"},
    {1059, L"Указана циклическая зависимость служб.\r\n"},
    {1060, L"Указанная служба не установлена.\r\n"},
    {1061, L"Служба в данный момент не может принимать команды.\r\n"},
    {1062, L"Служба не запущена.\r\n"},
    {1063, L"Процесс службы не может соединиться с контроллером служб.\r\n"},
    {1064, L"При обработке управляющего запроса в службе возникло исключение.\r\n"},
    {1066, L"Служба возвратила код ошибки, свойственный этой службе.\r\n"},
    {1067, L"Процесс был неожиданно завершен.\r\n"},
    {1068, L"Не удалось запустить дочернюю службу.\r\n"},
    {1069, L"Служба не запущена из-за сбоя входа в систему.\r\n"},
    {1070, L"Служба после запуска зависла в состоянии ожидания запуска.\r\n"},
    {1071, L"Указанная блокировка базы данных служб недействительна.\r\n"},
    {1072, L"Указанная служба отмечена для удаления.\r\n"},
    {1073, L"Указанная служба уже существует.\r\n"},
    {1075, L"Служба, от которой зависит данная служба, не существует или отмечена для удаления.\r\n"},
    {1077, L"Со времени последней загрузки компьютера эту службу не пытались запустить.\r\n"},
    {1078, L"Это имя уже используется как имя службы или ее отображаемое имя.\r\n"},
    {1079, L"Учетная запись, указанная для службы, отличается от учетной записи других служб того же процесса.\r\n"},
    {1113, L"Для символа Юникода нет соответствия в целевой многобайтовой кодовой странице.\r\n"},
    {1117, L"Запрос не был выполнен из-за ошибки ввода-вывода на устройстве.\r\n"},
    {1168, L"Элемент не найден.\r\n"},
    {1223, L"Операция была отменена пользователем.\r\n"},
    {1224, L"Запрошенную операцию нельзя выполнить для файла с открытым пользователем сопоставленным разделом.\r\n"},
    {1235, L"Запрос был прерван.\r\n"},
    {1295, L"Превышена квота на диске.\r\n"},
    {1300, L"Вызывающей стороне назначены не все привилегии или группы, на которые указывает ссылка.\r\n"},
    {1314, L"Клиент не обладает требуемыми правами.\r\n"},
    {1326, L"Неверное имя пользователя или пароль.\r\n"},
    {1332, L"Сопоставление между именами учетных записей и идентификаторами безопасности не выполнено.\r\n"},
    {1336, L"Список управления доступом (ACL) имеет неверную структуру.\r\n"},
    {1337, L"Идентификатор безопасности имеет неверную структуру.\r\n"},
    {1338, L"Дескриптор безопасности имеет неверную структуру.\r\n"},
    {1359, L"Внутренняя ошибка.\r\n"},
    {1450, L"Недостаточно системных ресурсов для завершения операции.\r\n"},
    {1455, L"Файл подкачки слишком мал для завершения операции.\r\n"},
    {1460, L"Операция возвратилась, так как истек период ожидания.\r\n"},
    {1722, L"Сервер RPC недоступен.\r\n"},
    {1814, L"Не удается найти указанное имя ресурса в файле образа.\r\n"},
    {1815, L"Не удается найти ресурс для указанного языка в файле образа.\r\n"},
    {1921, L"Не удается разрешить имя файла: слишком много уровней символических ссылок.\r\n"},
};

const wchar_t* FindSystemMessage(DWORD code) {
  if ((code & 0xFFFF0000u) == 0x80070000u) code &= 0xFFFF;  // a Windows code wrapped as an HRESULT
  for (const Message& m : kSystemMessages)
    if (m.code == code) return m.text;
  return nullptr;
}

// The argument of insert number `index` (1-based), taken from the array or
// pulled in order from the va_list as far as needed.
class InsertArguments {
 public:
  InsertArguments(DWORD flags, va_list* list) {
    if (list == nullptr) return;
    if (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) {
      array_ = reinterpret_cast<const DWORD_PTR*>(list);
    } else {
      va_copy(list_, *list);
      hasList_ = true;
    }
  }
  ~InsertArguments() {
    if (hasList_) va_end(list_);
  }
  InsertArguments(const InsertArguments&) = delete;
  InsertArguments& operator=(const InsertArguments&) = delete;

  bool Available() const { return array_ != nullptr || hasList_; }
  DWORD_PTR At(int index) {
    if (array_) return array_[index - 1];
    while (static_cast<int>(pulled_.size()) < index) pulled_.push_back(va_arg(list_, DWORD_PTR));
    return pulled_[static_cast<std::size_t>(index - 1)];
  }

 private:
  const DWORD_PTR* array_ = nullptr;
  va_list list_;
  bool hasList_ = false;
  std::vector<DWORD_PTR> pulled_;
};

std::wstring FormatInsert(std::wstring_view insert, DWORD_PTR value) {
  if (insert == L"s" || insert == L"ls" || insert == L"ws" || insert == L"S") {
    const wchar_t* text = reinterpret_cast<const wchar_t*>(value);
    return text ? std::wstring(text) : std::wstring(L"(null)");
  }
  // A printf form of one number or character: flags, width and precision are
  // kept, the size prefix is rebuilt so that the argument is read with the
  // width it was passed with.
  std::size_t i = 0;
  while (i < insert.size() && std::wstring_view(L"-+ #0123456789.").find(insert[i]) != std::wstring_view::npos) ++i;
  std::wstring_view shape = insert.substr(0, i);
  std::wstring_view size = insert.substr(i, insert.empty() ? 0 : insert.size() - 1 - i);
  wchar_t conversion = insert.empty() ? L's' : insert.back();
  bool wide64 = size == L"I64" || size == L"ll";
  bool knownSize = size.empty() || wide64 || size == L"l" || size == L"h" || size == L"I" || size == L"w";
  if (!knownSize || std::wstring_view(L"diuxXoc").find(conversion) == std::wstring_view::npos)
    return std::wstring(insert);  // not a form this table can print: shown as written
  wchar_t buffer[128];
  std::wstring format = L"%" + std::wstring(shape);
  if (conversion == L'c') {
    swprintf(buffer, 128, (format + L"lc").c_str(), static_cast<wint_t>(value));
  } else if (wide64) {
    swprintf(buffer, 128, (format + L"ll" + conversion).c_str(), static_cast<unsigned long long>(value));
  } else {
    swprintf(buffer, 128, (format + conversion).c_str(), static_cast<unsigned int>(value));
  }
  return buffer;
}

// Replaces the insert sequences of a message text.
std::wstring ExpandInserts(std::wstring_view text, InsertArguments& args) {
  std::wstring out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    wchar_t c = text[i];
    if (c != L'%' || i + 1 >= text.size()) {
      out += c;
      continue;
    }
    wchar_t next = text[++i];
    if (next == L'0') return out;
    if (next == L'n') {
      out += L"\r\n";
    } else if (next >= L'1' && next <= L'9') {
      int index = next - L'0';
      if (i + 1 < text.size() && text[i + 1] >= L'0' && text[i + 1] <= L'9') index = index * 10 + (text[++i] - L'0');
      std::wstring insert = L"s";
      if (i + 1 < text.size() && text[i + 1] == L'!') {
        std::size_t close = text.find(L'!', i + 2);
        if (close != std::wstring_view::npos) {
          insert = std::wstring(text.substr(i + 2, close - i - 2));
          i = close;
        }
      }
      out += FormatInsert(insert, args.At(index));
    } else {
      out += next;  // %% → %, %. → ., %! → !
    }
  }
  return out;
}

DWORD HandOut(const std::wstring& text, DWORD flags, LPWSTR buffer, DWORD size) {
  std::size_t needed = text.size() + 1;
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    std::size_t chars = std::max<std::size_t>(needed, size);
    auto* block = static_cast<wchar_t*>(LocalAlloc(LMEM_FIXED, chars * sizeof(wchar_t)));
    if (block == nullptr) return 0;
    std::wmemcpy(block, text.c_str(), needed);
    *reinterpret_cast<LPWSTR*>(buffer) = block;
    return static_cast<DWORD>(text.size());
  }
  if (size < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::wmemcpy(buffer, text.c_str(), needed);
  return static_cast<DWORD>(text.size());
}

constexpr DWORD kMaxAllocatedCharacters = 64 * 1024 / 2;  // 64 KiB of UTF-16

// A stand-in for the program's own module handle; it is never dereferenced.
char g_ownModule;

}  // namespace

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  void* block = (flags & LMEM_ZEROINIT) ? std::calloc(bytes ? bytes : 1, 1) : std::malloc(bytes ? bytes : 1);
  if (block == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

HLOCAL LocalFree(HLOCAL memory) {
  std::free(memory);
  return nullptr;
}

DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD, LPWSTR buffer, DWORD size,
                     va_list* arguments) {
  if (buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    *reinterpret_cast<LPWSTR*>(buffer) = nullptr;
    // The system hands out at most 64 KiB; a larger minimum is refused
    // instead of allocated.
    if (size > kMaxAllocatedCharacters) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
  }
  std::wstring text;
  bool fromTable = false;
  if (flags & FORMAT_MESSAGE_FROM_STRING) {
    if (source == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    text = static_cast<const wchar_t*>(source);
  } else if (flags & (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_FROM_HMODULE)) {
    // Module tables are all empty here; only the system table can answer.
    const wchar_t* found = (flags & FORMAT_MESSAGE_FROM_SYSTEM) ? FindSystemMessage(messageId) : nullptr;
    if (found == nullptr) {
      SetLastError(ERROR_MR_MID_NOT_FOUND);
      return 0;
    }
    text = found;
    fromTable = true;
  } else {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  InsertArguments args(flags, arguments);
  if (!(flags & FORMAT_MESSAGE_IGNORE_INSERTS) && args.Available()) text = ExpandInserts(text, args);
  if (fromTable && (flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == FORMAT_MESSAGE_MAX_WIDTH_MASK) {
    for (std::size_t at; (at = text.find(L"\r\n")) != std::wstring::npos;) text.replace(at, 2, L" ");
  }
  return HandOut(text, flags, buffer, size);
}

HMODULE GetModuleHandleW(LPCWSTR moduleName) {
  if (moduleName == nullptr) return &g_ownModule;
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

HMODULE LoadLibraryW(LPCWSTR fileName) {
  SetLastError(fileName == nullptr ? ERROR_INVALID_PARAMETER : ERROR_MOD_NOT_FOUND);
  return nullptr;
}

BOOL FreeLibrary(HMODULE) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}
