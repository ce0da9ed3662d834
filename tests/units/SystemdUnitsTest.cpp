// The systemd units of the unattended backup (data/dozorix-backup@.service,
// its timer and dozorix-backup-failed@.service) as systemd reads them:
// "systemd-analyze verify" on a root laid out like a server, with the
// console at /opt/dozorix, where the units name it. No running systemd is
// needed (a fresh chroot has none).

#include "support/TestSupport.h"
#include "support/Unprivileged.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

const QString kService = u"dozorix-backup@.service"_s;
const QString kTimer = u"dozorix-backup@.timer"_s;
const QString kFailed = u"dozorix-backup-failed@.service"_s;
const QString kOnFailure = u"OnFailure=dozorix-backup-failed@%i.service"_s;

QByteArray shipped(const QString &name)
{
    QFile f(QStringLiteral(DOZORIX_SOURCE_DIR "/data/") + name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The values of a key in the lines that are not comments.
QStringList values(const QByteArray &unit, const QString &key)
{
    QStringList out;
    for (const QString &line : QString::fromUtf8(unit).split(u'\n')) {
        if (line.startsWith(key + u'='))
            out << line.mid(key.size() + 1).trimmed();
    }
    return out;
}

// A root for "systemd-analyze verify --root": the units in etc/systemd/system
// (the OnFailure= line of the service switched on, as the administrator
// does), and the programs they start where they name them.
class UnitRoot
{
public:
    UnitRoot()
    {
        m_dir.setAutoRemove(true);
        const QString units = path(u"etc/systemd/system"_s);
        QDir().mkpath(units);
        QByteArray service = shipped(kService);
        service.replace(('#' + kOnFailure).toUtf8(), kOnFailure.toUtf8());
        write(units + u'/' + kService, service);
        write(units + u'/' + kTimer, shipped(kTimer));
        write(units + u'/' + kFailed, shipped(kFailed));
        for (const QString &program : {u"opt/dozorix/Dozorix"_s, u"usr/bin/logger"_s}) {
            QDir().mkpath(QFileInfo(path(program)).path());
            QFile::copy(u"/bin/true"_s, path(program));
        }
        // systemd-analyze may run as nobody (see verify()).
        for (const QString &entry : {QString(), u"etc"_s, u"etc/systemd"_s, u"etc/systemd/system"_s, u"opt"_s,
                                     u"opt/dozorix"_s, u"usr"_s, u"usr/bin"_s})
            QFile::setPermissions(path(entry), QFile::permissions(path(entry)) | QFile::ReadOther | QFile::ExeOther
                                                   | QFile::ReadGroup | QFile::ExeGroup);
    }

    QString path(const QString &relative) const { return relative.isEmpty() ? m_dir.path() : m_dir.filePath(relative); }
    QString unit(const QString &name) const { return path(u"etc/systemd/system/"_s + name); }

    // Changes a unit in the root.
    void edit(const QString &name, const std::function<void(QByteArray &)> &change) const
    {
        QFile f(unit(name));
        QByteArray bytes;
        if (f.open(QIODevice::ReadOnly))
            bytes = f.readAll();
        f.close();
        change(bytes);
        write(unit(name), bytes);
    }

    struct Verdict {
        bool ran = false;
        int exitCode = -1;
        QString output;
        // Lines about the backup's units (paths and unit names hold "dozorix-backup").
        QStringList aboutOurs() const
        {
            QStringList out;
            for (const QString &line : output.split(u'\n', Qt::SkipEmptyParts)) {
                if (line.contains(u"dozorix-backup"_s))
                    out << line;
            }
            return out;
        }
        bool clean() const { return ran && exitCode == 0 && aboutOurs().isEmpty(); }
    };

    // Verifies profile 3's service and timer and the failure unit. As root,
    // systemd-analyze runs as nobody where systemd keeps its run-time folder
    // (/run/systemd), so that it leaves the folder of this machine's systemd
    // alone; without that folder (a fresh chroot) it runs as root, which it
    // needs to create one. Units of the system the backup's units name
    // (timers.target, network-online.target) are not in the root: their
    // absence is no warning (--recursive-errors=no), and no manual pages
    // are looked up (--man=no).
    Verdict verify() const
    {
        const QStringList args = {u"verify"_s, u"--root="_s + path(QString()), u"--man=no"_s,
                                  u"--recursive-errors=no"_s, u"dozorix-backup@3.service"_s,
                                  u"dozorix-backup@3.timer"_s, u"dozorix-backup-failed@3.service"_s};
        const QString program = u"/usr/bin/systemd-analyze"_s;
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.setWorkingDirectory(path(QString()));
        if (Unprivileged::asRoot() && QFileInfo(u"/run/systemd"_s).isDir())
            Unprivileged::start(p, program, args);
        else
            p.start(program, args);
        Verdict v;
        v.ran = p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit;
        v.exitCode = p.exitCode();
        v.output = QString::fromLocal8Bit(p.readAll());
        return v;
    }

private:
    static void write(const QString &file, const QByteArray &bytes)
    {
        QFile f(file);
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write(bytes);
        f.close();
        QFile::setPermissions(file, QFile::permissions(file) | QFile::ReadOther | QFile::ReadGroup);
    }

    QTemporaryDir m_dir;
};

} // namespace

TEST(BackupUnits, SystemdReadsThemWithoutAWord)
{
    ASSERT_TRUE(QFileInfo(u"/usr/bin/systemd-analyze"_s).isExecutable()) << "scripts/install-deps.sh installs systemd";
    ASSERT_TRUE(Unprivileged::available());
    const UnitRoot root;
    const UnitRoot::Verdict v = root.verify();
    EXPECT_TRUE(v.ran);
    EXPECT_EQ(v.exitCode, 0) << v.output.toStdString();
    EXPECT_EQ(v.aboutOurs(), QStringList()) << v.output.toStdString();
}

// The same check finds what systemd would refuse or ignore.
TEST(BackupUnits, TheCheckFindsWhatSystemdWouldIgnoreOrRefuse)
{
    const struct {
        const char *what;
        QString unit;
        std::function<void(QByteArray &)> change;
        std::function<void(const UnitRoot &)> prepare;
    } cases[] = {
        {"a misspelt key", kService, [](QByteArray &b) { b.replace("KillMode=", "KilMode="); }, {}},
        {"a bad value", kService, [](QByteArray &b) { b.replace("Type=oneshot", "Type=oneshoot"); }, {}},
        {"a time that never comes", kTimer, [](QByteArray &b) { b.replace("OnCalendar=*-*-* 01:30:00", "OnCalendar=25:99"); }, {}},
        {"no console where ExecStart= names it", kService, {},
         [](const UnitRoot &r) { QFile::remove(r.path(u"opt/dozorix/Dozorix"_s)); }},
        {"no logger for the failure report", kFailed, {}, [](const UnitRoot &r) { QFile::remove(r.path(u"usr/bin/logger"_s)); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const UnitRoot root;
        if (c.change)
            root.edit(c.unit, c.change);
        if (c.prepare)
            c.prepare(root);
        const UnitRoot::Verdict v = root.verify();
        EXPECT_TRUE(v.ran);
        EXPECT_FALSE(v.clean()) << v.output.toStdString();
        EXPECT_FALSE(v.aboutOurs().isEmpty()) << v.output.toStdString();
    }
}

// What the recipe promises the administrator, as the files say it.
TEST(BackupUnits, AFailedRunFailsTheUnitAndEveryRunHasAnEnd)
{
    const QByteArray service = shipped(kService);
    const QByteArray timer = shipped(kTimer);
    ASSERT_FALSE(service.isEmpty());
    ASSERT_FALSE(timer.isEmpty());
    // Any exit code but 0 fails the unit: a oneshot whose ExecStart= has no
    // "-" in front and no SuccessExitStatus=.
    EXPECT_EQ(values(service, u"Type"_s), QStringList{u"oneshot"_s});
    EXPECT_EQ(values(service, u"SuccessExitStatus"_s), QStringList());
    EXPECT_EQ(values(service, u"ExecStart"_s), QStringList{u"/opt/dozorix/Dozorix bak%i"_s});
    // A time limit, then SIGTERM to the console alone.
    const QStringList limit = values(service, u"TimeoutStartSec"_s);
    ASSERT_EQ(limit.size(), 1);
    EXPECT_FALSE(limit[0] == u"0"_s || limit[0] == u"infinity"_s) << limit[0].toStdString();
    EXPECT_EQ(values(service, u"KillMode"_s), QStringList{u"mixed"_s});
    // The failure report is one "#" away.
    EXPECT_TRUE(service.contains((u"\n#"_s + kOnFailure + u"\n"_s).toUtf8()));
    // The profiles' timers do not all fire at the same moment.
    const QStringList spread = values(timer, u"RandomizedDelaySec"_s);
    ASSERT_EQ(spread.size(), 1);
    EXPECT_NE(spread[0], u"0"_s);
    EXPECT_EQ(values(timer, u"FixedRandomDelay"_s), QStringList{u"true"_s});
}
