#pragma once
// The rules export file (extension "prx"): the rules of one profile as 8-bit
// text in the ANSI code page, one record per rule, 27 fields each followed by
// LF, the last by LF CR. Numbers are "%d"; lists are joined by ";;" ("0" for
// none); signer lists are each a name followed by ";;" and its signers, the
// lists joined by ";\;" ("0" for none). No quoting or escaping: a rule whose
// texts the format cannot carry (a line feed, a separator inside an entry)
// is refused at export instead of being written so that it imports shifted.
//
// Directory-profile paths are not in the file; the save adds them. Only the
// two file calls (in whole_file.cpp) need the program's windows: the format
// itself is plain text work.

#include <string>
#include <vector>

#include "config/config_records.h"
#include "platform/cstring.h"

class QWidget;

// Empties lines; an empty text leaves it empty; otherwise the pieces between
// LF characters and always the piece after the last LF.
void SplitLines(const CString& text, CStringArray& lines);
// Empties lists, then the pieces between occurrences of ";\;" and always the
// piece after the last one; "" gives one empty piece.
void SplitSignerLists(const CString& text, CStringArray& lists);

// The record of one rule, LF CR included.
CString RuleExportRecord(const RuleRecord& rule);

// The rule a record's fields give (at least 12 fields; the fields from 12 on
// are taken when present). Masks and recipients keep only non-empty entries;
// a signer list without a name is dropped (it would be saved into the rule's
// own key); an ARCH or UNAR rule with ZipFile 0 gets 1.
RuleRecord ImportRuleFields(const CStringArray& fields);

// The rules of an export file's bytes, in file order: the records end with
// LF CR, hold at least one LF and 12 fields; text after the last LF CR and
// shorter records are dropped.
std::vector<RuleRecord> ParseRulesExport(const std::string& bytes);

// The file's bytes for rules. Returns false, with refused set to the
// position of the first rule that would not import as exported, when one
// cannot be written faithfully; bytes is then undefined.
bool BuildRulesExport(const std::vector<RuleRecord>& rules, std::string& bytes, int& refused);

// Writes bytes to path, created anew, in one write. A failure is reported
// (ReportErrorBox, owner) with "Создание файла %s", "Запись файла %s" or
// "Закрытие файла %s", and a file that was created is deleted again so that
// no partial export remains. Returns true when the file is written.
bool WriteRulesExportFile(QWidget* owner, const CString& path, const std::string& bytes);

// Reads the whole file at path. A failure is reported with "Открытие файла
// %s", "Определение размера файла %s", "Чтение файла %s" or "Закрытие файла
// %s" and returns false.
bool ReadRulesExportFile(QWidget* owner, const CString& path, std::string& bytes);

// The refusal shown for a rule the export cannot carry (position from 0).
CString ExportRefusalText(const RuleRecord& rule, int position);
