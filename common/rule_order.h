#pragma once
// The order in which a profile's rules run, taken from the names of their
// registry keys ("Rule %d", as the configuration program writes them; the
// service accepts any name). The configuration program lists rules in the
// same order, so a rule keeps its place across a save and a load.

#include <vector>

#include "platform/cstring.h"

// The number after the name's last blank (the whole name when there is
// none), read as a decimal integer: leading blanks, a sign, digits up to the
// first other character, 0 without digits; clamped to 32 bits.
// "Rule 9" gives 9, "Extra" gives 0.
int RuleNumber(const CString& keyName);

// Sorts names ascending by RuleNumber; names with equal numbers keep their
// order. "Rule 9" runs before "Rule 10"; "Extra" before "Rule 1".
void SortRuleNames(std::vector<CString>& names);
