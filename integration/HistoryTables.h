#pragma once

#include <QString>

// The traffic tables of the history file. All three have the columns and meaning of the
// database export's `traffic` table, so the same queries work on the file and on the
// database; `traffic_hourly` and `traffic_daily` hold older rows rolled up.
inline constexpr const char* TrafficTables[] = {"traffic", "traffic_hourly", "traffic_daily"};

// The columns a row is written with, in the database export's order.
inline constexpr const char* TrafficColumns = "zeit, datum, device, uloktets, dloktets, porttraffic, mac, ip";

// CREATE TABLE of one traffic table. A rolled-up table keeps one row per device and
// hour (or day), so rolling up again adds to a row instead of doubling it.
QString TrafficTableDefinition(const char* table, bool rolledUp);

// The rows of all three tables as one: "SELECT columns FROM t WHERE condition" joined
// with UNION ALL. Bind the condition's values once per table, in TrafficTables' order.
QString AllTrafficRows(const QString& columns, const QString& condition);
