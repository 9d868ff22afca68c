#include "service/operations/signer_lists.h"

#include "service/operations/verification_report.h"

namespace {

bool ListNames(const SignerListRecord& list, const CString& owner) {
  for (const CString& signer : list.signers)
    if (signer == owner) return true;
  return false;
}

bool ListSatisfied(const SignerListRecord& list, const VerifyResult& result) {
  for (std::uint32_t i = 0; i < SignerEntryCount(result); ++i) {
    const SignerEntry& entry = result.signers[i];
    if (SignerEntryStatus(entry) != 0 || entry.cert->owner == nullptr) continue;
    if (ListNames(list, CString(entry.cert->owner))) return true;
  }
  return false;
}

}  // namespace

std::vector<CString> CheckSignerLists(const std::vector<SignerListRecord>& lists, const VerifyResult& result) {
  std::vector<CString> unsatisfied;
  for (const SignerListRecord& list : lists)
    if (!ListSatisfied(list, result)) unsatisfied.push_back(list.name);
  return unsatisfied;
}

CString SignerListsDescription(const std::vector<CString>& unsatisfied) {
  CString text = L"В ЭП не найдены подписанты из списков подписантов: ";
  for (size_t i = 0; i < unsatisfied.size(); ++i) {
    if (i > 0) text += L", ";
    text += L"'" + unsatisfied[i] + L"'";
  }
  return text;
}
