// The certificate library next to Qt WebEngine in the same process: the browser initialises NSS
// itself, trusts a site through the user's database, and installs its own NSS password
// callback at its first HTTPS load. Built twice: with TESSARO_BROWSER_FIRST=1 the browser loads
// an HTTPS page before the library opens the store, from a password-protected database that
// both then share; otherwise after, from a database without a password.

#include "CertLibTest.h"
#include "common/E2eHarness.h"

#include <QApplication>
#include <QTest>
#include <QWebEngineView>
#include <memory>

namespace {

constexpr bool kBrowserFirst = TESSARO_BROWSER_FIRST;

int storeCount() {
    Store store;
    store.Open(2, QStringLiteral("MY"), 0);
    return store.Certificates().Count();
}

} // namespace

class TestCertLibBrowser : public QObject {
    Q_OBJECT
private:
    // A database of the kind, and an HTTPS site on 127.0.0.1 whose CA only that database trusts.
    std::unique_ptr<E2eEnvironment> m_env;
    std::unique_ptr<QWebEngineView> m_view;

    void loadHttps() {
        m_view = std::make_unique<QWebEngineView>();
        m_view->load(m_env->site().url(QStringLiteral("/")));
        QTRY_COMPARE_WITH_TIMEOUT(m_view->title(), QStringLiteral("Simple Page"), 60000);
    }

private Q_SLOTS:
    void initTestCase() {
        m_env = std::make_unique<E2eEnvironment>(kBrowserFirst ? QStringLiteral("password")
                                                               : QStringLiteral("one"));
        QVERIFY2(m_env->isValid(), qPrintable(m_env->error()));
        if (!kBrowserFirst)
            QCOMPARE(storeCount(), 1);
        loadHttps();
    }

    // With the password database, the browser's password callback is installed by now; the
    // library asks through the caller's prompt all the same, again after a wrong password.
    void storeAndSignBesideBrowser() {
        QCOMPARE(storeCount(), 1);
        QStringList answers = kBrowserFirst ? QStringList{"wrong", NssFixture::password()} : QStringList();
        QStringList asked;
        SigningPrompts prompts;
        prompts.askPassword = [&](const QString&, bool bRetry) -> std::optional<QString> {
            asked << (bRetry ? QStringLiteral("again") : QStringLiteral("first"));
            if (answers.isEmpty())
                return std::nullopt;
            return answers.takeFirst();
        };
        const QDateTime now = QDateTime::currentDateTime();
        const QString name = QStringLiteral("Résumé – 履歴書.doc");
        QCOMPARE(readBack(SignWithTimeAndName(kFingerprint, now, name, prompts)), expected(now, name));
        QCOMPARE(asked, (kBrowserFirst ? QStringList{"first", "again"} : QStringList()));
    }

    // The browser still loads through the same NSS after the library has used it.
    void browserStillLoads() { loadHttps(); }
};

int main(int argc, char** argv) {
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    TestCertLibBrowser test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_certlib_browser.moc"
