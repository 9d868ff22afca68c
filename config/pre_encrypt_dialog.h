#pragma once
// CPreEncryptDlg, the picker of certificate owners: candidates from the
// local directory, user-group files and the network directory, filtered,
// sorted and checked, then added to the chosen owners; on OK every chosen
// owner is looked up once more and only those with a certificate the pick
// takes are handed back. It runs inside a library context that its caller
// opened (certificate_pick.h) and borrows it.
//
// CFilterDlg asks for the field and pattern of a network search.

#include <vector>

#include <QDialog>

#include "common/config_records.h"
#include "common/qelm_api.h"
#include "config/certificate_search.h"
#include "platform/cstring.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

class CFilterDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CFilterDlg(QWidget* parent);

  int field = -1;   // the index chosen: a named attribute, or the whole name
  CString pattern;  // trimmed on OK

  void accept() override;

 private:
  void UpdateOk();
  QComboBox* field_;
  QLineEdit* pattern_;
  QPushButton* ok_;
};

class CPreEncryptDlg : public QDialog {
  Q_OBJECT
 public:
  // initial: the chosen owners at the start (recipients, or the signers of
  // the edited list).
  CPreEncryptDlg(QWidget* parent, const PreEncryptParams& params, LibraryContext context,
                 const std::vector<CString>& initial);

  // Set by the caller before the run.
  int listMode = 0;             // 1: a signer-list pick
  int useNetworkDirectory = 1;  // enables the network search
  CString listName;             // signer-list pick: the list's name
  CString previousName;         // the edited list's name; empty when one is created
  std::vector<SignerListRecord> signerLists;  // every list of the rule

  // After OK: the owners handed back (and listName for a signer-list pick).
  std::vector<CString> result;

  // Shows the window's state for the mode set, then runs it (RunModal).
  int DoModal();
  void OnInitDialog();
  // The commands.
  void OnFromDirectory();
  void OnFromGroup();
  void OnFromNetwork();
  void OnCheckAll(bool checked);
  void OnDeleteAll();
  void OnSaveGroup();
  void OnAddChosen();
  void OnRemoveChosen();
  void OnSortHeader(QTreeWidget* list);
  void OnShowOwner(QTreeWidgetItem* item);

  void accept() override;

  const std::vector<CString>& Candidates() const { return candidates_; }
  const std::vector<CString>& Chosen() const { return chosen_; }

 private:
  bool IsSignerPick() const { return listMode == 1; }
  void FillList(QTreeWidget* list, const std::vector<CString>& entries);
  void FillCandidates() { FillList(candidatesView_, candidates_); }
  void FillChosen() { FillList(chosenView_, chosen_); }
  void AppendCandidates(const std::vector<CString>& owners);
  std::vector<CString> CheckedTexts(QTreeWidget* list) const;
  HWND Handle();

  PreEncryptParams params_;
  LibraryContext context_;
  std::vector<CString> candidates_;
  std::vector<CString> chosen_;
  CString groupFilePath_;
  int sortDirection_[2] = {0, 0};  // candidates, chosen: 0 descending, 1 ascending

  QComboBox* sortField_;
  QLineEdit* filter_;
  QLabel* listNameLabel_;
  QLineEdit* listName_;
  QTreeWidget* candidatesView_;
  QTreeWidget* chosenView_;
  QPushButton* fromNetwork_;
};
