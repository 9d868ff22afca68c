#include "common/qt_translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

bool InstallQtRussianTranslations(QCoreApplication& application) {
  const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
  bool installed = false;
  // "qt_ru" names the catalogues of every Qt module and loads those that
  // are present; "qtbase_ru" alone holds the widgets' texts, for a system
  // that ships no meta catalogue.
  for (const char* name : {"qt_ru", "qtbase_ru"}) {
    auto* translator = new QTranslator(&application);
    if (translator->load(QString::fromLatin1(name), folder) &&
        QCoreApplication::installTranslator(translator)) {
      installed = true;
      break;
    }
    delete translator;
  }
  return installed;
}

void SetRussianDefaultLocale() { QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia)); }

void SpeakRussian(QCoreApplication& application) {
  SetRussianDefaultLocale();
  InstallQtRussianTranslations(application);
}
