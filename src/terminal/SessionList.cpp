#include "terminal/SessionList.h"

#include "common/IniFile.h"
#include "common/ProgramDir.h"
#include "common/SystemHelpers.h"
#include "shell/CommandRunner.h"

namespace dozorix {

namespace {

const QString kSection = QStringLiteral("IPTerminal");
const QString kKey = QStringLiteral("setting");

} // namespace

SessionCounts countSessionStates(const QString &text)
{
    SessionCounts counts;
    for (const QStringView piece : QStringView(text).split(QLatin1Char(' '))) {
        if (piece == u"Активно" || piece == u"Active")
            ++counts.active;
        else if (piece == u"Диск" || piece == u"Disc")
            ++counts.disconnected;
    }
    return counts;
}

CommandLine sessionQueryCommand(const QString &address)
{
    return CommandLine(QStringLiteral("query user /server %1"), {address});
}

QString querySessionList(const QString &address)
{
    return OemToAnsiText(RunAndCapture(sessionQueryCommand(address), QStringLiteral("C:\\"))).trimmed();
}

int sessionListLineCount(const QString &text)
{
    if (text.isEmpty())
        return 0;
    return static_cast<int>(text.count(QLatin1Char('\n'))) + 1;
}

QString CheckIpTerminal(const QString &fieldText)
{
    if (!settingsFileExists())
        return fieldText;
    IniFile ini(settingsFilePath());
    const QString stored = ini.readString(kSection, kKey, QString());
    const QString address = stored.isEmpty() ? GetLocalIp() : stored;
    if (ini.readString(kSection, kKey, QString()) != address || !ini.hasKey(kSection, kKey)) {
        ini.writeString(kSection, kKey, address);
        saveSettingsFile(ini);
    }
    return address;
}

bool storeTerminalAddress(const QString &address)
{
    IniFile ini(settingsFilePath(), IniFile::WriteMode::CreateIfMissing);
    ini.writeString(kSection, kKey, address);
    return saveSettingsFile(ini);
}

} // namespace dozorix
