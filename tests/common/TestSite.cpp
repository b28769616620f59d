#include "common/TestSite.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSslCertificate>
#include <QTcpServer>
#include <QTest>

namespace {

TestSiteFields pairs(const QJsonValue& value) {
    TestSiteFields out;
    for (const QJsonValue& item : value.toArray())
        out.append({item[0].toString(), item[1].toString()});
    return out;
}

QByteArray readState(const QTemporaryDir& dir, const char* name) {
    QFile file(dir.filePath(QString::fromLatin1(name)));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool runCertutil(const QStringList& args, QString* error) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("certutil"), args);
    if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit &&
        process.exitCode() == 0)
        return true;
    if (error)
        *error = QStringLiteral("certutil ") + args.join(QLatin1Char(' ')) + QStringLiteral(": ") +
                 QString::fromLocal8Bit(process.readAll()) + process.errorString();
    return false;
}

} // namespace

QString TestSiteRequest::header(const QString& name) const {
    for (const auto& h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    return QString();
}

TestSite::TestSite() {
    writeControl();
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("/usr/bin/python3"),
                    {QStringLiteral(TESSARO_SOURCE_DIR "/tests/common/testsite/site.py"),
                     QStringLiteral("--state"), m_stateDir.path(), QStringLiteral("--stop-on-eof")});
    // The site prints one line, READY {json}, when it is ready.
    const QDeadlineTimer deadline(60000);
    while (!m_process.canReadLine()) {
        if (m_process.state() == QProcess::NotRunning || deadline.hasExpired()) {
            m_error = QStringLiteral("the site did not become ready: ") + m_process.errorString();
            return;
        }
        m_process.waitForReadyRead(100);
    }
    const QByteArray line = m_process.readLine().trimmed();
    if (!line.startsWith("READY ")) {
        m_error = QStringLiteral("unexpected line from the site: ") + QString::fromUtf8(line);
        return;
    }
    const QJsonObject ready = QJsonDocument::fromJson(line.mid(6)).object();
    m_origin = ready[QStringLiteral("origin")].toString();
    m_untrustedOrigin = ready[QStringLiteral("untrusted_origin")].toString();
    m_caPath = ready[QStringLiteral("ca")].toString();
}

TestSite::~TestSite() {
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.closeWriteChannel(); // the site stops when its standard input closes
    if (!m_process.waitForFinished(15000)) {
        m_process.kill();
        m_process.waitForFinished(15000);
    }
}

QString TestSite::refusedOrigin() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return QStringLiteral("https://127.0.0.1:") + QString::number(server.serverPort());
}

QList<TestSiteRequest> TestSite::requests(const QString& path, const QString& method) const {
    QList<TestSiteRequest> out;
    for (const QByteArray& line : readState(m_stateDir, "requests.jsonl").split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        TestSiteRequest r;
        r.seq = o[QStringLiteral("seq")].toInt();
        r.method = o[QStringLiteral("method")].toString();
        r.path = o[QStringLiteral("path")].toString();
        // An empty object is a line still being written.
        if (o.isEmpty() || r.seq <= m_clearedSeq || (!path.isEmpty() && r.path != path) ||
            (!method.isEmpty() && r.method.compare(method, Qt::CaseInsensitive) != 0))
            continue;
        r.headers = pairs(o[QStringLiteral("headers")]);
        r.fields = pairs(o[QStringLiteral("fields")]);
        r.fieldsValidUtf8 = o[QStringLiteral("fields_valid")].toBool(true);
        out.append(r);
    }
    return out;
}

void TestSite::clearRequests() {
    const QList<TestSiteRequest> all = requests();
    if (!all.isEmpty())
        m_clearedSeq = all.last().seq;
}

bool TestSite::waitForRequests(const QString& path, const QString& method, int count) const {
    return QTest::qWaitFor([&] { return requests(path, method).size() >= count; }, 60000);
}

void TestSite::setBehaviour(const QString& path, const QJsonObject& values, const QString& method) {
    const QString key = method.isEmpty() ? path : method.toUpper() + QLatin1Char(' ') + path;
    QJsonObject behaviour = m_behaviours[key].toObject();
    for (auto it = values.begin(); it != values.end(); ++it)
        behaviour.insert(it.key(), it.value());
    m_behaviours.insert(key, behaviour);
    writeControl();
}

bool TestSite::trustIn(const QString& home, QString* error) const {
    const QString db = home + QStringLiteral("/.pki/nssdb");
    const QList<QSslCertificate> certs = QSslCertificate::fromPath(m_caPath);
    if (!QDir().mkpath(db) || certs.isEmpty()) {
        if (error)
            *error = QStringLiteral("cannot make ") + db + QStringLiteral(" or read ") + m_caPath;
        return false;
    }
    const QString dbArg = QStringLiteral("sql:") + db;
    return (QFileInfo::exists(db + QStringLiteral("/cert9.db")) ||
            runCertutil(
                {QStringLiteral("-N"), QStringLiteral("--empty-password"), QStringLiteral("-d"), dbArg},
                error)) &&
           runCertutil({QStringLiteral("-A"), QStringLiteral("-d"), dbArg, QStringLiteral("-n"),
                        certs.first().subjectInfo(QSslCertificate::CommonName).value(0), QStringLiteral("-t"),
                        QStringLiteral("CT,,"), QStringLiteral("-i"), m_caPath},
                       error);
}

void TestSite::writeControl() {
    QSaveFile file(m_stateDir.filePath(QStringLiteral("control.json")));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(QJsonObject{{QStringLiteral("behaviours"), m_behaviours}})
                       .toJson(QJsonDocument::Compact));
        file.commit();
    }
}
