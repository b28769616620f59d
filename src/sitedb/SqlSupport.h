#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>

// A failed step inside the site database code: what was being done, and the driver's own words.
class SqlFailure {
public:
    SqlFailure(const QString& what, const QSqlError& error)
        : m_message(error.text().trimmed().isEmpty() ? what
                                                     : what + QStringLiteral(": ") + error.text().trimmed()) {
    }
    QString message() const { return m_message; }

private:
    QString m_message;
};

// Starts a transaction that holds the write lock from its first statement on. SQLite's plain BEGIN takes
// the lock only at the first write, and a transaction that read first then fails at once (without waiting)
// when another connection is writing; BEGIN IMMEDIATE waits for the lock like any write does.
inline bool BeginWrite(QSqlDatabase& db) {
    if (db.driverName() == QLatin1String("QSQLITE")) {
        QSqlQuery q(db);
        return q.exec(QStringLiteral("BEGIN IMMEDIATE"));
    }
    return db.transaction();
}
