#include "config/add_rule_form.h"

#include <initializer_list>

#include "common/report_text.h"
#include "config/operation_names.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace {

CString Text(const char* utf8) { return WidenFormat(utf8); }

bool In(int operation, std::initializer_list<int> group) {
  for (int member : group) {
    if (member == operation) return true;
  }
  return false;
}

// The groups the editor's steps name.
constexpr std::initializer_list<int> kRecipientOperations = {kOpEncr, kOpLenc, kOpSgen};
constexpr std::initializer_list<int> kSignerOperations = {kOpChck, kOpChkx, kOpDchk, kOpResg,
                                                          kOpDccx};
constexpr std::initializer_list<int> kSignerOrExecOperations = {kOpChck, kOpChkx, kOpDchk,
                                                                kOpResg, kOpDccx, kOpExec};
constexpr std::initializer_list<int> kArchiveWithNoneOperations = {kOpEncr, kOpDecr, kOpLenc,
                                                                   kOpLdec, kOpSgen, kOpDccx};
constexpr std::initializer_list<int> kArchiveOperations = {
    kOpEncr, kOpDecr, kOpLenc, kOpLdec, kOpSgen, kOpDccx, kOpArch, kOpUnar};
constexpr std::initializer_list<int> kWithoutDirectoryProfile = {
    kOpB64e, kOpB64d, kOpMove, kOpDele, kOpArch, kOpUnar, kOpPack, kOpUnpk, kOpExec};
constexpr std::initializer_list<int> kModeOperations = {kOpSign, kOpSgen};
constexpr std::initializer_list<int> kZipOnlyOperations = {kOpArch, kOpUnar};

constexpr const char* kDirectoryProfileLabel = "Профиль справочника: ";
constexpr const char* kCipherLabel = "Алгоритм шифрования:";
constexpr const char* kArchiveLabel = "Использовать архивацию:";
constexpr const char* kModeLabel = "Тип операции:";
constexpr const char* kExecTimeoutLabel = "Таймаут исполнения (мин.):";
constexpr const char* kCopiesLabel = "Формат отчетности копий:";

// The stored value's position in a list of count entries; -1 (no choice)
// for a value outside it.
int PositionOf(int value, int count) { return value >= 0 && value < count ? value : -1; }

// What OK stores for a list: its position, or the value the rule came with
// when the list had no choice.
int ChosenOr(int position, int stored) { return position >= 0 ? position : stored; }

bool IsUnset(const CString& text) { return text.IsEmpty() || text == L"0"; }

// The last position of names equal to name (exact), or -1.
int LastPositionOf(const std::vector<CString>& names, const CString& name) {
  for (int i = static_cast<int>(names.size()) - 1; i >= 0; --i) {
    if (names[static_cast<size_t>(i)] == name) return i;
  }
  return -1;
}

CString CountText(size_t count) {
  CString text;
  text.Format(L"%d", static_cast<int>(count));
  return text;
}

CString TooltipFor(int operation) {
  if (In(operation, kSignerOperations)) return Text("Добавить подписантов");
  if (operation == kOpMove) return Text("Доп. выходная папка");
  if (operation == kOpExec) return Text("Исполняемый файл:");
  return Text("Добавить получателей");
}

int g_lastDirectoryProfilePosition = 0;

const OperationCodeTable& OperationTable() {
  static const OperationCodeTable table;
  return table;
}

}  // namespace

const CStringArray& OperationCodes() { return OperationTable().codes; }

const CStringArray& OperationDisplayNames() { return OperationTable().names; }

std::vector<CString> ChoiceEntries(ChoiceList list, const std::vector<CString>& directoryProfiles) {
  std::vector<const char*> texts;
  switch (list) {
    case ChoiceList::kNone:
      break;
    case ChoiceList::kCiphers: {
      std::vector<CString> names;
      for (int value = 0; value < 5; ++value) names.push_back(EncAlgorithmName(value));
      return names;
    }
    case ChoiceList::kArchivesWithNone:
      texts = {"Нет", "ZIP архивация", "GZIP архивация"};
      break;
    case ChoiceList::kArchivesWithoutNone:
      texts = {"ZIP архивация", "GZIP архивация"};
      break;
    case ChoiceList::kFormats:
      texts = {"Присоединённая ЭП", "Отсоединённая ЭП"};
      break;
    case ChoiceList::kModes:
      texts = {"Блочная", "Потоковая"};
      break;
    case ChoiceList::kDirectoryProfiles:
      return directoryProfiles;
  }
  std::vector<CString> entries;
  for (const char* text : texts) entries.push_back(Text(text));
  return entries;
}

DWORD RuleFolderTestCode(const CString& path) {
  // A folder the service can find from any working directory: a full path.
  if (path.IsEmpty() || path[0] != L'/') return ERROR_PATH_NOT_FOUND;
  if (PathFileExistsW(path)) return 0;
  return GetLastError();
}

RuleForm::RuleForm(const ProfileRecord& profile, const RuleRecord& rule)
    : profile_(profile), rule_(rule), isNewRule_(rule.operation.IsEmpty()) {
  label1104 = Text(kDirectoryProfileLabel);
  label1122 = Text("Описа\nние");
}

int RuleForm::LastDirectoryProfilePosition() { return g_lastDirectoryProfilePosition; }

void RuleForm::ShowCipherRow() {
  label1108 = Text(kCipherLabel);
  rows[0].list = ChoiceList::kCiphers;
  rows[0].shown = true;
}

void RuleForm::ShowArchiveRow(bool withNone) {
  label1109 = Text(kArchiveLabel);
  rows[1].list = withNone ? ChoiceList::kArchivesWithNone : ChoiceList::kArchivesWithoutNone;
  rows[1].shown = true;
}

void RuleForm::ShowModeRow(int position) {
  label1110 = Text(kModeLabel);
  rows[2] = {ChoiceList::kModes, true, position};
}

void RuleForm::ResetCertField() {
  certField = L"0";
  recipients.clear();
}

void RuleForm::Init() {
  const bool hasDirectoryProfiles = !profile_.zcsProfiles.empty();
  rows[0] = {ChoiceList::kCiphers, true, 0};
  rows[1] = {ChoiceList::kFormats, false, 0};
  rows[2] = {ChoiceList::kDirectoryProfiles, false, 0};
  label1108 = Text(kCipherLabel);
  directoryProfile = hasDirectoryProfiles ? 0 : -1;
  oldMask = L"*";
  operation = kOpEncr;
  certField = L"0";
  certTooltip = TooltipFor(kOpEncr);
  if (isNewRule_) {
    ShowArchiveRow(true);
    rows[1].position = 0;
  } else {
    label1108.Empty();
    rows[0].shown = false;
    const CStringArray& codes = OperationCodes();
    for (int i = kOperationCount - 1; i >= 0; --i) {
      if (codes[i] == rule_.operation) {
        operation = i;
        break;
      }
    }
    const int op = operation;
    pathIn = rule_.pathIn;
    pathOut = rule_.pathOut;
    pathError = rule_.pathError;
    oldMask = rule_.mask;
    description = rule_.description;
    edited.masks = rule_.masks;
    if (In(op, kRecipientOperations)) {
      recipients = rule_.recipients;
      certField = CountText(recipients.size());
      ShowCipherRow();
      rows[0].position = PositionOf(rule_.encAlgorithm, 5);
    }
    if (In(op, kArchiveWithNoneOperations)) {
      ShowArchiveRow(true);
      rows[1].position = PositionOf(rule_.zipFile, 3);
    } else if (In(op, kZipOnlyOperations)) {
      ShowArchiveRow(false);
      rows[1].position = PositionOf(rule_.zipFile - 1, 2);
    }
    if (In(op, kSignerOperations)) {
      edited.signerLists = rule_.signerLists;
      certField = CountText(edited.signerLists.size());
      certTooltip = TooltipFor(op);
    }
    certEnabled = In(op, kRecipientOperations) || In(op, kSignerOperations);
    if (op == kOpResg) {
      label1108 = Text("Формат входной подписи:");
      label1109 = Text("Формат выходной подписи:");
      label1110 = Text("Новый профиль подписи:");
      rows[0] = {ChoiceList::kFormats, true, rule_.inFormatDet == 1 ? 1 : 0};
      rows[1] = {ChoiceList::kFormats, true, rule_.outFormatDet == 1 ? 1 : 0};
      const int resign = LastPositionOf(profile_.zcsProfiles, rule_.resignProfile);
      rows[2] = {ChoiceList::kDirectoryProfiles, true, resign >= 0 ? resign : 0};
    }
    if (hasDirectoryProfiles) directoryProfile = DirectoryProfileIndex(profile_, rule_.zcsProfile);
    if (op == kOpDele) {
      outputEnabled = false;
      pathOut.Empty();
    }
    if (op == kOpMove) {
      certEditable = true;
      certEnabled = true;
      certIcon = kIconSecondOutput;
      certTooltip = TooltipFor(op);
      certField = rule_.pathOut2 == L"0" ? CString() : rule_.pathOut2;
      label1108 = Text("Удалить расширение:");
      label1109 = Text("Добавить расширение:");
      label1110 = Text("Формат отчетности:");
      label1138 = Text(kCopiesLabel);
      moveEditsShown = true;
      row4Shown = true;
      delExt = rule_.delExt;
      addExt = rule_.addExt;
      folders = rule_.folders;
      row4Text = rule_.copyFolders;
    }
    if (In(op, kWithoutDirectoryProfile)) {
      label1104.Empty();
      directoryProfileShown = false;
    }
    if (op == kOpPack) {
      label1108 = Text("Количество файлов:");
      label1109 = Text("Размер архива (КБ.):");
      label1110 = Text("Таймаут архивации (мин.):");
      label1138 = Text("Формат имён архивов:");
      numbers[0] = rule_.archCount;
      numbers[1] = rule_.archSize;
      numbers[2] = rule_.archTimeout;
      numbersShown[0] = numbersShown[1] = numbersShown[2] = true;
      row4Shown = true;
      row4Text = rule_.archName;
    }
    if (op == kOpExec) {
      label1108 = Text(kExecTimeoutLabel);
      numbers[0] = rule_.execTimeout;
      numbersShown[0] = true;
      certEditable = true;
      certEnabled = true;
      certIcon = kIconExecutable;
      certTooltip = TooltipFor(op);
      certField = rule_.execName == L"0" ? CString() : rule_.execName;
    }
    if (In(op, kModeOperations)) ShowModeRow(PositionOf(rule_.stream, 2));
  }
  // Without directory profiles there is nothing to pick certificates in.
  if (!hasDirectoryProfiles && directoryProfileShown) certEnabled = false;
  g_lastDirectoryProfilePosition = directoryProfile;
}

void RuleForm::OnOperationChange(int newPosition) {
  const int old = operation;
  const int op = newPosition;
  operation = newPosition;
  if (In(old, kRecipientOperations) && !In(op, kRecipientOperations)) ResetCertField();
  if (In(old, kSignerOrExecOperations) && !In(op, kSignerOrExecOperations)) {
    ResetCertField();
    edited.signerLists.clear();
  }
  certTooltip = TooltipFor(op);
  if (old == kOpMove && op != kOpMove) ResetCertField();
  certEnabled = In(op, kRecipientOperations) || In(op, kSignerOperations) || op == kOpMove;

  if (op == kOpDele) {
    outputEnabled = false;
    pathOut.Empty();
  } else {
    outputEnabled = true;
    if (old == kOpDele) pathOut.Empty();
  }

  if (op == kOpMove) {
    if (old != kOpMove) {
      certField.Empty();
      row4Text.Empty();
    }
    certEditable = true;
    certIcon = kIconSecondOutput;
    moveEditsShown = true;
    row4Shown = true;
    label1138 = Text(kCopiesLabel);
  } else {
    certEditable = false;
    certIcon = kIconRecipients;
    moveEditsShown = false;
    delExt.Empty();
    addExt.Empty();
    folders.Empty();
    label1138.Empty();
    row4Shown = false;
  }

  if (op == kOpPack) {
    if (old != kOpPack) {
      numbers[0] = numbers[1] = numbers[2] = 0;
      row4Text.Empty();
    }
    numbersShown[0] = numbersShown[1] = numbersShown[2] = true;
    row4Shown = true;
  } else if (op == kOpExec) {
    if (old != kOpExec) {
      numbers[0] = 0;
      certField.Empty();
    }
    label1108 = Text(kExecTimeoutLabel);
    numbersShown[0] = true;
    numbersShown[1] = numbersShown[2] = false;
    certEditable = true;
    certEnabled = true;
    certIcon = kIconExecutable;
    certTooltip = TooltipFor(op);
  } else {
    numbersShown[0] = numbersShown[1] = numbersShown[2] = false;
    if (op != kOpMove) {
      row4Shown = false;
      label1138.Empty();
    }
  }

  if (In(op, kModeOperations)) rows[1].position = PositionOf(rule_.zipFile, 3);

  if (op == kOpResg) {
    if (old != kOpResg) {
      rows[0] = {ChoiceList::kFormats, true, 0};
      rows[1] = {ChoiceList::kFormats, true, 0};
      label1108 = Text("Формат входной подписи:");
      label1109 = Text("Формат выходной подписи:");
      label1110 = Text("Новый профиль подписи:");
      rows[2] = {ChoiceList::kDirectoryProfiles, true, profile_.zcsProfiles.empty() ? -1 : 0};
    }
  } else {
    label1110.Empty();
    rows[2].shown = false;
    if (In(op, kModeOperations)) ShowModeRow(PositionOf(rule_.stream, 2));
    label1108.Empty();
    label1109.Empty();
    rows[0].shown = false;
    rows[1].shown = false;
    if (In(op, kRecipientOperations)) ShowCipherRow();
    if (In(op, {kOpDecr, kOpLdec, kOpDccx, kOpArch, kOpUnar, kOpMove})) {
      if (op == kOpMove) {
        label1108 = Text("Удалить расширение:");
        label1110 = Text("Формат отчетности:");
      }
      rows[0].shown = false;
      if (op != old) rows[0].position = 0;
    }
    if (op == kOpMove) {
      label1109 = Text("Добавить расширение:");
    } else if (In(op, kArchiveOperations)) {
      const bool zipOnly = In(op, kZipOnlyOperations);
      const bool wasZipOnly = In(old, kZipOnlyOperations);
      ShowArchiveRow(!zipOnly);
      int& position = rows[1].position;
      // The same archive kind stays chosen across the lists with and
      // without "Нет".
      if (!zipOnly && wasZipOnly && position >= 0 && position < 2) ++position;
      if (zipOnly && !wasZipOnly && position > 0) --position;
    }
    if (op != old && (op == kOpMove || In(op, kArchiveOperations))) {
      if (In(old, kArchiveWithNoneOperations) && !In(op, kArchiveWithNoneOperations)) {
        rows[0].position = 0;
      }
      if (In(old, kArchiveOperations) && !In(op, kArchiveOperations)) rows[1].position = 0;
    }
    if (op == kOpPack) {
      label1108 = Text("Количество файлов:");
      label1109 = Text("Размер архива (КБ.):");
      label1110 = Text("Таймаут архивации (мин.):");
      label1138 = Text("Формат имён архивов:");
    } else if (op == kOpExec) {
      label1108 = Text(kExecTimeoutLabel);
    }
  }

  if (In(op, kWithoutDirectoryProfile)) {
    label1104.Empty();
    directoryProfileShown = false;
  } else {
    label1104 = Text(kDirectoryProfileLabel);
    directoryProfileShown = true;
    if (profile_.zcsProfiles.empty()) certEnabled = false;
  }
}

void RuleForm::OnDirectoryProfileChange(int newPosition,
                                        const std::function<bool(const CString&)>& askYes) {
  directoryProfile = newPosition;
  if (newPosition == g_lastDirectoryProfilePosition) return;
  if (!recipients.empty()) {
    if (!askYes(Text("Для смены профиля справочника поле получателей должно быть пустым.\r\n"
                     "Удалить всех получателей из правила?"))) {
      directoryProfile = g_lastDirectoryProfilePosition;
      return;
    }
    ResetCertField();
  }
  if (!edited.signerLists.empty()) {
    if (!askYes(Text("Для смены профиля справочника поле подписантов должно быть пустым.\r\n"
                     "Удалить все списки подписантов из правила?"))) {
      directoryProfile = g_lastDirectoryProfilePosition;
      return;
    }
    edited.signerLists.clear();
    certField = L"0";
  }
  g_lastDirectoryProfilePosition = newPosition;
}

void RuleForm::SetSignerLists(std::vector<SignerListRecord> lists) {
  edited.signerLists = std::move(lists);
  certField = CountText(edited.signerLists.size());
}

void RuleForm::SetRecipients(std::vector<CString> owners) {
  recipients = std::move(owners);
  certField = CountText(recipients.size());
}

RuleFormRefusal RuleForm::Ok(RuleRecord& result) const {
  const int op = operation;
  const CString code = op >= 0 && op < kOperationCount ? OperationCodes()[op] : CString();
  auto message = [](const char* text) {
    return RuleFormRefusal{RuleFormRefusal::kMessage, Text(text), 0, 0, CString()};
  };
  auto errorBox = [](int icon, const char* text) {
    return RuleFormRefusal{RuleFormRefusal::kErrorBox, Text(text), icon, 0, CString()};
  };
  auto folderTest = [](const CString& path, const char* sentence) {
    const DWORD failure = RuleFolderTestCode(path);
    if (failure == 0) return RuleFormRefusal{};
    return RuleFormRefusal{RuleFormRefusal::kFolderReport, Text(sentence), 0, failure, path};
  };
  if (code.IsEmpty()) return message("Не выбрано ни одной операции.");
  if (IsUnset(pathIn)) return errorBox(kIconInput, "Не выбран входной путь.");
  if (IsUnset(pathOut) && op != kOpDele) return errorBox(kIconOutput, "Не выбран выходной путь.");
  if (IsUnset(pathError)) return errorBox(kIconError, "Не выбран путь для ошибок.");
  RuleFormRefusal refusal = folderTest(pathIn, "Выбран некорректный входной путь.");
  if (refusal.kind != RuleFormRefusal::kNone) return refusal;
  if (op != kOpDele) {
    refusal = folderTest(pathOut, "Выбран некорректный выходной путь.");
    if (refusal.kind != RuleFormRefusal::kNone) return refusal;
  }
  refusal = folderTest(pathError, "Выбран некорректный путь для ошибок.");
  if (refusal.kind != RuleFormRefusal::kNone) return refusal;
  if (edited.masks.empty()) return message("Не выбрана маска.");
  if (In(op, kRecipientOperations) && recipients.empty()) {
    return errorBox(kIconRecipients, "Не выбрано ни одного сертификата для операции.");
  }
  if (op == kOpMove && !IsUnset(certField)) {
    refusal = folderTest(certField, "Выбран некорректный доп. выходной путь.");
    if (refusal.kind != RuleFormRefusal::kNone) return refusal;
  }
  if (op == kOpExec && IsUnset(certField)) {
    return errorBox(kIconExecutable, "Не указан исполняемый файл.");
  }

  RuleRecord rule;
  rule.operation = code;
  rule.pathIn = pathIn;
  rule.pathOut = op == kOpDele ? CString() : pathOut;
  rule.pathError = pathError;
  if (!In(op, kWithoutDirectoryProfile)) {
    rule.zcsProfile = ListTextAt(profile_.zcsProfiles, directoryProfile);
  }
  rule.recipients = recipients;
  if (In(op, kRecipientOperations)) rule.encAlgorithm = ChosenOr(rows[0].position, rule_.encAlgorithm);
  if (In(op, kModeOperations)) rule.stream = ChosenOr(rows[2].position, rule_.stream);
  if (In(op, kArchiveWithNoneOperations)) rule.zipFile = ChosenOr(rows[1].position, rule_.zipFile);
  if (In(op, kZipOnlyOperations)) {
    rule.zipFile = rows[1].position >= 0 ? rows[1].position + 1 : rule_.zipFile;
  }
  if (op == kOpResg) {
    rule.inFormatDet = rows[0].position;
    rule.outFormatDet = rows[1].position;
    rule.resignProfile = ListTextAt(profile_.zcsProfiles, rows[2].position);
  }
  if (op == kOpMove) {
    rule.pathOut2 = certField;
    rule.delExt = delExt;
    rule.addExt = addExt;
    rule.folders = folders;
    rule.copyFolders = row4Text;
  }
  if (op == kOpPack) {
    rule.archCount = numbers[0];
    rule.archSize = numbers[1];
    rule.archTimeout = numbers[2];
    rule.archName = row4Text;
  }
  if (op == kOpExec) {
    rule.execName = certField;
    rule.execTimeout = numbers[0];
  }
  rule.isOn = 1;
  rule.description = description;
  rule.masks = edited.masks;
  if (In(op, kSignerOperations)) rule.signerLists = edited.signerLists;
  result = std::move(rule);
  return RuleFormRefusal{};
}
