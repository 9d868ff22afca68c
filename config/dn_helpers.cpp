#include "config/dn_helpers.h"

#include <functional>

namespace {

// The attribute table as the program writes it: entries separated by "\n".
constexpr wchar_t kAttributeTable[] =
    L"Общее имя (CN)\n"
    L"Страна (C)\n"
    L"Штат или область (ST)\n"
    L"Населённый пункт (L)\n"
    L"Улица, дом (STREET)\n"
    L"Организация (O)\n"
    L"Подразделение (OU)\n"
    L"Доменное имя (DC)\n"
    L"Адрес RFC822 (EMAIL)\n"
    L"(UNSTRUCTUREDNAME)\n"
    L"(UNSTRUCTUREDADDRESS)";

std::vector<CString> BuildAttributes() {
  std::vector<CString> entries;
  const CString table(kAttributeTable);
  int start = 0;
  for (;;) {
    const int lf = table.Find(L'\n', start);
    CString entry = lf < 0 ? table.Mid(start) : table.Mid(start, lf - start);
    entries.push_back(entry.Trim());
    if (lf < 0) break;
    start = lf + 1;
  }
  return entries;
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// The position of the first character after the comma at comma that is not a
// blank.
int NameStart(const CString& text, int comma) {
  int at = comma + 1;
  while (at < text.GetLength() && IsBlank(text[at])) ++at;
  return at;
}

// Whether one of the first count attributes' short names, followed by "=",
// stands at position at.
bool AttributeAt(const CString& text, int at, int count, bool ignoreCase) {
  for (int i = 0; i < count; ++i) {
    const CString name = AttributeShortName(i);
    const int length = name.GetLength();
    if (name.IsEmpty() || at + length >= text.GetLength() || text[at + length] != L'=') continue;
    const CString candidate = text.Mid(at, length);
    if ((ignoreCase ? candidate.CompareNoCase(name) : candidate.Compare(name)) == 0) return true;
  }
  return false;
}

using BoundaryTest = std::function<bool(const CString& text, int nameStart)>;

// The DN's components between the boundaries that test accepts, trimmed.
std::vector<CString> SplitAt(const CString& dn, const BoundaryTest& isBoundary) {
  std::vector<CString> components;
  int start = 0;
  for (int comma = dn.Find(L','); comma >= 0; comma = dn.Find(L',', comma + 1)) {
    const int nameStart = NameStart(dn, comma);
    if (!isBoundary(dn, nameStart)) continue;
    CString component = dn.Mid(start, comma - start);
    components.push_back(component.Trim());
    start = nameStart;
  }
  CString last = dn.Mid(start);
  components.push_back(last.Trim());
  return components;
}

}  // namespace

const std::vector<CString>& DnAttributes() {
  static const std::vector<CString> entries = BuildAttributes();
  return entries;
}

CString AttributeShortName(int index) {
  const auto& entries = DnAttributes();
  if (index < 0 || index >= static_cast<int>(entries.size())) return CString();
  CString entry = entries[static_cast<size_t>(index)];
  entry.MakeUpper();
  if (entry.IsEmpty() || entry[entry.GetLength() - 1] != L')') return CString();
  const int open = entry.ReverseFind(L'(');
  if (open < 0) return CString();
  return entry.Mid(open + 1, entry.GetLength() - open - 2);
}

int CountNamedAttributes() {
  int count = 0;
  for (const CString& entry : DnAttributes()) {
    if (entry.IsEmpty() || entry[0] != L'(') ++count;
  }
  return count;
}

void SplitDistinguishedName(const CString& dn, std::vector<CString>& components) {
  const int all = static_cast<int>(DnAttributes().size());
  components = SplitAt(dn, [all](const CString& text, int at) { return AttributeAt(text, at, all, false); });
}

bool MatchWildcard(CString value, CString pattern) {
  pattern.MakeUpper();
  if (pattern.Find(L'*') < 0) return value == pattern;
  bool first = true;
  for (int star = pattern.Find(L'*'); star >= 0; star = pattern.Find(L'*')) {
    const CString piece = pattern.Left(star);
    pattern = pattern.Mid(star + 1);
    if (piece.IsEmpty() && pattern.IsEmpty()) return true;
    const int length = piece.GetLength();
    if (first) {
      first = false;
      if (length == 0) continue;
      if (value.Left(length) != piece) return false;
      value = value.Mid(length);
    } else if (length > 0) {
      const int at = value.Find(piece.GetString());
      if (at < 0) return false;
      value = value.Mid(at + length);
    }
  }
  return value.GetLength() >= pattern.GetLength() && value.Right(pattern.GetLength()) == pattern;
}

void FilterByAttribute(const CString& pattern, int attributeIndex, std::vector<CString>& entries) {
  if (attributeIndex < 0 || attributeIndex >= CountNamedAttributes()) return;
  const CString prefix = AttributeShortName(attributeIndex) + L"=";
  for (size_t i = entries.size(); i-- > 0;) {
    CString upper = entries[i];
    upper.MakeUpper();
    std::vector<CString> components;
    SplitDistinguishedName(upper, components);
    bool keep = false;
    for (const CString& component : components) {
      if (component.Left(prefix.GetLength()) == prefix &&
          MatchWildcard(component.Mid(prefix.GetLength()), pattern)) {
        keep = true;
        break;
      }
    }
    if (!keep) entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

namespace {

// The text from the component that begins with prefix on; the whole text when
// it begins with it, empty when no boundary is followed by it.
CString SortCut(const CString& text, const CString& prefix) {
  if (text.Left(prefix.GetLength()) == prefix) return text;
  for (int comma = text.Find(L','); comma >= 0; comma = text.Find(L',', comma + 1)) {
    const int at = NameStart(text, comma);
    if (text.Mid(at, prefix.GetLength()) == prefix) return comma == 0 ? CString() : text.Mid(at);
  }
  return CString();
}

}  // namespace

int CompareOwnersForSort(const CString& a, const CString& b, int attributeIndex, int direction) {
  const CString name = AttributeShortName(attributeIndex);
  int result;
  if (name.IsEmpty()) {
    result = a.Compare(b);
  } else {
    const CString prefix = name + L"=";
    result = SortCut(a, prefix).Compare(SortCut(b, prefix));
  }
  result = result < 0 ? -1 : (result > 0 ? 1 : 0);
  return direction == 1 ? result : -result;
}

CString OwnerBoxText(const CString& dn) {
  const int named = CountNamedAttributes();
  const std::vector<CString> components =
      SplitAt(dn, [named](const CString& text, int at) { return AttributeAt(text, at, named, true); });
  CString text;
  for (size_t i = 0; i < components.size(); ++i) {
    if (i > 0) text += L"\r\n";
    text += components[i];
  }
  return text;
}
