#pragma once
// Qt's message box with its caption whole.

class QMessageBox;

// Widens box, whose texts and buttons are set, so that the window manager
// need not elide its caption ("АК СКЗИ Квел…конфигурация" above a short
// text): Qt sizes a box for its text and allows only a little more for the
// title, while window managers draw titles in bold between an icon and
// three buttons. Call it last, right before the box is shown: setting the
// icon or a text afterwards rebuilds the box's layout.
void KeepCaptionWhole(QMessageBox& box);

// The width box's frame needs for its caption to be drawn whole: the
// caption in bold, and room for the title bar's icon and buttons.
int CaptionRoom(const QMessageBox& box);
