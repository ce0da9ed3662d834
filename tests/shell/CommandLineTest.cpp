// Command texts with user values kept apart, and the Windows argument rules.

#include "shell/CommandLine.h"

#include <gtest/gtest.h>

using namespace dozorix;
using namespace Qt::StringLiterals;

TEST(CommandLine, JoinsValuesIntoTheExactContractText)
{
    const CommandLine kill(u"/C chcp 1251 && TASKKILL /F /FI \"USERNAME eq %1\" /IM 1cv8* /T > temp.txt"_s,
                           {u"ivanov"_s});
    EXPECT_EQ(kill.toString(), u"/C chcp 1251 && TASKKILL /F /FI \"USERNAME eq ivanov\" /IM 1cv8* /T > temp.txt"_s);

    // Remote form: an empty domain leaves a lone backslash before the login.
    const CommandLine remote(
        u"/C chcp 1251 && taskkill /s %1 /u %2\\%3 /p %4 /fi \"IMAGENAME eq 1cv8* \" /im * /f > temp.txt"_s,
        {u"10.0.0.5"_s, QString(), u"admin"_s, u"p%1ss"_s});
    EXPECT_EQ(remote.toString(),
              u"/C chcp 1251 && taskkill /s 10.0.0.5 /u \\admin /p p%1ss /fi \"IMAGENAME eq 1cv8* \" /im * /f > temp.txt"_s);
}

TEST(CommandLine, MarksOnlyValueCharactersAsPlain)
{
    const MarkedText m = CommandLine(u"a \"%1\" b"_s, {u"x\"&y"_s}).marked();
    ASSERT_EQ(m.text, u"a \"x\"&y\" b"_s);
    const std::vector<bool> expected = {false, false, false, true, true, true, true, false, false, false};
    EXPECT_EQ(m.literal, expected);
}

TEST(CommandLine, PercentSignsThatNameNoValueStay)
{
    struct Case {
        QString templ;
        QStringList values;
        QString joined;
    };
    const Case cases[] = {
        {u"echo %USERNAME% %1"_s, {u"v"_s}, u"echo %USERNAME% v"_s},
        {u"%2 %1"_s, {u"a"_s, u"b"_s}, u"b a"_s},
        {u"%3"_s, {u"a"_s}, u"%3"_s},
        {u"%10"_s, {u"a"_s}, u"a0"_s},  // only one value: %1 followed by 0
        {u"100%"_s, {}, u"100%"_s},
        {u"%0"_s, {u"a"_s}, u"%0"_s},
    };
    for (const Case &c : cases)
        EXPECT_EQ(CommandLine(c.templ, c.values).toString(), c.joined) << qPrintable(c.templ);

    QStringList eleven;
    for (int i = 1; i <= 11; ++i)
        eleven << QString::number(i * 100);
    EXPECT_EQ(CommandLine(u"%11 %1"_s, eleven).toString(), u"1100 100"_s);
}

TEST(CommandLine, SplitsArgumentsByTheWindowsRules)
{
    struct Case {
        QString text;
        QStringList args;
    };
    const Case cases[] = {
        {u"a b   c"_s, {u"a"_s, u"b"_s, u"c"_s}},
        {u"\"a b\" c"_s, {u"a b"_s, u"c"_s}},
        {u"a\"b c\"d"_s, {u"ab cd"_s}},
        {u"\\\\server\\share"_s, {u"\\\\server\\share"_s}},        // backslashes alone are plain
        {u"a\\\"b"_s, {u"a\"b"_s}},                                  // \" is a quote character
        {u"\"a\\\\\" b"_s, {u"a\\"_s, u"b"_s}},                      // \\" is a backslash, then the quote acts
        {u"\"a\"\"b\""_s, {u"a\"b"_s}},                              // "" inside quotes
        {u"\"\""_s, {QString()}},                                    // an empty quoted argument
        {u"  "_s, {}},
        {u"\"unclosed arg"_s, {u"unclosed arg"_s}},
        {u"* /server:10.0.0.1 \"Server restarts\""_s, {u"*"_s, u"/server:10.0.0.1"_s, u"Server restarts"_s}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(splitWindowsArguments(c.text), c.args) << qPrintable(c.text);
}

TEST(CommandLine, ProgramNameTakesNoBackslashEscapes)
{
    EXPECT_EQ(splitWindowsArguments(u"\"C:\\Program Files\\1cv8\\bin\\1cv8.exe\" CONFIG /Ssrv\\buh"_s, true),
              (QStringList{u"C:\\Program Files\\1cv8\\bin\\1cv8.exe"_s, u"CONFIG"_s, u"/Ssrv\\buh"_s}));
    EXPECT_EQ(splitWindowsArguments(u"C:\\dir\\\"x y"_s, true), (QStringList{u"C:\\dir\\\"x"_s, u"y"_s}));
}

TEST(CommandLine, ValueCharactersNeverQuoteOrSeparate)
{
    // A message with quotes and blanks stays one argument; a trailing
    // backslash in a value does not escape the closing quote.
    const QString text = u"x \"y\" && z \\"_s;
    const CommandLine msg(u"* /server:%1 \"%2\""_s, {u"host"_s, text});
    EXPECT_EQ(splitWindowsArguments(msg.marked()), (QStringList{u"*"_s, u"/server:host"_s, text}));

    const CommandLine spaced(u"/u %1\\%2 /p %3"_s, {u"DOM"_s, u"a b"_s, u"\"p w\""_s});
    EXPECT_EQ(splitWindowsArguments(spaced.marked()),
              (QStringList{u"/u"_s, u"DOM\\a b"_s, u"/p"_s, u"\"p w\""_s}));
}
