// Operations whose families are not built yet. Each leaves its rule's files
// where they are, without a record, as a rule with an unknown operation code
// does; a family's real source replaces its entry here.

#include "service/operations/operations.h"

DWORD DecryptAndVerifyFiles(const CStringArray&, DirectoryProfileTable&, int, ProfileRecord&, CString,
                            CString, CString, CString, CString, const CStringArray*, int, CString) {
  return 0;
}
