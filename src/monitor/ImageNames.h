#pragma once
// Image names as the console shows them. On Linux an image name is the
// executable's name; native 1C programs (rphost, ragent, 1cv8c …) are shown
// with the ".exe" form so that every table, filter and description applies
// unchanged, and programs under Wine already carry it. The console itself is
// "Dozorix.exe" whatever its file is called.

#include "shell/WinTools.h" // windowsImageName: "rphost" → "rphost.exe"

#include <QString>

namespace dozorix {

inline const QString kIdleImageName = QStringLiteral("Бездействие системы");
inline const QString kSelfImageName = QStringLiteral("Dozorix.exe");

enum class LoadKind { Client, Server, Neither };

// The kept names: the six 1C images and the console itself (exact, case-sensitive).
bool isKeptImage(const QString &windowsName);

// The kept name a native image name is shown under, the same as
// isKeptImage(windowsImageName(nativeName)) decides, without making a new
// string for each process of the table; nullptr when it is not kept.
const QString *keptWindowsName(QStringView nativeName);

// "Описание процесса" of a kept image, empty for others.
QString imageDescription(const QString &windowsName);

// Whether a description counts towards the client or the server load.
LoadKind loadKindOfDescription(const QString &description);

} // namespace dozorix
