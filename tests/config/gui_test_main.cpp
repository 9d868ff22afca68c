// The test program's main: one QApplication for all tests, made after
// GoogleTest has read its flags so that listing the tests needs no display,
// and the program's reporters installed.
#include <gtest/gtest.h>

#include <QApplication>
#include <memory>

#include "config/message_boxes.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  QApplication application(argc, argv);
  // As the program does at start: every error box goes through the seam.
  InstallProgramReporters();
  return RUN_ALL_TESTS();
}
