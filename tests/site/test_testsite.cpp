// The C++ harness of the test site: what it tells the site and what it reads back from the site's
// records. The site's own pages and checks are tested by test_site.py.

#include "common/TestSite.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QTest>

class TestTestSite : public QObject {
    Q_OBJECT

    TestSite m_site;
    QNetworkAccessManager m_net;

    // A request to a path of the site or a full URL, trusting the site's CA.
    QNetworkRequest request(const QString& path) {
        QNetworkRequest request(path.startsWith('/') ? m_site.url(path) : QUrl(path));
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.addCaCertificates(QSslCertificate::fromPath(m_site.caCertificatePath()));
        request.setSslConfiguration(ssl);
        return request;
    }
    // A GET, or a POST of the fields url-encoded as a browser does. The reply has finished and is deleted
    // later.
    QNetworkReply* fetch(const QString& path, const TestSiteFields& fields = {}) {
        QNetworkRequest request = this->request(path);
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
        QByteArray body;
        for (const auto& [name, value] : fields)
            body += (body.isEmpty() ? "" : "&") + name.toUtf8().toPercentEncoding() + '=' +
                    value.toUtf8().toPercentEncoding();
        QNetworkReply* reply = fields.isEmpty() ? m_net.get(request) : m_net.post(request, body);
        if (!reply->isFinished())
            QSignalSpy(reply, &QNetworkReply::finished).wait(60000);
        reply->deleteLater();
        return reply;
    }
    static int status(QNetworkReply* r) {
        return r->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    }
    static QString text(QNetworkReply* reply) { return QString::fromUtf8(reply->readAll()); }
    TestSiteFields userFields(QChar hashDigit) {
        return {
            {"filename", "b.doc"}, {"filehash", QString(40, hashDigit)}, {"user", "alice"}, {"pwd", "pw"}};
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(m_site.isRunning(), qPrintable(m_site.errorString()));
        m_site.setUser("alice", "pw");
    }
    void init() {
        m_site.clearBehaviours();
        m_site.clearRequests();
    }

    void readsRequestsBack() {
        const TestSiteFields fields{{"filename", "it's \"<b>\" & é€𝄞.doc"}, {"empty", ""}, {"filename", "2"}};
        QCOMPARE(status(fetch("/echo?q=%C3%A9", fields)), 200);
        const QList<TestSiteRequest> seen = m_site.requests("/echo", "post");
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen[0].target, QStringLiteral("/echo?q=%C3%A9"));
        QCOMPARE(seen[0].fields, fields);
        QCOMPARE(seen[0].field("filename"), fields[0].second);
        QVERIFY(seen[0].fieldsValidUtf8);
        QVERIFY(seen[0].body.startsWith("filename=it%27s%20%22%3Cb%3E%22%20%26%20%C3%A9"));
        QCOMPARE(seen[0].header("CONTENT-TYPE"), QStringLiteral("application/x-www-form-urlencoded"));
        m_site.clearRequests();
        QVERIFY(m_site.requests().isEmpty());
    }

    // Each behaviour, for every method or for one (requests are GETs); clearing restores the page.
    void behaviours_data() {
        QTest::addColumn<QJsonObject>("behaviour");
        QTest::addColumn<QString>("method");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("contains");
        QTest::newRow("text") << QJsonObject{{"reply", "error:dberror-open"}} << "" << 200
                              << "error:dberror-open";
        QTest::newRow("404") << QJsonObject{{"status", 404}} << "" << 404 << "Status 404";
        QTest::newRow("404 GET") << QJsonObject{{"status", 404}} << "GET" << 404 << "Status 404";
        QTest::newRow("404 POST") << QJsonObject{{"status", 404}} << "POST" << 200 << "A simple page.";
        QTest::newRow("body") << QJsonObject{{"body", "<p>own page</p>"}} << "" << 200 << "<p>own page</p>";
        QTest::newRow("drop") << QJsonObject{{"action", "drop"}} << "" << 0 << "";
    }
    void behaviours() {
        QFETCH(QJsonObject, behaviour);
        QFETCH(QString, method);
        QFETCH(int, status);
        QFETCH(QString, contains);
        m_site.setBehaviour("/simple.html", behaviour, method);
        QNetworkReply* reply = fetch("/simple.html");
        QCOMPARE(TestTestSite::status(reply), status);
        QCOMPARE(reply->error() == QNetworkReply::RemoteHostClosedError, status == 0);
        QVERIFY(text(reply).contains(contains));
        m_site.clearBehaviours();
        QVERIFY(text(fetch("/simple.html")).contains("A simple page."));
    }

    void neverCompletes() {
        m_site.neverComplete("/simple.html");
        std::unique_ptr<QNetworkReply> reply(m_net.get(request("/simple.html")));
        QVERIFY(QSignalSpy(reply.get(), &QNetworkReply::readyRead).wait(60000));
        QTest::qWait(300);
        QVERIFY(!reply->isFinished());
        reply->abort();
    }

    // Registrations are read back; the signature alterations combine.
    void registrationsAndSignatureAlterations() {
        const QString plain = text(fetch(TestSite::UserRegisterPath, userFields('C')));
        const QList<TestSiteRegistration> rows = m_site.registrations();
        QCOMPARE(rows.size(), 1);
        QCOMPARE(QStringList({rows[0].method, rows[0].fingerprint, rows[0].filename, rows[0].user}),
                 QStringList({"user", QString(40, 'C'), "b.doc", "alice"}));
        QVERIFY(plain.contains("<!-- SIG:[" + rows[0].data + "] -->") && plain.contains("regform"));
        m_site.replyWithSignature("   ");
        m_site.replyWithoutStartMarker();
        m_site.setBehaviour(TestSite::UserRegisterPath, {{"form", false}});
        const QString altered = text(fetch(TestSite::UserRegisterPath, userFields('D')));
        QVERIFY2(!altered.contains("<!-- SIG:[") && altered.contains("   ] -->") &&
                     !altered.contains("regform"),
                 qPrintable(altered));
        QCOMPARE(m_site.registrations().size(), 2);
    }

    void refusedAndUntrusted() {
        QCOMPARE(fetch(TestSite::refusedOrigin() + "/")->error(), QNetworkReply::ConnectionRefusedError);
        QCOMPARE(fetch(m_site.untrustedOrigin() + "/simple.html")->error(),
                 QNetworkReply::SslHandshakeFailedError);
        QVERIFY(m_site.requests().isEmpty()); // refused in the handshake, before any request
    }

    void trustsCaInNssDatabase() {
        QTemporaryDir home;
        QString error;
        QVERIFY2(m_site.trustIn(home.path(), &error), qPrintable(error));
        QVERIFY2(m_site.trustIn(home.path(), &error), qPrintable(error)); // again, into the existing db
        QProcess certutil;
        certutil.start("certutil", {"-L", "-d", "sql:" + home.path() + "/.pki/nssdb"});
        QVERIFY(certutil.waitForFinished(60000));
        const QString listing = QString::fromUtf8(certutil.readAllStandardOutput());
        QVERIFY2(listing.contains(QRegularExpression("Tessaro Test CA [0-9a-f]+ +CT,,")),
                 qPrintable(listing));
    }
};

QTEST_GUILESS_MAIN(TestTestSite)
#include "test_testsite.moc"
