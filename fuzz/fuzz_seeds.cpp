// Writes the seed corpora of the targets for the files others hand to the
// programs, with the programs' own writers: a rule export as the
// configuration program exports it, a user-group file as it saves one, and
// both journals as the service writes their records.
// Usage: fuzz_seeds <folder>   (makes <folder>/<target>/...)

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/journal_format.h"
#include "config/group_file.h"
#include "config/rule_export.h"
#include "fuzz/fuzz_scratch.h"
#include "platform/codepage.h"

namespace {

namespace fs = std::filesystem;

bool Write(const fs::path& file, const std::string& bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << bytes;
  return static_cast<bool>(out);
}

std::vector<RuleRecord> SampleRules() {
  RuleRecord sign;
  sign.operation = L"SIGN";
  sign.pathIn = L"/srv/обмен/in";
  sign.pathOut = L"/srv/обмен/out";
  sign.pathError = L"/srv/обмен/err";
  sign.masks = {L"*.txt", L"*.xml"};
  sign.isOn = 1;
  sign.zcsProfile = L"Банк";
  sign.description = L"подпись платёжек";
  sign.stream = 1;

  RuleRecord encrypt = sign;
  encrypt.operation = L"ENCR";
  encrypt.masks = {L"*.*"};
  encrypt.recipients = {L"CN=Иванов Иван, O=Банк, C=RU", L"CN=Second, O=Bank"};
  encrypt.encAlgorithm = 4;
  encrypt.outFormatDet = 1;

  RuleRecord verify = sign;
  verify.operation = L"CHCK";
  verify.inFormatDet = 1;
  verify.signerLists = {{L"Бухгалтерия", {L"CN=Иванов Иван, O=Банк, C=RU"}}, {L"Other", {L"CN=A", L"CN=B"}}};

  RuleRecord pack = sign;
  pack.operation = L"PACK";
  pack.archName = L"|YYYY||MM||DD|-pack";
  pack.archCount = 10;
  pack.archSize = 2048;
  pack.archTimeout = 5;
  pack.zipFile = 2;

  RuleRecord move = sign;
  move.operation = L"MOVE";
  move.pathOut2 = L"/srv/copy";
  move.delExt = L"tmp";
  move.addExt = L"done";
  move.folders = L"|YYYY|\\|MM|";
  move.copyFolders = L"|DD|";
  move.isOn = 0;

  RuleRecord exec = sign;
  exec.operation = L"EXEC";
  exec.execName = L"/usr/bin/printf %s :|$IN|";
  exec.execTimeout = 3;
  return {sign, encrypt, verify, pack, move, exec};
}

bool RuleExports(const fs::path& folder) {
  const std::vector<RuleRecord> rules = SampleRules();
  std::string bytes;
  int refused = -1;
  if (!BuildRulesExport(rules, bytes, refused)) return false;
  std::string one;
  if (!BuildRulesExport({rules[2]}, one, refused)) return false;
  return Write(folder / "rules.prx", bytes) && Write(folder / "one.prx", one);
}

bool GroupFiles(const fs::path& folder) {
  return Write(folder / "group.grx",
               GroupFileBytes({L"CN=Иванов Иван, O=Банк, C=RU", L"CN=Second, OU=IT, O=Bank, C=RU",
                               L"EMAIL=a@b.ru, CN=Петров"})) &&
         Write(folder / "one.grx", GroupFileBytes({L"CN=A"}));
}

std::string Ansi(const CString& text) { return platform::WideToMultiByte(text.GetString()); }

bool Journals(const fs::path& folder) {
  const CString time = L"14:05:09 09/12/2026";
  const CString later = L"23:59:59 31/12/2026";
  std::string operations;
  operations += Ansi(OperationsJournalLine(time, L"Банк", true, L"Запуск АК СКЗИ Квелла: сервис"));
  operations += Ansi(OperationsJournalLine(
      time, L"Банк", true,
      EscapeJournalText(L"Правило 1 ('SIGN'). Профиль справочника : 'Банк' | Подпись файла 'a | b\r\n\tc.txt'")));
  operations += Ansi(OperationsJournalLine(later, L"Банк", false,
                                           EscapeJournalText(L"Правило 2 ('CHCK'). Проверка ЭП файла 'x\x7f.p7s'")));
  std::string errors;
  errors += Ansi(ErrorsJournalLine(time, L"Запуск АК СКЗИ Квелла: сервис"));
  errors += Ansi(ErrorsJournalLine(
      later, L"Ошибка 0xE0700046 - " + EscapeJournalText(L"Сертификат не найден.\r\nВторая строка", true) + L". "));
  errors += Ansi(EscapeJournalText(L"ORLAX_FindCert: certs.cpp(120): CN=Иванов\r\n", true));
  return Write(folder / "operations.txt", operations) && Write(folder / "errors.txt", errors) &&
         Write(folder / "both.txt", operations + errors);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds <folder>\n");
    return 2;
  }
  fuzz::Scratch();  // a private store: the ANSI code page is its default
  const fs::path folder = argv[1];
  if (!RuleExports(folder / "rule_export_fuzz") || !GroupFiles(folder / "group_file_fuzz") ||
      !Journals(folder / "journal_line_fuzz")) {
    std::fprintf(stderr, "fuzz_seeds: a writer refused its sample\n");
    return 1;
  }
  return 0;
}
