// The syntax of the command interpreter on its own: a line split into its
// commands, the redirections taken out of a command, the parameters of
// "cmd.exe" and where a command's raw arguments start. Text only; the
// interpreter's tests run the same lines.

#include "shell/CmdSyntax.h"
#include "shell/CommandLine.h"

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::cmdsyntax;
using namespace Qt::StringLiterals;

namespace {

// "1>f", "1>>f", "2>&1", "0<f": one redirection as a short text.
QString describe(const Redirection &r)
{
    if (r.duplicateOf >= 0)
        return u"%1>&%2"_s.arg(r.fd).arg(r.duplicateOf);
    if (r.fd == 0)
        return u"0<"_s + r.target;
    return QString::number(r.fd) + (r.append ? u">>"_s : u">"_s) + r.target;
}

QStringList describe(const std::vector<Redirection> &redirections)
{
    QStringList all;
    for (const Redirection &r : redirections)
        all.append(describe(r));
    return all;
}

} // namespace

TEST(CmdSyntax, RedirectionsLeaveTheCommandWithItsWords)
{
    struct Case {
        CommandLine command;
        QString words;
        QStringList redirections;
    };
    const Case cases[] = {
        {CommandLine(u"echo first> temp.txt"_s), u"echo first"_s, {u"1>temp.txt"_s}},
        {CommandLine(u"echo second>>temp.txt"_s), u"echo second"_s, {u"1>>temp.txt"_s}},
        // the blanks on both sides of the redirection stay (echo prints them)
        {CommandLine(u"echo one > temp2.txt "_s), u"echo one  "_s, {u"1>temp2.txt"_s}},
        {CommandLine(u"echo third >> \"temp.txt\""_s), u"echo third "_s, {u"1>>temp.txt"_s}},
        {CommandLine(u"echo x > \"a b.txt\""_s), u"echo x "_s, {u"1>a b.txt"_s}},
        {CommandLine(u"TASKKILL /IM x* > both.txt 2>&1"_s), u"TASKKILL /IM x*  "_s, {u"1>both.txt"_s, u"2>&1"_s}},
        {CommandLine(u"/bin/ls /no 2> err.txt"_s), u"/bin/ls /no "_s, {u"2>err.txt"_s}},
        {CommandLine(u"/bin/ls /no 2>>err.txt 1>&2"_s), u"/bin/ls /no  "_s, {u"2>>err.txt"_s, u"1>&2"_s}},
        {CommandLine(u"sort < in.txt"_s), u"sort "_s, {u"0<in.txt"_s}},
        // a handle digit only right after a blank
        {CommandLine(u"echo 12> x"_s), u"echo 12"_s, {u"1>x"_s}},
        // two redirections one after the other keep the words apart
        {CommandLine(u"echo a>b>c"_s), u"echo a "_s, {u"1>b"_s, u"1>c"_s}},
        {CommandLine(u"> only.txt"_s), u""_s, {u"1>only.txt"_s}},
        // quotes of our own text hide the operators
        {CommandLine(u"echo \"a > b\""_s), u"echo \"a > b\""_s, {}},
        // a user value never redirects
        {CommandLine(u"echo %1"_s, {u"a > b < c 2>&1"_s}), u"echo a > b < c 2>&1"_s, {}},
        {CommandLine(u"echo x > %1"_s, {u"f g.txt"_s}), u"echo x "_s, {u"1>f g.txt"_s}},
    };
    for (const Case &c : cases) {
        MarkedText words;
        std::vector<Redirection> redirections;
        ASSERT_TRUE(parseRedirections(c.command.marked(), &words, &redirections)) << qPrintable(c.command.toString());
        EXPECT_EQ(words.text, c.words) << qPrintable(c.command.toString());
        EXPECT_EQ(describe(redirections), c.redirections) << qPrintable(c.command.toString());
    }
}

TEST(CmdSyntax, ARedirectionWithoutAFileIsASyntaxError)
{
    for (const QString &command : {u"echo a >"_s, u"echo a > "_s, u"echo a 2>>"_s, u"sort <"_s, u"echo a > \"\""_s}) {
        MarkedText words;
        std::vector<Redirection> redirections;
        EXPECT_FALSE(parseRedirections(CommandLine(command).marked(), &words, &redirections)) << qPrintable(command);
    }
}

TEST(CmdSyntax, ALineSplitsIntoCommandsAndHowTheyJoin)
{
    using Join = Segment::Join;
    std::vector<Segment> segments;
    QString error;
    ASSERT_TRUE(parseLine(CommandLine(u"@echo a& echo b > f.txt && x || y"_s).marked(), &segments, &error));
    ASSERT_EQ(segments.size(), 4u);
    EXPECT_EQ(segments[0].text.text, u"echo a"_s);
    EXPECT_EQ(segments[0].join, Join::First);
    EXPECT_EQ(segments[1].text.text, u"echo b  "_s); // the blanks around "> f.txt" stay
    EXPECT_EQ(segments[1].join, Join::Always);
    EXPECT_EQ(describe(segments[1].redirections), QStringList{u"1>f.txt"_s});
    EXPECT_EQ(segments[2].text.text, u"x "_s);
    EXPECT_EQ(segments[2].join, Join::OnSuccess);
    EXPECT_EQ(segments[3].text.text, u"y"_s);
    EXPECT_EQ(segments[3].join, Join::OnFailure);
    for (const Segment &s : segments)
        EXPECT_FALSE(s.compound);

    // "if" and "for" take the rest of the line, operators and redirections included.
    segments.clear();
    ASSERT_TRUE(parseLine(CommandLine(u"echo a && if 1==1 echo b > f.txt & echo c"_s).marked(), &segments, &error));
    ASSERT_EQ(segments.size(), 2u);
    EXPECT_EQ(segments[1].text.text, u"if 1==1 echo b > f.txt & echo c"_s);
    EXPECT_TRUE(segments[1].compound);
    EXPECT_TRUE(segments[1].redirections.empty());

    // ^ makes an operator plain; a user value never joins.
    segments.clear();
    ASSERT_TRUE(parseLine(CommandLine(u"echo a^&b %1"_s, {u"&& c"_s}).marked(), &segments, &error));
    ASSERT_EQ(segments.size(), 1u);
    EXPECT_EQ(segments[0].text.text, u"echo a&b && c"_s);

    segments.clear();
    EXPECT_TRUE(parseLine(CommandLine(u"  "_s).marked(), &segments, &error));
    EXPECT_TRUE(segments.empty());
}

TEST(CmdSyntax, LinesThatCannotRunSayWhy)
{
    struct Case {
        QString line;
        QString error;
    };
    const Case cases[] = {
        {u"echo a && && echo b"_s, u"Синтаксическая ошибка в команде."_s},
        {u"echo a &&"_s, u"Синтаксическая ошибка в команде."_s},
        {u"& echo a"_s, u"Синтаксическая ошибка в команде."_s},
        {u"echo a >"_s, u"Синтаксическая ошибка в команде."_s},
        {u"echo a & @"_s, u"Синтаксическая ошибка в команде."_s},
        {u"echo a | more"_s, u"Конвейер (|) не поддерживается."_s},
    };
    for (const Case &c : cases) {
        std::vector<Segment> segments;
        QString error;
        EXPECT_FALSE(parseLine(CommandLine(c.line).marked(), &segments, &error)) << qPrintable(c.line);
        EXPECT_EQ(error, c.error) << qPrintable(c.line);
    }
}

TEST(CmdSyntax, TheParametersOfCmdExeGiveItsCommand)
{
    struct Case {
        QString parameters;
        bool runs;
        QString command;
    };
    const Case cases[] = {
        {u"/C  echo two blanks"_s, true, u"  echo two blanks"_s},
        {u"/c echo lower"_s, true, u" echo lower"_s},
        {u"/Q /C echo quiet"_s, true, u" echo quiet"_s},
        {u"/K echo kept"_s, true, u" echo kept"_s},
        // first and last quote go, unless exactly two enclose blanks and nothing special
        {u"/C \"/usr/bin/printf [%s] \"a b\"\""_s, true, u" /usr/bin/printf [%s] \"a b\""_s},
        {u"/C \"/bin/echo\" x"_s, true, u" /bin/echo x"_s},
        {u"/C \"a b\""_s, true, u" \"a b\""_s},
        {u"/C \"a&b\""_s, true, u" a&b"_s},
        {u"echo no switch"_s, false, QString()},
        {u"/Q"_s, false, QString()},
    };
    for (const Case &c : cases) {
        MarkedText command;
        EXPECT_EQ(commandOfParameters(CommandLine(c.parameters).marked(), &command), c.runs) << qPrintable(c.parameters);
        if (c.runs) {
            EXPECT_EQ(command.text, c.command) << qPrintable(c.parameters);
        }
    }
}

TEST(CmdSyntax, RawArgumentsStartAfterTheNameAndOneBlank)
{
    struct Case {
        QString command;
        QString raw;
    };
    const Case cases[] = {
        {u"echo  a  b "_s, u" a  b "_s},
        {u"\"C:\\Program Files\\x.exe\" /y"_s, u"/y"_s},
        {u"echo"_s, QString()},
    };
    for (const Case &c : cases) {
        const MarkedText text = CommandLine(c.command).marked();
        EXPECT_EQ(text.mid(argumentsStart(text)).text, c.raw) << qPrintable(c.command);
    }
}
