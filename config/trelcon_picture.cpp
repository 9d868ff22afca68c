// Draws Trelcon's main dialog, as it opens on the current configuration
// store, into a PNG file; optionally the rule editor on the open profile's
// first rule into a second one, and the question the profile's deletion
// asks into a third: the README's pictures, made by the program itself so
// that they show what the program shows. Run on Qt's offscreen platform
// (scripts/trelcon-picture does).
//
//   trelcon_picture MAIN.png [RULE.png [QUESTION.png]]

#include <QApplication>
#include <QMessageBox>
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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: trelcon_picture MAIN.png [RULE.png [QUESTION.png]]\n");
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
                         (argc < 4 || DrawDeleteQuestion(dialog, argv[3]));
      code = drawn ? 0 : 1;
    }
  }
  return code;
}
