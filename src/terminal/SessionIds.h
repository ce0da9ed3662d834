#pragma once
// The session-ID grammar of the field "ID сессии:": a list ("1,2,7,50"), a
// range ("4-17") or a single ID. The first rule that applies wins:
//
//   list    the text contains ","   the pieces between commas, each exactly
//                                   as typed (blanks kept, empty pieces too)
//   range   otherwise it contains "-" and the texts before the first "-"
//           and after it are both whole numbers: every number from the
//           first to the second; none when the second is smaller
//   single  otherwise: the whole text, unchanged
//
// The message window adds "*" (all sessions) and leaves out list pieces
// that are exactly "0" (the console session).

#include <QString>
#include <QStringList>

namespace dozorix {

enum class SessionIdForm {
    Empty,  // no text: nothing to do
    List,
    Range,
    All,    // "*" (messages only)
    Single,
};

struct SessionTargets {
    SessionIdForm form = SessionIdForm::Empty;
    // The IDs, in order. A range holds its numbers as text.
    QStringList ids;
    // A range larger than kMaxSessionRange: nothing is run for it.
    bool tooLarge = false;
};

// A range of more numbers than this runs nothing: each number is a program
// started (and waited for), so a slip of the finger ("1-99999999") would
// keep the console busy for hours or start millions of programs at once.
constexpr qint64 kMaxSessionRange = 65536;

// The grammar of the session actions; text is the field's text, trimmed.
SessionTargets parseSessionIds(const QString &text);

// The grammar of the message window: "*" is all sessions, list pieces "0"
// are left out, and a single target needs a character other than "," and
// "-" (a text of only those sends nothing).
SessionTargets parseMessageTargets(const QString &text);

// True for text of only the digits 0-9 with an optional leading minus sign,
// whose value fits in an int; *value receives it.
bool parseWholeNumber(const QString &text, qint64 *value);

} // namespace dozorix
