// The rule editor's form without widgets: what each operation shows, what
// survives a change of operation, the directory-profile guard, the OK checks
// in their order and the rule OK stores.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/report_text.h"
#include "config/add_rule_form.h"
#include "platform/errors.h"
#include "tests/support/temp_root.h"

namespace {

CString W(const char* utf8) { return WidenFormat(utf8); }

std::string Narrow(const CString& text) {
  std::string out;
  for (wchar_t c : std::wstring(text.GetString())) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

ProfileRecord TwoDirectoryProfiles() {
  ProfileRecord profile;
  profile.name = L"main";
  profile.zcsProfiles = {L"alpha", L"beta"};
  return profile;
}

int OperationOf(const char* code) {
  for (int i = 0; i < kOperationCount; ++i) {
    if (OperationCodes()[i] == CString(code)) return i;
  }
  return -1;
}

RuleForm NewRuleForm(TrelconState& state) {
  RuleForm form(state, TwoDirectoryProfiles(), RuleRecord{});
  form.Init();
  return form;
}

RuleForm StoredRuleForm(TrelconState& state, const RuleRecord& rule) {
  RuleForm form(state, TwoDirectoryProfiles(), rule);
  form.Init();
  return form;
}

// What one operation shows, chosen on a new rule.
struct ShownRow {
  const char* code;
  bool directoryProfile;
  bool certEnabled;
  int certIcon;
  const char* tooltip;
  const char* label1;
  ChoiceList list1;  // kNone: the row shows no list
  const char* label2;
  ChoiceList list2;
  const char* label3;
  ChoiceList list3;
  const char* label4;
};

constexpr ChoiceList kNo = ChoiceList::kNone;
constexpr ChoiceList kCipher = ChoiceList::kCiphers;
constexpr ChoiceList kArch = ChoiceList::kArchivesWithNone;
constexpr ChoiceList kZip = ChoiceList::kArchivesWithoutNone;
constexpr ChoiceList kFmt = ChoiceList::kFormats;
constexpr ChoiceList kMode = ChoiceList::kModes;
constexpr ChoiceList kProf = ChoiceList::kDirectoryProfiles;

const char* const kRecip = "Добавить получателей";
const char* const kSign = "Добавить подписантов";
const char* const kArchLabel = "Использовать архивацию:";

const ShownRow kShownRows[] = {
    {"ENCR", true, true, 200, kRecip, "Алгоритм шифрования:", kCipher, kArchLabel, kArch, "", kNo, ""},
    {"DECR", true, false, 200, kRecip, "", kNo, kArchLabel, kArch, "", kNo, ""},
    {"HASH", true, false, 200, kRecip, "", kNo, "", kNo, "", kNo, ""},
    {"B64E", false, false, 200, kRecip, "", kNo, "", kNo, "", kNo, ""},
    {"B64D", false, false, 200, kRecip, "", kNo, "", kNo, "", kNo, ""},
    {"SIGN", true, false, 200, kRecip, "", kNo, "", kNo, "Тип операции:", kMode, ""},
    {"CHCK", true, true, 200, kSign, "", kNo, "", kNo, "", kNo, ""},
    {"CHKX", true, true, 200, kSign, "", kNo, "", kNo, "", kNo, ""},
    {"MOVE", false, true, 206, "Доп. выходная папка", "Удалить расширение:", kNo,
     "Добавить расширение:", kNo, "Формат отчетности:", kNo, "Формат отчетности копий:"},
    {"DELE", false, false, 200, kRecip, "", kNo, "", kNo, "", kNo, ""},
    {"LENC", true, true, 200, kRecip, "Алгоритм шифрования:", kCipher, kArchLabel, kArch, "", kNo, ""},
    {"LDEC", true, false, 200, kRecip, "", kNo, kArchLabel, kArch, "", kNo, ""},
    {"CDSG", true, false, 200, kRecip, "", kNo, "", kNo, "", kNo, ""},
    {"DSIG", true, false, 200, kRecip, "", kNo, "", kNo, "", kNo, ""},
    {"DCHK", true, true, 200, kSign, "", kNo, "", kNo, "", kNo, ""},
    {"DELS", true, false, 200, kRecip, "", kNo, "", kNo, "", kNo, ""},
    {"RESG", true, true, 200, kSign, "Формат входной подписи:", kFmt, "Формат выходной подписи:",
     kFmt, "Новый профиль подписи:", kProf, ""},
    {"SGEN", true, true, 200, kRecip, "Алгоритм шифрования:", kCipher, kArchLabel, kArch,
     "Тип операции:", kMode, ""},
    {"DCCX", true, true, 200, kSign, "", kNo, kArchLabel, kArch, "", kNo, ""},
    {"ARCH", false, false, 200, kRecip, "", kNo, kArchLabel, kZip, "", kNo, ""},
    {"UNAR", false, false, 200, kRecip, "", kNo, kArchLabel, kZip, "", kNo, ""},
    {"PACK", false, false, 200, kRecip, "Количество файлов:", kNo, "Размер архива (КБ.):", kNo,
     "Таймаут архивации (мин.):", kNo, "Формат имён архивов:"},
    {"UNPK", false, false, 200, kRecip, "", kNo, "", kNo, "", kNo, ""},
    {"EXEC", false, true, 212, "Исполняемый файл:", "Таймаут исполнения (мин.):", kNo, "", kNo,
     "", kNo, ""},
};

void ExpectShows(const RuleForm& form, const ShownRow& row) {
  SCOPED_TRACE(row.code);
  EXPECT_EQ(form.directoryProfileShown, row.directoryProfile);
  EXPECT_EQ(Narrow(form.directoryProfileLabel), row.directoryProfile ? "Профиль справочника: " : "");
  EXPECT_EQ(form.certEnabled, row.certEnabled);
  EXPECT_EQ(form.certIcon, row.certIcon);
  EXPECT_EQ(Narrow(form.certTooltip), row.tooltip);
  EXPECT_EQ(Narrow(form.rowLabels[0]), row.label1);
  EXPECT_EQ(Narrow(form.rowLabels[1]), row.label2);
  EXPECT_EQ(Narrow(form.rowLabels[2]), row.label3);
  EXPECT_EQ(Narrow(form.copiesOrArchiveNameLabel), row.label4);
  const ChoiceList lists[3] = {row.list1, row.list2, row.list3};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(form.rows[i].shown, lists[i] != kNo) << "row " << i + 1;
    if (lists[i] != kNo) {
      EXPECT_EQ(form.rows[i].list, lists[i]) << "row " << i + 1;
    }
  }
  const bool move = std::string(row.code) == "MOVE";
  const bool pack = std::string(row.code) == "PACK";
  const bool exec = std::string(row.code) == "EXEC";
  EXPECT_EQ(form.moveEditsShown, move);
  EXPECT_EQ(form.copiesOrArchiveNameShown, move || pack);
  EXPECT_EQ(form.limitsShown[0], pack || exec);
  EXPECT_EQ(form.limitsShown[1], pack);
  EXPECT_EQ(form.certEditable, move || exec);
  EXPECT_EQ(form.outputEnabled, std::string(row.code) != "DELE");
}

TEST(RuleFormRows, EachOperationChosenOnANewRuleShowsItsRows) {
  TrelconState state;
  ASSERT_EQ(std::size(kShownRows), static_cast<size_t>(kOperationCount));
  for (const ShownRow& row : kShownRows) {
    RuleForm form = NewRuleForm(state);
    form.OnOperationChange(OperationOf(row.code));
    ExpectShows(form, row);
  }
}

TEST(RuleFormRows, AStoredRuleOpensShowingWhatChoosingItsOperationShows) {
  TrelconState state;
  for (const ShownRow& row : kShownRows) {
    RuleRecord rule;
    rule.operation = row.code;
    ExpectShows(StoredRuleForm(state, rule), row);
  }
}

TEST(RuleFormRows, ANewRuleOpensOnEncryptionWithTheFirstChoices) {
  TrelconState state;
  RuleForm form = NewRuleForm(state);
  EXPECT_TRUE(form.IsNewRule());
  EXPECT_EQ(form.operation, OperationOf("ENCR"));
  EXPECT_EQ(form.directoryProfile, 0);
  EXPECT_EQ(form.rows[0].position, 0);
  EXPECT_EQ(form.rows[1].position, 0);
  EXPECT_EQ(form.certField, CString(L"0"));
  EXPECT_TRUE(form.edited.masks.empty());
  EXPECT_EQ(ChoiceEntries(ChoiceList::kArchivesWithNone, {}).front(), W("Нет"));
  EXPECT_EQ(ChoiceEntries(ChoiceList::kCiphers, {}).size(), 5u);
  EXPECT_EQ(OperationDisplayNames()[OperationOf("DCCX")],
            W("Расшифровать, проверить и удалить присоединённую подпись"));
}

// ------------------------------------------------------ what a change keeps

TEST(RuleFormChange, LeavingTheRecipientGroupDropsTheRecipients) {
  TrelconState state;
  RuleRecord rule;
  rule.operation = L"ENCR";
  rule.recipients = {L"CN=A", L"CN=B", L"CN=C"};
  RuleForm form = StoredRuleForm(state, rule);
  EXPECT_EQ(form.certField, CString(L"3"));
  form.OnOperationChange(OperationOf("LENC"));
  EXPECT_EQ(form.recipients.size(), 3u) << "LENC picks recipients too";
  form.OnOperationChange(OperationOf("HASH"));
  form.OnOperationChange(OperationOf("ENCR"));
  EXPECT_TRUE(form.recipients.empty());
  EXPECT_EQ(form.certField, CString(L"0"));
}

TEST(RuleFormChange, SignerListsStayWithinTheVerifyingGroupOnly) {
  TrelconState state;
  RuleRecord rule;
  rule.operation = L"CHCK";
  rule.signerLists = {{L"one", {L"CN=A"}}, {L"two", {L"CN=B"}}};
  RuleForm form = StoredRuleForm(state, rule);
  EXPECT_EQ(form.certField, CString(L"2"));
  form.OnOperationChange(OperationOf("DCHK"));
  EXPECT_EQ(form.edited.signerLists.size(), 2u);
  EXPECT_EQ(form.certField, CString(L"2"));
  form.OnOperationChange(OperationOf("HASH"));
  EXPECT_TRUE(form.edited.signerLists.empty());
  EXPECT_EQ(form.certField, CString(L"0"));
}

TEST(RuleFormChange, TheExecutableStaysInTheFieldUntilASignerListIsChosen) {
  TrelconState state;
  RuleRecord rule;
  rule.operation = L"EXEC";
  rule.execName = L"/usr/bin/tool %s";
  rule.execTimeout = 7;
  RuleForm form = StoredRuleForm(state, rule);
  EXPECT_EQ(form.certField, rule.execName);
  EXPECT_EQ(form.limits[0], 7);
  form.OnOperationChange(OperationOf("CHCK"));
  EXPECT_EQ(form.certField, rule.execName);
  form.SetSignerLists({{L"one", {L"CN=A"}}});
  EXPECT_EQ(form.certField, CString(L"1"));
  form.OnOperationChange(OperationOf("EXEC"));
  EXPECT_TRUE(form.certField.IsEmpty()) << "a new executable is asked for";
  EXPECT_EQ(form.limits[0], 0);
}

TEST(RuleFormChange, TheArchiveKindStaysChosenAcrossTheListsWithAndWithoutNone) {
  TrelconState state;
  struct Case {
    int encrPosition;   // in the list with "Нет"
    int archPosition;   // the same kind without it
    int storedZipFile;  // what OK stores for ARCH
  };
  for (const Case& c : {Case{1, 0, 1}, Case{2, 1, 2}}) {
    RuleForm form = NewRuleForm(state);
    form.rows[1].position = c.encrPosition;
    form.OnOperationChange(OperationOf("ARCH"));
    EXPECT_EQ(form.rows[1].position, c.archPosition);
    form.OnOperationChange(OperationOf("UNAR"));
    EXPECT_EQ(form.rows[1].position, c.archPosition) << "the same list";
    form.pathIn = form.pathOut = form.pathError = L"/";
    form.edited.masks = {L"*"};
    RuleRecord stored;
    ASSERT_EQ(form.Ok(stored).kind, RuleFormRefusal::kNone);
    EXPECT_EQ(stored.zipFile, c.storedZipFile);
    form.OnOperationChange(OperationOf("DECR"));
    EXPECT_EQ(form.rows[1].position, c.encrPosition);
  }
}

TEST(RuleFormChange, SigningTakesTheModeAndArchiveOfTheRuleHandedIn) {
  TrelconState state;
  RuleRecord rule;
  rule.operation = L"HASH";
  rule.stream = 1;
  rule.zipFile = 2;
  for (const char* code : {"SIGN", "SGEN"}) {
    RuleForm form = StoredRuleForm(state, rule);
    form.OnOperationChange(OperationOf(code));
    EXPECT_EQ(form.rows[2].list, ChoiceList::kModes) << code;
    EXPECT_EQ(form.rows[2].position, 1) << code;
    EXPECT_EQ(form.rows[1].position, 2) << code;
    form.rows[2].position = 0;
    form.OnOperationChange(OperationOf(code));
    EXPECT_EQ(form.rows[2].position, 1) << "choosing it again resets the mode";
  }
}

TEST(RuleFormChange, DeletionHasNoOutputFolder) {
  TrelconState state;
  RuleRecord rule;
  rule.operation = L"HASH";
  rule.pathOut = L"/out";
  RuleForm form = StoredRuleForm(state, rule);
  form.OnOperationChange(OperationOf("DELE"));
  EXPECT_FALSE(form.outputEnabled);
  EXPECT_TRUE(form.pathOut.IsEmpty());
  form.pathOut = L"/typed";
  form.OnOperationChange(OperationOf("HASH"));
  EXPECT_TRUE(form.outputEnabled);
  EXPECT_TRUE(form.pathOut.IsEmpty());
}

TEST(RuleFormChange, MoveAndPackFieldsStartEmptyAndAreDroppedWhenLeft) {
  TrelconState state;
  RuleRecord rule;
  rule.operation = L"MOVE";
  rule.pathOut2 = L"0";
  rule.delExt = L"p7s";
  rule.copyFolders = L"%Y";
  RuleForm form = StoredRuleForm(state, rule);
  EXPECT_TRUE(form.certField.IsEmpty()) << "\"0\" is shown as no second folder";
  EXPECT_EQ(form.delExt, CString(L"p7s"));
  EXPECT_EQ(form.copiesOrArchiveName, CString(L"%Y"));
  form.OnOperationChange(OperationOf("PACK"));
  EXPECT_TRUE(form.delExt.IsEmpty());
  EXPECT_TRUE(form.copiesOrArchiveName.IsEmpty());
  form.limits[1] = 50;
  form.copiesOrArchiveName = L"pack_%d";
  form.OnOperationChange(OperationOf("PACK"));
  EXPECT_EQ(form.limits[1], 50) << "choosing PACK again keeps its fields";
  form.OnOperationChange(OperationOf("MOVE"));
  EXPECT_TRUE(form.copiesOrArchiveName.IsEmpty());
  EXPECT_EQ(form.certField, CString());
}

// ------------------------------------------------ the directory-profile guard

TEST(RuleFormDirectoryProfile, AChangeWithRecipientsOrListsNeedsAYes) {
  TrelconState state;
  RuleRecord encr;
  encr.operation = L"ENCR";
  encr.zcsProfile = L"beta";
  encr.recipients = {L"CN=A"};
  RuleRecord chck;
  chck.operation = L"CHCK";
  chck.zcsProfile = L"beta";
  chck.signerLists = {{L"one", {L"CN=A"}}};
  for (const RuleRecord& rule : {encr, chck}) {
    for (bool yes : {false, true}) {
      SCOPED_TRACE(Narrow(rule.operation) + (yes ? " yes" : " no"));
      RuleForm form = StoredRuleForm(state, rule);
      EXPECT_EQ(form.directoryProfile, 1);
      std::vector<CString> asked;
      form.OnDirectoryProfileChange(0, [&](const CString& question) {
        asked.push_back(question);
        return yes;
      });
      ASSERT_EQ(asked.size(), 1u);
      EXPECT_EQ(form.directoryProfile, yes ? 0 : 1);
      EXPECT_EQ(state.lastDirectoryProfilePosition, yes ? 0 : 1);
      EXPECT_EQ(form.recipients.size() + form.edited.signerLists.size(), yes ? 0u : 1u);
      EXPECT_EQ(form.certField, yes ? CString(L"0") : CString(L"1"));
      form.OnDirectoryProfileChange(form.directoryProfile,
                                    [&](const CString&) { return ADD_FAILURE(), false; });
    }
  }
}

// --------------------------------------------------------------- OK checks

class RuleFormOk : public ::testing::Test {
 protected:
  RuleFormOk() {
    in = Folder("in");
    out = Folder("out");
    error = Folder("error");
  }
  CString Folder(const std::string& name) {
    return CString(root.Dir(name).wstring().c_str());
  }
  RuleForm Filled(const char* code) {
    RuleForm form = NewRuleForm(state);
    form.OnOperationChange(OperationOf(code));
    form.pathIn = in;
    form.pathOut = out;
    form.pathError = error;
    form.edited.masks = {L"*.txt"};
    return form;
  }

  testsupport::TempRoot root;
  TrelconState state;
  CString in, out, error;
};

TEST_F(RuleFormOk, TheChecksRefuseInTheirOrder) {
  const CString missing = in + L"/missing";
  struct Case {
    const char* name;
    const char* code;
    std::function<void(RuleForm&)> change;
    RuleFormRefusal::Kind kind;
    const char* text;
    int icon;
    DWORD failure;
  };
  const Case cases[] = {
      {"no operation", "HASH", [](RuleForm& f) { f.operation = -1; f.pathIn.Empty(); },
       RuleFormRefusal::kMessage, "Не выбрано ни одной операции.", 0, 0},
      {"no input", "HASH", [](RuleForm& f) { f.pathIn = L"0"; f.pathOut.Empty(); },
       RuleFormRefusal::kErrorBox, "Не выбран входной путь.", 201, 0},
      {"no output", "HASH", [](RuleForm& f) { f.pathOut.Empty(); f.pathError.Empty(); },
       RuleFormRefusal::kErrorBox, "Не выбран выходной путь.", 204, 0},
      {"no error folder", "HASH", [](RuleForm& f) { f.pathError = L"0"; f.pathIn = L"rel"; },
       RuleFormRefusal::kErrorBox, "Не выбран путь для ошибок.", 205, 0},
      {"relative input", "HASH", [](RuleForm& f) { f.pathIn = L"in"; f.edited.masks.clear(); },
       RuleFormRefusal::kFolderReport, "Выбран некорректный входной путь.", 0,
       ERROR_PATH_NOT_FOUND},
      {"missing output", "HASH", [&](RuleForm& f) { f.pathOut = missing; },
       RuleFormRefusal::kFolderReport, "Выбран некорректный выходной путь.", 0,
       ERROR_FILE_NOT_FOUND},
      {"missing error folder", "HASH", [&](RuleForm& f) { f.pathError = missing; },
       RuleFormRefusal::kFolderReport, "Выбран некорректный путь для ошибок.", 0,
       ERROR_FILE_NOT_FOUND},
      {"no mask", "ENCR", [](RuleForm& f) { f.edited.masks.clear(); },
       RuleFormRefusal::kMessage, "Не выбрана маска.", 0, 0},
      {"no recipient", "SGEN", [](RuleForm&) {}, RuleFormRefusal::kErrorBox,
       "Не выбрано ни одного сертификата для операции.", 200, 0},
      {"relative second folder", "MOVE", [](RuleForm& f) { f.certField = L"copies"; },
       RuleFormRefusal::kFolderReport, "Выбран некорректный доп. выходной путь.", 0,
       ERROR_PATH_NOT_FOUND},
      {"no executable", "EXEC", [](RuleForm& f) { f.certField = L"0"; },
       RuleFormRefusal::kErrorBox, "Не указан исполняемый файл.", 212, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RuleForm form = Filled(c.code);
    c.change(form);
    RuleRecord result;
    result.operation = L"untouched";
    const RuleFormRefusal refusal = form.Ok(result);
    EXPECT_EQ(refusal.kind, c.kind);
    EXPECT_EQ(Narrow(refusal.text), c.text);
    EXPECT_EQ(refusal.icon, c.icon);
    EXPECT_EQ(refusal.code, c.failure);
    EXPECT_EQ(result.operation, CString(L"untouched")) << "nothing reaches the caller";
  }
}

TEST_F(RuleFormOk, TheFolderTestNeedsAFullPathThatExists) {
  EXPECT_EQ(RuleFolderTestCode(in), 0u);
  EXPECT_EQ(RuleFolderTestCode(CString(root.WriteFile("f.txt", "x").wstring().c_str())), 0u)
      << "a file passes like the existence test says";
  EXPECT_EQ(RuleFolderTestCode(L"in"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(RuleFolderTestCode(L"C:\\in"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(RuleFolderTestCode(L""), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(RuleFolderTestCode(in + L"/missing"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(RuleFolderTestCode(in + L"/missing/deeper"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(RuleFormOk, DeletionIsStoredWithoutOutputFolder) {
  RuleForm form = Filled("DELE");
  form.pathOut = L"rel";
  RuleRecord rule;
  ASSERT_EQ(form.Ok(rule).kind, RuleFormRefusal::kNone);
  EXPECT_EQ(rule.operation, CString(L"DELE"));
  EXPECT_TRUE(rule.pathOut.IsEmpty());
  EXPECT_TRUE(rule.zcsProfile.IsEmpty());
}

TEST_F(RuleFormOk, EachOperationStoresOnlyWhatTheServiceReadsForIt) {
  struct Stored {
    const char* code;
    std::function<void(RuleForm&)> choose;
    std::function<void(const RuleRecord&)> check;
  };
  const Stored cases[] = {
      {"SGEN",
       [](RuleForm& f) {
         f.directoryProfile = 1;
         f.rows[0].position = 4;
         f.rows[1].position = 2;
         f.rows[2].position = 1;
         f.SetRecipients({L"CN=B", L"CN=A"});
       },
       [](const RuleRecord& r) {
         EXPECT_EQ(r.zcsProfile, CString(L"beta"));
         EXPECT_EQ(r.encAlgorithm, 4);
         EXPECT_EQ(r.zipFile, 2);
         EXPECT_EQ(r.stream, 1);
         EXPECT_EQ(r.recipients, (std::vector<CString>{L"CN=B", L"CN=A"}));
       }},
      {"RESG",
       [](RuleForm& f) {
         f.rows[0].position = 1;
         f.rows[2].position = 1;
         f.SetSignerLists({{L"l", {L"CN=A"}}});
       },
       [](const RuleRecord& r) {
         EXPECT_EQ(r.inFormatDet, 1);
         EXPECT_EQ(r.outFormatDet, 0);
         EXPECT_EQ(r.resignProfile, CString(L"beta"));
         EXPECT_EQ(r.zcsProfile, CString(L"alpha"));
         ASSERT_EQ(r.signerLists.size(), 1u);
         EXPECT_EQ(r.stream, 0);
       }},
      {"MOVE",
       [](RuleForm& f) {
         f.delExt = L"p7s";
         f.addExt = L"done";
         f.folders = L"%Y";
         f.copiesOrArchiveName = L"%m";
       },
       [](const RuleRecord& r) {
         EXPECT_TRUE(r.pathOut2.IsEmpty()) << "no second folder";
         EXPECT_EQ(r.delExt, CString(L"p7s"));
         EXPECT_EQ(r.addExt, CString(L"done"));
         EXPECT_EQ(r.folders, CString(L"%Y"));
         EXPECT_EQ(r.copyFolders, CString(L"%m"));
         EXPECT_TRUE(r.zcsProfile.IsEmpty());
       }},
      {"PACK",
       [](RuleForm& f) {
         f.limits[0] = 3;
         f.limits[1] = 100;
         f.limits[2] = 5;
         f.copiesOrArchiveName = L"pack.zip";
       },
       [](const RuleRecord& r) {
         EXPECT_EQ(r.archCount, 3);
         EXPECT_EQ(r.archSize, 100);
         EXPECT_EQ(r.archTimeout, 5);
         EXPECT_EQ(r.archName, CString(L"pack.zip"));
       }},
      {"EXEC",
       [](RuleForm& f) {
         f.certField = L"/bin/true";
         f.limits[0] = 9;
       },
       [](const RuleRecord& r) {
         EXPECT_EQ(r.execName, CString(L"/bin/true"));
         EXPECT_EQ(r.execTimeout, 9);
         EXPECT_EQ(r.archCount, 0);
       }},
      {"HASH", [](RuleForm& f) { f.rows[1].position = 2; },
       [](const RuleRecord& r) {
         EXPECT_EQ(r.zipFile, 0) << "HASH reads no archive choice";
         EXPECT_EQ(r.zcsProfile, CString(L"alpha"));
       }},
  };
  for (const Stored& c : cases) {
    SCOPED_TRACE(c.code);
    RuleForm form = Filled(c.code);
    form.description = L"note";
    c.choose(form);
    RuleRecord rule;
    ASSERT_EQ(form.Ok(rule).kind, RuleFormRefusal::kNone);
    EXPECT_EQ(rule.operation, CString(c.code));
    EXPECT_EQ(rule.isOn, 1);
    EXPECT_EQ(rule.description, CString(L"note"));
    EXPECT_EQ(rule.masks, std::vector<CString>{L"*.txt"});
    EXPECT_TRUE(rule.mask.IsEmpty());
    c.check(rule);
  }
}

TEST_F(RuleFormOk, AStoredRuleComesBackSwitchedOnWithItsValues) {
  RuleRecord rule;
  rule.operation = L"XXXX";  // none of the 24: opens as encryption
  rule.pathIn = in;
  rule.pathOut = out;
  rule.pathError = error;
  rule.masks = {L"*.a", L"*.b"};
  rule.description = L"old";
  rule.isOn = 0;
  rule.zipFile = 1;
  RuleForm form = StoredRuleForm(state, rule);
  EXPECT_EQ(form.operation, OperationOf("ENCR"));
  form.SetRecipients({L"CN=A"});
  RuleRecord result;
  ASSERT_EQ(form.Ok(result).kind, RuleFormRefusal::kNone);
  EXPECT_EQ(result.operation, CString(L"ENCR"));
  EXPECT_EQ(result.isOn, 1);
  EXPECT_EQ(result.masks, rule.masks);
  EXPECT_EQ(result.zipFile, 1);
  EXPECT_EQ(result.description, CString(L"old"));
}

TEST_F(RuleFormOk, AStoredChoiceOutsideItsListOpensWithNoChoiceAndIsKept) {
  RuleRecord rule;
  rule.operation = L"SGEN";
  rule.pathIn = in;
  rule.pathOut = out;
  rule.pathError = error;
  rule.masks = {L"*"};
  rule.recipients = {L"CN=A"};
  rule.encAlgorithm = 9;
  rule.zipFile = 5;
  rule.stream = 3;
  RuleForm form = StoredRuleForm(state, rule);
  EXPECT_EQ(form.rows[0].position, -1);
  EXPECT_EQ(form.rows[1].position, -1);
  EXPECT_EQ(form.rows[2].position, -1);
  RuleRecord result;
  ASSERT_EQ(form.Ok(result).kind, RuleFormRefusal::kNone);
  EXPECT_EQ(result.encAlgorithm, 9);
  EXPECT_EQ(result.zipFile, 5);
  EXPECT_EQ(result.stream, 3);
}

TEST_F(RuleFormOk, AProfileWithoutDirectoryProfilesCannotPickAndStoresNone) {
  ProfileRecord bare;
  RuleForm form(state, bare, RuleRecord{});
  form.Init();
  EXPECT_EQ(form.directoryProfile, -1);
  EXPECT_FALSE(form.certEnabled);
  form.OnOperationChange(OperationOf("CHCK"));
  EXPECT_FALSE(form.certEnabled);
  form.OnOperationChange(OperationOf("MOVE"));
  EXPECT_TRUE(form.certEnabled) << "the second folder needs no directory profile";
  form.OnOperationChange(OperationOf("HASH"));
  form.pathIn = in;
  form.pathOut = out;
  form.pathError = error;
  form.edited.masks = {L"*"};
  RuleRecord rule;
  ASSERT_EQ(form.Ok(rule).kind, RuleFormRefusal::kNone);
  EXPECT_TRUE(rule.zcsProfile.IsEmpty());
}

}  // namespace
