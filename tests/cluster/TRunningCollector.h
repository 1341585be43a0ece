#pragma once

#include "FlowDatagramBuilder.h"
#include "TDaten.h"
#include "TStateFile.h"
#include "TempDir.h"

#include <QHostAddress>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

// One real headless collector in a folder of its own, on ports of its own, with the
// router that exports to it: a UDP socket with a fixed source port (one exporter domain)
// whose NetFlow v5 sequence goes on from datagram to datagram, as a router's does.
// Remembers every octet it had the router send, per client.
class TRunningCollector {
public:
    struct TClient {
        std::uint8_t Host;  // 192.168.1.Host
        std::string Mac;
    };
    struct TOctets {
        std::int64_t Up = 0;
        std::int64_t Down = 0;
        bool operator==(const TOctets&) const = default;
        friend void PrintTo(const TOctets& octets, std::ostream* out)
        {
            *out << "up " << octets.Up << ", down " << octets.Down;
        }
    };

    // hosts: the export's host field ("127.0.0.1:p2,127.0.0.1:p3"), port the first one's.
    TRunningCollector(std::string name, std::vector<TClient> clients, const std::string& hosts, const std::string& port,
                      const std::map<std::string, std::string>& login)
        : Name(std::move(name)), Clients(std::move(clients))
    {
        TDaten d;
        d.LocalSubnets = {"192.168.1"};
        d.ExportEnabled = true;
        d.ExportInterval = 1;
        d.MySqlHost = hosts;
        d.MySqlPort = port;
        d.MySqlUser = login.at("user");
        d.MySqlPassword = login.at("password");
        d.MySqlDatabase = login.at("database");
        Saved = TStateFile::Save(d, Dir.File("vexal.ini"));
        // The local history is not what this test is about; it would only add load.
        WriteWholeFile(Dir.File("vexal-extra.ini"), "HistoryEnabled=0\nKollektor=" + Name + "\n");
        Router.bind(QHostAddress::LocalHost, 0);
        // Ports the system hands out, held until the program starts, so no two
        // collectors of the test (nor a router) get the same one.
        FlowProbe.bind(QHostAddress::Any, 0);
        AnnounceProbe.bind(QHostAddress::Any, 0);
        FlowPort = FlowProbe.localPort();
        AnnouncePort = AnnounceProbe.localPort();
    }

    ~TRunningCollector()
    {
        if (Program.state() != QProcess::NotRunning) {
            Program.kill();
            Program.waitForFinished(5000);
        }
    }

    const std::string Name;
    const std::vector<TClient> Clients;
    // Every octet sent to this collector, per client address.
    std::map<std::string, TOctets> Sent;
    // The router's last datagram sequence.
    std::uint32_t LastSequence = 0;

    static std::string Ip(const TClient& client) { return "192.168.1." + std::to_string(client.Host); }

    // Starts the program and waits until it says it runs (state loaded, ports open).
    ::testing::AssertionResult Start()
    {
        if (!Saved)
            return ::testing::AssertionFailure() << Name << ": vexal.ini not written";
        FlowProbe.close();
        AnnounceProbe.close();
        Program.setWorkingDirectory(QString::fromStdString(Dir.Path.string()));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(QString::fromLatin1(variable));
        Program.setProcessEnvironment(environment);
        // Into a file, appended over restarts: a pipe nobody reads would block the
        // program once full, and the file tells what happened when a check fails.
        Program.setStandardErrorFile(QString::fromStdString(Dir.File("log.txt")), QIODevice::Append);
        Program.setStandardOutputFile(QProcess::nullDevice());
        Program.start(QStringLiteral(VEXAL_CAPTURE_BINARY),
                      {QStringLiteral("--headless"), QStringLiteral("--flow-port"), QString::number(FlowPort),
                       QStringLiteral("--announce-port"), QString::number(AnnouncePort)});
        const auto starts = Log().size();
        const bool running = QTest::qWaitFor(
            [&] {
                return Log().find("läuft ohne Fenster", starts) != std::string::npos
                    || Program.state() == QProcess::NotRunning;
            },
            30000);
        if (!running || Program.state() == QProcess::NotRunning)
            return ::testing::AssertionFailure() << Name << " not running: " << Log();
        return ::testing::AssertionSuccess();
    }

    // Stops it as a service manager does and waits for its end (with its last export).
    ::testing::AssertionResult Stop()
    {
        ::kill(static_cast<pid_t>(Program.processId()), SIGTERM);
        if (!Program.waitForFinished(30000))
            return ::testing::AssertionFailure() << Name << " still running 30 s after SIGTERM";
        if (Program.exitStatus() != QProcess::NormalExit || Program.exitCode() != 0)
            return ::testing::AssertionFailure() << Name << " ended with " << Program.exitCode() << ": " << Log();
        return ::testing::AssertionSuccess();
    }

    // The router announces every client with its MAC.
    void Announce()
    {
        for (const TClient& client : Clients) {
            const std::string text = "f0 " + Ip(client) + " f2 f3 " + client.Mac + " f5 eth0";
            Router.writeDatagram(text.data(), static_cast<qint64>(text.size()), QHostAddress::LocalHost, AnnouncePort);
        }
    }

    // One datagram per client, a download and an upload flow, with octets that differ
    // per round, collector and client, so a row charged to the wrong one shows.
    void SendRound(int round, int collector)
    {
        for (std::size_t i = 0; i < Clients.size(); ++i) {
            const std::uint32_t down = 1'000'000u * static_cast<std::uint32_t>(round) + 10'000u * static_cast<std::uint32_t>(collector)
                + 100u * static_cast<std::uint32_t>(i) + 7u;
            const std::uint32_t up = down / 10 + 3;
            const std::uint32_t sequence = NextSequence;
            const auto bytes = TFlowDatagramBuilder(sequence)
                                   .Add(::Ip(8, 8, 8, 8), 443, ::Ip(192, 168, 1, Clients[i].Host), 50000, down)
                                   .Add(::Ip(192, 168, 1, Clients[i].Host), 50000, ::Ip(8, 8, 8, 8), 443, up)
                                   .Bytes();
            // NetFlow v5 counts flows: the next datagram's sequence is this one's plus its two.
            NextSequence += 2;
            LastSequence = sequence;
            Router.writeDatagram(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()),
                                 QHostAddress::LocalHost, FlowPort);
            TOctets& sent = Sent[Ip(Clients[i])];
            sent.Up += up;
            sent.Down += down;
        }
    }

    std::string Log() const { return ReadWholeFile(Dir.File("log.txt")); }

private:
    TTempDir Dir;
    bool Saved = false;
    QProcess Program;
    QUdpSocket Router;
    QUdpSocket FlowProbe;
    QUdpSocket AnnounceProbe;
    quint16 FlowPort = 0;
    quint16 AnnouncePort = 0;
    std::uint32_t NextSequence = 1000;
};
