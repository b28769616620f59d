#include "common/TestSite.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QTcpServer>
#include <QTest>

TestSite::TestSite() {
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("/usr/bin/python3"),
                    {QStringLiteral(TESSARO_SOURCE_DIR "/tests/common/testsite/site.py"), m_state.path()});
    const QList<QByteArray> ready =
        m_process.waitForReadyRead(60000) ? m_process.readLine().trimmed().split(' ') : QList<QByteArray>();
    if (ready.size() != 3 || ready[0] != "READY") {
        m_error = QStringLiteral("the site did not become ready: ") + m_process.errorString();
        return;
    }
    m_origin = QStringLiteral("https://127.0.0.1:") + QString::fromLatin1(ready[1]);
    m_untrustedOrigin = QStringLiteral("https://127.0.0.1:") + QString::fromLatin1(ready[2]);
}

TestSite::~TestSite() {
    m_process.closeWriteChannel(); // the site stops when its standard input closes
    m_process.waitForFinished(15000);
}

QString TestSite::refusedOrigin() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return QStringLiteral("https://127.0.0.1:") + QString::number(server.serverPort());
}

void TestSite::behave(const QString& key, const QJsonObject& behaviour) {
    if (!key.isEmpty())
        behaviour.isEmpty() ? m_behaviours.remove(key) : void(m_behaviours.insert(key, behaviour));
    QSaveFile file(m_state.filePath(QStringLiteral("control.json")));
    if (file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(m_behaviours).toJson()) >= 0)
        file.commit();
}

QList<TestSiteRequest> TestSite::requests(const QString& key) const {
    QFile file(m_state.filePath(QStringLiteral("requests.jsonl")));
    QList<TestSiteRequest> out;
    for (const QByteArray& line :
         file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>()) {
        const QJsonObject o = QJsonDocument::fromJson(line).object(); // empty: a line still being written
        TestSiteRequest r{o[u"method"].toString(), o[u"path"].toString(), o[u"type"].toString(), {}};
        if (o.isEmpty() || (!key.isEmpty() && key != r.path && key != r.method + u' ' + r.path))
            continue;
        for (const QJsonValue& field : o[u"fields"].toArray())
            r.fields.append({field[0].toString(), field[1].toString()});
        out.append(r);
    }
    return out;
}

bool TestSite::waitForRequest(const QString& key) const {
    return QTest::qWaitFor([&] { return !requests(key).isEmpty(); }, 60000);
}
