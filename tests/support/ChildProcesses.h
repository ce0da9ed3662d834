#pragma once
// Real child processes under chosen image names, for the process table and
// taskkill tests, and a process table narrowed to this test program and its
// descendants, so that a test's "rphost*" never reaches a process it did not
// start.

#include "common/Platform.h"

#include <QFile>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>

#include <memory>
#include <unistd.h>

namespace dozorix::test {

// A copy of a system program started under another name; killed and reaped
// when the object goes away, whatever happened in the test.
class NamedChild
{
public:
    enum class Owner { Me, Nobody };

    NamedChild(const QString &imageName, const QString &program, const QStringList &args,
               Owner owner = Owner::Me)
    {
        m_dir.setAutoRemove(true);
        // Others must reach the copy when it runs as nobody.
        QFile::setPermissions(m_dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                | QFileDevice::ReadGroup | QFileDevice::ExeGroup
                                                | QFileDevice::ReadOther | QFileDevice::ExeOther);
        m_path = m_dir.filePath(imageName);
        QFile::copy(program, m_path);
        QFile::setPermissions(m_path, QFile::permissions(program) | QFileDevice::ExeOther | QFileDevice::ReadOther);
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setStandardErrorFile(QProcess::nullDevice());
        if (owner == Owner::Nobody) {
            m_process.start(QStringLiteral("/usr/bin/setpriv"),
                            QStringList{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                        QStringLiteral("--clear-groups"), m_path}
                                + args);
        } else {
            m_process.start(m_path, args);
        }
        m_process.waitForStarted(5000);
        m_pid = m_process.processId();
    }

    ~NamedChild()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    NamedChild(const NamedChild &) = delete;
    NamedChild &operator=(const NamedChild &) = delete;

    qint64 pid() const { return m_pid; }
    QString path() const { return m_path; }
    bool running() const { return m_process.state() != QProcess::NotRunning; }
    // True when the process has ended within the time.
    bool waitForEnd(int ms) { return m_process.state() == QProcess::NotRunning || m_process.waitForFinished(ms); }

    static bool canRunAsNobody() { return ::geteuid() == 0 && QFile::exists(QStringLiteral("/usr/bin/setpriv")); }

private:
    QTemporaryDir m_dir;
    QString m_path;
    QProcess m_process;
    qint64 m_pid = 0;
};

// The real process table, limited to this program and its descendants.
class DescendantsTable : public ProcessTable
{
public:
    std::vector<ProcessInfo> snapshot() override
    {
        std::vector<ProcessInfo> all = m_native->snapshot();
        QSet<qint64> ours{static_cast<qint64>(::getpid())};
        bool grew = true;
        while (grew) {
            grew = false;
            for (const ProcessInfo &p : all) {
                if (!ours.contains(p.pid) && ours.contains(p.ppid)) {
                    ours.insert(p.pid);
                    grew = true;
                }
            }
        }
        std::vector<ProcessInfo> mine;
        for (const ProcessInfo &p : all) {
            if (ours.contains(p.pid))
                mine.push_back(p);
        }
        return mine;
    }
    int processorCount() override { return m_native->processorCount(); }

private:
    std::shared_ptr<ProcessTable> m_native = native::createProcessTable();
};

// Finds a process by pid in a snapshot; nullptr when absent.
inline const ProcessInfo *findPid(const std::vector<ProcessInfo> &table, qint64 pid)
{
    for (const ProcessInfo &p : table) {
        if (p.pid == pid)
            return &p;
    }
    return nullptr;
}

} // namespace dozorix::test
