#pragma once
// The syntax of the command interpreter (CmdInterpreter.h gives the grammar):
// a line split into its commands and the operators between them, each
// command's redirections taken out of its words, the parameters of
// "cmd.exe", and the words of an "if" or "for" head. Text only: nothing here
// opens a file or starts a program.
//
// Every function works on MarkedText: characters that came from a user value
// are plain characters and never quote, join, redirect or split.

#include "shell/CommandLine.h"

#include <QChar>
#include <QLatin1StringView>
#include <QString>

#include <vector>

namespace dozorix::cmdsyntax {

// A blank between words: space or tab.
bool isBlank(QChar c);

// True when a command name is written with a directory ('/' or '\\').
bool pathGiven(const QString &name);

// Where a command's stream goes instead of its caller's.
struct Redirection {
    int fd = 1;           // 0 input, 1 output, 2 errors
    bool append = false;  // ">>"
    int duplicateOf = -1; // 2>&1 -> 1
    QString target;       // the file as written, quotes removed
};

// One command of a line with how it joins the one before it.
struct Segment {
    enum class Join { First, Always, OnSuccess, OnFailure }; // (first), &, &&, ||
    Join join = Join::First;
    // "if"/"for" with the rest of the line, its operators and redirections
    // included (they belong to the command it runs).
    bool compound = false;
    MarkedText text; // the command without its redirections
    std::vector<Redirection> redirections;
};

// Splits a line into its commands ("&", "&&", "||"; ^ escapes outside
// quotes), takes the redirections out of each and drops leading blanks and
// '@'. False on a syntax error, with the console's message in *error.
bool parseLine(const MarkedText &line, std::vector<Segment> *segments, QString *error);

// The redirections of one command ("> f", ">> f", "1> f", "2> f", "2>> f",
// "2>&1", "1>&2", "< f"; quotes outside user values group a name and hide
// the operators). *words gets the command without them: its words on both
// sides kept apart by one blank, trailing blanks kept (echo prints them).
// False when a redirection names no file.
bool parseRedirections(const MarkedText &command, MarkedText *words, std::vector<Redirection> *redirections);

// Position of the raw arguments of a command: after its name and one
// separator (what "echo" prints). May be past the end.
qsizetype argumentsStart(const MarkedText &command);

// The command of "cmd.exe" parameters: after the switches (/Q, /D, ...) up
// to /C or /K, with cmd.exe's quote rule applied (a command that starts
// with a quote keeps its quotes only when it holds exactly two, with blanks
// and no special characters between them; otherwise the first and the last
// quote go). False when there is no /C or /K.
bool commandOfParameters(const MarkedText &parameters, MarkedText *command);

// True when the template word at i is the keyword, followed by a blank or a
// switch ("if/i", "for/f"). A user value never makes a keyword.
bool keywordAt(const MarkedText &text, qsizetype i, QLatin1StringView keyword);

// Moves *pos past template blanks.
void skipBlanks(const MarkedText &text, qsizetype *pos);

// One word of an "if" or "for" head: up to a template blank or '=' outside
// template quotes; quotes stay part of the word, ^ makes the next character
// plain. User-value characters never end a word.
MarkedText nextWord(const MarkedText &text, qsizetype *pos);

// True when the word is the keyword, in any case, all of it template text.
bool isKeyword(const MarkedText &word, QLatin1StringView keyword);

// True when "==" follows (after blanks) at pos.
bool equalsFollows(const MarkedText &text, qsizetype pos);

// The word without its template quotes.
QString withoutQuotes(const MarkedText &word);

} // namespace dozorix::cmdsyntax
