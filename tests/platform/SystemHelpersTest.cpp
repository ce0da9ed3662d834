// The system helpers on this Linux machine.

#include "common/SystemHelpers.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

// Points XDG_CONFIG_HOME at a temporary folder for one test.
class ScopedConfigHome
{
public:
    ScopedConfigHome()
        : m_previous(qgetenv("XDG_CONFIG_HOME"))
        , m_had(qEnvironmentVariableIsSet("XDG_CONFIG_HOME"))
    {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path()));
    }
    ~ScopedConfigHome()
    {
        if (m_had)
            qputenv("XDG_CONFIG_HOME", m_previous);
        else
            qunsetenv("XDG_CONFIG_HOME");
    }
    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_had;
};

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

TEST(SetAutorun, WritesAndRemovesTheAutostartEntry)
{
    ScopedConfigHome config;
    const QString entry = config.path() + u"/autostart/Dozorix.desktop"_s;

    SetAutorun(true);
    const QString text = QString::fromUtf8(readFile(entry));
    EXPECT_TRUE(text.startsWith(u"[Desktop Entry]\n"_s)) << qPrintable(text);
    EXPECT_TRUE(text.contains(u"\nName=Dozorix\n"_s));
    EXPECT_TRUE(text.contains(u"\nExec="_s + desktopEntryExec(QCoreApplication::applicationFilePath()) + u"\n"_s));

    SetAutorun(true); // again: still one entry
    EXPECT_EQ(QDir(config.path() + u"/autostart"_s).entryList(QDir::Files).size(), 1);

    SetAutorun(false);
    EXPECT_FALSE(QFileInfo::exists(entry));
}

TEST(SetAutorun, DisablingWithoutAnEntryLeavesNothing)
{
    ScopedConfigHome config;
    SetAutorun(false);
    EXPECT_TRUE(QDir(config.path()).isEmpty());
}

TEST(SetAutorun, QuotesTheProgramPathForTheDesktopEntry)
{
    struct Case {
        QString path;
        QString exec;
    };
    const Case cases[] = {
        {u"/opt/dozorix/Dozorix"_s, u"/opt/dozorix/Dozorix"_s},
        {u"/opt/my apps/Dozorix"_s, u"\"/opt/my apps/Dozorix\""_s},
        {u"/opt/a\"b/Dozorix"_s, u"\"/opt/a\\\\\"b/Dozorix\""_s},
        {u"/opt/$HOME/Dozorix"_s, u"\"/opt/\\\\$HOME/Dozorix\""_s},
        {u"/opt/back\\slash/Dozorix"_s, u"\"/opt/back\\\\\\\\slash/Dozorix\""_s},
        {u"/opt/100%/Dozorix"_s, u"/opt/100%%/Dozorix"_s},
    };
    for (const Case &c : cases)
        EXPECT_EQ(desktopEntryExec(c.path), c.exec) << qPrintable(c.path);
}

TEST(SystemFacts, DescribeThisMachine)
{
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    EXPECT_EQ(GetComputerNameText(), QString::fromLocal8Bit(host).section(u'.', 0, 0));

    const passwd *pw = ::getpwuid(::geteuid());
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(GetUserNameText(), QString::fromLocal8Bit(pw->pw_name));

    EXPECT_EQ(GetProgramFilesDir(), QFileInfo(u"/opt"_s).isDir() ? u"/opt"_s : QString());
    EXPECT_TRUE(QFileInfo(GetSystemDir()).isDir());

    QString desktop = u"unchanged"_s;
    EXPECT_TRUE(GetDesktopDir(desktop));
    EXPECT_TRUE(QFileInfo(desktop).isDir()) << qPrintable(desktop);
}

TEST(SystemFacts, LocalAddressIsAnIpv4OfThisHost)
{
    const QString ip = GetLocalIp();
    QHostAddress address;
    ASSERT_TRUE(address.setAddress(ip)) << qPrintable(ip);
    EXPECT_EQ(address.protocol(), QAbstractSocket::IPv4Protocol);
    if (!address.isLoopback()) {
        EXPECT_TRUE(QNetworkInterface::allAddresses().contains(address)) << qPrintable(ip);
    }
}

TEST(SystemFacts, LocalAddressFallsBackWhenTheHostNameDoesNotResolve)
{
    struct Case {
        const char *what;
        QString resolved;
        QStringList interfaces;
        QString chosen;
    };
    const Case cases[] = {
        {"resolves to the LAN", u"192.168.1.5"_s, {u"127.0.0.1"_s, u"10.0.0.2"_s}, u"192.168.1.5"_s},
        {"resolves to loopback (Debian's 127.0.1.1)", u"127.0.1.1"_s, {u"127.0.0.1"_s, u"10.0.0.2"_s}, u"10.0.0.2"_s},
        {"does not resolve", QString(), {u"127.0.0.1"_s, u"172.17.0.3"_s, u"10.0.0.2"_s}, u"172.17.0.3"_s},
        {"does not resolve, loopback only", QString(), {u"127.0.0.1"_s}, u"127.0.0.1"_s},
        {"does not resolve, no interface", QString(), {}, u"127.0.0.1"_s},
        {"resolves to loopback, no LAN", u"127.0.1.1"_s, {u"127.0.0.1"_s}, u"127.0.1.1"_s},
    };
    for (const Case &c : cases)
        EXPECT_EQ(chooseLocalIp(c.resolved, c.interfaces), c.chosen) << c.what;
}

TEST(EnablePrivilege, TellsWhetherOtherUsersProcessesCanBeEnded)
{
    // (The negative case, a thread without the capability, runs with the
    // taskkill tests against a real process of another account.)
    if (::geteuid() == 0) {
        EXPECT_TRUE(EnablePrivilege(u"SeDebugPrivilege"_s, true));
    }
    EXPECT_FALSE(EnablePrivilege(u"SeShutdownPrivilege"_s, true));
    EXPECT_FALSE(EnablePrivilege(QString(), true));
}

TEST(ShellCopy, CopiesFilesAndFolderTrees)
{
    QTemporaryDir dir;
    const QString root = dir.path();
    QDir(root).mkpath(u"src/tree/sub"_s);
    QFile::copy(u"/bin/true"_s, root + u"/src/tree/sub/tool"_s);
    QFile f(root + u"/src/tree/a.txt"_s);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("a");
    f.close();
    QFile::link(u"a.txt"_s, root + u"/src/tree/link"_s);
    QDir(root).mkpath(u"dst"_s);

    // A folder into an existing folder lands inside it, links as links.
    EXPECT_TRUE(ShellCopy(root + u"/src/tree"_s, root + u"/dst"_s));
    EXPECT_EQ(readFile(root + u"/dst/tree/a.txt"_s), "a");
    EXPECT_EQ(readFile(root + u"/dst/tree/sub/tool"_s), readFile(u"/bin/true"_s));
    EXPECT_TRUE(QFileInfo(root + u"/dst/tree/sub/tool"_s).isExecutable());
    EXPECT_EQ(QFileInfo(root + u"/dst/tree/link"_s).symLinkTarget(), root + u"/dst/tree/a.txt"_s);

    // A folder to a new name becomes that folder; a file to a new name, and
    // into a folder written Windows-style with a trailing backslash.
    EXPECT_TRUE(ShellCopy(root + u"/src/tree"_s, root + u"/copy"_s));
    EXPECT_EQ(readFile(root + u"/copy/a.txt"_s), "a");
    EXPECT_TRUE(ShellCopy(root + u"/src/tree/a.txt"_s, root + u"/b.txt"_s));
    EXPECT_EQ(readFile(root + u"/b.txt"_s), "a");
    EXPECT_TRUE(ShellCopy(root + u"\\src\\tree\\a.txt"_s, root + u"\\SysWOW64\\"_s));
    EXPECT_EQ(readFile(root + u"/SysWOW64/a.txt"_s), "a");

    // Silent overwrite.
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("new");
    f.close();
    EXPECT_TRUE(ShellCopy(root + u"/src/tree/a.txt"_s, root + u"/b.txt"_s));
    EXPECT_EQ(readFile(root + u"/b.txt"_s), "new");

    // What cannot be done.
    EXPECT_FALSE(ShellCopy(root + u"/missing"_s, root + u"/dst"_s));
    EXPECT_FALSE(ShellCopy(root + u"/src"_s, root + u"/src/tree"_s));
    EXPECT_FALSE(ShellCopy(root + u"/b.txt"_s, root + u"/b.txt"_s));
}
