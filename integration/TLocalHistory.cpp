#include "TLocalHistory.h"

#include "THistoryStore.h"

#include <QAtomicInteger>
#include <QPointer>

#include <memory>

namespace {
QString NextConnectionName()
{
    static QAtomicInteger<int> counter;
    return QStringLiteral("vexal-history-%1").arg(counter.fetchAndAddRelaxed(1));
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
    snapshot.HourlyAfterDays = HourlyAfterDays;
    snapshot.DailyAfterDays = DailyAfterDays;
    auto shared = std::make_shared<const THistorySnapshot>(std::move(snapshot));
    QPointer<TLocalHistory> self(this);
    QMetaObject::invokeMethod(WorkerContext, [this, self, shared] {
        const THistoryOutcome written = Store->Write(*shared);
        if (!written.Message.isEmpty())
            Tell(written.Message);
        if (!written.Ok)
            return;
        const THistoryOutcome rolled = Store->RollUp(shared->At, shared->HourlyAfterDays, shared->DailyAfterDays);
        if (!rolled.Message.isEmpty())
            Tell(rolled.Message);
        const int rows = written.Rows;
        QMetaObject::invokeMethod(this, [self, rows] {
            if (self)
                emit self->Written(rows);
        });
    });
}

void TLocalHistory::WaitForWrites()
{
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
