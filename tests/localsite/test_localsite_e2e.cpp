// The run command's registration site of the user's own, end to end: scripts/local-site.sh makes it
// from an empty HOME and XDG_DATA_HOME with the installed tessaro-site, starts it, and hands the
// program its settings; the program (a copy of this test in a temporary program folder) then
// registers a document by each sign method against it and verifies each record, as a user would.
// A second start reuses the same site folder, account and certificate. The set-up needs no display.

#include "app/TSApplication.h"
#include "common/E2eSteps.h"

#include <QApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <memory>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

class TestLocalSite : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_prefix{QDir::tempPath() + u"/tessaro-prefix-XXXXXX"_s};
    QTemporaryDir m_documents{QDir::tempPath() + u"/tessaro-documents-XXXXXX"_s};
    QString m_user;
    QString m_password;
    QByteArray m_certificates; // the local database after the first start

    static QString dataFolder() { return qEnvironmentVariable("XDG_DATA_HOME") + u"/tessaro"_s; }
    static QString accountFile() { return dataFolder() + u"/site/account.txt"_s; }

private Q_SLOTS:
    // The client and the service are installed side by side, outside the build tree.
    void initTestCase() {
        QVERIFY(m_prefix.isValid() && m_documents.isValid());
        QCOMPARE(QProcess::execute(u"cmake"_s, {u"--install"_s, qEnvironmentVariable("TESSARO_BINARY_DIR"),
                                                u"--prefix"_s, m_prefix.path()}),
                 0);
        QVERIFY(E2eEnvironment::clearStore());
    }

    // The first start prints the account once and keeps it for the owner alone; the second makes
    // nothing new and prints none. Each time the program registers and verifies a document by each
    // sign method, and once the run ends the site no longer answers and the user's own database
    // holds nothing of ours.
    void start_data() {
        QTest::addColumn<bool>("first");
        QTest::newRow("first start") << true;
        QTest::newRow("second start, same site and account") << false;
    }
    void start() {
        QFETCH(bool, first);
        QVERIFY(first != QFileInfo::exists(dataFolder()));
        const QByteArray account = E2e::fileContent(accountFile()).value_or(QByteArray());
        // The command prints the settings it was given and waits until its standard input closes.
        QProcess run;
        run.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        run.start(
            u"bash"_s,
            {qEnvironmentVariable("TESSARO_SOURCE_DIR") + u"/scripts/local-site.sh"_s, u"run"_s,
             m_prefix.filePath(u"tessaro-site"_s), u"sh"_s, u"-c"_s,
             uR"(printf 'SETTINGS %s %s %s\n' "$TESSARO_SITE_ORIGIN" "$TESSARO_SITE_CERT" "$TESSARO_NSSDB"; read line; exit 0)"_s});
        QString output;
        static const QRegularExpression settingsLine(u"^SETTINGS (\\S+) (\\S+) (\\S+)$"_s,
                                                     QRegularExpression::MultilineOption);
        QRegularExpressionMatch settings;
        QVERIFY(E2e::waitFor([&] {
            output += QString::fromUtf8(run.readAllStandardOutput());
            settings = settingsLine.match(output);
            return settings.hasMatch() || run.state() == QProcess::NotRunning;
        }));
        QVERIFY2(settings.hasMatch(), qPrintable(output));
        const QUrl origin(settings.captured(1));
        QCOMPARE(origin.host(), u"127.0.0.1"_s);
        QCOMPARE(settings.captured(2), dataFolder() + u"/site/tls-cert.pem"_s);
        QCOMPARE(settings.captured(3), u"sql:"_s + dataFolder() + u"/nssdb"_s);
        if (first) {
            static const QRegularExpression printed(u"user name: (\\S+)\\n\\s*password:\\s+(\\S+)\\n"_s);
            const QRegularExpressionMatch m = printed.match(output);
            QVERIFY2(m.hasMatch(), qPrintable(output));
            m_user = m.captured(1);
            m_password = m.captured(2);
            struct stat st {};
            QVERIFY(::stat(QFile::encodeName(accountFile()).constData(), &st) == 0);
            QCOMPARE(st.st_mode & 0777, 0600u);
            QVERIFY(E2e::fileContent(accountFile()).value_or(QByteArray()).contains(m_password.toUtf8()));
            m_certificates = E2e::fileContent(dataFolder() + u"/nssdb/cert9.db"_s).value_or(QByteArray());
        } else {
            QVERIFY2(!output.contains(u"password"_s), qPrintable(output));
            QCOMPARE(E2e::fileContent(dataFolder() + u"/nssdb/cert9.db"_s).value_or(QByteArray()),
                     m_certificates);
            QCOMPARE(E2e::fileContent(accountFile()).value_or(QByteArray()), account);
        }

        // The settings in force as the program puts them at start-up, then the main window.
        qputenv("TESSARO_SITE_ORIGIN", settings.captured(1).toUtf8());
        qputenv("TESSARO_SITE_CERT", QFile::encodeName(settings.captured(2)));
        qputenv("TESSARO_NSSDB", QFile::encodeName(settings.captured(3)));
        QCOMPARE(ApplyStartupEnvironment(), QStringList());
        std::unique_ptr<TSRegForm> form = E2e::openMainWindow();
        QVERIFY(form);
        for (const bool certificate : {true, false}) {
            const QString name = (first ? u"first by "_s : u"second by "_s) +
                                 (certificate ? u"certificate.txt"_s : u"password.txt"_s);
            const QString document = m_documents.filePath(name);
            QVERIFY(E2e::writeFile(document, QUuid::createUuid().toByteArray()));
            QVERIFY(E2e::waitFor(
                [&] { return form->pageLoaded() && !form->WebBrowser1()->page()->isLoading(); }));
            QCOMPARE(E2e::run(form.get(), "mFile_Register",
                              [&](E2eModals& modals) {
                                  modals.chooseFile(document).dialog(
                                      u"TSSignMethod"_s,
                                      E2e::signWith(certificate ? QString() : m_user, m_password));
                              }),
                     QString());
            // The service's reply page is in the pane.
            QCOMPARE(form->WebBrowser1()->url().port(), origin.port());
            const QString shown =
                E2e::verifyRecord(form.get(), E2eEnvironment::storeRecord(name), m_user, m_password);
            QVERIFY2(certificate ? shown.contains(u"Local Registered File Name: "_s + name)
                                 : shown == "verified"_L1,
                     qPrintable(shown));
        }

        form.reset();
        run.closeWriteChannel();
        QVERIFY(run.waitForFinished(60000));
        QCOMPARE(run.exitCode(), 0);
        QTcpSocket socket;
        socket.connectToHost(u"127.0.0.1"_s, quint16(origin.port()));
        QVERIFY(!socket.waitForConnected(5000));
        const QString own = QDir::homePath() + u"/.pki/nssdb"_s;
        QByteArray listed;
        if (QFileInfo::exists(own + u"/cert9.db"_s))
            QCOMPARE(NssFixture::run(u"certutil"_s, {u"-L"_s, u"-d"_s, u"sql:"_s + own}, &listed), 0);
        QVERIFY2(!listed.contains("Tessaro"), "the user's own database changed");
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
