#include "common/Stamps.h"
#include "monitor/ImageNames.h"
#include "monitor/ProcessSampler.h"

#include <gtest/gtest.h>

using namespace dozorix;

namespace {

constexpr quint64 kSecond = 10000000; // 100-ns units

TProcess proc(quint32 pid, const char *image, quint64 user, quint64 kernel = 0)
{
    TProcess p;
    p.PID = pid;
    p.Process = pid == 0 ? kIdleImageName : QString::fromUtf8(image);
    p.UserTime = user;
    p.KernelTime = kernel;
    return p;
}

QString cell(const ProcessSampler &s, quint32 pid, int column)
{
    for (const auto &row : s.rows()) {
        if (row.cells[ProcessSampler::ColPid] == QString::number(pid))
            return row.cells[column];
    }
    return QStringLiteral("<no row>");
}

const auto noOwner = [](quint32) { return QString(); };
const auto noMemory = [](quint32) { return quint64(0); };

} // namespace

TEST(ProcessSampler, FirstRefreshShowsOnlyTheIdleRow)
{
    ProcessSampler s(4);
    ASSERT_TRUE(s.refresh({proc(0, nullptr, 0), proc(100, "rphost.exe", 5 * kSecond), proc(200, "1cv8c.exe", kSecond),
                           proc(300, "Dozorix.exe", kSecond)},
                          1000, noOwner, noMemory));
    ASSERT_EQ(s.rows().size(), 4u);
    EXPECT_EQ(cell(s, 0, ProcessSampler::ColCpu), QStringLiteral("100.00"));
    EXPECT_EQ(cell(s, 0, ProcessSampler::ColImage), QStringLiteral("Бездействие системы"));
    EXPECT_EQ(cell(s, 0, ProcessSampler::ColDescription), QStringLiteral("Свободно ресурсов от 1С"));
    EXPECT_EQ(cell(s, 100, ProcessSampler::ColCpu), QString());
    EXPECT_EQ(cell(s, 200, ProcessSampler::ColCpu), QString());
    EXPECT_EQ(s.clientLoad(), QStringLiteral("0"));
    EXPECT_EQ(s.serverLoad(), QStringLiteral("0"));
    EXPECT_EQ(s.totalLoad(), QStringLiteral("0"));
    EXPECT_EQ(s.processCount(), QStringLiteral("2"));
    ASSERT_TRUE(s.lastPoint().has_value());
    EXPECT_EQ(s.lastPoint()->x, 0);
    EXPECT_EQ(s.lastPoint()->client, 0);
    EXPECT_EQ(s.lastPoint()->server, 0);
}

TEST(ProcessSampler, SharesLoadsAndIdle)
{
    ProcessSampler s(4);
    s.refresh({proc(0, nullptr, 0), proc(100, "rphost.exe", 0), proc(200, "1cv8c.exe", 0), proc(201, "1cv8.exe", 0)},
              1000, noOwner, noMemory);
    // 0.2 s of an rphost on 4 processors in 1000 ms is 5 %; the clients 1.5 % and 2.25 %.
    s.refresh({proc(0, nullptr, 0), proc(100, "rphost.exe", kSecond / 10, kSecond / 10),
               proc(200, "1cv8c.exe", 600000), proc(201, "1cv8.exe", 900000)},
              1000, noOwner, noMemory);
    EXPECT_EQ(cell(s, 100, ProcessSampler::ColCpu), QStringLiteral("5.00"));
    EXPECT_EQ(cell(s, 200, ProcessSampler::ColCpu), QStringLiteral("1.50"));
    EXPECT_EQ(cell(s, 201, ProcessSampler::ColCpu), QStringLiteral("2.25"));
    EXPECT_EQ(cell(s, 0, ProcessSampler::ColCpu), QStringLiteral("91.25"));
    EXPECT_EQ(s.clientLoad(), QStringLiteral("3.75"));
    EXPECT_EQ(s.serverLoad(), QStringLiteral("5"));
    EXPECT_EQ(s.totalLoad(), QStringLiteral("8.75"));
    ASSERT_TRUE(s.lastPoint());
    EXPECT_EQ(s.lastPoint()->x, 1);
    EXPECT_DOUBLE_EQ(s.lastPoint()->client, 3.75);
    EXPECT_DOUBLE_EQ(s.lastPoint()->server, 5);
}

TEST(ProcessSampler, ClientsOnlyLeaveTheServerBoxAtZero)
{
    ProcessSampler s(1);
    s.refresh({proc(0, nullptr, 0), proc(200, "1cv8c.exe", 0), proc(201, "1cv7.exe", 0)}, 1000, noOwner, noMemory);
    s.refresh({proc(0, nullptr, 0), proc(200, "1cv8c.exe", 150000), proc(201, "1cv7.exe", 225000)}, 1000, noOwner, noMemory);
    EXPECT_EQ(s.clientLoad(), QStringLiteral("3.75"));
    EXPECT_EQ(s.serverLoad(), QStringLiteral("0"));
    EXPECT_EQ(s.totalLoad(), QStringLiteral("3.75"));
}

TEST(ProcessSampler, EndedProcessLeavesAtTheNextRefreshAndOrderIsKept)
{
    ProcessSampler s(2);
    const auto order = [&] {
        QStringList pids;
        for (const auto &row : s.rows())
            pids << row.cells[ProcessSampler::ColPid];
        return pids;
    };
    s.refresh({proc(0, nullptr, 0), proc(30, "rphost.exe", 0), proc(10, "rmngr.exe", 0), proc(20, "ragent.exe", 0)},
              1000, noOwner, noMemory);
    EXPECT_EQ(order(), (QStringList{"0", "30", "10", "20"}));
    s.refresh({proc(0, nullptr, 0), proc(30, "rphost.exe", 0), proc(20, "ragent.exe", 0), proc(5, "1cv8c.exe", 0)},
              1000, noOwner, noMemory);
    EXPECT_EQ(order(), (QStringList{"0", "30", "20", "5"}));
    // An empty snapshot (a failed query) empties the list.
    s.refresh({}, 1000, noOwner, noMemory);
    EXPECT_TRUE(s.rows().empty());
    s.refresh({proc(0, nullptr, 0), proc(30, "rphost.exe", 7)}, 1000, noOwner, noMemory);
    EXPECT_EQ(order(), (QStringList{"0", "30"}));
    EXPECT_EQ(cell(s, 30, ProcessSampler::ColCpu), QString()); // new again
}

TEST(ProcessSampler, LargeTimesAndMemoryTotals)
{
    ProcessSampler s(1);
    // More than 2^32 units of accumulated time still gives the true share.
    const quint64 big = (quint64(1) << 33) + 12345;
    s.refresh({proc(0, nullptr, 0), proc(100, "rphost.exe", big)}, 1000, noOwner, noMemory);
    const auto memory = [](quint32 pid) -> quint64 { return pid == 100 ? quint64(4000000) * 1024 : quint64(1000000) * 1024; };
    s.refresh({proc(0, nullptr, 0), proc(100, "rphost.exe", big + kSecond / 2)}, 1000, noOwner, memory);
    EXPECT_EQ(cell(s, 100, ProcessSampler::ColCpu), QStringLiteral("50.00"));
    EXPECT_EQ(cell(s, 100, ProcessSampler::ColMemory), QStringLiteral("4000000 KБ"));
    EXPECT_EQ(s.memoryTotal(), QStringLiteral("5 GB")); // 5 000 000 KB = 5 120 000 000 bytes
}

TEST(ProcessSampler, MemoryCellRoundsHalvesToEven)
{
    struct Case {
        quint64 bytes;
        const char *cell;
    } cases[] = {{0, "0 KБ"}, {511, "0 KБ"}, {512, "0 KБ"}, {1536, "2 KБ"}, {2560, "2 KБ"}, {2561, "3 KБ"}};
    for (const auto &c : cases) {
        ProcessSampler s(1);
        s.refresh({proc(100, "rphost.exe", 0)}, 1000, noOwner, [&](quint32) { return c.bytes; });
        EXPECT_EQ(cell(s, 100, ProcessSampler::ColMemory), QString::fromUtf8(c.cell)) << c.bytes;
    }
}

TEST(ProcessSampler, OwnerCellAndZeroElapsedTime)
{
    ProcessSampler s(1);
    const auto owner = [](quint32 pid) { return pid == 100 ? QStringLiteral("usr1cv8") : QString(); };
    s.refresh({proc(0, nullptr, 0), proc(100, "rphost.exe", 0)}, 1000, owner, noMemory);
    s.refresh({proc(0, nullptr, 0), proc(100, "rphost.exe", kSecond / 10)}, 1000, owner, noMemory);
    EXPECT_EQ(cell(s, 100, ProcessSampler::ColUser), QStringLiteral("usr1cv8"));
    EXPECT_EQ(cell(s, 0, ProcessSampler::ColUser), QString());
    EXPECT_EQ(cell(s, 100, ProcessSampler::ColCpu), QStringLiteral("10.00"));

    // Two refreshes within one tick: nothing changes, and the time used
    // meanwhile is counted by the next real refresh.
    EXPECT_FALSE(s.refresh({proc(0, nullptr, 0), proc(100, "rphost.exe", kSecond / 5)}, 0, owner, noMemory));
    EXPECT_EQ(cell(s, 100, ProcessSampler::ColCpu), QStringLiteral("10.00"));
    EXPECT_TRUE(s.refresh({proc(0, nullptr, 0), proc(100, "rphost.exe", kSecond * 3 / 10)}, 1000, owner, noMemory));
    EXPECT_EQ(cell(s, 100, ProcessSampler::ColCpu), QStringLiteral("20.00"));
}

TEST(ProcessSampler, ChartWindowMovesAfterAHundredPoints)
{
    ProcessSampler s(1);
    for (int i = 0; i < 150; ++i)
        s.refresh({proc(0, nullptr, 0)}, 1000, noOwner, noMemory);
    EXPECT_EQ(s.chartX(), 150);
    EXPECT_EQ(s.axisMax(), 150);
    EXPECT_EQ(s.axisMin(), 50);
    EXPECT_EQ(s.lastPoint()->x, 149);
}

TEST(ImageNames, NativeAndWineNames)
{
    struct Case {
        const char *native;
        const char *shown;
        bool kept;
    } cases[] = {
        {"rphost", "rphost.exe", true}, {"1cv8c", "1cv8c.exe", true}, {"1cv8c.exe", "1cv8c.exe", true},
        {"ragent", "ragent.exe", true}, {"rmngr", "rmngr.exe", true}, {"1cv7.exe", "1cv7.exe", true},
        {"1cv8", "1cv8.exe", true},     {"bash", "bash.exe", false},  {"RPHOST.EXE", "RPHOST.EXE", false},
        {"rphost2", "rphost2.exe", false}, {"ras", "ras.exe", true},        {"ibsrv", "ibsrv.exe", true},
        {"1cv8s", "1cv8s.exe", true},       {"rasx", "rasx.exe", false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(windowsImageName(QString::fromUtf8(c.native)), QString::fromUtf8(c.shown)) << c.native;
        EXPECT_EQ(isKeptImage(windowsImageName(QString::fromUtf8(c.native))), c.kept) << c.native;
    }
    EXPECT_TRUE(isKeptImage(kSelfImageName));
    EXPECT_EQ(imageDescription(QStringLiteral("Dozorix.exe")), QStringLiteral("Dozorix."));
    EXPECT_EQ(loadKindOfDescription(imageDescription(QStringLiteral("1cv7.exe"))), LoadKind::Client);
    EXPECT_EQ(loadKindOfDescription(imageDescription(QStringLiteral("rmngr.exe"))), LoadKind::Server);
}

// A Linux 1C server: the administration server and the standalone server
// load the server, the launcher loads the clients, and all three are counted.
TEST(ProcessSampler, LinuxServerProcessesCountWithTheirSide)
{
    ProcessSampler s(1);
    s.refresh({proc(0, nullptr, 0), proc(100, "ras.exe", 0), proc(101, "ibsrv.exe", 0), proc(200, "1cv8s.exe", 0),
               proc(300, "bash.exe", 0)},
              1000, noOwner, noMemory);
    s.refresh({proc(0, nullptr, 0), proc(100, "ras.exe", 100000), proc(101, "ibsrv.exe", 200000), proc(200, "1cv8s.exe", 50000),
               proc(300, "bash.exe", 400000)},
              1000, noOwner, noMemory);
    EXPECT_EQ(s.serverLoad(), QStringLiteral("3"));
    EXPECT_EQ(s.clientLoad(), QStringLiteral("0.5"));
    EXPECT_EQ(s.processCount(), QStringLiteral("3"));
    EXPECT_EQ(cell(s, 100, ProcessSampler::ColDescription), QStringLiteral("Сервер администрирования 1С."));
    EXPECT_EQ(cell(s, 101, ProcessSampler::ColDescription), QStringLiteral("Автономный сервер 1С."));
    EXPECT_EQ(cell(s, 200, ProcessSampler::ColDescription), QStringLiteral("Стартер 1С Предприятия."));
    // A process of neither side (the snapshot keeps none, see ImageNames) adds nothing.
    EXPECT_EQ(cell(s, 300, ProcessSampler::ColDescription), QString());
    EXPECT_EQ(s.totalLoad(), QStringLiteral("3.5"));
}

// The kept name of a native name, found without making the Windows form of
// every name in the table, is the one the Windows form decides.
TEST(ImageNames, KeptWindowsNameAgreesWithTheWindowsForm)
{
    const char *names[] = {"rphost",     "rphost.exe", "rphost.EXE", "RPHOST",      "rphost.exe.exe", "1cv7",
                           "1cv7.exe",   "1cv7.EXE",   "1cv8c",      "1cv8",        "1cv8s",          "ras",
                           "ibsrv",      "ragent",     "rmngr",      "Dozorix",     "Dozorix.exe",    "dozorix.exe",
                           "",           ".exe",       "exe",        "rphos",       "rphost2",        "bash",
                           "Бездействие системы"};
    for (const char *n : names) {
        const QString native = QString::fromUtf8(n);
        const QString windows = windowsImageName(native);
        const QString *kept = keptWindowsName(native);
        EXPECT_EQ(kept != nullptr, isKeptImage(windows)) << n;
        if (kept) {
            EXPECT_EQ(*kept, windows) << n;
        }
    }
}

// Rows are reused: when a process leaves, the rows after it show the next
// processes with all their texts, and a row's memory follows its process.
TEST(ProcessSampler, ReusedRowsShowTheirNewProcess)
{
    ProcessSampler s(1);
    QHash<quint32, quint64> memory{{10, 1024 * 1024}, {20, 2048 * 1024}, {30, 4096}};
    QHash<quint32, QString> owners{{10, QStringLiteral("usr1cv8")}, {20, QStringLiteral("buh")}, {30, QStringLiteral("root")}};
    const auto owner = [&](quint32 pid) { return owners.value(pid); };
    const auto mem = [&](quint32 pid) { return memory.value(pid); };
    const auto row = [&](size_t i) {
        const auto &cells = s.rows().at(i).cells;
        return QStringList{cells[ProcessSampler::ColImage], cells[ProcessSampler::ColPid],
                           cells[ProcessSampler::ColMemory], cells[ProcessSampler::ColUser],
                           cells[ProcessSampler::ColDescription]};
    };
    s.refresh({proc(0, nullptr, 0), proc(10, "rphost.exe", 0), proc(20, "1cv8c.exe", 0)}, 1000, owner, mem);
    EXPECT_EQ(row(1), (QStringList{"rphost.exe", "10", "1024 KБ", "usr1cv8", "Рабочий процесс сервера 1С."}));

    s.refresh({proc(0, nullptr, 0), proc(20, "1cv8c.exe", 0)}, 1000, owner, mem);
    ASSERT_EQ(s.rows().size(), 2u);
    EXPECT_EQ(row(1), (QStringList{"1cv8c.exe", "20", "2048 KБ", "buh", "Тонкий клиент 1С Предприятия."}));

    memory[20] = 3000 * 1024;
    owners[20] = QStringLiteral("zup");
    s.refresh({proc(0, nullptr, 0), proc(20, "1cv8c.exe", 0), proc(30, "ragent.exe", 0)}, 1000, owner, mem);
    ASSERT_EQ(s.rows().size(), 3u);
    EXPECT_EQ(row(1), (QStringList{"1cv8c.exe", "20", "3000 KБ", "zup", "Тонкий клиент 1С Предприятия."}));
    EXPECT_EQ(row(2), (QStringList{"ragent.exe", "30", "4 KБ", "root", "Агент сервера 1С."}));
    EXPECT_EQ(s.memoryTotal(), FormatSize(3004 * 1024));

    // A row that shows the next process of the same image.
    memory[31] = 8192;
    s.refresh({proc(0, nullptr, 0), proc(20, "1cv8c.exe", 0), proc(30, "ragent.exe", 0), proc(31, "ragent.exe", 0)},
              1000, owner, mem);
    s.refresh({proc(0, nullptr, 0), proc(20, "1cv8c.exe", 0), proc(31, "ragent.exe", 0)}, 1000, owner, mem);
    ASSERT_EQ(s.rows().size(), 3u);
    EXPECT_EQ(row(2), (QStringList{"ragent.exe", "31", "8 KБ", "", "Агент сервера 1С."}));

    // All gone, then a process under a pid seen before, in a row made anew.
    s.refresh({}, 1000, owner, mem);
    s.refresh({proc(0, nullptr, 0), proc(10, "rmngr.exe", 0)}, 1000, owner, mem);
    ASSERT_EQ(s.rows().size(), 2u);
    EXPECT_EQ(row(1), (QStringList{"rmngr.exe", "10", "1024 KБ", "usr1cv8", "Менеджер сервера 1С."}));
}
