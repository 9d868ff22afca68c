#pragma once
// Splitting of texts joined with ";;", the separator of "LastCrlUpdate"
// entries (directory-profile name ";;" seconds) and of exported rule fields.

#include "platform/cstring.h"

// Empties parts, then appends the pieces of text between occurrences of ";;",
// read from the left, and always the piece after the last one, even when it
// is empty: "" gives one empty piece, "a;;" gives "a" and "", ";;;" gives ""
// and ";". Never fails.
void SplitPairs(const CString& text, CStringArray& parts);
