#include "platform/cstring.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "platform/codepage.h"
#include "platform/utf16.h"

// ---- Letter case -------------------------------------------------------------

namespace platform {

// One upper-case map for the whole layer: the registry's name comparison uses
// the same one.
wchar_t ToUpperChar(wchar_t c) { return UpcaseChar(c); }

// The inverse of UpcaseChar for the same blocks.
wchar_t ToLowerChar(wchar_t c) {
  if (c < 0x80) return (c >= L'A' && c <= L'Z') ? c + 0x20 : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;  // Latin-1
  if (c == 0x0178) return 0xFF;
  if (c >= 0x0100 && c <= 0x017F) {                           // Latin Extended-A
    if (c == 0x0130) return L'i';
    if (c == 0x0138 || c == 0x0149 || c == 0x0131 || c == 0x017F) return c;
    bool oddUpper = (c >= 0x0139 && c <= 0x0148) || (c >= 0x0179 && c <= 0x017E);
    if (oddUpper) return (c % 2 == 1) ? c + 1 : c;
    return (c % 2 == 0) ? c + 1 : c;
  }
  if (c >= 0x0391 && c <= 0x03AB && c != 0x03A2) return c + 0x20;  // Greek
  if (c == 0x0386) return 0x03AC;
  if (c >= 0x0388 && c <= 0x038A) return c + 0x25;
  if (c == 0x038C) return 0x03CC;
  if (c == 0x038E || c == 0x038F) return c + 0x3F;
  if (c >= 0x0410 && c <= 0x042F) return c + 0x20;  // Cyrillic А-Я
  if (c >= 0x0400 && c <= 0x040F) return c + 0x50;  // Ѐ-Џ (Ё, Є, І, Ї, Ў, ...)
  if ((c >= 0x0460 && c <= 0x0481) || (c >= 0x048A && c <= 0x04BF) || (c >= 0x04D0 && c <= 0x052F))
    return (c % 2 == 0) ? c + 1 : c;
  if (c >= 0x04C1 && c <= 0x04CE) return (c % 2 == 1) ? c + 1 : c;
  if (c == 0x04C0) return 0x04CF;
  if (c >= 0xFF21 && c <= 0xFF3A) return c + 0x20;  // fullwidth A-Z
  return c;
}

}  // namespace platform

namespace {

template <typename CharT>
size_t TextLength(const CharT* text) {
  return text == nullptr ? 0 : std::char_traits<CharT>::length(text);
}

// Case changes work on wide characters; 8-bit text goes through the ANSI page
// unless it is plain ASCII (then byte by byte gives the same result).
bool IsAscii(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::wstring Widen(const std::wstring& s) { return s; }
std::wstring Widen(const std::string& s) { return platform::MultiByteToWide(s, CP_ACP); }

template <typename Map>
void MapCase(std::wstring& s, Map map) {
  for (wchar_t& c : s) c = map(c);
}

template <typename Map>
void MapCase(std::string& s, Map map) {
  if (IsAscii(s)) {
    for (char& c : s) c = static_cast<char>(map(static_cast<wchar_t>(c)));
    return;
  }
  std::wstring wide = Widen(s);
  MapCase(wide, map);
  s = platform::WideToMultiByte(wide, CP_ACP);
}

template <typename CharT>
bool IsBlank(CharT c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

// ---- CStringT ------------------------------------------------------------------------

template <typename CharT>
CStringT<CharT>::CStringT(PCXSTR text) : s_(text != nullptr ? text : std::basic_string<CharT>()) {}

template <typename CharT>
CStringT<CharT>::CStringT(PCXSTR text, int length) {
  if (text != nullptr && length > 0) s_.assign(text, static_cast<size_t>(length));
}

template <typename CharT>
CStringT<CharT>::CStringT(const YCHAR* text) : s_(platform::ConvertWidth<CharT>(text, TextLength(text))) {}

template <typename CharT>
CStringT<CharT>::CStringT(CharT ch, int repeat) : s_(static_cast<size_t>(std::max(repeat, 0)), ch) {}

template <typename CharT>
CStringT<CharT>::CStringT(const CStringT<YCHAR>& other)
    : s_(platform::ConvertWidth<CharT>(other.str().data(), other.str().size())) {}

template <typename CharT>
CStringT<CharT>& CStringT<CharT>::operator=(PCXSTR text) {
  if (text == nullptr)
    s_.clear();
  else
    s_.assign(text);  // also right when text points into s_ itself
  return *this;
}

template <typename CharT>
CStringT<CharT>& CStringT<CharT>::operator=(const YCHAR* text) {
  s_ = platform::ConvertWidth<CharT>(text, TextLength(text));
  return *this;
}

template <typename CharT>
CStringT<CharT>& CStringT<CharT>::operator=(CharT ch) {
  s_.assign(1, ch);
  return *this;
}

template <typename CharT>
CStringT<CharT>& CStringT<CharT>::operator=(const CStringT<YCHAR>& other) {
  s_ = platform::ConvertWidth<CharT>(other.str().data(), other.str().size());
  return *this;
}

template <typename CharT>
CharT CStringT<CharT>::GetAt(int index) const {
  if (index < 0 || index >= GetLength()) throw std::out_of_range("CString::GetAt");
  return s_[static_cast<size_t>(index)];
}

template <typename CharT>
void CStringT<CharT>::SetAt(int index, CharT ch) {
  if (index < 0 || index >= GetLength()) throw std::out_of_range("CString::SetAt");
  s_[static_cast<size_t>(index)] = ch;
}

template <typename CharT>
typename CStringT<CharT>::PXSTR CStringT<CharT>::GetBuffer(int minLength) {
  if (minLength > GetLength()) s_.resize(static_cast<size_t>(minLength));
  return s_.data();
}

template <typename CharT>
typename CStringT<CharT>::PXSTR CStringT<CharT>::GetBufferSetLength(int length) {
  s_.resize(static_cast<size_t>(std::max(length, 0)));
  return s_.data();
}

template <typename CharT>
void CStringT<CharT>::ReleaseBuffer(int newLength) {
  size_t length;
  if (newLength < 0) {
    length = s_.find(CharT(0));  // the caller's text ends at its NUL
    if (length == std::basic_string<CharT>::npos) length = s_.size();
  } else {
    length = std::min(static_cast<size_t>(newLength), s_.size());
  }
  s_.resize(length);
}

template <typename CharT>
CStringT<CharT>& CStringT<CharT>::operator+=(const CStringT& other) {
  s_ += other.s_;
  return *this;
}

template <typename CharT>
CStringT<CharT>& CStringT<CharT>::operator+=(PCXSTR text) {
  if (text != nullptr) s_.append(text);
  return *this;
}

template <typename CharT>
CStringT<CharT>& CStringT<CharT>::operator+=(CharT ch) {
  s_.push_back(ch);
  return *this;
}

template <typename CharT>
void CStringT<CharT>::Append(PCXSTR text, int length) {
  if (text == nullptr || length <= 0) return;
  s_.append(text, static_cast<size_t>(length));
}

template <typename CharT>
int CStringT<CharT>::Compare(PCXSTR text) const {
  std::basic_string_view<CharT> other(text != nullptr ? text : s_.data() + s_.size());
  std::basic_string_view<CharT> self(s_.c_str());
  int r = self.compare(other);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

namespace {

int CompareFolded(const std::wstring& a, const std::wstring& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    wchar_t x = platform::ToLowerChar(a[i]);
    wchar_t y = platform::ToLowerChar(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace

template <typename CharT>
int CStringT<CharT>::CompareNoCase(PCXSTR text) const {
  std::basic_string<CharT> other(text != nullptr ? text : std::basic_string<CharT>());
  std::basic_string<CharT> self(s_.c_str());
  return CompareFolded(Widen(self), Widen(other));
}

template <typename CharT>
CStringT<CharT> CStringT<CharT>::Mid(int first) const {
  return Mid(first, GetLength());
}

template <typename CharT>
CStringT<CharT> CStringT<CharT>::Mid(int first, int count) const {
  long long length = GetLength();
  long long from = std::clamp<long long>(first, 0, length);
  long long n = std::clamp<long long>(count, 0, length - from);
  return CStringT(s_.substr(static_cast<size_t>(from), static_cast<size_t>(n)));
}

template <typename CharT>
CStringT<CharT> CStringT<CharT>::Left(int count) const {
  return Mid(0, count);
}

template <typename CharT>
CStringT<CharT> CStringT<CharT>::Right(int count) const {
  int n = std::clamp(count, 0, GetLength());
  return CStringT(s_.substr(s_.size() - static_cast<size_t>(n)));
}

template <typename CharT>
CStringT<CharT> CStringT<CharT>::SpanIncluding(PCXSTR chars) const {
  if (chars == nullptr) return CStringT();
  size_t n = s_.find_first_not_of(chars);
  return Left(n == std::basic_string<CharT>::npos ? GetLength() : static_cast<int>(n));
}

template <typename CharT>
CStringT<CharT> CStringT<CharT>::SpanExcluding(PCXSTR chars) const {
  if (chars == nullptr) return *this;
  size_t n = s_.find_first_of(chars);
  return Left(n == std::basic_string<CharT>::npos ? GetLength() : static_cast<int>(n));
}

template <typename CharT>
int CStringT<CharT>::Find(CharT ch, int start) const {
  if (start < 0 || start >= GetLength()) return -1;
  size_t at = s_.find(ch, static_cast<size_t>(start));
  return at == std::basic_string<CharT>::npos ? -1 : static_cast<int>(at);
}

template <typename CharT>
int CStringT<CharT>::Find(PCXSTR sub, int start) const {
  if (sub == nullptr || start < 0 || start > GetLength()) return -1;
  size_t at = s_.find(sub, static_cast<size_t>(start));
  return at == std::basic_string<CharT>::npos ? -1 : static_cast<int>(at);
}

template <typename CharT>
int CStringT<CharT>::ReverseFind(CharT ch) const {
  size_t at = s_.rfind(ch);
  return at == std::basic_string<CharT>::npos ? -1 : static_cast<int>(at);
}

template <typename CharT>
int CStringT<CharT>::FindOneOf(PCXSTR chars) const {
  if (chars == nullptr || *chars == 0) return -1;
  size_t at = s_.find_first_of(chars);
  return at == std::basic_string<CharT>::npos ? -1 : static_cast<int>(at);
}

namespace {

template <typename CharT, typename Pred>
void TrimLeftIf(std::basic_string<CharT>& s, Pred drop) {
  size_t n = 0;
  while (n < s.size() && drop(s[n])) ++n;
  s.erase(0, n);
}

template <typename CharT, typename Pred>
void TrimRightIf(std::basic_string<CharT>& s, Pred drop) {
  size_t n = s.size();
  while (n > 0 && drop(s[n - 1])) --n;
  s.resize(n);
}

template <typename CharT>
auto InSet(const CharT* chars) {
  return [chars](CharT c) { return chars != nullptr && c != 0 && std::char_traits<CharT>::find(chars, TextLength(chars), c) != nullptr; };
}

}  // namespace

template <typename CharT>
CStringT<CharT>& CStringT<CharT>::TrimLeft() {
  TrimLeftIf(s_, IsBlank<CharT>);
  return *this;
}
template <typename CharT>
CStringT<CharT>& CStringT<CharT>::TrimLeft(CharT ch) {
  TrimLeftIf(s_, [ch](CharT c) { return c == ch; });
  return *this;
}
template <typename CharT>
CStringT<CharT>& CStringT<CharT>::TrimLeft(PCXSTR chars) {
  TrimLeftIf(s_, InSet(chars));
  return *this;
}
template <typename CharT>
CStringT<CharT>& CStringT<CharT>::TrimRight() {
  TrimRightIf(s_, IsBlank<CharT>);
  return *this;
}
template <typename CharT>
CStringT<CharT>& CStringT<CharT>::TrimRight(CharT ch) {
  TrimRightIf(s_, [ch](CharT c) { return c == ch; });
  return *this;
}
template <typename CharT>
CStringT<CharT>& CStringT<CharT>::TrimRight(PCXSTR chars) {
  TrimRightIf(s_, InSet(chars));
  return *this;
}
template <typename CharT>
CStringT<CharT>& CStringT<CharT>::Trim() {
  return TrimRight().TrimLeft();
}
template <typename CharT>
CStringT<CharT>& CStringT<CharT>::Trim(CharT ch) {
  return TrimRight(ch).TrimLeft(ch);
}
template <typename CharT>
CStringT<CharT>& CStringT<CharT>::Trim(PCXSTR chars) {
  return TrimRight(chars).TrimLeft(chars);
}

template <typename CharT>
CStringT<CharT>& CStringT<CharT>::MakeUpper() {
  MapCase(s_, platform::ToUpperChar);
  return *this;
}

template <typename CharT>
CStringT<CharT>& CStringT<CharT>::MakeLower() {
  MapCase(s_, platform::ToLowerChar);
  return *this;
}

template <typename CharT>
CStringT<CharT>& CStringT<CharT>::MakeReverse() {
  std::reverse(s_.begin(), s_.end());
  return *this;
}

template <typename CharT>
int CStringT<CharT>::Replace(CharT oldCh, CharT newCh) {
  int count = 0;
  for (CharT& c : s_) {
    if (c == oldCh) {
      c = newCh;
      ++count;
    }
  }
  return count;
}

template <typename CharT>
int CStringT<CharT>::Replace(PCXSTR oldText, PCXSTR newText) {
  size_t oldLength = TextLength(oldText);
  if (oldLength == 0) return 0;
  std::basic_string<CharT> replacement(newText != nullptr ? newText : std::basic_string<CharT>());
  std::basic_string<CharT> pattern(oldText, oldLength);  // may point into s_
  std::basic_string<CharT> result;
  int count = 0;
  size_t from = 0;
  for (size_t at; (at = s_.find(pattern, from)) != std::basic_string<CharT>::npos; from = at + oldLength) {
    result.append(s_, from, at - from);
    result += replacement;
    ++count;
  }
  if (count == 0) return 0;
  result.append(s_, from, std::basic_string<CharT>::npos);
  s_.swap(result);
  return count;
}

template <typename CharT>
int CStringT<CharT>::Remove(CharT ch) {
  size_t before = s_.size();
  s_.erase(std::remove(s_.begin(), s_.end(), ch), s_.end());
  return static_cast<int>(before - s_.size());
}

template <typename CharT>
int CStringT<CharT>::Insert(int index, CharT ch) {
  size_t at = static_cast<size_t>(std::clamp(index, 0, GetLength()));
  s_.insert(at, 1, ch);
  return GetLength();
}

template <typename CharT>
int CStringT<CharT>::Insert(int index, PCXSTR text) {
  if (text == nullptr) return GetLength();
  std::basic_string<CharT> copy(text);  // may point into s_
  size_t at = static_cast<size_t>(std::clamp(index, 0, GetLength()));
  s_.insert(at, copy);
  return GetLength();
}

template <typename CharT>
int CStringT<CharT>::Delete(int index, int count) {
  long long length = GetLength();
  long long from = std::max(index, 0);
  if (from < length && count > 0) {
    long long n = std::min<long long>(count, length - from);
    s_.erase(static_cast<size_t>(from), static_cast<size_t>(n));
  }
  return GetLength();
}

template <typename CharT>
CStringT<CharT> CStringT<CharT>::Tokenize(PCXSTR delimiters, int& start) const {
  int length = GetLength();
  if (start < 0 || start >= length) {
    start = -1;
    return CStringT();
  }
  if (delimiters == nullptr || *delimiters == 0) {
    // The class library leaves start where it was here, so a loop over the
    // tokens never ends; moving to the end lets the next call finish it.
    CStringT rest = Mid(start);
    start = length;
    return rest;
  }
  size_t from = s_.find_first_not_of(delimiters, static_cast<size_t>(start));
  if (from == std::basic_string<CharT>::npos) {
    start = -1;
    return CStringT();
  }
  size_t to = s_.find_first_of(delimiters, from);
  if (to == std::basic_string<CharT>::npos) to = s_.size();
  start = static_cast<int>(to) + 1;
  return CStringT(s_.substr(from, to - from));
}

template <typename CharT>
void CStringT<CharT>::FormatArgs(PCXSTR format, const platform::FormatArg* args, std::size_t count) {
  std::basic_string<CharT> result;
  if (format != nullptr) platform::AppendFormatted(result, format, args, count);
  s_.swap(result);  // arguments may be this string's own text: it is read to the end first
}

template <typename CharT>
void CStringT<CharT>::AppendFormatArgs(PCXSTR format, const platform::FormatArg* args, std::size_t count) {
  if (format == nullptr) return;
  std::basic_string<CharT> result;
  platform::AppendFormatted(result, format, args, count);
  s_ += result;
}

template <typename CharT>
void CStringT<CharT>::FormatRaw(PCXSTR format, ...) {
  std::basic_string<CharT> result;
  if (format != nullptr) {
    va_list args;
    va_start(args, format);
    platform::AppendFormattedV(result, format, args);
    va_end(args);
  }
  s_.swap(result);
}

template <typename CharT>
void CStringT<CharT>::AppendFormatRaw(PCXSTR format, ...) {
  if (format == nullptr) return;
  std::basic_string<CharT> result;
  va_list args;
  va_start(args, format);
  platform::AppendFormattedV(result, format, args);
  va_end(args);
  s_ += result;
}

// ---- Concatenation -----------------------------------------------------------------------

template <typename C>
CStringT<C> operator+(const CStringT<C>& a, const CStringT<C>& b) {
  CStringT<C> r(a);
  r += b;
  return r;
}
template <typename C>
CStringT<C> operator+(const CStringT<C>& a, const C* b) {
  CStringT<C> r(a);
  r += b;
  return r;
}
template <typename C>
CStringT<C> operator+(const C* a, const CStringT<C>& b) {
  CStringT<C> r(a);
  r += b;
  return r;
}
template <typename C>
CStringT<C> operator+(const CStringT<C>& a, C b) {
  CStringT<C> r(a);
  r += b;
  return r;
}
template <typename C>
CStringT<C> operator+(C a, const CStringT<C>& b) {
  CStringT<C> r(a);
  r += b;
  return r;
}

template class CStringT<char>;
template class CStringT<wchar_t>;

#define QELM_INSTANTIATE_CONCAT(C)                                        \
  template CStringT<C> operator+(const CStringT<C>&, const CStringT<C>&); \
  template CStringT<C> operator+(const CStringT<C>&, const C*);           \
  template CStringT<C> operator+(const C*, const CStringT<C>&);           \
  template CStringT<C> operator+(const CStringT<C>&, C);                  \
  template CStringT<C> operator+(C, const CStringT<C>&);
QELM_INSTANTIATE_CONCAT(char)
QELM_INSTANTIATE_CONCAT(wchar_t)
#undef QELM_INSTANTIATE_CONCAT

// ---- CStringArray --------------------------------------------------------------------------

INT_PTR CStringArray::GetSize() const { return static_cast<INT_PTR>(items_.size()); }
INT_PTR CStringArray::GetCount() const { return static_cast<INT_PTR>(items_.size()); }
INT_PTR CStringArray::GetUpperBound() const { return static_cast<INT_PTR>(items_.size()) - 1; }

INT_PTR CStringArray::Add(const CString& s) {
  items_.push_back(s);
  return static_cast<INT_PTR>(items_.size()) - 1;
}

void CStringArray::InsertAt(INT_PTR i, const CString& s, INT_PTR count) {
  if (i < 0 || count <= 0) return;
  size_t at = static_cast<size_t>(i);
  if (at > items_.size()) items_.resize(at);
  items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(at), static_cast<size_t>(count), s);
}

void CStringArray::RemoveAt(INT_PTR i, INT_PTR count) {
  INT_PTR size = GetSize();
  if (i < 0 || i >= size || count <= 0) return;
  INT_PTR n = std::min(count, size - i);
  items_.erase(items_.begin() + i, items_.begin() + i + n);
}

void CStringArray::SetSize(INT_PTR size) { items_.resize(static_cast<size_t>(std::max<INT_PTR>(size, 0))); }

void CStringArray::Append(const CStringArray& other) {
  if (&other == this) {
    std::vector<CString> copy(items_);
    items_.insert(items_.end(), copy.begin(), copy.end());
    return;
  }
  items_.insert(items_.end(), other.items_.begin(), other.items_.end());
}
