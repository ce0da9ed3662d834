#pragma once
// The agent link's wire format: Windows-1251 text, no framing (the bytes of
// one read are one message), the prefixes an agent's message starts with,
// the strict "§" split of a status message, and every text the console
// sends to an agent. Plain functions, no sockets and no widgets.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QStringView>

namespace dozorix {

// Console to agent. Each is sent exactly as shown, nothing appended.
namespace AgentCommand {
inline const QString Greeting = QStringLiteral("§");
inline const QString End1C8 = QStringLiteral("%%%%");
inline const QString End1C7 = QStringLiteral("%%%7");
inline const QString Reboot = QStringLiteral("%%%1");
inline const QString PowerOff = QStringLiteral("%%%2");
inline const QString ChatKick = QStringLiteral("#cch");
inline const QString ChatRejoin = QStringLiteral("#cnn");
// "#chm" + the administrator's chat line.
QString chatLine(const QString &text);
// "#alm" + the alert text (line breaks already replaced by the caller).
QString alert(const QString &text);
} // namespace AgentCommand

// What an agent's message is, by its first characters (case matters).
enum class AgentMessageKind {
    Unknown,     // matches no prefix: dropped without trace
    HelpRequest, // "#zek" + free text
    Error,       // "#err" + address
    ChatJoin,    // "#inchat" + address
    ChatLeave,   // "#ofchat" + address
    ChatLine,    // "#soob" + the user's line
    Status,      // "§" + "§"-separated fields 1..8
};

// How much of an agent's text the console keeps: a status field or an
// address, and a chat or help line. Agents in the field stay far below; the
// limits keep a hostile megabyte from stalling the window's text layout.
inline constexpr qsizetype kMaxAgentField = 1024;
inline constexpr qsizetype kMaxAgentLine = 4096;
// Rows and chat entries one connection may have made. An agent needs one of
// each; the limit keeps one connection from filling the table or the list.
inline constexpr int kMaxOwnedPerConnection = 16;
// What one remote address (one host) may hold. A terminal server puts all
// its users behind one address, each with an agent of their own: a few
// hundred users, with a row or two each, fit well inside. A host that goes
// beyond is refused further connections and its rows stop growing, with one
// red line in the event log each time it reaches a limit.
inline constexpr int kMaxConnectionsPerAddress = 500;
inline constexpr int kMaxRowsPerAddress = 1000;

struct AgentMessage {
    AgentMessageKind kind = AgentMessageKind::Unknown;
    QString rest; // everything after the prefix, unchanged; the whole text for Status
};

// Tests the prefixes in their fixed order: "#zek", "#err", "#inchat",
// "#ofchat", "#soob", "§".
AgentMessage classifyAgentMessage(const QString &text);

// Status message fields. Index 0 is the text before the first "§".
namespace StatusField {
enum : int {
    ActiveProgram = 2,
    Address = 3,
    Computer = 4,
    User = 5,
    ThinClients = 6,
    ThickClients = 7,
    V7Clients = 8,
    Count = 9, // fields beyond index 8 are ignored
};
}

// Splits at every "§", strictly: blanks stay, an empty text between two signs
// is an empty field, a sign at the very end adds a final empty field. A field
// that begins with a double quote is read up to its closing quote, a doubled
// quote inside standing for one (no closing quote: to the field's end). At
// most maxFields fields are returned; the rest of the text is not looked at,
// so a huge message costs no more than its first fields.
QStringList splitStatusFields(QStringView text, int maxFields = StatusField::Count);

// Bytes of one read to text, and text to the bytes of one send. Characters
// Windows-1251 lacks go out as one '?' each (a character outside the basic
// plane too). Every byte decodes to some character, so no input is invalid.
QString decodeAgentText(const char *data, qsizetype size);
inline QString decodeAgentText(const QByteArray &bytes) { return decodeAgentText(bytes.constData(), bytes.size()); }
QByteArray encodeAgentText(QStringView text);

// A counter column read as a whole number: blanks around it, an optional
// sign, decimal digits, within the 32-bit range.
bool parseWholeNumber(QStringView text, int *value);

// A chat-list entry is the user name, " # ", and the agent's address.
QString chatEntryText(const QString &user, const QString &address);
// The address of an entry as the text after its first "#", trimmed.
QString chatEntryAddress(const QString &entry);

} // namespace dozorix
