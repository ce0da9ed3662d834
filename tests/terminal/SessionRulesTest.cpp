// The rules of the tab "Сервер терминалов" that do not need a window: the
// session-ID grammar, the counting of the state words, the programs and
// lines of the session actions and of the messages to sessions.

#include "common/SystemHelpers.h"
#include "support/TestSupport.h"
#include "terminal/SessionActions.h"
#include "terminal/SessionIds.h"
#include "terminal/SessionList.h"
#include "terminal/UserMessages.h"

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

const char *formName(SessionIdForm f)
{
    switch (f) {
    case SessionIdForm::Empty: return "empty";
    case SessionIdForm::List: return "list";
    case SessionIdForm::Range: return "range";
    case SessionIdForm::All: return "all";
    case SessionIdForm::Single: return "single";
    }
    return "?";
}

// One session action as it was run: the program path and its parameters.
struct Recorded {
    QStringList runs;   // path + "|" + parameters + "|" + directory
    QStringList lines;  // "red: …" / "green: …"
    int refreshes = 0;
    QList<bool> needRefresh;

    SessionActionEnvironment env()
    {
        SessionActionEnvironment e;
        e.run = [this](const QString &path, const CommandLine &parameters, const QString &directory) {
            runs << path + u'|' + parameters.toString() + u'|' + directory;
            ProgramRun r;
            r.started = true;
            return r;
        };
        e.log = [this](const QString &text, unsigned int rgb) {
            lines << (rgb == 0xFF0000 ? u"red: "_s : u"green: "_s) + text;
        };
        e.refreshList = [this] { ++refreshes; };
        e.setNeedRefresh = [this](bool on) { needRefresh << on; };
        return e;
    }
};

} // namespace

TEST(SessionIdGrammar, ActionsAndMessagesReadTheFieldByTheFirstRuleThatApplies)
{
    const struct {
        const char *text;
        SessionIdForm actionForm;
        QStringList actionIds;
        SessionIdForm messageForm;
        QStringList messageIds;
    } cases[] = {
        {"5", SessionIdForm::Single, {u"5"_s}, SessionIdForm::Single, {u"5"_s}},
        {"4-6", SessionIdForm::Range, {u"4"_s, u"5"_s, u"6"_s}, SessionIdForm::Range, {u"4"_s, u"5"_s, u"6"_s}},
        {"6-4", SessionIdForm::Range, {}, SessionIdForm::Range, {}},
        {"1,2,7,50", SessionIdForm::List, {u"1"_s, u"2"_s, u"7"_s, u"50"_s}, SessionIdForm::List,
         {u"1"_s, u"2"_s, u"7"_s, u"50"_s}},
        // Pieces are taken as typed: the blank after the comma stays.
        {"1, 2", SessionIdForm::List, {u"1"_s, u" 2"_s}, SessionIdForm::List, {u"1"_s, u" 2"_s}},
        // Empty pieces too; a comma wins over a dash.
        {"3,,4-5", SessionIdForm::List, {u"3"_s, u""_s, u"4-5"_s}, SessionIdForm::List, {u"3"_s, u""_s, u"4-5"_s}},
        // A range whose bounds are not whole numbers is one ID.
        {"a-b", SessionIdForm::Single, {u"a-b"_s}, SessionIdForm::Single, {u"a-b"_s}},
        {"4-5-6", SessionIdForm::Single, {u"4-5-6"_s}, SessionIdForm::Single, {u"4-5-6"_s}},
        {"", SessionIdForm::Empty, {}, SessionIdForm::Empty, {}},
        // "*" is all sessions for a message, a plain ID for an action.
        {"*", SessionIdForm::Single, {u"*"_s}, SessionIdForm::All, {u"*"_s}},
        // The console session 0 gets no message from a list.
        {"0,3", SessionIdForm::List, {u"0"_s, u"3"_s}, SessionIdForm::List, {u"3"_s}},
        {"3-5", SessionIdForm::Range, {u"3"_s, u"4"_s, u"5"_s}, SessionIdForm::Range, {u"3"_s, u"4"_s, u"5"_s}},
        // Only dashes: an action takes it whole, a message has nobody to go to.
        {"-", SessionIdForm::Single, {u"-"_s}, SessionIdForm::Empty, {}},
        {"--", SessionIdForm::Single, {u"--"_s}, SessionIdForm::Empty, {}},
    };
    for (const auto &c : cases) {
        const QString text = QString::fromUtf8(c.text);
        const SessionTargets a = parseSessionIds(text);
        EXPECT_STREQ(formName(a.form), formName(c.actionForm)) << c.text;
        EXPECT_EQ(a.ids, c.actionIds) << c.text;
        const SessionTargets m = parseMessageTargets(text);
        EXPECT_STREQ(formName(m.form), formName(c.messageForm)) << c.text;
        EXPECT_EQ(m.ids, c.messageIds) << c.text;
    }
}

TEST(SessionIdGrammar, ARangeTooLargeToRunIsRefusedWhole)
{
    // One program per number: a slip such as "1-99999999" would start a
    // hundred million programs.
    const SessionTargets huge = parseSessionIds(u"1-99999999"_s);
    EXPECT_EQ(huge.form, SessionIdForm::Range);
    EXPECT_TRUE(huge.tooLarge);
    EXPECT_TRUE(huge.ids.isEmpty());
    const SessionTargets limit = parseSessionIds(u"1-"_s + QString::number(kMaxSessionRange));
    EXPECT_FALSE(limit.tooLarge);
    EXPECT_EQ(limit.ids.size(), kMaxSessionRange);
    // Bounds beyond an int are not whole numbers: one ID.
    EXPECT_EQ(parseSessionIds(u"1-99999999999"_s).form, SessionIdForm::Single);
}

TEST(SessionCounters, TheStateWordsArePiecesBetweenSingleBlanks)
{
    const struct {
        const char *text;
        int active;
        int disconnected;
    } cases[] = {
        {" USERNAME  SESSIONNAME  ID  STATE\r\n ivanov  rdp-tcp#1  2  Active  .\r\n petrov    3  Disc  1:05\r\n"
         " sidorov    4  Disc  .",
         1, 2},
        {" ПОЛЬЗОВАТЕЛЬ  СЕАНС  ID  СТАТУС\n ivanov  pts/3  3  Активно  .\n Active  10.0.0.15  7  Диск  2:05", 2, 1},
        // Part of a longer word, or glued to a line break, is no piece of its own.
        {"evil_host_Активно  Disc,  Active.", 0, 0},
        {"ivanov 3 Active\npetrov 4 Disc", 0, 1},
        {"Диск Диск\tДиск", 0, 1},
        {"", 0, 0},
    };
    for (const auto &c : cases) {
        const SessionCounts n = countSessionStates(QString::fromUtf8(c.text));
        EXPECT_EQ(n.active, c.active) << c.text;
        EXPECT_EQ(n.disconnected, c.disconnected) << c.text;
        EXPECT_EQ(n.total(), c.active + c.disconnected) << c.text;
    }
}

TEST(SessionActions, EachActionRunsItsProgramPerIdThenConfirmsOnceAndRefreshes)
{
    const QString dir = GetSystemDir() + u'\\';
    const auto path = [&](const char *program) { return GetSystemDir() + u'\\' + QString::fromLatin1(program); };
    const struct {
        const char *ids;
        const char *action;
        QStringList runs;
        QStringList lines;
        int refreshes;
        QList<bool> needRefresh;
    } cases[] = {
        {"4-6", "Сброс сессии",
         {path("rwinsta.exe") + u"|4 /server 10.0.0.1|"_s + dir, path("rwinsta.exe") + u"|5 /server 10.0.0.1|"_s + dir,
          path("rwinsta.exe") + u"|6 /server 10.0.0.1|"_s + dir},
         {u"green: Команда \"Сбросить сессии\" была отправлена!"_s}, 2, {false, true}},
        {"6-4", "Сброс сессии", {}, {}, 0, {false}},
        {"1,2,7,50", "Отключить сессию",
         {path("tsdiscon.exe") + u"|1 /server 10.0.0.1|"_s + dir, path("tsdiscon.exe") + u"|2 /server 10.0.0.1|"_s + dir,
          path("tsdiscon.exe") + u"|7 /server 10.0.0.1|"_s + dir,
          path("tsdiscon.exe") + u"|50 /server 10.0.0.1|"_s + dir},
         {u"green: Команда \"Отключить сессии\" была отправлена!"_s}, 2, {false, true}},
        {"1, 2", "Отключить сессию",
         {path("tsdiscon.exe") + u"|1 /server 10.0.0.1|"_s + dir,
          path("tsdiscon.exe") + u"| 2 /server 10.0.0.1|"_s + dir},
         {u"green: Команда \"Отключить сессии\" была отправлена!"_s}, 2, {false, true}},
        {"a-b", "Завершить сессию", {path("logoff.exe") + u"|a-b /server 10.0.0.1|"_s + dir},
         {u"green: Команда \"Завершить сессии\" была отправлена!"_s}, 1, {false, true}},
        {"  7  ", "Завершить сессию", {path("logoff.exe") + u"|7 /server 10.0.0.1|"_s + dir},
         {u"green: Команда \"Завершить сессии\" была отправлена!"_s}, 1, {false, true}},
        {"5", "Подключиться к сеансу (Управление)",
         {path("mstsc.exe") + u"| /v 10.0.0.1 5 /shadow /control /NoConsentPrompt|"_s + dir}, {}, 0, {false}},
        // The shadow actions take the whole text as one session.
        {"4-6", "Подключиться к сеансу (Просмотр)",
         {path("mstsc.exe") + u"| /v 10.0.0.1 4-6 /shadow /NoConsentPrompt|"_s + dir}, {}, 0, {false}},
        {",-", "Подключиться к сеансу (Просмотр)", {}, {}, 0, {false}},
        {"", "Сброс сессии", {},
         {u"red: Укажите (номер) ID сессии (Пример: 5) или диапазон (Пример: 4-17) или через запятую (Пример: 1,2,7,50)!"_s},
         0, {false}},
        {"5", "Выберите действие...", {}, {u"red: Выберите действие, которое нужно применить на сервере терминалов!"_s},
         0, {false}},
        // A typed text that is no action does nothing.
        {"5", "Сбросить всё", {}, {}, 0, {false}},
        {"5", "", {}, {}, 0, {false}},
        {"1-99999999", "Сброс сессии", {},
         {u"red: Диапазон ID сессий \"1-99999999\" слишком велик: не больше 65536 сессий за раз."_s}, 0, {false}},
    };
    for (const auto &c : cases) {
        Recorded r;
        runSessionAction(QString::fromUtf8(c.ids), u" 10.0.0.1 "_s, QString::fromUtf8(c.action), r.env());
        EXPECT_EQ(r.runs, c.runs) << c.ids << " " << c.action;
        EXPECT_EQ(r.lines, c.lines) << c.ids << " " << c.action;
        EXPECT_EQ(r.refreshes, c.refreshes) << c.ids << " " << c.action;
        EXPECT_EQ(r.needRefresh, c.needRefresh) << c.ids << " " << c.action;
    }
}

TEST(SessionActions, AFailedRunIsLoggedInRedAndTakesTheGreenLineAway)
{
    const struct {
        const char *name;
        ProgramRun second; // what the second of three runs gives
        QStringList lines;
    } cases[] = {
        {"cannot start", {false, 2, 0, {}, {}}, {u"red: Не удалось запустить logoff.exe (код ошибки 2)."_s}},
        {"the tool's errors",
         {true, 0, 1, u"ignored\r\n"_s, u"Не удалось завершить сеанс 2, код ошибки 7022\r\nОшибка [7022]:Не удается найти указанный сеанс.\r\n"_s},
         {u"red: Не удалось завершить сеанс 2, код ошибки 7022"_s, u"red: Ошибка [7022]:Не удается найти указанный сеанс."_s}},
        {"only output", {true, 0, 3, u"something\r\n"_s, {}}, {u"red: something"_s}},
        {"nothing said", {true, 0, 4, {}, {}}, {u"red: logoff.exe 2 завершилась с кодом 4."_s}},
        // Errors written by a tool that ended with 0 are no failure of the action.
        {"ended well", {true, 0, 0, {}, u"note\r\n"_s}, {u"green: Команда \"Завершить сессии\" была отправлена!"_s}},
    };
    for (const auto &c : cases) {
        Recorded r;
        SessionActionEnvironment env = r.env();
        int attempts = 0;
        env.run = [&](const QString &, const CommandLine &, const QString &) {
            ProgramRun ok;
            ok.started = true;
            return ++attempts == 2 ? c.second : ok;
        };
        runSessionAction(u"1,2,3"_s, u"srv"_s, u"Завершить сессию"_s, env);
        EXPECT_EQ(attempts, 3) << c.name;
        EXPECT_EQ(r.lines, c.lines) << c.name;
        EXPECT_EQ(r.refreshes, 2) << c.name;
    }
}

TEST(UserMessages, TargetsLinesAndParametersFollowTheIdField)
{
    const QString msg = GetSystemDir() + u"\\msg.exe"_s;
    const struct {
        const char *ids;
        const char *text;
        QStringList parameters;
        QStringList lines;
    } cases[] = {
        {"*", "Сервер будет перезагружен", {u"* /server:10.0.0.1 \"Сервер будет перезагружен\""_s},
         {u"Сообщение отправлено: \"Сервер будет перезагружен\" - всем пользователям"_s}},
        {"0,3", "Обед", {u"3 /server:10.0.0.1 \"Обед\""_s}, {u"Сообщение отправлено: \"Обед\" для ID: 3"_s}},
        {"3-5", "x",
         {u"3 /server:10.0.0.1 \"x\""_s, u"4 /server:10.0.0.1 \"x\""_s, u"5 /server:10.0.0.1 \"x\""_s},
         {u"Сообщение отправлено: \"x\" для ID: 3"_s, u"Сообщение отправлено: \"x\" для ID: 4"_s,
          u"Сообщение отправлено: \"x\" для ID: 5"_s}},
        {"7", "x", {u"7 /server:10.0.0.1 \"x\""_s}, {u"Сообщение отправлено: \"x\" "_s}},
        {"5-3", "x", {}, {}},
        {"", "x", {}, {}},
        {"-", "x", {}, {}},
        // An empty text starts nothing, yet says it was sent.
        {"*", "", {}, {u"Сообщение отправлено: \"\" - всем пользователям"_s}},
    };
    for (const auto &c : cases) {
        QStringList parameters;
        QStringList lines;
        TerminalMessageEnvironment env;
        env.start = [&](const QString &path, const CommandLine &p, const QString &directory) {
            EXPECT_EQ(path, msg);
            EXPECT_EQ(directory, GetSystemDir() + u'\\');
            parameters << p.toString();
        };
        env.sent = [&](const QString &line) { lines << line; };
        sendTerminalMessages(QString::fromUtf8(c.ids), u" 10.0.0.1 "_s, QString::fromUtf8(c.text), env);
        EXPECT_EQ(parameters, c.parameters) << c.ids << " " << c.text;
        EXPECT_EQ(lines, c.lines) << c.ids << " " << c.text;
    }
}

TEST(UserMessages, ALineBreakBecomesTwoBlanksAndTheNoticeCommandIsExact)
{
    EXPECT_EQ(flattenMessageText(u"Сервер\r\nбудет\nперезагружен\r"_s), u"Сервер  будет перезагружен "_s);
    EXPECT_EQ(userNoticeParameters(u"SRV1"_s, u"Начало архивации"_s).toString(),
              u"/C  chcp 1251 && msg * /server:SRV1 \"Начало архивации\" "_s);
}
