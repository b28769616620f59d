// The C++ harness of the test site, driven with QNetworkAccessManager.

#include "common/TestSite.h"

#include <QNetworkAccessManager>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

namespace {

struct Answer {
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    int status = 0;
    QByteArray contentType;
    QString body;
};

// Posts the fields url-encoded as a browser does: UTF-8, percent-encoding everything but unreserved
// characters.
QByteArray formBody(const TestSiteFields& fields) {
    QByteArray body;
    for (const auto& f : fields) {
        if (!body.isEmpty())
            body += '&';
        body += f.first.toUtf8().toPercentEncoding() + '=' + f.second.toUtf8().toPercentEncoding();
    }
    return body;
}

} // namespace

class TestTestSite : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TestSite> m_site;
    QNetworkAccessManager m_net;

    Answer fetch(const QUrl& url, const QByteArray& method = "GET", const QByteArray& body = QByteArray()) {
        return fetch(url, *m_site, method, body);
    }

    Answer fetch(const QUrl& url, const TestSite& site, const QByteArray& method = "GET",
                 const QByteArray& body = QByteArray()) {
        QNetworkRequest request(url);
        request.setSslConfiguration(site.sslConfiguration());
        if (method == "POST")
            request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
        QNetworkReply* reply = m_net.sendCustomRequest(request, method, body);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        if (!reply->isFinished())
            finished.wait(60000);
        Answer a;
        a.error = reply->error();
        a.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        a.contentType = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
        a.body = QString::fromUtf8(reply->readAll());
        reply->deleteLater();
        return a;
    }

    Answer post(const QString& path, const TestSiteFields& fields) {
        return fetch(m_site->url(path), "POST", formBody(fields));
    }

private Q_SLOTS:
    void initTestCase() {
        m_site = std::make_unique<TestSite>();
        QVERIFY2(m_site->isRunning(), qPrintable(m_site->errorString()));
        QVERIFY(m_site->origin().startsWith(QStringLiteral("https://127.0.0.1:")));
        m_site->setUser(QStringLiteral("alice"), QStringLiteral("s3cret 'pw'"));
    }

    void init() {
        m_site->clearBehaviours();
        m_site->clearRequests();
        m_net.setCookieJar(new QNetworkCookieJar(&m_net));
    }

    void pages_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("contains");
        QTest::newRow("simple") << "/simple.html" << 200 << "A simple page.";
        QTest::newRow("missing") << "/no/such/page.html" << 404 << "Not Found";
        QTest::newRow("comments") << "/comments.html" << 200 << "<!-- first comment -->";
        QTest::newRow("login") << TestSite::LoginPath << 200 << "Tessaro Registration";
        QTest::newRow("register page") << TestSite::UserRegisterPath << 200 << "Register a File";
        QTest::newRow("verify page") << TestSite::VerifyPath << 200 << "Verify a Registered File";
    }
    void pages() {
        QFETCH(QString, path);
        QFETCH(int, status);
        QFETCH(QString, contains);
        const Answer a = fetch(m_site->url(path));
        QCOMPARE(a.status, status);
        QCOMPARE(a.contentType, QByteArray("text/html; charset=utf-8"));
        QVERIFY(a.body.contains(QStringLiteral("<meta charset=\"utf-8\">")));
        QVERIFY2(a.body.contains(contains), qPrintable(a.body));
        const QList<TestSiteRequest> seen = m_site->requests(path, QStringLiteral("GET"));
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen.first().server, QStringLiteral("main"));
    }

    void recordsFieldsExactly() {
        const TestSiteFields fields{{QStringLiteral("filename"), QStringLiteral("it's \"<b>\" & <i>é€𝄞.doc")},
                                    {QStringLiteral("submit"), QStringLiteral("x")},
                                    {QStringLiteral("empty"), QString()},
                                    {QStringLiteral("plus+space"), QStringLiteral("a+b c%20")},
                                    {QStringLiteral("filename"), QStringLiteral("second")}};
        const QByteArray body = formBody(fields);
        const Answer a = fetch(m_site->url(QStringLiteral("/echo?q=%C3%A9")), "POST", body);
        QCOMPARE(a.status, 200);
        QVERIFY(a.body.contains(QStringLiteral("it&#x27;s &quot;&lt;b&gt;&quot; &amp; &lt;i&gt;é€𝄞.doc")));
        const QList<TestSiteRequest> seen = m_site->requests(QStringLiteral("/echo"));
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen[0].method, QStringLiteral("POST"));
        QCOMPARE(seen[0].target, QStringLiteral("/echo?q=%C3%A9"));
        QCOMPARE(seen[0].body, body);
        QCOMPARE(seen[0].fields, fields);
        QCOMPARE(seen[0].field(QStringLiteral("filename")), fields[0].second);
        QVERIFY(seen[0].fieldsValidUtf8);
        QCOMPARE(seen[0].query, TestSiteFields({{QStringLiteral("q"), QStringLiteral("é")}}));
        QCOMPARE(seen[0].header(QStringLiteral("content-type")),
                 QStringLiteral("application/x-www-form-urlencoded"));

        m_site->clearRequests();
        QVERIFY(m_site->requests().isEmpty());
        fetch(m_site->url(QStringLiteral("/simple.html")));
        QCOMPARE(m_site->requests().size(), 1);
    }

    void behaviours_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("method"); // the behaviour's method; requests are GETs
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("contains");
        QTest::newRow("reply code") << "text"
                                    << "" << 200 << int(QNetworkReply::NoError) << "error:dberror-open";
        QTest::newRow("404") << "404"
                             << "" << 404 << int(QNetworkReply::ContentNotFoundError) << "Status 404";
        QTest::newRow("500 for GET") << "500"
                                     << "GET" << 500 << int(QNetworkReply::InternalServerError) << "";
        QTest::newRow("POST only") << "500"
                                   << "POST" << 200 << int(QNetworkReply::NoError) << "A simple page.";
        QTest::newRow("body") << "body"
                              << "" << 200 << int(QNetworkReply::NoError) << "<p>own page</p>";
        QTest::newRow("drop") << "drop"
                              << "" << 0 << int(QNetworkReply::RemoteHostClosedError) << "";
    }
    void behaviours() {
        QFETCH(QString, kind);
        QFETCH(QString, method);
        QFETCH(int, status);
        QFETCH(int, error);
        QFETCH(QString, contains);
        const QString path = QStringLiteral("/simple.html");
        if (kind == QLatin1String("text"))
            m_site->replyText(path, QStringLiteral("error:dberror-open"), method);
        else if (kind == QLatin1String("404"))
            m_site->replyStatus(path, 404, method);
        else if (kind == QLatin1String("500"))
            m_site->replyStatus(path, 500, method);
        else if (kind == QLatin1String("body"))
            m_site->replyBody(path, QStringLiteral("<html><body><p>own page</p></body></html>"), method);
        else if (kind == QLatin1String("drop"))
            m_site->dropConnection(path, method);
        const Answer a = fetch(m_site->url(path));
        QCOMPARE(a.status, status);
        QCOMPARE(int(a.error), error);
        QVERIFY2(a.body.contains(contains), qPrintable(a.body));
        // A client may send a dropped request again (QNetworkAccessManager does, up to three times).
        QVERIFY(!m_site->requests(path).isEmpty());
        QVERIFY(kind == QLatin1String("drop") || m_site->requests(path).size() == 1);

        // Other paths are untouched, and clearing restores the page.
        QCOMPARE(fetch(m_site->url(QStringLiteral("/comments.html"))).status, 200);
        m_site->clearBehaviour(path, method);
        QVERIFY(fetch(m_site->url(path)).body.contains(QStringLiteral("A simple page.")));
    }

    void neverCompletes() {
        m_site->neverComplete(QStringLiteral("/simple.html"));
        QNetworkRequest request(m_site->url(QStringLiteral("/simple.html")));
        request.setSslConfiguration(m_site->sslConfiguration());
        QNetworkReply* reply = m_net.get(request);
        QSignalSpy data(reply, &QNetworkReply::readyRead);
        QVERIFY(data.wait(60000));
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        QTest::qWait(300);
        QVERIFY(!reply->isFinished());
        reply->abort();
        delete reply;
        // The site still answers other requests.
        QCOMPARE(fetch(m_site->url(QStringLiteral("/comments.html"))).status, 200);
    }

    void refusedAndUntrusted() {
        QCOMPARE(fetch(QUrl(TestSite::refusedOrigin() + QStringLiteral("/"))).error,
                 QNetworkReply::ConnectionRefusedError);
        const Answer a = fetch(QUrl(m_site->untrustedOrigin() + QStringLiteral("/simple.html")));
        QCOMPARE(a.error, QNetworkReply::SslHandshakeFailedError);
        QVERIFY(m_site->requests().isEmpty()); // refused in the handshake, before any request
    }

    void trustsCaInNssDatabase() {
        QTemporaryDir home;
        QString error;
        QVERIFY2(m_site->trustIn(home.path(), &error), qPrintable(error));
        QVERIFY2(m_site->trustIn(home.path(), &error), qPrintable(error)); // again, into the existing db
        QProcess certutil;
        certutil.start(QStringLiteral("certutil"), {QStringLiteral("-L"), QStringLiteral("-d"),
                                                    QStringLiteral("sql:") + home.path() + "/.pki/nssdb"});
        QVERIFY(certutil.waitForFinished(60000));
        const QString listing = QString::fromUtf8(certutil.readAllStandardOutput());
        QVERIFY2(listing.contains(QRegularExpression(QStringLiteral("Tessaro Test CA [0-9a-f]+ +CT,,"))),
                 qPrintable(listing));
    }

    void userRegistrationAndVerify() {
        const QString hash(40, QLatin1Char('A'));
        const TestSiteFields wrong{{QStringLiteral("filename"), QStringLiteral("a.doc")},
                                   {QStringLiteral("filehash"), hash},
                                   {QStringLiteral("user"), QStringLiteral("alice")},
                                   {QStringLiteral("pwd"), QStringLiteral("s3cret")}};
        QVERIFY(
            post(TestSite::UserRegisterPath, wrong).body.contains(QStringLiteral("error:dberror-rs-users")));

        TestSiteFields fields = wrong;
        fields[3].second = QStringLiteral("s3cret 'pw'");
        const Answer a = post(TestSite::UserRegisterPath, fields);
        const qsizetype start = a.body.indexOf(QStringLiteral("<!-- SIG:["));
        const qsizetype end = a.body.indexOf(QStringLiteral("] -->"));
        QVERIFY2(start >= 0 && end > start, qPrintable(a.body));
        const QString sig = a.body.mid(start + 10, end - start - 10);
        QVERIFY(sig.startsWith(QStringLiteral("V.01_")));
        QVERIFY(a.body.contains(QStringLiteral("<form id=\"regform\"")));
        QCOMPARE(
            post(TestSite::UserRegisterPath, fields).body.contains(QStringLiteral("error:dberror-update")),
            true);
        QCOMPARE(m_site->registrations().size(), 1);
        QCOMPARE(m_site->registrations().first().data, sig);

        TestSiteFields verify{{QStringLiteral("filename"), QStringLiteral("/opt/tessaro/Registered/a.doc")},
                              {QStringLiteral("filehash"), hash},
                              {QStringLiteral("user"), QStringLiteral("alice")},
                              {QStringLiteral("pwd"), QStringLiteral("s3cret 'pw'")},
                              {QStringLiteral("sig"), sig}};
        QVERIFY(post(TestSite::VerifyPath, verify)
                    .body.contains(QStringLiteral("<p id=\"result\">verified</p>")));
        verify[1].second = QString(40, QLatin1Char('B'));
        QVERIFY(post(TestSite::VerifyPath, verify).body.contains(QStringLiteral("error:file-changed")));

        m_site->clearRegistrations();
        QVERIFY(m_site->registrations().isEmpty());
        QVERIFY(post(TestSite::UserRegisterPath, fields).body.contains(QStringLiteral("<!-- SIG:[V.01_")));
        m_site->clearRegistrations();
    }

    void signatureBehaviours_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("startMarker");
        QTest::addColumn<QString>("signature"); // expected between the markers, when there is a start marker
        QTest::addColumn<bool>("form");
        QTest::newRow("no start marker") << "nomarker" << false << "" << true;
        QTest::newRow("blank signature") << "blank" << true << "   " << true;
        QTest::newRow("empty signature") << "empty" << true << "" << true;
        QTest::newRow("no form") << "noform" << true << "V.01_" << false;
        QTest::newRow("blank, no form") << "blank+noform" << true << "   " << false;
    }
    void signatureBehaviours() {
        QFETCH(QString, kind);
        QFETCH(bool, startMarker);
        QFETCH(QString, signature);
        QFETCH(bool, form);
        m_site->clearRegistrations();
        if (kind == QLatin1String("nomarker"))
            m_site->replyWithoutStartMarker();
        if (kind.startsWith(QLatin1String("blank")))
            m_site->replyWithSignature(QStringLiteral("   "));
        if (kind == QLatin1String("empty"))
            m_site->replyWithSignature(QString());
        if (kind.endsWith(QLatin1String("noform")))
            m_site->replyWithoutForm();
        const Answer a =
            post(TestSite::UserRegisterPath, {{QStringLiteral("filename"), QStringLiteral("b.doc")},
                                              {QStringLiteral("filehash"), QString(40, QLatin1Char('C'))},
                                              {QStringLiteral("user"), QStringLiteral("alice")},
                                              {QStringLiteral("pwd"), QStringLiteral("s3cret 'pw'")}});
        QCOMPARE(a.status, 200);
        QVERIFY(!a.body.contains(QStringLiteral("error:")));
        QCOMPARE(a.body.contains(QStringLiteral("<!-- SIG:[")), startMarker);
        QVERIFY(a.body.contains(QStringLiteral("] -->")));
        if (startMarker)
            QVERIFY2(a.body.contains(QStringLiteral("<!-- SIG:[") + signature), qPrintable(a.body));
        QCOMPARE(a.body.contains(QStringLiteral("id=\"regform\"")), form);
        m_site->clearRegistrations();
    }

    void restartKeepsStateAndOrigin() {
        QTemporaryDir state;
        const TestSiteFields fields{{QStringLiteral("filename"), QStringLiteral("d.doc")},
                                    {QStringLiteral("filehash"), QString(40, QLatin1Char('D'))},
                                    {QStringLiteral("user"), QStringLiteral("bob")},
                                    {QStringLiteral("pwd"), QStringLiteral("pw")}};
        QString origin;
        QString ca;
        {
            TestSite first(state.path());
            QVERIFY2(first.isRunning(), qPrintable(first.errorString()));
            first.setUser(QStringLiteral("bob"), QStringLiteral("pw"));
            origin = first.origin();
            ca = QString::fromLatin1(QSslCertificate::fromPath(first.caCertificatePath()).value(0).toPem());
            QVERIFY(fetch(first.url(TestSite::UserRegisterPath), first, "POST", formBody(fields))
                        .body.contains(QStringLiteral("<!-- SIG:[V.01_")));
            first.stop();
            QVERIFY(!first.isRunning());
        }
        TestSite second(state.path(), QUrl(origin).port());
        QVERIFY2(second.isRunning(), qPrintable(second.errorString()));
        QCOMPARE(second.origin(), origin);
        QCOMPARE(QString::fromLatin1(QSslCertificate::fromPath(second.caCertificatePath()).value(0).toPem()),
                 ca);
        QCOMPARE(second.registrations().size(), 1);
        QCOMPARE(second.requests(TestSite::UserRegisterPath).size(), 1);
        second.clearRequests();
        QVERIFY(second.requests().isEmpty());
        QCOMPARE(fetch(second.url(QStringLiteral("/simple.html")), second).status, 200);
        QCOMPARE(second.requests().size(), 1);
    }

    void loginSetsSessionCookie() {
        QCOMPARE(fetch(m_site->url(TestSite::LoginPath)).status, 200);
        const QList<QNetworkCookie> cookies =
            m_net.cookieJar()->cookiesForUrl(m_site->url(TestSite::CertRegisterPath));
        QCOMPARE(cookies.size(), 1);
        QCOMPARE(cookies.first().name(), QByteArray("TSSESSION"));
        QVERIFY(cookies.first().isSecure());

        // Without a valid signature the registration is refused, with the cookie sent.
        const Answer a =
            post(TestSite::CertRegisterPath, {{QStringLiteral("tessaro"), QStringLiteral("AAAA")},
                                              {QStringLiteral("filename"), QStringLiteral("c.doc")}});
        QVERIFY2(a.body.contains(QStringLiteral("error:signature-verification-failure")), qPrintable(a.body));
        QVERIFY(m_site->requests(TestSite::CertRegisterPath)
                    .first()
                    .header(QStringLiteral("Cookie"))
                    .startsWith(QStringLiteral("TSSESSION=")));
    }
};

QTEST_GUILESS_MAIN(TestTestSite)
#include "test_testsite.moc"
