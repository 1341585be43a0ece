#include "THistoryStore.h"

#include "HistoryTables.h"
#include "StoreText.h"

#include <QDate>
#include <QDateTime>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include <cerrno>
#include <optional>
#include <set>
#include <string_view>
#include <sys/stat.h>

namespace {
// SQLite's own codes for a file that is not (or no longer) a sound database.
constexpr int SqliteCorrupt = 11;
constexpr int SqliteNotADatabase = 26;

bool IsDamage(const QSqlError& error)
{
    const int code = error.nativeErrorCode().toInt() & 0xff;
    return code == SqliteCorrupt || code == SqliteNotADatabase;
}

// The indexes of the traffic tables (created before these: HistoryTables.h).
const char* const Schema[] = {
    "CREATE INDEX IF NOT EXISTS traffic_by_day ON traffic (datum, ip)",
    "CREATE INDEX IF NOT EXISTS traffic_by_ip ON traffic (ip, mac, datum)",
    "CREATE INDEX IF NOT EXISTS traffic_hourly_by_ip ON traffic_hourly (ip, mac, datum)",
    "CREATE INDEX IF NOT EXISTS traffic_daily_by_ip ON traffic_daily (ip, mac, datum)",
    // Address and MAC as the store's bytes, so a mark finds its device exactly.
    "CREATE TABLE IF NOT EXISTS history_marks ("
    " ip BLOB NOT NULL, mac BLOB NOT NULL, uloktets INTEGER NOT NULL, dloktets INTEGER NOT NULL,"
    " PRIMARY KEY (ip, mac)) WITHOUT ROWID",
    // Every MAC that ever announced itself, so a device never seen before is told apart
    // from one that comes back after a restart.
    "CREATE TABLE IF NOT EXISTS known_macs (mac BLOB NOT NULL PRIMARY KEY, seen TEXT NOT NULL) WITHOUT ROWID",
};

QByteArray Bytes(const std::string& text)
{
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

std::string FromBytes(const QVariant& value)
{
    const QByteArray bytes = value.toByteArray();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

QString Message(const char* what, const QString& detail)
{
    return QString::fromUtf8(what).arg(detail);
}
}

QString HistoryDateText(std::int64_t serialDay)
{
    return QDate(1899, 12, 30).addDays(serialDay).toString(QStringLiteral("yyyy-MM-dd"));
}

QString HistoryTimeText(const TLocalTime& time)
{
    return QTime::fromMSecsSinceStartOfDay(time.MsOfDay).toString(QStringLiteral("HH:mm:ss"));
}

THistoryStore::THistoryStore(QString path, QString connectionName)
    : FilePath(std::move(path)), ConnectionName(std::move(connectionName))
{
}

THistoryStore::~THistoryStore()
{
    Close();
}

void THistoryStore::Close()
{
    if (QSqlDatabase::contains(ConnectionName)) {
        {
            QSqlDatabase db = QSqlDatabase::database(ConnectionName, false);
            db.close();
        }
        QSqlDatabase::removeDatabase(ConnectionName);
    }
    Opened = false;
}

THistoryOutcome THistoryStore::Open()
{
    bool damaged = false;
    THistoryOutcome outcome = OpenOnce(damaged);
    if (!damaged)
        return outcome;
    QString message;
    if (!SetAside(message)) {
        outcome.Ok = false;
        outcome.Message = message;
        return outcome;
    }
    outcome = OpenOnce(damaged);
    if (outcome.Ok)
        outcome.Message = message;
    return outcome;
}

THistoryOutcome THistoryStore::OpenOnce(bool& damaged)
{
    Close();
    damaged = false;
    LastMarks.clear();
    FirstWrite = true;
    Begins = false;
    WriteAllMarks = false;
    THistoryOutcome outcome;
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), ConnectionName);
    db.setDatabaseName(FilePath);
    // Readers (the history window) wait for a write instead of failing at once.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    auto fail = [&](const QSqlError& error) {
        damaged = IsDamage(error);
        outcome.Message = Message("Verlauf: %1", error.text());
        db.close();
        return outcome;
    };
    if (!db.open())
        return fail(db.lastError());

    QSqlQuery query(db);
    // WAL: a crash leaves the last committed write intact, and readers never block the
    // writer. NORMAL sync may lose the last commits on a power cut, but never half of
    // one: rows and marks go together, so the next write takes those octets again.
    if (!query.exec(QStringLiteral("PRAGMA journal_mode=WAL")))
        return fail(query.lastError());
    if (!query.exec(QStringLiteral("PRAGMA synchronous=NORMAL")))
        return fail(query.lastError());
    if (!query.exec(QStringLiteral("PRAGMA quick_check")))
        return fail(query.lastError());
    if (!query.next() || query.value(0).toString() != QStringLiteral("ok")) {
        damaged = true;
        outcome.Message = Message("Verlauf: %1", query.value(0).toString());
        db.close();
        return outcome;
    }
    if (!query.exec(QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = 'history_marks'"))
        || !query.next())
        return fail(query.lastError());
    Begins = query.value(0).toInt() == 0;
    for (const char* table : TrafficTables)
        if (!query.exec(TrafficTableDefinition(table, table != TrafficTables[0])))
            return fail(query.lastError());
    for (const char* statement : Schema)
        if (!query.exec(QString::fromUtf8(statement)))
            return fail(query.lastError());
    if (!query.exec(QStringLiteral("SELECT ip, mac, uloktets, dloktets FROM history_marks")))
        return fail(query.lastError());
    while (query.next())
        LastMarks[{FromBytes(query.value(0)), FromBytes(query.value(1))}] = {query.value(2).toLongLong(),
                                                                               query.value(3).toLongLong()};
    struct stat file {};
    if (::stat(QFile::encodeName(FilePath).constData(), &file) == 0) {
        FileDevice = static_cast<std::uint64_t>(file.st_dev);
        FileInode = static_cast<std::uint64_t>(file.st_ino);
    }
    Opened = true;
    outcome.Ok = true;
    return outcome;
}

bool THistoryStore::SetAside(QString& message)
{
    Close();
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString target = FilePath + QStringLiteral(".beschaedigt-") + stamp;
    for (int n = 2; QFile::exists(target); ++n)
        target = FilePath + QStringLiteral(".beschaedigt-%1-%2").arg(stamp).arg(n);
    if (!QFile::rename(FilePath, target)) {
        message = Message("Verlauf-Datei %1 ist beschädigt und kann nicht beiseitegelegt werden", FilePath);
        return false;
    }
    // The journal belongs to the damaged file: left in place it would be replayed into
    // the new one.
    for (const QString& suffix : {QStringLiteral("-wal"), QStringLiteral("-shm")})
        if (QFile::exists(FilePath + suffix) && !QFile::rename(FilePath + suffix, target + suffix))
            QFile::remove(FilePath + suffix);
    LastSetAside = target;
    message = Message("Verlauf-Datei war beschädigt; beiseitegelegt als %1, neuer Verlauf begonnen", target);
    return true;
}

bool THistoryStore::Vanished() const
{
    struct stat file {};
    if (::stat(QFile::encodeName(FilePath).constData(), &file) != 0)
        return errno == ENOENT || errno == ENOTDIR;
    return static_cast<std::uint64_t>(file.st_dev) != FileDevice || static_cast<std::uint64_t>(file.st_ino) != FileInode;
}

void THistoryStore::ContinueFrom(TMarks marks)
{
    // The new file has none of these marks yet: the next write stores them all.
    LastMarks = std::move(marks);
    Begins = false;
    FirstWrite = false;
    WriteAllMarks = true;
}

THistoryOutcome THistoryStore::Write(const THistorySnapshot& snapshot)
{
    QString notice;
    if (Opened && Vanished()) {
        // Deleted or replaced under its name: writes into the open file would go
        // nowhere anyone can read. What the last write marked goes on in a new file, so
        // the octets since then are booked there, once.
        TMarks kept = LastMarks;
        Close();
        THistoryOutcome opened = Open();
        if (!opened.Ok)
            return opened;
        notice = Begins ? Message("Verlauf-Datei %1 war verschwunden; neuer Verlauf begonnen", FilePath)
                        : Message("Verlauf-Datei %1 wurde ersetzt; der Verlauf geht in ihr weiter", FilePath);
        if (!opened.Message.isEmpty())
            notice += QStringLiteral("; ") + opened.Message;
        if (Begins)
            ContinueFrom(std::move(kept));
    } else if (!Opened) {
        THistoryOutcome opened = Open();
        if (!opened.Ok)
            return opened;
    }
    auto withNotice = [&notice](THistoryOutcome outcome) {
        if (!notice.isEmpty())
            outcome.Message = outcome.Message.isEmpty() ? notice : notice + QStringLiteral("; ") + outcome.Message;
        return outcome;
    };
    bool damaged = false;
    THistoryOutcome outcome = WriteOnce(snapshot, damaged);
    if (!damaged)
        return withNotice(outcome);
    // Damaged under way: start a fresh file from the marks of the last write, so it
    // books what came since then and nothing the damaged file holds already.
    TMarks kept = LastMarks;
    QString message;
    if (!SetAside(message)) {
        outcome.Message = message;
        return withNotice(outcome);
    }
    THistoryOutcome opened = OpenOnce(damaged);
    if (!opened.Ok)
        return withNotice(opened);
    ContinueFrom(std::move(kept));
    outcome = WriteOnce(snapshot, damaged);
    outcome.Message = outcome.Ok ? message : message + QStringLiteral("; ") + outcome.Message;
    return withNotice(outcome);
}

std::map<std::string, THistoryStore::TMark> THistoryStore::JoinedIPv6Marks(const THistorySnapshot& snapshot) const
{
    if (!snapshot.WholeTable)
        return {};
    // A device known only by its IPv6 address has a row of its own, keyed by that
    // address. When its IPv4 address is announced, that row goes and a row keyed by the
    // IPv4 address takes over its totals. Nothing else makes an IPv6 row of a MAC go
    // while an IPv4 row of the same MAC comes between two writes (a removal by the user
    // or a replacement by another MAC comes as a departed row), so such a pair is one
    // device: its marks carry over, or its octets would be written twice.
    std::set<std::pair<std::string_view, std::string_view>> present;
    for (const THistoryDevice& device : snapshot.Devices)
        present.emplace(device.IP, device.MAC);
    // A row that departed (replaced or removed) left by itself, not into another row.
    for (const THistoryDevice& device : snapshot.Departed)
        present.emplace(device.IP, device.MAC);
    std::map<std::string, TMark> gone;
    for (const auto& [key, mark] : LastMarks) {
        if (key.first.find(':') == std::string::npos || present.contains({key.first, key.second}))
            continue;
        TMark& sum = gone[key.second];
        sum.UL += mark.UL;
        sum.DL += mark.DL;
    }
    return gone;
}

THistoryOutcome THistoryStore::WriteOnce(const THistorySnapshot& snapshot, bool& damaged)
{
    THistoryOutcome outcome;
    damaged = false;
    QSqlDatabase db = QSqlDatabase::database(ConnectionName, false);

    struct TRow {
        const THistoryDevice* Device;
        std::int64_t UL = 0, DL = 0;
    };
    std::vector<TRow> rows;
    std::map<std::pair<std::string, std::string>, std::size_t> rowOf;
    auto book = [&](const THistoryDevice& device, std::int64_t ul, std::int64_t dl) {
        // A history that begins now marks the totals; it books nothing of before.
        if (Begins)
            return;
        const auto key = std::make_pair(device.IP, device.MAC);
        auto found = rowOf.find(key);
        if (found == rowOf.end()) {
            if (ul == 0 && dl == 0)
                return;
            found = rowOf.emplace(key, rows.size()).first;
            rows.push_back({&device});
        }
        TRow& row = rows[found->second];
        row.Device = &device;
        row.UL += ul;
        row.DL += dl;
    };
    auto delta = [&](std::int64_t now, std::int64_t before) -> std::int64_t {
        if (now >= before)
            return now - before;
        return FirstWrite ? 0 : now;
    };

    // A departed row books what it had beyond its mark, and its mark goes: a row of the
    // same device in the table began from 0 after it.
    TMarks marks = snapshot.WholeTable ? TMarks{} : LastMarks;
    std::set<std::pair<std::string, std::string>> departed;
    for (const THistoryDevice& device : snapshot.Departed) {
        const auto key = std::make_pair(device.IP, device.MAC);
        departed.insert(key);
        marks.erase(key);
        const auto found = LastMarks.find(key);
        if (found == LastMarks.end())
            book(device, device.UL, device.DL);
        else
            book(device, delta(device.UL, found->second.UL), delta(device.DL, found->second.DL));
    }

    std::map<std::string, TMark> joined = JoinedIPv6Marks(snapshot);
    std::set<std::pair<std::string, std::string>> seen;
    for (const THistoryDevice& device : snapshot.Devices) {
        const auto key = std::make_pair(device.IP, device.MAC);
        if (!seen.insert(key).second)
            continue;  // one address, one row; a second row of the same device is no second device
        std::optional<TMark> last;
        if (departed.contains(key)) {
            last = TMark{};
        } else if (const auto found = LastMarks.find(key); found != LastMarks.end()) {
            last = found->second;
        } else if (const auto carried = joined.find(device.MAC);
                   carried != joined.end() && device.IP.find(':') == std::string::npos) {
            // The IPv4 row that took over the device's IPv6 row, and its totals with it.
            last = carried->second;
            joined.erase(carried);
        }
        marks[key] = {device.UL, device.DL};
        if (last)
            book(device, delta(device.UL, last->UL), delta(device.DL, last->DL));
        else
            book(device, device.UL, device.DL);
    }

    auto fail = [&](const QSqlError& error) {
        damaged = IsDamage(error);
        db.rollback();
        outcome.Message = Message("Verlauf konnte nicht geschrieben werden: %1", error.text());
        return outcome;
    };
    if (!db.transaction())
        return fail(db.lastError());
    QSqlQuery insert(db);
    if (!insert.prepare(QStringLiteral("INSERT INTO traffic (%1) VALUES (?, ?, ?, ?, ?, '', ?, ?)")
                            .arg(QString::fromUtf8(TrafficColumns))))
        return fail(insert.lastError());
    const QString time = HistoryTimeText(snapshot.At);
    const QString date = HistoryDateText(snapshot.At.Day);
    for (const TRow& row : rows) {
        insert.addBindValue(time);
        insert.addBindValue(date);
        insert.addBindValue(FromStoreText(row.Device->Device));
        insert.addBindValue(QVariant::fromValue<qlonglong>(row.UL));
        insert.addBindValue(QVariant::fromValue<qlonglong>(row.DL));
        insert.addBindValue(FromStoreText(row.Device->MAC));
        insert.addBindValue(FromStoreText(row.Device->IP));
        if (!insert.exec())
            return fail(insert.lastError());
    }

    QSqlQuery upsert(db);
    if (!upsert.prepare(QStringLiteral("INSERT INTO history_marks (ip, mac, uloktets, dloktets) VALUES (?, ?, ?, ?)"
                                       " ON CONFLICT (ip, mac) DO UPDATE SET uloktets = excluded.uloktets,"
                                       " dloktets = excluded.dloktets")))
        return fail(upsert.lastError());
    for (const auto& [key, mark] : marks) {
        const auto last = LastMarks.find(key);
        if (!WriteAllMarks && last != LastMarks.end() && last->second.UL == mark.UL && last->second.DL == mark.DL)
            continue;
        upsert.addBindValue(Bytes(key.first));
        upsert.addBindValue(Bytes(key.second));
        upsert.addBindValue(QVariant::fromValue<qlonglong>(mark.UL));
        upsert.addBindValue(QVariant::fromValue<qlonglong>(mark.DL));
        if (!upsert.exec())
            return fail(upsert.lastError());
    }
    QSqlQuery remove(db);
    if (!remove.prepare(QStringLiteral("DELETE FROM history_marks WHERE ip = ? AND mac = ?")))
        return fail(remove.lastError());
    for (const auto& [key, mark] : LastMarks) {
        if (marks.contains(key))
            continue;
        remove.addBindValue(Bytes(key.first));
        remove.addBindValue(Bytes(key.second));
        if (!remove.exec())
            return fail(remove.lastError());
    }
    if (BeforeCommit)
        BeforeCommit();
    if (!db.commit())
        return fail(db.lastError());
    LastMarks = std::move(marks);
    FirstWrite = false;
    Begins = false;
    WriteAllMarks = false;
    outcome.Ok = true;
    outcome.Rows = static_cast<int>(rows.size());
    return outcome;
}

THistoryOutcome THistoryStore::RollUp(const TLocalTime& now, int hourlyAfterDays, int dailyAfterDays)
{
    THistoryOutcome outcome;
    if (!Opened) {
        outcome.Message = QStringLiteral("Verlauf ist nicht geöffnet");
        return outcome;
    }
    QSqlDatabase db = QSqlDatabase::database(ConnectionName, false);
    // A day's rows move whole: everything before the first day that is kept.
    const QString hourlyBefore = HistoryDateText(now.Day - std::max(hourlyAfterDays, 1));
    const QString dailyBefore = HistoryDateText(now.Day - std::max(dailyAfterDays, 1));

    auto run = [&](const QString& statement, const QString& before) {
        QSqlQuery query(db);
        if (!query.prepare(statement))
            return query.lastError();
        const qsizetype places = statement.count(QLatin1Char('?'));
        for (qsizetype i = 0; i < places; ++i)
            query.addBindValue(before);
        query.exec();
        return query.lastError();
    };
    const QString columns = QString::fromUtf8(TrafficColumns);
    const QString upsert = QStringLiteral(" ON CONFLICT (datum, zeit, ip, mac, device) DO UPDATE SET"
                                          " uloktets = uloktets + excluded.uloktets,"
                                          " dloktets = dloktets + excluded.dloktets");
    const QString steps[][2] = {
        {QStringLiteral("INSERT INTO traffic_hourly (%1)"
                        " SELECT substr(zeit, 1, 2) || ':00:00', datum, device, SUM(uloktets), SUM(dloktets), '', mac, ip"
                        " FROM traffic WHERE datum < ? GROUP BY datum, substr(zeit, 1, 2), ip, mac, device")
                 .arg(columns)
             + upsert,
         hourlyBefore},
        {QStringLiteral("DELETE FROM traffic WHERE datum < ?"), hourlyBefore},
        // Whatever is older than the daily period, from either table (the daily period
        // may be set shorter than the hourly one).
        {QStringLiteral("INSERT INTO traffic_daily (%1)"
                        " SELECT '00:00:00', datum, device, SUM(uloktets), SUM(dloktets), '', mac, ip FROM"
                        " (SELECT datum, device, uloktets, dloktets, mac, ip FROM traffic_hourly WHERE datum < ?"
                        "  UNION ALL SELECT datum, device, uloktets, dloktets, mac, ip FROM traffic WHERE datum < ?)"
                        " GROUP BY datum, ip, mac, device")
                 .arg(columns)
             + upsert,
         dailyBefore},
        {QStringLiteral("DELETE FROM traffic_hourly WHERE datum < ?"), dailyBefore},
        {QStringLiteral("DELETE FROM traffic WHERE datum < ?"), dailyBefore},
    };
    if (!db.transaction()) {
        outcome.Message = Message("Verlauf: %1", db.lastError().text());
        return outcome;
    }
    for (const auto& step : steps) {
        const QSqlError error = run(step[0], step[1]);
        if (error.isValid()) {
            db.rollback();
            outcome.Message = Message("Verlauf: %1", error.text());
            return outcome;
        }
    }
    if (!db.commit()) {
        outcome.Message = Message("Verlauf: %1", db.lastError().text());
        return outcome;
    }
    outcome.Ok = true;
    return outcome;
}

THistoryOutcome THistoryStore::RememberMacs(const std::vector<std::string>& macs, const TLocalTime& at)
{
    THistoryOutcome outcome;
    if (!Opened && !Open().Ok)
        return outcome;
    QSqlDatabase db = QSqlDatabase::database(ConnectionName, false);
    if (!db.transaction()) {
        outcome.Message = Message("Verlauf: %1", db.lastError().text());
        return outcome;
    }
    QSqlQuery insert(db);
    insert.prepare(QStringLiteral("INSERT OR IGNORE INTO known_macs (mac, seen) VALUES (?, ?)"));
    const QString seen = HistoryDateText(at.Day) + QLatin1Char(' ') + HistoryTimeText(at);
    for (const std::string& mac : macs) {
        insert.addBindValue(Bytes(mac));
        insert.addBindValue(seen);
        if (!insert.exec()) {
            outcome.Message = Message("Verlauf: %1", insert.lastError().text());
            db.rollback();
            return outcome;
        }
    }
    if (!db.commit()) {
        outcome.Message = Message("Verlauf: %1", db.lastError().text());
        return outcome;
    }
    outcome.Ok = true;
    outcome.Rows = static_cast<int>(macs.size());
    return outcome;
}
