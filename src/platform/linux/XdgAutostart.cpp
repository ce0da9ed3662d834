// The autostart entry: the Run key of Windows is an XDG autostart desktop
// entry here.

#include "common/SystemHelpers.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace dozorix {
namespace {

QString autostartFile()
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || !QDir::isAbsolutePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/autostart/Dozorix.desktop");
}

QString programPath()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationFilePath();
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

} // namespace

QString desktopEntryExec(const QString &program)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool needsQuotes = false;
    for (const QChar c : program)
        needsQuotes = needsQuotes || reserved.contains(c);
    QString arg;
    if (needsQuotes) {
        arg = QStringLiteral("\"");
        for (const QChar c : program) {
            if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
                arg.append(QLatin1Char('\\'));
            arg.append(c);
        }
        arg.append(QLatin1Char('"'));
    } else {
        arg = program;
    }
    arg.replace(QLatin1Char('%'), QStringLiteral("%%")); // field codes
    // The key file's string escapes come on top of the quoting.
    QString value;
    for (const QChar c : arg) {
        if (c == QLatin1Char('\\'))
            value.append(QStringLiteral("\\\\"));
        else if (c == QLatin1Char('\n'))
            value.append(QStringLiteral("\\n"));
        else if (c == QLatin1Char('\t'))
            value.append(QStringLiteral("\\t"));
        else if (c == QLatin1Char('\r'))
            value.append(QStringLiteral("\\r"));
        else
            value.append(c);
    }
    return value;
}

void SetAutorun(bool enable)
{
    const QString path = autostartFile();
    if (!enable) {
        if (QFileInfo::exists(path))
            QFile::remove(path);
        return;
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Dozorix\n"
                                         "Exec=%1\n"
                                         "Terminal=false\n"
                                         "X-GNOME-Autostart-enabled=true\n")
                              .arg(desktopEntryExec(programPath()));
    file.write(entry.toUtf8());
    file.commit();
}

} // namespace dozorix
