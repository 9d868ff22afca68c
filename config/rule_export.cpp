#include "config/rule_export.h"

#include "common/operation_catalogue.h"
#include "common/report_text.h"
#include "common/split_pairs.h"
#include "platform/codepage.h"

namespace {

constexpr wchar_t kListSeparator[] = L";;";
constexpr wchar_t kSignerListSeparator[] = L";\\;";
constexpr int kFieldCount = 27;
constexpr int kLeastFieldCount = 12;

// atoi: blanks, an optional sign, the digits up to the first other
// character; 0 without digits; clamped to the 32-bit range.
int FieldNumber(const CString& field) {
  const wchar_t* p = field.GetString();
  while (*p == L' ' || *p == L'\t' || *p == L'\n' || *p == L'\r' || *p == L'\v' || *p == L'\f') ++p;
  bool negative = false;
  if (*p == L'+' || *p == L'-') negative = *p++ == L'-';
  long long value = 0;
  for (; *p >= L'0' && *p <= L'9'; ++p) {
    if (value <= 0x80000000LL) value = value * 10 + (*p - L'0');
  }
  if (negative) value = -value;
  if (value > 0x7FFFFFFFLL) return 0x7FFFFFFF;
  if (value < -0x80000000LL) return static_cast<int>(-0x80000000LL);
  return static_cast<int>(value);
}

CString Number(int value) {
  CString text;
  text.Format(L"%d", value);
  return text;
}

CString Join(const std::vector<CString>& entries, const wchar_t* separator) {
  CString joined;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i > 0) joined += separator;
    joined += entries[i];
  }
  return joined;
}

CString JoinList(const std::vector<CString>& entries) {
  return entries.empty() ? CString(L"0") : Join(entries, kListSeparator);
}

// Each list as its name and signers joined by ";;", the lists by ";\;".
CString JoinSignerLists(const std::vector<SignerListRecord>& lists) {
  if (lists.empty()) return L"0";
  std::vector<CString> pieces;
  for (const SignerListRecord& list : lists) {
    std::vector<CString> entries{list.name};
    entries.insert(entries.end(), list.signers.begin(), list.signers.end());
    pieces.push_back(Join(entries, kListSeparator));
  }
  return Join(pieces, kSignerListSeparator);
}

// A list field: "0" is no list; otherwise every non-empty piece.
std::vector<CString> ImportList(const CString& field) {
  std::vector<CString> entries;
  if (field == L"0") return entries;
  CStringArray pieces;
  SplitPairs(field, pieces);
  for (const CString& piece : pieces) {
    if (!piece.IsEmpty()) entries.push_back(piece);
  }
  return entries;
}

std::vector<SignerListRecord> ImportSignerLists(const CString& field) {
  std::vector<SignerListRecord> lists;
  if (field == L"0") return lists;
  CStringArray pieces;
  SplitSignerLists(field, pieces);
  for (const CString& piece : pieces) {
    CStringArray entries;
    SplitPairs(piece, entries);
    // A list without a name would be saved into the rule's own key and
    // never be seen again.
    if (entries[0].IsEmpty()) continue;
    SignerListRecord list;
    list.name = entries[0];
    for (INT_PTR i = 1; i < entries.GetSize(); ++i) list.signers.push_back(entries[i]);
    lists.push_back(std::move(list));
  }
  return lists;
}

void CompleteArchiveRule(RuleRecord& rule) {
  if (ArchiveUseOf(rule.operation) == ArchiveUse::kRequired && rule.zipFile == 0) {
    rule.zipFile = 1;
  }
}

// The entries themselves: "a;" before "b" exports as "a;;;b", which reads
// back as "a" and ";b" and exports alike.
bool SameLists(const RuleRecord& a, const RuleRecord& b) {
  if (a.masks != b.masks || a.recipients != b.recipients) return false;
  if (a.signerLists.size() != b.signerLists.size()) return false;
  for (size_t i = 0; i < a.signerLists.size(); ++i) {
    if (a.signerLists[i].name != b.signerLists[i].name ||
        a.signerLists[i].signers != b.signerLists[i].signers) {
      return false;
    }
  }
  return true;
}

std::string AnsiOf(const CString& text) { return platform::WideToMultiByte(text.GetString()); }

}  // namespace

void SplitLines(const CString& text, CStringArray& lines) {
  lines.RemoveAll();
  if (text.IsEmpty()) return;
  int start = 0;
  for (int lf = text.Find(L'\n'); lf >= 0; lf = text.Find(L'\n', start)) {
    lines.Add(text.Mid(start, lf - start));
    start = lf + 1;
  }
  lines.Add(text.Mid(start));
}

void SplitSignerLists(const CString& text, CStringArray& lists) {
  lists.RemoveAll();
  const int separatorLength = 3;
  int start = 0;
  for (int at = text.Find(kSignerListSeparator); at >= 0;
       at = text.Find(kSignerListSeparator, start)) {
    lists.Add(text.Mid(start, at - start));
    start = at + separatorLength;
  }
  lists.Add(text.Mid(start));
}

CString RuleExportRecord(const RuleRecord& rule) {
  const CString fields[kFieldCount] = {
      rule.operation,        rule.pathIn,           rule.pathOut,
      rule.pathError,        JoinList(rule.masks),  JoinList(rule.recipients),
      Number(rule.isOn),     rule.zcsProfile,       Number(rule.inFormatDet),
      Number(rule.outFormatDet), rule.resignProfile, rule.pathOut2,
      rule.description,      JoinSignerLists(rule.signerLists), Number(rule.zipFile),
      rule.delExt,           rule.addExt,           rule.folders,
      rule.copyFolders,      Number(rule.archCount), Number(rule.archSize),
      Number(rule.archTimeout), rule.archName,      rule.execName,
      Number(rule.execTimeout), Number(rule.stream), Number(rule.encAlgorithm),
  };
  CString record;
  for (int i = 0; i < kFieldCount; ++i) {
    record += fields[i];
    record += i + 1 < kFieldCount ? L"\n" : L"\n\r";
  }
  return record;
}

RuleRecord ImportRuleFields(const CStringArray& fields) {
  RuleRecord rule;
  const auto has = [&fields](int index) { return index < fields.GetSize(); };
  rule.operation = fields[0];
  rule.pathIn = fields[1];
  rule.pathOut = fields[2];
  rule.pathError = fields[3];
  rule.masks = ImportList(fields[4]);
  rule.recipients = ImportList(fields[5]);
  rule.isOn = FieldNumber(fields[6]);
  rule.zcsProfile = fields[7];
  rule.inFormatDet = FieldNumber(fields[8]);
  rule.outFormatDet = FieldNumber(fields[9]);
  rule.resignProfile = fields[10];
  rule.pathOut2 = fields[11];
  if (has(12)) rule.description = fields[12];
  if (has(13)) rule.signerLists = ImportSignerLists(fields[13]);
  if (has(14)) rule.zipFile = FieldNumber(fields[14]);
  if (has(15)) rule.delExt = fields[15];
  if (has(16)) rule.addExt = fields[16];
  if (has(17)) rule.folders = fields[17];
  if (has(18)) rule.copyFolders = fields[18];
  if (has(19)) rule.archCount = FieldNumber(fields[19]);
  if (has(20)) rule.archSize = FieldNumber(fields[20]);
  if (has(21)) rule.archTimeout = FieldNumber(fields[21]);
  if (has(22)) rule.archName = fields[22];
  if (has(23)) rule.execName = fields[23];
  if (has(24)) rule.execTimeout = FieldNumber(fields[24]);
  if (has(25)) rule.stream = FieldNumber(fields[25]);
  if (has(26)) rule.encAlgorithm = FieldNumber(fields[26]);
  CompleteArchiveRule(rule);
  return rule;
}

std::vector<RuleRecord> ParseRulesExport(const std::string& bytes) {
  std::vector<RuleRecord> rules;
  size_t start = 0;
  for (size_t end = bytes.find("\n\r", start); end != std::string::npos;
       end = bytes.find("\n\r", start)) {
    const std::string record = bytes.substr(start, end - start);
    start = end + 2;
    if (record.empty() || record.find('\n') == std::string::npos) continue;
    CStringArray fields;
    SplitLines(CString(platform::MultiByteToWide(record).c_str()), fields);
    if (fields.GetSize() < kLeastFieldCount) continue;
    rules.push_back(ImportRuleFields(fields));
  }
  return rules;
}

bool BuildRulesExport(const std::vector<RuleRecord>& rules, std::string& bytes, int& refused) {
  bytes.clear();
  for (size_t i = 0; i < rules.size(); ++i) {
    const std::string record = AnsiOf(RuleExportRecord(rules[i]));
    // The format has no escapes: a rule is written only when its record reads
    // back as the same rule, so that no text shifts the fields after it.
    RuleRecord expected = rules[i];
    CompleteArchiveRule(expected);
    const std::vector<RuleRecord> back = ParseRulesExport(record);
    if (back.size() != 1 || RuleExportRecord(back[0]) != RuleExportRecord(expected) ||
        !SameLists(back[0], expected)) {
      refused = static_cast<int>(i);
      return false;
    }
    bytes += record;
  }
  return true;
}

CString ExportRefusalText(const RuleRecord& rule, int position) {
  CString named;
  if (rule.description.IsEmpty()) {
    named.Format(L"%d", position + 1);
  } else {
    named.Format(L"%d ('%s')", position + 1, rule.description.GetString());
  }
  return FormatReportMessage(
      WidenFormat("Правило %s не может быть экспортировано: его тексты содержат перевод строки, "
                  "разделитель списка (\";;\" или \";\\;\") или знаки вне кодовой страницы."),
      named);
}
