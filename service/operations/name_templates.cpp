#include "service/operations/name_templates.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "platform/datetime.h"

namespace {

// The six values of one clock reading, each "%d" text.
enum Field { kYear, kMonth, kDay, kHour, kMinute, kSecond, kFieldCount, kNoField = kFieldCount };

using ValueTexts = std::array<std::wstring, kFieldCount>;

// The field a character stands for in an expander's letter set.
using LetterSet = Field (*)(wchar_t);

Field DateLetter(wchar_t ch) {
  switch (ch) {
    case L'D': case L'd': return kDay;
    case L'M': case L'm': return kMonth;
    case L'Y': case L'y': return kYear;
    default: return kNoField;
  }
}

Field DateTimeLetter(wchar_t ch) {
  switch (ch) {
    case L'D': return kDay;
    case L'M': return kMonth;
    case L'Y': return kYear;
    case L'h': return kHour;
    case L'm': return kMinute;
    case L's': return kSecond;
    default: return kNoField;
  }
}

SYSTEMTIME ReadClock() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return now;
}

ValueTexts FormatValues(const SYSTEMTIME& t) {
  return {std::to_wstring(t.wYear),   std::to_wstring(t.wMonth),  std::to_wstring(t.wDay),
          std::to_wstring(t.wHour),   std::to_wstring(t.wMinute), std::to_wstring(t.wSecond)};
}

// Replaces, from the last character to the first, each letter of the set by
// the last digit still left in its value text (taking it away), or by "0".
void FillDigits(std::wstring& content, LetterSet letters, ValueTexts& values) {
  for (std::size_t i = content.size(); i-- > 0;) {
    Field field = letters(content[i]);
    if (field == kNoField) continue;
    std::wstring& value = values[field];
    if (value.empty()) {
      content[i] = L'0';
    } else {
      content[i] = value.back();
      value.pop_back();
    }
  }
}

bool IsSeparator(wchar_t ch) { return ch == L'\\' || ch == L'/'; }

std::wstring Trimmed(std::wstring_view text) {
  std::size_t first = 0;
  while (first < text.size() && IsSeparator(text[first])) ++first;
  std::size_t last = text.size();
  while (last > first && IsSeparator(text[last - 1])) --last;
  return std::wstring(text.substr(first, last - first));
}

// One template group: content is [open + 2, close).
struct Group {
  std::size_t open;
  std::size_t close;
  std::wstring_view Content(std::wstring_view text) const { return text.substr(open + 2, close - open - 2); }
};

// The first complete group at or after from; false when ":|" or its "|" is missing.
bool FindGroup(std::wstring_view text, std::size_t from, Group& group) {
  std::size_t open = text.find(L":|", from);
  if (open == std::wstring_view::npos) return false;
  std::size_t close = text.find(L'|', open + 2);
  if (close == std::wstring_view::npos) return false;
  group = {open, close};
  return true;
}

// Replaces every group of text, from the start, by what expandContent
// appends for its content. The search for the next group starts after the
// group just replaced, so text inserted for it is never taken for (part of)
// a group.
template <typename ExpandContent>
std::wstring ExpandGroups(std::wstring_view text, ExpandContent expandContent) {
  std::wstring result;
  std::size_t done = 0;
  Group group{};
  while (FindGroup(text, done, group)) {
    result.append(text.substr(done, group.open - done));
    expandContent(group.Content(text), result);
    done = group.close + 1;
  }
  result.append(text.substr(done));
  return result;
}

// The content of a command group as pieces, each either template text or an
// inserted value; the placeholder passes look only at template text.
struct Piece {
  std::wstring text;
  bool inserted;
};

struct Placeholder {
  std::wstring_view name;
  const std::wstring* value;  // null: removed, records no position
  bool* flag;                 // set for each occurrence, null for none
};

void ReplacePlaceholder(std::vector<Piece>& pieces, const Placeholder& placeholder) {
  std::vector<Piece> out;
  for (Piece& piece : pieces) {
    if (piece.inserted) {
      out.push_back(std::move(piece));
      continue;
    }
    std::size_t done = 0;
    for (std::size_t at = piece.text.find(placeholder.name); at != std::wstring::npos;
         at = piece.text.find(placeholder.name, done)) {
      if (at > done) out.push_back({piece.text.substr(done, at - done), false});
      if (placeholder.value != nullptr) out.push_back({*placeholder.value, true});
      if (placeholder.flag != nullptr) *placeholder.flag = true;
      done = at + placeholder.name.size();
    }
    if (done < piece.text.size()) out.push_back({piece.text.substr(done), false});
  }
  pieces = std::move(out);
}

}  // namespace

void ExpandDateTemplates(CString pathTemplate, CStringArray& components) {
  components.RemoveAll();
  const std::wstring text = Trimmed(pathTemplate.GetString());
  // One reading for the whole path, so that it never mixes two dates around
  // midnight; each group still starts with the full values. Read at the
  // first group: a path without one (an archive's entry, most often) needs
  // no clock.
  std::optional<ValueTexts> values;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = start;
    while (end < text.size() && !IsSeparator(text[end])) ++end;
    std::wstring_view component = std::wstring_view(text).substr(start, end - start);
    std::wstring expanded = ExpandGroups(component, [&](std::wstring_view content, std::wstring& out) {
      std::wstring digits(content);
      if (!values) values = FormatValues(ReadClock());
      ValueTexts groupValues = *values;
      FillDigits(digits, DateLetter, groupValues);
      out += digits;
    });
    components.Add(CString(std::wstring_view(expanded)));
    if (end == text.size()) break;
    start = end + 1;
  }
}

void ExpandPackName(CString nameTemplate, CString& name) {
  const std::wstring text = Trimmed(nameTemplate.GetString());
  const SYSTEMTIME now = ReadClock();
  ValueTexts values = FormatValues(now);
  std::wstring expanded = ExpandGroups(text, [&](std::wstring_view content, std::wstring& out) {
    std::wstring digits(content);
    FillDigits(digits, DateTimeLetter, values);
    out += digits;
  });
  if (expanded.empty()) {
    name.Format(L"%d.%d.%d %d.%d.%d", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
    return;
  }
  name = CString(std::wstring_view(expanded));
}

void BuildExecCommand(const CString& commandTemplate, const ExecPlaceholders& placeholders, ExecCommand& built) {
  std::wstring_view raw = commandTemplate.GetString();
  std::wstring text = Trimmed(raw);
  if (!raw.empty() && raw.front() == L'/') text.insert(text.begin(), L'/');

  ValueTexts values = FormatValues(ReadClock());
  const std::wstring in = placeholders.inputFolder.GetString();
  const std::wstring name = placeholders.fileName.GetString();
  const std::wstring ext = placeholders.extension.GetString();
  const std::wstring out = placeholders.outputFolder.GetString();
  const std::wstring listed = placeholders.listedName.GetString();
  const std::wstring full = in + L"/" + (!listed.empty() ? listed : ext.empty() ? name : name + L"." + ext);
  const Placeholder passes[] = {
      {L"$IN", &in, nullptr},        {L"$N", &name, &built.perFile}, {L"$F", &full, &built.perFile},
      {L"$E", &ext, &built.perFile}, {L"$OUT", &out, nullptr},        {L"$O2C", nullptr, &built.oem},
  };

  built.inserted.clear();
  std::wstring expanded = ExpandGroups(text, [&](std::wstring_view content, std::wstring& result) {
    std::wstring digits(content);
    FillDigits(digits, DateTimeLetter, values);
    std::vector<Piece> pieces{{std::move(digits), false}};
    for (const Placeholder& placeholder : passes) ReplacePlaceholder(pieces, placeholder);
    for (const Piece& piece : pieces) {
      if (piece.inserted) {
        built.inserted.push_back({static_cast<int>(result.size()), static_cast<int>(piece.text.size())});
      }
      result += piece.text;
    }
  });
  built.command = CString(std::wstring_view(expanded));
}
