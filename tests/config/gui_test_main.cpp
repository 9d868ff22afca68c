// The test program's main: one QApplication for all tests, made after
// GoogleTest has read its flags so that listing the tests needs no display,
// and the program's reporters installed.
#include <gtest/gtest.h>

#include <QApplication>
#include <memory>

#include "config/trelcon_app.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  QApplication application(argc, argv);
  // As the program does at start: Qt's texts in Russian, every error box
  // through the seam.
  PrepareTrelcon(application);
  return RUN_ALL_TESTS();
}
