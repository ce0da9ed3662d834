#include "common/TimeScale.h"
#include "support/TestSupport.h"

#include <QElapsedTimer>
#include <QPointer>

#include <gtest/gtest.h>

using namespace dozorix;

TEST(TimeScale, DividesDesignedIntervals)
{
    {
        test::ScopedTimeScale scale(60);
        EXPECT_EQ(scaledMs(15 * 60 * 1000), 15000);
        EXPECT_EQ(scaledMs(10), 1);   // never rounds a positive pause to zero
        EXPECT_EQ(scaledMs(0), 0);
    }
    struct Case {
        const char *env;
        double scale;
    } cases[] = {{"", 1}, {"abc", 1}, {"0", 1}, {"-5", 1}, {"0.5", 1}, {"1000", 1000}, {"2.5", 2.5}};
    for (const auto &c : cases) {
        qputenv("DOZORIX_TIME_SCALE", c.env);
        resetTimeScale();
        EXPECT_DOUBLE_EQ(timeScale(), c.scale) << c.env;
    }
    qunsetenv("DOZORIX_TIME_SCALE");
    resetTimeScale();
    EXPECT_EQ(scaledMs(3000), 3000);
}

TEST(StepChain, RunsStepsInOrderWithoutBlockingAndRefusesASecondRun)
{
    test::ScopedTimeScale scale(1000); // 10 s pause → 10 ms
    StepChain chain;
    QStringList trace;
    bool finished = false;
    QObject::connect(&chain, &StepChain::finished, [&] { finished = true; });

    // The event loop keeps running between steps: a timer that fires meanwhile proves it.
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(1);

    ASSERT_TRUE(chain.start({{0, [&] { trace << "launch"; }},
                             {10000, [&] { trace << QStringLiteral("read %1").arg(ticks > 0); }},
                             {2000, [&] { trace << "done"; }}}));
    EXPECT_TRUE(chain.isRunning());
    EXPECT_FALSE(chain.start({{0, [&] { trace << "second"; }}}));
    ASSERT_TRUE(test::waitUntil([&] { return finished; }));
    EXPECT_EQ(trace, (QStringList{"launch", "read 1", "done"}));
    EXPECT_FALSE(chain.isRunning());
}

TEST(StepChain, CancelDropsTheRemainingSteps)
{
    test::ScopedTimeScale scale(1000);
    StepChain chain;
    QStringList trace;
    chain.start({{0, [&] { trace << "one"; chain.cancel(); }}, {100, [&] { trace << "two"; }}});
    test::quietFor(150);
    EXPECT_EQ(trace, QStringList{"one"});
    EXPECT_FALSE(chain.isRunning());
}

TEST(StepChain, AChainDestroyedByItsOwnStepRunsNothingMore)
{
    test::ScopedTimeScale scale(1000);
    auto *owner = new QObject;
    auto *chain = new StepChain(owner);
    QPointer<StepChain> watch(chain);
    QStringList trace;
    chain->start({{0, [&] { trace << "one"; delete owner; }}, {100, [&] { trace << "two"; }}});
    test::quietFor(150);
    EXPECT_EQ(trace, QStringList{"one"});
    EXPECT_TRUE(watch.isNull());
}

TEST(StepChain, AHeldChainWaitsForResumeAndStaysRunning)
{
    test::ScopedTimeScale scale(1000);
    StepChain chain;
    QStringList trace;
    bool finished = false;
    QObject::connect(&chain, &StepChain::finished, [&] { finished = true; });
    ASSERT_TRUE(chain.start({{0, [&] { trace << "launch"; }},
                             {10, [&] { trace << "wait"; chain.hold(); }},
                             {10, [&] { trace << "after"; }}}));
    test::quietFor(200);
    EXPECT_EQ(trace, (QStringList{"launch", "wait"}));
    EXPECT_TRUE(chain.isRunning());
    EXPECT_FALSE(chain.start({{0, [&] { trace << "second"; }}}));

    chain.resume();
    ASSERT_TRUE(test::waitUntil([&] { return finished; }));
    EXPECT_EQ(trace, (QStringList{"launch", "wait", "after"}));

    // A cancel while held ends the chain; a late resume does nothing.
    finished = false;
    trace.clear();
    ASSERT_TRUE(chain.start({{0, [&] { chain.hold(); }}, {10, [&] { trace << "never"; }}}));
    ASSERT_TRUE(test::waitUntil([&] { return chain.isRunning() && trace.isEmpty(); }));
    test::quietFor(50);
    chain.cancel();
    EXPECT_TRUE(finished);
    chain.resume();
    test::quietFor(100);
    EXPECT_TRUE(trace.isEmpty());
    EXPECT_FALSE(chain.isRunning());
}
