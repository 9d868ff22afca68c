#include "config/dialog_widgets.h"

#include <algorithm>

#include <QComboBox>
#include <QDialog>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QValidator>

namespace {

bool IsLineBreak(QChar c) {
  return c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f' || c == QChar(0x85) ||
         c == QChar::LineSeparator || c == QChar::ParagraphSeparator;
}

// Rewrites the text in place rather than refusing it, so that a pasted
// paragraph arrives as one line instead of not at all.
class OneLineValidator : public QValidator {
 public:
  explicit OneLineValidator(QObject* parent) : QValidator(parent) {}

  State validate(QString& input, int& position) const override {
    if (std::none_of(input.cbegin(), input.cend(), IsLineBreak)) return Acceptable;
    QString line;
    int newPosition = 0;
    bool pendingBlank = false;
    for (int i = 0; i < input.size(); ++i) {
      if (i == position) newPosition = line.size() + (pendingBlank && !line.isEmpty() ? 1 : 0);
      if (IsLineBreak(input[i])) {
        pendingBlank = true;
        continue;
      }
      if (pendingBlank && !line.isEmpty()) line += u' ';
      pendingBlank = false;
      line += input[i];
    }
    if (position >= input.size()) newPosition = line.size();
    input = line;
    position = qMin(newPosition, static_cast<int>(line.size()));
    return Acceptable;
  }
};

}  // namespace

QPushButton* MakeButton(QWidget* parent, const char* objectName, const QString& text) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(QString::fromLatin1(objectName));
  button->setAutoDefault(false);
  return button;
}

QHBoxLayout* ButtonRow(std::initializer_list<QPushButton*> buttons) {
  auto* row = new QHBoxLayout;
  row->addStretch(1);
  for (QPushButton* button : buttons) row->addWidget(button);
  return row;
}

// A validator sees only text given after it; the text a field was made with
// is given again, from empty (a text set unchanged is not looked at), so
// that it goes through it too.
QLineEdit* KeepOnOneLine(QLineEdit* edit) {
  edit->setValidator(new OneLineValidator(edit));
  const QString made = edit->text();
  edit->clear();
  edit->setText(made);
  return edit;
}

QComboBox* KeepOnOneLine(QComboBox* box) {
  box->setValidator(new OneLineValidator(box));
  if (box->isEditable()) {
    const QString made = box->currentText();
    box->clearEditText();
    box->setEditText(made);
  }
  return box;
}

QSize DialogUnits(const QWidget* widget, int width, int height) {
  const QFontMetrics metrics = widget->fontMetrics();
  return {width * metrics.averageCharWidth() / 4, height * metrics.height() / 8};
}

void SizeFromTemplate(QDialog* dialog, int width, int height) {
  dialog->resize(DialogUnits(dialog, width, height).expandedTo(dialog->sizeHint()));
}

void ShowWholeText(QLineEdit* edit, int mostCharacters) {
  const QFontMetrics metrics = edit->fontMetrics();
  QStyleOptionFrame option;
  option.initFrom(edit);
  const QMargins margins = edit->textMargins();
  const int textWidth = std::min(metrics.horizontalAdvance(edit->text()),
                                 mostCharacters * metrics.averageCharWidth());
  // QLineEdit keeps 2 pixels on each side of its text, and the cursor after
  // the last character needs room too; the style adds the frame.
  const QSize whole = edit->style()->sizeFromContents(
      QStyle::CT_LineEdit, &option,
      QSize(textWidth + margins.left() + margins.right() + 6, metrics.height()), edit);
  edit->setMinimumWidth(std::max(edit->minimumWidth(), whole.width()));
}

void SetTabOrder(std::initializer_list<QWidget*> widgets) {
  QWidget* previous = nullptr;
  for (QWidget* widget : widgets) {
    if (previous != nullptr) QWidget::setTabOrder(previous, widget);
    previous = widget;
  }
}
