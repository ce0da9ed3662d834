#include "backup/BackupScenario.h"

#include "common/IniFile.h"
#include "common/TextCodec.h"

namespace dozorix {

const QString kNoDelayText = QStringLiteral("Без задержки");
const QString kEnd1CClientsCommand = QStringLiteral("/C chcp 1251 && TASKKILL /F /IM 1cv8* /T > temp.txt");
const QString kNothingToEndLine =
    QStringLiteral("Команда не выполнена!, возможно процесс(ы) 1С Предприятия уже завершен(ы)");
const QString kBackupLetterSuccessLine =
    QStringLiteral("Уведомление об ошибке выполнения бэкапа, отправлено на E-mail!");

namespace {

const struct {
    const char *text;
    int ms;
} kDelays[] = {{"3 мин", 180000},  {"5 мин", 300000},  {"10 мин", 600000},   {"15 мин", 900000},
               {"20 мин", 1200000}, {"30 мин", 1800000}, {"Без задержки", 500}};

QStringList linesOf(const QByteArray &bytes)
{
    QString text = decodeHandOffText(bytes);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text.split(QLatin1Char('\n'));
}

QString joinPath(const QString &folder, const QString &name)
{
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

} // namespace

double readBackupHours(const IniFile &ini, const QString &key, double fallback)
{
    QString text = ini.readString(QStringLiteral("BACKUP"), key, QString()).trimmed();
    text.replace(QLatin1Char(','), QLatin1Char('.'));
    bool ok = false;
    const double hours = text.toDouble(&ok);
    return ok && hours >= 0 ? hours : fallback;
}

QString hoursText(double hours)
{
    return QString::number(hours, 'g', 3).replace(QLatin1Char('.'), QLatin1Char(','));
}

QStringList backupDelayItems()
{
    QStringList items;
    for (const auto &d : kDelays)
        items.append(QString::fromUtf8(d.text));
    return items;
}

int backupDelayMs(const QString &delayText, int current)
{
    for (const auto &d : kDelays) {
        if (delayText == QString::fromUtf8(d.text))
            return d.ms;
    }
    return current;
}

QString fileBackupFolder(const QString &folder, const QString &stamp, const QString &alias)
{
    return joinPath(folder, stamp + QStringLiteral("_База_") + alias);
}

QString dumpFilePath(const QString &folder, const QString &alias, const QString &stamp)
{
    return joinPath(folder, alias + QLatin1Char('_') + stamp + QStringLiteral("_.dt"));
}

ZipContainer zipContainerFor(const QString &backup, const QString &folderText)
{
    ZipContainer z;
    QString folder = folderText;
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    const QString prefix = folder == QLatin1String("/") ? folder : folder + QLatin1Char('/');
    if (folder.isEmpty() || !backup.startsWith(prefix))
        return z;
    const QString own = backup.mid(prefix.size());
    // One name of its own, long enough to leave a container name that is
    // not the name itself.
    if (own.size() < 3 || own.contains(QLatin1Char('/')) || own == QLatin1String("..") || own == QLatin1String("."))
        return z;
    z.name = QLatin1Char('/') + own;
    const QString base = folder == QLatin1String("/") ? QString() : folder;
    z.container = base + z.name.left(z.name.size() - 2);
    z.movedBackup = z.container + z.name;
    z.archive = base + z.name + QStringLiteral(".zip");
    z.valid = true;
    return z;
}

QStringList end1CClientsLines(const QByteArray &output)
{
    QStringList lines;
    for (const QString &line : linesOf(output)) {
        if (!line.trimmed().isEmpty())
            lines.append(line);
    }
    return lines;
}

QString lastNonEmptyLine(const QByteArray &bytes)
{
    const QStringList lines = linesOf(bytes);
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        if (!it->trimmed().isEmpty())
            return *it;
    }
    return QString();
}

BackupLetter copyFailureLetter(const QString &alias, const QString &computer, const QString &time,
                               const QString &reason, const QString &file)
{
    return {QStringLiteral("Ошибка выполнения бэкапа ИБ: ") + alias,
            QStringLiteral("Ошибка выполнения бэкапа, файловой информационной базы: <b>") + alias
                + QStringLiteral("</b><p><b>Сервер (ПК): </b>") + computer + QStringLiteral(".</p><p><b>Время: </b>")
                + time + QStringLiteral("<p><b>Причина:  </b>") + reason + QStringLiteral(" <p><b>  Файл: </b>") + file
                + QStringLiteral("</b><p>Это сообщение отправлено автоматически программой Dozorix Pro.</p>")};
}

BackupLetter dumpFailureLetter(const QString &alias, const QString &computer, const QString &time,
                               const QString &lastResultLine)
{
    return {QStringLiteral("Ошибка выполнения бэкапа ИБ: ") + alias,
            QStringLiteral("Ошибка выполнения бэкапа, клиент-серверной информационной базы: <b>") + alias
                + QStringLiteral("</b><p><b>Сервер (ПК): </b>") + computer + QStringLiteral(".</p><p><b>Время: </b>")
                + time + QStringLiteral("<p><b>Причина:  </b>") + lastResultLine
                + QStringLiteral(" <p><p>Это сообщение отправлено автоматически программой Dozorix Pro.</p>")};
}

} // namespace dozorix

namespace dozorix {

BackupLetter zipFailureLetter(const QString &alias, const QString &computer, const QString &time,
                              const QString &reason, const QString &backup)
{
    return {QStringLiteral("Ошибка упаковки бэкапа ИБ: ") + alias,
            QStringLiteral("Ошибка упаковки бэкапа информационной базы: <b>") + alias
                + QStringLiteral("</b><p><b>Сервер (ПК): </b>") + computer + QStringLiteral(".</p><p><b>Время: </b>")
                + time + QStringLiteral("<p><b>Причина:  </b>") + reason
                + QStringLiteral(" <p><b>  Бэкап сохранён без упаковки: </b>") + backup
                + QStringLiteral("<p>Это сообщение отправлено автоматически программой Dozorix Pro.</p>")};
}

} // namespace dozorix
