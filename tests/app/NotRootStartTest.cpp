// The start of a console that is not root: one ordinary line after the
// start line says which actions will ask for the administrator's password
// and how else to get them; root's start has no such line.

#include "app/ui/EventLog.h"
#include "app/ui/Startup.h"
#include "app/ui/TForm1.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QColor>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

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

struct Line {
    QString text;
    QColor colour;
};

// The event log of one start, up to the moment the main window shows.
std::vector<Line> startLog(const char *euid)
{
    ConsoleScope console;
    ScopedEnv assumed("DOZORIX_ASSUME_EUID", euid);
    console.home.write(u"Example.ini"_s, "[settings]\r\nTrey=0\r\n");
    Startup startup({});
    std::vector<Line> lines;
    when([&] { return startup.mainWindow() && startup.mainWindow()->isVisible(); }, [&] {
        EventLog *log = startup.mainWindow()->eventLog();
        for (int i = 0; i < log->lineCount(); ++i)
            lines.push_back({unstamped(log->lineText(i)), log->lineColour(i)});
        startup.mainWindow()->ShutdownProgram();
    });
    EXPECT_EQ(startup.run(), 0);
    return lines;
}

} // namespace

TEST(NotRootStart, OneLineSaysWhatNeedsRootOnlyWhenTheConsoleIsNotRoot)
{
    const QString notice = u"Консоль запущена не от root: завершение чужих процессов, службы 1С, запрет входа и "
                           u"действия с чужими сеансами потребуют пароль администратора (polkit) или запуск от root."_s;
    const struct {
        const char *euid;
        bool noticed;
    } cases[] = {{"1000", true}, {"0", false}};
    for (const auto &c : cases) {
        const std::vector<Line> lines = startLog(c.euid);
        ASSERT_GE(lines.size(), 1u) << c.euid;
        EXPECT_EQ(lines[0].text, u"Программа Dozorix успешно стартовала. "_s);
        qsizetype count = 0;
        for (const Line &line : lines) {
            if (line.text.contains(u"не от root"_s)) {
                ++count;
                EXPECT_EQ(line.text, notice);
                EXPECT_EQ(line.colour, QColor(Qt::black));
            }
        }
        EXPECT_EQ(count, c.noticed ? 1 : 0) << c.euid;
        if (c.noticed) {
            EXPECT_EQ(lines.at(1).text, notice); // right after the start line
        }
    }
}
