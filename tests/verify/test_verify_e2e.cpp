// View > Registered Files... from end to end: the program run from a copy in a temporary program
// folder, the real browser pane, a real NSS database in a temporary HOME and the registration site.
// Certificate records come from the register command and, independently, from OpenSSL with a
// certificate in no NSS database; site records from the register command's password method.

#include "app/TSProgressForm.h"
#include "app/TSRegForm.h"
#include "certstore/OpensslCms.h"
#include "common/E2eHarness.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QRegularExpression>
#include <QStringEncoder>
#include <QTest>
#include <QWebEngineView>

#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Env = E2eEnvironment;

class TestVerifyE2e : public QObject {
    Q_OBJECT
public:
    explicit TestVerifyE2e(Env& env) : m_env(env) {}

private:
    Env& m_env;
    std::unique_ptr<TSRegForm> m_form;
    // The site record the register command made at its first use, and its document.
    const QString m_siteName = u"site's \"plan\" & <notes> é.txt"_s;
    QByteArray m_siteRecord;
    QByteArray m_siteDocument;

    static E2eMessage stop(const QString& text) { return {text, QMessageBox::Critical, u"Error Message"_s}; }
    // The success message for a time stamp written in a United States locale and a document name.
    static E2eMessage verified(const QString& timeStamp, const QString& name) {
        return {u"Local registration data verifies successfully. The data at the time of registration "
                "was:\r\n\r\nLocal Registration Time Stamp: "_s +
                    timeStamp + u"\r\nLocal Registered File Name: "_s + name + u"\r\n"_s,
                QMessageBox::NoIcon, u"Local Registration Data Verified Successfully"_s};
    }
    static QString fingerprintOf(const QByteArray& bytes) {
        return QString::fromLatin1(
            QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex().toUpper());
    }
    // Writes a file read-only, as the program writes the store's files, or with the given mode.
    static bool writeFile(const QString& path, const QByteArray& bytes, mode_t mode = 0444) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() &&
               ::chmod(QFile::encodeName(path).constData(), mode) == 0;
    }
    // The address space this process takes now, in bytes.
    static qint64 addressSpaceUsed() {
        QFile status(u"/proc/self/status"_s);
        if (status.open(QIODevice::ReadOnly))
            for (const QByteArray& line : status.readAll().split('\n'))
                if (line.startsWith("VmSize:"))
                    return line.mid(7).trimmed().split(' ').value(0).toLongLong() * 1024;
        return 0;
    }
    static mode_t modeOf(const QString& path) {
        struct stat st {};
        return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode : 0;
    }

    // A certificate record made with OpenSSL in the interoperable layout: SHA-1, the fingerprint as
    // UTF-16LE content, the signing time, and the document name as UTF-16LE with its NUL.
    static QByteArray opensslRecord(const QByteArray& document, const QDateTime& when, const QString& name) {
        QStringEncoder utf16le(QStringConverter::Utf16LE);
        opensslcms::Options options;
        options.content = utf16le.encode(fingerprintOf(document));
        options.digest = u"sha1"_s;
        options.signingTime = when;
        options.nameOctets = QByteArray(utf16le.encode(name)) + QByteArray(2, '\0');
        QString error;
        const QByteArray der = opensslcms::sign(options, &error);
        if (der.isEmpty())
            qWarning("OpenSSL: %s", qPrintable(error));
        return der.toBase64();
    }

    // Chooses a file the open-file dialog does not list (no ".p7s" ending, not a regular file) by
    // typing its path into the name box, as a user would.
    static E2eModals::Answer typePath(const QString& path) {
        return [path](QWidget* w) {
            w->findChild<QLineEdit*>(u"fileNameEdit"_s)->setText(path);
            static_cast<QDialog*>(w)->accept(); // protected in QFileDialog
            if (w->isVisible())
                w->close(); // refused
        };
    }
    static void login(QWidget* w) {
        w->findChild<QLineEdit*>(u"txtUser"_s)->setText(u"alice"_s);
        w->findChild<QLineEdit*>(u"txtPassword"_s)->setText(u"secret"_s);
        w->findChild<QAbstractButton*>(u"btnOK"_s)->click();
    }

    QAction* menuItem(const char* name) const { return m_form->findChild<QAction*>(QLatin1String(name)); }
    // Runs View > Registered Files... to its end; an E2eModals made before answers its dialogs.
    void verify() { menuItem("m_View_Registered")->trigger(); }
    QUrl paneUrl() const { return m_form->WebBrowser1()->url(); }
    bool paneShows(const QString& page) const {
        return E2e::waitFor([&] { return paneUrl() == TSRegForm::localPageUrl(page); });
    }
    QUrl verifyPage() const { return m_env.site().url(QLatin1String(TestSite::VerifyPath)); }
    QList<TestSiteRequest> verifyRequests(const char* method) const {
        return m_env.site().requests(QLatin1String(TestSite::VerifyPath), QLatin1String(method));
    }

    // Registers a document with the register command, signing with the user's certificate or with
    // the site's user name and password.
    bool registerDocument(const QString& path, bool certificate) {
        E2eModals modals;
        modals.chooseFile(path).dialog(u"TSSignMethod"_s, [certificate](QWidget* w) {
            if (certificate) {
                w->findChild<QAbstractButton*>(u"btnOK"_s)->click();
            } else {
                w->findChild<QRadioButton*>(u"optUserPassword"_s)->click();
                login(w);
            }
        });
        menuItem("mFile_Register")->trigger();
        if (!modals.ok())
            qWarning("%s", qPrintable(modals.report()));
        return modals.ok() && QFile::exists(Env::storeCopy(QFileInfo(path).fileName()));
    }

    // The site record pair in the store, made by the register command at its first use.
    bool siteRecordInStore() {
        if (!m_siteRecord.isEmpty())
            return writeFile(Env::storeRecord(m_siteName), m_siteRecord) &&
                   writeFile(Env::storeCopy(m_siteName), m_siteDocument);
        m_siteDocument = "site record document " + QByteArray::number(QDateTime::currentMSecsSinceEpoch());
        if (!registerDocument(m_env.writeDocument(m_siteName, m_siteDocument), false))
            return false;
        m_siteRecord = E2e::fileContent(Env::storeRecord(m_siteName)).value_or(QByteArray());
        return m_siteRecord.startsWith("V.01_");
    }
    void chooseSiteRecord(E2eModals& modals) {
        modals.chooseFile(Env::storeRecord(m_siteName)).dialog(u"TSLogin"_s, login);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(m_env.isValid(), qPrintable(m_env.error()));
        m_env.site().setUser(u"alice"_s, u"secret"_s);
    }

    void init() {
        QVERIFY(Env::clearStore());
        QVERIFY(QDir().mkpath(Env::storeFolder()));
        m_env.site().clearBehaviours();
        m_env.site().clearRequests();
        qputenv("TESSARO_SITE_ORIGIN", m_env.site().origin().toUtf8());
        m_form = std::make_unique<TSRegForm>();
        m_form->show();
        QVERIFY(E2e::waitFor(
            [&] { return m_form->pageLoaded() && !m_form->WebBrowser1()->page()->isLoading(); }));
    }

    void cleanup() { m_form.reset(); }

    // The register command's certificate record verifies and shows what was signed; renaming the
    // record and its copy together changes nothing of that.
    void registeredRecordVerifies() {
        const QString name = u"report.doc"_s;
        QVERIFY(registerDocument(
            m_env.writeDocument(name, "a report " + QByteArray::number(QDateTime::currentMSecsSinceEpoch())),
            true));
        const QByteArray record = E2e::fileContent(Env::storeRecord(name)).value_or(QByteArray());
        const opensslcms::Parsed parsed = opensslcms::parse(QByteArray::fromBase64(record));
        QVERIFY2(parsed.ok, qPrintable(parsed.error));
        const QString timeStamp =
            QLocale().toString(parsed.signingTimeUtc.toLocalTime(), u"M/d/yyyy h:mm:ss AP"_s);
        for (const QString& shownAs : {name, u"renamed.txt"_s}) {
            if (shownAs != name) {
                QVERIFY(QFile::rename(Env::storeRecord(name), Env::storeRecord(shownAs)));
                QVERIFY(QFile::rename(Env::storeCopy(name), Env::storeCopy(shownAs)));
            }
            E2eModals modals;
            modals.chooseFile(Env::storeRecord(shownAs)).message(verified(timeStamp, name));
            verify();
            QVERIFY2(modals.ok(), qPrintable(modals.report()));
        }
    }

    // Records made outside the program, by a certificate the user's database does not hold: they
    // verify, also when picked outside the store (the store's copy is used). A changed copy is told
    // once; a damaged record first with the library's error.
    void outsideRecord_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QDateTime>("when");
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("shown"); // the time stamp shown; none when it does not verify
        const QDateTime now = QDateTime::currentDateTime();
        const QString plan = u"plan.doc"_s;
        QTest::newRow("the example time") << plan << QDateTime(QDate(2005, 3, 14), QTime(9, 15, 23))
                                          << QString() << u"3/14/2005 9:15:23 AM"_s;
        QTest::newRow("non-ASCII, quotes and markup in the name, record picked elsewhere")
            << u"Résumé \"final\" <v2> & 'co'.txt"_s << QDateTime(QDate(2049, 12, 31), QTime(23, 59, 59))
            << u"elsewhere"_s << u"12/31/2049 11:59:59 PM"_s;
        QTest::newRow("copy changed by one byte") << plan << now << u"copy"_s << QString();
        QTest::newRow("Base64 altered") << plan << now << u"base64"_s << QString();
        QTest::newRow("V.01_ inside the record: still a certificate record")
            << plan << now << u"tag"_s << QString();
    }
    void outsideRecord() {
        QFETCH(QString, name);
        QFETCH(QDateTime, when);
        QFETCH(QString, change);
        QFETCH(QString, shown);
        QByteArray document = name.toUtf8();
        QByteArray record = opensslRecord(document, when, name);
        QVERIFY(!record.isEmpty());
        QString picked = Env::storeRecord(name);
        if (change == "elsewhere"_L1)
            picked = m_env.writeDocument(name + u".p7s"_s, record);
        else if (change == "copy"_L1)
            document[3] = document[3] ^ 0x01;
        else if (change == "base64"_L1) // a character of the signature value near the end
            record[record.size() - 40] = record[record.size() - 40] == 'A' ? 'B' : 'A';
        else if (change == "tag"_L1)
            record.insert(record.size() / 2, "V.01_");
        QVERIFY(writeFile(Env::storeRecord(name), record) && writeFile(Env::storeCopy(name), document));

        E2eModals modals;
        modals.chooseFile(picked);
        if (change == "base64"_L1 || change == "tag"_L1) {
            // The error's number in signed decimal, ":" and its description; no icon, the program's title.
            modals.dialog(QString(), [&modals](QWidget* w) {
                static const QRegularExpression form(
                    u"^QMessageBox \\(no icon, \"Tessaro\"\\): -?[0-9]+:\\S"_s);
                modals.expectThat(form.match(E2eModals::describe(w)).hasMatch(), E2eModals::describe(w));
                w->close();
            });
        }
        modals.message(shown.isEmpty()
                           ? stop(u"Local registration data does not verify. The file data in the "
                                  "local database has changed."_s)
                           : verified(shown, name));
        verify();
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
    }

    // A copy or record that cannot be read. Of the copies only an empty file that is not marked
    // read-only is removed; everything else in the store stays as it was.
    void notReadable_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("message");
        const QString copy = u"The document file cannot be read."_s;
        const QString record = u"The file cannot be read."_s;
        QTest::newRow("copy missing, record picked elsewhere beside one") << u"missing"_s << copy;
        QTest::newRow("copy empty: removed") << u"empty"_s << copy;
        QTest::newRow("copy empty and read-only") << u"empty read-only"_s << copy;
        QTest::newRow("copy is a folder") << u"folder"_s << copy;
        QTest::newRow("one-character title: the copy path is the store") << u"store"_s << copy;
        QTest::newRow("record empty") << u"empty record"_s << record;
        QTest::newRow("record is a named pipe") << u"fifo"_s << record;
        // Its bytes fit in the address space left, its text (two bytes a character) does not.
        QTest::newRow("record too large to convert") << u"huge record"_s << record;
    }
    void notReadable() {
        QFETCH(QString, kind);
        QFETCH(QString, message);
        const QString name = u"notes.txt"_s;
        QString recordPath = Env::storeRecord(name);
        QString copyPath = Env::storeCopy(name);
        const QByteArray record = opensslRecord("notes", QDateTime::currentDateTime(), name);
        QVERIFY(!record.isEmpty());
        constexpr qint64 hugeSize = qint64(256) << 20;
        if (kind == "fifo"_L1)
            QCOMPARE(::mkfifo(QFile::encodeName(recordPath).constData(), 0644), 0);
        else if (kind == "huge record"_L1) // a sparse file, read as that many bytes
            QVERIFY(QFile(recordPath).open(QIODevice::WriteOnly) && QFile(recordPath).resize(hugeSize));
        else
            QVERIFY(writeFile(recordPath, kind == "empty record"_L1 ? QByteArray() : record));
        if (kind == "empty"_L1 || kind == "empty read-only"_L1)
            QVERIFY(writeFile(copyPath, QByteArray(), kind == "empty"_L1 ? 0644 : 0444));
        else if (kind == "folder"_L1)
            QVERIFY(QDir().mkpath(copyPath));
        else if (kind != "missing"_L1)
            QVERIFY(writeFile(copyPath, "notes"));
        if (kind == "missing"_L1) { // only the store's copy counts, never one beside the picked record
            recordPath = m_env.writeDocument(name + u".p7s"_s, record);
            QVERIFY(writeFile(QFileInfo(recordPath).absolutePath() + u'/' + name, "notes"));
        } else if (kind == "store"_L1) {
            QVERIFY(QFile::rename(recordPath, Env::storeFolder() + u'x'));
            recordPath = Env::storeFolder() + u'x';
            copyPath = Env::storeFolder();
        }
        QStringList entries = Env::storeEntries();
        const mode_t mode = modeOf(copyPath);

        E2eModals modals;
        if (kind == "store"_L1 || kind == "fifo"_L1)
            modals.dialog(u"CD1"_s, typePath(recordPath));
        else
            modals.chooseFile(recordPath);
        modals.message(stop(message));
        if (kind == "huge record"_L1) {
#if defined(__SANITIZE_ADDRESS__) || (defined(__has_feature) && __has_feature(address_sanitizer))
            QSKIP("address-space limits do not suit AddressSanitizer");
#endif
            // Room for the record's bytes and some more, for the command's own run.
            rlimit saved{};
            QCOMPARE(::getrlimit(RLIMIT_AS, &saved), 0);
            rlimit lowered = saved;
            lowered.rlim_cur = rlim_t(addressSpaceUsed() + hugeSize + (qint64(128) << 20));
            QCOMPARE(::setrlimit(RLIMIT_AS, &lowered), 0);
            verify();
            ::setrlimit(RLIMIT_AS, &saved);
        } else {
            verify();
        }
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        if (kind == "empty"_L1)
            QVERIFY(entries.removeOne(name));
        else
            QCOMPARE(modeOf(copyPath), mode);
        QCOMPARE(Env::storeEntries(), entries);
        QVERIFY(!m_form->progressForm()->isVisible());
    }

    // The dialog lists the store's records; cancelling it ends the command with the introduction
    // page in the pane.
    void dialogCancelled() {
        QCOMPARE(m_form->OpenPageAndWait(TSRegForm::localPageUrl(u"ts_Help_Contents.htm"_s)),
                 TSWaitEnd::Loaded);
        E2eModals modals;
        modals.cancelFileDialog([&modals](QWidget* w) {
            auto* dialog = qobject_cast<QFileDialog*>(w);
            modals.expectThat(
                dialog && dialog->windowTitle() == "Select a File to Verify Registration Locally"_L1 &&
                    dialog->nameFilters() == QStringList{u"Registered Files (*.p7s) (*.p7s)"_s} &&
                    dialog->directory().absolutePath() == QDir(Env::storeFolder()).absolutePath(),
                E2eModals::describe(w));
        });
        verify();
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QVERIFY(paneShows(u"ts_intro.htm"_s));
    }

    // A site record goes back to the site with the copy's full path, a fresh fingerprint, the
    // login and the record exactly; the site's reply stays in the pane.
    void siteRecordVerifies() {
        QVERIFY(siteRecordInStore());
        E2eModals modals;
        chooseSiteRecord(modals);
        bool progressShownAtPost = true;
        E2e::onceWhen(
            m_form.get(), [&] { return !verifyRequests("POST").isEmpty(); },
            [&] { progressShownAtPost = m_form->progressForm()->isVisible(); });
        verify();
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QCOMPARE(verifyRequests("GET").size(), 1);
        const QList<TestSiteRequest> posts = verifyRequests("POST");
        QCOMPARE(posts.size(), 1);
        QCOMPARE(posts[0].fields, TestSiteFields({{u"filename"_s, Env::storeCopy(m_siteName)},
                                                  {u"filehash"_s, fingerprintOf(m_siteDocument)},
                                                  {u"user"_s, u"alice"_s},
                                                  {u"pwd"_s, u"secret"_s},
                                                  {u"sig"_s, QString::fromLatin1(m_siteRecord)}}));
        QVERIFY(!progressShownAtPost);
        QCOMPARE(paneUrl(), verifyPage());
        QVERIFY(m_form->ReadReply().value_or(QString()).contains(u"<p id=\"result\">verified</p>"_s));
    }

    // Cancel in the login dialog, or a verify page that cannot be reached or cannot take the form
    // ("ts_noaccess.htm" without a message): the command ends, nothing is posted.
    void siteRecordStops_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("login cancelled") << u"cancel"_s;
        QTest::newRow("connection refused") << u"refused"_s;
        QTest::newRow("form cannot be built") << u"no form"_s;
    }
    void siteRecordStops() {
        QFETCH(QString, how);
        QVERIFY(siteRecordInStore());
        E2eModals modals;
        if (how == "cancel"_L1) {
            modals.chooseFile(Env::storeRecord(m_siteName))
                .dialog(u"TSLogin"_s,
                        [](QWidget* w) { w->findChild<QAbstractButton*>(u"btnCancel"_s)->click(); })
                .message({u"Verification cancelled."_s});
        } else {
            chooseSiteRecord(modals);
        }
        if (how == "refused"_L1)
            qputenv("TESSARO_SITE_ORIGIN", TestSite::refusedOrigin().toUtf8());
        else if (how == "no form"_L1) // an element with the form's id that is not a form
            m_env.site().replyBody(QLatin1String(TestSite::VerifyPath),
                                   u"<html><body><div id='regform'></div></body></html>"_s, u"GET"_s);
        verify();
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QVERIFY(how == "cancel"_L1 ? verifyRequests("").isEmpty() : paneShows(u"ts_noaccess.htm"_s));
        QVERIFY(verifyRequests("POST").isEmpty());
        QVERIFY(!m_form->progressForm()->isVisible());
    }

    // While the command waits for the site, with its progress window, other commands and Help
    // Contents do nothing; Exit ends the command at once, without a message, and then the program.
    void guardThenExit() {
        QVERIFY(siteRecordInStore());
        E2eModals modals;
        chooseSiteRecord(modals);
        m_env.site().neverComplete(QLatin1String(TestSite::VerifyPath), u"GET"_s);
        bool progressShown = false;
        bool stillRunning = false;
        E2e::onceWhen(
            m_form.get(), [&] { return !verifyRequests("GET").isEmpty() && paneUrl() == verifyPage(); },
            [&] {
                const TSProgressForm* progress = m_form->progressForm();
                progressShown = progress->isVisible() && progress->cursor().shape() == Qt::WaitCursor &&
                                progress->windowTitle() == "Verification in Progress"_L1 &&
                                progress->Label1()->text() == "Please wait while your file is verified..."_L1;
                menuItem("mFile_Register")->trigger();
                verify();
                menuItem("mHelp_Contents")->trigger();
                E2e::runFor(300ms);
                stillRunning = m_form->commandRunning() && paneUrl() == verifyPage();
                menuItem("mFile_Exit")->trigger();
            });
        QTimer::singleShot(0, m_form.get(), [&] { verify(); });
        QCOMPARE(E2e::runProgram(), 0);
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QVERIFY(progressShown && stillRunning);
        QVERIFY(!m_form->commandRunning());
        QVERIFY(verifyRequests("POST").isEmpty());
    }
};

int main(int argc, char* argv[]) {
    if (const std::optional<int> code = E2e::RunInProgramCopy(argc, argv))
        return *code;
    Env env(u"one"_s);
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    // Time stamps are shown in the program's locale: a United States one here.
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    TestVerifyE2e test(env);
    return QTest::qExec(&test, argc, argv);
}

#include "test_verify_e2e.moc"
