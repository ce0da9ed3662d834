// The /proc process table against real child processes.

#include "common/SystemHelpers.h"
#include "platform/linux/LinuxProcessTable.h"
#include "support/ChildProcesses.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

TEST(ProcessTable, SeesAChildWithItsNameOwnerAndGrowingTime)
{
    // A busy child: "yes" writing into /dev/null.
    NamedChild ragent(u"ragent"_s, u"/usr/bin/yes"_s, {});
    LinuxProcessTable table;
    ProcessInfo first;
    ASSERT_TRUE(waitUntil([&] {
        const auto all = table.snapshot();
        const ProcessInfo *p = findPid(all, ragent.pid());
        if (p && p->imageName == u"ragent"_s)
            first = *p;
        return p && p->imageName == u"ragent"_s;
    }));
    EXPECT_EQ(first.ppid, ::getpid());
    EXPECT_EQ(first.ownerName, GetUserNameText());
    EXPECT_EQ(first.ownerUid, ::geteuid());
    EXPECT_FALSE(first.zombie);
    EXPECT_FALSE(first.kernelThread);

    EXPECT_TRUE(waitUntil([&] {
        const auto all = table.snapshot();
        const ProcessInfo *p = findPid(all, ragent.pid());
        return p && p->userTime + p->kernelTime > first.userTime + first.kernelTime && p->residentBytes > 0;
    }));
    EXPECT_EQ(table.processorCount(), static_cast<int>(::sysconf(_SC_NPROCESSORS_ONLN)));
}

TEST(ProcessTable, KeepsNamesLongerThanTheKernelsFifteen)
{
    NamedChild client(u"1cv8c_long_image_name"_s, u"/bin/sleep"_s, {u"120"_s});
    LinuxProcessTable table;
    EXPECT_TRUE(waitUntil([&] {
        const auto all = table.snapshot();
        const ProcessInfo *p = findPid(all, client.pid());
        return p && p->imageName == u"1cv8c_long_image_name"_s;
    }));
}

TEST(ProcessTable, ImageNameFromCommAndArgv0)
{
    struct Case {
        QByteArray comm;
        QByteArray cmdline;
        QString name;
    };
    const Case cases[] = {
        {"rphost", QByteArray("/opt/1cv8/x86_64/8.3.24/rphost\0-range\0", 39), u"rphost"_s},
        {"1cv8c_long_imag", QByteArray("/opt/x/1cv8c_long_image_name\0", 29), u"1cv8c_long_image_name"_s},
        {"1cv8c_long_imag", QByteArray("C:\\Program Files\\1cv8\\1cv8c_long_image_name.exe\0", 48),
         u"1cv8c_long_image_name.exe"_s},                                         // Wine
        {"1cv8c_long_imag", QByteArray("/usr/bin/python3\0", 17), u"1cv8c_long_imag"_s}, // a renamed thread
        {"1cv8c_long_imag", QByteArray(), u"1cv8c_long_imag"_s},                  // cmdline unreadable
        {"short", QByteArray("/x/short_but_longer\0", 20), u"short"_s},
    };
    for (const Case &c : cases)
        EXPECT_EQ(LinuxProcessTable::imageNameFrom(c.comm, c.cmdline), c.name) << c.comm.constData();
}

TEST(ProcessTable, MarksZombiesAndKernelThreads)
{
    // The shell's first child ends and is never reaped: the exec'd sleep
    // does not wait for children it did not start.
    NamedChild parent(u"rmngr"_s, u"/bin/sh"_s, {u"-c"_s, u"/bin/true & exec /bin/sleep 120"_s});
    LinuxProcessTable table;
    EXPECT_TRUE(waitUntil([&] {
        for (const ProcessInfo &p : table.snapshot()) {
            if (p.ppid == parent.pid() && p.zombie)
                return true;
        }
        return false;
    }));

    const auto all = table.snapshot();
    const ProcessInfo *kthreadd = findPid(all, 2);
    if (kthreadd && kthreadd->imageName == u"kthreadd"_s) {
        EXPECT_TRUE(kthreadd->kernelThread);
    }
    const ProcessInfo *self = findPid(all, ::getpid());
    ASSERT_NE(self, nullptr);
    EXPECT_FALSE(self->kernelThread);
}
