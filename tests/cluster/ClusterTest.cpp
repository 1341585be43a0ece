// Several real collectors, each exporting to its own node of a 3-node Galera cluster,
// through a node's failure and a collector's restart while its node is down: in the
// end every node holds every octet sent, once, and each collector's snapshot rows.
#include "TClusterNodes.h"
#include "TRunningCollector.h"

#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>

namespace {
using TOctets = TRunningCollector::TOctets;

// A collector that is no part of the run: its rows must come out as they went in.
const std::vector<std::string> ForeignRows = {
    "akteth\tfremd\t192.168.1.10\t02:ff:00:00:00:10",
    "aktrouter\tfremd\t127.0.0.1\t77",
    "traffic\tfremd\t192.168.1.10\t02:ff:00:00:00:10\t5\t6",
};

// What one node holds per collector and client: "collector ip mac" to the summed octets.
std::map<std::string, TOctets> TrafficSums(const TClusterNodes& cluster, int node, std::string& error)
{
    std::vector<std::string> rows;
    std::map<std::string, TOctets> sums;
    if (!cluster.Query(node,
                       QStringLiteral("select concat_ws(' ', collector, ip, mac), sum(uloktets), sum(dloktets) from traffic"
                                      " group by collector, ip, mac"),
                       rows, error))
        return sums;
    for (const std::string& row : rows) {
        const auto first = row.find('\t');
        const auto second = row.find('\t', first + 1);
        sums[row.substr(0, first)] = {std::stoll(row.substr(first + 1, second - first - 1)), std::stoll(row.substr(second + 1))};
    }
    return sums;
}

// What the collectors were sent, in the form of TrafficSums, with the foreign row.
std::map<std::string, TOctets> Expected(const std::vector<std::unique_ptr<TRunningCollector>>& collectors,
                                        const std::vector<std::string>& names)
{
    std::map<std::string, TOctets> expected;
    for (const auto& collector : collectors) {
        if (std::find(names.begin(), names.end(), collector->Name) == names.end())
            continue;
        for (const TRunningCollector::TClient& client : collector->Clients) {
            const std::string ip = TRunningCollector::Ip(client);
            expected[collector->Name + " " + ip + " " + client.Mac] = collector->Sent.at(ip);
        }
    }
    return expected;
}

// The rows of one collector's name only, out of a node's sums.
std::map<std::string, TOctets> Only(const std::map<std::string, TOctets>& sums, const std::vector<std::string>& names)
{
    std::map<std::string, TOctets> only;
    for (const auto& [key, octets] : sums)
        for (const std::string& name : names)
            if (key.rfind(name + " ", 0) == 0)
                only[key] = octets;
    return only;
}

std::string Describe(const std::map<std::string, TOctets>& sums)
{
    std::string text;
    for (const auto& [key, octets] : sums)
        text += "\n  " + key + ": up " + std::to_string(octets.Up) + ", down " + std::to_string(octets.Down);
    return text.empty() ? "\n  (none)" : text;
}

std::string Logs(const std::vector<std::unique_ptr<TRunningCollector>>& collectors)
{
    std::string logs;
    for (const auto& collector : collectors)
        logs += "\n--- log of " + collector->Name + ":\n" + collector->Log();
    return logs;
}

// Waits until node 1 (never killed) holds exactly what the named collectors were sent.
::testing::AssertionResult ArrivedOnNodeOne(const TClusterNodes& cluster,
                                            const std::vector<std::unique_ptr<TRunningCollector>>& collectors,
                                            const std::vector<std::string>& names, int timeoutMs)
{
    std::map<std::string, TOctets> seen;
    std::string error;
    const auto expected = Expected(collectors, names);
    if (QTest::qWaitFor([&] { return (seen = Only(TrafficSums(cluster, 1, error), names)) == expected; }, timeoutMs))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "node 1 holds" << Describe(seen) << "\nexpected" << Describe(expected)
                                         << (error.empty() ? "" : "\nlast error: " + error) << Logs(collectors);
}
}

TEST(Cluster, CollectorsOnTheirOwnNodesKeepEveryOctetThroughANodeFailureAndARestart)
{
    TClusterNodes cluster;
    ASSERT_TRUE(cluster.Known()) << "VEXAL_TEST_GALERA names no cluster; run the tests through ctest";
    std::vector<std::string> rows;
    std::string error;
    // A run before in the same cluster left its rows; the foreign collector's rows are
    // the ones nobody of this run may touch.
    for (const char* table : {"traffic", "akteth", "aktrouter"})
        ASSERT_TRUE(cluster.Query(1, QStringLiteral("delete from %1").arg(QLatin1String(table)), rows, error)) << error;
    ASSERT_TRUE(cluster.Query(1,
                              QStringLiteral("insert into akteth (collector,name,ip,mac,status,lasttraffic)"
                                             " values ('fremd','-','192.168.1.10','02:ff:00:00:00:10','1',0)"),
                              rows, error))
        << error;
    ASSERT_TRUE(cluster.Query(1,
                              QStringLiteral("insert into aktrouter (collector,ip,flowsequenz,lastflow,ploss)"
                                             " values ('fremd','127.0.0.1','77','12:00:00',0)"),
                              rows, error))
        << error;
    ASSERT_TRUE(cluster.Query(1,
                              QStringLiteral("insert into traffic (collector,zeit,datum,device,uloktets,dloktets,porttraffic,mac,ip)"
                                             " values ('fremd',curtime(),curdate(),'eth0',5,6,'','02:ff:00:00:00:10','192.168.1.10')"),
                              rows, error))
        << error;

    // nord writes to node 1, sued to node 2 and moves on to node 3 while node 2 is down,
    // west knows only node 2: it can export nothing while node 2 is down, and is
    // restarted then. All three share the address 192.168.1.10 (another MAC each) and
    // their router's address 127.0.0.1, as sites with the same private network do.
    std::vector<std::unique_ptr<TRunningCollector>> collectors;
    const auto add = [&](const char* name, std::vector<int> nodes, std::vector<TRunningCollector::TClient> clients) {
        collectors.push_back(std::make_unique<TRunningCollector>(name, std::move(clients), cluster.Hosts(nodes),
                                                                 cluster.Port(nodes.front()), cluster.Login()));
    };
    add("nord", {1, 2, 3}, {{10, "02:01:00:00:00:10"}, {11, "02:01:00:00:00:11"}, {12, "02:01:00:00:00:12"}});
    add("sued", {2, 3, 1}, {{10, "02:02:00:00:00:10"}, {21, "02:02:00:00:00:21"}, {22, "02:02:00:00:00:22"}});
    add("west", {2}, {{10, "02:03:00:00:00:10"}, {31, "02:03:00:00:00:31"}});
    TRunningCollector& west = *collectors.back();
    const std::vector<std::string> all = {"nord", "sued", "west"};
    const std::vector<std::string> reachable = {"nord", "sued"};
    for (const auto& collector : collectors)
        ASSERT_TRUE(collector->Start());

    // The clients are known to the collectors (their snapshot rows are in) before
    // their first flows, as on a site the router announces them.
    for (const auto& collector : collectors)
        collector->Announce();
    std::vector<std::string> users;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return cluster.Query(1, QStringLiteral("select concat_ws(' ',collector,ip,mac) from akteth where collector<>'fremd'"),
                                 users, error)
                && users.size() == 8;
        },
        30000))
        << "snapshot rows on node 1:" << ::testing::PrintToString(users) << error << Logs(collectors);

    const auto sendRound = [&](int round, const std::vector<std::string>& names) {
        for (std::size_t c = 0; c < collectors.size(); ++c)
            if (std::find(names.begin(), names.end(), collectors[c]->Name) != names.end())
                collectors[c]->SendRound(round, static_cast<int>(c));
    };
    sendRound(1, all);
    ASSERT_TRUE(ArrivedOnNodeOne(cluster, collectors, all, 60000));

    // Node 2 fails: sued moves on to node 3; west keeps its octets.
    ASSERT_TRUE(cluster.Kill(2)) << "node 2 could not be killed";
    sendRound(2, all);
    ASSERT_TRUE(ArrivedOnNodeOne(cluster, collectors, reachable, 60000));

    // west restarted while its only node is down: its last export cannot be done, and
    // what it has not exported must survive into the next start.
    ASSERT_TRUE(west.Stop());
    EXPECT_NE(west.Log().find("Letzter mySQL Export beim Beenden nicht möglich"), std::string::npos) << west.Log();
    ASSERT_TRUE(west.Start());
    for (const auto& collector : collectors)
        collector->Announce();
    QTest::qWait(500);
    sendRound(3, all);
    ASSERT_TRUE(ArrivedOnNodeOne(cluster, collectors, reachable, 60000));

    std::string output;
    ASSERT_TRUE(cluster.StartAgain(2, output)) << output;
    // west's octets from before and after its restart, once node 2 is back.
    EXPECT_TRUE(ArrivedOnNodeOne(cluster, collectors, all, 60000)) << "west's octets across its restart";

    // The last run of each: the snapshot as of the end, with every client online (its
    // router announced it again: on a busy machine the last announcement may be older
    // than the online time-out by now).
    for (const auto& collector : collectors)
        collector->Announce();
    QTest::qWait(500);
    for (const auto& collector : collectors)
        ASSERT_TRUE(collector->Stop());

    const auto expected = Expected(collectors, all);
    for (int node = 1; node <= 3; ++node) {
        SCOPED_TRACE("node " + std::to_string(node));
        const auto sums = TrafficSums(cluster, node, error);
        ASSERT_TRUE(error.empty()) << error;
        EXPECT_EQ(sums.size(), expected.size() + 1) << "rows of no collector of the run:" << Describe(sums);

        for (const auto& collector : collectors) {
            SCOPED_TRACE(collector->Name);
            // Per client, the sum of its rows is what its router sent: nothing lost,
            // nothing twice. For west this takes the interval it could not export
            // before its restart, kept across it.
            EXPECT_EQ(Only(sums, {collector->Name}), Expected(collectors, {collector->Name}));
            std::set<std::string> wanted;
            for (const TRunningCollector::TClient& client : collector->Clients)
                wanted.insert(TRunningCollector::Ip(client) + "\t" + client.Mac + "\t1");
            ASSERT_TRUE(cluster.Query(node,
                                      QStringLiteral("select ip, mac, status from akteth where collector='%1'")
                                          .arg(QString::fromStdString(collector->Name)),
                                      rows, error))
                << error;
            EXPECT_EQ(std::set<std::string>(rows.begin(), rows.end()), wanted) << "its clients, online, and only those";
            EXPECT_EQ(rows.size(), wanted.size());

            ASSERT_TRUE(cluster.Query(node,
                                      QStringLiteral("select ip, flowsequenz, ploss from aktrouter where collector='%1'")
                                          .arg(QString::fromStdString(collector->Name)),
                                      rows, error))
                << error;
            EXPECT_EQ(rows, std::vector<std::string>{"127.0.0.1\t" + std::to_string(collector->LastSequence) + "\t0"})
                << "its router, with its last sequence and no loss";
        }
        ASSERT_TRUE(cluster.Query(node,
                                  QStringLiteral("select concat_ws('\t','akteth',collector,ip,mac) from akteth"
                                                 " where collector='fremd' union all"
                                                 " select concat_ws('\t','aktrouter',collector,ip,flowsequenz) from aktrouter"
                                                 " where collector='fremd' union all"
                                                 " select concat_ws('\t','traffic',collector,ip,mac,uloktets,dloktets) from traffic"
                                                 " where collector='fremd'"),
                                  rows, error))
            << error;
        EXPECT_EQ(rows, ForeignRows) << "the foreign collector's rows as they were";
    }
}
