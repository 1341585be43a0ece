#include "TDatabaseExport.h"

#include "StoreText.h"

#include <QPointer>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <memory>

namespace {
// MySQL allows 65,535 placeholders in one statement; stay well below, and below the
// packet size, whatever the texts hold.
constexpr int MaxPlaceholders = 60'000;
constexpr qsizetype MaxBatchBytes = 8 * 1024 * 1024;

QString Q(const std::string& text)
{
    return FromStoreText(text);
}

class TRunner {
public:
    TRunner(QSqlDatabase database, TExportResult& result) : Db(std::move(database)), Result(result) {}

    // Executes a statement without values.
    bool Execute(const QString& statement)
    {
        QSqlQuery query(Db);
        ++Result.RoundTrips;
        if (!query.exec(statement))
            return Fail(query.lastError());
        return true;
    }

    bool Begin()
    {
        ++Result.RoundTrips;
        return Db.transaction() || Fail(Db.lastError());
    }

    bool Commit()
    {
        ++Result.RoundTrips;
        return Db.commit() || Fail(Db.lastError());
    }

    // Inserts rows in batches: `head` is the statement up to "values", `tuple` one
    // row's value list with "?" for each of the `columns` bound values, and bind(row,
    // values) appends one row's values.
    template <typename Row, typename Bind>
    bool InsertAll(const QString& head, const QString& tuple, int columns, const std::vector<Row>& rows, Bind bind)
    {
        std::size_t next = 0;
        QVariantList values;
        while (next < rows.size()) {
            values.clear();
            qsizetype bytes = 0;
            std::size_t count = 0;
            while (next + count < rows.size() && static_cast<int>((count + 1) * columns) <= MaxPlaceholders
                   && bytes < MaxBatchBytes) {
                const qsizetype before = values.size();
                bind(rows[next + count], values);
                for (qsizetype v = before; v < values.size(); ++v)
                    bytes += values[v].typeId() == QMetaType::QString ? values[v].toString().size() * 4 + 8 : 8;
                ++count;
            }
            QString statement = head;
            statement.reserve(head.size() + static_cast<qsizetype>(count) * (tuple.size() + 1));
            for (std::size_t i = 0; i < count; ++i) {
                if (i != 0)
                    statement += QLatin1Char(',');
                statement += tuple;
            }
            QSqlQuery query(Db);
            ++Result.RoundTrips;
            if (!query.prepare(statement))
                return Fail(query.lastError());
            for (const QVariant& value : values)
                query.addBindValue(value);
            ++Result.RoundTrips;
            if (!query.exec())
                return Fail(query.lastError());
            next += count;
        }
        return true;
    }

    // Rolls back what is open and keeps the error; the connection is closed so the
    // next run starts on a fresh one (a time-out leaves it unusable).
    bool Fail(const QSqlError& error)
    {
        Result.Error = error.text();
        Db.rollback();
        Db.close();
        return false;
    }

private:
    QSqlDatabase Db;
    TExportResult& Result;
};

bool Open(QSqlDatabase& db, const TExportJob& job)
{
    bool portOk = false;
    const int port = QString::fromStdString(job.Port).toInt(&portOk);
    const int wantedPort = portOk && port > 0 && port <= 65535 ? port : -1;
    // Settings changed in the dialog count at the next run: reconnect when they differ.
    if (db.isOpen()
        && (db.hostName() != Q(job.Host) || db.userName() != Q(job.User) || db.password() != Q(job.Password)
            || db.databaseName() != Q(job.Database) || db.port() != wantedPort))
        db.close();
    if (db.isOpen())
        return true;
    db.setHostName(Q(job.Host));
    db.setUserName(Q(job.User));
    db.setPassword(Q(job.Password));
    db.setDatabaseName(Q(job.Database));
    db.setPort(wantedPort);
    db.setConnectOptions(QStringLiteral("MYSQL_OPT_CONNECT_TIMEOUT=%1;MYSQL_OPT_READ_TIMEOUT=%2;MYSQL_OPT_WRITE_TIMEOUT=%2")
                             .arg(TDatabaseExport::ConnectTimeout)
                             .arg(TDatabaseExport::ReadWriteTimeout));
    return db.open();
}
}

TDatabaseExport::TDatabaseExport(QObject* parent) : QObject(parent)
{
    Worker.setObjectName(QStringLiteral("DatabaseExport"));
    WorkerContext = new QObject;
    WorkerContext->moveToThread(&Worker);
    connect(&Worker, &QThread::finished, WorkerContext, &QObject::deleteLater);
    Worker.start();
}

TDatabaseExport::~TDatabaseExport()
{
    // The connection belongs to the worker thread: close it there (after a run under
    // way, which the time-outs bound) before the thread ends.
    QMetaObject::invokeMethod(
        WorkerContext,
        [] {
            const QString name = QStringLiteral("vexal-export");
            if (QSqlDatabase::contains(name)) {
                QSqlDatabase::database(name, false).close();
                QSqlDatabase::removeDatabase(name);
            }
        },
        Qt::BlockingQueuedConnection);
    Worker.quit();
    Worker.wait();
}

void TDatabaseExport::Start(TExportJob job, std::function<void(const TExportJob&, const TExportResult&)> done)
{
    Running = true;
    auto shared = std::make_shared<TExportJob>(std::move(job));
    QPointer<TDatabaseExport> self(this);
    QMetaObject::invokeMethod(WorkerContext, [self, shared, done = std::move(done)] {
        const TExportResult result = Run(*shared, QStringLiteral("vexal-export"));
        if (!self)
            return;
        QMetaObject::invokeMethod(self.data(), [self, shared, done, result] {
            if (!self)
                return;
            self->Running = false;
            done(*shared, result);
        });
    });
}

TExportResult TDatabaseExport::Run(const TExportJob& job, const QString& connectionName)
{
    TExportResult result;
    QSqlDatabase db = QSqlDatabase::contains(connectionName) ? QSqlDatabase::database(connectionName, false)
                                                             : QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), connectionName);
    ++result.RoundTrips;
    if (!Open(db, job)) {
        result.Error = db.lastError().text();
        return result;
    }
    result.Connected = true;
    TRunner run(db, result);

    std::vector<const TTrafficRow*> inserted;
    for (const TTrafficRow& row : job.Traffic)
        if (row.Insert)
            inserted.push_back(&row);
    if (!inserted.empty()) {
        const bool detailed = job.Detailed;
        if (!run.Begin()
            || !run.InsertAll(QStringLiteral("insert into traffic (zeit,datum,device,uloktets,dloktets,porttraffic,mac,ip)\r\nvalues"),
                              QStringLiteral("(curtime(),curdate(),?,?,?,?,?,?)"), 6, inserted,
                              [detailed](const TTrafficRow* row, QVariantList& values) {
                                  values << Q(row->Device) << QVariant::fromValue<qlonglong>(row->UL)
                                         << QVariant::fromValue<qlonglong>(row->DL)
                                         << Q(detailed ? row->Ports.ToText() : std::string())
                                         << Q(row->MAC) << Q(row->IP);
                              })
            || !run.Commit())
            return result;
    }
    result.TrafficCommitted = true;

    if (!run.Begin() || !run.Execute(QStringLiteral("delete from akteth"))
        || !run.InsertAll(QStringLiteral("insert into akteth (name,ip,mac,status,lasttraffic)\r\nvalues"),
                          QStringLiteral("(?,?,?,?,?)"), 5, job.Users,
                          [](const TUserSnapshotRow& row, QVariantList& values) {
                              values << Q(row.Name) << Q(row.IP) << Q(row.MAC) << Q(row.Status)
                                     << QVariant::fromValue<qlonglong>(row.LastTraffic);
                          })
        || !run.Commit())
        return result;
    if (!run.Begin() || !run.Execute(QStringLiteral("delete from aktrouter"))
        || !run.InsertAll(QStringLiteral("insert into aktrouter (ip,flowsequenz,lastflow,ploss)\r\nvalues"),
                          QStringLiteral("(?,?,?,?)"), 4, job.Routers,
                          [](const TRouterSnapshotRow& row, QVariantList& values) {
                              values << Q(row.IP) << Q(row.Sequenz) << Q(row.LastFlow)
                                     << QVariant::fromValue<qlonglong>(row.PLoss);
                          })
        || !run.Commit())
        return result;
    result.Complete = true;
    return result;
}
