#include "TUdpListener.h"

#include <QElapsedTimer>
#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <cstring>

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// Batches emptied by the window thread are kept for the receiver to fill again, up to
// this much buffer space in all. While the window thread is busy (a display tick at
// tens of thousands of users takes tens of milliseconds), the receiver queues a batch
// per read, a hundred or more at 150,000 datagrams a second; kept, they are filled
// again without a trip to the allocator and without growing their buffers anew.
constexpr std::size_t SpareBytes = 8 * 1024 * 1024;

void Signal(int fd)
{
    const std::uint64_t one = 1;
    // A full counter (never reached) or EINTR leaves it signalled all the same.
    [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
}

std::string AddressText(std::uint32_t ip)
{
    return std::to_string(ip >> 24) + "." + std::to_string(ip >> 16 & 255) + "." + std::to_string(ip >> 8 & 255)
           + "." + std::to_string(ip & 255);
}
}

TUdpListener::TUdpListener(quint16 port, THandler handler, QObject* parent, std::size_t queueBytes)
    : QObject(parent), Requested(port), Handler(std::move(handler)), QueueLimit(queueBytes)
{
    // No SO_REUSEADDR or SO_REUSEPORT: the port is ours alone. A port in use leaves the
    // listener silent; the window says which port it is.
    Fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (Fd < 0)
        return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    WakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    StopFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (WakeFd < 0 || StopFd < 0 || ::bind(Fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0
        || ::getsockname(Fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        for (int* fd : {&Fd, &WakeFd, &StopFd})
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
        return;
    }
    BoundPort = ntohs(address.sin_port);
    // The kernel's buffer still bridges the moments the receiver is not scheduled (a
    // VM stall, a busy core).
    const int bufferBytes = ReceiveBufferBytes;
    ::setsockopt(Fd, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
    // Each datagram then carries how many the kernel dropped on this socket so far.
    const int on = 1;
    ::setsockopt(Fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);

    Notifier = new QSocketNotifier(WakeFd, QSocketNotifier::Read, this);
    connect(Notifier, &QSocketNotifier::activated, this, &TUdpListener::Drain);
    Receiver = std::thread([this] { Receive(); });
}

TUdpListener::~TUdpListener()
{
    if (Receiver.joinable()) {
        // The receiver checks the flag between batches and wakes from its wait on StopFd,
        // so it ends promptly even while a flood keeps its socket readable.
        Stopping.store(true, std::memory_order_relaxed);
        Signal(StopFd);
        Receiver.join();
    }
    delete Notifier;
    for (int fd : {Fd, WakeFd, StopFd})
        if (fd >= 0)
            ::close(fd);
}

int TUdpListener::ReceiveBuffer() const
{
    int size = 0;
    socklen_t length = sizeof size;
    if (Fd < 0 || ::getsockopt(Fd, SOL_SOCKET, SO_RCVBUF, &size, &length) != 0)
        return -1;
    return size;
}

std::size_t TUdpListener::Waiting() const
{
    std::lock_guard guard(Lock);
    return QueuedDatagrams + (Current ? Current->Datagrams.size() - Next : 0);
}

std::unique_ptr<TUdpListener::TBatch> TUdpListener::TakeSpare()
{
    std::unique_ptr<TBatch> batch;
    {
        std::lock_guard guard(Lock);
        if (!Spare.empty()) {
            batch = std::move(Spare.back());
            Spare.pop_back();
            SpareCapacity -= batch->Bytes.capacity();
        }
    }
    if (!batch) {
        batch = std::make_unique<TBatch>();
        batch->Datagrams.reserve(BatchSize);
    }
    batch->Bytes.clear();
    batch->Datagrams.clear();
    batch->Cost = 0;
    return batch;
}

void TUdpListener::KeepSpare(std::unique_ptr<TBatch>& batch)
{
    const std::size_t capacity = batch->Bytes.capacity();
    if (SpareCapacity + capacity > SpareBytes)
        return;
    SpareCapacity += capacity;
    Spare.push_back(std::move(batch));
}

void TUdpListener::Receive()
{
    // One byte more than accepted per datagram: a datagram that fills it is too long, and
    // the handler rejects it by its size instead of seeing a silently cut one.
    constexpr std::size_t slot = BufferSize + 1;
    constexpr std::size_t controlSize = CMSG_SPACE(sizeof(std::uint32_t));
    std::vector<unsigned char> buffers(BatchSize * slot);
    std::array<mmsghdr, BatchSize> messages{};
    std::array<iovec, BatchSize> vectors{};
    std::array<sockaddr_in, BatchSize> senders{};
    struct alignas(cmsghdr) TControl {
        unsigned char Bytes[controlSize];
    };
    std::array<TControl, BatchSize> controls{};
    std::uint32_t kernelCount = 0;
    pollfd waitFor[2] = {{Fd, POLLIN, 0}, {StopFd, POLLIN, 0}};

    while (!Stopping.load(std::memory_order_relaxed)) {
        for (std::size_t i = 0; i < BatchSize; ++i) {
            vectors[i] = {buffers.data() + i * slot, slot};
            msghdr& header = messages[i].msg_hdr;
            header = {};
            header.msg_name = &senders[i];
            header.msg_namelen = sizeof senders[i];
            header.msg_iov = &vectors[i];
            header.msg_iovlen = 1;
            header.msg_control = controls[i].Bytes;
            header.msg_controllen = controlSize;
            messages[i].msg_len = 0;
        }
        const int count = ::recvmmsg(Fd, messages.data(), BatchSize, MSG_DONTWAIT, nullptr);
        if (count <= 0) {
            const bool idle = count == 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            // Anything else (out of memory, say) is waited out briefly, listening only for
            // the stop: the socket may stay readable, and retrying at once would spin.
            if (idle)
                ::poll(waitFor, 2, -1);
            else
                ::poll(waitFor + 1, 1, 10);
            continue;
        }

        // The kernel's count is the socket's total so far, 32 bits wide.
        for (int i = 0; i < count; ++i) {
            msghdr& header = messages[static_cast<std::size_t>(i)].msg_hdr;
            for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c))
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                    std::uint32_t total = 0;
                    std::memcpy(&total, CMSG_DATA(c), sizeof total);
                    KernelDropped.fetch_add(static_cast<std::uint32_t>(total - kernelCount), std::memory_order_relaxed);
                    kernelCount = total;
                }
        }

        std::size_t room = 0;
        {
            std::lock_guard guard(Lock);
            const std::size_t limit = QueueLimit.load(std::memory_order_relaxed);
            room = limit > QueuedBytes ? limit - QueuedBytes : 0;
        }
        // The window thread only ever makes more room meanwhile. From the first datagram
        // that does not fit, the rest of the batch is dropped: what is queued stays in order.
        std::unique_ptr<TBatch> batch = TakeSpare();
        int taken = 0;
        for (; taken < count; ++taken) {
            const std::size_t size = messages[static_cast<std::size_t>(taken)].msg_len;
            if (batch->Cost + size + PerDatagramCost > room)
                break;
            const sockaddr_in& from = senders[static_cast<std::size_t>(taken)];
            batch->Datagrams.push_back({static_cast<std::uint32_t>(batch->Bytes.size()), static_cast<std::uint16_t>(size),
                                        ntohs(from.sin_port), ntohl(from.sin_addr.s_addr)});
            const unsigned char* bytes = buffers.data() + static_cast<std::size_t>(taken) * slot;
            batch->Bytes.insert(batch->Bytes.end(), bytes, bytes + size);
            batch->Cost += size + PerDatagramCost;
        }
        if (taken < count)
            QueueDropped.fetch_add(static_cast<std::uint64_t>(count - taken), std::memory_order_relaxed);
        ReceivedCount.fetch_add(static_cast<std::uint64_t>(taken), std::memory_order_relaxed);

        std::lock_guard guard(Lock);
        if (taken > 0) {
            QueuedBytes += batch->Cost;
            QueuedDatagrams += batch->Datagrams.size();
            Queue.push_back(std::move(batch));
        } else {
            KeepSpare(batch);
        }
        // Woken once until it has emptied the queue; also for drops alone, so they are
        // shown even when nothing could be queued.
        if (!WakePending && (taken > 0 || taken < count)) {
            WakePending = true;
            Signal(WakeFd);
        }
    }
}

void TUdpListener::Drain()
{
    Turn(DrainBudget, DrainBudgetNs);
}

void TUdpListener::HandleWaiting()
{
    if (Bound())
        Turn(Waiting(), -1);
}

std::size_t TUdpListener::HandleWaiting(qint64 budgetNs)
{
    if (Bound())
        Turn(Waiting(), budgetNs);
    return Waiting();
}

void TUdpListener::Turn(std::size_t most, qint64 budgetNs)
{
    // A handler that opens a nested event loop (a message box) must not come back in
    // here: the notifier stays off until this turn is over.
    if (Draining)
        return;
    Draining = true;
    Notifier->setEnabled(false);
    struct TTurnEnd {
        TUdpListener* Self;
        ~TTurnEnd()
        {
            Self->Draining = false;
            Self->Notifier->setEnabled(true);
        }
    } turnEnd{this};

    QElapsedTimer clock;
    clock.start();
    std::size_t handled = 0;
    for (;;) {
        if (!Current || Next == Current->Datagrams.size()) {
            std::lock_guard guard(Lock);
            if (Current)
                KeepSpare(Current);
            Current.reset();
            if (Queue.empty()) {
                // Under the lock, so a batch queued right now signals anew.
                WakePending = false;
                std::uint64_t counter = 0;
                [[maybe_unused]] const ssize_t taken = ::read(WakeFd, &counter, sizeof counter);
                break;
            }
            Current = std::move(Queue.front());
            Queue.pop_front();
            Next = 0;
            QueuedBytes -= Current->Cost;
            QueuedDatagrams -= Current->Datagrams.size();
        }
        // The rest waits for the next turn: WakeFd stays signalled, so the notifier
        // comes again after the event loop has done its other work.
        if (handled >= most || (budgetNs >= 0 && handled > 0 && clock.nsecsElapsed() >= budgetNs))
            break;
        const TDatagram& datagram = Current->Datagrams[Next++];
        ++handled;
        Handle(*Current, datagram);
    }

    const std::uint64_t drops = QueueDrops() + KernelDrops();
    if (drops != DropsSeen) {
        DropsSeen = drops;
        emit DropsChanged();
    }
}

void TUdpListener::Handle(const TBatch& batch, const TDatagram& datagram)
{
    if (LastSender.empty() || datagram.Address != LastAddress) {
        LastAddress = datagram.Address;
        LastSender = AddressText(datagram.Address);
    }
    Handler(std::span(batch.Bytes.data() + datagram.Offset, datagram.Size), LastSender, datagram.Port);
}
