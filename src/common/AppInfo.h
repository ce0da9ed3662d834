#pragma once
#include <QString>

namespace dozorix {

inline const QString kAppTitle = QStringLiteral("Dozorix");
inline const QString kVersionText = QStringLiteral("v: 1.5");
// "Dozorix v: 1.5": the title of the program's windows.
inline QString windowTitleText() { return kAppTitle + QLatin1Char(' ') + kVersionText; }

} // namespace dozorix
