#pragma once
// A Windows command line whose fixed text and user values are kept apart.
//
// The program's command texts are built by joining literals and user values
// (a login, a host, a message). The joined text is what is logged and what
// the tests compare; it is also what the Windows tools would have seen. To
// run it safely, the interpreter needs to know which characters came from a
// user: those are plain characters, never a quote, an operator, a
// redirection or a separator between arguments.
//
//   CommandLine line(u"/C chcp 1251 && TASKKILL /F /FI \"USERNAME eq %1\" /IM 1cv8* /T > temp.txt"_s,
//                    {login});
//   line.toString();  // the exact text, for the log
//
// Placeholders are %1 .. %99 (the highest index that exists wins for two
// digits); a '%' that does not name an existing value stays as it is.

#include <QString>
#include <QStringList>

#include <vector>

namespace dozorix {

// Text whose characters each carry a "literal" mark: true for characters
// that came from a user value.
struct MarkedText {
    QString text;
    std::vector<bool> literal;

    qsizetype size() const { return text.size(); }
    bool isEmpty() const { return text.isEmpty(); }
    QChar at(qsizetype i) const { return text.at(i); }
    bool isLiteral(qsizetype i) const { return literal[static_cast<size_t>(i)]; }
    // True when the character at i is the given one and came from the template.
    bool isSyntax(qsizetype i, QChar c) const { return !isLiteral(i) && text.at(i) == c; }

    void append(QChar c, bool isLiteralChar);
    void append(const MarkedText &other);
    MarkedText mid(qsizetype pos, qsizetype len = -1) const;
    // Removes template blanks (space, tab) at both ends.
    MarkedText trimmed() const;
    static MarkedText fromTemplate(const QString &text);
    static MarkedText fromLiteral(const QString &text);
};

class CommandLine
{
public:
    CommandLine() = default;
    // A fixed text of our own: every character is template.
    explicit CommandLine(QString templateText);
    CommandLine(QString templateText, QStringList values);

    const QString &templateText() const { return m_template; }
    const QStringList &values() const { return m_values; }

    // The joined command text, exactly as the contract spells it.
    QString toString() const;
    // The joined text with each character marked as template or value.
    MarkedText marked() const;

    bool isEmpty() const { return m_template.isEmpty(); }

private:
    QString m_template;
    QStringList m_values;
};

// Splits the arguments of a Windows command line by the rules of
// CommandLineToArgvW, applied to template characters only: blanks separate,
// double quotes group, 2n backslashes before a quote give n backslashes and
// the quote acts, 2n+1 give n backslashes and a literal quote, "" inside a
// quoted part gives one quote. User-value characters are always plain.
// With programName set, the first argument follows the program-name rule
// (up to the next quote if it starts with one, else up to a blank; no
// backslash processing).
QStringList splitWindowsArguments(const MarkedText &text, bool programName = false);
QStringList splitWindowsArguments(const QString &text, bool programName = false);

} // namespace dozorix
