// The dialogs as a keyboard and a screen meet them: one-line texts take no
// line break however it comes, Tab follows the screen, and every dialog is
// at least its template's size and shows its texts whole.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTest>
#include <functional>
#include <memory>

#include "common/qt_text.h"
#include "config/add_profile_dialog.h"
#include "config/add_rule_dialog.h"
#include "config/certificate_pick.h"
#include "config/certificate_search.h"
#include "config/dialog_widgets.h"
#include "config/main_dialog.h"
#include "config/mask_dialogs.h"
#include "config/message_boxes.h"
#include "config/pre_encrypt_dialog.h"
#include "config/settings_dialogs.h"
#include "config/signer_list_dialog.h"
#include "tests/config/dialog_answers.h"
#include "tests/config/modal_answers.h"
#include "tests/config/widget_lookup.h"
#include "tests/support/temp_root.h"

namespace {

using testsupport::Child;
using testsupport::ModalAnswers;
using testsupport::OperationPosition;
using testsupport::Q;

ProfileRecord TwoDirectoryProfiles() {
  ProfileRecord profile;
  profile.name = L"main";
  profile.zcsProfiles = {L"alpha", L"beta"};
  return profile;
}

// Shows dialog as the active window with its layout done, so that focus
// and sizes are those a user meets.
void ShowActive(QDialog& dialog) {
  dialog.show();
  dialog.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
}

// ---------------------------------------------------------- one-line texts

TEST(OneLineTextTest, TabLeavesTheDescriptionAndEnterTypesNoLineBreak) {
  TrelconState state;
  ModalAnswers answers;
  CAddRule editor(nullptr, state, TwoDirectoryProfiles(), {}, RuleRecord{});
  ShowActive(editor);
  auto* description = Child<QLineEdit>(editor, "Description");
  description->setFocus();
  QTest::keyClicks(description, "Bank");
  QTest::keyClick(description, Qt::Key_Tab);
  EXPECT_EQ(description->text().toStdString(), "Bank");
  EXPECT_EQ(QApplication::focusWidget(), Child<QWidget>(editor, "InputFolderButton"));

  // Enter is the dialog's OK, whose first refusal is the missing input folder.
  answers.Then(QDialog::Accepted).Then(QDialog::Accepted);
  description->setFocus();
  QTest::keyClick(description, Qt::Key_Return);
  QTest::keyClick(description, Qt::Key_Enter, Qt::KeypadModifier);
  EXPECT_EQ(description->text().toStdString(), "Bank");
  ASSERT_EQ(answers.Shown().size(), 2u);
  EXPECT_EQ(answers.Shown()[0].objectName, Q("ErrBox"));
}

TEST(OneLineTextTest, PastedLineBreaksBecomeOneBlankAndNoneAtTheEnds) {
  TrelconState state;
  struct Case {
    const char* before;  // "|" marks the cursor
    const char* pasted;
    const char* after;   // "|" marks the cursor
  };
  const Case cases[] = {
      {"|", "первая\nвторая", "первая вторая|"},
      {"|", "a\r\n\r\nb", "a b|"},
      {"|", "/path/from/a/terminal\n", "/path/from/a/terminal|"},
      {"|", "\r\nx", "x|"},
      {"|", "a\xe2\x80\xa8" "b\xe2\x80\xa9" "c\x0b" "d\x0c" "e\xc2\x85" "f", "a b c d e f|"},
      {"ab|cd", "\n1\n", "ab 1 |cd"},
      {"ab|cd", "1\n2", "ab1 2|cd"},
      {"ab|", "\n", "ab|"},
      {"|", "\n\n", "|"},
  };
  ModalAnswers answers;
  CAddRule editor(nullptr, state, TwoDirectoryProfiles(), {}, RuleRecord{});
  auto* description = Child<QLineEdit>(editor, "Description");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pasted);
    const QString before = Q(c.before);
    description->setText(QString(before).remove(u'|'));
    description->setCursorPosition(static_cast<int>(before.indexOf(u'|')));
    QApplication::clipboard()->setText(Q(c.pasted));
    description->paste();
    QString shown = description->text();
    shown.insert(description->cursorPosition(), u'|');
    EXPECT_EQ(shown.toStdString(), c.after);
  }
}

TEST(OneLineTextTest, AStoredDescriptionWithALineBreakIsSavedOnOneLine) {
  TrelconState state;
  testsupport::TempRoot root;
  ModalAnswers answers;
  RuleRecord rule;
  rule.operation = L"HASH";
  rule.pathIn = FromQString(QString::fromStdString(root.Dir("in").string()));
  rule.pathOut = FromQString(QString::fromStdString(root.Dir("out").string()));
  rule.pathError = FromQString(QString::fromStdString(root.Dir("err").string()));
  rule.masks = {L"*"};
  rule.description = L"первая\r\nвторая";
  CAddRule editor(nullptr, state, TwoDirectoryProfiles(), {}, rule);
  EXPECT_EQ(Child<QLineEdit>(editor, "Description")->text().toStdString(), "первая вторая");
  testsupport::Click(editor, "OK");
  ASSERT_EQ(editor.result(), QDialog::Accepted);
  EXPECT_EQ(ToQString(editor.Result().description).toStdString(), "первая вторая");
}

// A stored value with a line break, given to a field as it is made, is shown
// (and so saved back) on one line as well.
TEST(OneLineTextTest, StoredSettingsWithALineBreakAreShownOnOneLine) {
  BaseSettings settings;
  settings.sigExt = L"p7\ns";
  CConfigPage page(nullptr, settings);
  EXPECT_EQ(Child<QLineEdit>(page, "SigExt")->text().toStdString(), "p7 s");
  CConflictDlg journal(nullptr, CString(L"/j\r\nk"), 4000);
  EXPECT_EQ(Child<QLineEdit>(journal, "JournalFolder")->text().toStdString(), "/j k");
}

// Every edit field of every dialog: text inserted as a paste inserts it
// either loses its line breaks or, in a number field, is refused whole.
TEST(OneLineTextTest, NoEditFieldOfAnyDialogTakesALineBreak) {
  TrelconState state;
  ModalAnswers answers;
  state.libraryProfileNames.Add(L"alpha");
  const ProfileRecord profile = TwoDirectoryProfiles();
  RuleRecord move;
  move.operation = L"MOVE";
  RuleRecord pack;
  pack.operation = L"PACK";
  const std::function<std::unique_ptr<QWidget>()> dialogs[] = {
      [] { return std::make_unique<CTrelconDlg>(); },
      [&] { return std::make_unique<CAddProfile>(nullptr, state, profile); },
      [&] { return std::make_unique<CAddRule>(nullptr, state, profile, std::vector<CString>{}, move); },
      [&] { return std::make_unique<CAddRule>(nullptr, state, profile, std::vector<CString>{}, pack); },
      [] { return std::make_unique<AddMask>(nullptr, std::vector<CString>{L"*.p7s"}, CString()); },
      [] { return std::make_unique<CConfigPage>(nullptr, BaseSettings{}); },
      [] { return std::make_unique<CAddExtDlg>(nullptr); },
      [] { return std::make_unique<CConflictDlg>(nullptr, CString(L"/j"), 4000); },
      [] { return std::make_unique<CFilterDlg>(nullptr); },
      [] {
        return std::make_unique<CPreEncryptDlg>(nullptr, PreEncryptParams{}, nullptr,
                                                std::vector<CString>{});
      },
  };
  int edits = 0;
  for (const auto& make : dialogs) {
    const std::unique_ptr<QWidget> dialog = make();
    for (QLineEdit* edit : dialog->findChildren<QLineEdit*>()) {
      if (edit->isReadOnly()) continue;
      SCOPED_TRACE(dialog->objectName().toStdString() + " " + edit->objectName().toStdString() +
                   " in " + edit->parentWidget()->objectName().toStdString());
      ++edits;
      edit->clear();
      edit->insert(Q("a\nb"));
      EXPECT_FALSE(edit->text().contains(u'\n')) << edit->text().toStdString();
    }
  }
  EXPECT_GE(edits, 30);
}

// ------------------------------------------------------------------- Tab

// The object names of the widgets Tab visits from first, until it comes
// back to it.
std::string Joined(const QStringList& names) { return names.join(QStringLiteral(" | ")).toStdString(); }

QStringList TabWalk(QDialog& dialog, QWidget* first) {
  QStringList names;
  first->setFocus();
  QWidget* at = QApplication::focusWidget();
  for (int i = 0; i < 60 && at != nullptr; ++i) {
    names << at->objectName();
    QTest::keyClick(at, Qt::Key_Tab);
    at = QApplication::focusWidget();
    if (at == first || at == nullptr || at->window() != &dialog) break;
  }
  return names;
}

TEST(TabOrderTest, TheProfileEditorFollowsTheScreen) {
  TrelconState state;
  ModalAnswers answers;
  ProfileRecord profile = TwoDirectoryProfiles();
  // Every setting in use, so that no field is skipped as disabled.
  profile.autoUseTsp = {1, 1};
  profile.autoVerifyTsp = {1, 1};
  profile.serverTsp = {L"http://tsp", L"0"};
  CAddProfile editor(nullptr, state, profile);
  ShowActive(editor);
  EXPECT_EQ(Joined(TabWalk(editor, Child<QWidget>(editor, "ProfileName"))),
            Joined({"ProfileName", "DirectoryProfiles", "AddDirectoryProfile",
                         "RemoveDirectoryProfile", "NotUseLDAP", "NotAddCert", "NotCopyToLocal",
                         "NotLoadCrl", "CrlUpdatePeriod", "AutoUseTSP", "ServerTSP",
                         "AutoVerifyTSP", "NoTSPisError", "UseAIA", "Verify File",
                         "Verify x file", "Verify det file", "Verify resign file",
                         "Handler timeout", "Rename conf files", "OK", "Exit"}));
}

TEST(TabOrderTest, TheRuleEditorFollowsTheScreen) {
  TrelconState state;
  struct Case {
    const char* operation;
    QStringList names;
  };
  const QStringList head = {"Operation", "DirectoryProfile", "Description",
                            "InputFolderButton", "PathIn", "OutputFolderButton", "PathOut",
                            "ErrorFolderButton", "PathError", "CertificateButton",
                            "CertificateField"};
  const QStringList tail = {"MaskList", "AddMaskButton", "EditMaskButton", "DeleteMasksButton",
                            "OK", "Exit"};
  const Case cases[] = {
      {"ENCR", head + QStringList{"Row1List", "Row2List"} + tail},
      {"MOVE", QStringList{"Operation", "Description", "InputFolderButton", "PathIn",
                           "OutputFolderButton", "PathOut", "ErrorFolderButton", "PathError",
                           "CertificateButton", "CertificateField", "DelExt", "AddExt",
                           "Folders", "Row4Text"} +
                   tail},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.operation);
    ModalAnswers answers;
    RuleRecord rule;
    rule.operation = c.operation;
    rule.recipients = {L"CN=X"};
    CAddRule editor(nullptr, state, TwoDirectoryProfiles(), {}, rule);
    ShowActive(editor);
    EXPECT_EQ(Joined(TabWalk(editor, Child<QWidget>(editor, "Operation"))), Joined(c.names));
  }
}

// ----------------------------------------------------------------- sizes

// What of dialog's texts does not fit where it is shown: labels and buttons
// narrower than their texts, wrapped labels shorter than their lines, and
// a title wider than the window (with room for the title bar's buttons).
QStringList CutTexts(QDialog& dialog) {
  QStringList cut;
  for (QLabel* label : dialog.findChildren<QLabel*>()) {
    if (!label->isVisible() || label->text().isEmpty()) continue;
    const bool fits = label->wordWrap() ? label->height() >= label->heightForWidth(label->width())
                                        : label->width() >= label->sizeHint().width() &&
                                              label->height() >= label->sizeHint().height();
    if (!fits) cut << label->text();
  }
  for (QAbstractButton* button : dialog.findChildren<QAbstractButton*>()) {
    if (button->isVisible() && button->width() < button->sizeHint().width()) {
      cut << button->text();
    }
  }
  const QFontMetrics metrics = dialog.fontMetrics();
  const bool titled = !dialog.windowFlags().testFlag(Qt::FramelessWindowHint);
  if (titled && dialog.width() < metrics.horizontalAdvance(dialog.windowTitle()) + 6 * metrics.height()) {
    cut << dialog.windowTitle();
  }
  return cut;
}

TEST(DialogSizeTest, EveryDialogIsItsTemplatesSizeAndShowsItsTextsWhole) {
  TrelconState state;
  struct Case {
    const char* name;
    int width, height;  // the template's, in dialog units
    std::function<std::unique_ptr<QDialog>()> make;
  };
  ModalAnswers answers;
  state.libraryProfileNames.Add(L"alpha");
  const ProfileRecord profile = TwoDirectoryProfiles();
  RuleRecord encr;
  encr.operation = L"ENCR";
  const Case cases[] = {
      {"CAddProfile", 319, 352, [&] { return std::make_unique<CAddProfile>(nullptr, state, profile); }},
      {"CAddCSProfDlg", 315, 55,
       [&] { return std::make_unique<CAddCSProfDlg>(nullptr, state.libraryProfileNames); }},
      {"CAddRule", 394, 224,
       [&] { return std::make_unique<CAddRule>(nullptr, state, profile, std::vector<CString>{}, encr); }},
      {"CPreEncryptDlg", 419, 258,
       [] {
         return std::make_unique<CPreEncryptDlg>(nullptr, PreEncryptParams{}, nullptr,
                                                 std::vector<CString>{});
       }},
      {"CFilterDlg", 227, 94, [] { return std::make_unique<CFilterDlg>(nullptr); }},
      {"SignerList", 320, 200,
       [&] { return std::make_unique<SignerList>(nullptr, encr, profile, 0); }},
      {"CConfigPage", 290, 204,
       [] { return std::make_unique<CConfigPage>(nullptr, BaseSettings{}); }},
      {"CAddExtDlg", 226, 64, [] { return std::make_unique<CAddExtDlg>(nullptr); }},
      {"CConflictDlg", 264, 75,
       [] { return std::make_unique<CConflictDlg>(nullptr, CString(L"/j"), 4000); }},
      {"CAboutDlg", 302, 74, [] { return std::make_unique<CAboutDlg>(nullptr); }},
      {"AddMask", 231, 54,
       [] { return std::make_unique<AddMask>(nullptr, std::vector<CString>{L"*.p7s"}, CString()); }},
      {"ErrBox", 244, 65,
       [] {
         return std::make_unique<ErrBox>(
             nullptr, CString(L"Не выбрано ни одного сертификата для операции."), kIconRecipients);
       }},
      {"AwaitDlg", 146, 39, [] { return std::make_unique<AwaitDlg>(nullptr); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::unique_ptr<QDialog> dialog = c.make();
    ASSERT_EQ(dialog->objectName(), Q(c.name));
    dialog->show();
    QApplication::processEvents();
    const QSize units = DialogUnits(dialog.get(), c.width, c.height);
    EXPECT_GE(dialog->width(), units.width());
    EXPECT_GE(dialog->height(), units.height());
    EXPECT_EQ(Joined(CutTexts(*dialog)), "");
  }
}

TEST(DialogSizeTest, TheWarningBoxWithItsTextIsItsTemplatesSize) {
  ModalAnswers answers;
  answers.Then([](QDialog& box) {
    box.show();
    const QSize units = DialogUnits(&box, 321, 200);
    EXPECT_GE(box.width(), units.width());
    EXPECT_GE(box.height(), units.height());
    EXPECT_EQ(Joined(CutTexts(box)), "");
    return int(QDialog::Rejected);
  });
  WarningBox box(nullptr, 0);
  box.text = L"Переподписание на профиль справочника: alpha";
  box.DoModal();
}

TEST(DialogSizeTest, TheEncryptionRuleFormFitsA1024PixelScreen) {
  TrelconState state;
  ModalAnswers answers;
  CAddRule editor(nullptr, state, TwoDirectoryProfiles(), {}, RuleRecord{});
  ASSERT_EQ(editor.findChild<QComboBox*>("Operation")->currentIndex(), OperationPosition("ENCR"));
  // The size asked for, not only the size given: the offscreen screen is
  // smaller than a real one and would clamp it.
  EXPECT_LE(editor.sizeHint().width(), 1024);
  editor.show();
  QApplication::processEvents();
  EXPECT_LE(editor.frameGeometry().width(), 1024);
  EXPECT_EQ(Joined(CutTexts(editor)), "");
  // Its lists still offer their entries whole.
  auto* operation = editor.findChild<QComboBox*>("Operation");
  const QString longest = Q("Расшифровать, проверить и удалить присоединённую подпись");
  operation->showPopup();
  EXPECT_GE(operation->view()->width(), operation->fontMetrics().horizontalAdvance(longest));
  operation->hidePopup();
}

// The closed operation list shows the whole name of whichever operation is
// chosen: SIGN and SGEN, DECR and DCCX differ only at their names' ends.
TEST(DialogSizeTest, TheClosedOperationListShowsEachFullName) {
  TrelconState state;
  ModalAnswers answers;
  CAddRule editor(nullptr, state, TwoDirectoryProfiles(), {}, RuleRecord{});
  editor.show();
  QApplication::processEvents();
  auto* operation = Child<QComboBox>(editor, "Operation");
  for (int position = 0; position < operation->count(); ++position) {
    operation->setCurrentIndex(position);
    QApplication::processEvents();
    QStyleOptionComboBox option;
    option.initFrom(operation);
    option.currentText = operation->currentText();
    const QRect text = operation->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                          QStyle::SC_ComboBoxEditField, operation);
    EXPECT_GE(text.width(), operation->fontMetrics().horizontalAdvance(operation->currentText()))
        << operation->currentText().toStdString();
  }
}

// Switching the operation of an open editor changes neither its size nor
// the mask list's, and every operation's texts are whole at that size:
// PACK's archive names, and after it ENCR's cipher names.
TEST(DialogSizeTest, TheRuleEditorKeepsItsShapeAcrossOperations) {
  TrelconState state;
  ModalAnswers answers;
  RuleRecord pack;
  pack.operation = L"PACK";
  pack.archName = L"batch-:|YYYYMMDD-hhmmss|";
  pack.masks = {L"*.txt"};
  CAddRule editor(nullptr, state, TwoDirectoryProfiles(), {}, pack);
  ShowActive(editor);
  auto* masks = Child<QWidget>(editor, "MaskList");
  const QSize editorSize = editor.size();
  const QSize maskSize = masks->size();
  EXPECT_GE(maskSize.width(), 20 * masks->fontMetrics().averageCharWidth());
  auto* archiveName = Child<QLineEdit>(editor, "Row4Text");
  EXPECT_GE(archiveName->contentsRect().width(),
            archiveName->fontMetrics().horizontalAdvance(archiveName->text()));
  const auto listsCut = [&editor] {
    QStringList cut;
    for (QComboBox* list : editor.findChildren<QComboBox*>()) {
      if (!list->isVisible()) continue;
      for (int i = 0; i < list->count(); ++i) {
        QStyleOptionComboBox option;
        option.initFrom(list);
        option.currentText = list->itemText(i);
        const QRect text = list->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                         QStyle::SC_ComboBoxEditField, list);
        if (text.width() < list->fontMetrics().horizontalAdvance(list->itemText(i))) {
          cut << list->itemText(i);
        }
      }
    }
    return cut;
  };
  auto* operation = Child<QComboBox>(editor, "Operation");
  std::vector<int> order = {OperationPosition("ENCR")};
  for (int position = 0; position < operation->count(); ++position) order.push_back(position);
  for (int position : order) {
    operation->setCurrentIndex(position);
    QApplication::processEvents();
    SCOPED_TRACE(operation->currentText().toStdString());
    EXPECT_EQ(editor.size(), editorSize);
    EXPECT_EQ(masks->size(), maskSize);
    EXPECT_EQ(Joined(CutTexts(editor)), "");
    EXPECT_EQ(Joined(listsCut()), "");
  }
}

// A message box with a short text is still wide enough for its caption.
TEST(DialogSizeTest, AShortMessageBoxShowsItsWholeCaption) {
  ModalAnswers answers;
  answers.Then([](QDialog& box) {
    box.show();
    QApplication::processEvents();
    QFont bold = box.font();
    bold.setBold(true);
    const QFontMetrics metrics(bold);
    // The caption in bold, with an icon and three buttons beside it.
    EXPECT_GE(box.width(), metrics.horizontalAdvance(box.windowTitle()) + 4 * metrics.height())
        << box.windowTitle().toStdString();
    return int(QMessageBox::Ok);
  });
  ProgramMessageBox(nullptr, "Не выбрана маска.", MB_ICONWARNING);
  EXPECT_EQ(answers.Shown().size(), 1u);
}

TEST(DialogSizeTest, TheJournalFolderIsShownWhole) {
  ModalAnswers answers;
  const QString folder = Q("/var/lib/qelmservice/ProgramData/TORVAK/qelmservice");
  CConflictDlg dialog(nullptr, FromQString(folder), 4000);
  dialog.show();
  QApplication::processEvents();
  auto* edit = Child<QLineEdit>(dialog, "JournalFolder");
  edit->end(false);
  // Scrolled text would put the cursor short of the text's own width.
  const QRect cursor = edit->inputMethodQuery(Qt::ImCursorRectangle).toRect();
  EXPECT_GE(cursor.center().x(), edit->fontMetrics().horizontalAdvance(folder));
}

}  // namespace
