#include "common/ProgramDir.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QStandardPaths>

#include <unistd.h>

namespace dozorix {
namespace {

QMutex g_mutex;
QString g_dir;

QString executableDir()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath().section(QLatin1Char('/'), 0, -2);
}

QString resolve()
{
    const QByteArray env = qgetenv("DOZORIX_HOME");
    if (!env.isEmpty()) {
        QDir().mkpath(QString::fromLocal8Bit(env));
        return QDir::cleanPath(QDir(QString::fromLocal8Bit(env)).absolutePath());
    }
    const QString exe = executableDir();
    if (!exe.isEmpty() && ::access(QFile::encodeName(exe).constData(), W_OK) == 0)
        return exe;
    const QString fallback = QDir::homePath() + QStringLiteral("/.local/share/dozorix");
    QDir().mkpath(fallback);
    return fallback;
}

} // namespace

QString programDir()
{
    QMutexLocker lock(&g_mutex);
    if (g_dir.isEmpty())
        g_dir = resolve();
    return g_dir;
}

void resetProgramDir()
{
    QMutexLocker lock(&g_mutex);
    g_dir.clear();
}

QString programFile(const QString &name)
{
    const QString dir = programDir();
    const QString exact = dir + QLatin1Char('/') + name;
    if (QFileInfo::exists(exact))
        return exact;
    const QStringList entries = QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &entry : entries) {
        if (entry.compare(name, Qt::CaseInsensitive) == 0)
            return dir + QLatin1Char('/') + entry;
    }
    return exact;
}

QString settingsFilePath()
{
    return programFile(QStringLiteral("Example.ini"));
}

bool settingsFileExists()
{
    return QFileInfo::exists(settingsFilePath());
}

} // namespace dozorix
