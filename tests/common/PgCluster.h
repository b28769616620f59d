#pragma once

// PgCluster: a throwaway PostgreSQL 15 cluster for one test program, started by
// tests/common/pg-cluster.sh in a temporary folder and stopped when the object goes. Each test makes
// its own database in it.
//
//   PgCluster pg;                                  // initdb + start: several seconds
//   QVERIFY2(pg.isRunning(), qPrintable(pg.errorString()));
//   const QString url = pg.createDatabase();       // postgresql://tessaro@/db3?host=...&port=...
//   pg.sql("db3", "SELECT 1");                     // psql, as the cluster's superuser
//   pg.control("stop"); pg.control("restart", {"immediate"});

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class PgCluster {
public:
    PgCluster();
    ~PgCluster();
    PgCluster(const PgCluster&) = delete;
    PgCluster& operator=(const PgCluster&) = delete;

    bool isRunning() const { return m_running; }
    QString errorString() const { return m_error; }
    QString socketFolder() const { return m_socket; }
    int port() const { return m_port; }
    QString password() const { return m_password; } // of the role "tessaro", over TCP

    // A new, empty database; its URL over the Unix socket (empty, with errorString(), on failure).
    QString createDatabase();
    // The URL of a database of the cluster over the Unix socket (it need not exist).
    QString url(const QString& database) const;
    // Runs SQL with psql as the cluster's superuser; false (with errorString()) when it fails.
    bool sql(const QString& database, const QString& statement, QString* output = nullptr);
    // Runs pg-cluster.sh stop, restart [fast|immediate], or start (after a stop).
    bool control(const QString& command, const QStringList& arguments = {});

private:
    QTemporaryDir m_dir;
    QString m_socket, m_password, m_error;
    int m_port = 0;
    int m_databases = 0;
    bool m_running = false;
};
