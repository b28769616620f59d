// Drives the program it is loaded into (see CMakeLists.txt): one document registered by each sign
// method named in TESSARO_DRIVER_METHODS ("certificate password" when unset), each record then
// verified. The account comes from TESSARO_DRIVER_USER and TESSARO_DRIVER_PASSWORD, else from the
// local site's account.txt. The store must be the user's own, as for an installed program.
// TESSARO_DRIVER_SHOT names a PNG for a screenshot of the screen after the first registration.

#include "common/E2eSteps.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QGenericPlugin>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

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
        check(E2e::writeFile(path, "A document of " + name.toUtf8() + '\n'), u"writes "_s + name);
        const QString report = E2e::run(m_form, "mFile_Register", [&](E2eModals& modals) {
            modals.chooseFile(path).dialog(u"TSSignMethod"_s,
                                           E2e::signWith(certificate ? QString() : m_user, m_password));
        });
        check(report.isEmpty(), u"registers "_s + name + u": "_s + report);
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
        const QString shown = E2e::verifyRecord(m_form, store() + name + u".p7s"_s, m_user, m_password);
        check(shown == "verified"_L1 || shown.contains(u"Local Registration Data Verified Successfully"_s),
              u"verifies "_s + name + u": "_s + shown);
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
