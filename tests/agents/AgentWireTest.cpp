// The wire format on its own: prefixes in their order, the strict "§"
// split with quoted fields, Windows-1251 both ways.
#include "agents/AgentWire.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace dozorix;

namespace {

const QString S = QStringLiteral("§");

struct PrefixCase {
    const char *name;
    QString text;
    AgentMessageKind kind;
    QString rest;
};

} // namespace

TEST(AgentWire, PrefixesAreComparedExactlyAndInTheirOrder)
{
    using K = AgentMessageKind;
    const PrefixCase cases[] = {
        {"help with text", QStringLiteral("#zek ivanov, PC-12"), K::HelpRequest, QStringLiteral(" ivanov, PC-12")},
        {"help alone", QStringLiteral("#zek"), K::HelpRequest, QString()},
        {"error with address", QStringLiteral("#err10.0.0.5"), K::Error, QStringLiteral("10.0.0.5")},
        {"join", QStringLiteral("#inchat10.0.0.5"), K::ChatJoin, QStringLiteral("10.0.0.5")},
        {"join cut short", QStringLiteral("#incha"), K::Unknown, QString()},
        {"leave", QStringLiteral("#ofchat 10.0.0.5 "), K::ChatLeave, QStringLiteral(" 10.0.0.5 ")},
        {"chat word", QStringLiteral("#soobпривет"), K::ChatLine, QStringLiteral("привет")},
        {"chat in capitals", QStringLiteral("#SOOBпривет"), K::Unknown, QString()},
        {"chat prefix alone", QStringLiteral("#soob"), K::ChatLine, QString()},
        {"status sign alone", S, K::Status, S},
        {"status", S + QStringLiteral("a") + S + QStringLiteral("b"), K::Status, S + QStringLiteral("a") + S + QStringLiteral("b")},
        {"status prefix wins over text after it", S + QStringLiteral("#soob x"), K::Status, S + QStringLiteral("#soob x")},
        {"sign not first", QStringLiteral("x") + S, K::Unknown, QString()},
        {"blank before prefix", QStringLiteral(" #zek"), K::Unknown, QString()},
        {"empty", QString(), K::Unknown, QString()},
        {"hash alone", QStringLiteral("#"), K::Unknown, QString()},
        {"first message decides", QStringLiteral("#zekhelp#soobhi"), K::HelpRequest, QStringLiteral("help#soobhi")},
    };
    for (const PrefixCase &c : cases) {
        const AgentMessage m = classifyAgentMessage(c.text);
        EXPECT_EQ(m.kind, c.kind) << c.name;
        if (c.kind != K::Unknown) {
            EXPECT_EQ(m.rest, c.rest) << c.name;
        }
    }
}

TEST(AgentWire, StatusSplitIsStrictWithQuotedFields)
{
    const QString q = QStringLiteral("\"");
    const struct {
        const char *name;
        QString text;
        QStringList fields;
    } cases[] = {
        {"sign alone", S, {QString(), QString()}},
        {"two fields", S + QStringLiteral("a"), {QString(), QStringLiteral("a")}},
        {"blanks are kept", S + QStringLiteral(" a ") + S + QStringLiteral("  "), {QString(), QStringLiteral(" a "), QStringLiteral("  ")}},
        {"empty between signs", S + S + QStringLiteral("b"), {QString(), QString(), QStringLiteral("b")}},
        {"sign at the end adds an empty field", S + QStringLiteral("a") + S, {QString(), QStringLiteral("a"), QString()}},
        {"text before the first sign is field 0", QStringLiteral("x") + S + QStringLiteral("y"), {QStringLiteral("x"), QStringLiteral("y")}},
        {"quoted field", S + q + QStringLiteral("Word") + q + S + QStringLiteral("b"), {QString(), QStringLiteral("Word"), QStringLiteral("b")}},
        {"doubled quote stands for one", S + q + QStringLiteral("say ") + q + q + QStringLiteral("hi") + q + q + q,
         {QString(), QStringLiteral("say \"hi\"")}},
        {"text after the closing quote is dropped", S + q + QStringLiteral("ab") + q + QStringLiteral("cd") + S + QStringLiteral("e"),
         {QString(), QStringLiteral("ab"), QStringLiteral("e")}},
        {"no closing quote runs to the field's end", S + q + QStringLiteral("abc") + S + QStringLiteral("d"),
         {QString(), QStringLiteral("abc"), QStringLiteral("d")}},
        {"a sign inside quotes still splits", S + q + QStringLiteral("a") + S + QStringLiteral("b") + q,
         {QString(), QStringLiteral("a"), QStringLiteral("b\"")}},
        {"quote not at the start is plain", S + QStringLiteral("a\"b"), {QString(), QStringLiteral("a\"b")}},
        {"empty quoted field", S + q + q + S + QStringLiteral("x"), {QString(), QString(), QStringLiteral("x")}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(splitStatusFields(c.text), c.fields) << c.name;
}

TEST(AgentWire, FieldsBeyondTheNinthAreNotRead)
{
    // Two status messages that arrive in one read are seventeen fields; the
    // first nine are used.
    QString first = S;
    QString second = S;
    QStringList names;
    for (int i = 1; i <= 8; ++i) {
        first += QStringLiteral("a%1").arg(i) + (i < 8 ? S : QString());
        second += QStringLiteral("b%1").arg(i) + (i < 8 ? S : QString());
    }
    const QString both = first + second;
    EXPECT_EQ(both.count(S) + 1, 17);
    const QStringList fields = splitStatusFields(both);
    ASSERT_EQ(fields.size(), 9);
    EXPECT_EQ(fields[8], QStringLiteral("a8"));
    EXPECT_EQ(splitStatusFields(both, 17).value(16), QStringLiteral("b8"));

    // A megabyte of signs is split no further than the nine fields.
    const QString flood = QString(1 << 20, QChar(0x00A7));
    EXPECT_EQ(splitStatusFields(flood).size(), 9);
}

TEST(AgentWire, Windows1251BothWays)
{
    // Every byte decodes to a character and encodes back to itself, so no
    // input is invalid and nothing is lost on the way through.
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(static_cast<char>(b));
    const QString text = decodeAgentText(all);
    EXPECT_EQ(text.size(), 256);
    EXPECT_EQ(encodeAgentText(text), all);

    EXPECT_EQ(decodeAgentText(QByteArray("\xA7\xCF\xF0\xE8\xE2\xE5\xF2")), QStringLiteral("§Привет"));
    EXPECT_EQ(encodeAgentText(QStringLiteral("#chmПривет")), QByteArray("#chm\xCF\xF0\xE8\xE2\xE5\xF2"));
    // Characters the code page lacks become one question mark each, also
    // those outside the basic plane.
    EXPECT_EQ(encodeAgentText(QStringLiteral("a中b😀c")), QByteArray("a?b?c"));
    EXPECT_EQ(encodeAgentText(QString(QChar(0xD800))), QByteArray("?")); // a lone surrogate
}

TEST(AgentWire, ConsoleCommandsAreExactTexts)
{
    EXPECT_EQ(encodeAgentText(AgentCommand::Greeting), QByteArray("\xA7"));
    EXPECT_EQ(AgentCommand::End1C8, QStringLiteral("%%%%"));
    EXPECT_EQ(AgentCommand::End1C7, QStringLiteral("%%%7"));
    EXPECT_EQ(AgentCommand::Reboot, QStringLiteral("%%%1"));
    EXPECT_EQ(AgentCommand::PowerOff, QStringLiteral("%%%2"));
    EXPECT_EQ(AgentCommand::ChatKick, QStringLiteral("#cch"));
    EXPECT_EQ(AgentCommand::ChatRejoin, QStringLiteral("#cnn"));
    EXPECT_EQ(AgentCommand::chatLine(QStringLiteral("x y")), QStringLiteral("#chmx y"));
    EXPECT_EQ(AgentCommand::alert(QStringLiteral("reboot  now")), QStringLiteral("#almreboot  now"));
    EXPECT_EQ(chatEntryText(QStringLiteral("ivanov"), QStringLiteral("10.0.0.5")), QStringLiteral("ivanov # 10.0.0.5"));
    EXPECT_EQ(chatEntryAddress(QStringLiteral("ivanov #  10.0.0.5 ")), QStringLiteral("10.0.0.5"));
}

TEST(AgentWire, CounterValuesAreWholeNumbers)
{
    const struct {
        const char *text;
        bool ok;
        int value;
    } cases[] = {
        {"5", true, 5},         {" 12 ", true, 12},   {"-3", true, -3},     {"+4", true, 4},
        {"", false, 0},         {"x", false, 0},      {"5.0", false, 0},    {"0x10", false, 0},
        {"1 2", false, 0},      {"-", false, 0},      {"2147483647", true, 2147483647},
        {"2147483648", false, 0}, {"-2147483648", true, -2147483647 - 1}, {"99999999999999999999", false, 0},
    };
    for (const auto &c : cases) {
        int v = 0;
        EXPECT_EQ(parseWholeNumber(QString::fromUtf8(c.text), &v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}
