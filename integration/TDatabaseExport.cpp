#include "TDatabaseExport.h"

#include "ExportRetry.h"
#include "HostField.h"
#include "MySqlErrors.h"
#include "StoreText.h"

#include <QEventLoop>
#include <QPointer>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>
#include <QUuid>
#include <QVariant>

#include <memory>

namespace {
// MySQL allows 65,535 placeholders in one statement; stay well below, and below the
// packet size, whatever the texts hold.
constexpr int MaxPlaceholders = 60'000;
constexpr qsizetype MaxBatchBytes = 8 * 1024 * 1024;

// Column sizes of docs/schema.sql, in characters. porttraffic is a MEDIUMTEXT, and
// the longest port list (65,536 ports) is far shorter than its 16 MB.
constexpr int DeviceChars = 64;
constexpr int MacChars = 64;
constexpr int IpChars = 64;
constexpr int NameChars = 255;
constexpr int StatusChars = 4;
constexpr int SequenzChars = 20;
constexpr int LastFlowChars = 8;
constexpr int CollectorChars = 64;

const QString RegularConnection = QStringLiteral("vexal-export");
const QString LastConnection = QStringLiteral("vexal-export-last");

const QString NoSuchTable = QString::number(MySqlError::NoSuchTable);
const QString DuplicateKey = QString::number(MySqlError::DuplicateKey);

QVariant Number(std::int64_t value)
{
    return QVariant::fromValue<qlonglong>(value);
}

QString Statement(const QString& head, const QString& tuple, std::size_t rows)
{
    QString statement = head;
    statement.reserve(head.size() + static_cast<qsizetype>(rows) * (tuple.size() + 1));
    for (std::size_t i = 0; i < rows; ++i) {
        if (i != 0)
            statement += QLatin1Char(',');
        statement += tuple;
    }
    return statement;
}

class TRunner {
public:
    TRunner(QSqlDatabase database, TExportResult& result) : Db(std::move(database)), Result(result) {}

    // Executes one statement with bound values; a failure is left to the caller.
    bool Exec(const QString& statement, const QVariantList& values, QSqlError& error)
    {
        QSqlQuery query(Db);
        if (!values.isEmpty()) {
            ++Result.RoundTrips;
            if (!query.prepare(statement)) {
                error = query.lastError();
                return false;
            }
            for (const QVariant& value : values)
                query.addBindValue(value);
        }
        ++Result.RoundTrips;
        if (!(values.isEmpty() ? query.exec(statement) : query.exec())) {
            error = query.lastError();
            return false;
        }
        return true;
    }

    // Executes a statement without values; a failure ends the run.
    bool Execute(const QString& statement)
    {
        QSqlError error;
        return Exec(statement, {}, error) || Fail(error);
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
    // row's value list with "?" for each of the `columns` bound values, bind(row,
    // values) appends one row's values. When the server refuses a batch for one row's
    // value, the batch goes again row by row and refuse(index, error) hears of each
    // row it still refuses; the others are written.
    template <typename Row, typename Bind, typename Refuse>
    bool InsertAll(const QString& head, const QString& tuple, int columns, const std::vector<Row>& rows, Bind bind,
                   Refuse refuse)
    {
        std::size_t next = 0;
        QVariantList values;
        QSqlError error;
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
            if (!Exec(Statement(head, tuple, count), values, error)) {
                if (!IsRowError(MySqlErrorCode(error)))
                    return Fail(error);
                // A failed statement is undone on its own; the transaction goes on.
                const QString single = Statement(head, tuple, 1);
                for (std::size_t i = next; i < next + count; ++i) {
                    values.clear();
                    bind(rows[i], values);
                    if (Exec(single, values, error))
                        continue;
                    if (!IsRowError(MySqlErrorCode(error)))
                        return Fail(error);
                    refuse(i, error);
                }
            }
            next += count;
        }
        return true;
    }

    // Rolls back what is open and keeps the error; the connection is closed so the
    // next run starts on a fresh one (a time-out leaves it unusable).
    bool Fail(const QSqlError& error)
    {
        Result.Error = DescribeMySqlError(error);
        Result.ErrorCode = MySqlErrorCode(error);
        Db.rollback();
        Db.close();
        return false;
    }

private:
    QSqlDatabase Db;
    TExportResult& Result;
};

bool Open(QSqlDatabase& db, const TExportJob& job, const TDatabaseExport::TConnection& connection)
{
    bool portOk = false;
    const int port = QString::fromStdString(job.Port).toInt(&portOk);
    const THostField host = ParseHostField(FromStoreText(job.Host), portOk && port > 0 && port <= 65535 ? port : -1);
    // Settings changed in the dialog count at the next run: reconnect when they differ.
    if (db.isOpen()
        && (db.hostName() != host.Host || db.userName() != FromStoreText(job.User)
            || db.password() != FromStoreText(job.Password) || db.databaseName() != FromStoreText(job.Database)
            || db.port() != host.Port))
        db.close();
    // A connection kept from the last run may have gone away meanwhile (a node of the
    // cluster went down, the server closed it as idle). Asked once before anything is
    // sent, so the run opens it again, on the next host of the list that answers,
    // instead of failing on its first statement.
    if (db.isOpen()) {
        QSqlQuery alive(db);
        if (alive.exec(QStringLiteral("do 1")))
            return true;
        db.close();
    }
    db.setHostName(host.Host);
    db.setUserName(FromStoreText(job.User));
    db.setPassword(FromStoreText(job.Password));
    db.setDatabaseName(FromStoreText(job.Database));
    db.setPort(host.Port);
    db.setConnectOptions(QStringLiteral("MYSQL_OPT_CONNECT_TIMEOUT=%1;MYSQL_OPT_READ_TIMEOUT=%2;MYSQL_OPT_WRITE_TIMEOUT=%2")
                             .arg(connection.ConnectTimeout)
                             .arg(connection.ReadWriteTimeout));
    return db.open();
}

enum class TSettled { Committed, NotCommitted, Unclear };

// Finds out whether the run whose COMMIT had no answer took effect. Its mark is there
// when it did (verworfen 0). When it is not there, the id is claimed (verworfen 1):
// should that transaction still be open on the server, the claim waits for it or
// fails on its key, so a COMMIT that arrives late can never add the rows after they
// have been sent again.
TSettled Settle(QSqlDatabase& db, TRunner& run, TExportResult& result, const QString& id)
{
    QSqlQuery look(db);
    result.RoundTrips += 2;
    if (!look.prepare(QStringLiteral("select verworfen from vexal_export_run where id=?"))) {
        run.Fail(look.lastError());
        return TSettled::Unclear;
    }
    look.addBindValue(id);
    if (!look.exec()) {
        run.Fail(look.lastError());
        return TSettled::Unclear;
    }
    if (look.next())
        return look.value(0).toInt() == 0 ? TSettled::Committed : TSettled::NotCommitted;
    QSqlError error;
    if (run.Exec(QStringLiteral("insert into vexal_export_run (id,zeit,verworfen) values (?,now(),1)"), {id}, error))
        return TSettled::NotCommitted;
    if (error.nativeErrorCode() == DuplicateKey)
        return TSettled::Committed;  // it took effect just now
    run.Fail(error);
    return TSettled::Unclear;
}

bool HasTraffic(const TTrafficRow& row)
{
    return row.UL != 0 || row.DL != 0 || !row.Ports.Empty();
}
}

QString TExportResult::StatusText() const
{
    QString text;
    if (!Connected)
        text = QStringLiteral("mySQL Datenbank konnte nicht erreicht werden!");
    else if (!Complete)
        text = QStringLiteral("mySQL Export fehlgeschlagen: %1").arg(Error);
    else if (Refused.size() == 1)
        text = QStringLiteral("mySQL Export: eine Zeile abgewiesen, %1").arg(Refused.front());
    else if (Refused.size() > 1)
        text = QStringLiteral("mySQL Export: %1 Zeilen abgewiesen, zuerst %2").arg(Refused.size()).arg(Refused.front());
    if (Notice.isEmpty())
        return text;
    return text.isEmpty() ? Notice : text + QStringLiteral("; ") + Notice;
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
    // The connections belong to the worker thread: close them there (after a run under
    // way, which the time-outs bound) before the thread ends.
    QMetaObject::invokeMethod(
        WorkerContext,
        [] {
            for (const QString& name : {RegularConnection, LastConnection})
                if (QSqlDatabase::contains(name)) {
                    QSqlDatabase::database(name, false).close();
                    QSqlDatabase::removeDatabase(name);
                }
        },
        Qt::BlockingQueuedConnection);
    Worker.quit();
    Worker.wait();
}

void TDatabaseExport::Start(TExportJob job, std::function<void(const TExportJob&, const TExportResult&)> done, bool lastRun)
{
    Running = true;
    auto shared = std::make_shared<TExportJob>(std::move(job));
    const TConnection connection = lastRun ? TConnection{LastConnection, LastRunTimeout, LastRunTimeout}
                                           : TConnection{RegularConnection};
    QPointer<TDatabaseExport> self(this);
    QMetaObject::invokeMethod(WorkerContext, [self, shared, connection, ledger = Ledger, done = std::move(done)] {
        const TExportResult result = Run(*shared, connection, *ledger);
        std::vector<TUnsettledRun> unsettled = ledger->Unsettled;
        QMetaObject::invokeMethod(self.data(), [self, shared, done, result, unsettled = std::move(unsettled)] {
            if (!self)
                return;
            self->Running = false;
            self->Pending = unsettled;
            done(*shared, result);
        });
    });
}

void TDatabaseExport::Resume(std::vector<TUnsettledRun> runs)
{
    // No run is under way: the worker touches the ledger only during one, and the next
    // Start hands it over through the event queue.
    if (Running)
        return;
    Ledger->Unsettled = runs;
    Pending = std::move(runs);
}

bool TDatabaseExport::WaitUntilIdle(const QDeadlineTimer& deadline)
{
    QEventLoop loop;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &loop, [&] {
        if (!Running || deadline.hasExpired())
            loop.quit();
    });
    poll.start(10);
    if (Running && !deadline.hasExpired())
        loop.exec();
    return !Running;
}

TExportResult TDatabaseExport::Run(const TExportJob& job, const TConnection& connection, TExportLedger& ledger)
{
    // Every attempt of the run marks its traffic with the same id: an attempt sent
    // again was certainly not committed, and the id is what the state file may name.
    TExportJob marked = job;
    if (marked.RunId.empty())
        marked.RunId = QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
    bool announced = false;
    if (marked.BeforeTraffic)
        marked.BeforeTraffic = [&announced, before = std::move(marked.BeforeTraffic)] {
            if (!announced)
                before();
            announced = true;
        };
    return TExportRetry::Run(marked, [&](const TExportJob& attempt) { return RunOnce(attempt, connection, ledger); });
}

TExportResult TDatabaseExport::RunOnce(const TExportJob& job, const TConnection& connection, TExportLedger& ledger)
{
    TExportResult result;
    QSqlDatabase db = QSqlDatabase::contains(connection.Name)
        ? QSqlDatabase::database(connection.Name, false)
        : QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), connection.Name);
    ++result.RoundTrips;
    if (!Open(db, job, connection)) {
        result.Error = DescribeMySqlError(db.lastError());
        result.ErrorCode = MySqlErrorCode(db.lastError());
        return result;
    }
    result.Connected = true;
    TRunner run(db, result);

    std::vector<TTrafficRow> traffic = job.Traffic;
    // The newest unsettled run that took effect holds what the counters still count of
    // the older ones (TUnsettledRun); those newer than it are claimed on the way.
    for (auto unsettled = ledger.Unsettled.rbegin(); unsettled != ledger.Unsettled.rend(); ++unsettled) {
        const TSettled settled = Settle(db, run, result, QString::fromStdString(unsettled->Id));
        if (settled == TSettled::Unclear) {
            result.Error = QStringLiteral("Ausgang des letzten Laufs noch unklar (%1)").arg(result.Error);
            // The runs claimed so far stay in the ledger: looked up again, they are found
            // claimed (not committed), as now.
            return result;
        }
        if (settled == TSettled::Committed) {
            // Those rows are in: this run sends only what came after them.
            TakeOffEarlierRows(traffic, unsettled->Rows);
            result.Exported = std::move(unsettled->Rows);
            break;
        }
        // Not committed: the counters still hold those octets, they go with this run.
    }
    ledger.Unsettled.clear();

    // A database made before several collectors shared one has no column collector:
    // it goes on as one collector's, with the old statements, and says so once.
    // Asked on every run, so a column added while the program runs counts at once.
    bool byCollector = false;
    {
        QSqlQuery columns(db);
        result.RoundTrips += 1;
        if (!columns.exec(QStringLiteral("select count(*) from information_schema.columns where table_schema=database()"
                                         " and column_name='collector' and table_name in ('traffic','akteth','aktrouter')"))
            || !columns.next()) {
            run.Fail(columns.lastError());
            return result;
        }
        byCollector = columns.value(0).toInt() > 0;
        if (!byCollector && !ledger.CollectorNoticeGiven) {
            ledger.CollectorNoticeGiven = true;
            result.Notice = QStringLiteral("Spalte collector fehlt: Export als einziger Kollektor (ALTER TABLE in docs/schema.sql)");
        }
    }
    const QString collector = FitText(job.Collector, CollectorChars);

    std::vector<const TTrafficRow*> inserted;
    std::vector<std::size_t> insertedAt;  // index in traffic of each inserted row
    for (std::size_t i = 0; i < traffic.size(); ++i)
        if (traffic[i].Insert && HasTraffic(traffic[i])) {
            inserted.push_back(&traffic[i]);
            insertedAt.push_back(i);
        }
    std::vector<bool> refused(traffic.size(), false);
    if (!inserted.empty()) {
        const QString id = QString::fromStdString(job.RunId);
        if (job.BeforeTraffic)
            job.BeforeTraffic();
        QSqlError error;
        if (!run.Begin())
            return result;
        bool marked = run.Exec(QStringLiteral("insert into vexal_export_run (id,zeit) values (?,now())"), {id}, error);
        if (!marked && error.nativeErrorCode() != NoSuchTable) {
            run.Fail(error);
            return result;
        }
        if (!marked && !ledger.RunTableNoticeGiven) {
            ledger.RunTableNoticeGiven = true;
            const QString notice = QStringLiteral("Tabelle vexal_export_run fehlt: Export ohne Schutz vor doppelten Zeilen");
            result.Notice = result.Notice.isEmpty() ? notice : result.Notice + QStringLiteral("; ") + notice;
        }
        if (marked && (!ledger.SincePurge.isValid() || ledger.SincePurge.hasExpired(3'600'000))) {
            if (!run.Execute(QStringLiteral("delete from vexal_export_run where zeit < now() - interval %1 day")
                                 .arg(KeepRunMarksDays)))
                return result;
            ledger.SincePurge.start();
        }
        const bool detailed = job.Detailed;
        if (!run.InsertAll(
                byCollector
                    ? QStringLiteral("insert into traffic (zeit,datum,device,uloktets,dloktets,porttraffic,mac,ip,collector)\r\nvalues")
                    : QStringLiteral("insert into traffic (zeit,datum,device,uloktets,dloktets,porttraffic,mac,ip)\r\nvalues"),
                byCollector ? QStringLiteral("(curtime(),curdate(),?,?,?,?,?,?,?)")
                            : QStringLiteral("(curtime(),curdate(),?,?,?,?,?,?)"),
                byCollector ? 7 : 6, inserted,
                [detailed, byCollector, &collector](const TTrafficRow* row, QVariantList& values) {
                    values << FitText(row->Device, DeviceChars) << Number(row->UL) << Number(row->DL)
                           << FromStoreText(detailed ? row->Ports.ToText() : std::string())
                           << FitText(row->MAC, MacChars) << FitText(row->IP, IpChars);
                    if (byCollector)
                        values << collector;
                },
                [&](std::size_t i, const QSqlError& why) {
                    refused[insertedAt[i]] = true;
                    result.Refused << QStringLiteral("traffic %1: %2").arg(FromStoreText(inserted[i]->IP), why.databaseText());
                }))
            return result;
        // Refused rows keep their octets in the counters; all others are done with.
        std::vector<TTrafficRow> done;
        for (std::size_t i = 0; i < traffic.size(); ++i)
            if (!refused[i])
                done.push_back(traffic[i]);
        if (!run.Commit()) {
            // A deadlock or certification conflict at COMMIT undid the transaction:
            // nothing is in, and the run sends it again at once.
            if (marked && !IsTransactionConflict(result.ErrorCode)) {
                // The server may well have committed: the next run looks the mark up.
                result.CommitUnclear = true;
                result.Error = QStringLiteral("COMMIT ohne Antwort (%1), der nächste Lauf klärt es").arg(result.Error);
                ledger.Unsettled = {TUnsettledRun{job.RunId, std::move(done)}};
            }
            return result;
        }
        result.Exported.insert(result.Exported.end(), done.begin(), done.end());
    } else {
        result.Exported.insert(result.Exported.end(), traffic.begin(), traffic.end());
    }
    result.TrafficCommitted = true;

    auto refuse = [&result](const char* table, const QString& ip, const QSqlError& why) {
        result.Refused << QStringLiteral("%1 %2: %3").arg(QLatin1String(table), ip, why.databaseText());
    };
    // Each collector rewrites only its own rows; an old database without the column
    // holds one collector's rows only.
    auto clear = [&](const char* table) {
        if (!byCollector)
            return run.Execute(QStringLiteral("delete from %1").arg(QLatin1String(table)));
        QSqlError error;
        return run.Exec(QStringLiteral("delete from %1 where collector=?").arg(QLatin1String(table)), {collector}, error)
            || run.Fail(error);
    };
    const QString userColumns = byCollector ? QStringLiteral("(name,ip,mac,status,lasttraffic,collector)")
                                            : QStringLiteral("(name,ip,mac,status,lasttraffic)");
    if (!run.Begin() || !clear("akteth")
        || !run.InsertAll(QStringLiteral("insert into akteth %1\r\nvalues").arg(userColumns),
                          byCollector ? QStringLiteral("(?,?,?,?,?,?)") : QStringLiteral("(?,?,?,?,?)"), byCollector ? 6 : 5,
                          job.Users,
                          [byCollector, &collector](const TUserSnapshotRow& row, QVariantList& values) {
                              values << FitText(row.Name, NameChars) << FitText(row.IP, IpChars)
                                     << FitText(row.MAC, MacChars) << FitText(row.Status, StatusChars)
                                     << Number(row.LastTraffic);
                              if (byCollector)
                                  values << collector;
                          },
                          [&](std::size_t i, const QSqlError& why) { refuse("akteth", FromStoreText(job.Users[i].IP), why); })
        || !run.Commit())
        return result;
    const QString routerColumns = byCollector ? QStringLiteral("(ip,flowsequenz,lastflow,ploss,collector)")
                                              : QStringLiteral("(ip,flowsequenz,lastflow,ploss)");
    if (!run.Begin() || !clear("aktrouter")
        || !run.InsertAll(QStringLiteral("insert into aktrouter %1\r\nvalues").arg(routerColumns),
                          byCollector ? QStringLiteral("(?,?,?,?,?)") : QStringLiteral("(?,?,?,?)"), byCollector ? 5 : 4,
                          job.Routers,
                          [byCollector, &collector](const TRouterSnapshotRow& row, QVariantList& values) {
                              values << FitText(row.IP, IpChars) << FitText(row.Sequenz, SequenzChars)
                                     << FitText(row.LastFlow, LastFlowChars) << Number(row.PLoss);
                              if (byCollector)
                                  values << collector;
                          },
                          [&](std::size_t i, const QSqlError& why) { refuse("aktrouter", FromStoreText(job.Routers[i].IP), why); })
        || !run.Commit())
        return result;
    result.Complete = true;
    return result;
}
