#include "common/split_pairs.h"

void SplitPairs(const CString& text, CStringArray& parts) {
  parts.RemoveAll();
  int start = 0;
  for (int separator = text.Find(L";;", start); separator >= 0; separator = text.Find(L";;", start)) {
    parts.Add(text.Mid(start, separator - start));
    start = separator + 2;
  }
  parts.Add(text.Mid(start));
}
