#pragma once
// The class library's string classes: CString (wide) and CStringA (8-bit, in
// the ANSI code page). Behaviour follows the class library where the system
// depends on it: Mid/Left/Right clamp their bounds instead of failing, Find
// returns -1 when nothing is found, conversion between the two goes through
// CP_ACP, and Format takes "%s" as text of the string's own width
// ("%S" the other width), so formats read as they do on Windows.
//
// Format and AppendFormat are type-safe: every argument reaches the formatter
// with its real type (platform::FormatArg), and a CString or CStringA argument
// is passed as its text, so callers may hand strings over directly, as the
// class library allows. Case changes and CompareNoCase never depend on the
// process locale.
//
// A string object is used by one thread at a time, like std::string.

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/printf_format.h"
#include "platform/windows_types.h"

namespace platform {

// Letter case of one character, for Latin (ASCII, Latin-1, Latin Extended-A),
// Greek and Cyrillic, whatever the process locale. Other characters are
// returned unchanged.
wchar_t ToUpperChar(wchar_t ch);
wchar_t ToLowerChar(wchar_t ch);

}  // namespace platform

template <typename CharT>
class CStringT {
 public:
  using XCHAR = CharT;
  using YCHAR = std::conditional_t<std::is_same_v<CharT, wchar_t>, char, wchar_t>;
  using PXSTR = CharT*;
  using PCXSTR = const CharT*;

  CStringT() = default;
  CStringT(PCXSTR text);                     // null gives an empty string
  CStringT(PCXSTR text, int length);         // first length characters
  CStringT(const YCHAR* text);               // converted through CP_ACP
  CStringT(CharT ch, int repeat = 1);
  CStringT(std::basic_string_view<CharT> text) : s_(text) {}
  CStringT(const CStringT<YCHAR>& other);    // converted through CP_ACP

  CStringT& operator=(PCXSTR text);
  CStringT& operator=(const YCHAR* text);
  CStringT& operator=(CharT ch);
  CStringT& operator=(const CStringT<YCHAR>& other);

  int GetLength() const { return static_cast<int>(s_.size()); }
  bool IsEmpty() const { return s_.empty(); }
  void Empty() { s_.clear(); }
  PCXSTR GetString() const { return s_.c_str(); }
  operator PCXSTR() const { return s_.c_str(); }
  // index must be inside the string; outside it both throw std::out_of_range
  // (the class library stops the program there).
  CharT GetAt(int index) const;
  void SetAt(int index, CharT ch);
  CharT operator[](int index) const { return GetAt(index); }

  // Room for at least minLength characters plus the terminator; the caller
  // writes into it, then ReleaseBuffer sets the length (-1: up to the first
  // NUL).
  PXSTR GetBuffer(int minLength = 0);
  PXSTR GetBufferSetLength(int length);
  void ReleaseBuffer(int newLength = -1);

  CStringT& operator+=(const CStringT& other);
  CStringT& operator+=(PCXSTR text);
  CStringT& operator+=(CharT ch);
  void Append(PCXSTR text, int length);
  void AppendChar(CharT ch) { s_.push_back(ch); }

  // <0, 0, >0 by code point (8-bit: by unsigned byte). A null text counts
  // as empty.
  int Compare(PCXSTR text) const;
  // The same after folding both texts to lower case (Latin, Greek and
  // Cyrillic, see platform::ToLowerChar); 8-bit text is folded in the ANSI
  // code page.
  int CompareNoCase(PCXSTR text) const;

  // Bounds are clamped, never an error: a negative first or count counts as
  // 0, a count past the end stops at the end, a first past the end gives "".
  CStringT Mid(int first) const;
  CStringT Mid(int first, int count) const;
  CStringT Left(int count) const;
  CStringT Right(int count) const;
  CStringT SpanIncluding(PCXSTR chars) const;
  CStringT SpanExcluding(PCXSTR chars) const;

  // Index of the first match at or after start, or -1. start below 0 gives
  // -1; for a character start must be inside the string, for a text it may
  // equal the length. An empty text is found at start.
  int Find(CharT ch, int start = 0) const;
  int Find(PCXSTR sub, int start = 0) const;
  int ReverseFind(CharT ch) const;            // last index of ch, or -1
  int FindOneOf(PCXSTR chars) const;          // first index of any of chars, or -1

  // Without arguments: blanks, tabs, CR, LF, VT and FF.
  CStringT& Trim();
  CStringT& Trim(CharT ch);
  CStringT& Trim(PCXSTR chars);
  CStringT& TrimLeft();
  CStringT& TrimLeft(CharT ch);
  CStringT& TrimLeft(PCXSTR chars);
  CStringT& TrimRight();
  CStringT& TrimRight(CharT ch);
  CStringT& TrimRight(PCXSTR chars);
  // Latin, Greek and Cyrillic letters whatever the process locale; 8-bit text
  // is changed in the ANSI code page.
  CStringT& MakeUpper();
  CStringT& MakeLower();
  CStringT& MakeReverse();

  // Replace returns the number of replacements (an empty or null oldText
  // replaces nothing); Remove the number removed; Insert and Delete the new
  // length, with index and count clamped to the string.
  int Replace(CharT oldCh, CharT newCh);
  int Replace(PCXSTR oldText, PCXSTR newText);
  int Remove(CharT ch);
  int Insert(int index, CharT ch);
  int Insert(int index, PCXSTR text);
  int Delete(int index, int count = 1);
  // The next token at or after start: delimiters before it are skipped and
  // start moves past the delimiter that ends it. When no token is left the
  // result is empty and start becomes -1. With no delimiters the rest of the
  // string is the one token (start then moves to the end, so a loop ends).
  CStringT Tokenize(PCXSTR delimiters, int& start) const;

  // printf-style formatting with the Windows meanings: in a wide format "%s"
  // and "%c" take wide text and characters, "%S" and "%C" narrow ones (in a
  // narrow format the other way round); "%hs"/"%hc" are always narrow,
  // "%ls"/"%lc"/"%ws"/"%wc" always wide; narrow text is read in the ANSI
  // code page. Sizes: none, "h", "hh", "l" and "I32" are 32 bits or less
  // (long is 32-bit on Windows), "ll", "I64", "I", "z", "j", "t" 64 bits.
  // "%p" is 16 upper-case hex digits. A null text prints "(null)". There is
  // no length limit. A format null leaves the string empty (Format) or
  // unchanged (AppendFormat).
  template <typename... Args>
  void Format(PCXSTR format, const Args&... args) {
    const platform::FormatArg list[] = {platform::FormatArg(PassArg(args))..., platform::FormatArg(0)};
    FormatArgs(format, list, sizeof...(Args));
  }
  template <typename... Args>
  void AppendFormat(PCXSTR format, const Args&... args) {
    const platform::FormatArg list[] = {platform::FormatArg(PassArg(args))..., platform::FormatArg(0)};
    AppendFormatArgs(format, list, sizeof...(Args));
  }
  void FormatArgs(PCXSTR format, const platform::FormatArg* args, std::size_t count);
  void AppendFormatArgs(PCXSTR format, const platform::FormatArg* args, std::size_t count);
  // The same through C varargs: the arguments must match the format exactly
  // (there the format alone says what each argument is).
  void FormatRaw(PCXSTR format, ...);
  void AppendFormatRaw(PCXSTR format, ...);

  const std::basic_string<CharT>& str() const { return s_; }
  std::basic_string<CharT>& str() { return s_; }

 private:
  template <typename T>
  static auto PassArg(const T& v) {
    if constexpr (std::is_same_v<T, CStringT<char>> || std::is_same_v<T, CStringT<wchar_t>>)
      return v.GetString();
    else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::wstring>)
      return v.c_str();
    else
      return v;
  }

  std::basic_string<CharT> s_;
};

using CString = CStringT<wchar_t>;
using CStringW = CStringT<wchar_t>;
using CStringA = CStringT<char>;

template <typename C> CStringT<C> operator+(const CStringT<C>& a, const CStringT<C>& b);
template <typename C> CStringT<C> operator+(const CStringT<C>& a, const C* b);
template <typename C> CStringT<C> operator+(const C* a, const CStringT<C>& b);
template <typename C> CStringT<C> operator+(const CStringT<C>& a, C b);
template <typename C> CStringT<C> operator+(C a, const CStringT<C>& b);
template <typename C> bool operator==(const CStringT<C>& a, const CStringT<C>& b) { return a.str() == b.str(); }
template <typename C> bool operator==(const CStringT<C>& a, const C* b) { return a.Compare(b) == 0; }
template <typename C> bool operator==(const C* a, const CStringT<C>& b) { return b.Compare(a) == 0; }
template <typename C> bool operator!=(const CStringT<C>& a, const CStringT<C>& b) { return !(a == b); }
template <typename C> bool operator!=(const CStringT<C>& a, const C* b) { return !(a == b); }
template <typename C> bool operator<(const CStringT<C>& a, const CStringT<C>& b) { return a.str() < b.str(); }

// The class library's growable string array (CStringArray): indices from 0.
// GetAt, ElementAt, SetAt and [] throw std::out_of_range for an index outside
// the array. InsertAt past the end grows the array with empty strings;
// RemoveAt removes only what lies inside the array; SetSize below 0 empties it.
class CStringArray {
 public:
  INT_PTR GetSize() const;
  INT_PTR GetCount() const;
  bool IsEmpty() const { return items_.empty(); }
  INT_PTR GetUpperBound() const;      // GetSize() - 1
  INT_PTR Add(const CString& s);      // returns the new element's index
  const CString& GetAt(INT_PTR i) const { return items_.at(static_cast<size_t>(i)); }
  CString& ElementAt(INT_PTR i) { return items_.at(static_cast<size_t>(i)); }
  void SetAt(INT_PTR i, const CString& s) { items_.at(static_cast<size_t>(i)) = s; }
  const CString& operator[](INT_PTR i) const { return GetAt(i); }
  CString& operator[](INT_PTR i) { return ElementAt(i); }
  void InsertAt(INT_PTR i, const CString& s, INT_PTR count = 1);
  void RemoveAt(INT_PTR i, INT_PTR count = 1);
  void RemoveAll() { items_.clear(); }
  void SetSize(INT_PTR size);
  void Copy(const CStringArray& other) { items_ = other.items_; }
  void Append(const CStringArray& other);

  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 private:
  std::vector<CString> items_;
};
