// Saving and loading the state file, and handling announcements, with a large user
// table: both must stay far below the 750 ms display period.
#include "MacAnnouncement.h"
#include "TDaten.h"
#include "TStateFile.h"
#include "TempDir.h"
#include "TextForms.h"

#include <benchmark/benchmark.h>

namespace {
const TLocalTime Noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);

std::string Address(int i)
{
    return "10." + std::to_string(i >> 16 & 255) + "." + std::to_string(i >> 8 & 255) + "." + std::to_string(i & 255);
}

TDaten StoreWithUsers(int users)
{
    TDaten d;
    d.LocalSubnets = {"10", "192.168.1"};
    d.HideIPs = {"10.0.0.1"};
    for (int i = 0; i < users; ++i) {
        d.AddUser(Address(i), "02:00:00:00:00:01", "eth1", Noon);
        d.UserName[i] = "Client " + std::to_string(i);
        d.UserDL.Set(i, std::to_string(123456789LL * (i + 1)));
        d.UserUL.Set(i, std::to_string(98765LL * (i + 1)));
        d.UserLastTime[i] = StampText(Noon);
    }
    return d;
}

void BM_SaveState(benchmark::State& state)
{
    const TDaten d = StoreWithUsers(static_cast<int>(state.range(0)));
    TTempDir dir;
    const std::string path = dir.File("vexal.ini");
    for (auto _ : state)
        benchmark::DoNotOptimize(TStateFile::Save(d, path));
    state.counters["file_bytes"] = static_cast<double>(std::filesystem::file_size(path));
}

void BM_LoadState(benchmark::State& state)
{
    TTempDir dir;
    const std::string path = dir.File("vexal.ini");
    TStateFile::Save(StoreWithUsers(static_cast<int>(state.range(0))), path);
    TDaten d;
    for (auto _ : state) {
        TStateFile::Load(d, path);
        benchmark::DoNotOptimize(d.UserIP.IndexOf("10.0.0.7"));  // includes building the index
    }
}

void BM_AnnounceKnownClient(benchmark::State& state)
{
    const int users = static_cast<int>(state.range(0));
    TDaten d = StoreWithUsers(users);
    std::vector<std::string> datagrams;
    for (int i = 0; i < 256; ++i)
        datagrams.push_back("x " + Address(i * users / 256) + " x x 02:00:00:00:00:01 x eth1\n");
    std::int32_t count = 0;
    std::size_t next = 0;
    for (auto _ : state) {
        const std::string& text = datagrams[next++ % datagrams.size()];
        benchmark::DoNotOptimize(AccountMacAnnouncement(
            d, {reinterpret_cast<const unsigned char*>(text.data()), text.size()}, "192.168.1.1", count, Noon));
    }
}

// A known address announced with another MAC: the row is replaced (its interval
// carried for the export, its totals offered to the history), the MACs taking turns.
void BM_ReplaceClient(benchmark::State& state)
{
    const int users = static_cast<int>(state.range(0));
    TDaten d = StoreWithUsers(users);
    d.ExportEnabled = true;
    std::vector<std::string> datagrams;
    for (int i = 0; i < 512; ++i)
        datagrams.push_back("x " + Address(i % 256 * users / 256) + " x x 02:00:00:00:00:0" + (i < 256 ? "a" : "b")
                            + " x eth1\n");
    std::int32_t count = 0;
    std::size_t next = 0;
    for (auto _ : state) {
        const std::string& text = datagrams[next++ % datagrams.size()];
        AccountMacAnnouncement(d, {reinterpret_cast<const unsigned char*>(text.data()), text.size()}, "192.168.1.1",
                               count, Noon);
        d.UserCDL.Add(d.UserCount() - 1, 1000);
    }
}

// The whole-table actions of the user list on a large table (rebuilt per iteration,
// outside the timing).
void BM_UserAction(benchmark::State& state)
{
    const int users = static_cast<int>(state.range(0));
    const int action = static_cast<int>(state.range(1));
    for (auto _ : state) {
        state.PauseTiming();
        TDaten d = StoreWithUsers(users);
        for (int i = 0; i < users; i += 2)
            d.UserDL.Set(i, "100");  // every second user is below 100 kB
        std::vector<std::string> selected;
        for (int i = 0; i < users; i += 3)
            selected.push_back(d.UserIP[i]);
        state.ResumeTiming();
        switch (action) {
        case 0: d.RemoveLowTrafficUsers(100 * 1024); break;
        case 1: d.ResetUserTotals(); break;
        case 2: d.ClearUsers(); break;
        default: d.RemoveUsersWithAddress(selected); break;
        }
        benchmark::DoNotOptimize(d.UserIP.IndexOf("10.0.0.8"));  // includes rebuilding the index
    }
}
}

BENCHMARK(BM_UserAction)
    ->ArgNames({"users", "action"})  // 0 below 100 kB, 1 reset totals, 2 remove all, 3 remove a third selected
    ->Args({65000, 0})
    ->Args({65000, 1})
    ->Args({65000, 2})
    ->Args({65000, 3})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveState)->Arg(1000)->Arg(65000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadState)->Arg(1000)->Arg(65000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AnnounceKnownClient)->Arg(10)->Arg(65000)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_ReplaceClient)->Arg(21)->Arg(5000)->Arg(65000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
