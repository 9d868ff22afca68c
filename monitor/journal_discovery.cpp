#include "monitor/journal_discovery.h"

#include <algorithm>

#include "common/journal_format.h"

CString JournalFolderPattern(const CString& folder) {
  // Every journal's pattern, with any name in place of the journal's.
  return folder + L"/" + JournalFilePattern(L"*");
}

std::vector<CString> JournalNames(const std::vector<CString>& files) {
  std::vector<CString> names;
  for (const CString& file : files) {
    const int blank = file.Find(L' ');
    if (blank < 0) continue;
    CString name = file.Mid(blank + 1);
    if (name.GetLength() >= 4 && name.Right(4) == L".txt") name = name.Left(name.GetLength() - 4);
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  return names;
}

std::vector<JournalPair> JournalPairs(const std::vector<CString>& names) {
  std::vector<JournalPair> pairs;
  for (const CString& name : names) {
    if (name.Find(L"- errors") >= 0) continue;
    const CString errors = ErrorsJournalSuffix(name);
    if (std::find(names.begin(), names.end(), errors) != names.end()) {
      pairs.push_back(JournalPair{name, errors});
    }
  }
  return pairs;
}
