#pragma once
// The GUI test programs' shared main (gui_test_main.cpp) makes the one
// QApplication every test of the program runs in.

class QApplication;

// Defined by each GUI test program: what its program sets up on the
// application before it makes any window. The shared main calls it once,
// right after the QApplication is made.
void PrepareTestApplication(QApplication& application);
