#include "common/WindowsPath.h"

#include <QDir>
#include <QFileInfo>

namespace dozorix {

bool isForeignWindowsPath(const QString &path)
{
    if (path.size() >= 2 && path.at(1) == QLatin1Char(':') && path.at(0).isLetter())
        return true;
    return path.startsWith(QLatin1String("\\\\"));
}

QString toLocalPath(const QString &path, const QString &base)
{
    if (path.isEmpty())
        return QString();
    if (path.compare(QLatin1String("nul"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("/dev/null");
    if (isForeignWindowsPath(path))
        return QString();
    auto absolute = [&](const QString &p) {
        if (p.startsWith(QLatin1Char('/')) || base.isEmpty())
            return QDir::cleanPath(p);
        return QDir::cleanPath(base + QLatin1Char('/') + p);
    };
    const QString asIs = absolute(path);
    if (!path.contains(QLatin1Char('\\')) || QFileInfo::exists(asIs))
        return asIs;
    QString slashed = path;
    slashed.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return absolute(slashed);
}

} // namespace dozorix
