#include "terminal/ScriptTemplates.h"

#include "common/LogSink.h"
#include "common/ProgramDir.h"
#include "common/SafeFile.h"
#include "common/Stamps.h"
#include "common/SystemErrors.h"
#include "common/TextCodec.h"
#include "shell/CommandRunner.h"
#include "shell/Elevation.h"
#include "shell/HandOffFile.h"
#include "shell/PamNologin.h"
#include "shell/WinTools.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dozorix {

namespace {

using P = PlaceholderValue;
using R = RefreshRule;

const BulkCommand kCommands[] = {
    {BulkCommandId::BlockLogons, "blockLogons", QStringLiteral("Заблокировать вход на TS"),
     QStringLiteral("Заблокировать вход на сервер"), QStringLiteral("Заблокировать вход на сервер TS"),
     QStringLiteral("TSDisable.cmd"), QStringLiteral("[Dz_s_reg]"), P::UncServer, QStringLiteral("TSDisable.cmd"),
     QStringLiteral("TSDisable.cmd"), true, true,
     QStringLiteral("Команда \"Заблокировать вход на сервер терминалов\", была отправлена!"), R::Never},
    {BulkCommandId::UnblockLogons, "unblockLogons", QStringLiteral("Разблокировать вход на TS"),
     QStringLiteral("Разблокировать вход на сервер"), QStringLiteral("Разблокировать вход на сервер TS"),
     QStringLiteral("TSEnable.cmd"), QStringLiteral("[Dz_s_reg]"), P::UncServer, QStringLiteral("TSEnable.cmd"),
     QStringLiteral("TSEnable.cmd"), true, true,
     QStringLiteral("Команда \"Разрешить вход на сервер терминалов\", была отправлена!"), R::Never},
    {BulkCommandId::DisconnectSessions, "disconnectSessions", QStringLiteral("Отключить сессии"),
     QStringLiteral("Отключить сессии"), QStringLiteral("Отключить сессии"), QStringLiteral("tsdisconAll.cmd"),
     QStringLiteral("[Dz_s]"), P::ServerSwitch, QStringLiteral("tsdisconAll.cmd"), QStringLiteral("tsdisconAll.cmd"),
     true, true, QStringLiteral("Команда \"Отключить все сессии\" была отправлена!"), R::Always},
    {BulkCommandId::LogoffSessions, "logoffSessions", QStringLiteral("Завершить сессии"),
     QStringLiteral("Завершить сессии"), QStringLiteral("Завершить сессии"), QStringLiteral("logoffAll.cmd"),
     QStringLiteral("[Dz_s]"), P::ServerSwitch, QStringLiteral("logoffAll.cmd"), QStringLiteral("logoffAll.cmd"), true,
     true, QStringLiteral("Команда \"Завершить все сессии\" была отправлена!"), R::Always},
    {BulkCommandId::ResetSessions, "resetSessions", QStringLiteral("Сбросить сессии"),
     QStringLiteral("Сбросить сессии"), QStringLiteral("Сбросить сессии"), QStringLiteral("rwinstaAll.cmd"),
     QStringLiteral("[Dz_s]"), P::ServerSwitch, QStringLiteral("rwinstaAll.cmd"), QStringLiteral("rwinstaAll.cmd"),
     false, true, QStringLiteral("Команда \"Сбросить все сессии\" была отправлена!"), R::Always},
    {BulkCommandId::LogoffDisconnectedSessions, "logoffDisconnectedSessions",
     QStringLiteral("Завершить отключенные сессии"), QStringLiteral("Завершить отключенные сессии"),
     QStringLiteral("Завершить отключенные сессии"), QStringLiteral("disconAlldis_s.ps1"), QStringLiteral("[Dz_s]"),
     P::BareAddress, QStringLiteral("disconAlldis_s.ps1"), QStringLiteral("disconAlldis_s.cmd"), true, true,
     QStringLiteral("Команда \"Завершить все отключенные сессии\" была отправлена!"), R::OnSuccess},
    {BulkCommandId::ResetDisconnectedSessions, "resetDisconnectedSessions",
     QStringLiteral("Сбросить отключенные сессии"), QStringLiteral("Сбросить отключенные сессии"),
     QStringLiteral("Сбросить отключенные сессии"), QStringLiteral("disconAllres_s.ps1"), QStringLiteral("[Dz_s]"),
     P::BareAddress, QStringLiteral("disconAllres_s.ps1"), QStringLiteral("disconAllres_s.cmd"), true, true,
     QStringLiteral("Команда \"Сбросить все отключенные сессии\" была отправлена!"), R::OnSuccess},
};

QString errnoText(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR: return QStringLiteral("Не удается найти указанный файл.");
    case EACCES:
    case EPERM:
    case EROFS: return QStringLiteral("Отказано в доступе.");
    default: return systemErrorText(error);
    }
}

// Templates/<name>; when the exact name is missing, a file of the same name
// in other letters (a folder brought over from Windows).
QString findTemplate(const QString &folder, const QString &name)
{
    const QString exact = folder + QLatin1Char('/') + name;
    if (QFileInfo::exists(exact))
        return exact;
    const QStringList entries = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &entry : entries) {
        if (entry.compare(name, Qt::CaseInsensitive) == 0)
            return folder + QLatin1Char('/') + entry;
    }
    return exact;
}

bool readFile(const QString &path, QByteArray *bytes, QString *reason)
{
    int fd = openRegularFile(path, O_RDONLY, reason);
    if (fd < 0) {
        if (!QFileInfo::exists(path))
            *reason = errnoText(ENOENT);
        return false;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *reason = file.errorString();
        return false;
    }
    *bytes = file.readAll();
    return true;
}

bool fileOrLinkExists(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

} // namespace

const BulkCommand &bulkCommand(BulkCommandId id)
{
    for (const BulkCommand &c : kCommands) {
        if (c.id == id)
            return c;
    }
    return kCommands[0];
}

const QList<BulkCommandId> &bulkCommandIds()
{
    static const QList<BulkCommandId> ids = [] {
        QList<BulkCommandId> all;
        for (const BulkCommand &c : kCommands)
            all.append(c.id);
        return all;
    }();
    return ids;
}

QString placeholderValue(PlaceholderValue kind, const QString &address)
{
    const QString a = address.trimmed();
    switch (kind) {
    case PlaceholderValue::UncServer: return QStringLiteral("\\\\") + a;
    case PlaceholderValue::ServerSwitch: return QStringLiteral("/server ") + a;
    case PlaceholderValue::BareAddress: return a;
    }
    return a;
}

QString fillTemplate(const QString &text, const QString &placeholder, const QString &value)
{
    QString result = text;
    return result.replace(placeholder, value, Qt::CaseInsensitive);
}

bool isSafeScriptAddress(const QString &address)
{
    for (const QChar c : address) {
        if (c.isLetterOrNumber() || c == QLatin1Char('.') || c == QLatin1Char('-') || c == QLatin1Char('_')
            || c == QLatin1Char(':') || c == QLatin1Char('[') || c == QLatin1Char(']'))
            continue;
        return false;
    }
    return true;
}

TemplateText decodeTemplate(const QByteArray &bytes)
{
    TemplateText t;
    t.lines = splitLines(decodeTextFile(bytes, CodePage::Cp1251, &t.encoding));
    return t;
}

QByteArray encodeScript(const QStringList &lines, TextFileEncoding encoding)
{
    QString text;
    for (const QString &line : lines)
        text += line + QStringLiteral("\r\n");
    return encodeTextFile(text, encoding);
}

ScriptRunner defaultScriptRunner()
{
    return [](const QString &path, const QString &directory, bool, bool) {
        return RunProgramWithRootOnDenial(path, CommandLine(), directory, [](const QString &text, unsigned int rgb) {
            logLine(LogStamp() + text, rgb);
        });
    };
}

BulkCommandOutcome runBulkCommand(BulkCommandId id, const QString &address, const ScriptRunner &runner)
{
    const BulkCommand &command = bulkCommand(id);
    BulkCommandOutcome outcome;
    const QString templatePath = findTemplate(programFile(QStringLiteral("Templates")), command.templateName);
    QByteArray bytes;
    if (!readFile(templatePath, &bytes, &outcome.reason)) {
        outcome.kind = BulkCommandOutcome::MissingTemplate;
        outcome.file = templatePath;
        return outcome;
    }
    TemplateText text = decodeTemplate(bytes);
    if (text.lines.isEmpty()) {
        outcome.kind = BulkCommandOutcome::EmptyTemplate;
        return outcome;
    }
    const QString trimmedAddress = address.trimmed();
    if (!isSafeScriptAddress(trimmedAddress)) {
        outcome.kind = BulkCommandOutcome::UnsafeAddress;
        return outcome;
    }
    const QString value = placeholderValue(command.value, trimmedAddress);
    for (QString &line : text.lines)
        line = fillTemplate(line, command.placeholder, value);

    const QString scriptDir = programFile(QStringLiteral("Script"));
    const QString written = scriptDir + QLatin1Char('/') + command.writtenName;
    if (!writeRegularFile(written, encodeScript(text.lines, text.encoding), &outcome.reason)) {
        outcome.kind = BulkCommandOutcome::WriteFailed;
        outcome.file = written;
        return outcome;
    }
    const QString script = scriptDir + QLatin1Char('/') + command.runName;
    const ProgramRun run = runner ? runner(script, scriptDir + QLatin1Char('/'), command.hidden, command.waits)
                                  : ProgramRun{};
    outcome.errors = run.errors;
    if (!run.started)
        outcome.kind = BulkCommandOutcome::StartFailed;
    else if (!run.errors.trimmed().isEmpty())
        outcome.kind = BulkCommandOutcome::Failed;
    else
        outcome.kind = BulkCommandOutcome::Started;
    return outcome;
}

BulkCommandOutcome runBulkCommandLogged(BulkCommandId id, const QString &address, const BulkCommandEnvironment &env)
{
    const BulkCommand &command = bulkCommand(id);
    BulkCommandOutcome outcome = runBulkCommand(id, address, env.runner);
    const auto log = [&env](const QString &text, unsigned int rgb) {
        if (env.log)
            env.log(LogStamp() + text, rgb);
    };
    switch (outcome.kind) {
    case BulkCommandOutcome::MissingTemplate:
        if (env.errorBox)
            env.errorBox(QStringLiteral("Не удается открыть файл \"%1\". %2").arg(outcome.file, outcome.reason));
        return outcome;
    case BulkCommandOutcome::WriteFailed:
        if (env.errorBox)
            env.errorBox(QStringLiteral("Не удается создать файл \"%1\". %2").arg(outcome.file, outcome.reason));
        return outcome;
    case BulkCommandOutcome::EmptyTemplate:
        log(QStringLiteral("Команда не найдена!!!"), kLogRed);
        return outcome;
    case BulkCommandOutcome::UnsafeAddress:
        log(QStringLiteral("Адрес сервера терминалов \"%1\" не подходит для скрипта: допустимы буквы, цифры и "
                           "знаки . - _ : [ ]")
                .arg(address.trimmed()),
            kLogRed);
        break;
    case BulkCommandOutcome::StartFailed: break;
    case BulkCommandOutcome::Failed:
        for (const QString &line : outcome.errors.split(QLatin1Char('\n'))) {
            if (!line.trimmed().isEmpty())
                log(line.trimmed(), kLogRed);
        }
        break;
    case BulkCommandOutcome::Started: {
        const QString nologin = nologinPath();
        if (id == BulkCommandId::BlockLogons && !fileOrLinkExists(nologin)) {
            outcome.kind = BulkCommandOutcome::Failed;
            log(QStringLiteral("Вход на сервер не закрыт: файла %1 нет.").arg(nologin), kLogRed);
            break;
        }
        if (id == BulkCommandId::UnblockLogons && fileOrLinkExists(nologin)) {
            outcome.kind = BulkCommandOutcome::Failed;
            log(QStringLiteral("Вход на сервер не открыт: файл %1 остался.").arg(nologin), kLogRed);
            break;
        }
        log(command.successLine, kLogGreen);
        if (id == BulkCommandId::BlockLogons) {
            for (const NologinLine &line : nologinWarnings(checkNologinServices(pamDirectory(), nologin), nologin))
                log(line.text, line.failure ? kLogRed : kLogBlack);
        }
        break;
    }
    }
    const bool refresh = command.refresh == RefreshRule::Always
                         || (command.refresh == RefreshRule::OnSuccess && outcome.kind == BulkCommandOutcome::Started);
    if (refresh && env.refreshList)
        env.refreshList();
    return outcome;
}

} // namespace dozorix
