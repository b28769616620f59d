#include "common/PgCluster.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QUuid>

#include <unistd.h>

PgCluster::PgCluster()
    : m_dir(QStringLiteral("/tmp/tessaro-pg-XXXXXX")), m_socket(m_dir.filePath(QStringLiteral("socket"))),
      m_password(QUuid::createUuid().toString(QUuid::Id128)) {
    QFile passwordFile(m_dir.filePath(QStringLiteral("password")));
    if (!QDir().mkpath(m_socket) || !passwordFile.open(QIODevice::WriteOnly) ||
        passwordFile.write(m_password.toUtf8()) <= 0) {
        m_error = QStringLiteral("cannot write in ") + m_dir.path();
        return;
    }
    passwordFile.close();
    QFile::setPermissions(m_socket, QFile::permissions(m_socket) | QFile::ExeGroup | QFile::ExeOther |
                                        QFile::ReadGroup | QFile::ReadOther);
    if ((::geteuid() == 0 && !run(QStringLiteral("chown"), {"-R", "nobody:", m_dir.path()})) ||
        !asOwner(QStringLiteral("initdb"),
                 {"-D", m_dir.filePath("data"), "-U", "tessaro", "--pwfile=" + passwordFile.fileName(), "-E",
                  "UTF8", "--no-locale", "--auth-local=trust", "--auth-host=scram-sha-256"}))
        return;
    QFile conf(m_dir.filePath(QStringLiteral("data/postgresql.conf")));
    if (!conf.open(QIODevice::Append) ||
        conf.write(QStringLiteral("listen_addresses = '127.0.0.1'\nunix_socket_directories = '%1'\n"
                                  "max_connections = 300\nshared_buffers = 32MB\n")
                       .arg(m_socket)
                       .toUtf8()) <= 0) {
        m_error = QStringLiteral("cannot write ") + conf.fileName();
        return;
    }
    conf.close();
    // A port taken between choosing and binding: try another.
    for (int attempt = 0; attempt < 3 && !m_running; ++attempt) {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        m_port = probe.serverPort();
        probe.close();
        control(QStringLiteral("start"));
    }
}

PgCluster::~PgCluster() {
    if (m_running)
        control(QStringLiteral("stop"));
}

QString PgCluster::url(const QString& database) const {
    return QStringLiteral("postgresql://tessaro@/%1?host=%2&port=%3").arg(database, m_socket).arg(m_port);
}

QString PgCluster::createDatabase() {
    const QString name = QStringLiteral("site%1").arg(++m_databases);
    return sql(QStringLiteral("postgres"), QStringLiteral("CREATE DATABASE ") + name) ? url(name) : QString();
}

bool PgCluster::sql(const QString& database, const QString& statement, QString* output) {
    return run(QStringLiteral("psql"),
               {"-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-h", m_socket, "-p",
                QString::number(m_port), "-U", "tessaro", "-d", database, "-c", statement},
               output);
}

bool PgCluster::control(const QString& command, const QString& mode) {
    const QString data = m_dir.filePath(QStringLiteral("data"));
    if (command != QLatin1String("start")) {
        if (!asOwner(QStringLiteral("pg_ctl"), {"-D", data, "-m", mode, "-w", "stop"}))
            return false;
        m_running = false;
        if (command == QLatin1String("stop"))
            return true;
    }
    m_running = asOwner(QStringLiteral("pg_ctl"), {"-D", data, "-l", m_dir.filePath("server.log"), "-w", "-t",
                                                   "60", "-o", QStringLiteral("-p %1").arg(m_port), "start"});
    return m_running;
}

bool PgCluster::run(const QString& program, const QStringList& arguments, QString* output) {
    QProcess p;
    p.start(program, arguments);
    if (!p.waitForFinished(180000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        m_error = QStringLiteral("%1 %2 failed: %3 %4")
                      .arg(program, arguments.join(QLatin1Char(' ')), p.errorString(),
                           QString::fromLocal8Bit(p.readAllStandardError() + p.readAllStandardOutput()));
        return false;
    }
    if (output)
        *output = QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
    return true;
}

bool PgCluster::asOwner(const QString& tool, const QStringList& arguments) {
    const QString program = QStringLiteral("/usr/lib/postgresql/15/bin/") + tool;
    return ::geteuid() == 0
               ? run(QStringLiteral("runuser"), QStringList{"-u", "nobody", "--", program} + arguments)
               : run(program, arguments);
}
