#pragma once
// What the rule editor shows and stores, without widgets: the operation
// table, the rows each operation shows, what changing the operation or the
// directory profile does to the fields, the OK checks in their order and the
// rule OK builds. CAddRule (add_rule_dialog.h) renders this form and reads
// the user's input back into it; tests drive it directly.
//
// The public members are what the controls show: a position of
// -1 is a list with no choice, an empty label a row that shows nothing.

#include <functional>
#include <vector>

#include "common/operation_catalogue.h"
#include "config/config_records.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"

// "ENCR", ... and "Зашифровать", ... in list order (the operation catalogue's):
// the list position is the index here.
const CStringArray& OperationCodes();
const CStringArray& OperationDisplayNames();

// What a choice list holds.
enum class ChoiceList {
  kNone,
  kCiphers,              // "Enc algorythm" 0..4
  kArchivesWithNone,     // "ZipFile" 0 none, 1 ZIP, 2 GZIP
  kArchivesWithoutNone,  // "ZipFile" - 1 (ARCH, UNAR)
  kFormats,              // attached, detached
  kModes,                // block, stream
  kDirectoryProfiles,    // the profile's "ZCSProfile" names
};
// The entries a list shows (kDirectoryProfiles: the given names).
std::vector<CString> ChoiceEntries(ChoiceList list, const std::vector<CString>& directoryProfiles);

// The icons of the fields, which buttons and error boxes share.
enum FieldIcon {
  kIconRecipients = 200,
  kIconInput = 201,
  kIconOutput = 204,
  kIconError = 205,
  kIconSecondOutput = 206,
  kIconExecutable = 212,
};

// One of the form's three option rows, as a choice list.
struct ChoiceRow {
  ChoiceList list = ChoiceList::kNone;
  bool shown = false;
  int position = 0;
};

// How a refused OK is told.
struct RuleFormRefusal {
  enum Kind {
    kNone,
    kMessage,       // a message box under the program's caption, warning icon
    kErrorBox,      // ErrBox with the field's icon
    kFolderReport,  // ReportErrorBox: code, "Открытие файла %s" with path, text as extra
  };
  Kind kind = kNone;
  CString text;
  int icon = 0;
  DWORD code = 0;
  CString path;
};

// The folder test of the rule editor: a full path that exists as a file or
// folder. 0 when it passes; 3 (path not found) for a relative path; else the
// system's code from the existence test.
DWORD RuleFolderTestCode(const CString& path);

class RuleForm {
 public:
  // state: the program's, whose directory-profile position last accepted
  // the form reads and sets; profile: the open profile (its "ZCSProfile"
  // list is read); rule: the rule handed in, a new record when its
  // "Operation" is empty.
  RuleForm(TrelconState& state, const ProfileRecord& profile, const RuleRecord& rule);

  // Fills the form from the rule handed in (OnInitDialog).
  void Init();
  // The user chose the operation at newPosition.
  void OnOperationChange(int newPosition);
  // The user chose the directory profile at newPosition; askYes asks a
  // question (0x124) and returns true for Yes.
  void OnDirectoryProfileChange(int newPosition, const std::function<bool(const CString&)>& askYes);
  // The signer-list dialog ended with OK on these lists.
  void SetSignerLists(std::vector<SignerListRecord> lists);
  // The recipient pick ended with OK on these owners.
  void SetRecipients(std::vector<CString> owners);

  // The OK checks in their order: the first that fails, or kNone, in which
  // case result holds the completed rule.
  RuleFormRefusal Ok(RuleRecord& result) const;

  bool IsNewRule() const { return isNewRule_; }
  int Operation() const { return operation; }
  const ProfileRecord& Profile() const { return profile_; }
  const std::vector<CString>& DirectoryProfiles() const { return profile_.zcsProfiles; }

  // --- what the controls show
  int operation = 0;                 // the operation list's position
  int directoryProfile = 0;          // the directory-profile list's (-1: the profile lists none)
  bool directoryProfileShown = true;
  ChoiceRow rows[3];                 // the three option rows' lists
  CString directoryProfileLabel;     // empty for the operations without a directory profile
  CString rowLabels[3];              // the captions of the three option rows
  CString descriptionLabel;
  CString copiesOrArchiveNameLabel;  // the caption of the text row below the option rows
  CString pathIn, pathOut, pathError;
  bool outputEnabled = true;         // the output folder and its button
  CString oldMask;                   // the old single mask, never shown
  CString description;
  // The field beside the button whose meaning follows the operation: the
  // count of recipients or signer lists, the second output folder (MOVE),
  // or the executable (EXEC).
  CString certField;
  bool certEnabled = true;           // the button
  bool certEditable = false;         // the field
  int certIcon = kIconRecipients;
  CString certTooltip;
  CString delExt, addExt, folders;   // MOVE's three edits in the option rows
  bool moveEditsShown = false;
  CString copiesOrArchiveName;       // "Copyfolders" (MOVE) or "ArchName" (PACK)
  bool copiesOrArchiveNameShown = false;
  // The number fields of the option rows: "ArchCount", "ArchSize" and
  // "ArchTimeout" (PACK), or "ExecTimeout" in the first (EXEC).
  int limits[3] = {0, 0, 0};
  bool limitsShown[3] = {false, false, false};
  std::vector<CString> recipients;   // the working list of recipients
  RuleRecord edited;                   // masks and signer lists as edited

 private:
  void ShowCipherRow();
  void ShowArchiveRow(bool withNone);
  void ShowModeRow(int position);
  void ResetCertField();

  TrelconState& state_;
  ProfileRecord profile_;
  RuleRecord rule_;
  bool isNewRule_;
};
