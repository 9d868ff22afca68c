#pragma once
// Conversions between wide text in memory (wchar_t, 32-bit here: one wchar_t
// per code point) and the two encodings the layer stores or exchanges:
// UTF-16LE bytes (the registry's stored strings, .reg files) and UTF-8
// (command lines, file contents, SQLite text).
//
// None of these functions fails or throws on bad input: an unpaired
// surrogate, a value above U+10FFFF, a malformed UTF-8 sequence or a trailing
// odd byte of UTF-16 becomes U+FFFD (one per malformed unit). A high and a low
// surrogate that stand next to each other in wide text are taken as one
// character, as Windows code that was written for 16-bit wchar_t expects.
// Every function may be called from any thread.

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/windows_types.h"

namespace platform {

// Wide text to UTF-16LE bytes, without a terminator (add one yourself when the
// stored form needs it). The result holds 2 bytes per BMP character and 4 per
// character above U+FFFF.
std::string WideToUtf16Le(std::wstring_view text);

// UTF-16LE bytes to wide text. byteCount need not be even: an odd last byte
// becomes U+FFFD. NUL units are converted like any other (the result may hold
// embedded NULs); a null bytes pointer with count 0 gives "".
std::wstring Utf16LeToWide(const void* bytes, std::size_t byteCount);
inline std::wstring Utf16LeToWide(std::string_view bytes) {
  return Utf16LeToWide(bytes.data(), bytes.size());
}

// TRUE when the bytes are well-formed UTF-16LE (even length, surrogates only in
// high-low pairs), i.e. when Utf16LeToWide followed by WideToUtf16Le gives the
// same bytes back.
bool IsWellFormedUtf16Le(std::string_view bytes);

// Appends one code point (at most U+10FFFF, no surrogate) as UTF-8.
void AppendUtf8(std::string& out, char32_t c);

// Wide text to UTF-8 and back.
std::string WideToUtf8(std::wstring_view text);
std::wstring Utf8ToWide(std::string_view text);

// TRUE when the text is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool IsWellFormedUtf8(std::string_view text);

// A file name as the file system holds it (bytes, not always UTF-8: a client
// writing in another code page) to wide text that keeps every byte: UTF-8
// sequences become their characters, and each byte of a malformed sequence
// becomes the unpaired surrogate U+DC00 + byte (U+DC80..U+DCFF). No name made
// of characters gives such a unit, and the layer refuses every path holding
// an unpaired surrogate (123), so such a name can be shown but never opened.
std::wstring FileNameToWide(std::string_view name);
// The byte that a unit of FileNameToWide stands for, or -1 when the unit is
// a character of its own.
int FileNameByte(wchar_t unit);

// The upper-case form of a character, independent of the process locale:
// Latin (ASCII, Latin-1, Latin Extended-A), Greek, Cyrillic (Russian,
// Ukrainian, Belarusian and the rest of the basic block) and fullwidth Latin.
// Other characters come back unchanged. This is the comparison the registry
// uses for key and value names, as Windows compares them upper-cased.
wchar_t UpcaseChar(wchar_t ch);
std::wstring UpcaseText(std::wstring_view text);

}  // namespace platform
