// The program's three ways of showing a message, through the seam a test
// answers.
#include <gtest/gtest.h>

#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <memory>
#include <QMessageBox>
#include <QPushButton>

#include "common/error_box.h"
#include "common/registry_values.h"
#include "config/message_boxes.h"
#include "tests/config/modal_answers.h"
#include "tests/support/temp_root.h"

namespace {

using testsupport::ModalAnswers;

const QString kCaption = QString::fromUtf8("АК СКЗИ Квелла Сервис - конфигурация");

TEST(ProgramMessageBoxTest, StyleGivesButtonsIconDefaultAndResult) {
  struct Case {
    UINT style;
    QMessageBox::StandardButtons buttons;
    QMessageBox::Icon icon;
    QMessageBox::StandardButton defaultButton;
    QMessageBox::StandardButton answer;
    int result;
  };
  const Case cases[] = {
      {0x30, QMessageBox::Ok, QMessageBox::Warning, QMessageBox::Ok, QMessageBox::Ok, IDOK},
      {0x10, QMessageBox::Ok, QMessageBox::Critical, QMessageBox::Ok, QMessageBox::Ok, IDOK},
      {0x124, QMessageBox::Yes | QMessageBox::No, QMessageBox::Question, QMessageBox::No,
       QMessageBox::Yes, IDYES},
      {0x124, QMessageBox::Yes | QMessageBox::No, QMessageBox::Question, QMessageBox::No,
       QMessageBox::No, IDNO},
      {0x31, QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Warning, QMessageBox::Ok,
       QMessageBox::Cancel, IDCANCEL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.style);
    ModalAnswers answers;
    answers.Then([&c](QDialog& dialog) {
      auto& box = dynamic_cast<QMessageBox&>(dialog);
      EXPECT_EQ(box.standardButtons(), c.buttons);
      EXPECT_EQ(box.icon(), c.icon);
      EXPECT_EQ(box.defaultButton(), box.button(c.defaultButton));
      return int(c.answer);
    });
    EXPECT_EQ(ProgramMessageBox(nullptr, "Вопрос?", c.style), c.result);
    ASSERT_EQ(answers.Shown().size(), 1u);
    EXPECT_EQ(answers.Shown()[0].title, kCaption);
    EXPECT_EQ(answers.Shown()[0].text, QString::fromUtf8("Вопрос?"));
  }
}

TEST(ProgramMessageBoxTest, ClosedWithoutAButtonIsARefusal) {
  ModalAnswers answers;
  answers.Then(0);
  EXPECT_EQ(ProgramMessageBox(nullptr, CString(L"Удалить?"), 0x124), 0);
}

TEST(ReportErrorBoxTest, ErrorsAndRegistryFailuresShowAsProgramBoxesWithTheErrorIcon) {
  testsupport::TempRoot root;
  QWidget owner;
  ModalAnswers answers;
  answers.Then(QMessageBox::Ok).Then(QMessageBox::Ok);

  CString extra(L"Выбран некорректный путь журнала.");
  ReportErrorBox(ErrorOwner(&owner), nullptr, kErrorBoxShow, 2, "Открытие файла %s", &extra,
                 "/нет/такой");
  // A write through a key that is not open fails with 6 and is reported by
  // the registry helper itself.
  RegistryValues registry(ProgramRegistryReporter());
  EXPECT_EQ(registry.WriteDwordValue("Log filesize", 400, WindowHandle(&owner), 3), 0);

  ASSERT_EQ(answers.Shown().size(), 2u);
  const QString first = answers.Shown()[0].text;
  EXPECT_TRUE(first.startsWith(QString::fromUtf8("Открытие файла /нет/такой.\r\nОшибка 0x2 - ")))
      << first.toStdString();
  EXPECT_TRUE(first.endsWith(QString::fromUtf8(".Выбран некорректный путь журнала.")))
      << first.toStdString();
  EXPECT_EQ(answers.Shown()[0].icon, QMessageBox::Critical);
  EXPECT_EQ(answers.Shown()[0].title, kCaption);
  EXPECT_TRUE(answers.Shown()[1].text.startsWith(QString::fromUtf8(
      "Запись в реестр числового значения 'Log filesize'.\r\nОшибка 0x6 - ")))
      << answers.Shown()[1].text.toStdString();
}

TEST(WarningBoxTest, TitleIconAndOneVisibleButton) {
  struct Case {
    const wchar_t* caption;
    int failure;
    int details;
    QString title;
  };
  const Case cases[] = {
      {L"", 0, 0, QString::fromUtf8("Внимание:")},
      {L"Дополнительно", 1, 1, QString::fromUtf8("Дополнительно")},
  };
  for (const Case& c : cases) {
    ModalAnswers answers;
    answers.Then([](QDialog& dialog) {
      auto* ok = dialog.findChild<QPushButton*>("okButton");
      auto* more = dialog.findChild<QPushButton*>("continueButton");
      EXPECT_EQ(ok->text(), QString::fromUtf8("OK"));
      EXPECT_FALSE(ok->isHidden());
      EXPECT_EQ(more->text(), QString::fromUtf8("Продолжить"));
      EXPECT_TRUE(more->isHidden());
      EXPECT_FALSE(more->isEnabled());
      ok->click();
      return dialog.result();
    });
    WarningBox box(nullptr, c.failure);
    box.text = L"Первая строка\r\nВторая строка";
    box.caption = c.caption;
    box.details = c.details;
    EXPECT_EQ(box.DoModal(), int(QDialog::Rejected));
    ASSERT_EQ(answers.Shown().size(), 1u);
    EXPECT_EQ(answers.Shown()[0].title, c.title);
    EXPECT_EQ(answers.Shown()[0].text, QString::fromUtf8("Первая строка\nВторая строка"));
  }
}

}  // namespace

namespace {

std::string Plain(QString text) { return text.remove(u'&').section(u'\t', 0, 0).toStdString(); }

// Qt's own texts are Russian, as the program loads them at its start (this
// test program starts the same way): the message boxes' standard buttons,
// the file dialogs and the edit fields' context menus. Qt's catalogues come
// from the system's qt6-translations-l10n, which scripts/setup installs.
TEST(QtTranslationTest, StandardButtonsFileDialogsAndEditMenusSpeakRussian) {
  ModalAnswers answers;
  answers.Then([](QDialog& dialog) {
    auto& box = dynamic_cast<QMessageBox&>(dialog);
    EXPECT_EQ(Plain(box.button(QMessageBox::Yes)->text()), "Да");
    EXPECT_EQ(Plain(box.button(QMessageBox::No)->text()), "Нет");
    EXPECT_EQ(Plain(box.button(QMessageBox::Cancel)->text()), "Отмена");
    return int(QMessageBox::Cancel);
  });
  EXPECT_EQ(ProgramMessageBox(nullptr, "Сохранить изменения?", MB_YESNOCANCEL | MB_ICONQUESTION),
            IDCANCEL);

  QFileDialog picker;
  picker.setOption(QFileDialog::DontUseNativeDialog, true);
  picker.setAcceptMode(QFileDialog::AcceptSave);
  EXPECT_EQ(picker.windowTitle().toStdString(), "Сохранить как");
  auto* fileName = picker.findChild<QLabel*>("fileNameLabel");
  ASSERT_NE(fileName, nullptr);
  EXPECT_EQ(Plain(fileName->text()), "Имя файла:");

  QLineEdit edit;
  const std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
  std::vector<std::string> items;
  for (QAction* action : menu->actions()) {
    if (!action->isSeparator()) items.push_back(Plain(action->text()));
  }
  EXPECT_EQ(items, (std::vector<std::string>{"Отменить действие", "Повторить действие", "Вырезать",
                                             "Копировать", "Вставить", "Удалить", "Выделить всё"}));
}

}  // namespace
