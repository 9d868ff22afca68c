#pragma once

// Finding and pressing a dialog's widgets by object name, for the dialog
// tests: a missing widget fails the test by name instead of crashing it.

#include <QCheckBox>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTreeWidget>
#include <QWidget>

#include <gtest/gtest.h>

namespace testsupport {

inline QString Q(const char* text) { return QString::fromUtf8(text); }

template <typename Widget>
Widget* Child(QWidget& parent, const char* name) {
  auto* widget = parent.findChild<Widget*>(QString::fromLatin1(name));
  EXPECT_NE(widget, nullptr) << name;
  return widget;
}

inline void Click(QWidget& parent, const char* name) {
  if (auto* button = Child<QPushButton>(parent, name)) button->click();
}

// The first column's texts of a tree's top-level rows, in order.
inline QStringList RowTexts(QWidget& parent, const char* tree) {
  QStringList rows;
  if (auto* view = Child<QTreeWidget>(parent, tree)) {
    for (int i = 0; i < view->topLevelItemCount(); ++i) rows << view->topLevelItem(i)->text(0);
  }
  return rows;
}

// Sets a check box by clicking it, so that what its click does happens too.
inline void SetChecked(QWidget& parent, const char* name, bool on) {
  auto* box = Child<QCheckBox>(parent, name);
  if (box != nullptr && box->isChecked() != on) box->click();
}

}  // namespace testsupport
