#include "common/qt_file_dialog.h"

#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QFontMetrics>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QLocale>
#include <QMimeDatabase>
#include <QTreeView>

namespace {

// The columns of Qt's file list.
enum FileColumn { kNameColumn = 0, kSizeColumn = 1, kTypeColumn = 2, kDateColumn = 3 };

// "байт" after 1, 21, 31 …; "байта" after 2-4, 22-24 …; "байт" after the
// rest (5-20, 25-30 …): the word's singular and genitive plural coincide.
const char* BytesWord(qint64 bytes) {
  const qint64 lastTwo = bytes % 100;
  const qint64 last = bytes % 10;
  if (lastTwo >= 12 && lastTwo <= 14) return "байт";
  return last >= 2 && last <= 4 ? "байта" : "байт";
}

// Qt's file list with the size, type and date columns written in the
// default locale's way; everything else (names, icons, sorting, renaming)
// is Qt's own.
class RussianFileColumns : public QIdentityProxyModel {
 public:
  using QIdentityProxyModel::QIdentityProxyModel;

  QVariant data(const QModelIndex& index, int role) const override {
    const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
    if (files == nullptr || role != Qt::DisplayRole || index.column() == kNameColumn) {
      return QIdentityProxyModel::data(index, role);
    }
    const QModelIndex source = mapToSource(index);
    const QFileInfo info = files->fileInfo(source);
    switch (index.column()) {
      case kSizeColumn:
        return info.isDir() ? QString() : FileSizeText(files->size(source));
      case kTypeColumn:
        return FileTypeText(info);
      case kDateColumn:
        return QLocale().toString(files->lastModified(source), QLocale::ShortFormat);
      default:
        return QIdentityProxyModel::data(index, role);
    }
  }
};

}  // namespace

QString FileSizeText(qint64 bytes) {
  const QLocale locale;
  if (bytes < 1024) return locale.toString(bytes) + u' ' + QString::fromUtf8(BytesWord(bytes));
  static const char* const kUnits[] = {"КБ", "МБ", "ГБ", "ТБ", "ПБ", "ЭБ"};
  double value = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  return locale.toString(value, 'f', 1) + u' ' + QString::fromUtf8(kUnits[unit]);
}

QString FileTypeText(const QFileInfo& info) {
  if (info.isDir()) {
    return QString::fromUtf8(QDir(info.absoluteFilePath()).isRoot() ? "Диск" : "Папка");
  }
  if (info.isFile()) {
    const QMimeType type = QMimeDatabase().mimeTypeForFile(info);
    return type.comment().isEmpty() ? type.name() : type.comment();
  }
  return QString::fromUtf8(info.isSymLink() ? "Ярлык" : "Файл");
}

void PrepareFileDialog(QFileDialog& dialog) {
  dialog.setOption(QFileDialog::DontUseNativeDialog, true);
  dialog.setProxyModel(new RussianFileColumns(&dialog));
  // Qt's first size leaves the names little room once the other columns
  // are whole.
  const QFontMetrics metrics = dialog.fontMetrics();
  dialog.resize(dialog.size().expandedTo(
      QSize(130 * metrics.averageCharWidth(), 30 * metrics.height())));
  // The name takes the room left; the other columns are as wide as their
  // widest value (or caption), whatever the font and the language.
  if (auto* details = dialog.findChild<QTreeView*>(QStringLiteral("treeView"))) {
    QHeaderView* header = details->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(kNameColumn, QHeaderView::Stretch);
    for (int column : {kSizeColumn, kTypeColumn, kDateColumn}) {
      header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    }
  }
}
