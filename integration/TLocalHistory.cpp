#include "TLocalHistory.h"

#include "THistoryStore.h"

#include <QAtomicInteger>
#include <QPointer>

#include <algorithm>
#include <memory>

namespace {
QString NextConnectionName()
{
    static QAtomicInteger<int> counter;
    return QStringLiteral("vexal-history-%1").arg(counter.fetchAndAddRelaxed(1));
}

void AddDeparted(std::map<std::pair<std::string, std::string>, THistoryDevice>& into, THistoryDevice device)
{
    auto [entry, added] = into.try_emplace({device.IP, device.MAC}, device);
    if (added)
        return;
    // Each departure of the device was a row of its own, begun from 0 after the one
    // before: together they are one departure with the totals summed.
    THistoryDevice& sum = entry->second;
    if (__builtin_add_overflow(sum.UL, device.UL, &sum.UL))
        sum.UL = INT64_MAX;
    if (__builtin_add_overflow(sum.DL, device.DL, &sum.DL))
        sum.DL = INT64_MAX;
    sum.Device = std::move(device.Device);
}
}

TLocalHistory::TLocalHistory(const QString& path, QObject* parent) : QObject(parent), FilePath(path)
{
    Worker.setObjectName(QStringLiteral("LocalHistory"));
    WorkerContext = new QObject;
    WorkerContext->moveToThread(&Worker);
    connect(&Worker, &QThread::finished, WorkerContext, &QObject::deleteLater);
    Worker.start();
    const QString connection = NextConnectionName();
    QPointer<TLocalHistory> self(this);
    QMetaObject::invokeMethod(WorkerContext, [this, self, connection] {
        // Created here so that its connection belongs to the worker thread.
        Store = new THistoryStore(FilePath, connection);
        const THistoryOutcome opened = Store->Open();
        if (!opened.Message.isEmpty() && self)
            Tell(opened.Message);
    });
}

TLocalHistory::~TLocalHistory()
{
    {
        const std::lock_guard lock(Lock);
        if (!Pending.Empty() && !Pending.Posted)
            Post();
    }
    QMetaObject::invokeMethod(
        WorkerContext,
        [this] {
            delete Store;
            Store = nullptr;
        },
        Qt::BlockingQueuedConnection);
    Worker.quit();
    Worker.wait();
}

void TLocalHistory::Record(THistorySnapshot snapshot)
{
    if (!Began) {
        // The first table is where a new file's history begins (its totals are the
        // marks): it is written as it is, never joined by what comes after it.
        Began = true;
        snapshot.HourlyAfterDays = HourlyAfterDays;
        snapshot.DailyAfterDays = DailyAfterDays;
        auto first = std::make_shared<THistorySnapshot>(std::move(snapshot));
        QMetaObject::invokeMethod(WorkerContext, [this, first] { Write(*first); });
        return;
    }
    const std::lock_guard lock(Lock);
    // Rows that departed after the table waiting so far departed before this one; the
    // older table itself is out of date.
    for (auto& [key, device] : Pending.After)
        AddDeparted(Pending.Before, std::move(device));
    Pending.After.clear();
    Pending.Table = std::move(snapshot);
    Pending.HourlyAfterDays = HourlyAfterDays;
    Pending.DailyAfterDays = DailyAfterDays;
    if (!Pending.Posted)
        Post();
}

void TLocalHistory::Depart(THistoryDevice device, const TLocalTime& at)
{
    if (device.UL == 0 && device.DL == 0)
        return;  // nothing to book; a mark it may have goes with the next table
    std::size_t waiting = 0;
    bool failing = false;
    {
        const std::lock_guard lock(Lock);
        AddDeparted(Pending.Table ? Pending.After : Pending.Before, std::move(device));
        Pending.DepartedAt = at;
        Pending.HourlyAfterDays = HourlyAfterDays;
        Pending.DailyAfterDays = DailyAfterDays;
        waiting = Pending.Before.size() + Pending.After.size();
        if (waiting >= DepartedWriteAt && !Pending.Posted)
            Post();
        failing = WriteFailed;
    }
    // The worker cannot keep up with a slow file: the flood waits for it rather than
    // grow the sums without end. While writes fail (a locked file) waiting would only
    // stop the counting; the sums then grow by devices, not by departures.
    if (waiting >= DepartedWaitAt && !failing)
        WaitForWrites();
}

std::size_t TLocalHistory::DepartedWaiting()
{
    const std::lock_guard lock(Lock);
    return Pending.Before.size() + Pending.After.size();
}

void TLocalHistory::Post()
{
    Pending.Posted = true;
    QMetaObject::invokeMethod(WorkerContext, [this] { WriteWaiting(); });
}

void TLocalHistory::WriteWaiting()
{
    TPendingWrite work;
    {
        const std::lock_guard lock(Lock);
        work = std::move(Pending);
        Pending = TPendingWrite{};
    }
    if (work.Empty())
        return;
    THistorySnapshot snapshot;
    if (work.Table) {
        snapshot = std::move(*work.Table);
        // A device that departed after the table was taken is out of date in it.
        if (!work.After.empty())
            std::erase_if(snapshot.Devices,
                          [&](const THistoryDevice& device) { return work.After.contains({device.IP, device.MAC}); });
    } else {
        snapshot.WholeTable = false;
    }
    if (work.DepartedAt && (!work.Table || work.DepartedAt->Day > snapshot.At.Day
                            || (work.DepartedAt->Day == snapshot.At.Day && work.DepartedAt->MsOfDay > snapshot.At.MsOfDay)))
        snapshot.At = *work.DepartedAt;
    for (auto& [key, device] : work.After)
        AddDeparted(work.Before, std::move(device));
    snapshot.Departed.reserve(work.Before.size());
    for (auto& [key, device] : work.Before)
        snapshot.Departed.push_back(std::move(device));
    snapshot.HourlyAfterDays = work.HourlyAfterDays;
    snapshot.DailyAfterDays = work.DailyAfterDays;
    Write(snapshot);
}

void TLocalHistory::Write(THistorySnapshot& snapshot)
{
    const THistoryOutcome written = Store->Write(snapshot);
    if (!written.Message.isEmpty())
        Tell(written.Message);
    {
        const std::lock_guard lock(Lock);
        WriteFailed = !written.Ok;
        // A table is taken again with the next write; departed rows are not: they wait
        // for it, before anything that departed meanwhile.
        if (!written.Ok)
            for (THistoryDevice& device : snapshot.Departed)
                AddDeparted(Pending.Before, std::move(device));
    }
    if (!written.Ok)
        return;
    const THistoryOutcome rolled = Store->RollUp(snapshot.At, snapshot.HourlyAfterDays, snapshot.DailyAfterDays);
    if (!rolled.Message.isEmpty())
        Tell(rolled.Message);
    const int rows = written.Rows;
    QPointer<TLocalHistory> self(this);
    QMetaObject::invokeMethod(this, [self, rows] {
        if (self)
            emit self->Written(rows);
    });
}

void TLocalHistory::RememberMacs(std::vector<std::string> macs, const TLocalTime& at)
{
    if (macs.empty())
        return;
    auto list = std::make_shared<std::vector<std::string>>(std::move(macs));
    QMetaObject::invokeMethod(WorkerContext, [this, list, at] {
        if (!Store)
            return;
        const THistoryOutcome outcome = Store->RememberMacs(*list, at);
        if (!outcome.Message.isEmpty())
            Tell(outcome.Message);
    });
}

void TLocalHistory::WaitForWrites()
{
    {
        const std::lock_guard lock(Lock);
        if (!Pending.Empty() && !Pending.Posted)
            Post();
    }
    QMetaObject::invokeMethod(WorkerContext, [] {}, Qt::BlockingQueuedConnection);
}

void TLocalHistory::Tell(const QString& text)
{
    // The worker never touches this object directly: the destructor waits for the
    // worker, and a queued call is dropped once the object is gone.
    QPointer<TLocalHistory> self(this);
    QMetaObject::invokeMethod(this, [self, text] {
        if (self)
            emit self->Message(text);
    });
}
