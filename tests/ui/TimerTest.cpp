#include "TSignalWatcher.h"
#include "TTimer.h"

#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>

TEST(TTimer, ZeroIntervalNeverFires)
{
    TTimer timer(0);
    QSignalSpy ticks(&timer, &TTimer::Timeout);
    timer.SetEnabled(true);
    QTest::qWait(60);
    EXPECT_EQ(ticks.count(), 0);
    EXPECT_TRUE(timer.Enabled());
    EXPECT_FALSE(timer.Running());
    timer.SetInterval(20);  // a real interval starts it
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticks.count() > 0; }, 1000));
}

TEST(TTimer, EnablingARunningTimerDoesNotRestartIt)
{
    TTimer timer(150, nullptr, true);
    QSignalSpy ticks(&timer, &TTimer::Timeout);
    timer.SetEnabled(true);
    QElapsedTimer clock;
    clock.start();
    // Re-enabling and setting the same interval every 20 ms must not push the tick out.
    while (ticks.count() == 0 && clock.elapsed() < 1000) {
        timer.SetEnabled(true);
        timer.SetInterval(150);
        QTest::qWait(20);
    }
    EXPECT_EQ(ticks.count(), 1);
    EXPECT_LT(clock.elapsed(), 600);
    EXPECT_FALSE(timer.Enabled()) << "a one-shot timer disables itself";
}

TEST(TSignalWatcher, TermAndIntAskTheWindowToClose)
{
    TSignalWatcher watcher;
    QSignalSpy stops(&watcher, &TSignalWatcher::StopRequested);
    std::raise(SIGTERM);
    ASSERT_TRUE(stops.wait(1000));
    EXPECT_EQ(stops.takeFirst().at(0).toInt(), SIGTERM);
    std::raise(SIGINT);
    ASSERT_TRUE(stops.wait(1000));
    EXPECT_EQ(stops.takeFirst().at(0).toInt(), SIGINT);
}
