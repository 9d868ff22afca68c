#pragma once
// The small modal dialogs of the main window: the extension settings
// (CConfigPage) with its one-extension prompt (CAddExtDlg), the journal
// settings (CConflictDlg) and the about box (CAboutDlg). Each edits copies
// handed in by its caller, who takes the values over only after OK; nothing
// here writes anywhere.

#include <QDialog>

#include "common/config_records.h"
#include "platform/cstring.h"

class QLineEdit;
class QListWidget;
class QLabel;

class CConfigPage : public QDialog {
  Q_OBJECT
 public:
  // values: the eight extensions and the extra extensions ("ExtExt"); the
  // other members pass through untouched.
  CConfigPage(QWidget* parent, const BaseSettings& values);

  // After OK: the edits' values and the extra extensions as last applied.
  BaseSettings values;
  int pendingChanges = 0;  // 1 while the edits or the list hold unapplied changes

 public slots:
  void OnAddExtension();
  void OnRemoveExtension();
  void OnApply();
  void accept() override;  // OnOK

 private:
  void ReadEdits();
  QLineEdit* edits_[8];
  QListWidget* list_;
};

class CAddExtDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CAddExtDlg(QWidget* parent);
  CString extension;  // after OK: trimmed, lower-case, never empty

 public slots:
  void accept() override;  // OnOK

 private:
  QLineEdit* edit_;
};

class CConflictDlg : public QDialog {
  Q_OBJECT
 public:
  // folder: the journal folder ("LogPath"); size: "Log filesize" in KB.
  CConflictDlg(QWidget* parent, const CString& folder, int size);
  CString folder;  // after OK: the folder of the edit
  int size;        // the size, at least 400 whenever it was checked

  // The least journal size in KB.
  static constexpr int kMinimumSize = 400;

 public slots:
  void OnChooseJournalFolder();
  void OnJournalSizeChanged();
  void accept() override;  // OnOK

 private:
  bool FolderExists(const CString& path) const;
  void ReportUnusableFolder(DWORD code, const CString& path);
  QLineEdit* folderEdit_;
  QLineEdit* sizeEdit_;
};

class CAboutDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CAboutDlg(QWidget* parent);
  // The version line: "АК СКЗИ Квелла Сервис - конфигурация Версия 2.0.0457.0".
  static CString VersionText();
};
