#pragma once

// TestSite: the site for tests (tests/common/testsite/site.py), an HTTPS server on 127.0.0.1 run
// with /usr/bin/python3 in a temporary state folder, with its own test CA. It serves a few test
// pages ("/", "/simple.html", "/comments.html", "/echo" listing the posted fields) and, at the
// registration paths, a page that accepts anything; every request (the browser's /favicon.ico too)
// is recorded before its reply is sent.
//
//   TestSite site;                   // starts the site and waits until it is ready
//   QVERIFY2(site.isRunning(), qPrintable(site.errorString()));
//   QVERIFY(site.trustIn(home));     // $home/.pki/nssdb trusts the site's CA ("CT,,")
//   site.replyStatus("/echo", 404, "POST");
//   site.requests("/echo", "POST")[0].fields   // decoded, in order, exactly as posted
//
// Behaviours, per path or per method and path (which wins); setting one merges into what is there
// and replaces the page's own reply:
//   {"status": n}          status n, with "body" if given (none for 204 and 205)
//   {"body": html}         exactly this page
//   {"attachment": name}   a 200 page sent as a download
//   {"redirect": target}   "303 See Other" to the target
//   {"delay": seconds}     waits, then replies as told
//   {"action": "hang"}     part of a page, then nothing

#include <QDir>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

using TestSiteFields = QList<QPair<QString, QString>>;

struct TestSiteRequest {
    int seq = 0;
    QString method;
    QString path;
    TestSiteFields headers;
    TestSiteFields fields;       // form fields of an url-encoded body, in order
    bool fieldsValidUtf8 = true; // false when a name or value was not valid UTF-8

    QString header(const QString& name) const; // first of that name, any letter case
};

class TestSite {
public:
    TestSite();
    ~TestSite(); // stops the site
    TestSite(const TestSite&) = delete;
    TestSite& operator=(const TestSite&) = delete;

    bool isRunning() const { return m_process.state() == QProcess::Running && !m_origin.isEmpty(); }
    QString errorString() const { return m_error; }
    QString origin() const { return m_origin; }
    QUrl url(const QString& path) const { return QUrl(m_origin + path); }
    // The same site behind a certificate from a CA that nothing trusts.
    QString untrustedOrigin() const { return m_untrustedOrigin; }
    QString caCertificatePath() const { return m_caPath; } // PEM of the CA of the site's certificate
    // An origin on 127.0.0.1 with nothing listening.
    static QString refusedOrigin();

    // Recorded requests, oldest first, since the last clearRequests(); an empty path or method: any.
    QList<TestSiteRequest> requests(const QString& path = {}, const QString& method = {}) const;
    void clearRequests();
    // Runs the event loop until `count` requests to path (and method) have been recorded.
    bool waitForRequests(const QString& path, const QString& method = {}, int count = 1) const;

    // Merges values into the behaviour of path; an empty method applies to every method of the path.
    void setBehaviour(const QString& path, const QJsonObject& values, const QString& method = {});
    void clearBehaviours() {
        m_behaviours = {};
        writeControl();
    }
    void replyStatus(const QString& path, int status, const QString& method = {}) {
        setBehaviour(path, {{QStringLiteral("status"), status}}, method);
    }
    void replyBody(const QString& path, const QString& html, const QString& method = {}) {
        setBehaviour(path, {{QStringLiteral("body"), html}}, method);
    }
    void replyAsDownload(const QString& path, const QString& method = {}) {
        setBehaviour(path, {{QStringLiteral("attachment"), QStringLiteral("reply.html")}}, method);
    }
    void neverComplete(const QString& path, const QString& method = {}) {
        setBehaviour(path, {{QStringLiteral("action"), QStringLiteral("hang")}}, method);
    }

    // Makes $home/.pki/nssdb if missing and trusts the site's CA there for TLS servers.
    bool trustIn(const QString& home, QString* error = nullptr) const;

private:
    void writeControl();

    QTemporaryDir m_stateDir{QDir::tempPath() + QStringLiteral("/tessaro-site-XXXXXX")};
    QProcess m_process;
    QString m_error;
    QString m_origin;
    QString m_untrustedOrigin;
    QString m_caPath;
    int m_clearedSeq = 0;
    QJsonObject m_behaviours;
};
