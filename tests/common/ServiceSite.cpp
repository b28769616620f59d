#include "common/ServiceSite.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QUrl>

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

ServiceSite::ServiceSite() : ServiceSite(QString(), Options()) {}

ServiceSite::ServiceSite(const QString& folder, const Options& options)
    : m_folder(folder.isEmpty() ? m_dir.path() : folder), m_options(options) {
    m_logs.setAutoRemove(qEnvironmentVariableIsEmpty("TESSARO_KEEP"));
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot make the site folder: ") + m_dir.errorString();
        return;
    }
    const bool holdsSite = QFileInfo::exists(m_folder + QStringLiteral("/root.pem"));
    if (!holdsSite && !run(QStringList{QStringLiteral("init"), m_folder} + options.init))
        return;
    if (options.start)
        start();
}

ServiceSite::~ServiceSite() {
    if (m_process.state() != QProcess::NotRunning)
        stop();
}

QString ServiceSite::log() const {
    QFile file(m_logs.filePath(QStringLiteral("serve.log")));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

int ServiceSite::port() const {
    return QUrl(m_origin).port();
}

bool ServiceSite::start() {
    m_origin.clear();
    // The service's log, kept beside the folder for a failing test to show.
    m_process.setStandardErrorFile(m_logs.filePath(QStringLiteral("serve.log")), QIODevice::Append);
    m_process.start(program(), QStringList{QStringLiteral("serve"), m_folder} + m_options.serve);
    // The one line that says it accepts connections.
    static const QRegularExpression listening(QStringLiteral("^listening on (\\S+)\\n"));
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
        return false;
    }
    m_origin = m.captured(1);
    const int listen = m_options.serve.indexOf(QStringLiteral("--listen")) + 1;
    if (listen > 0 && listen < m_options.serve.size() && port() > 0)
        m_options.serve[listen] = QStringLiteral("%1:%2").arg(QUrl(m_origin).host()).arg(port());
    return true;
}

int ServiceSite::stop() {
    if (m_process.state() == QProcess::NotRunning)
        return -1;
    ::kill(static_cast<pid_t>(m_process.processId()), SIGTERM);
    if (!m_process.waitForFinished(30000)) {
        m_process.kill();
        m_process.waitForFinished();
        return -1;
    }
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

void ServiceSite::kill() {
    m_process.kill();
    m_process.waitForFinished(30000);
}

bool ServiceSite::addUser(const QString& name, const QString& password) {
    return run({QStringLiteral("user"), QStringLiteral("add"), m_folder, name}, password.toUtf8() + '\n');
}

bool ServiceSite::trust(const QString& caPemPath) {
    return run({QStringLiteral("trust"), QStringLiteral("add"), m_folder, caPemPath});
}

QList<QJsonObject> ServiceSite::registrations() {
    QByteArray out;
    QList<QJsonObject> list;
    if (!run({QStringLiteral("list"), m_folder}, {}, &out))
        return list;
    for (const QByteArray& line : out.split('\n'))
        if (!line.trimmed().isEmpty())
            list.append(QJsonDocument::fromJson(line).object());
    return list;
}
