#pragma once
// The profile editor (CAddProfile): a service profile's name, handler
// timeout, report and rename switches, and its directory profiles with the
// settings of each. The settings of one directory profile are shown at a
// time; choosing another stores the shown ones into their position of the
// profile's parallel lists. CAddCSProfDlg picks a directory profile of the
// library to add.
//
// The editor works on its own copy; the caller takes it only after OK.

#include <QDialog>
#include <vector>

#include "common/config_records.h"
#include "config/config_records.h"
#include "platform/cstring.h"

class QCheckBox;
class QGroupBox;
class QLineEdit;
class QListWidget;

// The longest profile name.
inline constexpr int kMaxProfileNameLength = 15;

// Runs CAddProfile on profile (a new record or a copy of the open profile).
// true on OK: profile holds the edited record and removed the directory
// profiles the user took off it.
bool RunProfileEditor(QWidget* owner, const TrelconState& state, ProfileRecord& profile,
                      std::vector<CString>& removed);

class CAddProfile : public QDialog {
  Q_OBJECT
 public:
  // A record with an empty name is a new profile: it opens with one
  // directory profile, the library's first. state gives the library's
  // directory profiles and the other profiles' names.
  CAddProfile(QWidget* owner, const TrelconState& state, ProfileRecord record);

  ProfileRecord profile;                          // after OK: the edited profile
  std::vector<CString> removedDirectoryProfiles;  // each removed name once
  int isNewProfile;

 public slots:
  void OnDirectoryProfileSelect();
  void OnAddDirectoryProfile();
  void OnRemoveDirectoryProfile();
  void OnUseTspClicked();
  void OnVerifyStampClicked();
  void OnPeriodChange();
  void accept() override;  // OnOK

 private:
  enum Setting { kNotUseLdap, kNotAddCert, kNotCopyToLocal, kNotLoadCrl, kAutoUseTsp, kAutoVerifyTsp,
                 kNoTspIsError, kUseAia, kSettingCount };

  void BuildControls();
  void OnInitDialog();
  // The number fields as numbers; false (after the message) when one holds
  // no number.
  bool ReadNumbers(int& period, int& timeout);
  // Whether the TSP server is asked for but its text is empty; shows the
  // message and keeps the shown position selected.
  bool TspMissing();
  void StoreShown(int position);
  void ShowPosition(int position);
  void SelectRow(int row);
  bool CheckName(const CString& name);
  std::vector<int>* IntList(Setting setting);

  const TrelconState& state_;
  CString originalName_;
  int shownPosition_ = 0;

  QLineEdit* nameEdit_;
  QListWidget* list_;
  QGroupBox* settingsBox_;
  QCheckBox* settings_[kSettingCount];
  QLineEdit* tspEdit_;
  QLineEdit* periodEdit_;
  QCheckBox* verifyFile_;
  QCheckBox* verifyXFile_;
  QCheckBox* verifyDetFile_;
  QCheckBox* verifyResignFile_;
  QLineEdit* timeoutEdit_;
  QCheckBox* renameConfFiles_;
};

class CAddCSProfDlg : public QDialog {
  Q_OBJECT
 public:
  // Offers libraryProfileNames.
  CAddCSProfDlg(QWidget* owner, const CStringArray& libraryProfileNames);
  CString chosenName;  // after OK: the chosen directory profile

 public slots:
  void accept() override;  // OnOK

 private:
  class QComboBox* choice_;
};
