#pragma once
// Owner names (distinguished names, DNs) in the certificate picker: the
// attribute table, splitting a DN into its components, the wildcard match of
// a network search, the filter after it, the lists' sort comparison and the
// text of the owner box.
//
// A comma is a boundary between components only where an attribute's short
// name followed by "=" comes after it; blanks after the comma are skipped and
// components are trimmed, so "O=A,Co" stays one component and the library's
// "CN=A, O=B" splits like "CN=A,O=B".

#include <vector>

#include "platform/cstring.h"

// The attribute table's entries in order ("Общее имя (CN)" ...), each a
// display name with the short name in parentheses, trimmed of blanks. The
// named attributes come first; the last two serve only for splitting.
const std::vector<CString>& DnAttributes();

// The text inside the entry's last pair of parentheses, upper-cased, when
// the entry ends with ")"; empty for an index outside the table.
CString AttributeShortName(int index);

// The entries that do not begin with "(": the ones the combo boxes offer.
int CountNamedAttributes();

// The components of a DN, in order, trimmed. The text after the last
// boundary is the last component (an empty DN gives one empty component).
void SplitDistinguishedName(const CString& dn, std::vector<CString>& components);

// Whether value matches pattern, where "*" stands for any run of characters
// (possibly none). The pattern is upper-cased; the comparison is
// case-sensitive, so callers pass upper-cased values.
bool MatchWildcard(CString value, CString pattern);

// For the index of a named attribute: removes every entry that has no
// component "<short name>=<value>" (entries upper-cased) whose value matches
// pattern. Any other index (the whole-name search) removes nothing.
void FilterByAttribute(const CString& pattern, int attributeIndex, std::vector<CString>& entries);

// The lists' sort comparison (<0, 0, >0): by the text from the sort
// attribute's component on (whole when the DN begins with it, empty when it
// has none), or by the whole texts when no attribute is chosen (-1).
// Direction 1 is ascending, 0 descending.
int CompareOwnersForSort(const CString& a, const CString& b, int attributeIndex, int direction);

// The owner box's text: the DN with a line break (CR LF) at every boundary
// before a named attribute, short names compared without regard to case.
CString OwnerBoxText(const CString& dn);
