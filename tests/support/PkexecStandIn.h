#pragma once
// A pkexec for the tests of a console that is not root (shell/Elevation.h):
// a script written into a folder of the test's own and put first on PATH
// for the lifetime of the object, with dozorix-cmd of the build as the
// console's helper. It behaves as Debian 12's pkexec (polkit 122, man
// pkexec) does towards its caller:
//   - it takes --disable-internal-agent, --keep-cwd and --user NAME;
//   - a program that is no absolute path, or no file, is refused with
//     pkexec's messages and 127;
//   - Answer::Run: the program runs (as the test's own user: a test cannot
//     become root) in root's home folder with pkexec's minimal environment,
//     none of the caller's (PATH, HOME, USER, LOGNAME, SHELL, LANG) and
//     PKEXEC_UID, the caller's uid; besides it only DOZORIX_NOLOGIN, a file
//     of the stand-in's folder unless keep() names another, so that no
//     "reg add … WinStationsDisabled" run through it reaches the real
//     /run/nologin;
//   - Dismiss: "Request dismissed", 126; NoAgent: "No authentication agent
//     found.", 127; NotAuthorized: "Not authorized" and "This incident has
//     been reported.", 127 — pkexec's own lines on its standard error;
//   - NeverAnswer: a dialog nobody answers (it waits until it is ended).
// Every call is recorded, whatever the answer: its arguments in order.
//
// Run runs the program for real: give it only lines that touch what the
// test started (a /PID of its own, a private PID namespace, a temporary
// nologin file), never the real services or sessions.

#include "shell/Elevation.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace dozorix::test {

class PkexecStandIn
{
public:
    enum class Answer { Run, Dismiss, NoAgent, NotAuthorized, NeverAnswer };

    explicit PkexecStandIn(Answer answer = Answer::Run,
                           const QString &helper = QStringLiteral(DOZORIX_BINARY_DIR "/bin/dozorix-cmd"))
        : m_answer(answer)
    {
        m_keep.insert(QStringLiteral("DOZORIX_NOLOGIN"), m_dir.filePath(QStringLiteral("nologin")));
        write();
        m_path = std::make_unique<ScopedEnv>("PATH", QFile::encodeName(m_dir.path()) + ':' + qgetenv("PATH"));
        setElevationHelper(helper);
    }
    ~PkexecStandIn() { setElevationHelper(QString()); }
    PkexecStandIn(const PkexecStandIn &) = delete;
    PkexecStandIn &operator=(const PkexecStandIn &) = delete;

    void answer(Answer answer)
    {
        m_answer = answer;
        write();
    }
    // An environment variable the program gets besides pkexec's own (Run).
    void keep(const QString &name, const QString &value)
    {
        m_keep.insert(name, value);
        write();
    }

    // The arguments of every call so far, in order.
    QList<QStringList> calls() const
    {
        QList<QStringList> all;
        QFile file(m_dir.filePath(QStringLiteral("calls")));
        if (!file.open(QIODevice::ReadOnly))
            return all;
        QStringList current;
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (line == "--- end of call") {
                all.append(current);
                current.clear();
            } else if (!line.isEmpty() || !current.isEmpty()) {
                current.append(QString::fromUtf8(line));
            }
        }
        return all;
    }
    // The pid of the last call (the program's own with Run: it is exec'd).
    qint64 lastPid() const
    {
        QFile file(m_dir.filePath(QStringLiteral("pid")));
        return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
    }
    QString folder() const { return m_dir.path(); }
    QString nologinFile() const { return m_keep.value(QStringLiteral("DOZORIX_NOLOGIN")); }

private:
    static QString quoted(const QString &text)
    {
        QString q = text;
        q.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
        return QLatin1Char('\'') + q + QLatin1Char('\'');
    }

    void write()
    {
        QString answer;
        switch (m_answer) {
        case Answer::Run: answer = QStringLiteral("run"); break;
        case Answer::Dismiss: answer = QStringLiteral("dismiss"); break;
        case Answer::NoAgent: answer = QStringLiteral("no-agent"); break;
        case Answer::NotAuthorized: answer = QStringLiteral("not-authorized"); break;
        case Answer::NeverAnswer: answer = QStringLiteral("never"); break;
        }
        QString kept;
        for (auto it = m_keep.cbegin(); it != m_keep.cend(); ++it)
            kept += QLatin1Char(' ') + quoted(it.key() + QLatin1Char('=') + it.value());
        const QString script = QStringLiteral(
            "#!/bin/sh\n"
            "# pkexec as a test sees it (tests/support/PkexecStandIn.h)\n"
            "here=%1\n"
            "{ for a in \"$@\"; do printf '%s\\n' \"$a\"; done; echo '--- end of call'; } >> \"$here/calls\"\n"
            "echo $$ > \"$here/pid\"\n"
            "while [ $# -gt 0 ]; do\n"
            "  case \"$1\" in\n"
            "    --disable-internal-agent|--keep-cwd) shift ;;\n"
            "    --user) shift 2 ;;\n"
            "    *) break ;;\n"
            "  esac\n"
            "done\n"
            "program=\"$1\"\n"
            "case \"$program\" in\n"
            "  /*) ;;\n"
            "  *) echo \"Cannot run program $program: No such file or directory\" >&2; exit 127 ;;\n"
            "esac\n"
            "if [ ! -f \"$program\" ]; then\n"
            "  echo \"Error accessing $program: No such file or directory\" >&2; exit 127\n"
            "fi\n"
            "case %2 in\n"
            "  dismiss) echo 'Error executing command as another user: Request dismissed' >&2; exit 126 ;;\n"
            "  no-agent) echo 'Error executing command as another user: No authentication agent found.' >&2; exit 127 ;;\n"
            "  not-authorized) printf 'Error executing command as another user: Not authorized\\n\\n"
            "This incident has been reported.\\n' >&2; exit 127 ;;\n"
            "  never) exec sleep 3600 ;;\n"
            "esac\n"
            "caller=$(id -u)\n"
            "cd /root 2>/dev/null || cd /\n"
            "exec env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin SHELL=/bin/sh "
            "HOME=/root USER=root LOGNAME=root LANG=\"${LANG:-C.UTF-8}\" PKEXEC_UID=\"$caller\"%3 \"$@\"\n")
                                   .arg(quoted(m_dir.path()), answer, kept);
        const QString path = m_dir.filePath(QStringLiteral("pkexec"));
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(script.toUtf8());
        file.close();
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    QTemporaryDir m_dir;
    Answer m_answer;
    QMap<QString, QString> m_keep;
    std::unique_ptr<ScopedEnv> m_path;
};

} // namespace dozorix::test
