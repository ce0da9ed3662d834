#include "terminal/UserMessages.h"

#include "common/LogSink.h"
#include "common/Stamps.h"
#include "common/SystemHelpers.h"
#include "shell/CommandRunner.h"
#include "terminal/SessionIds.h"

namespace dozorix {

QString flattenMessageText(const QString &text)
{
    QString flat = text;
    for (QChar &c : flat) {
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n'))
            c = QLatin1Char(' ');
    }
    return flat;
}

QString flattenBoxText(const QString &boxText)
{
    QString text = boxText;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return flattenMessageText(text);
}

CommandLine msgParameters(const QString &target, const QString &address, const QString &text)
{
    return CommandLine(QStringLiteral("%1 /server:%2 \"%3\""), {target, address, text});
}

QString messageSentLine(const QString &text)
{
    return QStringLiteral("Сообщение отправлено: \"") + text + QStringLiteral("\" ");
}

TerminalMessageEnvironment defaultTerminalMessageEnvironment()
{
    TerminalMessageEnvironment env;
    env.start = [](const QString &path, const CommandLine &parameters, const QString &directory) {
        RunProgram(path, parameters, directory, true, false, false);
    };
    return env;
}

void sendTerminalMessages(const QString &idsText, const QString &addressText, const QString &text,
                          const TerminalMessageEnvironment &env)
{
    const QString ids = idsText.trimmed();
    const QString address = addressText.trimmed();
    const SessionTargets targets = parseMessageTargets(ids);
    if (targets.tooLarge) {
        if (env.refused)
            env.refused(QStringLiteral("Диапазон ID сессий \"%1\" слишком велик: не больше %2 сессий за раз.")
                            .arg(ids)
                            .arg(kMaxSessionRange));
        return;
    }
    const bool send = !text.isEmpty(); // the text box has at least one line
    const QString systemDir = GetSystemDir();
    const QString path = systemDir + QLatin1Char('\\') + QStringLiteral("msg.exe");
    const QString directory = systemDir + QLatin1Char('\\');
    const QString quoted = QStringLiteral("Сообщение отправлено: \"") + text + QLatin1Char('"');
    for (const QString &target : targets.ids) {
        if (send && env.start)
            env.start(path, msgParameters(target, address, text), directory);
        if (!env.sent)
            continue;
        switch (targets.form) {
        case SessionIdForm::List:
        case SessionIdForm::Range: env.sent(quoted + QStringLiteral(" для ID: ") + target); break;
        case SessionIdForm::All: env.sent(quoted + QStringLiteral(" - всем пользователям")); break;
        case SessionIdForm::Single: env.sent(messageSentLine(text)); break;
        case SessionIdForm::Empty: break;
        }
    }
}

CommandLine userNoticeParameters(const QString &computer, const QString &text)
{
    return CommandLine(QStringLiteral("/C  chcp 1251 && msg * /server:%1 \"%2\" "), {computer, text});
}

void SendUserNotice(const QString &text)
{
    // Windows kept its own copy of msg.exe beside the program for 64-bit
    // systems; here msg is built into the command interpreter.
    if (text.isEmpty()) {
        logLine(LogStamp() + QStringLiteral("Сообщение пользователям не отправлено! "), kLogRed);
        return;
    }
    LaunchShellHidden(userNoticeParameters(GetComputerNameText(), text));
    logLine(LogStamp() + QStringLiteral("Сообщение пользователям отправлено: \"") + text + QStringLiteral("\" "),
            kLogGreen);
}

} // namespace dozorix
