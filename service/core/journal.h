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

// The move record of the error-folder movers: a record with exactly this
// message format goes to the errors journal only.
inline constexpr const wchar_t* kMoveRecordFormat =
    L"Перемещение файла '%s' (размер: %s) в каталог ошибок '%s' (размер: %s)";
// The worker's start and stop records, repeated in the errors journal.
inline constexpr const wchar_t* kServiceStartMessage = L"Запуск АК СКЗИ Квелла: сервис";
inline constexpr const wchar_t* kServiceStopMessage = L"Остановка АК СКЗИ Квелла: сервис";

// Process-wide journal settings. The configuration load sets them before its
// first record; tests set them directly.
//  - profileName: the service's own profile name; journal file names always
//    carry it, whatever profile text a record shows.
//  - logFileSizeKb: the "Log filesize" setting; a file stays current while it
//    is at most logFileSizeKb * 1000 bytes (computed in 64 bits, so large
//    settings do not wrap).
void SetJournalSettings(const CString& profileName, DWORD logFileSizeKb);
CString JournalProfileName();
ULONGLONG JournalSizeLimit();

// Chooses the current file of one journal in folder: the newest journal file
// of the suffix when it is of today or later (clock set back), passing on to
// the next parts of its date while they are full (each one opened, and so
// created); else today's first file, which is neither created nor opened.
// Returns 0 and sets name (bare), or leaves name unchanged and returns the
// listing's system error or the file-exception cause of a failed open.
// Reports nothing itself.
DWORD SelectJournalFile(const CString& folder, const CString& suffix, CString& name);

// Writes one record; returns 0, or the code of the failure (the listing's
// system error, or the file-exception cause of an open or write: 5 access
// denied, 11 sharing violation, 13 disk full ...), which the caller treats
// as fatal. The failure has already been reported to the console and the
// event log when this returns.
//
// message: the record's text; its "%s" are filled in order from args (no
// other "%" is interpreted, so a finished message with all args empty is
// written unchanged). description empty: the code's ErrorDescription. extra:
// the failing step's text. detail: lines written after the errors line (the
// library's error stack).
//
// A record goes to the operations journal, and to the errors journal as well
// when code is not 0; start and stop records with code 0 also go to the
// errors journal; move records (message == kMoveRecordFormat) go to the
// errors journal only. files holds the bare names of the current files and
// is updated (both journals are chosen for every record).
DWORD WriteJournal(const CString& journalFolder, JournalFiles& files, const CString& profile,
                   DWORD code, const CString& message, const CString& description = CString(),
                   const CString& extra = CString(), const CString& arg1 = CString(),
                   const CString& arg2 = CString(), const CString& arg3 = CString(),
                   const CString& arg4 = CString(), const CString& arg5 = CString(),
                   const CString& arg6 = CString(), const CString& detail = CString());
