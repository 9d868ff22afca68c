#include "common/qt_message_box.h"

#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>

int CaptionRoom(const QMessageBox& box) {
  QFont bold = box.font();
  bold.setBold(true);
  const QFontMetrics metrics(bold);
  // An icon and three buttons of about a line's height each, with the
  // margins window managers keep around them and around the title (which
  // they may draw in a larger font than the program's).
  return metrics.horizontalAdvance(box.windowTitle()) * 11 / 10 + 10 * metrics.height();
}

void KeepCaptionWhole(QMessageBox& box) {
  auto* grid = qobject_cast<QGridLayout*>(box.layout());
  if (grid == nullptr) return;
  const QMargins margins = grid->contentsMargins();
  const int width = CaptionRoom(box) - margins.left() - margins.right();
  // A row of its own below the others, as wide as the caption asks and no
  // higher than nothing: Qt sizes the box for at least its layout's width.
  grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                grid->rowCount(), 0, 1, grid->columnCount());
}
