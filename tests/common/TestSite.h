#pragma once

// TestSite: the registration site for tests (tests/site/site.py), an HTTPS server on 127.0.0.1.
//
//   TestSite site;                        // makes a fresh CA and certificates, starts the server, waits
//   until ready QVERIFY2(site.isRunning(), qPrintable(site.errorString())); QVERIFY(TestSite::trustCa(home,
//   site.caCertificatePath()));   // HOME's NSS db trusts the site ("CT,,") qputenv("TESSARO_SITE_ORIGIN",
//   site.origin().toUtf8());       // https://127.0.0.1:<port>
//   ... navigate / post ...
//   QList<TestSiteRequest> posts = site.requests(TestSite::UserRegisterPath, "POST");
//   posts[0].fields                       // decoded form fields, in order, exactly as posted (UTF-8)
//   posts[0].body                         // the raw body
//   // the destructor stops the server
//
// Every request is recorded (method, target, headers, raw body, form fields) before its reply is sent, so a
// request whose reply the client has seen can always be read back. The browser's own /favicon.ico
// requests are recorded too: filter by path.
//
// Pages (all text/html; charset=utf-8 with <meta charset="utf-8">):
//   /, /simple.html   a simple page              /comments.html  a page holding HTML comments
//   /echo             lists the posted fields    any other path  a 404 page
//   LoginPath         GET sets the session cookie TSSESSION
//   CertRegisterPath  POST tessaro, filename: Base64 CMS checked with `openssl cms -verify -noverify`,
//   content
//                     the 40-hex fingerprint (UTF-16LE or ASCII); a known fingerprint gives
//                     "error:dberror-update", a bad signature "error:signature-verification-failure", no
//                     session cookie "error:no-session"
//   UserRegisterPath  GET a page; POST filename, filehash, user, pwd: an unknown user or wrong password gives
//                     "error:dberror-rs-users", a known fingerprint "error:dberror-update"; success answers
//                     "<!-- SIG:[V.01_...] -->" and a form id="regform" posting to RegisteredPath
//   VerifyPath        GET a page; POST filename (a path: its last component counts), filehash, user, pwd,
//   sig:
//                     success shows <p id="result">verified</p>; a bad user "error:dberror-rs-users", an
//                     unknown or mismatched signature "error:signature-verification-failure", another
//                     fingerprint "error:file-changed"
//
// Behaviours, per path (for any method) or per method and path (which wins); see set*/reply* below:
//   replyText      a 200 page whose body holds the text (e.g. "error:dberror-open")
//   replyStatus    that status (e.g. 404, 500) with a small page
//   replyBody      exactly this page
//   dropConnection the request is read, then the connection is closed with no reply (clients may send the
//                  request again: QNetworkAccessManager does, so it can be recorded more than once)
//   neverComplete  headers and part of a page are sent, then the connection stays open until the site stops
//   replyWithoutStartMarker / replyWithSignature / replyWithoutForm   alter the user registration's success
//   page
//
// Control files in stateDir() (for tools other than this class): control.json {"behaviours": {"<path>" |
// "<METHOD> <path>": {"status": n, "reply": s, "body": s, "action": "drop"|"hang", "signature": s,
// "startMarker": bool, "form": bool}}, "users": {name: password}}, replaced atomically and read on every
// request; requests.jsonl (one JSON object per request); registrations.json (the database after each change);
// site.db.
//
// A refused connection: refusedOrigin() (a port with nothing listening). An untrusted certificate:
// untrustedOrigin() (the same site behind a certificate from a CA that nothing trusts).

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QPair>
#include <QProcess>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>

using TestSiteFields = QList<QPair<QString, QString>>;

struct TestSiteRequest {
    int seq = 0;
    QString server; // "main" or "untrusted"
    QString method;
    QString target; // path and query as sent
    QString path;   // path alone
    TestSiteFields query;
    TestSiteFields headers;
    QByteArray body;             // raw body
    TestSiteFields fields;       // form fields of an url-encoded body, in order
    bool fieldsValidUtf8 = true; // false when a name or value was not valid UTF-8

    QString header(const QString& name) const; // first of that name, any letter case
    QString field(const QString& name) const;  // first of that name
    QStringList fieldNames() const;
};

struct TestSiteRegistration {
    int id = 0;
    QString method; // "certificate" or "user"
    QString fingerprint;
    QString filename;
    QString user;
    QString data; // the posted signed data, or the site's signature
    QString registered;
};

class TestSite {
public:
    static constexpr const char* LoginPath = "/tessaro/user/login.asp";
    static constexpr const char* CertRegisterPath = "/tessaro/user/regfile.asp";
    static constexpr const char* UserRegisterPath = "/scripts/register/regfile.asp";
    static constexpr const char* VerifyPath = "/scripts/register/verify.asp";
    static constexpr const char* RegisteredPath = "/scripts/register/registered.asp";

    // Starts the site. stateDir keeps the state (database, certificates, recorded requests) across sites;
    // empty: a temporary one. port 0: any free port.
    explicit TestSite(const QString& stateDir = QString(), quint16 port = 0);
    ~TestSite();
    TestSite(const TestSite&) = delete;
    TestSite& operator=(const TestSite&) = delete;

    bool isRunning() const;
    void stop(); // the destructor stops it too
    QString errorString() const;
    QString stateDir() const;
    QString origin() const; // https://127.0.0.1:<port>
    quint16 port() const;
    QUrl url(const QString& path) const;
    QString untrustedOrigin() const;
    QString caCertificatePath() const; // PEM of the CA that issued the site's certificate
    // A configuration trusting the test CA, for QNetworkAccessManager requests in tests.
    QSslConfiguration sslConfiguration() const;

    // Recorded requests, oldest first, since the last clearRequests().
    QList<TestSiteRequest> requests() const;
    QList<TestSiteRequest> requests(const QString& path, const QString& method = QString()) const;
    void clearRequests();
    // Runs the event loop until `count` requests to path (and method) have been recorded.
    bool waitForRequests(const QString& path, const QString& method = QString(), int count = 1,
                         int timeoutMs = 60000) const;

    // Behaviours. An empty method applies to every method of the path.
    void setBehaviour(const QString& path, const QJsonObject& behaviour, const QString& method = QString());
    void replyText(const QString& path, const QString& text, const QString& method = QString());
    void replyStatus(const QString& path, int status, const QString& method = QString());
    void replyBody(const QString& path, const QString& html, const QString& method = QString());
    void dropConnection(const QString& path, const QString& method = QString());
    void neverComplete(const QString& path, const QString& method = QString());
    // These three combine with each other.
    void replyWithoutStartMarker(const QString& path = UserRegisterPath);
    void replyWithSignature(const QString& signature, const QString& path = UserRegisterPath);
    void replyWithoutForm(const QString& path = UserRegisterPath);
    void clearBehaviour(const QString& path, const QString& method = QString());
    void clearBehaviours();

    // The site's users for the user-name-and-password pages.
    void setUser(const QString& name, const QString& password);
    void removeUser(const QString& name);

    QList<TestSiteRegistration> registrations() const;
    void clearRegistrations();

    // Makes $home/.pki/nssdb if missing and trusts the CA there for TLS servers.
    static bool trustCa(const QString& home, const QString& caPemPath, QString* error = nullptr);
    bool trustIn(const QString& home, QString* error = nullptr) const;
    // A port on 127.0.0.1 with nothing listening, and its origin.
    static quint16 freePort();
    static QString refusedOrigin();

private:
    void mergeBehaviour(const QString& key, const QJsonObject& values);
    void writeControl();

    std::unique_ptr<QTemporaryDir> m_tempDir;
    QString m_stateDir;
    QProcess m_process;
    QString m_error;
    QString m_origin;
    QString m_untrustedOrigin;
    QString m_caPath;
    quint16 m_port = 0;
    int m_clearedSeq = 0;
    QJsonObject m_behaviours;
    QJsonObject m_users;
};
