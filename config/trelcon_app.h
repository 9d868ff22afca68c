#pragma once
// The program's start (the class library's CTrelconApp::InitInstance): one
// instance per user session, then the main dialog as the program's only
// window.

#include <QString>

class EditorDialogs;
class QApplication;

// What the program sets up on its application before it makes any window:
// Qt in Russian (its texts and its default locale) and the program's error
// reporters. The program, its picture tool and its tests start with it.
void PrepareTrelcon(QApplication& application);

// The single-instance lock: a file named after the caption in the user's
// runtime folder ($XDG_RUNTIME_DIR), or without one in the user's own
// config folder (that of the per-user store), held while the program runs.
// A lock left by an instance that died is taken over.
QString SingleInstanceLockPath();

// Refuses a second instance ("%s уже запущена"), otherwise runs the main
// dialog modally (RunModal) after its load, its commands opening editors,
// then releases the lock and the library context. Returns the program's exit
// code, 0 in every case, as the class library's start does.
int RunTrelcon(EditorDialogs& editors);
