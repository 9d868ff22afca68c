#pragma once
// Qt's own file dialog as the two programs show it: Russian in every column
// and wide enough for what the columns hold.
//
// Qt's file list writes sizes and dates in the machine's locale, not the
// program's ("27 bytes", "11 Dec 2026"), names a folder "Folder" in any
// language, and gives its columns widths measured on English samples, so
// that Russian values are cut ("16…ты"). The dialog is given a model over
// Qt's that writes those three columns in Russian, and columns as wide as
// their values.

#include <QString>
#include <QtGlobal>

class QFileDialog;
class QFileInfo;

// Qt's dialog (never the desktop's, whose language and look the program
// does not choose), with the Russian columns. Call it right after making
// the dialog, before its directory, filters or selection are set.
void PrepareFileDialog(QFileDialog& dialog);

// What the list's columns show for a file, in the default locale's way
// (Russian once SetRussianDefaultLocale has run):
// "27 байт", "2 байта", "1,3 КБ", "32,8 МБ";
QString FileSizeText(qint64 bytes);
// "Папка" for a folder, "Диск" for the root, a file's type as the MIME
// database describes it in the default locale's language ("Текстовый
// документ"), "Ярлык" for a link that leads nowhere;
QString FileTypeText(const QFileInfo& info);
