// The certificate library next to Qt WebEngine in the same process: the browser initialises NSS
// itself, trusts a site through the user's database, and installs its own NSS password
// callback at its first HTTPS load. Built twice: with TESSARO_BROWSER_FIRST the browser loads
// an HTTPS page before the library opens the store, from a password-protected database that
// both then share; otherwise after, from a database without a password.

#include "DialogDriver.h"
#include "common/NssFixture.h"
#include "platform/CertLibrary.h"

#include <QApplication>
#include <QLineEdit>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <memory>

namespace {

const QString kFingerprint = QStringLiteral("3F786850E387550FDAB836ED7E6DC881DE23001B");

QString signAndCheck(const QString& name) {
    try {
        Attribute a;
        a.setName(Attribute::SigningTime);
        a.setValue(QDateTime::currentDateTime());
        Attribute b;
        b.setName(Attribute::DocumentName);
        b.setValue(name);
        Signer signer;
        signer.AuthenticatedAttributes().Add(a);
        signer.AuthenticatedAttributes().Add(b);
        SignedData data;
        data.setContent(kFingerprint);
        const QString record = data.Sign(signer, false, 0);
        SignedData back;
        back.Verify(record, false, 0);
        if (back.Content() != kFingerprint)
            return QStringLiteral("content differs");
        if (back.Signers().Item(1).AuthenticatedAttributes().Item(2).Value().toString() != name)
            return QStringLiteral("name differs");
        return QString();
    } catch (const TSError& e) {
        return QString::fromUtf8(e.what());
    }
}

int storeCount() {
    Store store;
    store.Open(2, QStringLiteral("MY"), 0);
    return store.Certificates().Count();
}

} // namespace

class TestCertLibBrowser : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<NssFixture> m_db;
    QTemporaryDir m_tls;
    QProcess m_server;
    quint16 m_port = 0;
    std::unique_ptr<QWebEngineView> m_view;

    QString openssl(const QStringList& args) {
        QByteArray output;
        const int code = NssFixture::run(QStringLiteral("openssl"), args, &output);
        return code == 0
                   ? QString()
                   : QStringLiteral("openssl %1: %2").arg(args.join(' '), QString::fromLocal8Bit(output));
    }

    // An HTTPS page on 127.0.0.1 whose CA only the user's NSS database trusts.
    void startServer() {
        const QString ca = m_tls.filePath(QStringLiteral("ca.pem")),
                      caKey = m_tls.filePath(QStringLiteral("ca.key"));
        const QString cert = m_tls.filePath(QStringLiteral("server.pem")),
                      key = m_tls.filePath(QStringLiteral("server.key"));
        const QString csr = m_tls.filePath(QStringLiteral("server.csr")),
                      ext = m_tls.filePath(QStringLiteral("ext.cnf"));
        QString error =
            openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", caKey, "-out", ca, "-subj",
                     "/CN=Tessaro Test TLS CA", "-days", "30", "-addext", "basicConstraints=critical,CA:TRUE",
                     "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
        QVERIFY2(error.isEmpty(), qPrintable(error));
        error = openssl(
            {"req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr, "-subj", "/CN=127.0.0.1"});
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QFile extFile(ext);
        QVERIFY(extFile.open(QIODevice::WriteOnly));
        extFile.write(
            "subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n");
        extFile.close();
        error = openssl({"x509", "-req", "-in", csr, "-CA", ca, "-CAkey", caKey, "-CAcreateserial", "-out",
                         cert, "-days", "30", "-extfile", ext});
        QVERIFY2(error.isEmpty(), qPrintable(error));
        error = m_db->addCertificate(ca, QStringLiteral("Tessaro Test TLS CA"), QStringLiteral("CT,,"));
        QVERIFY2(error.isEmpty(), qPrintable(error));

        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        m_port = probe.serverPort();
        probe.close();
        m_server.setProcessChannelMode(QProcess::MergedChannels);
        m_server.start(QStringLiteral("openssl"),
                       {"s_server", "-accept", QStringLiteral("127.0.0.1:%1").arg(m_port), "-cert", cert,
                        "-key", key, "-www", "-quiet"});
        QVERIFY(m_server.waitForStarted());
        QVERIFY(QTest::qWaitFor(
            [this] {
                QTcpSocket socket;
                socket.connectToHost(QHostAddress::LocalHost, m_port);
                return socket.waitForConnected(200);
            },
            20000));
    }

    void loadHttps() {
        m_view = std::make_unique<QWebEngineView>();
        QSignalSpy finished(m_view.get(), &QWebEngineView::loadFinished);
        m_view->load(QUrl(QStringLiteral("https://127.0.0.1:%1/").arg(m_port)));
        QVERIFY(finished.wait(60000));
        QVERIFY2(finished.front().front().toBool(), "the HTTPS page did not load");
        QString html;
        m_view->page()->toHtml([&html](const QString& h) { html = h; });
        QVERIFY(QTest::qWaitFor([&html] { return !html.isEmpty(); }, 20000));
        QVERIFY2(html.contains(QStringLiteral("s_server")), qPrintable(html.left(300)));
    }

private Q_SLOTS:
    void initTestCase() {
#ifdef TESSARO_BROWSER_FIRST
        m_db = std::make_unique<NssFixture>(QStringLiteral("password"));
#else
        m_db = std::make_unique<NssFixture>(QStringLiteral("one"));
#endif
        QVERIFY2(m_db->isValid(), qPrintable(m_db->error()));
        startServer();
#ifdef TESSARO_BROWSER_FIRST
        loadHttps();
#else
        QCOMPARE(storeCount(), 1);
        loadHttps();
#endif
    }

    void cleanupTestCase() {
        m_view.reset();
        m_server.kill();
        m_server.waitForFinished();
    }

    void storeAndSignBesideBrowser() {
        QCOMPARE(storeCount(), 1);
        DialogDriver driver;
        if (m_db->kind() == QLatin1String("password"))
            driver.then(QStringLiteral("TSTokenPassword"), [](QWidget* dialog) {
                auto* box = dialog->findChild<QLineEdit*>(QStringLiteral("txtPassword"));
                QTest::keyClicks(box, NssFixture::password());
                QTest::keyClick(box, Qt::Key_Return);
            });
        const QString error = signAndCheck(QStringLiteral("report.doc"));
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(driver.unexpected(), 0);
        QCOMPARE(driver.done(), m_db->kind() == QLatin1String("password") ? 1 : 0);
    }

    // The browser's password callback is installed by now; the library asks through its own
    // dialog all the same.
    void passwordDatabaseBesideBrowser() {
        NssFixture db(QStringLiteral("password"));
        QVERIFY2(db.isValid(), qPrintable(db.error()));
        QCOMPARE(storeCount(), 1);
        DialogDriver driver;
        for (const QString& typed : {QStringLiteral("wrong"), NssFixture::password()})
            driver.then(QStringLiteral("TSTokenPassword"), [typed](QWidget* dialog) {
                auto* box = dialog->findChild<QLineEdit*>(QStringLiteral("txtPassword"));
                QTest::keyClicks(box, typed);
                QTest::keyClick(box, Qt::Key_Return);
            });
        const QString error = signAndCheck(QStringLiteral("Résumé – 履歴書.doc"));
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(driver.done(), 2);
        QCOMPARE(driver.unexpected(), 0);
    }

    // The browser still loads through the same NSS after the library has used it.
    void browserStillLoads() {
        loadHttps();
    }
};

int main(int argc, char** argv) {
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    TestCertLibBrowser test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_certlib_browser.moc"
