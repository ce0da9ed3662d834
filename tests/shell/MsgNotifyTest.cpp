// msg's desktop notification: a private session bus (a real dbus-daemon)
// owned by an unprivileged user, laid out as /run/user/<uid>/bus is, with a
// stand-in notification service (tests/peers/notification_server.py) that
// records every Notify call.

#include "common/Platform.h"
#include "shell/WinSessionTools.h"
#include "support/TestSupport.h"
#include "support/Unprivileged.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

class NotificationPeer : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!Unprivileged::available() || !QFile::exists(u"/usr/bin/dbus-daemon"_s))
            GTEST_SKIP() << "dbus-daemon or setpriv missing (scripts/install-deps.sh installs them)";
        ASSERT_TRUE(m_root.isValid());
        m_userDir = m_root.filePath(QString::number(Unprivileged::uid()));
        ASSERT_TRUE(QDir().mkpath(m_userDir));
        ASSERT_TRUE(Unprivileged::own(m_root.path()));
        ASSERT_TRUE(Unprivileged::own(m_userDir));
        m_record = m_userDir + u"/calls.jsonl"_s;
        const QString address = u"unix:path="_s + m_userDir + u"/bus"_s;

        Unprivileged::start(m_daemon, u"/usr/bin/dbus-daemon"_s,
                            {u"--session"_s, u"--nofork"_s, u"--nopidfile"_s, u"--address="_s + address});
        ASSERT_TRUE(m_daemon.waitForStarted());
        ASSERT_TRUE(waitUntil([&] { return QFile::exists(m_userDir + u"/bus"_s); }))
            << m_daemon.readAllStandardError().toStdString();

        // The service runs as the unprivileged user, who may not be able to
        // read the source tree (a checkout under /root): it gets a copy.
        const QString script = m_userDir + u"/notification_server.py"_s;
        ASSERT_TRUE(QFile::copy(QStringLiteral(DOZORIX_SOURCE_DIR "/tests/peers/notification_server.py"), script));
        ASSERT_TRUE(QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup
                                                      | QFile::ReadOther));
        Unprivileged::start(m_service, u"/usr/bin/python3"_s, {script, address, m_record});
        ASSERT_TRUE(m_service.waitForStarted());
        ASSERT_TRUE(waitUntil([&] { return m_service.canReadLine() || m_service.state() != QProcess::Running; }));
        ASSERT_EQ(m_service.readLine().trimmed(), "ready") << m_service.readAllStandardError().toStdString();
    }

    void TearDown() override
    {
        for (QProcess *p : {&m_service, &m_daemon}) {
            p->kill();
            p->waitForFinished();
        }
    }

    QList<QJsonObject> calls() const
    {
        QList<QJsonObject> out;
        QFile f(m_record);
        if (!f.open(QIODevice::ReadOnly))
            return out;
        for (const QByteArray &line : f.readAll().split('\n')) {
            if (!line.isEmpty())
                out.append(QJsonDocument::fromJson(line).object());
        }
        return out;
    }

    QTemporaryDir m_root;
    QString m_userDir;
    QString m_record;
    QProcess m_daemon;
    QProcess m_service;
};

} // namespace

TEST_F(NotificationPeer, TheTextArrivesWholeAndStartsNothingElse)
{
    const QString bus = userSessionBus(Unprivileged::uid(), m_root.path());
    ASSERT_EQ(bus, m_userDir + u"/bus"_s);

    const QString marker = m_root.filePath(u"MARK"_s);
    const QStringList texts = {
        u"Сервер будет перезагружен"_s,
        u"it's \"quoted\" \\ back' slash"_s,
        u"a & b | c ; $(/usr/bin/touch MARK) `/usr/bin/touch MARK`"_s.replace(u"MARK"_s, marker),
        u"%1 %s {} [] @as <b>bold</b> 😀"_s,
        u"ends with a quote'"_s,
    };
    for (const QString &text : texts) {
        SCOPED_TRACE(text.toStdString());
        const qint64 pid = notifyDesktop(bus, Unprivileged::uid(), u"Сообщение от root@host"_s, text);
        ASSERT_GT(pid, 0);
        EXPECT_EQ(waitForProgram(pid), 0);
        const QList<QJsonObject> got = calls();
        ASSERT_FALSE(got.isEmpty());
        EXPECT_EQ(got.last().value(u"app"_s).toString(), u"Dozorix"_s);
        EXPECT_EQ(got.last().value(u"summary"_s).toString(), u"Сообщение от root@host"_s);
        EXPECT_EQ(got.last().value(u"body"_s).toString(), text);
    }
    EXPECT_EQ(calls().size(), texts.size());
    EXPECT_FALSE(QFile::exists(marker));

    // Control characters never reach the desktop either.
    const qint64 pid = notifyDesktop(bus, Unprivileged::uid(), u"t"_s, u"a\x1b[2Jb\r\nc"_s);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(waitForProgram(pid), 0);
    EXPECT_EQ(calls().last().value(u"body"_s).toString(), u"a [2Jb\nc"_s);
}

TEST_F(NotificationPeer, NoBusNoHelper)
{
    // Another user's folder has no bus of that user's.
    EXPECT_EQ(userSessionBus(Unprivileged::uid() + 1, m_root.path()), QString());
    EXPECT_EQ(notifyDesktop(QString(), Unprivileged::uid(), u"t"_s, u"x"_s), -1);
}
