#include "common/SettingsExposure.h"

#include "common/IniFile.h"
#include "common/ProgramDir.h"

#include <QFile>
#include <QRegularExpression>

#include <sys/stat.h>

namespace dozorix {
namespace {

// The infobase profiles' sections, Base1 … Base14 (InfobaseProfile.h).
constexpr int kProfileSections = 14;

// The path as one word of a shell command: quoted when it holds anything but
// the characters a path usually has.
QString shellWord(const QString &path)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./+,:@%=-]+$"));
    if (plain.match(path).hasMatch())
        return path;
    QString quoted = path;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

} // namespace

std::vector<std::pair<QString, QString>> settingsPasswordKeys()
{
    std::vector<std::pair<QString, QString>> keys{
        {QStringLiteral("settings"), QStringLiteral("E-mail_Password")},
        {QStringLiteral("settings"), QStringLiteral("PassMS")},
        {QStringLiteral("BACKUP"), QStringLiteral("PassFTP")},
        {QStringLiteral("BACKUP"), QStringLiteral("ZipArhivShifr")},
    };
    for (int n = 1; n <= kProfileSections; ++n) {
        const QString section = QStringLiteral("Base%1").arg(n);
        keys.emplace_back(section, QStringLiteral("PassK"));
        keys.emplace_back(section, QStringLiteral("PassF"));
    }
    return keys;
}

QString settingsExposureWarning(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    const mode_t mode = st.st_mode & 07777;
    if ((mode & (S_IRGRP | S_IROTH)) == 0)
        return {};
    const IniFile ini(path);
    bool holdsPassword = false;
    for (const auto &[section, key] : settingsPasswordKeys()) {
        if (!ini.readString(section, key, QString()).isEmpty()) {
            holdsPassword = true;
            break;
        }
    }
    if (!holdsPassword)
        return {};
    return QStringLiteral("Файл настроек %1 хранит пароли и доступен для чтения не только владельцу (права %2): "
                          "выполните chmod 600 %3")
        .arg(path, QStringLiteral("%1").arg(uint(mode), 4, 8, QLatin1Char('0')), shellWord(path));
}

QString settingsExposureWarning()
{
    return settingsExposureWarning(settingsFilePath());
}

} // namespace dozorix
