#pragma once
// The about box "О программе...".

#include <QDialog>

// "АК СКЗИ Квелла Сервис: монитор (x64) Версия 2.0.0457.0".
QString MonitorVersionLine();

class CAboutDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CAboutDlg(QWidget* parent);
};
