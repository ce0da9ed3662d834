// mstsc: the RDP client of the machine is started with the server. No RDP
// client can run here, so stand-in xfreerdp and remmina programs, put first
// in PATH, record the argument vectors they get.

#include "common/TextCodec.h"
#include "shell/BuiltinTools.h"
#include "shell/CmdInterpreter.h"
#include "shell/WinSessionTools.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

class MstscCommand : public ::testing::Test
{
protected:
    void SetUp() override
    {
        registerBuiltinTools();
        registerMstsc();
    }

    // A stand-in client that writes its name and arguments, one per line,
    // to <name>.argv in the folder, all at once.
    void install(const QString &name)
    {
        const QString out = m_bin.filePath(name + u".argv"_s);
        QFile script(m_bin.filePath(name));
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write(u"#!/bin/sh\n"
                     "{ printf '%s\\n' \"${0##*/}\"; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > '%1.tmp'\n"
                     "/bin/mv '%1.tmp' '%1'\n"_s.arg(out).toUtf8());
        script.close();
        script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    // What the client got, once it has run; empty when none ran.
    QStringList recorded()
    {
        QStringList calls;
        for (const QString &name : {u"xfreerdp"_s, u"remmina"_s}) {
            QFile f(m_bin.filePath(name + u".argv"_s));
            if (f.open(QIODevice::ReadOnly)) {
                calls += QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
                f.remove();
            }
        }
        return calls;
    }

    QStringList waitForClient()
    {
        waitUntil([&] {
            return QFile::exists(m_bin.filePath(u"xfreerdp.argv"_s)) || QFile::exists(m_bin.filePath(u"remmina.argv"_s));
        });
        return recorded();
    }

    struct Result {
        int code;
        QString err;
    };
    Result run(const CommandLine &line)
    {
        CmdInterpreter interpreter(m_work.path());
        BufferSink out;
        BufferSink err;
        const int code = interpreter.run(line, &out, &err);
        return {code, fromCp866(out.data()) + fromCp866(err.data())};
    }

    QTemporaryDir m_bin;
    QTemporaryDir m_work;
    ScopedEnv m_path{"PATH", m_bin.path().toLocal8Bit()};
};

} // namespace

TEST_F(MstscCommand, StartsTheClientFoundWithTheServer)
{
    struct Case {
        QStringList installed;
        QString command;
        QStringList argv;
    };
    const Case cases[] = {
        {{u"xfreerdp"_s, u"remmina"_s},
         u"\"C:\\Windows\\System32\\mstsc.exe\"  /v 10.0.0.5 3 /shadow /NoConsentPrompt"_s,
         {u"xfreerdp"_s, u"/v:10.0.0.5"_s, u"/t:Dozorix: 10.0.0.5, сеанс 3 (просмотр)"_s}},
        {{u"xfreerdp"_s},
         u"mstsc.exe  /v 10.0.0.5 12 /shadow /control /NoConsentPrompt"_s,
         {u"xfreerdp"_s, u"/v:10.0.0.5"_s, u"/t:Dozorix: 10.0.0.5, сеанс 12 (управление)"_s}},
        {{u"xfreerdp"_s}, u"MSTSC /v:srv.example.org:3390"_s, {u"xfreerdp"_s, u"/v:srv.example.org:3390"_s}},
        {{u"remmina"_s},
         u"mstsc.exe  /v 10.0.0.5 3 /shadow /control /NoConsentPrompt"_s,
         {u"remmina"_s, u"-c"_s, u"rdp://10.0.0.5"_s}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command.toStdString());
        for (const QString &name : c.installed)
            install(name);
        const Result r = run(CommandLine(c.command));
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.err, QString());
        EXPECT_EQ(waitForClient(), c.argv);
        for (const QString &name : c.installed)
            QFile::remove(m_bin.filePath(name));
    }
}

TEST_F(MstscCommand, WithoutAClientOrAnAddressItSaysSo)
{
    struct Case {
        QByteArray path;
        QString command;
        QString error;
    };
    const Case cases[] = {
        {m_bin.path().toLocal8Bit(), u"mstsc.exe  /v 10.0.0.5 3 /shadow /NoConsentPrompt"_s,
         u"RDP-клиент не установлен (xfreerdp или remmina)."_s},
        {QByteArray(), u"mstsc.exe  /v 10.0.0.5 3 /shadow /NoConsentPrompt"_s,
         u"RDP-клиент не установлен (xfreerdp или remmina)."_s},
        {m_bin.path().toLocal8Bit(), u"mstsc.exe /shadow /NoConsentPrompt"_s, u"Не указан адрес сервера"_s},
        {m_bin.path().toLocal8Bit(), u"mstsc.exe /v"_s, u"Не указан адрес сервера"_s},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command.toStdString());
        ScopedEnv path("PATH", c.path);
        const Result r = run(CommandLine(c.command));
        EXPECT_NE(r.code, 0);
        EXPECT_TRUE(r.err.contains(c.error)) << r.err.toStdString();
    }
    // With a client in place, a missing address still starts nothing.
    install(u"xfreerdp"_s);
    EXPECT_NE(run(CommandLine(u"mstsc.exe /shadow"_s)).code, 0);
    EXPECT_FALSE(waitUntil([&] { return QFile::exists(m_bin.filePath(u"xfreerdp.argv"_s)); }, 300));
}

TEST_F(MstscCommand, AnAddressOrIdIsOneArgumentAndStartsNothingElse)
{
    install(u"xfreerdp"_s);
    const QString marker = m_work.filePath(u"MARK"_s);
    const QStringList hostile = {
        u"$(/usr/bin/touch MARK)"_s,
        u"x;/usr/bin/touch MARK"_s,
        u"x&&/usr/bin/touch MARK"_s,
        u"x|/usr/bin/touch MARK"_s,
        u"`/usr/bin/touch MARK`"_s,
        u"x\" & /usr/bin/touch MARK & \""_s,
        u"x\" > MARK & \""_s,
    };
    for (const QString &h : hostile) {
        const QString value = QString(h).replace(u"MARK"_s, marker);
        SCOPED_TRACE(value.toStdString());
        const Result r = run(CommandLine(u"mstsc.exe  /v %1 %2 /shadow /NoConsentPrompt"_s, {value, u"3"_s}));
        const QStringList argv = waitForClient();
        // A value's blanks and quotes are its own characters: it stays one argument.
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(argv, (QStringList{u"xfreerdp"_s, u"/v:"_s + value, u"/t:Dozorix: %1, сеанс 3 (просмотр)"_s.arg(value)}));
        run(CommandLine(u"mstsc.exe  /v 10.0.0.5 %1 /shadow /NoConsentPrompt"_s, {value}));
        EXPECT_EQ(waitForClient().value(2), u"/t:Dozorix: 10.0.0.5, сеанс %1 (просмотр)"_s.arg(value));
        EXPECT_FALSE(QFile::exists(marker));
    }
}
