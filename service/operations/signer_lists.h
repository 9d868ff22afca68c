#pragma once
// The signer-list check of the verifying operations: every signer list of a
// rule must be met by at least one signer of the verified file.
//
// Runs on the worker thread; keeps nothing.

#include <vector>

#include "common/qelm_api.h"
#include "platform/cstring.h"
#include "common/config_records.h"

// The names of the rule's lists that no signer meets, in the rule's order;
// empty when the check passed (always so for a rule without lists).
//
// A list is met when the owner DN of a signer whose signature verified
// (SignerEntryStatus 0) equals one of its names exactly, letter case and
// blanks included; the owner is read from the ANSI code page. A list without
// names is never met, nor is any list when the result has no entries. A
// signer whose signature failed meets no list: a list names the people whose
// signature the file must carry, and a broken or unknown signature is not
// theirs.
std::vector<CString> CheckSignerLists(const std::vector<SignerListRecord>& lists, const VerifyResult& result);

// The description of a file that fails the check:
// "В ЭП не найдены подписанты из списков подписантов: 'A', 'B'".
CString SignerListsDescription(const std::vector<CString>& unsatisfied);
