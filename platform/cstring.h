#pragma once
// The class library's string classes: CString (wide) and CStringA (8-bit, in
// the ANSI code page). Behaviour follows the class library where the system
// depends on it: Mid/Left/Right clamp their bounds instead of failing, Find
// returns -1 when nothing is found, conversion between the two goes through
// CP_ACP, and Format takes "%s" as text of the string's own width
// ("%S" the other width), so formats read as they do on Windows.
//
// Format and AppendFormat are type-safe wrappers: a CString or CStringA
// argument is passed as its text pointer, so callers may hand strings over
// directly, as the class library allows.

#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/windows_types.h"

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
  CharT GetAt(int index) const;              // index must be inside the string
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

  int Compare(PCXSTR text) const;            // <0, 0, >0 by code point
  int CompareNoCase(PCXSTR text) const;      // ignores letter case (Cyrillic too)

  CStringT Mid(int first) const;
  CStringT Mid(int first, int count) const;
  CStringT Left(int count) const;
  CStringT Right(int count) const;
  CStringT SpanIncluding(PCXSTR chars) const;
  CStringT SpanExcluding(PCXSTR chars) const;

  int Find(CharT ch, int start = 0) const;
  int Find(PCXSTR sub, int start = 0) const;
  int ReverseFind(CharT ch) const;
  int FindOneOf(PCXSTR chars) const;

  CStringT& Trim();
  CStringT& Trim(CharT ch);
  CStringT& Trim(PCXSTR chars);
  CStringT& TrimLeft();
  CStringT& TrimLeft(CharT ch);
  CStringT& TrimLeft(PCXSTR chars);
  CStringT& TrimRight();
  CStringT& TrimRight(CharT ch);
  CStringT& TrimRight(PCXSTR chars);
  CStringT& MakeUpper();
  CStringT& MakeLower();
  CStringT& MakeReverse();

  int Replace(CharT oldCh, CharT newCh);     // returns the number replaced
  int Replace(PCXSTR oldText, PCXSTR newText);
  int Remove(CharT ch);
  int Insert(int index, CharT ch);
  int Insert(int index, PCXSTR text);
  int Delete(int index, int count = 1);
  CStringT Tokenize(PCXSTR delimiters, int& start) const;

  template <typename... Args>
  void Format(PCXSTR format, const Args&... args) {
    FormatRaw(format, PassArg(args)...);
  }
  template <typename... Args>
  void AppendFormat(PCXSTR format, const Args&... args) {
    AppendFormatRaw(format, PassArg(args)...);
  }
  // printf-style with Windows meanings of %s/%S/%c/%C and %I64 sizes.
  void FormatRaw(PCXSTR format, ...);
  void AppendFormatRaw(PCXSTR format, ...);

  const std::basic_string<CharT>& str() const { return s_; }
  std::basic_string<CharT>& str() { return s_; }

 private:
  template <typename T>
  static auto PassArg(const T& v) {
    if constexpr (std::is_same_v<T, CStringT<char>> || std::is_same_v<T, CStringT<wchar_t>>)
      return v.GetString();
    else if constexpr (std::is_same_v<T, std::basic_string<CharT>>)
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
class CStringArray {
 public:
  INT_PTR GetSize() const;
  INT_PTR GetCount() const;
  INT_PTR GetUpperBound() const;
  bool IsEmpty() const { return items_.empty(); }
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
