#include "ScheduledStart.h"

#include "IniFile.h"
#include "ProgramDir.h"
#include "SafeFile.h"

namespace dozorix {

int scheduledBackupProfile(const QString &parameter)
{
    for (int n = 1; n <= 14; ++n) {
        if (parameter == QStringLiteral("bak") + QString::number(n))
            return n;
    }
    return 0;
}

QString profileAlias(int n)
{
    const IniFile ini(settingsFilePath());
    return ini.readString(QStringLiteral("Base%1").arg(n), QStringLiteral("Psevdo%1").arg(n), QString());
}

bool writeStartParameter(const QString &parameter)
{
    const QString path = programFile(QStringLiteral("temp.txt"));
    QString reason;
    if (!writeRegularFile(path, parameter.toLocal8Bit(), &reason)) {
        reportFileOnce(path, QStringLiteral("Не удалось записать параметр запуска: ") + reason);
        return false;
    }
    forgetFileReport(path);
    return true;
}

} // namespace dozorix
