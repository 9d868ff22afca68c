#pragma once
// The service's journals: per profile an operations journal (one line per
// handled file or event) and an errors journal (every failure with its code,
// description and detail, and the records of the error-folder movers). Both
// are daily text files in the journal folder, continued in numbered parts
// when one passes the size limit. The monitor program reads them, so the file
// names and the line layouts below are a contract between the two programs:
//
//   2026.12.09 Банк.txt                 first operations journal of the day
//   2026.12.09.01 Банк.txt              its next part, then .02 ... .99, .100
//   2026.12.09 Банк - errors.txt        first errors journal of the day
//
//   operations line: "14:05:09 09/12/2026 | Профиль: Банк | Успех | <message>\r\n"
//   errors line:     "14:05:09 09/12/2026 | Ошибка 0x5 - <description>. <extra>\r\n<detail>"
//
// Lines are written in the ANSI code page and end with CR LF; files are only
// appended to. No journal file is held open between records, so the monitor
// may read them at any time.
//
// Only the worker thread writes journals; nothing here is locked.

#include <string>

#include "platform/cstring.h"
#include "platform/windows_types.h"
#include "service/core/config_records.h"

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

// The suffixes of the two journals of a profile: "<profile>" and
// "<profile> - errors".
CString OperationsJournalSuffix(const CString& profileName);
CString ErrorsJournalSuffix(const CString& profileName);

// File names: the first file of a date, and a numbered part of it (part >= 1).
CString JournalFileName(int year, int month, int day, const CString& suffix);
CString JournalPartFileName(int year, int month, int day, int part, const CString& suffix);

// The (year, month, day, part) key of a journal file name of the suffix, read
// from the text before the first blank; false when the name is no journal
// file of this suffix (no key, fewer than three dotted pieces, or the text
// after the first blank is not exactly suffix + ".txt").
struct JournalNameKey {
  int year = 0;
  int month = 0;
  int day = 0;
  int part = 0;
  auto operator<=>(const JournalNameKey&) const = default;
};
bool ParseJournalName(const CString& name, const CString& suffix, JournalNameKey& key);

// "%lld" of the file's size in bytes, or "0" when the file cannot be opened
// for reading with read sharing only (a file another handle holds open for
// writing counts as not openable). Never fails.
CString FileSizeText(const CString& path);

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
