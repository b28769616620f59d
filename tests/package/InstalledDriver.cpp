// Drives the program it is loaded into (see CMakeLists.txt): one document registered by each sign
// method named in TESSARO_DRIVER_METHODS ("certificate password" when unset), each record then
// verified. The account comes from TESSARO_DRIVER_USER and TESSARO_DRIVER_PASSWORD, else from the
// local site's account.txt. The store must be the user's own, as for an installed program.
// TESSARO_DRIVER_SHOT names a PNG for a screenshot of the screen after the first registration.

#include "common/E2eHarness.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QGenericPlugin>
#include <QLineEdit>
#include <QProcess>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineView>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

QString dataFolder() {
    const QString xdg = qEnvironmentVariable("XDG_DATA_HOME");
    return (xdg.startsWith(u'/') ? xdg : QDir::homePath() + u"/.local/share"_s) + u"/tessaro"_s;
}

class Driver {
public:
    int run() {
        m_form = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->objectName() == "TSRegForm"_L1)
                m_form = w;
        check(m_form != nullptr, u"the main window is there"_s);
        if (!m_failed) {
            m_view = m_form->findChild<QWebEngineView*>(u"WebBrowser1"_s);
            // Through the link /usr/bin/tessaro, the pages are found beside the resolved program.
            const bool own = waitLoaded() && QFileInfo::exists(m_view->url().toLocalFile());
            check(own, u"the first page is the program's own: "_s + m_view->url().toString());
            readAccount();
        }
        const QString methods = qEnvironmentVariable("TESSARO_DRIVER_METHODS", u"certificate password"_s);
        for (const QString& method : methods.split(u' ', Qt::SkipEmptyParts)) {
            if (m_failed)
                break;
            // A name of this run's own: every run registers new documents in the same store.
            const QString name =
                u"installed %1 by %2.txt"_s.arg(QCoreApplication::applicationPid()).arg(method);
            registerDocument(name, method == "certificate"_L1);
            if (!m_failed)
                verifyDocument(name);
        }
        std::fprintf(stderr, "driver: %s\n", m_failed ? "FAILED" : "all held");
        return m_failed ? 1 : 0;
    }

private:
    QWidget* m_form = nullptr;
    QWebEngineView* m_view = nullptr;
    QTemporaryDir m_documents;
    QString m_user = qEnvironmentVariable("TESSARO_DRIVER_USER");
    QString m_password = qEnvironmentVariable("TESSARO_DRIVER_PASSWORD");
    bool m_shot = false;
    bool m_failed = false;

    void check(bool condition, const QString& what) {
        std::fprintf(stderr, "driver: %s: %s\n", condition ? "ok" : "FAILED", qPrintable(what));
        m_failed = m_failed || !condition;
    }
    QString store() const { return dataFolder() + u"/Registered/"_s; }
    bool waitLoaded() {
        return E2e::waitFor([&] { return !m_view->url().isEmpty() && !m_view->page()->isLoading(); },
                            std::chrono::seconds(120));
    }
    void trigger(const QString& item) { m_form->findChild<QAction*>(item)->trigger(); }
    QString pageText() {
        QString text;
        bool done = false;
        m_view->page()->runJavaScript(u"document.documentElement.outerHTML"_s, [&](const QVariant& v) {
            text = v.toString();
            done = true;
        });
        E2e::waitFor([&] { return done; });
        return text;
    }

    void readAccount() {
        if (!m_user.isEmpty())
            return;
        const QString account =
            QString::fromUtf8(E2e::fileContent(dataFolder() + u"/site/account.txt"_s).value_or(QByteArray()));
        static const QRegularExpression fields(u"user: (\\S+)\\npassword: (\\S+)"_s);
        const QRegularExpressionMatch m = fields.match(account);
        m_user = m.captured(1);
        m_password = m.captured(2);
    }

    void registerDocument(const QString& name, bool certificate) {
        const QString path = m_documents.filePath(name);
        QFile file(path);
        check(file.open(QIODevice::WriteOnly) && file.write("A document of " + name.toUtf8() + '\n') > 0,
              u"writes "_s + name);
        file.close();
        E2eModals modals;
        modals.chooseFile(path).signMethod(certificate ? QString() : m_user, m_password);
        trigger(u"mFile_Register"_s);
        check(modals.ok(), u"registers "_s + name + u": "_s + modals.report());
        check(QFileInfo::exists(store() + name + u".p7s"_s) && QFileInfo::exists(store() + name),
              u"record and copy in "_s + store());
        check(waitLoaded() &&
                  m_view->url().host() == QUrl(qEnvironmentVariable("TESSARO_SITE_ORIGIN")).host(),
              u"the site's reply is shown: "_s + m_view->url().toString());
        const QString shot = qEnvironmentVariable("TESSARO_DRIVER_SHOT");
        if (!shot.isEmpty() && !m_shot) {
            m_shot = true;
            E2e::runFor(std::chrono::milliseconds(1500));
            check(QProcess::execute(u"import"_s, {u"-window"_s, u"root"_s, shot}) == 0,
                  u"screenshot "_s + shot);
        }
    }

    void verifyDocument(const QString& name) {
        const QString record = store() + name + u".p7s"_s;
        const bool site = E2e::fileContent(record).value_or(QByteArray()).startsWith("V.01_");
        E2eModals modals;
        modals.chooseFile(record);
        if (site) {
            modals.dialog(u"TSLogin"_s, [&](QWidget* w) {
                w->findChild<QLineEdit*>(u"txtUser"_s)->setText(m_user);
                w->findChild<QLineEdit*>(u"txtPassword"_s)->setText(m_password);
                w->findChild<QAbstractButton*>(u"btnOK"_s)->click();
            });
        } else {
            modals.dialog(QString(), [&modals](QWidget* w) {
                const QString seen = E2eModals::describe(w);
                modals.expectThat(seen.contains(u"Local Registration Data Verified Successfully"_s), seen);
                w->close();
            });
        }
        trigger(u"m_View_Registered"_s);
        check(modals.ok(), u"verifies "_s + name + u": "_s + modals.report());
        if (site) {
            check(E2e::waitFor([&] { return m_view->url().path() == "/scripts/register/verify.asp"_L1; }) &&
                      waitLoaded() &&
                      pageText().contains(u"<meta name=\"tessaro-verification\" content=\"verified\">"_s),
                  u"the site says verified"_s);
        }
    }
};

} // namespace

class TessaroDriverPlugin : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "driver.json")
public:
    QObject* create(const QString& key, const QString&) override {
        // The browser's helper processes and the service are not the program.
        if (key != "tessarodriver"_L1 ||
            QFileInfo(QCoreApplication::applicationFilePath()).fileName() != "tessaro"_L1)
            return nullptr;
        auto* context = new QObject;
        QTimer::singleShot(0, context, [] { QCoreApplication::exit(Driver().run()); });
        return context;
    }
};

#include "InstalledDriver.moc"
