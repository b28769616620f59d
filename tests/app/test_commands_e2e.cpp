// File > Register and View > Registered Files... from end to end, once for each sign method: the
// program run from a copy in a temporary program folder, the real browser pane, a real NSS
// database in a temporary HOME and the registration service tessaro-site on 127.0.0.1.

#include "common/E2eSteps.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QJsonObject>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;
using Env = E2eEnvironment;

class TestCommandsE2e : public QObject {
    Q_OBJECT
public:
    explicit TestCommandsE2e(Env& env) : m_env(env) {}

private:
    Env& m_env;
    std::unique_ptr<TSRegForm> m_form;

    QJsonObject registrationOf(const QByteArray& bytes) {
        const QString fingerprint =
            QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex().toUpper());
        for (const QJsonObject& r : m_env.service().registrations())
            if (r.value("fingerprint"_L1).toString() == fingerprint)
                return r;
        return {};
    }
    // File > Register of a document by the sign method, then the modal widgets `then` adds.
    QString registerDocument(const QString& path, const QString& user, const QString& password,
                             const QList<E2eMessage>& then = {}) {
        return E2e::run(m_form.get(), "mFile_Register", [&](E2eModals& modals) {
            modals.chooseFile(path).dialog(u"TSSignMethod"_s, E2e::signWith(user, password));
            for (const E2eMessage& m : then)
                modals.message(m);
        });
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(m_env.isValid(), qPrintable(m_env.error()));
        ServiceSite& site = m_env.service();
        QVERIFY2(site.addUser(u"alice"_s, u"secret"_s), qPrintable(site.errorString()));
        // The service trusts the root CA of the personal certificates in the user's database.
        QVERIFY2(site.trust(QStringLiteral(TESSARO_SOURCE_DIR "/tests/fixtures/root.pem")),
                 qPrintable(site.errorString()));
    }

    void init() {
        QVERIFY(Env::clearStore());
        QVERIFY((m_form = E2e::openMainWindow()));
    }

    void cleanup() { m_form.reset(); }

    // Registered, kept by the service with its method, and verified; then the same name again (Esc
    // at the re-create question), the same bytes again (the service's refusal) and a wrong password:
    // nothing more is stored.
    void registerAndVerify_data() {
        QTest::addColumn<QString>("user"); // empty: by certificate
        QTest::newRow("by certificate") << QString();
        QTest::newRow("by user name and password") << u"alice"_s;
    }
    void registerAndVerify() {
        QFETCH(QString, user);
        // The reply pages show the name: "Error:" must not read as a reply code, nor <...> as markup.
        const QString name = u"Error: <draft> \"1\" é.txt"_s;
        const QByteArray bytes = E2e::freshBytes();
        QCOMPARE(registerDocument(m_env.writeDocument(name, bytes), user, u"secret"_s), QString());
        const QString record = Env::storeRecord(name);
        const QByteArray recordBytes = E2e::fileContent(record).value_or(QByteArray());
        const QJsonObject r = registrationOf(bytes);
        QCOMPARE(r.value("name"_L1).toString(), name);
        QCOMPARE(r.value("method"_L1).toString(), user.isEmpty() ? u"certificate"_s : u"password"_s);
        const QString shown = E2e::verifyRecord(m_form.get(), record, user, u"secret"_s);
        if (user.isEmpty())
            QVERIFY2(shown.contains(u"Local Registration Data Verified Successfully"_s) &&
                         shown.contains(u"Local Registered File Name: "_s + name),
                     qPrintable(shown));
        else
            QCOMPARE(shown, u"verified"_s);

        const QStringList stored = Env::storeEntries();
        QCOMPARE(E2e::run(m_form.get(), "mFile_Register",
                          [&](E2eModals& modals) {
                              modals.chooseFile(m_env.writeDocument(name, E2e::freshBytes()))
                                  .message(E2e::recreateQuestion(), E2eModals::Dismiss::EscapeKey)
                                  .message(E2e::told(TSMessage::ExistingDataKept));
                          }),
                 QString());
        QCOMPARE(registerDocument(m_env.writeDocument(u"again.txt"_s, bytes), user, u"secret"_s,
                                  {E2e::told(TSMessage::SiteDatabaseNotUpdated)}),
                 QString());
        if (!user.isEmpty())
            QCOMPARE(registerDocument(m_env.writeDocument(u"wrong.txt"_s, E2e::freshBytes()), user,
                                      u"wrong"_s, {E2e::told(TSMessage::SiteNotRegisteredUser)}),
                     QString());
        QCOMPARE(Env::storeEntries(), stored);
        QCOMPARE(E2e::fileContent(record).value_or(QByteArray()), recordBytes);
    }
};

int main(int argc, char* argv[]) {
    if (const std::optional<int> code = E2e::RunInProgramCopy(argc, argv))
        return *code;
    Env env(u"one"_s, Env::Site::Service);
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    TestCommandsE2e test(env);
    return QTest::qExec(&test, argc, argv);
}

#include "test_commands_e2e.moc"
