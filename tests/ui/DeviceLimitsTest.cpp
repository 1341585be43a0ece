// The use of a billing period (what the history booked plus what was counted since its
// last write) and the marks told from it; new devices told once.
#include "BillingPeriod.h"
#include "HistorySnapshot.h"
#include "TDaten.h"
#include "TDeviceLimits.h"
#include "TLocalHistory.h"
#include "TNewDeviceAlert.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
constexpr std::int64_t MB = 1'048'576;
const std::string Mac = "02:00:00:00:00:07";

struct TTold {
    std::vector<int> Marks;
    std::vector<std::int64_t> Uses;
};

void Listen(TDeviceLimits& limits, TTold& told)
{
    QObject::connect(&limits, &TDeviceLimits::Crossed, [&told](const TLimitEvent& event) {
        told.Marks.push_back(event.Mark);
        told.Uses.push_back(event.Use);
    });
}

std::int64_t UseOf(const TDeviceLimits& limits)
{
    const auto state = limits.StateOf(Mac);
    return state ? state->Use : -1;
}
}

TEST(DeviceLimits, UseIsWhatTheHistoryBookedPlusWhatWasCountedSince)
{
    TTempDir dir;
    const QString historyPath = QString::fromStdString(dir.File("vexal-history.sqlite"));
    const std::string limitPath = dir.File("vexal-limits.ini");
    TLocalTime now = TLocalTime::FromCivil(2026, 3, 10, 12, 0, 0);
    TDaten daten;
    daten.LocalSubnets = {"192.168.1"};
    ASSERT_TRUE(daten.AddUser("192.168.1.7", Mac, "eth0", now));
    // Totals of before the history: never this period's use.
    daten.UserDL.SetValue(0, 50 * MB);
    auto history = std::make_unique<TLocalHistory>(historyPath);
    auto write = [&] {
        history->Record(BuildHistorySnapshot(daten, now));
        history->WaitForWrites();
    };
    write();

    TDeviceLimits limits(daten);
    limits.FilePath = limitPath;
    limits.HistoryPath = historyPath;
    TTold told;
    Listen(limits, told);
    limits.Load();
    ASSERT_TRUE(limits.SetLimit(Mac, 10 * MB, now));
    EXPECT_EQ(UseOf(limits), 0);

    struct TStep {
        const char* What;
        std::int64_t Added;
        bool WriteHistory, Refresh;
        std::int64_t Use;
        std::vector<int> Told;
    };
    const TStep steps[] = {
        {"counted since the write", 3 * MB, false, false, 3 * MB, {}},
        {"written, marks read before the write", 0, true, false, 3 * MB, {}},
        {"written and read again", 0, false, true, 3 * MB, {}},
        {"to 80 %", 5 * MB, false, false, 8 * MB, {80}},
        {"written: not told again", 1 * MB, true, true, 9 * MB, {80}},
        {"to 100 %", 1 * MB, false, false, 10 * MB, {80, 100}},
    };
    for (const TStep& step : steps) {
        SCOPED_TRACE(step.What);
        daten.UserDL.Add(0, step.Added);
        if (step.WriteHistory)
            write();
        if (step.Refresh)
            limits.Refresh(now);
        limits.Check(now);
        EXPECT_EQ(UseOf(limits), step.Use);
        EXPECT_EQ(told.Marks, step.Told);
    }
    write();

    // A restart within the period: the same use, nothing told again.
    TDeviceLimits restarted(daten);
    restarted.FilePath = limitPath;
    restarted.HistoryPath = historyPath;
    TTold toldAfter;
    Listen(restarted, toldAfter);
    restarted.Load();
    restarted.Check(now);
    EXPECT_EQ(UseOf(restarted), 0) << "nothing checked before the history was read";
    restarted.Refresh(now);
    restarted.Check(now);
    EXPECT_EQ(UseOf(restarted), 10 * MB);
    EXPECT_TRUE(toldAfter.Marks.empty());

    // The next billing period begins with nothing used; its marks are told again.
    now = TLocalTime::FromCivil(2026, 4, 1, 0, 5, 0);
    restarted.Check(now);
    EXPECT_EQ(UseOf(restarted), 0);
    daten.UserDL.Add(0, 9 * MB);
    restarted.Check(now);
    EXPECT_EQ(UseOf(restarted), 9 * MB);
    EXPECT_EQ(toldAfter.Marks, std::vector<int>{80});
    EXPECT_EQ(toldAfter.Uses, std::vector<std::int64_t>{9 * MB});
}

TEST(DeviceLimits, WithoutHistoryTheUseIsCountedFromTheStart)
{
    TTempDir dir;
    const TLocalTime now = TLocalTime::FromCivil(2026, 3, 10, 12, 0, 0);
    TDaten daten;
    daten.LocalSubnets = {"192.168.1"};
    ASSERT_TRUE(daten.AddUser("192.168.1.7", Mac, "eth0", now));
    daten.UserUL.SetValue(0, 100 * MB);
    TDeviceLimits limits(daten);
    limits.FilePath = dir.File("vexal-limits.ini");
    TTold told;
    Listen(limits, told);
    limits.Load();
    ASSERT_TRUE(limits.SetLimit(Mac, 10 * MB, now));
    EXPECT_EQ(UseOf(limits), 0);
    daten.UserUL.Add(0, 12 * MB);
    limits.Check(now);
    EXPECT_EQ(UseOf(limits), 12 * MB);
    EXPECT_EQ(told.Marks, (std::vector<int>{80, 100}));
    // Removed, the device has no limit and nothing more is told.
    ASSERT_TRUE(limits.SetLimit(Mac, 0, now));
    EXPECT_EQ(UseOf(limits), -1);
    EXPECT_EQ(ReadWholeFile(dir.File("vexal-limits.ini")), "");
}

TEST(NewDeviceAlert, TellsANewMacOnceAndBoundsAFlood)
{
    const TLocalTime now = TLocalTime::FromCivil(2026, 3, 10, 12, 0, 0);
    TDaten daten;
    daten.LocalSubnets = {"192.168.1"};
    ASSERT_TRUE(daten.AddUser("192.168.1.7", "02:00:00:00:00:07", "eth0", now));
    TNewDeviceAlert alert;
    using V = TNewDeviceAlert::TVerdict;
    EXPECT_EQ(alert.Seen("02:00:00:00:00:08", 0), V::Known) << "nothing is new before the known ones are read";
    alert.Load(QString(), daten);
    EXPECT_EQ(alert.TakeNew(), std::vector<std::string>{"02:00:00:00:00:07"}) << "the state's devices are remembered";

    struct TCase {
        const char* Mac;
        std::int64_t Minute;
        V Verdict;
    };
    const TCase cases[] = {
        {"02:00:00:00:00:07", 0, V::Known},  // in the state
        {"02:00:00:00:00:08", 0, V::New},
        {"02:00:00:00:00:08", 0, V::Known},  // told once
        {"02:00:00:00:00:08", 1, V::Known},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.Mac) + " in minute " + std::to_string(c.Minute));
        EXPECT_EQ(alert.Seen(c.Mac, c.Minute), c.Verdict);
    }
    EXPECT_EQ(alert.TakeNew(), std::vector<std::string>{"02:00:00:00:00:08"});

    // A flood: a few are told one by one each minute, the rest counted.
    int told = 0, untold = 0;
    for (int i = 0; i < 100; ++i) {
        const V verdict = alert.Seen("flood-" + std::to_string(i), 2 + i / 50);
        told += verdict == V::New ? 1 : 0;
        untold += verdict == V::NewUntold ? 1 : 0;
    }
    EXPECT_EQ(told, 2 * TNewDeviceAlert::AlertsPerMinute);
    EXPECT_EQ(untold, 100 - 2 * TNewDeviceAlert::AlertsPerMinute);
    EXPECT_EQ(alert.Untold, static_cast<std::uint64_t>(untold));
    EXPECT_EQ(alert.NewDevices, 101U);
    // Waiting for the history is bounded too: beyond it nothing is remembered (counted).
    for (std::size_t i = 0; i < TNewDeviceAlert::MaxWaiting; ++i)
        alert.Seen("more-" + std::to_string(i), 10);
    EXPECT_EQ(alert.TakeNew().size(), TNewDeviceAlert::MaxWaiting);
    EXPECT_EQ(alert.Unremembered, 100U);
}
