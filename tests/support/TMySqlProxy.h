#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A TCP proxy on loopback between the program and the test MariaDB that can lose the
// answer to a COMMIT the way a network or a busy server does. It runs on threads of
// its own, so the test thread can run an export synchronously through it. Packets from
// the client are read whole (MySQL protocol: 3 bytes length, 1 byte sequence), so the
// proxy sees the COM_QUERY "COMMIT"; an armed fault hits the next one.
//
// HoldCommit keeps the COMMIT itself on its way: the client times out and gives up,
// while the proxy keeps the server connection (and its open transaction) until a
// statement containing the armed text is executed on another connection. That one goes
// to the server first, then the COMMIT, then the held connection closes: a late COMMIT
// that lands while the next run asks after it.
class TMySqlProxy {
public:
    enum class TFault {
        None,
        HoldAnswer,        // the server commits, its answer never comes: the client times out
        DropAfterCommit,   // the server commits and answers, then the connection drops
        DropBeforeCommit,  // the connection drops before the COMMIT reaches the server
        HoldCommit,        // the COMMIT reaches the server only after the armed statement
        // The server's transaction is rolled back and the client hears error 1213, as a
        // Galera node answers a certification conflict at COMMIT: nothing is committed.
        DeadlockAtCommit,
    };

    explicit TMySqlProxy(int serverPort) : ServerPort(serverPort)
    {
        Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(Listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address = Loopback(0);
        ::bind(Listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(Listener, 8);
        socklen_t length = sizeof address;
        ::getsockname(Listener, reinterpret_cast<sockaddr*>(&address), &length);
        ListenPort = ntohs(address.sin_port);
        Acceptor = std::thread([this] { Accept(); });
    }

    ~TMySqlProxy()
    {
        Stopping = true;
        Acceptor.join();
        for (std::thread& pipe : Pipes)
            pipe.join();
        ::close(Listener);
    }

    int Port() const { return ListenPort; }
    // `releaseOn`: for HoldCommit, a part of the statement whose execution lets the COMMIT go.
    void Arm(TFault fault, const std::string& releaseOn = {}) { ArmAfter(fault, 0, releaseOn); }

    // The same for the COMMIT after `commitsToPass` others have gone through unharmed.
    void ArmAfter(TFault fault, int commitsToPass, const std::string& releaseOn = {})
    {
        CommitsToPass = commitsToPass;
        {
            std::lock_guard lock(ReleaseMutex);
            ReleaseOn = releaseOn;
        }
        Released = false;
        Armed = fault;
    }
    // How many armed faults have hit a COMMIT, and connections dropped by DropOn.
    int FaultsApplied() const { return Applied; }

    // Drops the connection, as a node going down does, when the next statement holding
    // `text` is sent (as a query or to be prepared), before the server sees it; the
    // next `times` such statements in all.
    void DropOn(const std::string& text, int times = 1)
    {
        std::lock_guard lock(ReleaseMutex);
        DropText = text;
        DropTimes = times;
    }

    // Closes every connection open now, as a server restart or a cluster node going
    // down does; connections made afterwards work again.
    void DropAll()
    {
        ++Generation;
        for (int waited = 0; Open > 0 && waited < 5000; waited += 10)
            ::usleep(10'000);
    }

private:
    static sockaddr_in Loopback(int port)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        return address;
    }

    static bool WriteAll(int fd, const char* data, std::size_t size)
    {
        while (size > 0) {
            const ssize_t written = ::send(fd, data, size, MSG_NOSIGNAL);
            if (written <= 0)
                return false;
            data += written;
            size -= static_cast<std::size_t>(written);
        }
        return true;
    }

    // Waits up to `ms` for `fd` to be readable; false on time-out or when stopping.
    bool Readable(int fd, int ms) const
    {
        for (int waited = 0; waited < ms && !Stopping; waited += 50) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 50) > 0)
                return true;
        }
        return false;
    }

    void Accept()
    {
        while (!Stopping) {
            if (!Readable(Listener, 100))
                continue;
            const int client = ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            std::lock_guard lock(PipesMutex);
            Pipes.emplace_back([this, client] { Pipe(client); });
        }
    }

    void Pipe(int client)
    {
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = Loopback(ServerPort);
        if (::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            Forward(client, server);
        ::close(client);
        ::close(server);
    }

    static constexpr char ComQuery = '\x03';
    static constexpr char ComStmtPrepare = '\x16';
    static constexpr char ComStmtExecute = '\x17';

    bool DropsOn(const std::string& packet)
    {
        std::lock_guard lock(ReleaseMutex);
        if (DropTimes <= 0 || DropText.empty() || (packet[4] != ComQuery && packet[4] != ComStmtPrepare)
            || packet.find(DropText, 5) == std::string::npos)
            return false;
        --DropTimes;
        ++Applied;
        return true;
    }

    bool Contains(const std::string& packet, std::size_t from)
    {
        std::lock_guard lock(ReleaseMutex);
        return !ReleaseOn.empty() && packet.find(ReleaseOn, from) != std::string::npos;
    }

    // Sends the held COMMIT once the armed statement has gone to the server, waits for
    // the server's answer, and lets the connection end.
    void SendHeldCommit(int server, const std::string& commit)
    {
        for (int waited = 0; !Released && !Stopping && waited < 60'000; waited += 10)
            ::usleep(10'000);
        if (!Released || !WriteAll(server, commit.data(), commit.size()))
            return;
        char answer[256];
        if (Readable(server, 5000))
            ::recv(server, answer, sizeof answer, 0);
    }

    // Rolls the server's transaction back (its OK is not passed on) and answers the
    // client's COMMIT with an error packet 1213, SQL state 40001.
    bool AnswerDeadlock(int client, int server, char sequence)
    {
        const std::string rollback = std::string("\x09\x00\x00\x00\x03", 5) + "ROLLBACK";
        if (!WriteAll(server, rollback.data(), rollback.size()) || !Readable(server, 5000))
            return false;
        char answer[256];
        if (::recv(server, answer, sizeof answer, 0) <= 0)
            return false;
        const std::string message = "Deadlock found when trying to get lock; try restarting transaction";
        std::string payload = std::string("\xff\xbd\x04#40001", 9) + message;
        std::string packet(4, '\0');
        packet[0] = static_cast<char>(payload.size() & 0xff);
        packet[1] = static_cast<char>((payload.size() >> 8) & 0xff);
        packet[2] = 0;
        packet[3] = static_cast<char>(sequence + 1);
        packet += payload;
        return WriteAll(client, packet.data(), packet.size());
    }

    void Forward(int client, int server)
    {
        ++Open;
        struct TCount {
            std::atomic<int>& Count;
            ~TCount() { --Count; }
        } count{Open};
        const int generation = Generation;
        std::string fromClient;
        bool holding = false;
        bool releasePrepared = false;  // the armed statement was prepared: its execution releases
        char buffer[65536];
        while (!Stopping && generation == Generation) {
            pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (::poll(fds, 2, 100) <= 0)
                continue;
            if (fds[1].revents != 0) {
                const ssize_t got = ::recv(server, buffer, sizeof buffer, 0);
                if (got <= 0)
                    return;
                if (!holding && !WriteAll(client, buffer, static_cast<std::size_t>(got)))
                    return;
            }
            if (fds[0].revents == 0)
                continue;
            const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
            if (got <= 0)
                return;  // the client gave up (its read time-out) or closed
            fromClient.append(buffer, static_cast<std::size_t>(got));
            while (fromClient.size() >= 4) {
                const std::size_t length = static_cast<unsigned char>(fromClient[0])
                    | static_cast<std::size_t>(static_cast<unsigned char>(fromClient[1])) << 8
                    | static_cast<std::size_t>(static_cast<unsigned char>(fromClient[2])) << 16;
                if (fromClient.size() < 4 + length)
                    break;
                const std::string packet = fromClient.substr(0, 4 + length);
                fromClient.erase(0, 4 + length);
                if (length > 1 && DropsOn(packet))
                    return;
                const bool commit = length == 7 && packet[4] == ComQuery && ::strncasecmp(packet.data() + 5, "COMMIT", 6) == 0;
                const bool pass = commit && Armed != TFault::None && CommitsToPass-- > 0;
                const TFault fault = commit && !pass ? Armed.exchange(TFault::None) : TFault::None;
                if (fault != TFault::None)
                    ++Applied;
                if (fault == TFault::DropBeforeCommit)
                    return;
                if (fault == TFault::HoldCommit) {
                    SendHeldCommit(server, packet);
                    return;
                }
                if (fault == TFault::DeadlockAtCommit) {
                    if (!AnswerDeadlock(client, server, packet[3]))
                        return;
                    continue;
                }
                const bool armedText = length > 1 && Contains(packet, 5);
                const bool releases = (packet[4] == ComQuery && armedText)
                    || (packet[4] == ComStmtExecute && releasePrepared);
                if (packet[4] == ComStmtPrepare && armedText)
                    releasePrepared = true;
                if (!WriteAll(server, packet.data(), packet.size()))
                    return;
                if (releases) {
                    releasePrepared = false;
                    Released = true;
                }
                if (fault == TFault::DropAfterCommit) {
                    // Only once the server has answered is the COMMIT surely done.
                    if (Readable(server, 5000))
                        ::recv(server, buffer, sizeof buffer, 0);
                    return;
                }
                if (fault == TFault::HoldAnswer)
                    holding = true;
            }
        }
    }

    const int ServerPort;
    int Listener = -1;
    int ListenPort = 0;
    std::atomic<bool> Stopping{false};
    std::atomic<TFault> Armed{TFault::None};
    std::atomic<int> CommitsToPass{0};
    std::atomic<int> Generation{0};
    std::atomic<int> Open{0};
    std::atomic<int> Applied{0};
    std::mutex ReleaseMutex;
    std::string ReleaseOn;
    std::string DropText;
    int DropTimes = 0;
    std::atomic<bool> Released{false};
    std::thread Acceptor;
    std::mutex PipesMutex;
    std::vector<std::thread> Pipes;
};
