// The picture exchange with a real screen service on 127.0.0.1: pictures
// decoded with their pixels, and every hostile answer cleared without
// blocking, growing or crashing.
#include "peers/ScreenPeer.h"
#include "screen/ScreenLink.h"
#include "support/TestSupport.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;

namespace {

// The pixel's colour in a decoded picture (BGRX bytes).
Rgb pixelAt(const ScreenPicture &p, int x, int y)
{
    const auto *px = reinterpret_cast<const uchar *>(p.pixels.constData()) + (qsizetype(y) * p.width + x) * 4;
    return Rgb{px[2], px[1], px[0]};
}

bool near(const Rgb &a, const Rgb &b)
{
    return std::abs(a.red - b.red) < 8 && std::abs(a.green - b.green) < 8 && std::abs(a.blue - b.blue) < 8;
}

std::string text(const Rgb &c)
{
    return std::to_string(c.red) + "," + std::to_string(c.green) + "," + std::to_string(c.blue);
}

struct Link {
    ScopedTimeScale scale{100}; // the 3-second limit in 30 ms, the tick in 1 ms
    ScreenPeer peer;
    ScreenLink link;
    QSignalSpy changed{&link, &ScreenLink::pictureChanged};
    QSignalSpy failed{&link, &ScreenLink::pictureFailed};
    QSignalSpy gone{&link, &ScreenLink::disconnected};

    Link()
    {
        link.connectToAgent(QStringLiteral("127.0.0.1"), peer.port());
        EXPECT_TRUE(waitUntil([&] { return link.isConnected(); }));
    }
};

TEST(ScreenLink, PictureDecodedWithItsPixels)
{
    Link t;
    t.peer.width = 200;
    t.peer.height = 100;
    t.peer.left = Rgb{250, 10, 10};
    t.peer.right = Rgb{10, 240, 20};
    ASSERT_TRUE(waitUntil([&] { return t.changed.count() >= 1; }));
    const ScreenPicture &p = t.link.picture();
    EXPECT_EQ(p.width, 200);
    EXPECT_EQ(p.height, 100);
    EXPECT_TRUE(near(pixelAt(p, 10, 50), t.peer.left)) << text(pixelAt(p, 10, 50));
    EXPECT_TRUE(near(pixelAt(p, 190, 50), t.peer.right)) << text(pixelAt(p, 190, 50));
    // Each answer is read into the memory of the one before.
    ASSERT_TRUE(waitUntil([&] { return t.changed.count() >= 2; }));
    const qsizetype memory = t.link.answerMemory();
    EXPECT_GE(memory, patternJpeg(200, 100, t.peer.left, t.peer.right).size());
    // The timer goes on asking, one picture after another.
    EXPECT_TRUE(waitUntil([&] { return t.changed.count() >= 5; }));
    EXPECT_EQ(t.link.answerMemory(), memory);
    EXPECT_EQ(t.failed.count(), 0);
}

TEST(ScreenLink, LengthZeroIsAnEmptyPicture)
{
    Link t;
    ASSERT_TRUE(waitUntil([&] { return t.changed.count() >= 1; }));
    t.peer.answer = ScreenPeer::Answer::Empty;
    const int before = t.peer.requests();
    ASSERT_TRUE(waitUntil([&] { return t.peer.requests() >= before + 2; }));
    EXPECT_TRUE(waitUntil([&] { return t.link.picture().isEmpty(); }));
    EXPECT_TRUE(t.link.isConnected());
}

TEST(ScreenLink, HostileAnswersClearThePictureAndGrowNothing)
{
    struct Case { const char *what; ScreenPeer::Answer answer; qint32 length; };
    const Case cases[] = {
        {"negative length", ScreenPeer::Answer::HostileLength, -5},
        {"length of 2 GiB", ScreenPeer::Answer::HostileLength, 0x7FFFFFFF},
        {"length just over 64 MiB", ScreenPeer::Answer::HostileLength, 64 * 1024 * 1024 + 1},
        {"bytes that are no JPEG", ScreenPeer::Answer::Garbage, 0},
        {"truncated picture", ScreenPeer::Answer::Truncated, 0},
        {"silence", ScreenPeer::Answer::Silence, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Link t;
        ASSERT_TRUE(waitUntil([&] { return t.changed.count() >= 1; }));
        t.peer.answer = c.answer;
        t.peer.hostileLength = c.length;
        ASSERT_TRUE(waitUntil([&] { return t.failed.count() >= 1; }));
        EXPECT_TRUE(t.link.picture().isEmpty());
        EXPECT_LT(t.link.answerMemory(), 1024 * 1024);
        // Back to pictures: the link recovers on a later tick.
        t.peer.answer = ScreenPeer::Answer::Picture;
        if (t.link.isConnected()) {
            EXPECT_TRUE(waitUntil([&] { return !t.link.picture().isEmpty(); }));
        }
    }
}

TEST(ScreenLink, SilenceKeepsOneRequestOutstandingUntilTheTimeLimit)
{
    ScopedTimeScale slow{10}; // the limit in 300 ms, a tick every 10 ms meanwhile
    ScreenPeer peer;
    peer.answer = ScreenPeer::Answer::Silence;
    ScreenLink link;
    QSignalSpy failed(&link, &ScreenLink::pictureFailed);
    link.connectToAgent(QStringLiteral("127.0.0.1"), peer.port());
    ASSERT_TRUE(waitUntil([&] { return peer.requests() == 1; }));
    // Many ticks later: still the one request, the event loop free meanwhile.
    QElapsedTimer clock;
    clock.start();
    int loops = 0;
    while (clock.elapsed() < 150) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        ++loops;
    }
    EXPECT_EQ(peer.requests(), 1);
    EXPECT_TRUE(link.answerAwaited());
    EXPECT_GT(loops, 5);
    EXPECT_EQ(failed.count(), 0);
    ASSERT_TRUE(waitUntil([&] { return failed.count() == 1; }, 5000));
    EXPECT_TRUE(waitUntil([&] { return peer.requests() == 2; }));
}

TEST(ScreenLink, GarbageAgainAndAgainClosesTheConnection)
{
    Link t;
    ASSERT_TRUE(waitUntil([&] { return t.changed.count() >= 1; }));
    t.peer.answer = ScreenPeer::Answer::Garbage;
    ASSERT_TRUE(waitUntil([&] { return t.gone.count() == 1; }));
    EXPECT_EQ(t.failed.count(), ScreenLink::kMaxBadAnswers);
    EXPECT_FALSE(t.link.isConnected());
    EXPECT_FALSE(t.link.pictureTimer()->isActive());
    EXPECT_FALSE(t.link.sendLine(QStringLiteral("#keyA")));
}

TEST(ScreenLink, AgentClosingIsADisconnection)
{
    Link t;
    ASSERT_TRUE(waitUntil([&] { return t.changed.count() >= 1; }));
    t.peer.closeClient();
    ASSERT_TRUE(waitUntil([&] { return t.gone.count() == 1; }));
    EXPECT_FALSE(t.link.pictureTimer()->isActive());
    EXPECT_TRUE(t.link.picture().isEmpty());
}

TEST(ScreenLink, LinesReachTheServiceWithCrLf)
{
    Link t;
    t.peer.answer = ScreenPeer::Answer::Silence;
    EXPECT_TRUE(t.link.sendLine(QStringLiteral("Lk%D1 , 2")));
    EXPECT_TRUE(t.link.sendLine(QStringLiteral("#keyA")));
    EXPECT_TRUE(waitUntil([&] { return t.peer.lines().size() == 2; }));
    EXPECT_EQ(t.peer.lines(), QStringList({"Lk%D1 , 2", "#keyA"}));
}

} // namespace
