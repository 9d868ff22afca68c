#pragma once

// Answers for the small dialogs the editors open, shared by the tests that
// drive the editors: a mask typed into AddMask, a directory profile chosen
// for the profile editor, owners picked in the certificate picker.

#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QTreeWidget>
#include <functional>
#include <vector>

#include "common/qt_text.h"
#include "config/add_rule_form.h"
#include "tests/config/widget_lookup.h"

namespace testsupport {

// The rule editor's list position of an operation code, or -1.
inline int OperationPosition(const char* code) {
  for (int i = 0; i < kOperationCount; ++i) {
    if (OperationCodes()[i] == CString(code)) return i;
  }
  return -1;
}

// Answers AddMask with the typed text and OK (the result of the dialog).
inline std::function<int(QDialog&)> TypeMask(const QString& text) {
  return [text](QDialog& dialog) {
    Child<QComboBox>(dialog, "Mask")->setEditText(text);
    Click(dialog, "OK");
    return dialog.result();
  };
}

// Answers the profile editor's directory-profile choice with the library's
// profile of that name.
inline std::function<int(QDialog&)> ChooseDirectoryProfile(const CString& name) {
  return [name](QDialog& dialog) {
    auto* choice = Child<QComboBox>(dialog, "DirectoryProfileChoice");
    choice->setCurrentIndex(choice->findText(ToQString(name)));
    Click(dialog, "OK");
    return dialog.result();
  };
}

// Checks the row of a picker's list ("Candidates", "Chosen") showing text.
inline void CheckRow(QWidget& picker, const char* list, const QString& text) {
  auto* view = Child<QTreeWidget>(picker, list);
  for (int i = 0; i < view->topLevelItemCount(); ++i) {
    if (view->topLevelItem(i)->text(0) == text) view->topLevelItem(i)->setCheckState(0, Qt::Checked);
  }
}

// Answers the certificate picker: the local directory's owners listed, these
// owners checked and added, the list named (a signer-list pick), then OK.
inline std::function<int(QDialog&)> PickOwners(std::vector<QString> owners, QString listName = {}) {
  return [owners = std::move(owners), listName](QDialog& picker) {
    Click(picker, "FromDirectory");
    for (const QString& owner : owners) CheckRow(picker, "Candidates", owner);
    Click(picker, "AddChosen");
    if (!listName.isEmpty()) Child<QLineEdit>(picker, "ListName")->setText(listName);
    Click(picker, "OK");
    return picker.result();
  };
}

}  // namespace testsupport
