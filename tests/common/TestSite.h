#pragma once

// clang-format off
// TestSite: the registration site for tests (tests/site/site.py), an HTTPS server on 127.0.0.1 run with
// /usr/bin/python3. Each site makes its own test CA and server certificate (tests/site/make_certs.sh).
//
//   TestSite site;                   // starts the site and waits until it is ready
//   QVERIFY2(site.isRunning(), qPrintable(site.errorString()));
//   QVERIFY(site.trustIn(home));     // $home/.pki/nssdb trusts the site's CA ("CT,,")
//   qputenv("TESSARO_SITE_ORIGIN", site.origin().toUtf8());   // https://127.0.0.1:<port>
//   site.setUser("alice", "secret"); // a user of the user-name-and-password pages
//   ... navigate, post ...
//   QList<TestSiteRequest> posts = site.requests(TestSite::UserRegisterPath, "POST");
//   posts[0].fields                  // the decoded form fields, in order, exactly as posted (UTF-8)
//   posts[0].body                    // the raw body
//   // the destructor (or stop()) stops the site
//
// Every request is recorded (method, target, headers, raw body, form fields) before its reply is sent, so
// a request whose reply the client has seen can always be read back. The browser's own /favicon.ico
// requests (answered 204) are recorded too: filter by path.
//
// Pages, all text/html; charset=utf-8 with <meta charset="utf-8">:
//   / and /simple.html  a simple page          /comments.html  a page holding HTML comments
//   /echo               lists the posted fields any other path  a 404 page
//   LoginPath           GET sets the session cookie TSSESSION (Secure, HttpOnly, Path=/tessaro)
//   CertRegisterPath    POST tessaro, filename. tessaro is Base64 of DER CMS checked with
//                       `openssl cms -verify -noverify`; its content must be the 40 upper-case hex digits
//                       of a fingerprint, as UTF-16LE (80 or 82 bytes) or ASCII. Answers
//                       "error:signature-verification-failure" for a bad signature or content,
//                       "error:dberror-update" for a fingerprint already registered, "error:no-session"
//                       without the login page's cookie, "error:missing-field" for an empty field.
//   UserRegisterPath    GET a page. POST filename, filehash, user, pwd. Answers "error:dberror-rs-users" for
//                       an unknown user or a wrong password, "error:dberror-update" for a fingerprint
//                       already registered (by either method), "error:missing-field" for an empty filename
//                       or a filehash that is not 40 upper-case hex digits. Success: the signature
//                       "<!-- SIG:[V.01_...] -->" and a form id="regform" posting to RegisteredPath.
//   VerifyPath          GET a page. POST filename (a local path: its last component must be the registered
//                       name), filehash, user, pwd, sig. Success shows <p id="result">verified</p>;
//                       "error:dberror-rs-users" for a bad user or password,
//                       "error:signature-verification-failure" for a signature this site did not give for
//                       that user and name, "error:file-changed" for another fingerprint.
//
// Behaviours, set per path (any method) or per method and path (which wins over the path alone):
//   replyText(path, text)     a 200 page whose body holds the text, escaped (e.g. "error:dberror-open")
//   replyStatus(path, n)      status n (e.g. 404, 500) with a small page
//   replyBody(path, html)     exactly this page
//   dropConnection(path)      the request is read, then the connection closes with no reply (a client may
//                             send it again: QNetworkAccessManager does, so it may be recorded more than
//                             once)
//   neverComplete(path)       headers and part of a page are sent, then the connection stays open until the
//                             site stops
//   replyWithoutStartMarker(), replyWithSignature(text), replyWithoutForm()
//                             alter the user registration's success page (the registration is still stored);
//                             they combine with each other
// A reply behaviour (text, status, body, drop, never complete) replaces the page's own processing: nothing is
// checked or stored.
//
// Control files in stateDir(), for tools other than this class:
//   control.json        {"behaviours": {"<path>" or "<METHOD> <path>": {"reply": s, "status": n, "body": s,
//                       "action": "drop" | "hang", "signature": s, "startMarker": b, "form": b}},
//                        "users": {"name": "password"}}; replaced atomically, read on every request
//   requests.jsonl      one JSON object per request: seq, server ("main" | "untrusted"), method, target,
//                       path, query, headers, body (Base64), fields, fields_valid
//   registrations.json  the registrations after each change      site.db  the SQLite database
//
// A refused connection: refusedOrigin() (a port with nothing listening). An untrusted certificate:
// untrustedOrigin() (the same site behind a certificate from a CA that nothing trusts).
// clang-format on

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
