#pragma once
// Pieces the program's dialogs build their windows from.

#include <initializer_list>

#include <QString>

class QHBoxLayout;
class QPushButton;
class QWidget;

// An 8-bit literal of the sources (UTF-8) as Qt text.
inline QString Utf8(const char* text) { return QString::fromUtf8(text); }

// A push button known by its object name; it never becomes the default
// through focus, so Enter always goes to the dialog's own default button.
QPushButton* MakeButton(QWidget* parent, const char* objectName, const QString& text);

// The closing row of a dialog: the buttons right-aligned, in order.
QHBoxLayout* ButtonRow(std::initializer_list<QPushButton*> buttons);
