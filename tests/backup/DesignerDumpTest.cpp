// The designer's side of a client-server backup: finding the designer in
// the Linux install layout, its command, and a stand-in designer started
// the way the runner starts it, with and without a display.

#include "backup/DesignerDump.h"
#include "common/TextCodec.h"
#include "shell/CommandRunner.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

// A designer stand-in: records its arguments and environment's DISPLAY in
// the dump file and writes the success line to the /OUT file in
// Windows-1251, as the designer on a Russian Windows does.
const char *kStandIn = R"(#!/usr/bin/python3
import json, os, sys
args = sys.argv[1:]
dump = args[args.index('/DumpIB') + 1]
out = args[args.index('/OUT') + 1]
with open(dump, 'w', encoding='utf-8') as f:
    json.dump({'args': args, 'display': os.environ.get('DISPLAY', '')}, f, ensure_ascii=False)
with open(out, 'wb') as f:
    f.write('Выгрузка информационной базы успешно завершена\r\n'.encode('cp1251'))
)";

void makeProgram(const QString &path, const QByteArray &content = "#!/bin/sh\n", bool executable = true)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content);
    f.close();
    f.setPermissions(executable ? QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner : QFile::ReadOwner);
}

} // namespace

TEST(Designer, TheNewestInstalledPlatformOfTheConnectorIsTaken)
{
    QTemporaryDir opt;
    const QString root = opt.path();
    for (const char *version : {"8.3.22.1709", "8.3.24.1548", "8.3.9.2233"})
        makeProgram(root + u"/1cv8/x86_64/"_s + QString::fromLatin1(version) + u"/1cv8"_s);
    makeProgram(root + u"/1cv8/x86_64/8.3.25.1000/1cv8"_s, "#!/bin/sh\n", false); // not executable
    makeProgram(root + u"/1cv8/8.2.19.130/1cv8"_s);
    makeProgram(root + u"/1cv8/common/1cestart"_s);
    const struct {
        const char *connector;
        QString program;
    } cases[] = {
        {"V83.ComConnector", root + u"/1cv8/x86_64/8.3.24.1548/1cv8"_s},
        {"V82.ComConnector", root + u"/1cv8/8.2.19.130/1cv8"_s},
        {"V81.ComConnector", root + u"/1cv8/common/1cestart"_s},
        {"V77.Application", QString()},
        {"", QString()},
    };
    for (const auto &c : cases)
        EXPECT_EQ(designerProgram(QString::fromLatin1(c.connector), root), c.program) << c.connector;

    // Nothing installed: the Windows layout of the same folder.
    QFile::remove(root + u"/1cv8/common/1cestart"_s);
    EXPECT_EQ(designerProgram(u"V81.ComConnector"_s, root), root + u"\\1cv81\\bin\\1cv8.exe"_s);
    EXPECT_EQ(designerProgram(u"V8.ComConnector"_s, root), root + u"\\1cv8\\bin\\1cv8.exe"_s);
}

TEST(Designer, TheCommandTextIsExactAndItsValuesStayValues)
{
    EXPECT_EQ(designerCommand(u"/opt/1cv8/x86_64/8.3.24.1548/1cv8"_s, u"srv1c\\buh"_s,
                              u"/backup/Зарплата_09_12_2026__01_30_00_.dt"_s, u"Админ"_s, u"p&w\"d"_s,
                              u"/opt/dozorix/temp.txt"_s)
                  .toString(),
              u"/C chcp 1251 && \"/opt/1cv8/x86_64/8.3.24.1548/1cv8\" CONFIG /Ssrv1c\\buh /DisableStartupDialogs "
              "/DisableStartupMessages "
              "/DumpIB \"/backup/Зарплата_09_12_2026__01_30_00_.dt\" /N Админ /P p&w\"d  /OUT "
              "\"/opt/dozorix/temp.txt\" -NoTruncate"_s);
}

TEST(Designer, TheResultFileIsReadInTheEncodingItWasWrittenIn)
{
    const QString ok = kDumpSucceededLine;
    const struct {
        const char *name;
        QByteArray bytes;
        QStringList lines;
    } cases[] = {
        {"Windows-1251, CR LF", toCp1251(ok + u"\r\n"_s), {ok}},
        {"UTF-8", (ok + u"\n"_s).toUtf8(), {ok}},
        {"UTF-8 with mark", "\xEF\xBB\xBF" + (u"Ошибка\r\n"_s + ok).toUtf8(), {u"Ошибка"_s, ok}},
        {"empty: not finished yet", QByteArray(), {}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(designerResultLines(c.bytes), c.lines) << c.name;
}

TEST(Designer, TheDesignerRunsWithAndWithoutADisplay)
{
    ProgramHome home;
    QTemporaryDir opt;
    const QString program = opt.path() + u"/1cv8/x86_64/8.3.24.1548/1cv8"_s;
    makeProgram(program, kStandIn);
    ASSERT_EQ(designerProgram(u"V83.ComConnector"_s, opt.path()), program);
    const QString marker = home.file(u"pwned"_s);
    const QString password = u"x\" & touch "_s + marker + u" & \""_s;
    for (const bool withoutDisplay : {false, true}) {
        SCOPED_TRACE(withoutDisplay ? "xvfb-run" : "own display");
        const QString dump = home.file(withoutDisplay ? u"b_.dt"_s : u"a_.dt"_s);
        const QString out = home.file(u"temp.txt"_s);
        QFile::remove(out);
        ScopedEnv display("DISPLAY", withoutDisplay ? QByteArray() : QByteArray(":77"));
        if (withoutDisplay)
            ::unsetenv("DISPLAY");
        const CommandLine command =
            withoutDisplay ? designerCommandWithoutDisplay(program, u"srv1c\\buh"_s, dump, u"Админ"_s, password, out)
                           : designerCommand(program, u"srv1c\\buh"_s, dump, u"Админ"_s, password, out);
        LaunchShellHidden(command);
        ASSERT_TRUE(waitForBackgroundCommands(60000));
        QFile f(dump);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << dump.toStdString();
        const QString recorded = QString::fromUtf8(f.readAll());
        EXPECT_TRUE(recorded.contains(u"\"CONFIG\", \"/Ssrv1c\\\\buh\""_s)) << recorded.toStdString();
        EXPECT_TRUE(recorded.contains(u"\"/P\", \"x\\\" & touch "_s)) << recorded.toStdString();
        if (withoutDisplay)
            EXPECT_TRUE(recorded.contains(u"\"display\": \":"_s)) << recorded.toStdString(); // xvfb-run's
        else
            EXPECT_TRUE(recorded.contains(u"\"display\": \":77\""_s)) << recorded.toStdString();
        QFile result(out);
        ASSERT_TRUE(result.open(QIODevice::ReadOnly));
        EXPECT_EQ(designerResultLines(result.readAll()), QStringList{kDumpSucceededLine});
    }
    EXPECT_FALSE(QFileInfo::exists(marker));
}

// A designer gone wrong may write gigabytes into its result file: the poll
// reads its tail only, whole lines of it, in the file's own encoding.
TEST(Designer, OnlyTheTailOfAHugeResultFileIsRead)
{
    ProgramHome home;
    const QString path = home.file(u"temp.txt"_s);
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        const QByteArray line = toCp1251(u"Ошибка формата потока\r\n"_s);
        QByteArray block;
        while (block.size() < (1 << 20))
            block += line;
        for (int i = 0; i < 40; ++i) // 40 MiB of short lines
            f.write(block);
        f.write(toCp1251(u"Последняя строка: ошибка\r\n"_s));
    }
    const qint64 size = QFileInfo(path).size();
    const DesignerResult r = readDesignerResult(path);
    EXPECT_EQ(r.fileSize, size);
    EXPECT_EQ(r.headBytes, size - kDesignerResultTail);
    ASSERT_FALSE(r.lines.isEmpty());
    EXPECT_LT(r.lines.size(), 4000); // 64 KiB of 23-byte lines, not two million
    EXPECT_EQ(r.lines.last(), u"Последняя строка: ошибка"_s);
    for (const QString &line : r.lines.mid(0, r.lines.size() - 1))
        ASSERT_EQ(line, u"Ошибка формата потока"_s); // the cut first line is left out

    // A small file is read whole; UTF-16 keeps its code units when cut.
    const struct {
        const char *name;
        QByteArray bytes;
    } cases[] = {
        {"UTF-8 with mark", "\xEF\xBB\xBF" + (u"Ошибка\r\n"_s + kDumpSucceededLine + u"\r\n"_s).toUtf8()},
        {"UTF-16 LE", "\xFF\xFE" + toUtf16Bytes(u"Ошибка\r\n"_s + kDumpSucceededLine + u"\r\n"_s, false)},
    };
    for (const auto &c : cases) {
        home.write(u"temp.txt"_s, c.bytes);
        EXPECT_EQ(readDesignerResult(path).lines, (QStringList{u"Ошибка"_s, kDumpSucceededLine})) << c.name;
        EXPECT_EQ(readDesignerResult(path).headBytes, 0) << c.name;
    }
    QByteArray utf16 = "\xFF\xFE";
    for (int i = 0; i < 5000; ++i)
        utf16 += toUtf16Bytes(u"Строка %1\r\n"_s.arg(i), false);
    home.write(u"temp.txt"_s, utf16);
    const DesignerResult cut = readDesignerResult(path, 1001); // an odd tail: whole code units all the same
    ASSERT_FALSE(cut.lines.isEmpty());
    EXPECT_EQ(cut.lines.last(), u"Строка 4999"_s);
    EXPECT_TRUE(cut.lines.first().startsWith(u"Строка "_s)) << cut.lines.first().toStdString();

    // Missing: nothing yet.
    QFile::remove(path);
    EXPECT_TRUE(readDesignerResult(path).lines.isEmpty());
}

// The designer runs as the console's user, root at night: one that another
// account could have put there or changed is passed over, and the log says why.
TEST(Designer, OnlyADesignerNoOneElseCouldHaveChangedIsTaken)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give files to another account";
    constexpr uid_t kNobody = 65534;
    QTemporaryDir opt;
    QTemporaryDir elsewhere;
    const QString root = opt.path() + u"/1cv8/x86_64/"_s;
    makeProgram(root + u"8.3.22.1709/1cv8"_s);
    // Newer, but open to everyone's writing.
    makeProgram(root + u"8.3.99.1/1cv8"_s);
    ASSERT_EQ(::chmod(QFile::encodeName(root + u"8.3.99.1/1cv8"_s).constData(), 0777), 0);
    // Newer, in a folder of another account.
    makeProgram(root + u"8.3.98.1/1cv8"_s);
    ASSERT_EQ(::chown(QFile::encodeName(root + u"8.3.98.1"_s).constData(), kNobody, kNobody), 0);
    // Newer, a link of root's own into a folder of another account.
    makeProgram(elsewhere.path() + u"/planted/1cv8"_s);
    ASSERT_EQ(::chown(QFile::encodeName(elsewhere.path() + u"/planted"_s).constData(), kNobody, kNobody), 0);
    ASSERT_TRUE(QFile::link(elsewhere.path() + u"/planted"_s, root + u"8.3.100.1"_s));

    QStringList passedOver;
    EXPECT_EQ(designerProgram(u"V83.ComConnector"_s, opt.path(), &passedOver), root + u"8.3.22.1709/1cv8"_s);
    ASSERT_EQ(passedOver.size(), 3) << passedOver.join(u'\n').toStdString();
    const QString all = passedOver.join(u'\n');
    EXPECT_TRUE(all.contains(u"Конфигуратор "_s + root + u"8.3.99.1/1cv8 пропущен: «"_s + root
                             + u"8.3.99.1/1cv8» доступен для записи группе или другим пользователям"_s))
        << all.toStdString();
    EXPECT_TRUE(all.contains(u"владелец «"_s + root + u"8.3.98.1» — не root и не пользователь консоли (uid 65534)"_s))
        << all.toStdString();
    EXPECT_TRUE(all.contains(u"владелец «"_s + elsewhere.path() + u"/planted» — не root"_s)) << all.toStdString();

    // A trusted program: no reason; a /tmp-like folder (sticky, root's) is fine.
    EXPECT_EQ(untrustedProgramReason(root + u"8.3.22.1709/1cv8"_s), QString());
}
