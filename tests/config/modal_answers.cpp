#include "tests/config/modal_answers.h"

#include <gtest/gtest.h>

#include <QMessageBox>

namespace testsupport {

ModalAnswers::ModalAnswers() {
  previous_ = SetModalRunner([this](QDialog& dialog) { return Answer(dialog); });
}

ModalAnswers::~ModalAnswers() {
  SetModalRunner(std::move(previous_));
  EXPECT_TRUE(answers_.empty()) << answers_.size() << " answers were not asked for";
}

ModalAnswers& ModalAnswers::Then(int result) {
  answers_.push_back([result](QDialog&) { return result; });
  return *this;
}

ModalAnswers& ModalAnswers::Then(std::function<int(QDialog&)> answer) {
  answers_.push_back(std::move(answer));
  return *this;
}

std::vector<QString> ModalAnswers::MessageTexts() const {
  std::vector<QString> texts;
  for (const ShownDialog& dialog : shown_) {
    if (dialog.objectName == kMessageBoxObjectName) texts.push_back(dialog.text);
  }
  return texts;
}

int ModalAnswers::Answer(QDialog& dialog) {
  ShownDialog shown;
  shown.objectName = dialog.objectName();
  shown.title = dialog.windowTitle();
  if (auto* box = qobject_cast<QMessageBox*>(&dialog)) {
    shown.text = box->text();
    shown.icon = box->icon();
  } else if (auto* warning = qobject_cast<WarningBox*>(&dialog)) {
    shown.text = warning->ShownText();
  }
  shown_.push_back(shown);
  if (answers_.empty()) {
    ADD_FAILURE() << "unanswered dialog " << shown.objectName.toStdString() << ": "
                  << shown.text.toStdString();
    return qobject_cast<QMessageBox*>(&dialog) != nullptr ? 0 : int(QDialog::Rejected);
  }
  auto answer = std::move(answers_.front());
  answers_.pop_front();
  return answer(dialog);
}

}  // namespace testsupport
