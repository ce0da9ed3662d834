#pragma once
// The command interpreter's side of the operating system: the files a
// command's redirections open and, in CmdExternal.cpp, the Linux programs it
// starts (CmdInterpreter::runExternal: posix_spawn, their output read from
// pipes and re-encoded from UTF-8 into the console code page). The only
// place of the interpreter that holds POSIX descriptors.

#include "shell/CmdSyntax.h"

#include <QString>

#include <memory>
#include <vector>

namespace dozorix {

class ByteSink;

// From now on the files the redirections of every interpreter of this
// process open ("> temp.txt", "< list.txt") are opened with the file-system
// identity of this account (setfsuid/setfsgid around the open only, the
// tools keep root's rights): dozorix-cmd, run as root by pkexec, opens them
// as the account that asked, so that root writes nothing there that this
// account could not, and what it creates (temp.txt in that account's program
// directory) stays that account's. Only root can take another identity; call
// it before the first command runs.
void setRedirectionAccount(quint32 uid, quint32 gid);

// The streams of one command after its redirections: where its output and
// errors go, and the descriptor of its input (-1: none, the null device).
// Owns the files its redirections opened and closes them when destroyed.
class CommandStreams
{
public:
    CommandStreams(ByteSink *out, ByteSink *err);
    ~CommandStreams();
    CommandStreams(const CommandStreams &) = delete;
    CommandStreams &operator=(const CommandStreams &) = delete;

    // Applies one redirection, in the order they were written: "2>&1"
    // sends the errors where the output goes at that moment. A relative
    // name is resolved against workingDirectory; the hand-off files are
    // opened as regular files only (never through a link, never a FIFO).
    // Returns 0, or the errno of a file that did not open.
    int redirect(const cmdsyntax::Redirection &redirection, const QString &workingDirectory);

    ByteSink *out() const { return m_out; }
    ByteSink *err() const { return m_err; }
    int input() const { return m_input; }

private:
    ByteSink *m_out;
    ByteSink *m_err;
    int m_input = -1;
    std::vector<std::unique_ptr<ByteSink>> m_files;
};

} // namespace dozorix
