// Cost of decoding and accounting flow datagrams of 30 records, per flow, with a
// growing user table and with few or many distinct remote ports.
#include "FlowAccounting.h"
#include "FlowDatagramBuilder.h"
#include "TDaten.h"
#include "TIpAddress.h"
#include "TemplateDatagramBuilder.h"
#include "TextForms.h"

#include <benchmark/benchmark.h>

#include <random>

namespace {
constexpr int RecordsPerDatagram = 30;
constexpr int DatagramPool = 512;

std::array<std::uint8_t, 4> UserAddress(int i)
{
    return Ip(10, static_cast<std::uint8_t>(i >> 16), static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i));
}

void BM_AccountFlows(benchmark::State& state)
{
    const int users = static_cast<int>(state.range(0));
    const bool randomPorts = state.range(1) != 0;
    const TLocalTime now = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);

    TDaten d;
    d.LocalSubnets = {"192.168", "172.16", "10"};
    d.LocalIPs = {"203.0.113.7"};
    for (int i = 0; i < users; ++i)
        d.AddUser(DottedQuad(UserAddress(i).data()), "02:00:00:00:00:01", "eth1", now);
    // A hundred routers, so the router lookup is not a one-entry table either.
    for (int r = 0; r < 99; ++r)
        d.AddRouter("172.31.0." + std::to_string(r), 0, now);

    std::mt19937 random(42);
    std::uniform_int_distribution<int> user(0, users - 1);
    std::uniform_int_distribution<int> port(0, 65535);
    const std::uint16_t wellKnown[] = {80, 443, 53, 22, 993, 8080};
    std::vector<std::vector<std::uint8_t>> pool;
    for (int i = 0; i < DatagramPool; ++i) {
        TFlowDatagramBuilder builder(0);
        for (int j = 0; j < RecordsPerDatagram; ++j) {
            const auto client = UserAddress(user(random));
            const auto remote = Ip(93, 184, static_cast<std::uint8_t>(j), static_cast<std::uint8_t>(i));
            const auto remotePort = static_cast<std::uint16_t>(randomPorts ? port(random) : wellKnown[j % 6]);
            if (j % 2 == 0)
                builder.Add(client, 50000, remote, remotePort, 1200U + static_cast<std::uint32_t>(j));
            else
                builder.Add(remote, remotePort, client, 50000, 64000U + static_cast<std::uint32_t>(j));
        }
        pool.push_back(builder.Bytes());
    }

    const std::string router = "172.31.0.200";
    std::uint32_t sequence = 1;
    std::size_t next = 0;
    for (auto _ : state) {
        std::vector<std::uint8_t>& datagram = pool[next];
        next = (next + 1) % pool.size();
        // A fresh sequence each time, or the datagram would count as repeated.
        datagram[16] = static_cast<std::uint8_t>(sequence >> 24);
        datagram[17] = static_cast<std::uint8_t>(sequence >> 16);
        datagram[18] = static_cast<std::uint8_t>(sequence >> 8);
        datagram[19] = static_cast<std::uint8_t>(sequence);
        sequence += RecordsPerDatagram;
        const TDatagramOutcome outcome = AccountFlowDatagram(d, datagram, router, now);
        benchmark::DoNotOptimize(outcome);
    }
    state.SetItemsProcessed(state.iterations() * RecordsPerDatagram);
    state.counters["ns_per_flow"] = benchmark::Counter(static_cast<double>(state.iterations() * RecordsPerDatagram),
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    const int r = d.RouterIP.IndexOf(router);
    state.counters["ports_in_list"] = static_cast<double>(d.RouterPortTrafficUL[r].Count());
}

// The same traffic as NetFlow v5, v9 and IPFIX datagrams of 30 records each, the
// template known: what the template path adds per flow.
void BM_AccountFlowsByVersion(benchmark::State& state)
{
    const int version = static_cast<int>(state.range(0));
    const int users = static_cast<int>(state.range(1));
    const TLocalTime now = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);

    TDaten d;
    d.LocalSubnets = {"192.168", "172.16", "10"};
    for (int i = 0; i < users; ++i)
        d.AddUser(DottedQuad(UserAddress(i).data()), "02:00:00:00:00:01", "eth1", now);
    const std::string router = "172.31.0.200";
    if (version != 5) {
        const auto known = TTemplateDatagramBuilder(static_cast<std::uint16_t>(version), 0)
                               .Template(FlowTemplateId, FlowFields())
                               .Bytes();
        AccountFlowDatagram(d, known, router, now, 4739);
    }

    std::mt19937 random(42);
    std::uniform_int_distribution<int> user(0, users - 1);
    const std::uint16_t wellKnown[] = {80, 443, 53, 22, 993, 8080};
    std::vector<std::vector<std::uint8_t>> pool;
    for (int i = 0; i < DatagramPool; ++i) {
        TFlowDatagramBuilder v5(0);
        TBytes records;
        for (int j = 0; j < RecordsPerDatagram; ++j) {
            const auto client = UserAddress(user(random));
            const auto remote = Ip(93, 184, static_cast<std::uint8_t>(j), static_cast<std::uint8_t>(i));
            const std::uint16_t remotePort = wellKnown[j % 6];
            const std::uint32_t octets = (j % 2 == 0 ? 1200U : 64000U) + static_cast<std::uint32_t>(j);
            const bool up = j % 2 == 0;
            v5.Add(up ? client : remote, up ? 50000 : remotePort, up ? remote : client, up ? remotePort : 50000, octets);
            FlowRecord(records, up ? client : remote, up ? 50000 : remotePort, up ? remote : client,
                       up ? remotePort : 50000, octets);
        }
        pool.push_back(version == 5 ? v5.Bytes()
                                    : TTemplateDatagramBuilder(static_cast<std::uint16_t>(version), 0)
                                          .Data(FlowTemplateId, records.Data, RecordsPerDatagram)
                                          .Bytes());
    }

    // Where each version keeps its sequence, and how far it moves per datagram.
    const std::size_t at = version == 5 ? 16 : version == 9 ? 12 : 8;
    const std::uint32_t step = version == 9 ? 1 : RecordsPerDatagram;
    std::uint32_t sequence = step;
    std::size_t next = 0;
    for (auto _ : state) {
        std::vector<std::uint8_t>& datagram = pool[next];
        next = (next + 1) % pool.size();
        datagram[at] = static_cast<std::uint8_t>(sequence >> 24);
        datagram[at + 1] = static_cast<std::uint8_t>(sequence >> 16);
        datagram[at + 2] = static_cast<std::uint8_t>(sequence >> 8);
        datagram[at + 3] = static_cast<std::uint8_t>(sequence);
        sequence += step;
        const TDatagramOutcome outcome = AccountFlowDatagram(d, datagram, router, now, 4739);
        benchmark::DoNotOptimize(outcome);
    }
    state.SetItemsProcessed(state.iterations() * RecordsPerDatagram);
    state.counters["ns_per_flow"] = benchmark::Counter(static_cast<double>(state.iterations() * RecordsPerDatagram),
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    const int r = d.RouterIP.IndexOf(router);
    if (d.RouterPLoss[r] != "0" || d.FlowHeldBytes != 0)
        state.SkipWithError("the datagrams were not all charged");
}

// A device's IPv6 address: the documentation prefix, the device number in the
// interface identifier and `which` of its addresses in the top bits.
std::array<std::uint8_t, 16> DeviceIPv6(int device, int which)
{
    return {0x20, 0x01, 0x0d, 0xb8, 0, 1, 0, 0,
            static_cast<std::uint8_t>(0x10 + which), 0, 0, 0, 0, static_cast<std::uint8_t>(device >> 16),
            static_cast<std::uint8_t>(device >> 8), static_cast<std::uint8_t>(device)};
}

// Dual-stack devices: the same traffic as IPFIX records of IPv4 (family 4) or of IPv6
// (family 6), every device holding three IPv6 addresses learned from announcements. An
// IPv6 side is looked up by its 16 bytes among all devices' addresses; the filter holds
// the IPv4 subnets and an IPv6 network, as a dual-stack configuration does.
void BM_AccountFlowsByFamily(benchmark::State& state)
{
    const int family = static_cast<int>(state.range(0));
    const int users = static_cast<int>(state.range(1));
    const TLocalTime now = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);

    TDaten d;
    d.LocalSubnets = {"192.168", "172.16", "10", "2001:db8:1::/48"};
    for (int i = 0; i < users; ++i) {
        d.AddUser(DottedQuad(UserAddress(i).data()), "02:00:00:00:00:01", "eth1", now);
        for (int which = 0; which < 3; ++which)
            if (!d.LearnIPv6(i, TIpAddress::FromV6(DeviceIPv6(i, which).data()), now))
                state.SkipWithError("the device addresses did not fit");
    }
    const std::string router = "172.31.0.200";
    const std::vector<TTestField> fields =
        family == 4 ? FlowFields() : std::vector<TTestField>{{27, 16}, {28, 16}, {7, 2}, {11, 2}, {4, 1}, {1, 4}};
    AccountFlowDatagram(d, TTemplateDatagramBuilder(10, 0).Template(FlowTemplateId, fields).Bytes(), router, now, 4739);

    std::mt19937 random(42);
    std::uniform_int_distribution<int> user(0, users - 1);
    const std::uint16_t wellKnown[] = {80, 443, 53, 22, 993, 8080};
    std::vector<std::vector<std::uint8_t>> pool;
    for (int i = 0; i < DatagramPool; ++i) {
        TBytes records;
        for (int j = 0; j < RecordsPerDatagram; ++j) {
            const int device = user(random);
            const std::uint16_t remotePort = wellKnown[j % 6];
            const std::uint32_t octets = (j % 2 == 0 ? 1200U : 64000U) + static_cast<std::uint32_t>(j);
            const bool up = j % 2 == 0;
            std::vector<std::uint8_t> client, remote;
            if (family == 4) {
                const auto c = UserAddress(device);
                client.assign(c.begin(), c.end());
                remote = {93, 184, static_cast<std::uint8_t>(j), static_cast<std::uint8_t>(i)};
            } else {
                const auto c = DeviceIPv6(device, j % 3);
                client.assign(c.begin(), c.end());
                remote = {0x26, 0x06, 0x28, 0, 0x02, 0x20, 0, 1, 0, 0, 0, 0, 0, 0,
                          static_cast<std::uint8_t>(j), static_cast<std::uint8_t>(i)};
            }
            records.Raw(up ? client : remote).Raw(up ? remote : client);
            records.U16(up ? 50000 : remotePort).U16(up ? remotePort : 50000).U8(6).U32(octets);
        }
        pool.push_back(TTemplateDatagramBuilder(10, 0).Data(FlowTemplateId, records.Data, RecordsPerDatagram).Bytes());
    }

    std::uint32_t sequence = RecordsPerDatagram;
    std::size_t next = 0;
    for (auto _ : state) {
        std::vector<std::uint8_t>& datagram = pool[next];
        next = (next + 1) % pool.size();
        datagram[8] = static_cast<std::uint8_t>(sequence >> 24);
        datagram[9] = static_cast<std::uint8_t>(sequence >> 16);
        datagram[10] = static_cast<std::uint8_t>(sequence >> 8);
        datagram[11] = static_cast<std::uint8_t>(sequence);
        sequence += RecordsPerDatagram;
        const TDatagramOutcome outcome = AccountFlowDatagram(d, datagram, router, now, 4739);
        benchmark::DoNotOptimize(outcome);
    }
    state.SetItemsProcessed(state.iterations() * RecordsPerDatagram);
    state.counters["ns_per_flow"] = benchmark::Counter(static_cast<double>(state.iterations() * RecordsPerDatagram),
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    // Every flow has one device side: the devices' totals together are the router's.
    std::int64_t charged = 0;
    for (int i = 0; i < users; ++i)
        charged += d.UserUL.Value(i) + d.UserDL.Value(i);
    const int r = d.RouterIP.IndexOf(router);
    if (charged != d.RouterUpload.Value(r) + d.RouterDownload.Value(r) || charged == 0)
        state.SkipWithError("not every flow was charged to its device");
}
}

BENCHMARK(BM_AccountFlowsByFamily)
    ->ArgNames({"family", "users"})
    ->Args({4, 10})
    ->Args({6, 10})
    ->Args({4, 65000})
    ->Args({6, 65000})
    ->Unit(benchmark::kNanosecond);

BENCHMARK(BM_AccountFlowsByVersion)
    ->ArgNames({"version", "users"})
    ->Args({5, 10})
    ->Args({9, 10})
    ->Args({10, 10})
    ->Args({5, 65000})
    ->Args({9, 65000})
    ->Args({10, 65000})
    ->Unit(benchmark::kNanosecond);

BENCHMARK(BM_AccountFlows)
    ->ArgNames({"users", "random_ports"})
    ->Args({10, 0})
    ->Args({1000, 0})
    ->Args({65000, 0})
    ->Args({10, 1})
    ->Args({65000, 1})
    ->Unit(benchmark::kNanosecond);

BENCHMARK_MAIN();
