#pragma once
// Pieces the program's dialogs build their windows from.

#include <initializer_list>

#include <QString>

class QComboBox;
class QDialog;
class QHBoxLayout;
class QLineEdit;
class QPushButton;
class QSize;
class QWidget;

// An 8-bit literal of the sources (UTF-8) as Qt text.
inline QString Utf8(const char* text) { return QString::fromUtf8(text); }

// A push button known by its object name; it never becomes the default
// through focus, so Enter always goes to the dialog's own default button.
QPushButton* MakeButton(QWidget* parent, const char* objectName, const QString& text);

// The closing row of a dialog: the buttons right-aligned, in order.
QHBoxLayout* ButtonRow(std::initializer_list<QPushButton*> buttons);

// Every text of the program's edit fields is one line: it ends up in a
// registry value, a journal line or a line of an export file, where a line
// break would split a record. Typed, pasted, dropped or set, each run of
// line-break characters becomes one blank, and is dropped at either end of
// the text. Returns the edit (the combo box).
QLineEdit* KeepOnOneLine(QLineEdit* edit);
QComboBox* KeepOnOneLine(QComboBox* box);

// A size given in dialog units, in widget's font: a horizontal unit is a
// quarter of the average character width, a vertical one an eighth of the
// font's height.
QSize DialogUnits(const QWidget* widget, int width, int height);

// Gives dialog the size of its template (width x height dialog units), or
// the size its layout asks for where that is more: the template was drawn
// for a smaller font than the screen's. Call it once the controls are laid
// out; the layout keeps its least size.
void SizeFromTemplate(QDialog* dialog, int width, int height);

// Widens edit, at most to mostCharacters average characters, so that the
// text it holds now is shown whole.
void ShowWholeText(QLineEdit* edit, int mostCharacters);

// Keyboard focus moves with Tab through widgets in this order, as they are
// placed on the screen.
void SetTabOrder(std::initializer_list<QWidget*> widgets);
