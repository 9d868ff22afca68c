#include "monitor/monitor_program.h"

#include <vector>

#include "common/qt_text.h"
#include "monitor/alarm_sink.h"
#include "monitor/journal_folder.h"
#include "monitor/message_boxes.h"
#include "monitor/monitor_window.h"
#include "monitor/open_dialog.h"
#include "platform/codepage.h"

int RunMonitor(int argc, char** argv) {
  QtMessageBoxes boxes;
  std::vector<CString> arguments;
  for (int i = 1; i < argc; ++i) {
    arguments.emplace_back(platform::MultiByteToWide(argv[i], CP_UTF8).c_str());
  }
  CString folder;
  const FolderSource source =
      FindJournalFolder(MonitorCommandLineText(arguments),
                        [&boxes](CString& picked) {
                          OpenDialog prompt(boxes);
                          if (RunModal(boxes, prompt) != QDialog::Accepted) return false;
                          picked = FromQString(prompt.folder());
                          return true;
                        },
                        folder, boxes.Unowned());
  if (source != FolderSource::Found) return 0;
  ApplicationAlarmSink alarm;
  CmirelMonitorDlg window(folder, alarm, boxes);
  if (window.OnInitDialog()) window.exec();
  // A poller still waiting on a box is let go before the window waits for it.
  boxes.CloseErrorBoxes();
  return 0;
}
