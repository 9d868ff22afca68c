#pragma once
// The journal files as the service writes them and the monitor reads them:
// their names and the layout of their records. Per profile there are two
// journals, daily text files continued in numbered parts once one passes the
// size limit:
//
//   2026.12.09 Банк.txt                 first operations journal of the day
//   2026.12.09.01 Банк.txt              its next part, then .02 ... .99, .100
//   2026.12.09 Банк - errors.txt        first errors journal of the day
//
//   operations record: "14:05:09 09/12/2026 | Профиль: Банк | Успех | <message>\r\n"
//                      (the message may itself hold " | ")
//   errors record:     "14:05:09 09/12/2026 | Ошибка 0x5 - <description>. <extra>\r\n"
//                      followed by the library's error-stack lines, which hold no " | "
//
// Lines are 8-bit text in the ANSI code page ending with CR LF; files are
// only appended to, one record per write. Everything here is pure text work:
// no file is touched, any thread may call it.

#include <vector>

#include "platform/cstring.h"
#include "platform/windows_types.h"

inline constexpr const wchar_t* kJournalFieldSeparator = L" | ";
inline constexpr const wchar_t* kJournalProfileLabel = L"Профиль: ";
inline constexpr const wchar_t* kJournalSuccessWord = L"Успех";
inline constexpr const wchar_t* kJournalFailureWord = L"Ошибка";

// The names of the two journals of a profile, which follow the date in the
// file names: "<profile>" and "<profile> - errors".
CString OperationsJournalSuffix(const CString& profileName);
CString ErrorsJournalSuffix(const CString& profileName);

// File names: the first file of a date, and a numbered part of it (part >= 1).
CString JournalFileName(int year, int month, int day, const CString& suffix);
CString JournalPartFileName(int year, int month, int day, int part, const CString& suffix);
// The wildcard pattern that lists the files of one journal (it also lists
// those of a journal whose name ends in a blank and this suffix: confirm
// each with ParseJournalName).
CString JournalFilePattern(const CString& suffix);

// The (year, month, day, part) key of a journal file name of the suffix, read
// from the text before the first blank, each piece as the decimal digits it
// starts with; part 0 for the first file of a date. False when the name is no
// journal file of this suffix (no text before a blank, fewer than three
// dotted pieces, or the text after the first blank is not exactly suffix +
// ".txt"). Keys order by date, then part.
struct JournalNameKey {
  int year = 0;
  int month = 0;
  int day = 0;
  int part = 0;
  auto operator<=>(const JournalNameKey&) const = default;
};
bool ParseJournalName(const CString& name, const CString& suffix, JournalNameKey& key);

// A record's time: "%02d:%02d:%02d %02d/%02d/%02d" of hour, minute, second,
// day, month, four-digit year (local time).
CString JournalTimeText(const SYSTEMTIME& time);
// The reverse: the text before the first blank split at ":", the rest at "/",
// at least three pieces each, read as decimal numbers; day of week and
// milliseconds 0. Ranges are not checked. False when the shape is wrong.
bool ParseJournalTime(const CString& text, SYSTEMTIME& time);

// Text as it may go into a record, so that every reader still sees one
// record where one was written (a file name may hold any character but '/'
// and NUL): control characters (below 0x20, 0x7F, U+0085, U+2028, U+2029)
// become "\r", "\n", "\t" or "\xHH" / "\uHHHH", and a byte of a file name
// that is not valid in the file-name encoding (platform::FileNameToWide)
// becomes "\xHH" of that byte. With keepLineBreaks a CR LF
// stays when the line it begins cannot be taken for the start of a record
// (it holds no " | "), for the multi-line texts of the errors journal.
CString EscapeJournalText(const CString& text, bool keepLineBreaks = false);

// The operations record (with its CR LF) of a result: "Успех" when success.
CString OperationsJournalLine(const CString& timeText, const CString& profile, bool success,
                              const CString& message);
// The first line of an errors record (with its CR LF): time " | " text.
CString ErrorsJournalLine(const CString& timeText, const CString& text);

// An operations record as read back.
struct OperationsJournalRecord {
  CString timeText;
  SYSTEMTIME time{};
  CString profile;
  bool success = false;  // the result field is exactly "Успех" (or "Success")
  CString message;       // everything after the third " | ", as given
};
// Reads one line (without its LF; a CR before it stays in the message): at
// least four fields split at the first three " | ", a profile field with a
// blank (the profile is what follows its first blank), a time that parses.
// False for any other line.
bool ParseOperationsJournalLine(const CString& line, OperationsJournalRecord& record);

// The lines of an errors journal (each without its LF) joined into records:
// a line with " | " after its first character starts a record; any other
// line is appended to the record before it as " \r\n" + line; lines before
// the first record are dropped.
std::vector<CString> JoinErrorsJournalRecords(const std::vector<CString>& lines);

// An errors record as read back.
struct ErrorsJournalRecord {
  CString timeText;
  SYSTEMTIME time{};
  CString text;  // the field after the time, up to a further " | ", joined lines included
};
// Reads one joined record; false when its time does not parse.
bool ParseErrorsJournalRecord(const CString& record, ErrorsJournalRecord& parsed);
