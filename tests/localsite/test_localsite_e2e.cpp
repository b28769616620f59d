// The run command's registration site of the user's own, end to end: scripts/local-site.sh makes it
// from an empty HOME and XDG_DATA_HOME with the installed tessaro-site, starts it, and hands the
// program its settings; the program (a copy of this test in a temporary program folder) then
// registers a document by each sign method against it and verifies each record, as a user would.
// A second start reuses the same site folder, account and certificate. The set-up needs no display.

#include "app/TSApplication.h"
#include "app/TSRegForm.h"
#include "common/E2eHarness.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QUuid>
#include <QWebEngineView>

#include <memory>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

QString dataFolder() {
    return qEnvironmentVariable("XDG_DATA_HOME") + u"/tessaro"_s;
}

// One run of "local-site.sh run SERVICE COMMAND", whose command prints the settings it was given and
// waits until its standard input closes; the site runs meanwhile.
class LocalSiteRun {
public:
    LocalSiteRun(const QString& service) {
        m_process.setProgram(u"bash"_s);
        m_process.setArguments(
            {qEnvironmentVariable("TESSARO_SOURCE_DIR") + u"/scripts/local-site.sh"_s, u"run"_s, service,
             u"sh"_s, u"-c"_s,
             uR"(printf 'SETTINGS %s %s %s\n' "$TESSARO_SITE_ORIGIN" "$TESSARO_SITE_CERT" "$TESSARO_NSSDB"; read line; exit 0)"_s});
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start();
        E2e::waitFor([&] {
            m_output += m_process.readAllStandardOutput();
            return m_output.contains("\nSETTINGS ") || m_output.startsWith("SETTINGS ") ||
                   m_process.state() == QProcess::NotRunning;
        });
        static const QRegularExpression settings(u"^SETTINGS (\\S+) (\\S+) (\\S+)$"_s,
                                                 QRegularExpression::MultilineOption);
        const QRegularExpressionMatch m = settings.match(QString::fromUtf8(m_output));
        if (m.hasMatch())
            m_settings = {m.captured(1), m.captured(2), m.captured(3)};
    }
    ~LocalSiteRun() { stop(); }

    // Origin, certificate and database, when the command was started with them.
    QStringList settings() const { return m_settings; }
    QString output() const { return QString::fromUtf8(m_output); }
    // Ends the command; the script stops the site. Its exit code.
    int stop() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.closeWriteChannel();
            if (!m_process.waitForFinished(60000))
                m_process.kill();
        }
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

private:
    QProcess m_process;
    QByteArray m_output;
    QStringList m_settings;
};

} // namespace

class TestLocalSite : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_prefix{QDir::tempPath() + u"/tessaro-prefix-XXXXXX"_s};
    QTemporaryDir m_documents{QDir::tempPath() + u"/tessaro-documents-XXXXXX"_s};
    std::unique_ptr<TSRegForm> m_form;
    QString m_user;
    QString m_password;

    QString siteFolder() const { return dataFolder() + u"/site"_s; }

    void trigger(const char* item) { m_form->findChild<QAction*>(QLatin1String(item))->trigger(); }
    QUrl paneUrl() const { return m_form->WebBrowser1()->url(); }

    // Puts the settings the script gave in force, as the program does at start-up, and opens the
    // main window.
    void startProgram(const QStringList& settings) {
        qputenv("TESSARO_SITE_ORIGIN", settings[0].toUtf8());
        qputenv("TESSARO_SITE_CERT", QFile::encodeName(settings[1]));
        qputenv("TESSARO_NSSDB", QFile::encodeName(settings[2]));
        QCOMPARE(ApplyStartupEnvironment(), QStringList());
        m_form = std::make_unique<TSRegForm>();
        m_form->show();
        QVERIFY(E2e::waitFor(
            [&] { return m_form->pageLoaded() && !m_form->WebBrowser1()->page()->isLoading(); }));
    }

    QString writeDocument(const QString& name) {
        const QString folder = m_documents.filePath(QUuid::createUuid().toString(QUuid::WithoutBraces));
        QDir().mkpath(folder);
        QFile file(folder + u'/' + name);
        if (!file.open(QIODevice::WriteOnly))
            return {};
        file.write("A document of " + name.toUtf8() + ' ' + QUuid::createUuid().toByteArray() + '\n');
        return file.fileName();
    }

    // Registers a new document by the sign method; the service's reply page is in the pane.
    void registerDocument(const QString& name, bool certificate) {
        E2eModals modals;
        modals.chooseFile(writeDocument(name)).signMethod(certificate ? QString() : m_user, m_password);
        trigger("mFile_Register");
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QVERIFY(QFileInfo::exists(E2eEnvironment::storeRecord(name)));
        QVERIFY(E2e::waitFor(
            [&] { return m_form->pageLoaded() && !m_form->WebBrowser1()->page()->isLoading(); }));
        QCOMPARE(paneUrl().host(), QUrl(qEnvironmentVariable("TESSARO_SITE_ORIGIN")).host());
        QCOMPARE(paneUrl().port(), QUrl(qEnvironmentVariable("TESSARO_SITE_ORIGIN")).port());
    }

    // Verifies the record of the document: a certificate record here, with its message; a site record
    // through the service's verify page, which says it is verified.
    void verifyDocument(const QString& name) {
        const QByteArray record = E2e::fileContent(E2eEnvironment::storeRecord(name)).value_or(QByteArray());
        const bool site = record.startsWith("V.01_");
        E2eModals modals;
        modals.chooseFile(E2eEnvironment::storeRecord(name));
        if (site) {
            modals.dialog(u"TSLogin"_s, [&](QWidget* w) {
                w->findChild<QLineEdit*>(u"txtUser"_s)->setText(m_user);
                w->findChild<QLineEdit*>(u"txtPassword"_s)->setText(m_password);
                w->findChild<QAbstractButton*>(u"btnOK"_s)->click();
            });
        } else {
            modals.dialog(QString(), [&modals, name](QWidget* w) {
                const QString seen = E2eModals::describe(w);
                modals.expectThat(seen.contains(u"Local Registration Data Verified Successfully"_s) &&
                                      seen.contains(u"Local Registered File Name: "_s + name),
                                  seen);
                w->close();
            });
        }
        trigger("m_View_Registered");
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        if (!site)
            return;
        QVERIFY(E2e::waitFor([&] {
            return paneUrl().path() == "/scripts/register/verify.asp"_L1 && m_form->pageLoaded() &&
                   !m_form->WebBrowser1()->page()->isLoading();
        }));
        const QString page = m_form->ReadReply().value_or(QString());
        QVERIFY2(page.contains(u"<meta name=\"tessaro-verification\" content=\"verified\">"_s),
                 qPrintable(page));

        // The record checks without the site, as the help page shows.
        QFile token(m_documents.filePath(u"token.der"_s));
        QVERIFY(token.open(QIODevice::WriteOnly) && token.write(QByteArray::fromBase64(record.mid(5))) > 0);
        token.close();
        QProcess openssl;
        openssl.start(u"openssl"_s,
                      {u"ts"_s, u"-verify"_s, u"-in"_s, token.fileName(), u"-token_in"_s, u"-data"_s,
                       E2eEnvironment::storeCopy(name), u"-CAfile"_s, siteFolder() + u"/root.pem"_s});
        QVERIFY(openssl.waitForFinished(60000));
        QVERIFY2(openssl.readAllStandardOutput().contains("Verification: OK"),
                 openssl.readAllStandardError());
    }

    // Registers and verifies a document by each sign method.
    void registerAndVerifyEach(const QString& prefix) {
        for (const bool certificate : {true, false}) {
            const QString name = prefix + (certificate ? u" by certificate.txt"_s : u" by password.txt"_s);
            registerDocument(name, certificate);
            if (QTest::currentTestFailed())
                return;
            verifyDocument(name);
            if (QTest::currentTestFailed())
                return;
        }
    }

    // After the run: the site no longer answers, and nothing of ours is in the user's own database.
    void checkStopped(LocalSiteRun& run, const QStringList& settings) {
        m_form.reset();
        QCOMPARE(run.stop(), 0);
        QTcpSocket socket;
        socket.connectToHost(u"127.0.0.1"_s, quint16(QUrl(settings[0]).port()));
        QVERIFY(!socket.waitForConnected(5000));
        const QString own = QDir::homePath() + u"/.pki/nssdb"_s;
        if (QFileInfo::exists(own + u"/cert9.db"_s)) {
            QProcess certutil;
            certutil.start(u"certutil"_s, {u"-L"_s, u"-d"_s, u"sql:"_s + own});
            QVERIFY(certutil.waitForFinished(60000));
            QVERIFY2(!certutil.readAllStandardOutput().contains("Tessaro"),
                     "the user's own database changed");
        }
    }

private Q_SLOTS:
    // The client and the service are installed side by side, outside the build tree.
    void initTestCase() {
        QVERIFY(m_prefix.isValid() && m_documents.isValid());
        QCOMPARE(QProcess::execute(u"cmake"_s, {u"--install"_s, qEnvironmentVariable("TESSARO_BINARY_DIR"),
                                                u"--prefix"_s, m_prefix.path()}),
                 0);
        QVERIFY(QFileInfo(m_prefix.filePath(u"tessaro-site"_s)).isExecutable());
        QVERIFY(QFileInfo(m_prefix.filePath(u"tessaro"_s)).isExecutable());
        QVERIFY(E2eEnvironment::clearStore());
    }

    void firstStart() {
        QVERIFY(!QFileInfo::exists(dataFolder()));
        LocalSiteRun run(m_prefix.filePath(u"tessaro-site"_s));
        const QStringList settings = run.settings();
        QVERIFY2(settings.size() == 3, qPrintable(run.output()));
        QCOMPARE(QUrl(settings[0]).host(), u"127.0.0.1"_s);
        QCOMPARE(settings[1], siteFolder() + u"/tls-cert.pem"_s);
        QCOMPARE(settings[2], u"sql:"_s + dataFolder() + u"/nssdb"_s);

        // The account is printed once, and kept for the owner alone.
        static const QRegularExpression printed(u"user name: (\\S+)\\n\\s*password:\\s+(\\S+)\\n"_s);
        const QRegularExpressionMatch account = printed.match(run.output());
        QVERIFY2(account.hasMatch(), qPrintable(run.output()));
        m_user = account.captured(1);
        m_password = account.captured(2);
        const QString accountFile = siteFolder() + u"/account.txt"_s;
        struct stat st {};
        QVERIFY(::stat(QFile::encodeName(accountFile).constData(), &st) == 0);
        QCOMPARE(st.st_mode & 0777, 0600u);
        QVERIFY(E2e::fileContent(accountFile).value_or(QByteArray()).contains(m_password.toUtf8()));

        startProgram(settings);
        if (QTest::currentTestFailed())
            return;
        registerAndVerifyEach(u"first"_s);
        if (QTest::currentTestFailed())
            return;
        checkStopped(run, settings);
    }

    // The second start makes nothing new and prints no account; the same account and certificate
    // register and verify again.
    void secondStart() {
        const QByteArray certificates =
            E2e::fileContent(dataFolder() + u"/nssdb/cert9.db"_s).value_or(QByteArray());
        const QByteArray account = E2e::fileContent(siteFolder() + u"/account.txt"_s).value_or(QByteArray());
        LocalSiteRun run(m_prefix.filePath(u"tessaro-site"_s));
        const QStringList settings = run.settings();
        QVERIFY2(settings.size() == 3, qPrintable(run.output()));
        QVERIFY2(!run.output().contains(u"password"_s), qPrintable(run.output()));
        QCOMPARE(E2e::fileContent(dataFolder() + u"/nssdb/cert9.db"_s).value_or(QByteArray()), certificates);
        QCOMPARE(E2e::fileContent(siteFolder() + u"/account.txt"_s).value_or(QByteArray()), account);
        startProgram(settings);
        if (QTest::currentTestFailed())
            return;
        registerAndVerifyEach(u"second"_s);
        if (QTest::currentTestFailed())
            return;
        checkStopped(run, settings);
    }
};

int main(int argc, char* argv[]) {
    if (const std::optional<int> code = E2e::RunInProgramCopy(argc, argv))
        return *code;
    // An empty HOME and data folder, before the browser starts: it reads its trust from HOME.
    QTemporaryDir home(QDir::tempPath() + u"/tessaro-home-XXXXXX"_s);
    QTemporaryDir data(QDir::tempPath() + u"/tessaro-data-XXXXXX"_s);
    if (!home.isValid() || !data.isValid())
        return 1;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    TestLocalSite test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_localsite_e2e.moc"
