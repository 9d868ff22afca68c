#include "monitor/journal_records.h"

#include <algorithm>

#include "common/journal_format.h"

RowTexts::RowTexts(std::initializer_list<const CString*> columns) {
  qsizetype length = 0;
  for (const CString* text : columns) length += text->GetLength();
  joined_.reserve(length);  // wide characters become at most two UTF-16 units each
  for (const CString* text : columns) {
    if (count_ == kMaxColumns) break;
    joined_ += QString::fromWCharArray(text->GetString(), text->GetLength());
    ends_[static_cast<std::size_t>(count_++)] = static_cast<int>(joined_.size());
  }
}


QString RowTexts::column(int i) const {
  if (i < 0 || i >= count()) return {};
  const int start = i == 0 ? 0 : ends_[static_cast<std::size_t>(i) - 1];
  return joined_.mid(start, ends_[static_cast<std::size_t>(i)] - start);
}

JournalTime JournalTimeOf(const SYSTEMTIME& time) {
  auto field = [](WORD value) { return static_cast<JournalTime>(std::min<WORD>(value, 99)); };
  return ((((static_cast<JournalTime>(time.wYear) * 100 + field(time.wMonth)) * 100 +
            field(time.wDay)) * 100 + field(time.wHour)) * 100 + field(time.wMinute)) * 100 +
         field(time.wSecond);
}

bool ReadJournalTime(const CString& text, JournalTime& time) {
  SYSTEMTIME parsed;
  if (!ParseJournalTime(text, parsed)) return false;
  time = JournalTimeOf(parsed);
  return true;
}

void ReadOperationRecords(const std::vector<CString>& lines,
                          std::vector<OperationRecord>& records) {
  OperationsJournalRecord parsed;
  records.reserve(records.size() + lines.size());
  for (const CString& line : lines) {
    if (!ParseOperationsJournalLine(line, parsed)) continue;
    OperationRecord record;
    record.texts = RowTexts{&parsed.timeText, &parsed.profile, &parsed.message};
    record.time = JournalTimeOf(parsed.time);
    record.success = parsed.success;
    records.push_back(std::move(record));
  }
}

void ReadErrorRecords(const std::vector<CString>& lines, std::vector<ErrorRecord>& records) {
  ErrorsJournalRecord parsed;
  for (const CString& record : JoinErrorsJournalRecords(lines)) {
    if (!ParseErrorsJournalRecord(record, parsed)) continue;
    ErrorRecord read;
    read.texts = RowTexts{&parsed.timeText, &parsed.text};
    read.time = JournalTimeOf(parsed.time);
    records.push_back(std::move(read));
  }
}

std::vector<CString> SplitJournalLines(const std::wstring& text) {
  std::vector<CString> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    std::size_t stop = end;
    if (stop > start && text[stop - 1] == L'\r') --stop;
    lines.emplace_back(std::wstring_view(text).substr(start, stop - start));
    start = end + 1;
  }
  return lines;
}
