#include "ScheduledStart.h"

#include "IniFile.h"
#include "ProgramDir.h"

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
    return writeFileSafely(programFile(QStringLiteral("temp.txt")), parameter.toLocal8Bit());
}

} // namespace dozorix
