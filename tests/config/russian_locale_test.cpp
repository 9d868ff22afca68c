// Qt speaks Russian in the program whatever the machine's locale: numbers
// and dates, and the file dialog's columns (sizes, types, dates), whole.
// CTest runs these cases once more under an English LANG and LC_ALL.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QDate>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLocale>
#include <QRegularExpression>
#include <QTest>
#include <QTreeView>
#include <string>

#include "common/qt_file_dialog.h"
#include "tests/config/widget_lookup.h"
#include "tests/support/temp_root.h"

namespace {

using testsupport::Q;

TEST(RussianLocaleTest, TheDefaultLocaleIsRussianWhateverTheSystemSays) {
  const QLocale locale;
  EXPECT_EQ(locale.language(), QLocale::Russian) << QLocale::system().name().toStdString();
  EXPECT_EQ(locale.toString(1.5, 'f', 1).toStdString(), "1,5");
  EXPECT_EQ(locale.toString(QDate(2026, 12, 11), QLocale::ShortFormat).toStdString(), "11.12.2026");
}

TEST(RussianFileDialogTest, SizesAreWrittenTheRussianWay) {
  const std::pair<qint64, const char*> cases[] = {
      {0, "0 байт"},        {1, "1 байт"},        {2, "2 байта"},         {4, "4 байта"},
      {5, "5 байт"},        {12, "12 байт"},      {21, "21 байт"},        {22, "22 байта"},
      {114, "114 байт"},    {1024, "1,0 КБ"},     {1536, "1,5 КБ"},       {5 << 20, "5,0 МБ"},
      {qint64(3) << 30, "3,0 ГБ"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(FileSizeText(bytes).toStdString(), text) << bytes;
}

// The columns of the program's file dialog, on a folder with a subfolder
// and two files: Russian sizes, types and dates, each column as wide as its
// widest value.
TEST(RussianFileDialogTest, TheListsColumnsAreRussianAndWhole) {
  testsupport::TempRoot root;
  root.WriteFile("files/letter.txt", std::string(27, 'a'));
  root.WriteFile("files/two.bin", "ab");
  root.Dir("files/archive");
  QFileDialog dialog;
  PrepareFileDialog(dialog);
  dialog.setViewMode(QFileDialog::Detail);
  dialog.setDirectory(QString::fromStdString((root.path() / "files").string()));
  dialog.show();
  auto* details = dialog.findChild<QTreeView*>(QStringLiteral("treeView"));
  ASSERT_NE(details, nullptr);
  QAbstractItemModel* shown = details->model();
  ASSERT_TRUE(QTest::qWaitFor([&] { return shown->rowCount(details->rootIndex()) == 3; }, 10000));
  QApplication::processEvents();
  const QRegularExpression russianDate(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d$"));
  const auto cell = [&](int row, int column) {
    return shown->index(row, column, details->rootIndex()).data().toString();
  };
  int checked = 0;
  for (int row = 0; row < 3; ++row) {
    const QString name = cell(row, 0);
    SCOPED_TRACE(name.toStdString());
    EXPECT_TRUE(russianDate.match(cell(row, 3)).hasMatch()) << cell(row, 3).toStdString();
    if (name == Q("archive")) {
      EXPECT_EQ(cell(row, 1).toStdString(), "");
      EXPECT_EQ(cell(row, 2).toStdString(), "Папка");
      ++checked;
    } else if (name == Q("letter.txt")) {
      EXPECT_EQ(cell(row, 1).toStdString(), "27 байт");
      ++checked;
    } else if (name == Q("two.bin")) {
      EXPECT_EQ(cell(row, 1).toStdString(), "2 байта");
      ++checked;
    }
  }
  EXPECT_EQ(checked, 3);
  const QAbstractItemView* view = details;
  for (int column = 1; column <= 3; ++column) {
    EXPECT_GE(details->header()->sectionSize(column), view->sizeHintForColumn(column)) << column;
    EXPECT_GE(details->header()->sectionSize(column), details->header()->sectionSizeHint(column))
        << column;
  }
}

}  // namespace
