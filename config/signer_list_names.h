#pragma once
// The name of a signer list is the name of its registry subkey under the
// rule's key, and registry key names ignore letter case and cannot hold "\":
// "A" and "a" would be one key (the two lists merging and losing signers),
// and "x\y" a nested key that the service reads as a list without names.

#include <vector>

#include "common/config_records.h"
#include "platform/cstring.h"

// Why name cannot be given to the list now named previousName (empty when a
// list is created) among the rule's lists: the warning text, or null when it
// can.
const char* SignerListNameRefusal(const CString& name, const CString& previousName,
                                  const std::vector<SignerListRecord>& lists);
