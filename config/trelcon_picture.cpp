// Draws Trelcon's main dialog, as it opens on the current configuration
// store, into a PNG file; optionally the rule editor on the open profile's
// first rule into a second one, the question the profile's deletion asks
// into a third, and the file dialog of the rules' export (on the current
// folder, all files shown) into a fourth: the README's pictures, made by
// the program itself so that they show what the program shows. Run on Qt's
// offscreen platform (scripts/trelcon-picture does).
//
//   trelcon_picture MAIN.png [RULE.png [QUESTION.png [FILES.png]]]

#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QMessageBox>
#include <QTreeView>
#include <QTreeWidget>
#include <cstdio>

#include "config/add_rule_dialog.h"
#include "config/config_records.h"
#include "config/main_dialog.h"
#include "config/message_boxes.h"
#include "config/trelcon_app.h"

namespace {

bool Save(QWidget& window, const char* path) {
  window.show();
  QApplication::processEvents();
  return window.grab().save(QString::fromLocal8Bit(path), "PNG");
}

// The rule editor as it opens on the first rule of the open profile.
bool DrawRuleEditor(CTrelconDlg& owner, const char* path) {
  TrelconState& state = owner.State();
  const ProfileRecord* profile = state.OpenProfile();
  if (profile == nullptr || profile->rules.empty()) {
    std::fprintf(stderr, "trelcon_picture: the open profile has no rule to show\n");
    return false;
  }
  CAddRule editor(&owner, state, *profile, SuggestedMasks(*profile, state.baseSettings),
                  profile->rules.front());
  return Save(editor, path);
}

// The question "Удалить профиль" asks, with Qt's standard buttons; the
// question is answered No, so nothing is deleted.
bool DrawDeleteQuestion(CTrelconDlg& dialog, const char* path) {
  bool drawn = false;
  const ModalRunner previous = SetModalRunner([&drawn, path](QDialog& box) {
    drawn = Save(box, path);
    return static_cast<int>(QMessageBox::No);
  });
  dialog.OnDeleteProfile();
  SetModalRunner(previous);
  return drawn;
}

// The file dialog "Экспорт правил профиля" opens, once its list has been
// read, with every file shown; it is cancelled, so nothing is written.
bool DrawExportDialog(CTrelconDlg& dialog, const char* path) {
  bool drawn = false;
  const ModalRunner previous = SetModalRunner([&drawn, path](QDialog& shown) {
    auto* files = qobject_cast<QFileDialog*>(&shown);
    if (files == nullptr) return 0;
    files->selectNameFilter(files->nameFilters().last());
    files->show();
    // The list is read on a thread of Qt's own; the picture waits for it.
    auto* list = files->findChild<QTreeView*>(QStringLiteral("treeView"));
    QElapsedTimer waited;
    waited.start();
    while (list != nullptr && list->model()->rowCount(list->rootIndex()) == 0 &&
           waited.elapsed() < 10000) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    QCoreApplication::processEvents();
    // Folders come first: the files, with their sizes, are at the end.
    if (list != nullptr) list->scrollToBottom();
    drawn = Save(*files, path);
    return static_cast<int>(QDialog::Rejected);
  });
  dialog.ExportProfileRules();
  SetModalRunner(previous);
  return drawn;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 5) {
    std::fprintf(stderr, "usage: trelcon_picture MAIN.png [RULE.png [QUESTION.png [FILES.png]]]\n");
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
      const bool drawn = Save(dialog, argv[1]) && (argc < 3 || DrawRuleEditor(dialog, argv[2])) &&
                         (argc < 4 || DrawDeleteQuestion(dialog, argv[3])) &&
                         (argc < 5 || DrawExportDialog(dialog, argv[4]));
      code = drawn ? 0 : 1;
    }
  }
  return code;
}
