#pragma once
// Qt's own part of the two programs in Russian: the texts of its standard
// buttons ("Да", "Нет", "Отмена"), file dialogs and edit fields' context
// menus, and the way it writes numbers, sizes and dates. The programs speak
// Russian whatever the machine's locale, so Qt must too.
//
// Qt's catalogues come with the system (Debian: qt6-translations-l10n, in
// Qt's translations folder).

class QCoreApplication;

// Loads Qt's Russian catalogues from Qt's translations folder and installs
// them on application; they live as long as it does. Returns false when no
// catalogue was found (Qt's texts then stay English; nothing else changes).
// Window thread only.
bool InstallQtRussianTranslations(QCoreApplication& application);

// Makes Russian (Russia) Qt's default locale, whatever LANG and LC_* say:
// every QLocale made without arguments, and so every widget, writes
// numbers, sizes and dates the Russian way.
void SetRussianDefaultLocale();

// Both, as each program does right after it makes its application, before
// any widget.
void SpeakRussian(QCoreApplication& application);
