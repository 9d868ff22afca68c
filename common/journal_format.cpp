#include "common/journal_format.h"

#include <string_view>

#include "platform/utf16.h"

namespace {

// Reads leading decimal digits; 0 when there are none.
int LeadingNumber(const CString& text) {
  int value = 0;
  for (int i = 0; i < text.GetLength() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    if (value < 100000000) value = value * 10 + (text[i] - L'0');
  }
  return value;
}

// The pieces of text between the separators, the last one included.
std::vector<CString> SplitAt(const CString& text, wchar_t separator) {
  std::vector<CString> pieces;
  int start = 0;
  for (;;) {
    int found = text.Find(separator, start);
    if (found < 0) {
      pieces.push_back(text.Mid(start));
      return pieces;
    }
    pieces.push_back(text.Mid(start, found - start));
    start = found + 1;
  }
}

// At most four fields: split at the first three " | "; the last keeps any
// further separators.
std::vector<CString> SplitFields(const CString& line) {
  const CString separator(kJournalFieldSeparator);
  std::vector<CString> fields;
  int start = 0;
  while (fields.size() < 3) {
    int found = line.Find(separator, start);
    if (found < 0) break;
    fields.push_back(line.Mid(start, found - start));
    start = found + separator.GetLength();
  }
  fields.push_back(line.Mid(start));
  return fields;
}

}  // namespace

CString OperationsJournalSuffix(const CString& profileName) { return profileName; }
CString ErrorsJournalSuffix(const CString& profileName) { return profileName + L" - errors"; }

CString JournalFileName(int year, int month, int day, const CString& suffix) {
  CString name;
  name.Format(L"%02d.%02d.%02d", year, month, day);
  return name + L" " + suffix + L".txt";
}

CString JournalPartFileName(int year, int month, int day, int part, const CString& suffix) {
  CString name;
  name.Format(L"%02d.%02d.%02d.%02d", year, month, day, part);
  return name + L" " + suffix + L".txt";
}

CString JournalFilePattern(const CString& suffix) { return L"????.??.??* " + suffix + L".txt"; }

bool ParseJournalName(const CString& name, const CString& suffix, JournalNameKey& key) {
  int blank = name.Find(L' ');
  if (blank <= 0) return false;
  if (name.Mid(blank + 1) != suffix + L".txt") return false;
  const std::vector<CString> pieces = SplitAt(name.Left(blank), L'.');
  if (pieces.size() < 3) return false;
  key.year = LeadingNumber(pieces[0]);
  key.month = LeadingNumber(pieces[1]);
  key.day = LeadingNumber(pieces[2]);
  key.part = pieces.size() > 3 ? LeadingNumber(pieces[3]) : 0;
  return true;
}

CString JournalTimeText(const SYSTEMTIME& t) {
  CString text;
  text.Format(L"%02d:%02d:%02d %02d/%02d/%02d", t.wHour, t.wMinute, t.wSecond, t.wDay, t.wMonth, t.wYear);
  return text;
}

bool ParseJournalTime(const CString& text, SYSTEMTIME& time) {
  int blank = text.Find(L' ');
  if (blank < 0) return false;
  const std::vector<CString> clock = SplitAt(text.Left(blank), L':');
  const std::vector<CString> date = SplitAt(text.Mid(blank + 1), L'/');
  if (clock.size() < 3 || date.size() < 3) return false;
  time = SYSTEMTIME{};
  time.wHour = static_cast<WORD>(LeadingNumber(clock[0]));
  time.wMinute = static_cast<WORD>(LeadingNumber(clock[1]));
  time.wSecond = static_cast<WORD>(LeadingNumber(clock[2]));
  time.wDay = static_cast<WORD>(LeadingNumber(date[0]));
  time.wMonth = static_cast<WORD>(LeadingNumber(date[1]));
  time.wYear = static_cast<WORD>(LeadingNumber(date[2]));
  return true;
}

namespace {

bool IsControlCharacter(wchar_t c) {
  return c < 0x20 || c == 0x7F || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// The CR LF pairs of text that stay line breaks: each one whose line holds
// no field separator, and so cannot pass for the start of a record. A line
// runs to the next break that stays, since every other control character,
// an escaped CR LF included, is written as text and joins what it separated.
// Decided from the end, so each line is known whole when its break is.
std::vector<bool> KeptLineBreaks(const CString& text) {
  const int length = text.GetLength();
  std::vector<bool> kept(static_cast<std::size_t>(length), false);
  bool separatorAhead = false;  // in the line from here to the next kept break
  for (int i = length - 1; i >= 0; --i) {
    if (text[i] == L'\r' && i + 1 < length && text[i + 1] == L'\n') {
      if (!separatorAhead) kept[static_cast<std::size_t>(i)] = true;
      continue;  // a kept break begins a line with no separator; an escaped one keeps the line's
    }
    const std::wstring_view rest(text.GetString() + i, static_cast<std::size_t>(length - i));
    if (rest.starts_with(kJournalFieldSeparator)) separatorAhead = true;
  }
  return kept;
}

}  // namespace

CString EscapeJournalText(const CString& text, bool keepLineBreaks) {
  CString out;
  const int length = text.GetLength();
  const std::vector<bool> kept = keepLineBreaks ? KeptLineBreaks(text) : std::vector<bool>();
  for (int i = 0; i < length; ++i) {
    const wchar_t c = text[i];
    // A byte of a file name that is not valid in the file-name encoding:
    // shown as the byte it is, since no character stands for it.
    if (const int byte = platform::FileNameByte(c); byte >= 0) {
      CString escaped;
      escaped.Format(L"\\x%02X", static_cast<unsigned>(byte));
      out += escaped;
      continue;
    }
    if (!IsControlCharacter(c)) {
      out += c;
      continue;
    }
    if (keepLineBreaks && kept[static_cast<std::size_t>(i)]) {
      out += L"\r\n";
      ++i;
      continue;
    }
    CString escaped;
    if (c == L'\r')
      escaped = L"\\r";
    else if (c == L'\n')
      escaped = L"\\n";
    else if (c == L'\t')
      escaped = L"\\t";
    else if (c < 0x100)
      escaped.Format(L"\\x%02X", static_cast<unsigned>(c));
    else
      escaped.Format(L"\\u%04X", static_cast<unsigned>(c));
    out += escaped;
  }
  return out;
}

CString OperationsJournalLine(const CString& timeText, const CString& profile, bool success,
                              const CString& message) {
  return timeText + kJournalFieldSeparator + kJournalProfileLabel + profile + kJournalFieldSeparator +
         (success ? kJournalSuccessWord : kJournalFailureWord) + kJournalFieldSeparator + message + L"\r\n";
}

CString ErrorsJournalLine(const CString& timeText, const CString& text) {
  return timeText + kJournalFieldSeparator + text + L"\r\n";
}

bool ParseOperationsJournalLine(const CString& line, OperationsJournalRecord& record) {
  const std::vector<CString> fields = SplitFields(line);
  if (fields.size() < 4) return false;
  int blank = fields[1].Find(L' ');
  if (blank < 0) return false;
  if (!ParseJournalTime(fields[0], record.time)) return false;
  record.timeText = fields[0];
  record.profile = fields[1].Mid(blank + 1);
  record.success = fields[2] == kJournalSuccessWord || fields[2] == L"Success";
  record.message = fields[3];
  return true;
}

std::vector<CString> JoinErrorsJournalRecords(const std::vector<CString>& lines) {
  std::vector<CString> records;
  for (const CString& line : lines) {
    if (line.Find(kJournalFieldSeparator) > 0)
      records.push_back(line);
    else if (!records.empty())
      records.back() += L" \r\n" + line;
  }
  return records;
}

bool ParseErrorsJournalRecord(const CString& record, ErrorsJournalRecord& parsed) {
  const std::vector<CString> fields = SplitFields(record);
  if (!ParseJournalTime(fields[0], parsed.time)) return false;
  parsed.timeText = fields[0];
  parsed.text = fields.size() > 1 ? fields[1] : CString();
  return true;
}
