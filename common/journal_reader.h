#pragma once
// The one reader of the journals (layout in common/journal_format.h): the
// monitor reads them through it, and so do the tests that check what the
// service writes. It works on the 8-bit text as the file holds it, since a
// journal may hold a million records: a record is kept as its column texts
// back to back in one block plus a few numbers, and becomes wide text only
// where it is shown. Pure text work: no file is touched, and a reader or a
// record block belongs to the thread that uses it.

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
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

// A record's time text read back (JournalTimeText writes it): the text
// before the first blank split at ":", the rest at "/", at least three
// pieces each, each read as the decimal digits it starts with (0 when none);
// day of week and milliseconds 0. Ranges are not checked. False (time
// untouched) when the shape is wrong.
bool ReadJournalTime(std::string_view text, SYSTEMTIME& time);
bool ReadJournalTime(std::string_view text, JournalTime& time);
// The same for a time text kept as wide text (the monitor's stored marks);
// it reads exactly as the same text in a journal would.
bool ReadJournalTime(const CString& text, JournalTime& time);

// Which journal of a pair.
enum class JournalKind { Operations, Errors };

inline constexpr int kMaxRecordColumns = 3;

// Where a record's column texts lie in a text block: back to back from start,
// column i ending at ends[i].
struct RecordPlace {
  std::uint32_t start = 0;
  std::array<std::uint32_t, kMaxRecordColumns> ends{};
  std::uint8_t count = 0;
};

// Records read from one stretch of a journal, in the journal's 8-bit text.
// Operations records have the columns time text, profile, message; errors
// records time text and text.
struct JournalRecords {
  std::string text;
  std::vector<RecordPlace> places;
  std::vector<JournalTime> times;
  std::vector<std::uint8_t> successes;  // 1 for "Успех"/"Success" (operations)

  int size() const { return static_cast<int>(places.size()); }
  bool empty() const { return places.empty(); }
  std::string_view Column(int record, int column) const;
  // What tells two records apart when their times are equal: their column
  // texts and their result.
  std::string Identity(int record) const;
  // Keeps only the records for which keep(index) is true, in order.
  template <typename Keep>
  void KeepIf(Keep keep);
  // Appends one record (columns at most kMaxRecordColumns).
  void Add(std::initializer_list<std::string_view> columns, JournalTime time, bool success);
};

// Turns the text of one journal file into records, stretch by stretch,
// remembering where each record began in the file. Lines end at a line feed;
// a carriage return before it is not part of the line.
//
// Operations: one record per line: at least four fields split at the first
// three " | " (the message keeps any further ones), a profile field with a
// blank (the profile is what follows its first blank), a time that reads;
// lines of another shape are left out. The result is success when the third
// field is exactly "Успех" (in the ANSI code page in effect when the reader
// is made) or "Success".
// Errors: a line that holds " | " after its first character begins a record,
// any other line goes on the record before it (joined with " \r\n"); lines
// before the first record are dropped. A record whose time does not read is
// left out; its text is the field after the time, up to a further " | ".
//
// A last line without a line feed counts. The record that ends the text may
// still go on when the file grows (a line still being written; for errors,
// stack lines still to come): Finish tells where it began.
class JournalReader {
 public:
  JournalReader(JournalKind kind, std::uint64_t offset);
  // The bytes that follow those given so far: complete records go into
  // records.
  void Feed(std::string_view bytes, JournalRecords& records);
  // The end of the text: the record still open goes into records. Returns
  // true when the last record added is that open record; openStart is then
  // its offset in the file.
  bool Finish(JournalRecords& records, std::uint64_t& openStart);

 private:
  void TakeLine(std::string_view line, std::uint64_t start, JournalRecords& records);
  void EndErrorsRecord(JournalRecords& records);

  JournalKind kind_;
  std::string successWord_;    // "Успех" in the ANSI code page
  std::uint64_t offset_;       // where the pending bytes begin in the file
  std::string pending_;        // bytes after the last line feed
  std::string record_;         // errors: the record being joined
  std::uint64_t recordStart_ = 0;
  bool haveRecord_ = false;
};

// The records of a whole text (tests and one-shot reads).
JournalRecords ReadJournalText(JournalKind kind, std::string_view text);

template <typename Keep>
void JournalRecords::KeepIf(Keep keep) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < places.size(); ++i) {
    if (!keep(static_cast<int>(i))) continue;
    places[kept] = places[i];
    times[kept] = times[i];
    successes[kept] = successes[i];
    ++kept;
  }
  places.resize(kept);
  times.resize(kept);
  successes.resize(kept);
}
