// Draws Trelcon's main dialog, as it opens on the current configuration
// store, into a PNG file: the README's picture, made by the program itself
// so that it shows what the program shows. Run on Qt's offscreen platform
// (scripts/trelcon-picture does).
//
//   trelcon_picture FILE.png

#include <QApplication>
#include <QTreeWidget>
#include <cstdio>

#include "config/configuration_store.h"
#include "config/main_dialog.h"
#include "config/message_boxes.h"
#include "config/trelcon_app.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: trelcon_picture FILE.png\n");
    return 2;
  }
  QApplication application(argc, argv);
  PrepareTrelcon(application);
  // Nobody answers here: any box means the store is not as the picture needs.
  SetModalRunner([](QDialog& dialog) {
    std::fprintf(stderr, "trelcon_picture: a dialog opened (%s)\n",
                 dialog.windowTitle().toUtf8().constData());
    return 0;
  });
  int code = 1;
  {
    CTrelconDlg dialog;
    if (dialog.OnInitDialog()) {
      dialog.resize(1280, 480);
      dialog.show();
      if (auto* rules = dialog.findChild<QTreeWidget*>("RuleList");
          rules != nullptr && rules->topLevelItemCount() > 0) {
        rules->setCurrentItem(rules->topLevelItem(0));
      }
      QApplication::processEvents();
      code = dialog.grab().save(QString::fromLocal8Bit(argv[1]), "PNG") ? 0 : 1;
    }
  }
  ReleaseLibraryListingContext();
  return code;
}
