#include "TestSite.h"

#include <QDeadlineTimer>
#include <QDir>
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

const char* const kScript = TESSARO_SOURCE_DIR "/tests/site/site.py";

TestSiteFields pairs(const QJsonValue& value) {
    TestSiteFields out;
    const QJsonArray array = value.toArray();
    for (const QJsonValue& item : array) {
        const QJsonArray pair = item.toArray();
        out.append({pair.at(0).toString(), pair.at(1).toString()});
    }
    return out;
}

QString behaviourKey(const QString& path, const QString& method) {
    return method.isEmpty() ? path : method.toUpper() + QLatin1Char(' ') + path;
}

bool runTool(const QString& program, const QStringList& args, QString* error) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        if (error)
            *error = program + QLatin1Char(' ') + args.join(QLatin1Char(' ')) + QStringLiteral(": ") +
                     QString::fromLocal8Bit(process.readAll()) + process.errorString();
        return false;
    }
    return true;
}

} // namespace

QString TestSiteRequest::header(const QString& name) const {
    for (const auto& h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    return QString();
}

QString TestSiteRequest::field(const QString& name) const {
    for (const auto& f : fields)
        if (f.first == name)
            return f.second;
    return QString();
}

QStringList TestSiteRequest::fieldNames() const {
    QStringList names;
    for (const auto& f : fields)
        names.append(f.first);
    return names;
}

TestSite::TestSite(const QString& stateDir, quint16 port) {
    if (stateDir.isEmpty()) {
        m_tempDir =
            std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/tessaro-site-XXXXXX"));
        m_stateDir = m_tempDir->path();
    } else {
        m_stateDir = stateDir;
        QDir().mkpath(m_stateDir);
    }
    writeControl();

    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("/usr/bin/python3"),
                    {QString::fromUtf8(kScript), QStringLiteral("--state"), m_stateDir,
                     QStringLiteral("--port"), QString::number(port), QStringLiteral("--stop-on-eof")});
    if (!m_process.waitForStarted(30000)) {
        m_error = QStringLiteral("cannot start the site: ") + m_process.errorString();
        return;
    }
    QByteArray line;
    QDeadlineTimer deadline(60000);
    while (!m_process.canReadLine()) {
        if (m_process.state() != QProcess::Running || deadline.hasExpired()) {
            m_error = QStringLiteral("the site did not become ready: ") + m_process.errorString();
            return;
        }
        m_process.waitForReadyRead(100);
    }
    line = m_process.readLine().trimmed();
    if (!line.startsWith("READY ")) {
        m_error = QStringLiteral("unexpected line from the site: ") + QString::fromUtf8(line);
        return;
    }
    const QJsonObject ready = QJsonDocument::fromJson(line.mid(6)).object();
    m_origin = ready.value(QStringLiteral("origin")).toString();
    m_port = quint16(ready.value(QStringLiteral("port")).toInt());
    m_untrustedOrigin = ready.value(QStringLiteral("untrusted_origin")).toString();
    m_caPath = ready.value(QStringLiteral("ca")).toString();
}

TestSite::~TestSite() {
    stop();
}

void TestSite::stop() {
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.closeWriteChannel(); // the site stops when its standard input closes
    if (!m_process.waitForFinished(15000)) {
        m_process.kill();
        m_process.waitForFinished(15000);
    }
}

bool TestSite::isRunning() const {
    return m_process.state() == QProcess::Running && m_port != 0;
}

QString TestSite::errorString() const {
    return m_error;
}

QString TestSite::stateDir() const {
    return m_stateDir;
}

QString TestSite::origin() const {
    return m_origin;
}

quint16 TestSite::port() const {
    return m_port;
}

QUrl TestSite::url(const QString& path) const {
    return QUrl(m_origin + path);
}

QString TestSite::untrustedOrigin() const {
    return m_untrustedOrigin;
}

QString TestSite::caCertificatePath() const {
    return m_caPath;
}

QSslConfiguration TestSite::sslConfiguration() const {
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.addCaCertificates(QSslCertificate::fromPath(m_caPath));
    return config;
}

QList<TestSiteRequest> TestSite::requests() const {
    QList<TestSiteRequest> out;
    QFile file(m_stateDir + QStringLiteral("/requests.jsonl"));
    if (!file.open(QIODevice::ReadOnly))
        return out;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray& line : lines) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.isEmpty())
            continue; // a line still being written
        TestSiteRequest r;
        r.seq = o.value(QStringLiteral("seq")).toInt();
        if (r.seq <= m_clearedSeq)
            continue;
        r.server = o.value(QStringLiteral("server")).toString();
        r.method = o.value(QStringLiteral("method")).toString();
        r.target = o.value(QStringLiteral("target")).toString();
        r.path = o.value(QStringLiteral("path")).toString();
        r.query = pairs(o.value(QStringLiteral("query")));
        r.headers = pairs(o.value(QStringLiteral("headers")));
        r.body = QByteArray::fromBase64(o.value(QStringLiteral("body")).toString().toLatin1());
        r.fields = pairs(o.value(QStringLiteral("fields")));
        r.fieldsValidUtf8 = o.value(QStringLiteral("fields_valid")).toBool(true);
        out.append(r);
    }
    return out;
}

QList<TestSiteRequest> TestSite::requests(const QString& path, const QString& method) const {
    QList<TestSiteRequest> out;
    const QList<TestSiteRequest> all = requests();
    for (const TestSiteRequest& r : all)
        if (r.path == path && (method.isEmpty() || r.method.compare(method, Qt::CaseInsensitive) == 0))
            out.append(r);
    return out;
}

void TestSite::clearRequests() {
    const QList<TestSiteRequest> all = requests();
    if (!all.isEmpty())
        m_clearedSeq = all.last().seq;
}

bool TestSite::waitForRequests(const QString& path, const QString& method, int count, int timeoutMs) const {
    return QTest::qWaitFor([&] { return requests(path, method).size() >= count; }, timeoutMs);
}

void TestSite::setBehaviour(const QString& path, const QJsonObject& behaviour, const QString& method) {
    m_behaviours.insert(behaviourKey(path, method), behaviour);
    writeControl();
}

void TestSite::replyText(const QString& path, const QString& text, const QString& method) {
    setBehaviour(path, {{QStringLiteral("reply"), text}}, method);
}

void TestSite::replyStatus(const QString& path, int status, const QString& method) {
    setBehaviour(path, {{QStringLiteral("status"), status}}, method);
}

void TestSite::replyBody(const QString& path, const QString& html, const QString& method) {
    setBehaviour(path, {{QStringLiteral("body"), html}}, method);
}

void TestSite::dropConnection(const QString& path, const QString& method) {
    setBehaviour(path, {{QStringLiteral("action"), QStringLiteral("drop")}}, method);
}

void TestSite::neverComplete(const QString& path, const QString& method) {
    setBehaviour(path, {{QStringLiteral("action"), QStringLiteral("hang")}}, method);
}

void TestSite::replyWithoutStartMarker(const QString& path) {
    mergeBehaviour(path, {{QStringLiteral("startMarker"), false}});
}

void TestSite::replyWithSignature(const QString& signature, const QString& path) {
    mergeBehaviour(path, {{QStringLiteral("signature"), signature}});
}

void TestSite::replyWithoutForm(const QString& path) {
    mergeBehaviour(path, {{QStringLiteral("form"), false}});
}

void TestSite::clearBehaviour(const QString& path, const QString& method) {
    m_behaviours.remove(behaviourKey(path, method));
    writeControl();
}

void TestSite::clearBehaviours() {
    m_behaviours = QJsonObject();
    writeControl();
}

void TestSite::setUser(const QString& name, const QString& password) {
    m_users.insert(name, password);
    writeControl();
}

void TestSite::removeUser(const QString& name) {
    m_users.remove(name);
    writeControl();
}

QList<TestSiteRegistration> TestSite::registrations() const {
    QList<TestSiteRegistration> out;
    QFile file(m_stateDir + QStringLiteral("/registrations.json"));
    if (!file.open(QIODevice::ReadOnly))
        return out;
    const QJsonArray rows = QJsonDocument::fromJson(file.readAll()).array();
    for (const QJsonValue& row : rows) {
        const QJsonObject o = row.toObject();
        TestSiteRegistration r;
        r.id = o.value(QStringLiteral("id")).toInt();
        r.method = o.value(QStringLiteral("method")).toString();
        r.fingerprint = o.value(QStringLiteral("fingerprint")).toString();
        r.filename = o.value(QStringLiteral("filename")).toString();
        r.user = o.value(QStringLiteral("user")).toString();
        r.data = o.value(QStringLiteral("data")).toString();
        r.registered = o.value(QStringLiteral("registered")).toString();
        out.append(r);
    }
    return out;
}

void TestSite::clearRegistrations() {
    // The site opens the database afresh for every request and makes it again when it is missing.
    QFile::remove(m_stateDir + QStringLiteral("/site.db"));
    QFile::remove(m_stateDir + QStringLiteral("/site.db-journal"));
    QFile::remove(m_stateDir + QStringLiteral("/registrations.json"));
}

bool TestSite::trustCa(const QString& home, const QString& caPemPath, QString* error) {
    const QString db = home + QStringLiteral("/.pki/nssdb");
    if (!QDir().mkpath(db)) {
        if (error)
            *error = QStringLiteral("cannot make ") + db;
        return false;
    }
    const QString dbArg = QStringLiteral("sql:") + db;
    if (!QFileInfo::exists(db + QStringLiteral("/cert9.db")) &&
        !runTool(QStringLiteral("certutil"),
                 {QStringLiteral("-N"), QStringLiteral("--empty-password"), QStringLiteral("-d"), dbArg},
                 error))
        return false;
    const QList<QSslCertificate> certs = QSslCertificate::fromPath(caPemPath);
    if (certs.isEmpty()) {
        if (error)
            *error = QStringLiteral("no certificate in ") + caPemPath;
        return false;
    }
    const QString nickname = certs.first().subjectInfo(QSslCertificate::CommonName).value(0);
    return runTool(QStringLiteral("certutil"),
                   {QStringLiteral("-A"), QStringLiteral("-d"), dbArg, QStringLiteral("-n"), nickname,
                    QStringLiteral("-t"), QStringLiteral("CT,,"), QStringLiteral("-i"), caPemPath},
                   error);
}

bool TestSite::trustIn(const QString& home, QString* error) const {
    return trustCa(home, m_caPath, error);
}

quint16 TestSite::freePort() {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = server.serverPort();
    server.close();
    return port;
}

QString TestSite::refusedOrigin() {
    return QStringLiteral("https://127.0.0.1:") + QString::number(freePort());
}

void TestSite::mergeBehaviour(const QString& key, const QJsonObject& values) {
    QJsonObject behaviour = m_behaviours.value(key).toObject();
    for (auto it = values.begin(); it != values.end(); ++it)
        behaviour.insert(it.key(), it.value());
    m_behaviours.insert(key, behaviour);
    writeControl();
}

void TestSite::writeControl() {
    // Replaced in one rename: the site never reads half a file.
    QSaveFile file(m_stateDir + QStringLiteral("/control.json"));
    if (!file.open(QIODevice::WriteOnly))
        return;
    const QJsonObject control{{QStringLiteral("behaviours"), m_behaviours},
                              {QStringLiteral("users"), m_users}};
    file.write(QJsonDocument(control).toJson(QJsonDocument::Compact));
    file.commit();
}
