// The client against the registration service: File > Register by both methods and View >
// Registered Files... run from end to end against tessaro-site on 127.0.0.1, with the program run
// from a copy in a temporary program folder, the real browser pane and a real NSS database that
// trusts the service's root.pem. Site records are checked with the openssl command as well.

#include "app/TSRegForm.h"
#include "commands/TSCommandTexts.h"
#include "common/E2eHarness.h"
#include "protocol/TSSiteExchange.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCryptographicHash>
#include <QFileInfo>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QRadioButton>
#include <QTest>
#include <QUuid>
#include <QWebEnginePage>
#include <QWebEngineView>

#include <memory>

using namespace Qt::StringLiterals;
using Env = E2eEnvironment;
using TSSiteExchange::Reply;

class TestClientSiteE2e : public QObject {
    Q_OBJECT
public:
    explicit TestClientSiteE2e(Env& env) : m_env(env) {}

private:
    Env& m_env;
    std::unique_ptr<TSRegForm> m_form;

    static QString fingerprintOf(const QByteArray& bytes) {
        return QString::fromLatin1(
            QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex().toUpper());
    }
    static E2eMessage refusal(Reply reply) {
        const TSMessageText shown = TSCommandTexts::MessageText(reply == Reply::DatabaseNotUpdated
                                                                    ? TSMessage::SiteDatabaseNotUpdated
                                                                    : TSMessage::SiteNotRegisteredUser);
        return {shown.text, QMessageBox::Critical, shown.title};
    }
    static QByteArray freshBytes() { return "document " + QUuid::createUuid().toByteArray() + '\n'; }
    static void login(QWidget* w, const QString& password) {
        w->findChild<QRadioButton*>(u"optUserPassword"_s)->click();
        w->findChild<QLineEdit*>(u"txtUser"_s)->setText(u"alice"_s);
        w->findChild<QLineEdit*>(u"txtPassword"_s)->setText(password);
        w->findChild<QAbstractButton*>(u"btnOK"_s)->click();
    }
    QAction* menuItem(const char* name) const { return m_form->findChild<QAction*>(QLatin1String(name)); }

    // Registers a document by the user's certificate, or by user name and password; the modals
    // given are expected after the sign-method dialog. True when they all came as expected.
    bool registerDocument(const QString& path, bool certificate, const QList<E2eMessage>& then = {},
                          const QString& password = u"secret"_s) {
        E2eModals modals;
        modals.chooseFile(path).dialog(u"TSSignMethod"_s, [&](QWidget* w) {
            if (certificate)
                w->findChild<QAbstractButton*>(u"btnOK"_s)->click();
            else
                login(w, password);
        });
        for (const E2eMessage& m : then)
            modals.message(m);
        menuItem("mFile_Register")->trigger();
        if (!modals.ok())
            qWarning("%s", qPrintable(modals.report()));
        return modals.ok();
    }

    QJsonObject registrationOf(const QString& fingerprint) {
        for (const QJsonObject& r : m_env.service().registrations())
            if (r.value("fingerprint"_L1).toString() == fingerprint)
                return r;
        return {};
    }

    // The page the pane shows, once it carries the verification meta element.
    QString verificationShown() {
        QString html;
        E2e::waitFor([&] {
            m_form->WebBrowser1()->page()->toHtml([&](const QString& h) { html = h; });
            E2e::runFor(std::chrono::milliseconds(50));
            return html.contains("tessaro-verification"_L1);
        });
        return html;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(m_env.isValid(), qPrintable(m_env.error()));
        ServiceSite& site = m_env.service();
        QVERIFY2(site.addUser(u"alice"_s, u"secret"_s), qPrintable(site.errorString()));
        // The service trusts the root CA of the personal certificates in the user's database.
        const QString caFile = QStringLiteral(TESSARO_SOURCE_DIR "/tests/fixtures/root.pem");
        QVERIFY2(site.trust(caFile), qPrintable(site.errorString()));
    }

    void init() {
        QVERIFY(Env::clearStore());
        m_form = std::make_unique<TSRegForm>();
        m_form->show();
        QVERIFY(E2e::waitFor(
            [&] { return m_form->pageLoaded() && !m_form->WebBrowser1()->page()->isLoading(); }));
    }

    void cleanup() { m_form.reset(); }

    // Both methods register, also a name that holds "error:", markup and quotes; the service keeps
    // the registration with its method and owner, and a site record verifies with openssl alone.
    void registers_data() {
        QTest::addColumn<bool>("certificate");
        QTest::addColumn<QString>("name");
        QTest::newRow("certificate") << true << u"report.txt"_s;
        QTest::newRow("password") << false << u"report.txt"_s;
        QTest::newRow("certificate, error: in the name") << true << u"Error: <draft> \"1\".txt"_s;
        QTest::newRow("password, error: in the name") << false << u"Error: <draft> \"1\".txt"_s;
    }
    void registers() {
        QFETCH(bool, certificate);
        QFETCH(QString, name);
        const QByteArray bytes = freshBytes();
        const QString path = m_env.writeDocument(name, bytes);
        QVERIFY(registerDocument(path, certificate));
        const QByteArray record = E2e::fileContent(Env::storeRecord(name)).value_or(QByteArray());
        QCOMPARE(E2e::fileContent(Env::storeCopy(name)).value_or(QByteArray()), bytes);
        const QJsonObject r = registrationOf(fingerprintOf(bytes));
        QCOMPARE(r.value("name"_L1).toString(), name);
        QCOMPARE(r.value("method"_L1).toString(), certificate ? u"certificate"_s : u"password"_s);
        if (certificate) {
            QVERIFY(!record.startsWith("V.01_"));
            return;
        }
        QCOMPARE(r.value("owner"_L1).toString(), u"alice"_s);
        QVERIFY(record.startsWith("V.01_"));
        const QString token = m_env.writeDocument(u"token.der"_s, QByteArray::fromBase64(record.mid(5)));
        QProcess openssl;
        openssl.start(u"openssl"_s, {u"ts"_s, u"-verify"_s, u"-in"_s, token, u"-token_in"_s, u"-data"_s, path,
                                     u"-CAfile"_s, m_env.service().rootCertificatePath()});
        QVERIFY(openssl.waitForFinished(60000));
        const QByteArray out = openssl.readAll();
        QVERIFY2(out.contains("Verification: OK"), out.constData());
    }

    // The service's refusals reach the user as the reply codes' messages, and nothing is written.
    void refuses() {
        const QByteArray bytes = freshBytes();
        QVERIFY(registerDocument(m_env.writeDocument(u"first.txt"_s, bytes), false));
        QVERIFY(registerDocument(m_env.writeDocument(u"again.txt"_s, bytes), true,
                                 {refusal(Reply::DatabaseNotUpdated)}));
        QVERIFY(registerDocument(m_env.writeDocument(u"again.txt"_s, bytes), false,
                                 {refusal(Reply::DatabaseNotUpdated)}));
        QVERIFY(registerDocument(m_env.writeDocument(u"wrong.txt"_s, freshBytes()), false,
                                 {refusal(Reply::NotRegisteredUser)}, u"not the password"_s));
        QCOMPARE(Env::storeEntries(), (QStringList{u"first.txt"_s, u"first.txt.p7s"_s}));
    }

    // A site record verifies at the service; with its copy changed it does not.
    void verifiesSiteRecord() {
        const QString name = u"plan.txt"_s;
        QVERIFY(registerDocument(m_env.writeDocument(name, freshBytes()), false));
        for (const bool changed : {false, true}) {
            if (changed) {
                QFile copy(Env::storeCopy(name));
                QVERIFY(copy.setPermissions(copy.permissions() | QFileDevice::WriteOwner));
                QVERIFY(copy.open(QIODevice::Append));
                copy.write("changed");
                copy.close();
            }
            E2eModals modals;
            modals.chooseFile(Env::storeRecord(name)).dialog(u"TSLogin"_s, [](QWidget* w) {
                w->findChild<QLineEdit*>(u"txtUser"_s)->setText(u"alice"_s);
                w->findChild<QLineEdit*>(u"txtPassword"_s)->setText(u"secret"_s);
                w->findChild<QAbstractButton*>(u"btnOK"_s)->click();
            });
            menuItem("m_View_Registered")->trigger();
            QVERIFY2(modals.ok(), qPrintable(modals.report()));
            const QString html = verificationShown();
            QVERIFY2(html.contains(changed ? "content=\"not-verified\""_L1 : "content=\"verified\""_L1),
                     qPrintable(html));
        }
    }
};

int main(int argc, char* argv[]) {
    if (const std::optional<int> code = E2e::RunInProgramCopy(argc, argv))
        return *code;
    Env env(u"one"_s, Env::Site::Service);
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    TestClientSiteE2e test(env);
    return QTest::qExec(&test, argc, argv);
}

#include "test_client_site_e2e.moc"
