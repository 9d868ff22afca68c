#pragma once
// The journal records as the monitor's pages show them. The poller reads
// them off the window thread and hands over batches ready to become rows.
//
// A page may hold a million rows, so a record is kept as the 8-bit text it
// was read in (the shown columns only, back to back) plus a few numbers; its
// cells become wide text only when they are shown.

#include <QByteArray>
#include <QString>
#include <array>
#include <initializer_list>
#include <cstdint>
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
// The time of a time text; false (time untouched) when it does not parse.
bool ReadJournalTime(const CString& text, JournalTime& time);
// The same for the 8-bit time text as read from a journal.
bool ReadJournalTime(std::string_view text, JournalTime& time);

// Journal text (8-bit, in the ANSI code page) as shown.
QString DecodeJournalText(std::string_view text);

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

// Records read from one stretch of a journal. Operations records have the
// columns time text, profile, message; errors records time text and text.
struct RecordBatch {
  std::string text;
  // The text packed (zlib) instead: a large batch is packed before it is
  // handed over, and a page opens the block only to show its rows. Journal
  // lines repeat themselves, so this keeps a page of a million rows well
  // below the size of its journal.
  QByteArray packed;
  std::vector<RecordPlace> places;
  std::vector<JournalTime> times;
  std::vector<std::uint8_t> successes;  // 1 for "Успех"/"Success" (operations)

  int size() const { return static_cast<int>(places.size()); }
  bool empty() const { return places.empty(); }
  // Column texts and identities need the text unpacked.
  std::string_view Column(int record, int column) const;
  QString ColumnText(int record, int column) const { return DecodeJournalText(Column(record, column)); }
  // What tells two records apart when their times are equal: their column
  // texts and their result.
  std::string Identity(int record) const;
  // Keeps only the records for which keep(index) is true, in order.
  template <typename Keep>
  void KeepIf(Keep keep);
  // Packs text when it is large enough to gain from it; Unpack undoes it.
  void Pack();
  void Unpack();
  // Appends one record (columns at most kMaxRecordColumns).
  void Add(std::initializer_list<std::string_view> columns, JournalTime time, bool success);
};

// Turns the text of one journal file into records, stretch by stretch,
// remembering where each record began in the file.
//
// Operations: one record per line (without its CR LF); lines of another
// shape are left out. Errors: a line that holds " | " after its first
// character begins a record, any other line goes on the record before it
// (joined with " \r\n"); lines before the first record are dropped.
//
// A last line without a line feed counts. The record that ends the text may
// still go on when the file grows (a line still being written; for errors,
// stack lines still to come): Finish tells where it began.
class JournalReader {
 public:
  JournalReader(JournalKind kind, std::uint64_t offset);
  // The bytes that follow those given so far: complete records go into
  // batch.
  void Feed(std::string_view bytes, RecordBatch& batch);
  // The end of the text: the record still open goes into batch. Returns
  // true when batch's last record is that open record; openStart is then
  // its offset in the file.
  bool Finish(RecordBatch& batch, std::uint64_t& openStart);

 private:
  void TakeLine(std::string_view line, std::uint64_t start, RecordBatch& batch);
  void EndErrorsRecord(RecordBatch& batch);

  JournalKind kind_;
  std::uint64_t offset_;       // where the pending bytes begin in the file
  std::string pending_;        // bytes after the last line feed
  std::string record_;         // errors: the record being joined
  std::uint64_t recordStart_ = 0;
  bool haveRecord_ = false;
};

// The records of a whole text (tests and one-shot reads).
RecordBatch ReadJournalText(JournalKind kind, std::string_view text);

template <typename Keep>
void RecordBatch::KeepIf(Keep keep) {
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

// Packed text: Unpack gives it back (empty when it is damaged).
QByteArray PackText(std::string_view text);
std::string UnpackText(const QByteArray& packed);

// The text a row's data shows in the details dialog: " | " and then the
// closing brackets and sentences broken into lines, in the page kind's order
// (kind 0 operations, 1 errors).
QString DetailsText(const QString& data, int kind);
