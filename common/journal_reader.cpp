#include "common/journal_reader.h"

#include <algorithm>

#include "common/journal_format.h"
#include "platform/codepage.h"
#include "platform/utf16.h"

namespace {

// The field separator as the journal holds it (ASCII in every code page).
const std::string_view kSeparator = " | ";

// Reads leading decimal digits; 0 when there are none.
int LeadingNumber(std::string_view text) {
  int value = 0;
  for (std::size_t i = 0; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value < 100000000) value = value * 10 + (text[i] - '0');
  }
  return value;
}

// The leading numbers of the first three pieces of text split at separator;
// false with fewer than three pieces.
bool ThreeNumbers(std::string_view text, char separator, int (&numbers)[3]) {
  std::size_t start = 0;
  for (int i = 0; i < 3; ++i) {
    const std::size_t found = text.find(separator, start);
    if (found == std::string_view::npos && i < 2) return false;
    const std::size_t end = found == std::string_view::npos ? text.size() : found;
    numbers[i] = LeadingNumber(text.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

// At most four fields: split at the first three " | "; the last keeps any
// further separators. Returns the number of fields.
int SplitFields(std::string_view line, std::string_view (&fields)[4]) {
  int count = 0;
  std::size_t start = 0;
  while (count < 3) {
    const std::size_t found = line.find(kSeparator, start);
    if (found == std::string_view::npos) break;
    fields[count++] = line.substr(start, found - start);
    start = found + kSeparator.size();
  }
  fields[count++] = line.substr(start);
  return count;
}

std::string_view WithoutCarriageReturn(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

JournalTime JournalTimeOf(const SYSTEMTIME& time) {
  auto field = [](WORD value) { return static_cast<JournalTime>(std::min<WORD>(value, 99)); };
  return ((((static_cast<JournalTime>(time.wYear) * 100 + field(time.wMonth)) * 100 +
            field(time.wDay)) * 100 + field(time.wHour)) * 100 + field(time.wMinute)) * 100 +
         field(time.wSecond);
}

bool ReadJournalTime(std::string_view text, SYSTEMTIME& time) {
  const std::size_t blank = text.find(' ');
  if (blank == std::string_view::npos) return false;
  int clock[3];
  int date[3];
  if (!ThreeNumbers(text.substr(0, blank), ':', clock) ||
      !ThreeNumbers(text.substr(blank + 1), '/', date)) {
    return false;
  }
  time = SYSTEMTIME{};
  time.wHour = static_cast<WORD>(clock[0]);
  time.wMinute = static_cast<WORD>(clock[1]);
  time.wSecond = static_cast<WORD>(clock[2]);
  time.wDay = static_cast<WORD>(date[0]);
  time.wMonth = static_cast<WORD>(date[1]);
  time.wYear = static_cast<WORD>(date[2]);
  return true;
}

bool ReadJournalTime(std::string_view text, JournalTime& time) {
  SYSTEMTIME parsed;
  if (!ReadJournalTime(text, parsed)) return false;
  time = JournalTimeOf(parsed);
  return true;
}

bool ReadJournalTime(const CString& text, JournalTime& time) {
  // UTF-8 keeps every ASCII character as its one byte and gives no other
  // character an ASCII byte: digits and separators stay where they were.
  return ReadJournalTime(std::string_view(platform::WideToUtf8(text.str())), time);
}

std::string_view JournalRecords::Column(int record, int column) const {
  const RecordPlace& place = places[static_cast<std::size_t>(record)];
  if (column < 0 || column >= place.count) return {};
  const std::uint32_t start = column == 0 ? place.start : place.ends[static_cast<std::size_t>(column) - 1];
  return std::string_view(text).substr(start, place.ends[static_cast<std::size_t>(column)] - start);
}

std::string JournalRecords::Identity(int record) const {
  std::string identity;
  const RecordPlace& place = places[static_cast<std::size_t>(record)];
  for (int column = 0; column < place.count; ++column) {
    identity += Column(record, column);
    identity += '\0';
  }
  identity += static_cast<char>(successes[static_cast<std::size_t>(record)]);
  return identity;
}

void JournalRecords::Add(std::initializer_list<std::string_view> columns, JournalTime time,
                         bool success) {
  RecordPlace place;
  place.start = static_cast<std::uint32_t>(text.size());
  for (std::string_view column : columns) {
    if (place.count == kMaxRecordColumns) break;
    text.append(column);
    place.ends[place.count++] = static_cast<std::uint32_t>(text.size());
  }
  places.push_back(place);
  times.push_back(time);
  successes.push_back(success ? 1 : 0);
}

JournalReader::JournalReader(JournalKind kind, std::uint64_t offset)
    : kind_(kind), successWord_(platform::WideToMultiByte(kJournalSuccessWord)), offset_(offset) {}

void JournalReader::Feed(std::string_view bytes, JournalRecords& records) {
  std::size_t start = 0;
  if (!pending_.empty()) {
    const std::size_t end = bytes.find('\n');
    if (end == std::string_view::npos) {
      pending_.append(bytes);
      return;
    }
    pending_.append(bytes.substr(0, end));
    TakeLine(WithoutCarriageReturn(pending_), offset_, records);
    offset_ += pending_.size() + 1;
    pending_.clear();
    start = end + 1;
  }
  for (;;) {
    const std::size_t end = bytes.find('\n', start);
    if (end == std::string_view::npos) break;
    TakeLine(WithoutCarriageReturn(bytes.substr(start, end - start)), offset_, records);
    offset_ += end - start + 1;
    start = end + 1;
  }
  pending_.assign(bytes.substr(start));
}

bool JournalReader::Finish(JournalRecords& records, std::uint64_t& openStart) {
  const int before = records.size();
  if (kind_ == JournalKind::Operations) {
    openStart = offset_;
    if (pending_.empty()) return false;
    TakeLine(WithoutCarriageReturn(pending_), offset_, records);
    return records.size() > before;
  }
  if (!pending_.empty()) TakeLine(WithoutCarriageReturn(pending_), offset_, records);
  openStart = haveRecord_ ? recordStart_ : offset_ + pending_.size();
  if (!haveRecord_) return false;
  EndErrorsRecord(records);
  return records.size() > before;
}

void JournalReader::TakeLine(std::string_view line, std::uint64_t start, JournalRecords& records) {
  if (kind_ == JournalKind::Errors) {
    const std::size_t separator = line.find(kSeparator);
    if (separator != std::string_view::npos && separator > 0) {
      if (haveRecord_) EndErrorsRecord(records);
      record_.assign(line);
      recordStart_ = start;
      haveRecord_ = true;
    } else if (haveRecord_) {
      record_.append(" \r\n");
      record_.append(line);
    }
    return;
  }
  std::string_view fields[4];
  if (SplitFields(line, fields) < 4) return;
  const std::size_t blank = fields[1].find(' ');
  if (blank == std::string_view::npos) return;
  JournalTime time = 0;
  if (!ReadJournalTime(fields[0], time)) return;
  const bool success = fields[2] == successWord_ || fields[2] == "Success";
  records.Add({fields[0], fields[1].substr(blank + 1), fields[3]}, time, success);
}

void JournalReader::EndErrorsRecord(JournalRecords& records) {
  haveRecord_ = false;
  std::string_view fields[4];
  const int count = SplitFields(record_, fields);
  JournalTime time = 0;
  if (!ReadJournalTime(fields[0], time)) return;
  records.Add({fields[0], count > 1 ? fields[1] : std::string_view()}, time, false);
}

JournalRecords ReadJournalText(JournalKind kind, std::string_view text) {
  JournalRecords records;
  JournalReader reader(kind, 0);
  reader.Feed(text, records);
  std::uint64_t open = 0;
  reader.Finish(records, open);
  return records;
}
