#include "terminal/SessionActions.h"

#include "common/LogSink.h"
#include "common/Stamps.h"
#include "common/SystemHelpers.h"
#include "shell/BuiltinTools.h"
#include "shell/CmdInterpreter.h"
#include "shell/CommandRunner.h"
#include "shell/Elevation.h"
#include "terminal/SessionIds.h"

namespace dozorix {

const QString kChooseActionText = QStringLiteral("Выберите действие...");
const QString kSessionIdHint = QStringLiteral(
    "Укажите (номер) ID сессии (Пример: 5) или диапазон (Пример: 4-17) или через запятую (Пример: 1,2,7,50)!");

namespace {

const SessionAction kActions[] = {
    {QStringLiteral("Отключить сессию"), QStringLiteral("tsdiscon.exe"), true, false,
     QStringLiteral("Команда \"Отключить сессии\" была отправлена!")},
    {QStringLiteral("Завершить сессию"), QStringLiteral("logoff.exe"), true, false,
     QStringLiteral("Команда \"Завершить сессии\" была отправлена!")},
    {QStringLiteral("Сброс сессии"), QStringLiteral("rwinsta.exe"), true, false,
     QStringLiteral("Команда \"Сбросить сессии\" была отправлена!")},
    {QStringLiteral("Подключиться к сеансу (Просмотр)"), QStringLiteral("mstsc.exe"), false, false, QString()},
    {QStringLiteral("Подключиться к сеансу (Управление)"), QStringLiteral("mstsc.exe"), false, true, QString()},
};

} // namespace

QStringList sessionActionItems()
{
    QStringList items;
    for (const SessionAction &a : kActions)
        items.append(a.text);
    items.append(QString());
    return items;
}

const SessionAction *findSessionAction(const QString &text)
{
    for (const SessionAction &a : kActions) {
        if (a.text == text)
            return &a;
    }
    return nullptr;
}

CommandLine sessionActionParameters(const SessionAction &action, const QString &ids, const QString &server)
{
    if (action.manySessions)
        return CommandLine(QStringLiteral("%1 /server %2"), {ids, server});
    return CommandLine(action.control ? QStringLiteral(" /v %1 %2 /shadow /control /NoConsentPrompt")
                                      : QStringLiteral(" /v %1 %2 /shadow /NoConsentPrompt"),
                       {server, ids});
}

SessionActionEnvironment defaultSessionActionEnvironment()
{
    SessionActionEnvironment env;
    env.run = [](const QString &path, const CommandLine &parameters, const QString &directory) {
        return RunProgramWithRootOnDenial(path, parameters, directory, [](const QString &text, unsigned int rgb) {
            logLine(LogStamp() + text, rgb);
        });
    };
    env.log = [](const QString &text, unsigned int rgb) { logLine(LogStamp() + text, rgb); };
    return env;
}

void runSessionAction(const QString &idsText, const QString &serverText, const QString &actionText,
                      const SessionActionEnvironment &env)
{
    const auto log = [&env](const QString &text, unsigned int rgb) {
        if (env.log)
            env.log(text, rgb);
    };
    const auto refresh = [&env] {
        if (env.refreshList)
            env.refreshList();
    };
    if (env.setNeedRefresh)
        env.setNeedRefresh(false);
    const QString ids = idsText.trimmed();
    const QString server = serverText.trimmed();
    if (ids.isEmpty()) {
        log(kSessionIdHint, kLogRed);
        return;
    }
    if (actionText == kChooseActionText) {
        log(QStringLiteral("Выберите действие, которое нужно применить на сервере терминалов!"), kLogRed);
        return;
    }
    const SessionAction *action = findSessionAction(actionText);
    if (!action)
        return; // a typed text that names no action does nothing

    const QString systemDir = GetSystemDir();
    const QString path = systemDir + QLatin1Char('\\') + action->program;
    const QString directory = systemDir + QLatin1Char('\\');
    bool failed = false;
    const auto run = [&](const QString &id) {
        // A program that fails is reported; the others run.
        if (!env.run)
            return;
        const ProgramRun r = env.run(path, sessionActionParameters(*action, id, server), directory);
        if (!r.started) {
            failed = true;
            log(QStringLiteral("Не удалось запустить %1 (код ошибки %2).").arg(action->program).arg(r.errorCode),
                kLogRed);
            return;
        }
        if (r.exitCode == 0)
            return;
        failed = true;
        QStringList lines;
        for (const QString &line : QString(r.errors.trimmed().isEmpty() ? r.output : r.errors).split(QLatin1Char('\n'))) {
            const QString text = line.trimmed();
            if (!text.isEmpty())
                lines << text;
        }
        if (lines.isEmpty())
            lines << QStringLiteral("%1 %2 завершилась с кодом %3.").arg(action->program, id.trimmed()).arg(r.exitCode);
        for (const QString &line : lines)
            log(line, kLogRed);
    };

    if (!action->manySessions) {
        for (const QChar c : ids) {
            if (c != QLatin1Char(',') && c != QLatin1Char('-')) {
                run(ids);
                return;
            }
        }
        return;
    }

    const SessionTargets targets = parseSessionIds(ids);
    if (targets.form == SessionIdForm::Range && targets.ids.isEmpty()) {
        if (targets.tooLarge)
            log(QStringLiteral("Диапазон ID сессий \"%1\" слишком велик: не больше %2 сессий за раз.")
                    .arg(ids)
                    .arg(kMaxSessionRange),
                kLogRed);
        return; // the second number is smaller: nothing runs, nothing is logged
    }
    for (const QString &id : targets.ids)
        run(id);
    if (targets.form != SessionIdForm::Single)
        refresh();
    if (env.setNeedRefresh)
        env.setNeedRefresh(true);
    if (!failed)
        log(action->confirmation, kLogGreen);
    refresh();
}

} // namespace dozorix
