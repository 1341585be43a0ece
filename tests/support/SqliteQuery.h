#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

#include <gtest/gtest.h>

#include <string>
#include <vector>

// The first column of every row a statement gives on a SQLite file (the local
// history), as text; a file that cannot be opened or a statement that fails fails the
// test that asked.
inline std::vector<std::string> SqliteColumn(const std::string& file, const QString& statement)
{
    const QString connection = QStringLiteral("test-sqlite-column");
    std::vector<std::string> texts;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(QString::fromStdString(file));
        EXPECT_TRUE(db.open()) << file;
        QSqlQuery query(db);
        EXPECT_TRUE(query.exec(statement)) << statement.toStdString() << ": " << query.lastError().text().toStdString();
        while (query.next())
            texts.push_back(query.value(0).toString().toStdString());
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return texts;
}
