#pragma once
// The names the configuration program shows for the stored operation codes
// and cipher values.

#include "platform/cstring.h"

// The 24 operation codes and their display names, in the same order.
struct OperationCodeTable {
  CStringArray codes;
  CStringArray names;
  OperationCodeTable();
  // The display name of code (exact comparison), or the code itself.
  CString DisplayName(const CString& code) const;
};

// The name of an "Enc algorythm" value; empty for a value without one.
CString EncAlgorithmName(int value);

