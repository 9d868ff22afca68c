// The extension, journal and about dialogs: what their caller takes over,
// and every refusal.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "common/qt_text.h"
#include "config/message_boxes.h"
#include "config/settings_dialogs.h"
#include "tests/config/modal_answers.h"
#include "tests/config/trelcon_fixture.h"
#include "tests/support/temp_root.h"

namespace {

using testsupport::ModalAnswers;

QStringList ListEntries(QDialog& dialog) {
  QStringList entries;
  auto* list = dialog.findChild<QListWidget*>("ExtraExtensions");
  for (int row = 0; row < list->count(); ++row) entries << list->item(row)->text();
  return entries;
}

void Click(QDialog& dialog, const char* name) {
  auto* button = dialog.findChild<QPushButton*>(name);
  ASSERT_NE(button, nullptr) << name;
  button->click();
}

// Answers CAddExtDlg with the typed text and OK.
std::function<int(QDialog&)> TypeExtension(const QString& text) {
  return [text](QDialog& dialog) {
    dialog.findChild<QLineEdit*>("Extension")->setText(text);
    Click(dialog, "OK");
    return dialog.result();
  };
}

TEST(ConfigPageTest, OkWithoutChangesHandsTheValuesBack) {
  ModalAnswers answers;
  CConfigPage page(nullptr, testsupport::DefaultExtensions({L"sig"}));
  Click(page, "OK");
  EXPECT_EQ(page.result(), int(QDialog::Accepted));
  EXPECT_EQ(page.values.zipArchiveExt, CString(L"zip"));
  ASSERT_EQ(page.values.extExt.GetSize(), 1);
  EXPECT_TRUE(answers.Shown().empty());
}

TEST(ConfigPageTest, AnEmptyMainExtensionIsRefusedAndOkAsksBeforeDroppingChanges) {
  const char* names[] = {"SigExt", "DsigExt", "EncExt", "B64Ext", "HashExt", "VerifyFileExt"};
  const char* texts[] = {
      "Пожалуйста, выберите расширение для файлов с присоединенной подписью.",
      "Пожалуйста, выберите расширение для файлов с отсоединенной подписью.",
      "Пожалуйста, выберите расширение для зашифрованных файлов.",
      "Пожалуйста, выберите расширение для файлов в кодировке b64.",
      "Пожалуйста, выберите расширение для файлов, содержащих хэш.",
      "Пожалуйста, выберите расширение для файлов, содержащих отчет о проверке подписи.",
  };
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(names[i]);
    ModalAnswers answers;
    answers.Then(QMessageBox::Ok).Then(QMessageBox::No).Then(QMessageBox::Yes);
    CConfigPage page(nullptr, testsupport::DefaultExtensions({}));
    page.findChild<QLineEdit*>(names[i])->clear();
    Click(page, "Apply");
    EXPECT_EQ(page.pendingChanges, 1);
    Click(page, "OK");  // No: stays open
    EXPECT_EQ(page.result(), 0);
    Click(page, "OK");  // Yes: ends as "Выход" does
    EXPECT_EQ(page.result(), int(QDialog::Rejected));
    const auto shown = answers.MessageTexts();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0], QString::fromUtf8(texts[i]));
    EXPECT_EQ(shown[1],
              QString::fromUtf8("Некоторые изменения не были сохранены. Выйти без сохранения?"));
  }
}

TEST(ConfigPageTest, ArchiveExtensionsMayBeEmpty) {
  ModalAnswers answers;
  CConfigPage page(nullptr, testsupport::DefaultExtensions({}));
  page.findChild<QLineEdit*>("ZIPArchiveExt")->clear();
  page.findChild<QLineEdit*>("GZIPArchiveExt")->clear();
  Click(page, "Apply");
  Click(page, "OK");
  EXPECT_EQ(page.result(), int(QDialog::Accepted));
  EXPECT_TRUE(page.values.zipArchiveExt.IsEmpty());
  EXPECT_TRUE(page.values.gzipArchiveExt.IsEmpty());
}

TEST(ConfigPageTest, ExtraExtensionsAreTrimmedLowerCasedKeptOnceAndCommittedByApply) {
  ModalAnswers answers;
  answers.Then(TypeExtension("  SIG "))
      .Then(TypeExtension(QString::fromUtf8(" Xml")))
      .Then([](QDialog& dialog) {  // blanks only: OK keeps the prompt open
        dialog.findChild<QLineEdit*>("Extension")->setText("   ");
        Click(dialog, "OK");
        EXPECT_EQ(dialog.result(), 0);
        return int(QDialog::Rejected);
      });
  CConfigPage page(nullptr, testsupport::DefaultExtensions({L"sig", L"arc"}));
  Click(page, "AddExtension");
  EXPECT_EQ(page.pendingChanges, 0) << "sig is listed already";
  Click(page, "AddExtension");
  Click(page, "AddExtension");
  EXPECT_EQ(ListEntries(page), (QStringList{"arc", "sig", "xml"}));
  EXPECT_EQ(page.values.extExt.GetSize(), 2) << "only Apply commits the list";
  Click(page, "Apply");
  ASSERT_EQ(page.values.extExt.GetSize(), 3);
  EXPECT_EQ(page.values.extExt[2], CString(L"xml"));
  EXPECT_EQ(page.pendingChanges, 0);
}

TEST(ConfigPageTest, RemovingAsksFirstAndNeedsASelection) {
  ModalAnswers answers;
  answers.Then(QMessageBox::Ok).Then(QMessageBox::No).Then(QMessageBox::Yes);
  CConfigPage page(nullptr, testsupport::DefaultExtensions({L"arc", L"sig"}));
  Click(page, "RemoveExtension");
  auto* list = page.findChild<QListWidget*>("ExtraExtensions");
  list->setCurrentRow(1);
  Click(page, "RemoveExtension");
  EXPECT_EQ(ListEntries(page).size(), 2);
  Click(page, "RemoveExtension");
  EXPECT_EQ(ListEntries(page), QStringList{"arc"});
  const auto shown = answers.MessageTexts();
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[0], QString::fromUtf8("Выберите элемент списка для удаления."));
  EXPECT_EQ(shown[1], QString::fromUtf8("Удалить дополнительное расширение файла 'sig'?"));
}

class ConflictDlgTest : public ::testing::Test {
 protected:
  testsupport::TempRoot root;
  QString Folder(const char* name) { return QString::fromStdString(root.Dir(name).string()); }
};

TEST_F(ConflictDlgTest, OkChecksFolderExistenceSizeAndAbsolutePath) {
  // "logs" exists relative to the current folder, and is refused all the same.
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(root.path());
  root.WriteFile("plain.txt", "x");
  struct Case {
    QString folder;
    QString size;
    bool accepted;
    const char* messageStart;  // null: no message
  };
  const Case cases[] = {
      {Folder("logs"), "1000", true, nullptr},
      {Folder("logs") + "/missing", "1000", false, "Открытие файла "},
      {QString::fromStdString((root.path() / "plain.txt").string()), "1000", false,
       "Открытие файла "},
      {"", "1000", false, "Открытие файла .\r\nОшибка 0x"},
      {Folder("logs"), "399", false, "Размер файлов журнала должен быть не менее 400 КБ."},
      {"logs", "1000", false, "Открытие файла logs.\r\nОшибка 0x3 - "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder.toStdString() + " " + c.size.toStdString());
    ModalAnswers answers;
    if (c.messageStart != nullptr) answers.Then(QMessageBox::Ok);
    CConflictDlg dialog(nullptr, CString(L"/old"), 4000);
    dialog.findChild<QLineEdit*>("JournalFolder")->setText(c.folder);
    dialog.findChild<QLineEdit*>("JournalSize")->setText(c.size);
    Click(dialog, "OK");
    EXPECT_EQ(dialog.result() == QDialog::Accepted, c.accepted);
    if (c.accepted) {
      EXPECT_EQ(ToQString(dialog.folder), c.folder);
      EXPECT_EQ(dialog.size, c.size.toInt());
    }
    if (c.messageStart != nullptr) {
      ASSERT_EQ(answers.Shown().size(), 1u);
      EXPECT_TRUE(answers.Shown()[0].text.startsWith(QString::fromUtf8(c.messageStart)))
          << answers.Shown()[0].text.toStdString();
    }
  }
  std::filesystem::current_path(previous);
}

TEST_F(ConflictDlgTest, AnUnusableFolderNamesItselfAndEndsWithTheReason) {
  ModalAnswers answers;
  answers.Then(QMessageBox::Ok);
  CConflictDlg dialog(nullptr, CString(L"/old"), 4000);
  dialog.findChild<QLineEdit*>("JournalFolder")->setText("/no/such/folder");
  Click(dialog, "OK");
  ASSERT_EQ(answers.Shown().size(), 1u);
  EXPECT_TRUE(answers.Shown()[0].text.endsWith(QString::fromUtf8(".Выбран некорректный путь журнала.")));
}

TEST_F(ConflictDlgTest, SizeIsCheckedWhenEditingEndsSoThatLargeSizesCanBeTyped) {
  ModalAnswers answers;
  answers.Then(QMessageBox::Ok);
  CConflictDlg dialog(nullptr, CString(L"/old"), 4000);
  dialog.show();
  auto* edit = dialog.findChild<QLineEdit*>("JournalSize");
  edit->setFocus();
  edit->selectAll();
  QTest::keyClicks(edit, "1000");
  EXPECT_EQ(edit->text(), "1000");
  emit edit->editingFinished();
  EXPECT_EQ(dialog.size, 1000);

  edit->setText("5");
  emit edit->editingFinished();
  EXPECT_EQ(edit->text(), "400");

  edit->clear();
  emit edit->editingFinished();
  EXPECT_EQ(edit->text(), "400") << "the last size comes back";
  ASSERT_EQ(answers.MessageTexts().size(), 1u);
  EXPECT_EQ(answers.MessageTexts()[0], QString::fromUtf8("Введите целое число."));
}

TEST(AboutDlgTest, VersionLine) {
  EXPECT_EQ(ToQString(CAboutDlg::VersionText()),
            QString::fromUtf8("АК СКЗИ Квелла Сервис - конфигурация Версия 2.0.0457.0"));
  CAboutDlg about(nullptr);
  EXPECT_EQ(about.windowTitle(), QString::fromUtf8("О программе..."));
}

}  // namespace
