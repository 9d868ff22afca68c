#include "config/operation_names.h"

#include "common/report_text.h"

namespace {

// Entry k of one text belongs to entry k of the other; every entry ends
// with "\n".
constexpr const char* kOperationCodes =
    "ENCR\nDECR\nHASH\nB64E\nB64D\nSIGN\nCHCK\nCHKX\nMOVE\nDELE\nLENC\nLDEC\nCDSG\nDSIG\n"
    "DCHK\nDELS\nRESG\nSGEN\nDCCX\nARCH\nUNAR\nPACK\nUNPK\nEXEC\n";
constexpr const char* kOperationNames =
    "Зашифровать\nРасшифровать\nХэшировать файл\nЗакодировать в b64\nРаскодировать из b64\n"
    "Добавить присоединённую подпись\nПроверить присоединённую подпись\n"
    "Проверить и Удалить присоединённую подпись\nПереместить\nУдалить\n"
    "Зашифровать большой файл\nРасшифровать большой файл\nСоздать отсоединённую подпись\n"
    "Добавить отсоединённую подпись\nПроверить отсоединённую подпись\n"
    "Удалить подпись без проверки\nПереподписать\n"
    "Добавить присоединённую подпись и зашифровать\n"
    "Расшифровать, проверить и удалить присоединённую подпись\nАрхивировать файл\n"
    "Разархивировать файл\nУпаковать файлы\nРаспаковать файлы\nИсполнить\n";

void SplitTable(const char* text, CStringArray& entries) {
  const CString wide = WidenFormat(text);
  int start = 0;
  for (int lf = wide.Find(L'\n'); lf >= 0; lf = wide.Find(L'\n', start)) {
    CString entry = wide.Mid(start, lf - start);
    entries.Add(entry.Trim());
    start = lf + 1;
  }
}

}  // namespace

OperationCodeTable::OperationCodeTable() {
  SplitTable(kOperationCodes, codes);
  SplitTable(kOperationNames, names);
}

CString OperationCodeTable::DisplayName(const CString& code) const {
  for (INT_PTR k = 0; k < codes.GetSize() && k < names.GetSize(); ++k) {
    if (codes[k] == code) return names[k];
  }
  return code;
}

CString EncAlgorithmName(int value) {
  static const char* const kNames[5] = {
      "ГОСТ Р 28147-89", "ГОСТ Р 34.12-2015 Магма", "ГОСТ Р 34.12-2015 Магма с имитовставкой",
      "ГОСТ Р 34.12-2015 Кузнечик", "ГОСТ Р 34.12-2015 Кузнечик с имитовставкой"};
  if (value < 0 || value > 4) return CString();
  return WidenFormat(kNames[value]);
}

