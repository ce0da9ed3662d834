// The start-up warning about a settings file with passwords that group or
// others may read: the red line right after the start line, once, in the
// event log and in Dozorix.log, and never for a file only its owner reads.
#include "app/ui/EventLog.h"
#include "app/ui/Startup.h"
#include "app/ui/TForm1.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QFile>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>

#include <sys/stat.h>

using namespace dozorix;
using namespace dozorix::test;

namespace {

// Polls cond on the running event loop and calls then() once it holds.
void when(const std::function<bool()> &cond, const std::function<void()> &then, int budgetMs = 10000)
{
    auto *timer = new QTimer(qApp);
    auto left = std::make_shared<int>(budgetMs / 5);
    QObject::connect(timer, &QTimer::timeout, qApp, [=] {
        if (cond() || --*left <= 0) {
            timer->stop();
            timer->deleteLater();
            then();
        }
    });
    timer->start(5);
}

TEST(SettingsExposureAtStart, RedLineOnceAfterTheStartLineOnlyForAFileOthersMayRead)
{
    const struct {
        const char *what;
        mode_t mode;
        QByteArray ini;
        const char *warning; // the mode the line names; nullptr: no line
    } cases[] = {
        {"FTP password, 0644", 0644, "[settings]\r\nTrey=0\r\n[BACKUP]\r\nPassFTP=ftp-secret\r\n", "0644"},
        {"infobase password, 0640", 0640, "[settings]\r\nTrey=0\r\n[Base7]\r\nPassK=ключ\r\n", "0640"},
        {"FTP password, 0600", 0600, "[settings]\r\nTrey=0\r\n[BACKUP]\r\nPassFTP=ftp-secret\r\n", nullptr},
        {"no password, 0644", 0644, "[settings]\r\nTrey=0\r\nE-mail_Password=\r\n[BACKUP]\r\nPassFTP=\r\n", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ConsoleScope scope;
        scope.home.write(QStringLiteral("Example.ini"), c.ini);
        const QString path = scope.home.file(QStringLiteral("Example.ini"));
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), c.mode), 0);

        Startup startup({});
        QStringList lines;
        QList<QColor> colours;
        int reloads = 0;
        when([&] { return startup.mainWindow() && startup.mainWindow()->isVisible(); }, [&] {
            TForm1 *w = startup.mainWindow();
            // The settings are read again on the main window's timer: that
            // says nothing more.
            QObject::connect(w->Timer2(), &QTimer::timeout, w, [&] { ++reloads; });
            when([&] { return reloads >= 2; }, [&, w] {
                EventLog *log = w->eventLog();
                for (int i = 0; i < log->lineCount(); ++i) {
                    lines << log->lineText(i);
                    colours << log->lineColour(i);
                }
                w->ShutdownProgram();
            });
        });
        EXPECT_EQ(startup.run(), 0);
        EXPECT_GE(reloads, 2);
        ASSERT_FALSE(lines.isEmpty());
        EXPECT_TRUE(lines[0].endsWith(QStringLiteral(" : Программа Dozorix успешно стартовала. ")));
        const QString fileLog = QString::fromUtf8(scope.home.read(QStringLiteral("Dozorix.log")));
        const QString warning = QStringLiteral("Файл настроек %1 хранит пароли и доступен для чтения не только "
                                               "владельцу (права %2): выполните chmod 600 %1")
                                    .arg(path, QString::fromLatin1(c.warning ? c.warning : ""));
        if (c.warning) {
            ASSERT_EQ(lines.size(), 2) << lines.join(QLatin1Char('\n')).toStdString();
            EXPECT_EQ(unstamped(lines[1]), warning);
            EXPECT_NE(lines[1], unstamped(lines[1])) << "the line carries its stamp";
            EXPECT_EQ(colours[1], QColor(Qt::red));
            EXPECT_EQ(fileLog.count(QStringLiteral(" [red] ")), 1) << fileLog.toStdString();
            EXPECT_EQ(fileLog.count(warning), 1) << fileLog.toStdString();
        } else {
            EXPECT_EQ(lines.size(), 1) << lines.join(QLatin1Char('\n')).toStdString();
            EXPECT_FALSE(fileLog.contains(QStringLiteral("хранит пароли"))) << fileLog.toStdString();
            EXPECT_FALSE(fileLog.contains(QStringLiteral("[red]"))) << fileLog.toStdString();
        }
        struct stat st;
        ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.mode) << "the console leaves the mode as it is";
    }
}

} // namespace
