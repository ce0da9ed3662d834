#pragma once
// Where the program's dialogs appear.

class QWidget;

namespace dozorix {

// Moves the window so that its frame is centred on the available area of
// the desktop it belongs to (its parent's screen, else the primary one).
// Before the first showing the frame is not known yet and the window itself
// is centred.
void centerOnDesktop(QWidget *window);

} // namespace dozorix
