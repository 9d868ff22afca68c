#pragma once
// The rule editor's masks: the mask list and its commands (create, change,
// delete, show), the small dialog AddMask in which one mask is typed or
// picked from the suggested masks, and ErrBox, the error box with the icon
// of the field in question. The pictures of the editor's fields are here
// too, so that a button and the error box about its field look alike.

#include <vector>

#include <QDialog>
#include <QIcon>

#include "platform/cstring.h"

class QComboBox;
class QLabel;
class QTreeWidget;
class QTreeWidgetItem;

// The picture of a field or command: the FieldIcon values of
// add_rule_form.h, and 168 create, 209 change, 136 delete.
inline constexpr int kIconCreate = 168;
inline constexpr int kIconChange = 209;
inline constexpr int kIconDelete = 136;
QIcon FieldIconImage(QWidget* widget, int icon);

// One mask typed or chosen from the suggested masks.
class AddMask : public QDialog {
  Q_OBJECT
 public:
  AddMask(QWidget* parent, const std::vector<CString>& suggested, const CString& initial);

  CString result;  // the mask as typed; set on OK

  void accept() override;

 private:
  QComboBox* mask_;
};

// The editor's error box: the field's icon and one sentence.
class ErrBox : public QDialog {
  Q_OBJECT
 public:
  ErrBox(QWidget* parent, const CString& message, int icon);

  const CString message;
  const int icon;

  int DoModal();
};

// The mask list of the rule editor over the edited rule's masks: the list
// view always shows exactly masks, in order.
class MaskList {
 public:
  MaskList(QWidget* owner, QTreeWidget* view, std::vector<CString>& masks,
           const std::vector<CString>& suggested);

  void SetupMaskList();
  void FillMaskList();
  void OnAddMask();
  void OnEditMask();
  void OnDeleteMasks();
  void OnMaskDoubleClick(QTreeWidgetItem* item);
  void OnMaskRightClick(QTreeWidgetItem* item);

 private:
  int FirstSelected() const;

  QWidget* owner_;
  QTreeWidget* view_;
  std::vector<CString>& masks_;
  std::vector<CString> suggested_;
};
