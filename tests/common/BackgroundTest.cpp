#include "common/Background.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <gtest/gtest.h>
#include <memory>

using namespace dozorix;

TEST(Background, TheResultComesBackOnTheOwnersThread)
{
    QObject owner;
    QThread *workThread = nullptr;
    QThread *doneThread = nullptr;
    QString result;
    QPointer<QThread> job = runInBackground(
        &owner,
        [&] {
            workThread = QThread::currentThread();
            return QStringLiteral("готово");
        },
        [&](const QString &r) {
            doneThread = QThread::currentThread();
            result = r;
        });
    ASSERT_TRUE(test::waitUntil([&] { return !result.isEmpty(); }));
    EXPECT_EQ(result, QStringLiteral("готово"));
    EXPECT_EQ(doneThread, QCoreApplication::instance()->thread());
    EXPECT_NE(workThread, doneThread);
    // The thread goes by itself once its answer is delivered.
    EXPECT_TRUE(test::waitUntil([&] { return job.isNull(); }));
}

TEST(Background, AnOwnerGoneMeanwhileGetsNoAnswer)
{
    auto owner = std::make_unique<QObject>();
    std::atomic<bool> release{false};
    std::atomic<bool> ended{false};
    bool answered = false;
    QPointer<QThread> job = runInBackground(
        owner.get(),
        [&] {
            while (!release)
                QThread::msleep(1);
            ended = true;
        },
        [&] { answered = true; });
    owner.reset();
    release = true;
    waitForBackground(job);
    ASSERT_TRUE(ended);
    EXPECT_TRUE(test::waitUntil([&] { return job.isNull(); }));
    EXPECT_FALSE(answered);
}
