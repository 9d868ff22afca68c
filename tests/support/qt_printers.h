#pragma once
// Qt's texts in GoogleTest's failure messages as their UTF-8 text (a
// QStringList prints as a list of these) rather than as bytes. Include it in
// every file of a test program that compares them, or in none.

#include <QString>
#include <ostream>

inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}
