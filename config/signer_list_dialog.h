#pragma once
// SignerList, the signer lists of one rule: create, change and delete them;
// the signers of a list are picked in CPreEncryptDlg, each pick on a library
// context of its own (certificate_pick.h). The dialog works on a copy of the
// rule; its caller takes the lists over on OK.

#include <vector>

#include <QDialog>

#include "common/config_records.h"

class QTreeWidget;
class QTreeWidgetItem;

class SignerList : public QDialog {
  Q_OBJECT
 public:
  // rule and profile: copies of the edited ones; k: the rule's
  // directory-profile position in the profile's lists.
  SignerList(QWidget* parent, const RuleRecord& rule, const ProfileRecord& profile, int k);

  // The rule's signer lists as the dialog left them.
  const std::vector<SignerListRecord>& Lists() const { return rule_.signerLists; }

  void OnCreate();
  void OnChange();
  void OnDelete();
  void OnShowList(QTreeWidgetItem* item);

 private:
  void RefreshSignerLists();
  // One pick for the list now named previousName (empty: a new list) with
  // initial signers. true on OK: list holds the picked name and signers.
  bool PickSigners(const CString& previousName, const std::vector<CString>& initial,
                   SignerListRecord& list);

  RuleRecord rule_;
  ProfileRecord profile_;
  int k_;
  QTreeWidget* view_;
};
