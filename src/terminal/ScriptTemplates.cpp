#include "ScriptTemplates.h"

#include "CommandRunner.h"
#include "HandOffFile.h"
#include "LogSink.h"
#include "ProgramDir.h"
#include "SafeFile.h"
#include "Stamps.h"
#include "TextCodec.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace dozorix {

namespace {

using P = PlaceholderValue;
using R = RefreshRule;

const BulkCommand kCommands[] = {
    {BulkCommandId::BlockLogons, "blockLogons", QStringLiteral("Заблокировать вход на TS"),
     QStringLiteral("Заблокировать вход на сервер"), QStringLiteral("Заблокировать вход на сервер TS"),
     QStringLiteral("TSDisable.cmd"), QStringLiteral("[Dz_s_reg]"), P::UncServer, QStringLiteral("TSDisable.cmd"),
     QStringLiteral("TSDisable.cmd"), true, false,
     QStringLiteral("Команда \"Заблокировать вход на сервер терминалов\", была отправлена!"), R::Never},
    {BulkCommandId::UnblockLogons, "unblockLogons", QStringLiteral("Разблокировать вход на TS"),
     QStringLiteral("Разблокировать вход на сервер"), QStringLiteral("Разблокировать вход на сервер TS"),
     QStringLiteral("TSEnable.cmd"), QStringLiteral("[Dz_s_reg]"), P::UncServer, QStringLiteral("TSEnable.cmd"),
     QStringLiteral("TSEnable.cmd"), true, false,
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
    default: return QString::fromLocal8Bit(std::strerror(error));
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

QString utf16Text(const QByteArray &bytes, bool bigEndian)
{
    QString text;
    text.reserve(bytes.size() / 2);
    for (qsizetype i = 0; i + 1 < bytes.size(); i += 2) {
        const auto hi = static_cast<unsigned char>(bytes.at(bigEndian ? i : i + 1));
        const auto lo = static_cast<unsigned char>(bytes.at(bigEndian ? i + 1 : i));
        text.append(QChar(static_cast<char16_t>((hi << 8) | lo)));
    }
    return text;
}

QByteArray utf16Bytes(const QString &text, bool bigEndian)
{
    QByteArray bytes;
    bytes.reserve(text.size() * 2);
    for (const QChar c : text) {
        const char hi = static_cast<char>(c.unicode() >> 8);
        const char lo = static_cast<char>(c.unicode() & 0xFF);
        bytes.append(bigEndian ? hi : lo);
        bytes.append(bigEndian ? lo : hi);
    }
    return bytes;
}

bool hasNonAscii(const QByteArray &bytes)
{
    for (const char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return true;
    }
    return false;
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
    QString text;
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        t.encoding = TextEncoding::Utf8WithMark;
        text = QString::fromUtf8(bytes.mid(3));
    } else if (bytes.startsWith("\xFF\xFE")) {
        t.encoding = TextEncoding::Utf16LE;
        text = utf16Text(bytes.mid(2), false);
    } else if (bytes.startsWith("\xFE\xFF")) {
        t.encoding = TextEncoding::Utf16BE;
        text = utf16Text(bytes.mid(2), true);
    } else if (hasNonAscii(bytes) && isValidUtf8(bytes)) {
        t.encoding = TextEncoding::Utf8;
        text = QString::fromUtf8(bytes);
    } else {
        t.encoding = TextEncoding::Cp1251;
        text = fromCp1251(bytes);
    }
    t.lines = splitLines(text);
    return t;
}

QByteArray encodeScript(const QStringList &lines, TextEncoding encoding)
{
    QString text;
    for (const QString &line : lines)
        text += line + QStringLiteral("\r\n");
    switch (encoding) {
    case TextEncoding::Cp1251: return toCp1251(text);
    case TextEncoding::Utf8: return text.toUtf8();
    case TextEncoding::Utf8WithMark: return QByteArray("\xEF\xBB\xBF") + text.toUtf8();
    case TextEncoding::Utf16LE: return QByteArray("\xFF\xFE") + utf16Bytes(text, false);
    case TextEncoding::Utf16BE: return QByteArray("\xFE\xFF") + utf16Bytes(text, true);
    }
    return toCp1251(text);
}

ScriptRunner defaultScriptRunner()
{
    return [](const QString &path, const QString &directory, bool hide, bool wait) {
        return RunProgram(path, QString(), directory, hide, false, wait);
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
    const bool started = runner && runner(script, scriptDir + QLatin1Char('/'), command.hidden, command.waits);
    outcome.kind = started ? BulkCommandOutcome::Started : BulkCommandOutcome::StartFailed;
    return outcome;
}

BulkCommandOutcome runBulkCommandLogged(BulkCommandId id, const QString &address, const BulkCommandEnvironment &env)
{
    const BulkCommand &command = bulkCommand(id);
    const BulkCommandOutcome outcome = runBulkCommand(id, address, env.runner);
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
    case BulkCommandOutcome::Started: log(command.successLine, kLogGreen); break;
    }
    const bool refresh = command.refresh == RefreshRule::Always
                         || (command.refresh == RefreshRule::OnSuccess && outcome.kind == BulkCommandOutcome::Started);
    if (refresh && env.refreshList)
        env.refreshList();
    return outcome;
}

} // namespace dozorix
