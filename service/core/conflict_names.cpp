#include "service/core/conflict_names.h"

#include <random>

#include "platform/errors.h"

CString MakeConflictNameWith(const CString& name, DWORD number) {
  int dot = name.Find(L'.');
  CString stem = dot < 0 ? name : name.Left(dot);
  CString rest = dot < 0 ? CString() : name.Mid(dot);
  CString mark;
  mark.Format(L"~%x", static_cast<unsigned>(number));
  return stem + mark + rest;
}

CString MakeConflictName(const CString& name) {
  // A fresh Mersenne Twister per call, seeded from the system's random
  // source: its first output is the mark. Nothing is kept between calls.
  std::random_device source;
  std::mt19937 generator(static_cast<std::mt19937::result_type>(source()));
  return MakeConflictNameWith(name, static_cast<DWORD>(generator()));
}

bool IsNameTakenError(DWORD error) { return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS; }
