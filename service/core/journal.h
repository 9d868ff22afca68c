#pragma once
// The service's journals: per profile an operations journal (one line per
// handled file or event) and an errors journal (every failure with its code,
// description and detail, and the records of the error-folder movers). The
// file names and line layouts are in common/journal_format.h: the monitor
// reads the journals through the same code. No journal file is held open
// between records, so the monitor may read them at any time.
//
// Only the worker thread writes journals; nothing here is locked.

#include <string>

#include "common/config_records.h"
#include "common/journal_format.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"

// Whose journals a writer writes and how large a file of them grows:
//  - profileName: the service's own profile name; journal file names always
//    carry it, whatever profile text a record shows.
//  - sizeLimit: a file stays current while it is at most this many bytes
//    ("Log filesize" * 1000, see MakeJournalSettings).
// The configuration load makes them (ServiceConfiguration); the worker keeps
// them with its journal files.
struct JournalSettings {
  CString profileName{};
  ULONGLONG sizeLimit = 400ull * 1000ull;
};

// The settings of profileName with a "Log filesize" of logFileSizeKb (the
// limit computed in 64 bits, so large settings do not wrap).
JournalSettings MakeJournalSettings(const CString& profileName, DWORD logFileSizeKb);

// A profile's journals as one writer keeps them: their settings and the
// names of the current files, empty until the first record. The journal
// writer chooses and rotates the names; the worker keeps them for its run
// (WorkerState).
struct JournalFiles {
  JournalSettings settings{};
  CString operationsFile{};
  CString errorsFile{};
};

// The worker's start and stop messages (records of kind kStartStop).
inline constexpr const wchar_t* kServiceStartMessage = L"Запуск АК СКЗИ Квелла: сервис";
inline constexpr const wchar_t* kServiceStopMessage = L"Остановка АК СКЗИ Квелла: сервис";

// Chooses the current file of one journal in folder: the newest journal file
// of the suffix when it is of today or later (clock set back), passing on to
// the next parts of its date while they are full (more than sizeLimit bytes;
// each one opened, and so created); else today's first file, which is neither
// created nor opened.
// Returns 0 and sets name (bare), or leaves name unchanged and returns the
// listing's system error or the file-exception cause of a failed open.
// Reports nothing itself.
DWORD SelectJournalFile(const CString& folder, const CString& suffix, ULONGLONG sizeLimit, CString& name);

// Where a record goes.
enum class JournalRecordKind {
  // A handled file or event: the operations journal, and the errors journal
  // as well when code is not 0.
  kOrdinary,
  // A record of the error-folder movers: the errors journal only, as one
  // line holding the message and, when code is not 0, the failure.
  kMove,
  // The worker's start or stop (code 0): the operations journal, with the
  // message repeated in the errors journal.
  kStartStop,
};

// One journal record.
//  - message: finished text, written as it stands. Callers fill their formats
//    first (FormatText), so nothing a file name holds is ever read as a format.
//  - description: the failure's text; empty gives the code's ErrorDescription.
//  - step: the failing step's text, after the description in the errors line.
//  - detail: lines written after the errors line (the library's error stack).
// description, step and detail are written only when code is not 0.
struct JournalRecord {
  JournalRecordKind kind{JournalRecordKind::kOrdinary};
  DWORD code{0};
  CString message{};
  CString description{};
  CString step{};
  CString detail{};
};

// Writes one record where its kind sends it; returns 0, or the code of the
// failure (the listing's system error, or the file-exception cause of an
// open or write: 5 access denied, 11 sharing violation, 13 disk full ...),
// which the caller treats as fatal. The failure has already been reported to
// the console and the event log when this returns.
//
// profile is the profile text the operations line shows. files gives the
// journals' settings and holds the bare names of the current files, which are
// updated (both journals are chosen for every record, whichever it goes to).
DWORD WriteJournal(const CString& journalFolder, JournalFiles& files, const CString& profile,
                   const JournalRecord& record);
