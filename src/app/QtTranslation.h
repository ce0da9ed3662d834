#pragma once
// The interface is Russian whatever the system's language: Qt's own texts
// (the Yes/No/OK buttons of message boxes, the standard dialogs, the context
// menus of text fields) come from Qt's Russian translation, installed by
// Debian's qt6-translations-l10n.

#include <QString>

namespace dozorix {

// Installs Qt's Russian translation into the running application, once.
// False, with the file looked for in *missing, when it is not there; the
// program then runs with Qt's English texts.
bool installQtTranslation(QString *missing = nullptr);

} // namespace dozorix
