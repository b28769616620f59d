// The C++ harness of the test site: what it tells the site and what it reads back from the site's
// records. The site's own pages and checks are tested by test_site.py.

#include "common/TestSite.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

namespace {

struct Answer {
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    int status = 0;
    QString body;
};

const TestSiteFields kUserFields{
    {"filename", "b.doc"}, {"filehash", QString(40, 'C')}, {"user", "alice"}, {"pwd", "s3cret 'pw'"}};

} // namespace

class TestTestSite : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TestSite> m_site;
    QNetworkAccessManager m_net;

    // A GET, or a POST of the fields url-encoded as a browser does, to a path of the site.
    Answer fetch(const QString& path, const TestSiteFields& fields = {}, const TestSite* site = nullptr) {
        site = site ? site : m_site.get();
        QNetworkRequest request(path.startsWith('/') ? site->url(path) : QUrl(path));
        request.setSslConfiguration(site->sslConfiguration());
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
        QByteArray body;
        for (const auto& [name, value] : fields)
            body += (body.isEmpty() ? "" : "&") + name.toUtf8().toPercentEncoding() + '=' +
                    value.toUtf8().toPercentEncoding();
        QNetworkReply* reply = fields.isEmpty() ? m_net.get(request) : m_net.post(request, body);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        if (!reply->isFinished())
            finished.wait(60000);
        reply->deleteLater();
        return {reply->error(), reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                QString::fromUtf8(reply->readAll())};
    }

private Q_SLOTS:
    void initTestCase() {
        m_site = std::make_unique<TestSite>();
        QVERIFY2(m_site->isRunning(), qPrintable(m_site->errorString()));
        m_site->setUser("alice", "s3cret 'pw'");
    }
    void init() {
        m_site->clearBehaviours();
        m_site->clearRequests();
        m_site->clearRegistrations();
    }

    void readsRequestsBack() {
        const TestSiteFields fields{{"filename", "it's \"<b>\" & é€𝄞.doc"}, {"empty", ""}, {"filename", "2"}};
        QCOMPARE(fetch("/echo?q=%C3%A9", fields).status, 200);
        const QList<TestSiteRequest> seen = m_site->requests("/echo", "post");
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen[0].server, QStringLiteral("main"));
        QCOMPARE(seen[0].target, QStringLiteral("/echo?q=%C3%A9"));
        QCOMPARE(seen[0].query, TestSiteFields({{"q", "é"}}));
        QCOMPARE(seen[0].fields, fields);
        QCOMPARE(seen[0].field("filename"), fields[0].second);
        QVERIFY(seen[0].fieldsValidUtf8);
        QVERIFY(seen[0].body.startsWith("filename=it%27s%20%22%3Cb%3E%22%20%26%20%C3%A9"));
        QCOMPARE(seen[0].header("CONTENT-TYPE"), QStringLiteral("application/x-www-form-urlencoded"));
        m_site->clearRequests();
        QVERIFY(m_site->requests().isEmpty());
    }

    // Each behaviour, for every method or for one; clearing it restores the page.
    void behaviours_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("method"); // the behaviour's method; requests are GETs
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("contains");
        const std::tuple<const char*, const char*, int, const char*> rows[] = {
            {"text", "", 200, "error:dberror-open"}, {"404", "", 404, "Status 404"},
            {"404", "GET", 404, "Status 404"},       {"404", "POST", 200, "A simple page."},
            {"body", "", 200, "<p>own page</p>"},    {"drop", "", 0, ""}};
        for (const auto& [kind, method, status, contains] : rows)
            QTest::addRow("%s %s", kind, method) << kind << method << status << contains;
    }
    void behaviours() {
        QFETCH(QString, kind);
        QFETCH(QString, method);
        QFETCH(int, status);
        QFETCH(QString, contains);
        const QString path = "/simple.html";
        if (kind == "text")
            m_site->replyText(path, "error:dberror-open", method);
        else if (kind == "404")
            m_site->replyStatus(path, 404, method);
        else if (kind == "body")
            m_site->replyBody(path, "<html><body><p>own page</p></body></html>", method);
        else
            m_site->dropConnection(path, method);
        const Answer a = fetch(path);
        QCOMPARE(a.status, status);
        QCOMPARE(a.error == QNetworkReply::RemoteHostClosedError, kind == "drop");
        QVERIFY2(a.body.contains(contains), qPrintable(a.body));
        m_site->clearBehaviour(path, method);
        QVERIFY(fetch(path).body.contains("A simple page."));
    }

    void neverCompletes() {
        m_site->neverComplete("/simple.html");
        QNetworkRequest request(m_site->url("/simple.html"));
        request.setSslConfiguration(m_site->sslConfiguration());
        std::unique_ptr<QNetworkReply> reply(m_net.get(request));
        QVERIFY(QSignalSpy(reply.get(), &QNetworkReply::readyRead).wait(60000));
        QTest::qWait(300);
        QVERIFY(!reply->isFinished());
        reply->abort();
        QCOMPARE(fetch("/comments.html").status, 200);
    }

    // Registrations are read back and cleared; the three signature alterations combine.
    void registrationsAndSignatureAlterations() {
        const QString plain = fetch(TestSite::UserRegisterPath, kUserFields).body;
        const QList<TestSiteRegistration> rows = m_site->registrations();
        QCOMPARE(rows.size(), 1);
        QCOMPARE(QStringList({rows[0].method, rows[0].fingerprint, rows[0].filename, rows[0].user}),
                 QStringList({"user", QString(40, 'C'), "b.doc", "alice"}));
        QVERIFY(plain.contains("<!-- SIG:[" + rows[0].data + "] -->") && plain.contains("regform"));
        m_site->clearRegistrations();
        QVERIFY(m_site->registrations().isEmpty());
        m_site->replyWithSignature("   ");
        m_site->replyWithoutForm();
        m_site->replyWithoutStartMarker();
        const QString altered = fetch(TestSite::UserRegisterPath, kUserFields).body;
        QVERIFY2(!altered.contains("<!-- SIG:[") && altered.contains("   ] -->") &&
                     !altered.contains("regform"),
                 qPrintable(altered));
    }

    void refusedAndUntrusted() {
        QCOMPARE(fetch(TestSite::refusedOrigin() + "/").error, QNetworkReply::ConnectionRefusedError);
        QCOMPARE(fetch(m_site->untrustedOrigin() + "/simple.html").error,
                 QNetworkReply::SslHandshakeFailedError);
        QVERIFY(m_site->requests().isEmpty()); // refused in the handshake, before any request
    }

    void trustsCaInNssDatabase() {
        QTemporaryDir home;
        QString error;
        QVERIFY2(m_site->trustIn(home.path(), &error), qPrintable(error));
        QVERIFY2(m_site->trustIn(home.path(), &error), qPrintable(error)); // again, into the existing db
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
