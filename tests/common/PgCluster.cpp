#include "common/PgCluster.h"

#include <QProcess>
#include <QProcessEnvironment>

namespace {

QString script() {
    return QStringLiteral(TESSARO_SOURCE_DIR "/tests/common/pg-cluster.sh");
}

} // namespace

PgCluster::PgCluster() : m_dir(QStringLiteral("/tmp/tessaro-pg-XXXXXX")) {
    QProcess p;
    p.start(script(), {QStringLiteral("start"), m_dir.path()});
    if (!p.waitForFinished(180000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        m_error = QStringLiteral("cannot start a PostgreSQL cluster (package postgresql-15): ") +
                  QString::fromLocal8Bit(p.readAllStandardError());
        return;
    }
    for (const QByteArray& line : p.readAllStandardOutput().split('\n')) {
        const QString text = QString::fromLocal8Bit(line);
        const QString value = text.section(QLatin1Char('='), 1);
        if (text.startsWith(QLatin1String("PGHOST=")))
            m_socket = value;
        else if (text.startsWith(QLatin1String("PGPORT=")))
            m_port = value.toInt();
        else if (text.startsWith(QLatin1String("TESSARO_PG_PASSWORD=")))
            m_password = value;
    }
    m_running = !m_socket.isEmpty() && m_port > 0;
    if (!m_running)
        m_error = QStringLiteral("pg-cluster.sh said nothing of where the cluster listens");
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
    if (!sql(QStringLiteral("postgres"), QStringLiteral("CREATE DATABASE ") + name))
        return {};
    return url(name);
}

bool PgCluster::sql(const QString& database, const QString& statement, QString* output) {
    QProcess p;
    p.start(QStringLiteral("psql"),
            {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-A"), QStringLiteral("-t"),
             QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-h"), m_socket,
             QStringLiteral("-p"), QString::number(m_port), QStringLiteral("-U"), QStringLiteral("tessaro"),
             QStringLiteral("-d"), database, QStringLiteral("-c"), statement});
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        m_error = QStringLiteral("psql %1 failed: %2")
                      .arg(statement, QString::fromLocal8Bit(p.readAllStandardError()));
        return false;
    }
    if (output)
        *output = QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
    return true;
}

bool PgCluster::control(const QString& command, const QStringList& arguments) {
    QProcess p;
    p.start(script(), QStringList{command, m_dir.path()} + arguments);
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        m_error = QStringLiteral("pg-cluster.sh %1 failed: %2")
                      .arg(command, QString::fromLocal8Bit(p.readAllStandardError()));
        return false;
    }
    m_running = command != QLatin1String("stop");
    return true;
}
