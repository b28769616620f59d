#pragma once

// TestSite: the registration site for tests (testsite/site.py beside this file), run with python3 in a
// temporary state folder, HTTPS on 127.0.0.1 with the fixed certificates of testsite/certs. It serves "/"
// and "/simple.html" (title "Simple Page"), "/comments.html", "/echo" and, at the registration paths, a
// page that accepts anything; any other path is 404. Every request is recorded before its reply.
//
// A behaviour replaces the reply to "<METHOD> <path>", or to "<path>" for every method (the method's wins):
//   {"status": n}   {"body": html}   {"attachment": name}, a download   {"redirect": target}, 303
//   {"delay": seconds}, then as told   {"hang": true}, part of a page and then nothing

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

struct TestSiteRequest {
    QString method;
    QString path;
    QString contentType;
    QList<QPair<QString, QString>> fields; // of an url-encoded body, decoded, in order
};

class TestSite {
public:
    TestSite(); // starts the site and waits until it is ready
    ~TestSite();

    bool isRunning() const { return m_process.state() == QProcess::Running && !m_origin.isEmpty(); }
    QString errorString() const { return m_error; }
    QString origin() const { return m_origin; }
    QUrl url(const QString& path) const { return QUrl(m_origin + path); }
    QString untrustedOrigin() const { return m_untrustedOrigin; } // behind a CA that nothing trusts
    static QString caCertificatePath() {
        return QStringLiteral(TESSARO_SOURCE_DIR "/tests/common/testsite/certs/ca.pem");
    }
    static QString refusedOrigin(); // on 127.0.0.1, with nothing listening

    // An empty behaviour removes the key's.
    void behave(const QString& key, const QJsonObject& behaviour);
    void clearBehaviours() {
        m_behaviours = {};
        behave({}, {});
    }
    // The requests to "<METHOD> <path>" or "<path>" (all when empty), oldest first, since clearRequests().
    QList<TestSiteRequest> requests(const QString& key = {}) const;
    void clearRequests() { QFile::remove(m_state.filePath(QStringLiteral("requests.jsonl"))); }
    bool waitForRequest(const QString& key) const;

private:
    QTemporaryDir m_state{QDir::tempPath() + QStringLiteral("/tessaro-site-XXXXXX")};
    QProcess m_process;
    QString m_error;
    QString m_origin;
    QString m_untrustedOrigin;
    QJsonObject m_behaviours;
};
