#pragma once
// The journal files as the service writes them and the monitor reads them:
// their names and the layout of their records (common/journal_reader.h
// reads the records back). Per profile there are two
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
//   move record:       "14:05:09 09/12/2026 | <message>. Ошибка 0xB7 - <description>. <step>. \r\n"
//                      (errors journal only; the failure's part only for a failure)
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
// ReadJournalTime (common/journal_reader.h) reads it back.

// Text as it may go into a record, so that every reader still sees one
// record where one was written (a file name may hold any character but '/'
// and NUL), and can tell the text itself again (UnescapeJournalText):
//  - control characters (below 0x20, 0x7F, U+0085, U+2028, U+2029) become
//    "\xHH" below 0x80 and "\uHHHH" above;
//  - a byte of a file name that is not valid in the file-name encoding
//    (platform::FileNameToWide) becomes "\xHH" of that byte (0x80 to 0xFF);
//  - a backslash is doubled where it would read as the start of such an
//    escape or of "\\": before a backslash, before what is written escaped,
//    and before "x" and two or "u" and four hexadecimal digits. Every other
//    backslash (as in "SOFTWARE\TORVAK\qelmservice\P\rules\R") is written
//    as it is, so the system's own texts keep their bytes.
// With keepLineBreaks a CR LF stays when the line it begins cannot be taken
// for the start of a record (it holds no " | "), for the multi-line texts of
// the errors journal.
CString EscapeJournalText(const CString& text, bool keepLineBreaks = false);
// The text that EscapeJournalText was given, from what it wrote (a field or
// several, with the record's own text between them): "\\" gives a
// backslash, "\xHH" and "\uHHHH" their characters (from "\x80" on a file
// name's byte, as platform::FileNameToWide holds it), and a backslash
// before anything else stays as it is.
CString UnescapeJournalText(const CString& text);

// The operations record (with its CR LF) of a result: "Успех" when success.
CString OperationsJournalLine(const CString& timeText, const CString& profile, bool success,
                              const CString& message);
// The first line of an errors record (with its CR LF): time " | " text.
CString ErrorsJournalLine(const CString& timeText, const CString& text);

// A failure as the errors journal writes it.
//  - code: the code's text (ResultCodeText, "Ошибка 0x5");
//  - description: the failure's text;
//  - step: the failing step's text, which may be empty.
struct JournalFailureText {
  CString code;
  CString description;
  CString step;
};
// The text of a failure's errors line: code " - " description ". " step
// (the ". " stands also when the step is empty).
CString JournalFailureLineText(const JournalFailureText& failure);
// The one line (with its CR LF) of an error-folder mover's record, which
// goes to the errors journal only: time " | " message, and for a failure
// ". " code " - " description, ". " step when there is one, and ". ".
// failure is null for a success.
CString MoveJournalLine(const CString& timeText, const CString& message,
                        const JournalFailureText* failure);
