// The journals' text, which the monitor reads from a folder that others may
// write to. Arbitrary bytes go through the monitor's reader as a whole and in
// stretches cut where the input says (as the poller meets a growing file):
// both give the same records. Their cells are decoded and laid out as the
// details dialog shows them, and a page's packed text unpacks to itself.
// Then the same bytes, as a text the service puts into a record, must give
// exactly one record that reads back as written: escaping keeps every record
// one record.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/journal_format.h"
#include "fuzz/fuzz_scratch.h"
#include "monitor/journal_records.h"
#include "platform/codepage.h"

namespace {

const CString kTime = L"14:05:09 09/12/2026";

bool SameRecords(const RecordBatch& a, const RecordBatch& b) {
  if (a.size() != b.size() || a.times != b.times || a.successes != b.successes) return false;
  for (int i = 0; i < a.size(); ++i)
    for (int column = 0; column < kMaxRecordColumns; ++column)
      if (a.places[static_cast<std::size_t>(i)].count != b.places[static_cast<std::size_t>(i)].count ||
          (column < a.places[static_cast<std::size_t>(i)].count && a.Column(i, column) != b.Column(i, column)))
        return false;
  return true;
}

// Reads text as the poller does, in stretches of the lengths cuts' bytes give.
RecordBatch ReadInStretches(JournalKind kind, std::string_view text, std::string_view cuts) {
  RecordBatch batch;
  JournalReader reader(kind, 0);
  std::size_t at = 0;
  for (std::size_t k = 0; at < text.size(); ++k) {
    const std::size_t length = cuts.empty() ? text.size() : 1 + static_cast<unsigned char>(cuts[k % cuts.size()]);
    const std::size_t piece = std::min(length, text.size() - at);
    reader.Feed(text.substr(at, piece), batch);
    at += piece;
  }
  std::uint64_t openStart = 0;
  if (reader.Finish(batch, openStart) && openStart > text.size()) std::abort();
  return batch;
}

void ReadAsTheMonitor(JournalKind kind, std::string_view text, std::string_view cuts) {
  RecordBatch whole = ReadJournalText(kind, text);
  if (!SameRecords(whole, ReadInStretches(kind, text, cuts))) std::abort();
  for (int i = 0; i < whole.size(); ++i)
    (void)DetailsText(whole.ColumnText(i, kind == JournalKind::Operations ? 2 : 1), kind == JournalKind::Operations ? 0 : 1);
  if (UnpackText(PackText(whole.text)) != whole.text) std::abort();
}

std::string Ansi(const CString& text) { return platform::WideToMultiByte(text.GetString()); }

// An operations record whose message is text: one record that reads back
// with the escaped message, and that message unescaped is the text again
// (where the ANSI page holds every character of it).
void OperationsRecordRoundTrip(const CString& text) {
  const CString message = EscapeJournalText(text);
  const RecordBatch batch =
      ReadJournalText(JournalKind::Operations, Ansi(OperationsJournalLine(kTime, L"Main", false, message)));
  if (batch.size() != 1 || batch.Column(0, 1) != "Main" || batch.Column(0, 2) != Ansi(message) ||
      batch.successes[0] != 0)
    std::abort();
  const std::wstring read = platform::MultiByteToWide(batch.Column(0, 2));
  if (read == message.str() && UnescapeJournalText(CString(std::wstring_view(read))) != text) std::abort();
}

// An errors record whose description is text: one record, whatever line
// breaks the text holds.
void ErrorsRecordRoundTrip(const CString& text) {
  const CString record = ErrorsJournalLine(kTime, L"Ошибка 0x5 - " + EscapeJournalText(text, true) + L". ");
  const RecordBatch batch = ReadJournalText(JournalKind::Errors, Ansi(record));
  if (batch.size() != 1 || batch.Column(0, 0) != Ansi(kTime)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Scratch();  // a private store: the ANSI code page is its default
  // The stretches' lengths come from the text's own bytes.
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string_view cuts = text.substr(0, 16);
  ReadAsTheMonitor(JournalKind::Operations, text, cuts);
  ReadAsTheMonitor(JournalKind::Errors, text, cuts);
  const CString asText(platform::MultiByteToWide(text).c_str());
  OperationsRecordRoundTrip(asText);
  ErrorsRecordRoundTrip(asText);
  return 0;
}
