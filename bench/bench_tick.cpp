// Cost of one display tick of the main window (grids, charts, statuses) with 1,000,
// 10,000 and 65,000 users and 100 routers, as a share of the 750 ms period. The second
// argument is how many users are charged between two ticks: one, a hundredth, a tenth
// or all of them, since a tick redraws only the rows that changed. The third is 1 where
// a new user comes in every tick, which makes the tick build every row.
#include "TDaten.h"
#include "TErrorReport.h"
#include "TFormProtokoll.h"
#include "TMainForm.h"
#include "TTimer.h"
#include "TextForms.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {
const TLocalTime Noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);

void BM_DisplayTick(benchmark::State& state)
{
    const int users = static_cast<int>(state.range(0));
    const int charged = static_cast<int>(state.range(1));
    const bool joining = state.range(2) != 0;
    TDaten d;
    d.LocalSubnets = {"10"};
    d.HideSubnets = {"10.200"};
    for (int i = 0; i < users; ++i) {
        const std::string ip =
            "10." + std::to_string(i >> 16 & 255) + "." + std::to_string(i >> 8 & 255) + "." + std::to_string(i & 255);
        d.AddUser(ip, "02:00:00:00:00:01", i % 3 ? "eth1" : "wlan0", Noon);
        d.UserDL.Set(i, std::to_string(1'000'003LL * (i % 977)));
        d.UserUL.Set(i, std::to_string(7'919LL * (i % 331)));
        d.UserCDL.Set(i, i % 5 ? std::to_string(i * 13) : "0");
        d.UserName[i] = "Client " + std::to_string(i);
        // A spread of ages: fresh, older, and some offline.
        TLocalTime seen = Noon;
        seen.MsOfDay -= (i % 200) * 1000;
        d.UserLastTime[i] = StampText(seen);
        d.UserMACTime[i] = StampText(seen);
    }
    for (int r = 0; r < 100; ++r) {
        d.AddRouter("172.16.0." + std::to_string(r), 1, Noon);
        d.RouterUpload.Set(r, std::to_string(123'456'789LL * r));
        d.RouterDownload.Set(r, std::to_string(987'654'321LL * r));
        for (int p = 0; p < 40; ++p) {
            d.RouterPortTrafficUL[r].Add(1000 + p * 7, 1500 * p);
            d.RouterPortTrafficDL[r].Add(2000 + p * 3, 9000 * p);
        }
    }
    TMainForm form(d, 0, 0);
    form.Clock = [] { return Noon; };
    form.show();
    form.Timer(QStringLiteral("TimerShowing")).SetEnabled(false);
    form.SelectedRouter = 5;
    // The first tick builds every row; the ticks after it are what a running window
    // pays every 750 ms.
    form.TimerShowingTimer();
    QApplication::processEvents();
    int tick = 0;
    std::size_t next = 0;
    for (auto _ : state) {
        // Traffic between ticks, as live flows would charge it: a download to each of
        // `charged` users, taken in turn, and an upload to one router.
        for (int k = 0; k < charged; ++k) {
            d.UserDL.Add(next, 1'500 + tick);
            next = (next + 1) % static_cast<std::size_t>(users);
        }
        d.RouterUpload.Set(static_cast<std::size_t>(tick % 100), std::to_string(tick * 1'000LL));
        if (joining)
            d.AddUser("10.1." + std::to_string(tick >> 8 & 255) + "." + std::to_string(tick & 255), "02:00:00:00:00:02",
                      "eth1", Noon);
        ++tick;
        form.TimerShowingTimer();
        // Let the views paint what changed, as the event loop would before the next tick.
        QApplication::processEvents();
    }
    // Seconds per tick divided by 7.5 ms: the tick's share of its period in percent.
    state.counters["percent_of_750ms"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * 750e-3 / 100.0,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
}

// One refresh of the log window: 150 flows and the 65,536 port totals, as a share
// of its 500 ms period while "Playing ...".
void BM_LogRefresh(benchmark::State& state)
{
    TDaten d;
    d.LocalSubnets = {"10"};
    TErrorReport errors(nullptr);
    TFormProtokoll log(d, errors);
    for (int i = 0; i < 150; ++i) {
        d.FlowLogSrcIP.Append(i % 2 ? "10.0.0." + std::to_string(i) : "93.184.216.34");
        d.FlowLogDstIP.Append(i % 2 ? "93.184.216.34" : "10.0.0." + std::to_string(i));
        d.FlowLogSrcPort.Append(std::to_string(1000 + i * 37));
        d.FlowLogDstPort.Append(std::to_string(443 + i * 11));
        d.FlowLogTraffic.Append(std::to_string(1500 * (i + 1) * (i + 1)));
    }
    log.show();
    for (auto _ : state) {
        log.Refresh();
        QApplication::processEvents();
    }
    state.counters["percent_of_500ms"] = benchmark::Counter(static_cast<double>(state.iterations()) * 500e-3 / 100.0,
                                                            benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_LogRefresh)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_DisplayTick)
    ->ArgNames({"users", "charged", "joining"})
    ->Args({1000, 1, 0})
    ->Args({10000, 1, 0})
    ->Args({65000, 1, 0})
    ->Args({65000, 650, 0})
    ->Args({65000, 6500, 0})
    ->Args({65000, 65000, 0})
    ->Args({65000, 650, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    // The windows' state file and local history go to a folder of their own.
    const QTemporaryDir folder;
    if (!folder.isValid() || !QDir::setCurrent(folder.path()))
        return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
