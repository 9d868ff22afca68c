#pragma once
// What the monitor's tests share: a private machine (temporary QELM_ROOT and
// XDG_CONFIG_HOME) with a driven clock and a journal folder that the
// service's own journal writer fills, message boxes answered by the test, an
// alarm that counts, and the steps that drive the poller pass by pass.

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "monitor/alarm_sink.h"
#include "monitor/message_boxes.h"
#include "platform/cstring.h"
#include "service/core/journal.h"
#include "tests/support/driven_clock.h"
#include "tests/support/temp_root.h"

class CmirelMonitorDlg;

namespace monitortest {

// Message boxes that record what they would show and answer from a queue
// (Ok, or Yes for a question, when the queue is empty); dialogs run through
// the seam are answered by onDialog (rejected when it is empty).
class RecordingBoxes : public MessageBoxes {
 public:
  struct Shown {
    Icon icon;
    QString text;
  };
  QMessageBox::StandardButton Show(QWidget* owner, Icon icon, const QString& text,
                                   QMessageBox::StandardButtons buttons,
                                   QMessageBox::StandardButton defaultButton,
                                   bool systemModal) override;
  int RunDialog(QDialog& dialog) override;
  std::vector<Shown> shown;
  std::function<int(QDialog&)> onDialog;
  std::deque<QMessageBox::StandardButton> answers;
  // Boxes asked for on another thread than the window thread (a fault).
  int offWindowThread = 0;
  // The texts of the boxes shown with this icon.
  QStringList Texts(Icon icon) const;
};

class CountingAlarm : public AlarmSink {
 public:
  void PlayAlarmSound() override { ++sounds; }
  void FlashTaskbar(QWidget*) override { ++flashes; }
  int sounds = 0;
  int flashes = 0;
};

// One test's machine: the temporary root, the clock (UTC), the journal
// folder, and recording boxes for the windows and their error boxes.
// "Monitor timeout" is an hour unless given (-1: no per-user state at all),
// so that the test drives the passes with RunPass.
class MonitorMachine {
 public:
  explicit MonitorMachine(int monitorTimeout = 3600);

  // Sets the driven clock.
  void SetClock(int year, int month, int day, int hour, int minute, int second);
  // Writes one record of profile's journals with the service's writer, at
  // the clock's time; returns the writer's result.
  DWORD Write(const CString& profile, DWORD code, const CString& message,
              const CString& detail = CString());
  DWORD Write(const CString& profile, const JournalRecord& record);
  // The service's start record, which begins both journals of profile.
  bool WriteStart(const CString& profile = L"Банк");
  // "Monitor timeout" of the per-user state.
  void SetMonitorTimeout(int seconds);
  // The journal folder's path as the monitor takes it.
  CString Folder() const;
  std::filesystem::path FolderPath() const { return folder_; }

  testsupport::TempRoot root;
  RecordingBoxes boxes;

 private:
  std::filesystem::path folder_;
  testsupport::DrivenClock clock_;
};

// Builds a main window on the folder with boxes and sets it up; null when
// the set-up failed or found no pair. The poller's first pass has completed when it
// returns.
std::unique_ptr<CmirelMonitorDlg> StartMonitor(const CString& folder, AlarmSink& alarm,
                                               MessageBoxes& boxes);
// Runs one more pass of the poller and waits, serving the window's events,
// until it has completed.
bool RunPass(CmirelMonitorDlg& window);
// The column texts of a page's rows ("time | text | ..."), for comparisons.
QStringList ShownRows(const CmirelMonitorDlg& window, int pair, int kind);

}  // namespace monitortest
