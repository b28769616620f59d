#include "app/TSApplication.h"
#include "app/TSProgressForm.h"
#include "app/TSRegForm.h"
#include "browserhost/TSCertificatePin.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QScopeGuard>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTest>
#include <QWebEngineView>

class TestMainWindow : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        QVERIFY(QFile::copy(qEnvironmentVariable("TESSARO_SOURCE_DIR") +
                                "/tests/common/testsite/certs/server.pem",
                            m_dir.filePath("site.pem")));
        QFile text(m_dir.filePath("text.pem"));
        QVERIFY(text.open(QIODevice::WriteOnly) && text.write("not a certificate\n") > 0);
    }

    // Start-up settings that cannot be used are each told once, in order, and left out; a usable
    // certificate is pinned for the host of the site origin. (A usable database: the certificate
    // store tests.)
    void startupEnvironment_data() {
        QTest::addColumn<QString>("cert"); // a file in m_dir
        QTest::addColumn<QString>("nssdb");
        QTest::addColumn<QStringList>("problems"); // the first line of each
        const QString cert =
            "TESSARO_SITE_CERT cannot be used. The file " + QDir::toNativeSeparators(m_dir.path());
        const QString noCert = cert + "/text.pem holds no PEM certificate.";
        QTest::newRow("certificate") << "site.pem" << QString() << QStringList();
        QTest::newRow("missing certificate")
            << "missing.pem" << QString() << QStringList{cert + "/missing.pem cannot be read."};
        QTest::newRow("certificate file is a folder")
            << "." << QString() << QStringList{cert + "/. cannot be read."};
        QTest::newRow("not a certificate") << "text.pem" << QString() << QStringList{noCert};
        QTest::newRow("both unusable")
            << "text.pem"
            << "sql:" + m_dir.filePath("nssdb")
            << QStringList{noCert, "TESSARO_NSSDB cannot be used. The folder " +
                                       QDir::toNativeSeparators(m_dir.path()) + "/nssdb does not exist."};
    }
    void startupEnvironment() {
        QFETCH(QString, cert);
        QFETCH(QString, nssdb);
        QFETCH(QStringList, problems);
        qputenv("TESSARO_SITE_ORIGIN", "https://127.0.0.1:8443");
        qputenv("TESSARO_SITE_CERT", QFile::encodeName(m_dir.filePath(cert)));
        qputenv("TESSARO_NSSDB", QFile::encodeName(nssdb));
        const auto restore = qScopeGuard([] {
            for (const char* name : {"TESSARO_SITE_ORIGIN", "TESSARO_SITE_CERT", "TESSARO_NSSDB"})
                qunsetenv(name);
            TSCertificatePin::SetCurrent(std::nullopt);
        });
        QStringList firstLines;
        for (const QString& problem : ApplyStartupEnvironment())
            firstLines << problem.section(QLatin1Char('\n'), 0, 0);
        QCOMPARE(firstLines, problems);
        const std::optional<TSCertificatePin>& pin = TSCertificatePin::Current();
        QCOMPARE(bool(pin), problems.isEmpty());
        if (pin) {
            QCOMPARE(pin->host(), QStringLiteral("127.0.0.1"));
            QCOMPARE(pin->der(), QSslCertificate::fromPath(m_dir.filePath(cert)).value(0).toDer());
        }
    }

    void captionAndMenus() {
        TSRegForm form;
        QCOMPARE(form.windowTitle(), QStringLiteral("Tessaro Intellectual Property Registration"));
        // Each menu as "name caption: item caption, ...", its items plain, enabled and shown.
        QStringList menus;
        for (QAction* top : form.menuBar()->actions()) {
            QVERIFY(top->menu());
            QString line = top->menu()->objectName() + ' ' + top->menu()->title() + ':';
            for (QAction* item : top->menu()->actions()) {
                line += ' ' + item->objectName() + ' ' + item->text();
                QVERIFY(item->isEnabled() && item->isVisible() && !item->isCheckable());
            }
            menus << line;
        }
        QCOMPARE(menus, QStringList({"mFile &File: mFile_Register &Register mFile_Exit E&xit",
                                     "m_View &View: m_View_Registered R&egistered Files...",
                                     "mHelp &Help: mHelp_Contents Help &Contents"}));
    }

    // The pane fills the client area at every size; the progress window is a fixed-size tool window
    // over the main window, centred on it, made once and reused.
    void layout() {
        TSRegForm form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCOMPARE(form.centralWidget()->size(), QSize(675, 458));
        for (const QSize& size : {QSize(800, 600), QSize(1, 1), QSize(0, 0)}) {
            form.resize(size.width(), size.height() + form.menuBar()->height());
            QCoreApplication::processEvents();
            QCOMPARE(form.WebBrowser1()->geometry(), QRect(QPoint(0, 0), form.centralWidget()->size()));
        }
        TSProgressForm* progress = form.progressForm();
        QVERIFY(!progress->isModal() && progress->parentWidget() == &form);
        QVERIFY(!(progress->windowFlags() & Qt::WindowMinMaxButtonsHint));
        QCOMPARE(progress->minimumSize(), QSize(316, 57));
        QCOMPARE(progress->maximumSize(), QSize(316, 57));
        QCOMPARE(progress->Label1()->objectName(), QStringLiteral("Label1"));
        QCOMPARE(progress->Label1()->geometry(), QRect(8, 8, 297, 41));
        progress->setTexts(QStringLiteral("Registration in Progress"), QStringLiteral("step"));
        progress->showCentred();
        QVERIFY(progress->isVisible() &&
                progress->windowTitle() == QLatin1String("Registration in Progress"));
        QCOMPARE(progress->Label1()->text(), QStringLiteral("step"));
        QVERIFY(qAbs(progress->frameGeometry().center().x() - form.frameGeometry().center().x()) <= 2);
        QCOMPARE(form.progressForm(), progress);
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
