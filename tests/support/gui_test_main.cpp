// The GUI test programs' main: one QApplication for all tests, made after
// GoogleTest has read its flags so that listing the tests needs no display,
// and set up as the program under test sets up its own.
#include "tests/support/gui_test_main.h"

#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  QApplication application(argc, argv);
  PrepareTestApplication(application);
  return RUN_ALL_TESTS();
}
