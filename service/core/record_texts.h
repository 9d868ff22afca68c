#pragma once
// Pieces of the journal records that many steps and operations share: the
// rule prefix, file sizes as the records show them, and the texts repeated
// word for word in several places.

#include "common/config_records.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"

// The step text of an output that cannot be created; "%s" is its path.
inline constexpr const wchar_t* kCreatingFileText = L"Создание файла %s";
// Follows kCreatingFileText (or a rename text) when no conflict-free name was
// found.
inline constexpr const wchar_t* kConflictCounterText =
    L".\r\nСчетчик попыток переименования конфликтного файла достиг 100";
// The description of an input that is not the kind of signed message the
// operation takes.
inline constexpr const wchar_t* kWrongSignatureTypeText = L"Неправильный тип подписи";

// "Правило %d%s. ": the rule's number (its position in the run order plus
// 1) and " ('<Descryption>')" when the description is not empty. Begins
// every message and step text of a rule.
CString MakeRulePrefix(int ruleNumber, const CString& description);
// The number of the rule at index of the run order: its place in the key
// order when the load set it (RuleRecord::number), else index + 1.
int RuleNumber(const RuleRecord& rule, int index);

// The file's size in bytes, or 0 when it cannot be opened as below.
ULONGLONG FileSizeOf(const CString& path);

// "%lld" of the file's size in bytes, or "0" when the file cannot be opened
// for reading with read and delete sharing (a file another handle holds open
// for writing counts as not openable; a rename or delete by another handle
// is never refused for the sizing). Never fails.
CString FileSizeText(const CString& path);

// Format into a new string; the arguments are read by their real types.
template <typename... Args>
CString FormatText(const wchar_t* format, const Args&... args) {
  CString text;
  text.Format(format, args...);
  return text;
}
