#pragma once
// The journal records as the monitor's pages show them. The poller reads
// them off the window thread (common/journal_reader.h) and hands over
// batches ready to become rows.
//
// A page may hold a million rows, so a record is kept as the 8-bit text it
// was read in (the shown columns only, back to back) plus a few numbers; its
// cells become wide text only when they are shown.

#include <QByteArray>
#include <QString>
#include <string>
#include <string_view>
#include <utility>

#include "common/journal_reader.h"

// Journal text (8-bit, in the ANSI code page) as shown: decoded, and with
// the journal's escapes undone, so that each name shows as it is (a byte of
// a name that no character stands for shows as U+FFFD).
QString DecodeJournalText(std::string_view text);

// Records read from one stretch of a journal, as handed to a page.
struct RecordBatch : JournalRecords {
  RecordBatch() = default;
  // The records as the reader gives them (not explicit: a batch is what was read).
  RecordBatch(JournalRecords records) : JournalRecords(std::move(records)) {}

  // The text packed (zlib) instead: a large batch is packed before it is
  // handed over, and a page opens the block only to show its rows. Journal
  // lines repeat themselves, so this keeps a page of a million rows well
  // below the size of its journal.
  QByteArray packed;

  // Column texts and identities need the text unpacked.
  QString ColumnText(int record, int column) const { return DecodeJournalText(Column(record, column)); }
  // Packs text when it is large enough to gain from it; Unpack undoes it.
  void Pack();
  void Unpack();
};

// Packed text: Unpack gives it back (empty when it is damaged).
QByteArray PackText(std::string_view text);
std::string UnpackText(const QByteArray& packed);

// The text a row's data shows in the details dialog: " | " and then the
// closing brackets and sentences broken into lines, in the page kind's order
// (kind 0 operations, 1 errors).
QString DetailsText(const QString& data, int kind);
