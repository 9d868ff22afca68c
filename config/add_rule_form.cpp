#include "config/add_rule_form.h"

#include <initializer_list>

#include "common/report_text.h"
#include "common/operation_catalogue.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace {

CString Text(const char* utf8) { return WidenFormat(utf8); }

// The operation at a list position, or null for a position that holds none.
const OperationTraits* At(int position) {
  if (position < 0 || position >= kOperationCount) return nullptr;
  return &OperationCatalogue()[static_cast<size_t>(position)];
}

bool Is(int position, Operation operation) { return position == static_cast<int>(operation); }

bool IsAny(int position, std::initializer_list<Operation> operations) {
  for (Operation operation : operations) {
    if (Is(position, operation)) return true;
  }
  return false;
}

// The groups the editor's steps name, from what the catalogue says of each
// operation.
bool SearchesRecipients(int position) { return At(position) != nullptr && At(position)->searchesRecipients; }
bool ChecksSigners(int position) { return At(position) != nullptr && At(position)->checksSigners; }
bool ChecksSignersOrExecutes(int position) { return ChecksSigners(position) || Is(position, Operation::kExec); }
bool ArchiveOptional(int position) {
  return At(position) != nullptr && At(position)->archive == ArchiveUse::kOptional;
}
bool ArchiveRequired(int position) {
  return At(position) != nullptr && At(position)->archive == ArchiveUse::kRequired;
}
bool UsesArchive(int position) { return ArchiveOptional(position) || ArchiveRequired(position); }
bool WithoutDirectoryProfile(int position) {
  return At(position) != nullptr && !At(position)->usesDirectoryProfile;
}
bool ChoosesMode(int position) { return At(position) != nullptr && At(position)->choosesMode; }

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
  if (ChecksSigners(operation)) return Text("Добавить подписантов");
  if (Is(operation, Operation::kMove)) return Text("Доп. выходная папка");
  if (Is(operation, Operation::kExec)) return Text("Исполняемый файл:");
  return Text("Добавить получателей");
}

CStringArray CatalogueColumn(const wchar_t* OperationTraits::*column) {
  CStringArray texts;
  for (const OperationTraits& traits : OperationCatalogue()) texts.Add(CString(traits.*column));
  return texts;
}

}  // namespace

const CStringArray& OperationCodes() {
  static const CStringArray codes = CatalogueColumn(&OperationTraits::code);
  return codes;
}

const CStringArray& OperationDisplayNames() {
  static const CStringArray names = CatalogueColumn(&OperationTraits::displayName);
  return names;
}

std::vector<CString> ChoiceEntries(ChoiceList list, const std::vector<CString>& directoryProfiles) {
  std::vector<const char*> texts;
  switch (list) {
    case ChoiceList::kNone:
      break;
    case ChoiceList::kCiphers: {
      std::vector<CString> names;
      for (int value = 0; value < kEncAlgorithmCount; ++value) names.push_back(CString(EncAlgorithmName(value)));
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

RuleForm::RuleForm(TrelconState& state, const ProfileRecord& profile, const RuleRecord& rule)
    : state_(state), profile_(profile), rule_(rule), isNewRule_(rule.operation.IsEmpty()) {
  directoryProfileLabel = Text(kDirectoryProfileLabel);
  // The label's text had a line break only to fit a narrow fixed place;
  // here the layout gives it room.
  descriptionLabel = Text("Описание");
}

void RuleForm::ShowCipherRow() {
  rowLabels[0] = Text(kCipherLabel);
  rows[0].list = ChoiceList::kCiphers;
  rows[0].shown = true;
}

void RuleForm::ShowArchiveRow(bool withNone) {
  rowLabels[1] = Text(kArchiveLabel);
  rows[1].list = withNone ? ChoiceList::kArchivesWithNone : ChoiceList::kArchivesWithoutNone;
  rows[1].shown = true;
}

void RuleForm::ShowModeRow(int position) {
  rowLabels[2] = Text(kModeLabel);
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
  rowLabels[0] = Text(kCipherLabel);
  directoryProfile = hasDirectoryProfiles ? 0 : -1;
  oldMask = L"*";
  operation = static_cast<int>(Operation::kEncr);
  certField = L"0";
  certTooltip = TooltipFor(static_cast<int>(Operation::kEncr));
  if (isNewRule_) {
    ShowArchiveRow(true);
    rows[1].position = 0;
  } else {
    rowLabels[0].Empty();
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
    if (SearchesRecipients(op)) {
      recipients = rule_.recipients;
      certField = CountText(recipients.size());
      ShowCipherRow();
      rows[0].position = PositionOf(rule_.encAlgorithm, 5);
    }
    if (ArchiveOptional(op)) {
      ShowArchiveRow(true);
      rows[1].position = PositionOf(rule_.zipFile, 3);
    } else if (ArchiveRequired(op)) {
      ShowArchiveRow(false);
      rows[1].position = PositionOf(rule_.zipFile - 1, 2);
    }
    if (ChecksSigners(op)) {
      edited.signerLists = rule_.signerLists;
      certField = CountText(edited.signerLists.size());
      certTooltip = TooltipFor(op);
    }
    certEnabled = SearchesRecipients(op) || ChecksSigners(op);
    if (Is(op, Operation::kResg)) {
      rowLabels[0] = Text("Формат входной подписи:");
      rowLabels[1] = Text("Формат выходной подписи:");
      rowLabels[2] = Text("Новый профиль подписи:");
      rows[0] = {ChoiceList::kFormats, true, rule_.inFormatDet == 1 ? 1 : 0};
      rows[1] = {ChoiceList::kFormats, true, rule_.outFormatDet == 1 ? 1 : 0};
      const int resign = LastPositionOf(profile_.zcsProfiles, rule_.resignProfile);
      rows[2] = {ChoiceList::kDirectoryProfiles, true, resign >= 0 ? resign : 0};
    }
    if (hasDirectoryProfiles) directoryProfile = DirectoryProfileIndex(profile_, rule_.zcsProfile);
    if (Is(op, Operation::kDele)) {
      outputEnabled = false;
      pathOut.Empty();
    }
    if (Is(op, Operation::kMove)) {
      certEditable = true;
      certEnabled = true;
      certIcon = kIconSecondOutput;
      certTooltip = TooltipFor(op);
      certField = rule_.pathOut2 == L"0" ? CString() : rule_.pathOut2;
      rowLabels[0] = Text("Удалить расширение:");
      rowLabels[1] = Text("Добавить расширение:");
      rowLabels[2] = Text("Формат отчетности:");
      copiesOrArchiveNameLabel = Text(kCopiesLabel);
      moveEditsShown = true;
      copiesOrArchiveNameShown = true;
      delExt = rule_.delExt;
      addExt = rule_.addExt;
      folders = rule_.folders;
      copiesOrArchiveName = rule_.copyFolders;
    }
    if (WithoutDirectoryProfile(op)) {
      directoryProfileLabel.Empty();
      directoryProfileShown = false;
    }
    if (Is(op, Operation::kPack)) {
      rowLabels[0] = Text("Количество файлов:");
      rowLabels[1] = Text("Размер архива (КБ.):");
      rowLabels[2] = Text("Таймаут архивации (мин.):");
      copiesOrArchiveNameLabel = Text("Формат имён архивов:");
      limits[0] = rule_.archCount;
      limits[1] = rule_.archSize;
      limits[2] = rule_.archTimeout;
      limitsShown[0] = limitsShown[1] = limitsShown[2] = true;
      copiesOrArchiveNameShown = true;
      copiesOrArchiveName = rule_.archName;
    }
    if (Is(op, Operation::kExec)) {
      rowLabels[0] = Text(kExecTimeoutLabel);
      limits[0] = rule_.execTimeout;
      limitsShown[0] = true;
      certEditable = true;
      certEnabled = true;
      certIcon = kIconExecutable;
      certTooltip = TooltipFor(op);
      certField = rule_.execName == L"0" ? CString() : rule_.execName;
    }
    if (ChoosesMode(op)) ShowModeRow(PositionOf(rule_.stream, 2));
  }
  // Without directory profiles there is nothing to pick certificates in.
  if (!hasDirectoryProfiles && directoryProfileShown) certEnabled = false;
  state_.lastDirectoryProfilePosition = directoryProfile;
}

void RuleForm::OnOperationChange(int newPosition) {
  const int old = operation;
  const int op = newPosition;
  operation = newPosition;
  if (SearchesRecipients(old) && !SearchesRecipients(op)) ResetCertField();
  if (ChecksSignersOrExecutes(old) && !ChecksSignersOrExecutes(op)) {
    ResetCertField();
    edited.signerLists.clear();
  }
  certTooltip = TooltipFor(op);
  if (Is(old, Operation::kMove) && !Is(op, Operation::kMove)) ResetCertField();
  certEnabled = SearchesRecipients(op) || ChecksSigners(op) || Is(op, Operation::kMove);

  if (Is(op, Operation::kDele)) {
    outputEnabled = false;
    pathOut.Empty();
  } else {
    outputEnabled = true;
    if (Is(old, Operation::kDele)) pathOut.Empty();
  }

  if (Is(op, Operation::kMove)) {
    if (!Is(old, Operation::kMove)) {
      certField.Empty();
      copiesOrArchiveName.Empty();
    }
    certEditable = true;
    certIcon = kIconSecondOutput;
    moveEditsShown = true;
    copiesOrArchiveNameShown = true;
    copiesOrArchiveNameLabel = Text(kCopiesLabel);
  } else {
    certEditable = false;
    certIcon = kIconRecipients;
    moveEditsShown = false;
    delExt.Empty();
    addExt.Empty();
    folders.Empty();
    copiesOrArchiveNameLabel.Empty();
    copiesOrArchiveNameShown = false;
  }

  if (Is(op, Operation::kPack)) {
    if (!Is(old, Operation::kPack)) {
      limits[0] = limits[1] = limits[2] = 0;
      copiesOrArchiveName.Empty();
    }
    limitsShown[0] = limitsShown[1] = limitsShown[2] = true;
    copiesOrArchiveNameShown = true;
  } else if (Is(op, Operation::kExec)) {
    if (!Is(old, Operation::kExec)) {
      limits[0] = 0;
      certField.Empty();
    }
    rowLabels[0] = Text(kExecTimeoutLabel);
    limitsShown[0] = true;
    limitsShown[1] = limitsShown[2] = false;
    certEditable = true;
    certEnabled = true;
    certIcon = kIconExecutable;
    certTooltip = TooltipFor(op);
  } else {
    limitsShown[0] = limitsShown[1] = limitsShown[2] = false;
    if (!Is(op, Operation::kMove)) {
      copiesOrArchiveNameShown = false;
      copiesOrArchiveNameLabel.Empty();
    }
  }

  if (ChoosesMode(op)) rows[1].position = PositionOf(rule_.zipFile, 3);

  if (Is(op, Operation::kResg)) {
    if (!Is(old, Operation::kResg)) {
      rows[0] = {ChoiceList::kFormats, true, 0};
      rows[1] = {ChoiceList::kFormats, true, 0};
      rowLabels[0] = Text("Формат входной подписи:");
      rowLabels[1] = Text("Формат выходной подписи:");
      rowLabels[2] = Text("Новый профиль подписи:");
      rows[2] = {ChoiceList::kDirectoryProfiles, true, profile_.zcsProfiles.empty() ? -1 : 0};
    }
  } else {
    rowLabels[2].Empty();
    rows[2].shown = false;
    if (ChoosesMode(op)) ShowModeRow(PositionOf(rule_.stream, 2));
    rowLabels[0].Empty();
    rowLabels[1].Empty();
    rows[0].shown = false;
    rows[1].shown = false;
    if (SearchesRecipients(op)) ShowCipherRow();
    if (IsAny(op, {Operation::kDecr, Operation::kLdec, Operation::kDccx, Operation::kArch, Operation::kUnar, Operation::kMove})) {
      if (Is(op, Operation::kMove)) {
        rowLabels[0] = Text("Удалить расширение:");
        rowLabels[2] = Text("Формат отчетности:");
      }
      rows[0].shown = false;
      if (op != old) rows[0].position = 0;
    }
    if (Is(op, Operation::kMove)) {
      rowLabels[1] = Text("Добавить расширение:");
    } else if (UsesArchive(op)) {
      const bool zipOnly = ArchiveRequired(op);
      const bool wasZipOnly = ArchiveRequired(old);
      ShowArchiveRow(!zipOnly);
      int& position = rows[1].position;
      // The same archive kind stays chosen across the lists with and
      // without "Нет".
      if (!zipOnly && wasZipOnly && position >= 0 && position < 2) ++position;
      if (zipOnly && !wasZipOnly && position > 0) --position;
    }
    if (op != old && (Is(op, Operation::kMove) || UsesArchive(op))) {
      if (ArchiveOptional(old) && !ArchiveOptional(op)) {
        rows[0].position = 0;
      }
      if (UsesArchive(old) && !UsesArchive(op)) rows[1].position = 0;
    }
    if (Is(op, Operation::kPack)) {
      rowLabels[0] = Text("Количество файлов:");
      rowLabels[1] = Text("Размер архива (КБ.):");
      rowLabels[2] = Text("Таймаут архивации (мин.):");
      copiesOrArchiveNameLabel = Text("Формат имён архивов:");
    } else if (Is(op, Operation::kExec)) {
      rowLabels[0] = Text(kExecTimeoutLabel);
    }
  }

  if (WithoutDirectoryProfile(op)) {
    directoryProfileLabel.Empty();
    directoryProfileShown = false;
  } else {
    directoryProfileLabel = Text(kDirectoryProfileLabel);
    directoryProfileShown = true;
    if (profile_.zcsProfiles.empty()) certEnabled = false;
  }
}

void RuleForm::OnDirectoryProfileChange(int newPosition,
                                        const std::function<bool(const CString&)>& askYes) {
  directoryProfile = newPosition;
  if (newPosition == state_.lastDirectoryProfilePosition) return;
  if (!recipients.empty()) {
    if (!askYes(Text("Для смены профиля справочника поле получателей должно быть пустым.\r\n"
                     "Удалить всех получателей из правила?"))) {
      directoryProfile = state_.lastDirectoryProfilePosition;
      return;
    }
    ResetCertField();
  }
  if (!edited.signerLists.empty()) {
    if (!askYes(Text("Для смены профиля справочника поле подписантов должно быть пустым.\r\n"
                     "Удалить все списки подписантов из правила?"))) {
      directoryProfile = state_.lastDirectoryProfilePosition;
      return;
    }
    edited.signerLists.clear();
    certField = L"0";
  }
  state_.lastDirectoryProfilePosition = newPosition;
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
  if (IsUnset(pathOut) && !Is(op, Operation::kDele)) return errorBox(kIconOutput, "Не выбран выходной путь.");
  if (IsUnset(pathError)) return errorBox(kIconError, "Не выбран путь для ошибок.");
  RuleFormRefusal refusal = folderTest(pathIn, "Выбран некорректный входной путь.");
  if (refusal.kind != RuleFormRefusal::kNone) return refusal;
  if (!Is(op, Operation::kDele)) {
    refusal = folderTest(pathOut, "Выбран некорректный выходной путь.");
    if (refusal.kind != RuleFormRefusal::kNone) return refusal;
  }
  refusal = folderTest(pathError, "Выбран некорректный путь для ошибок.");
  if (refusal.kind != RuleFormRefusal::kNone) return refusal;
  if (edited.masks.empty()) return message("Не выбрана маска.");
  if (SearchesRecipients(op) && recipients.empty()) {
    return errorBox(kIconRecipients, "Не выбрано ни одного сертификата для операции.");
  }
  if (Is(op, Operation::kMove) && !IsUnset(certField)) {
    refusal = folderTest(certField, "Выбран некорректный доп. выходной путь.");
    if (refusal.kind != RuleFormRefusal::kNone) return refusal;
  }
  if (Is(op, Operation::kExec) && IsUnset(certField)) {
    return errorBox(kIconExecutable, "Не указан исполняемый файл.");
  }

  RuleRecord rule;
  rule.operation = code;
  rule.pathIn = pathIn;
  rule.pathOut = Is(op, Operation::kDele) ? CString() : pathOut;
  rule.pathError = pathError;
  if (!WithoutDirectoryProfile(op)) {
    rule.zcsProfile = ListTextAt(profile_.zcsProfiles, directoryProfile);
  }
  rule.recipients = recipients;
  if (SearchesRecipients(op)) rule.encAlgorithm = ChosenOr(rows[0].position, rule_.encAlgorithm);
  if (ChoosesMode(op)) rule.stream = ChosenOr(rows[2].position, rule_.stream);
  if (ArchiveOptional(op)) rule.zipFile = ChosenOr(rows[1].position, rule_.zipFile);
  if (ArchiveRequired(op)) {
    rule.zipFile = rows[1].position >= 0 ? rows[1].position + 1 : rule_.zipFile;
  }
  if (Is(op, Operation::kResg)) {
    rule.inFormatDet = rows[0].position;
    rule.outFormatDet = rows[1].position;
    rule.resignProfile = ListTextAt(profile_.zcsProfiles, rows[2].position);
  }
  if (Is(op, Operation::kMove)) {
    rule.pathOut2 = certField;
    rule.delExt = delExt;
    rule.addExt = addExt;
    rule.folders = folders;
    rule.copyFolders = copiesOrArchiveName;
  }
  if (Is(op, Operation::kPack)) {
    rule.archCount = limits[0];
    rule.archSize = limits[1];
    rule.archTimeout = limits[2];
    rule.archName = copiesOrArchiveName;
  }
  if (Is(op, Operation::kExec)) {
    rule.execName = certField;
    rule.execTimeout = limits[0];
  }
  rule.isOn = 1;
  rule.description = description;
  rule.masks = edited.masks;
  if (ChecksSigners(op)) rule.signerLists = edited.signerLists;
  result = std::move(rule);
  return RuleFormRefusal{};
}
