#include "common/journal_format.h"

#include <string_view>

#include "platform/utf16.h"

namespace {

// Reads leading decimal digits; 0 when there are none.
int LeadingNumber(const CString& text) {
  int value = 0;
  for (int i = 0; i < text.GetLength() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    if (value < 100000000) value = value * 10 + (text[i] - L'0');
  }
  return value;
}

// The pieces of text between the separators, the last one included.
std::vector<CString> SplitAt(const CString& text, wchar_t separator) {
  std::vector<CString> pieces;
  int start = 0;
  for (;;) {
    int found = text.Find(separator, start);
    if (found < 0) {
      pieces.push_back(text.Mid(start));
      return pieces;
    }
    pieces.push_back(text.Mid(start, found - start));
    start = found + 1;
  }
}

}  // namespace

CString OperationsJournalSuffix(const CString& profileName) { return profileName; }
CString ErrorsJournalSuffix(const CString& profileName) { return profileName + L" - errors"; }

CString JournalFileName(int year, int month, int day, const CString& suffix) {
  CString name;
  name.Format(L"%02d.%02d.%02d", year, month, day);
  return name + L" " + suffix + L".txt";
}

CString JournalPartFileName(int year, int month, int day, int part, const CString& suffix) {
  CString name;
  name.Format(L"%02d.%02d.%02d.%02d", year, month, day, part);
  return name + L" " + suffix + L".txt";
}

CString JournalFilePattern(const CString& suffix) { return L"????.??.??* " + suffix + L".txt"; }

bool ParseJournalName(const CString& name, const CString& suffix, JournalNameKey& key) {
  int blank = name.Find(L' ');
  if (blank <= 0) return false;
  if (name.Mid(blank + 1) != suffix + L".txt") return false;
  const std::vector<CString> pieces = SplitAt(name.Left(blank), L'.');
  if (pieces.size() < 3) return false;
  key.year = LeadingNumber(pieces[0]);
  key.month = LeadingNumber(pieces[1]);
  key.day = LeadingNumber(pieces[2]);
  key.part = pieces.size() > 3 ? LeadingNumber(pieces[3]) : 0;
  return true;
}

CString JournalTimeText(const SYSTEMTIME& t) {
  CString text;
  text.Format(L"%02d:%02d:%02d %02d/%02d/%02d", t.wHour, t.wMinute, t.wSecond, t.wDay, t.wMonth, t.wYear);
  return text;
}

namespace {

bool IsControlCharacter(wchar_t c) {
  return c < 0x20 || c == 0x7F || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// The CR LF pairs of text that stay line breaks: each one whose line holds
// no field separator, and so cannot pass for the start of a record. A line
// runs to the next break that stays, since every other control character,
// an escaped CR LF included, is written as text and joins what it separated.
// Decided from the end, so each line is known whole when its break is.
std::vector<bool> KeptLineBreaks(const CString& text) {
  const int length = text.GetLength();
  std::vector<bool> kept(static_cast<std::size_t>(length), false);
  bool separatorAhead = false;  // in the line from here to the next kept break
  for (int i = length - 1; i >= 0; --i) {
    if (text[i] == L'\r' && i + 1 < length && text[i + 1] == L'\n') {
      if (!separatorAhead) kept[static_cast<std::size_t>(i)] = true;
      continue;  // a kept break begins a line with no separator; an escaped one keeps the line's
    }
    const std::wstring_view rest(text.GetString() + i, static_cast<std::size_t>(length - i));
    if (rest.starts_with(kJournalFieldSeparator)) separatorAhead = true;
  }
  return kept;
}

// The written form of one character of a text going into a record (a kept
// line break aside). Every escape is a hexadecimal one, so that a backslash
// before a letter (a registry path's "\rules") never reads as one.
CString EscapedCharacter(wchar_t c) {
  CString escaped;
  // A byte of a file name that is not valid in the file-name encoding:
  // shown as the byte it is, since no character stands for it. Such bytes
  // are 0x80 and above, and no character is written as "\x" from there on,
  // so the two never meet.
  if (const int byte = platform::FileNameByte(c); byte >= 0) {
    escaped.Format(L"\\x%02X", static_cast<unsigned>(byte));
  } else if (!IsControlCharacter(c)) {
    escaped = c;
  } else if (c < 0x80) {
    escaped.Format(L"\\x%02X", static_cast<unsigned>(c));
  } else {
    escaped.Format(L"\\u%04X", static_cast<unsigned>(c));
  }
  return escaped;
}

int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  return -1;
}

// The value of the digits hex digits at text[at], or -1 when they are not
// all there.
int HexNumber(const CString& text, int at, int digits) {
  if (at + digits > text.GetLength()) return -1;
  int value = 0;
  for (int i = at; i < at + digits; ++i) {
    const int digit = HexValue(text[i]);
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

// The number of characters of an escape at text[at] ("\\", "\xHH",
// "\uHHHH"), or 0 when a backslash there is a character of its own.
int EscapeLength(const CString& text, int at) {
  if (at + 1 >= text.GetLength() || text[at] != L'\\') return 0;
  const wchar_t next = text[at + 1];
  if (next == L'\\') return 2;
  if (next == L'x' && HexNumber(text, at + 2, 2) >= 0) return 4;
  if (next == L'u' && HexNumber(text, at + 2, 4) >= 0) return 6;
  return 0;
}

}  // namespace

CString EscapeJournalText(const CString& text, bool keepLineBreaks) {
  CString out;
  const int length = text.GetLength();
  const std::vector<bool> kept = keepLineBreaks ? KeptLineBreaks(text) : std::vector<bool>();
  for (int i = 0; i < length; ++i) {
    const wchar_t c = text[i];
    if (keepLineBreaks && IsControlCharacter(c) && kept[static_cast<std::size_t>(i)]) {
      out += L"\r\n";
      ++i;
      continue;
    }
    const CString written = EscapedCharacter(c);
    // A backslash that would read as the start of an escape together with
    // what is written after it is doubled. What follows is a character of
    // its own (hexadecimal digits are never escaped) or an escape, which
    // begins with a backslash.
    if (c == L'\\' && i + 1 < length) {
      const wchar_t next = text[i + 1];
      const bool nextEscaped = next == L'\\' || EscapedCharacter(next)[0] == L'\\';
      if (nextEscaped || EscapeLength(text, i) > 0) out += L'\\';
    }
    out += written;
  }
  return out;
}

CString UnescapeJournalText(const CString& text) {
  if (text.Find(L'\\') < 0) return text;
  const int length = text.GetLength();
  CString out;
  for (int i = 0; i < length;) {
    const int escape = EscapeLength(text, i);
    if (escape == 0) {
      out += text[i++];
      continue;
    }
    if (escape == 2) {
      out += L'\\';
    } else {
      const int value = HexNumber(text, i + 2, escape - 2);
      // "\x" from 0x80 on is a file name's byte, held as FileNameToWide does.
      out += static_cast<wchar_t>(escape == 4 && value >= 0x80 ? 0xDC00 + value : value);
    }
    i += escape;
  }
  return out;
}

CString OperationsJournalLine(const CString& timeText, const CString& profile, bool success,
                              const CString& message) {
  return timeText + kJournalFieldSeparator + kJournalProfileLabel + profile + kJournalFieldSeparator +
         (success ? kJournalSuccessWord : kJournalFailureWord) + kJournalFieldSeparator + message + L"\r\n";
}

CString ErrorsJournalLine(const CString& timeText, const CString& text) {
  return timeText + kJournalFieldSeparator + text + L"\r\n";
}

CString JournalFailureLineText(const JournalFailureText& failure) {
  return failure.code + L" - " + failure.description + L". " + failure.step;
}

CString MoveJournalLine(const CString& timeText, const CString& message,
                        const JournalFailureText* failure) {
  CString line = timeText + kJournalFieldSeparator + message;
  if (failure != nullptr) {
    line += L". " + failure->code + L" - " + failure->description;
    if (!failure->step.IsEmpty()) line += L". " + failure->step;
    line += L". ";
  }
  return line + L"\r\n";
}
