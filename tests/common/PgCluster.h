#pragma once

// PgCluster: a throwaway PostgreSQL 15 cluster (Debian's postgresql-15) for one test or benchmark
// program, in a temporary folder, stopped when the object goes. Each test makes its own database in it.
// The server listens on a Unix socket in the folder and on 127.0.0.1:port(). The role "tessaro" is a
// superuser: through the socket it needs no password; over TCP it signs in with password() (SCRAM), so
// tests can show that PGPASSWORD and ~/.pgpass reach the server. PostgreSQL refuses to run as root: as
// root the cluster belongs to, and runs as, the user "nobody". Its log is server.log in the folder.

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class PgCluster {
public:
    PgCluster(); // initdb and start: several seconds
    ~PgCluster();
    PgCluster(const PgCluster&) = delete;
    PgCluster& operator=(const PgCluster&) = delete;

    bool isRunning() const { return m_running; }
    QString errorString() const { return m_error; }
    int port() const { return m_port; }
    QString password() const { return m_password; } // of the role "tessaro", over TCP

    // A new, empty database; its URL over the Unix socket (empty, with errorString(), on failure).
    QString createDatabase();
    // The URL of a database of the cluster over the Unix socket (it need not exist).
    QString url(const QString& database) const;
    // Runs SQL with psql as the cluster's superuser; false (with errorString()) when it fails.
    bool sql(const QString& database, const QString& statement, QString* output = nullptr);
    // "stop" (fast shutdown), "start" (after a stop), or "restart" with the stop's mode: "fast" or
    // "immediate" (as if the server crashed); the port stays. False (with errorString()) when it fails.
    bool control(const QString& command, const QString& mode = QStringLiteral("fast"));

private:
    bool run(const QString& program, const QStringList& arguments, QString* output = nullptr);
    bool asOwner(const QString& tool, const QStringList& arguments); // a PostgreSQL program
    QTemporaryDir m_dir;
    QString m_socket, m_password, m_error;
    int m_port = 0;
    int m_databases = 0;
    bool m_running = false;
};
