#pragma once
// Qt's own texts in Russian: the standard buttons ("Да", "Нет", "Отмена"),
// the file dialogs and the edit fields' context menus. The two programs
// speak Russian whatever the machine's locale, so Qt's texts must too.
//
// Qt's catalogues come with the system (Debian: qt6-translations-l10n, in
// Qt's translations folder).

class QCoreApplication;

// Loads Qt's Russian catalogues from Qt's translations folder and installs
// them on application; they live as long as it does. Call it right after
// the application is made, before any widget. Returns false when no
// catalogue was found (Qt's texts then stay English; nothing else changes).
// Window thread only.
bool InstallQtRussianTranslations(QCoreApplication& application);
