#include "config/signer_list_names.h"

const char* SignerListNameRefusal(const CString& name, const CString& previousName,
                                  const std::vector<SignerListRecord>& lists) {
  if (name.IsEmpty()) return "Введите имя списка";
  if (name.Find(L'\\') >= 0) return "Имя списка не может содержать символ \"\\\".";
  if (name == previousName) return nullptr;
  for (const SignerListRecord& list : lists) {
    // The edited list itself may take its own name in other letter case.
    if (list.name == previousName) continue;
    if (list.name.CompareNoCase(name) == 0) return "Список с таким именем уже существует";
  }
  return nullptr;
}
