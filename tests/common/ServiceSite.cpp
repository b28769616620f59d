#include "common/ServiceSite.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QRegularExpression>

#include <csignal>

QString ServiceSite::program() {
    return QStringLiteral(TESSARO_BINARY_DIR) + QStringLiteral("/src/site/tessaro-site");
}

bool ServiceSite::run(const QStringList& arguments, const QByteArray& input, QByteArray* output) {
    QProcess p;
    p.start(program(), arguments);
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        m_error = QStringLiteral("tessaro-site %1 failed: %2 %3")
                      .arg(arguments.join(QLatin1Char(' ')), p.errorString(),
                           QString::fromLocal8Bit(p.readAllStandardError()));
        return false;
    }
    if (output)
        *output = p.readAllStandardOutput();
    return true;
}

ServiceSite::ServiceSite() {
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot make the site folder: ") + m_dir.errorString();
        return;
    }
    if (!run({QStringLiteral("init"), m_dir.path()}))
        return;
    // The service's log, kept beside the folder for a failing test to show.
    m_process.setStandardErrorFile(m_logs.filePath(QStringLiteral("serve.log")));
    m_process.start(program(), {QStringLiteral("serve"), m_dir.path(), QStringLiteral("--listen"),
                                QStringLiteral("127.0.0.1:0")});
    // The one line that says it accepts connections.
    static const QRegularExpression listening(
        QStringLiteral("^listening on (https://127\\.0\\.0\\.1:[0-9]+)\\n"));
    const QDeadlineTimer deadline(60000);
    QByteArray out;
    while (!deadline.hasExpired() && m_process.state() != QProcess::NotRunning && !out.contains('\n')) {
        m_process.waitForReadyRead(200);
        out += m_process.readAllStandardOutput();
    }
    const QRegularExpressionMatch m = listening.match(QString::fromUtf8(out));
    if (!m.hasMatch()) {
        m_error = QStringLiteral("tessaro-site serve did not say where it listens: ") +
                  QString::fromUtf8(out) +
                  QStringLiteral(" (its log: %1)").arg(m_logs.filePath(QStringLiteral("serve.log")));
        m_logs.setAutoRemove(false);
        return;
    }
    m_origin = m.captured(1);
}

ServiceSite::~ServiceSite() {
    if (m_process.state() != QProcess::NotRunning) {
        ::kill(static_cast<pid_t>(m_process.processId()), SIGTERM);
        if (!m_process.waitForFinished(30000))
            m_process.kill();
    }
}

bool ServiceSite::addUser(const QString& name, const QString& password) {
    return run({QStringLiteral("user"), QStringLiteral("add"), m_dir.path(), name}, password.toUtf8() + '\n');
}

bool ServiceSite::trust(const QString& caPemPath) {
    return run({QStringLiteral("trust"), QStringLiteral("add"), m_dir.path(), caPemPath});
}

QList<QJsonObject> ServiceSite::registrations() {
    QByteArray out;
    QList<QJsonObject> list;
    if (!run({QStringLiteral("list"), m_dir.path()}, {}, &out))
        return list;
    for (const QByteArray& line : out.split('\n'))
        if (!line.trimmed().isEmpty())
            list.append(QJsonDocument::fromJson(line).object());
    return list;
}
