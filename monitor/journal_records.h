#pragma once
// The journal records as the monitor's pages show them. The poller reads
// them with the shared journal format (common/journal_format.h) off the
// window thread and hands over these, ready to become rows.

#include <QString>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "platform/cstring.h"
#include "platform/windows_types.h"

// A record's time as a number that orders like the time (year, month, day,
// hour, minute, second); whole seconds, so one less is "the second before".
// 0 means "no time" (a mark that is not set). Fields out of their range are
// clamped (a second of 75 counts as 99), so that every time text that parses
// has its place in the order, even one that names no real moment.
using JournalTime = std::int64_t;
JournalTime JournalTimeOf(const SYSTEMTIME& time);
// The time of a time text; false (time untouched) when it does not parse.
bool ReadJournalTime(const CString& text, JournalTime& time);

// The column texts of a row in one string, so that a row costs one
// allocation: a page of a million rows is mostly these.
class RowTexts {
 public:
  static constexpr int kMaxColumns = 3;
  RowTexts() = default;
  // The columns given (at most kMaxColumns).
  explicit RowTexts(std::initializer_list<const CString*> columns);
  int count() const { return count_; }
  // Column i (empty past the last).
  QString column(int i) const;

 private:
  QString joined_;
  std::array<int, kMaxColumns> ends_{};
  int count_ = 0;
};

struct OperationRecord {
  RowTexts texts;  // time as written, profile (after its field's first blank), message
  JournalTime time = 0;
  bool success = false;
  QString timeText() const { return texts.column(0); }
  QString profile() const { return texts.column(1); }
  QString message() const { return texts.column(2); }
};

struct ErrorRecord {
  RowTexts texts;  // time as written, the field after it (continuation lines joined)
  JournalTime time = 0;
  QString timeText() const { return texts.column(0); }
  QString text() const { return texts.column(1); }
};

// Appends the records of complete operations-journal lines (each without its
// line ending); lines of another shape are left out.
void ReadOperationRecords(const std::vector<CString>& lines, std::vector<OperationRecord>& records);
// Joins errors-journal lines into records and appends those whose time
// parses; lines before the first record are dropped.
void ReadErrorRecords(const std::vector<CString>& lines, std::vector<ErrorRecord>& records);

// The lines of a stretch of journal text that ends with a line feed, each
// without its CR LF.
std::vector<CString> SplitJournalLines(const std::wstring& text);
