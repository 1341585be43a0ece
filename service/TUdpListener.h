#pragma once

#include <QObject>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

class QSocketNotifier;

// A UDP listener on all IPv4 addresses, bound exclusively: with address reuse a second
// process could bind the same port and silently take part of the traffic.
//
// Receiving and handling are two jobs on two threads. Everything the window thread
// does besides accounting (the display tick, a modal dialog's layout, a resize, an
// fsync) is time in which nobody reads the socket, and a kernel buffer of a few MB
// holds only a fraction of a second of a busy router's export. So a receiver thread of
// its own drains the socket whenever datagrams wait, and the window thread (the main
// thread when headless) handles them from an in-process queue at its own pace, in the
// order they came, with the handler as before: every rule of accounting stays on the
// thread that owns the store, and the store needs no lock.
//
// The receiver reads with recvmmsg, up to BatchSize datagrams per system call: at a
// hundred thousand datagrams a second one call each would cost more than the copying.
// A batch goes to the queue whole and wakes the window thread once, when the queue was
// empty, not per datagram.
//
// The queue is bounded by bytes (datagram sizes plus a little per datagram), by
// default VEXAL_INGEST_QUEUE_BYTES, seconds of traffic at full rate: a window that
// stays stalled must not let the program grow without limit. What does not fit is
// dropped and counted (QueueDrops), as are the kernel's own drops for the socket, which
// it reports with each datagram (SO_RXQ_OVFL): every loss is seen with its cause.
class TUdpListener : public QObject {
    Q_OBJECT
public:
    // The largest datagram the handlers accept; a longer one is reported as too long.
    static constexpr qint64 BufferSize = 2048;
    static constexpr int ReceiveBufferBytes = 8 * 1024 * 1024;
    // Datagrams per recvmmsg call.
    static constexpr int BatchSize = 64;
    static constexpr std::size_t DefaultQueueBytes = VEXAL_INGEST_QUEUE_BYTES;
    // One turn of the window thread handles at most this many datagrams, or as many as
    // fit in this time, then lets the event loop run (clicks, paints, timers); the rest
    // stays queued for the next turn.
    static constexpr int DrainBudget = 256;
    static constexpr qint64 DrainBudgetNs = 5'000'000;

    // The sender's port tells IPFIX transport sessions of one exporter apart.
    using THandler =
        std::function<void(std::span<const unsigned char> bytes, const std::string& sender, quint16 senderPort)>;

    TUdpListener(quint16 port, THandler handler, QObject* parent = nullptr,
                 std::size_t queueBytes = DefaultQueueBytes);
    // Stops the receiver and waits for it; what is still queued is not handled.
    ~TUdpListener() override;

    bool Bound() const { return Fd >= 0; }
    quint16 Port() const { return BoundPort; }
    // The port asked for, bound or not (0: any free port).
    quint16 RequestedPort() const { return Requested; }
    int ReceiveBuffer() const;

    // Datagrams lost, by cause: the queue was full, or the kernel's buffer was.
    std::uint64_t QueueDrops() const { return QueueDropped.load(std::memory_order_relaxed); }
    std::uint64_t KernelDrops() const { return KernelDropped.load(std::memory_order_relaxed); }
    // Datagrams received and not handled yet.
    std::size_t Waiting() const;
    // Received in all, handled or not (the drops not included).
    std::uint64_t Received() const { return ReceivedCount.load(std::memory_order_relaxed); }
    // Handles every datagram received until now, without a time budget: on the way out,
    // so that what already arrived is counted before the last save.
    void HandleWaiting();
    // The same within a time budget; returns how many are left waiting.
    std::size_t HandleWaiting(qint64 budgetNs);
    // The queue's bound in bytes; takes effect for the datagrams received from now on.
    void SetQueueBytes(std::size_t bytes) { QueueLimit.store(bytes, std::memory_order_relaxed); }

signals:
    // QueueDrops or KernelDrops went up (said at most once per turn of the event loop).
    void DropsChanged();

private:
    struct TDatagram {
        std::uint32_t Offset;
        std::uint16_t Size;
        std::uint16_t Port;
        std::uint32_t Address;  // host order
    };
    struct TBatch {
        std::vector<unsigned char> Bytes;
        std::vector<TDatagram> Datagrams;
        std::size_t Cost = 0;
    };
    static constexpr std::size_t PerDatagramCost = sizeof(TDatagram) + 16;

    void Receive();
    void Drain();
    // Handles at most `most` datagrams, and stops after budgetNs (none when negative).
    void Turn(std::size_t most, qint64 budgetNs);
    void Handle(const TBatch& batch, const TDatagram& datagram);
    std::unique_ptr<TBatch> TakeSpare();
    // Under Lock: keeps an emptied batch for reuse while the spares' buffers stay within
    // their bound; else leaves it to its owner to free.
    void KeepSpare(std::unique_ptr<TBatch>& batch);

    int Fd = -1;
    quint16 BoundPort = 0;
    quint16 Requested = 0;
    THandler Handler;

    // Shared between the receiver and the window thread.
    mutable std::mutex Lock;
    std::deque<std::unique_ptr<TBatch>> Queue;       // under Lock
    std::vector<std::unique_ptr<TBatch>> Spare;      // under Lock: emptied batches, kept for reuse
    std::size_t SpareCapacity = 0;                   // under Lock: their buffers' bytes
    std::size_t QueuedBytes = 0;                     // under Lock
    std::size_t QueuedDatagrams = 0;                 // under Lock
    bool WakePending = false;                        // under Lock: WakeFd is signalled
    std::atomic<std::size_t> QueueLimit;
    std::atomic<std::uint64_t> QueueDropped{0};
    std::atomic<std::uint64_t> KernelDropped{0};
    std::atomic<std::uint64_t> ReceivedCount{0};
    std::atomic<bool> Stopping{false};
    int WakeFd = -1;  // the receiver tells the window thread that the queue holds datagrams
    int StopFd = -1;  // the window thread tells the receiver to end

    // The window thread's own.
    QSocketNotifier* Notifier = nullptr;
    std::unique_ptr<TBatch> Current;
    std::size_t Next = 0;
    bool Draining = false;
    std::uint64_t DropsSeen = 0;
    // The last sender's address and its text: most datagrams come from one router.
    std::uint32_t LastAddress = 0;
    std::string LastSender;

    std::thread Receiver;
};
