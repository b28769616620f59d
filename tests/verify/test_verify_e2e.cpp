// View > Registered Files... from end to end: the program copied into a temporary program folder,
// the real browser pane, a real NSS database in a temporary HOME and the registration site.
// Certificate records are made by the register command itself and, independently, with OpenSSL
// by a certificate in no NSS database; site records by the register command's password method.

#include "app/TSProgressForm.h"
#include "app/TSRegForm.h"
#include "certlib/OpensslCms.h"
#include "common/E2eHarness.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
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
#include <sys/stat.h>

namespace {

using namespace std::chrono_literals;

E2eMessage stop(const QString& text) {
    return {text, QMessageBox::Critical, QStringLiteral("Error Message")};
}

// The success message for a time stamp written in a United States locale and a document name.
E2eMessage verified(const QString& timeStamp, const QString& name) {
    return {QStringLiteral("Local registration data verifies successfully. The data at the time of "
                           "registration was:\r\n\r\nLocal Registration Time Stamp: ") +
                timeStamp + QStringLiteral("\r\nLocal Registered File Name: ") + name +
                QStringLiteral("\r\n"),
            QMessageBox::NoIcon, QStringLiteral("Local Registration Data Verified Successfully")};
}

QString fingerprintOf(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex().toUpper());
}

bool writeFile(const QString& path, const QByteArray& bytes, mode_t mode = 0444) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return false;
    file.close();
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

mode_t modeOf(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode : 0;
}

// A certificate record made with OpenSSL in the interoperable layout: SHA-1, the fingerprint as
// UTF-16LE content, the signing time, and the document name as UTF-16LE with its NUL. Empty when
// OpenSSL fails.
QByteArray opensslRecord(const QByteArray& document, const QDateTime& when, const QString& name) {
    QStringEncoder utf16le(QStringConverter::Utf16LE);
    opensslcms::Options options;
    options.content = utf16le.encode(fingerprintOf(document));
    options.digest = QStringLiteral("sha1");
    options.signingTime = when;
    options.nameOctets = QByteArray(utf16le.encode(name)) + QByteArray(2, '\0');
    QString error;
    const QByteArray der = opensslcms::sign(options, &error);
    if (!error.isEmpty())
        qWarning("OpenSSL: %s", qPrintable(error));
    return der.toBase64();
}

// Chooses a file the open-file dialog does not list (no ".p7s" ending, not a regular file) by
// typing its path into the name box, as a user would, and pressing Open.
E2eModals::Answer typePath(const QString& path) {
    return [path](QWidget* w) {
        auto* dialog = qobject_cast<QFileDialog*>(w);
        auto* name = w->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (!dialog || !name) {
            w->close();
            return;
        }
        name->setText(path);
        static_cast<QDialog*>(dialog)->accept(); // protected in QFileDialog
        if (dialog->isVisible())
            dialog->reject();
    };
}

// Fills in the login dialog with the site's user and presses OK.
void login(QWidget* w) {
    w->findChild<QLineEdit*>(QStringLiteral("txtUser"))->setText(QStringLiteral("alice"));
    w->findChild<QLineEdit*>(QStringLiteral("txtPassword"))->setText(QStringLiteral("secret"));
    w->findChild<QAbstractButton*>(QStringLiteral("btnOK"))->click();
}

} // namespace

class TestVerifyE2e : public QObject {
    Q_OBJECT
public:
    explicit TestVerifyE2e(E2eEnvironment& env) : m_env(env) {}

private:
    E2eEnvironment& m_env;
    std::unique_ptr<TSRegForm> m_form;
    // A site record the register command made, and its document, kept for the site tests.
    const QString m_siteName = QStringLiteral("site's \"plan\" & <notes> é.txt");
    QByteArray m_siteRecord;
    QByteArray m_siteDocument;

    QAction* menuItem(const char* name) const { return m_form->findChild<QAction*>(QLatin1String(name)); }
    QUrl paneUrl() const { return m_form->WebBrowser1()->url(); }
    bool paneShows(const QString& page) const {
        return E2e::waitFor([&] { return paneUrl() == TSRegForm::localPageUrl(page); });
    }
    QUrl verifyPage() const { return m_env.site().url(QString::fromLatin1(TestSite::VerifyPath)); }
    QList<TestSiteRequest> verifyRequests(const char* method) const {
        return m_env.site().requests(QString::fromLatin1(TestSite::VerifyPath), QLatin1String(method));
    }

    // Runs View > Registered Files... to its end; an E2eModals made before answers its dialogs.
    void verify() { menuItem("m_View_Registered")->trigger(); }

    // Registers a document with the register command, signing with the user's certificate or
    // with the site's user name and password.
    bool registerDocument(const QString& path, bool certificate) {
        E2eModals modals;
        modals.chooseFile(path).dialog(QStringLiteral("TSSignMethod"), [certificate](QWidget* w) {
            if (certificate) {
                w->findChild<QAbstractButton*>(QStringLiteral("btnOK"))->click();
                return;
            }
            w->findChild<QRadioButton*>(QStringLiteral("optUserPassword"))->click();
            login(w);
        });
        menuItem("mFile_Register")->trigger();
        if (!modals.ok())
            qWarning("%s", qPrintable(modals.report()));
        return modals.ok() && QFile::exists(E2eEnvironment::storeCopy(QFileInfo(path).fileName()));
    }

    // The site record pair in the store, made by the register command at its first use.
    bool siteRecordInStore() {
        if (!m_siteRecord.isEmpty()) {
            return writeFile(E2eEnvironment::storeRecord(m_siteName), m_siteRecord) &&
                   writeFile(E2eEnvironment::storeCopy(m_siteName), m_siteDocument);
        }
        m_siteDocument = "site record document " + QByteArray::number(QDateTime::currentMSecsSinceEpoch());
        if (!registerDocument(m_env.writeDocument(m_siteName, m_siteDocument), false))
            return false;
        m_siteRecord = E2e::fileContent(E2eEnvironment::storeRecord(m_siteName)).value_or(QByteArray());
        return m_siteRecord.startsWith("V.01_");
    }

    // Picks the site record and logs in.
    void chooseSiteRecord(E2eModals& modals) {
        modals.chooseFile(E2eEnvironment::storeRecord(m_siteName)).dialog(QStringLiteral("TSLogin"), login);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(m_env.isValid(), qPrintable(m_env.error()));
        m_env.site().setUser(QStringLiteral("alice"), QStringLiteral("secret"));
    }

    void init() {
        QVERIFY(E2eEnvironment::clearStore());
        QVERIFY(QDir().mkpath(E2eEnvironment::storeFolder()));
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
        const QString name = QStringLiteral("report.doc");
        const QByteArray bytes = "a report " + QByteArray::number(QDateTime::currentMSecsSinceEpoch());
        QVERIFY(registerDocument(m_env.writeDocument(name, bytes), true));
        const QByteArray record = E2e::fileContent(E2eEnvironment::storeRecord(name)).value_or(QByteArray());
        const opensslcms::Parsed parsed = opensslcms::parse(QByteArray::fromBase64(record));
        QVERIFY2(parsed.ok, qPrintable(parsed.error));
        const QString timeStamp =
            QLocale().toString(parsed.signingTimeUtc.toLocalTime(), QStringLiteral("M/d/yyyy h:mm:ss AP"));
        for (const QString& shownAs : {name, QStringLiteral("renamed.txt")}) {
            if (shownAs != name) {
                QVERIFY(
                    QFile::rename(E2eEnvironment::storeRecord(name), E2eEnvironment::storeRecord(shownAs)));
                QVERIFY(QFile::rename(E2eEnvironment::storeCopy(name), E2eEnvironment::storeCopy(shownAs)));
            }
            E2eModals modals;
            modals.chooseFile(E2eEnvironment::storeRecord(shownAs)).message(verified(timeStamp, name));
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
        QTest::newRow("the example time")
            << "plan.doc" << QDateTime(QDate(2005, 3, 14), QTime(9, 15, 23)) << ""
            << "3/14/2005 9:15:23 AM";
        QTest::newRow("non-ASCII, quotes and markup in the name, record picked elsewhere")
            << QString::fromUtf8("Résumé \"final\" <v2> & 'co'.txt")
            << QDateTime(QDate(2049, 12, 31), QTime(23, 59, 59)) << "elsewhere"
            << "12/31/2049 11:59:59 PM";
        QTest::newRow("copy changed by one byte") << "contract.pdf" << now << "copy"
                                                  << "";
        QTest::newRow("Base64 altered") << "contract.pdf" << now << "base64"
                                        << "";
        QTest::newRow("V.01_ inside the record: still a certificate record") << "contract.pdf" << now << "tag"
                                                                             << "";
    }
    void outsideRecord() {
        QFETCH(QString, name);
        QFETCH(QDateTime, when);
        QFETCH(QString, change);
        QFETCH(QString, shown);
        QByteArray document = name.toUtf8();
        QByteArray record = opensslRecord(document, when, name);
        QVERIFY(!record.isEmpty());
        QString picked = E2eEnvironment::storeRecord(name);
        if (change == QLatin1String("elsewhere"))
            picked = m_env.writeDocument(name + QStringLiteral(".p7s"), record);
        else if (change == QLatin1String("copy"))
            document[7] = document[7] ^ 0x01;
        else if (change == QLatin1String("base64")) // a character of the signature value near the end
            record[record.size() - 40] = record[record.size() - 40] == 'A' ? 'B' : 'A';
        else if (change == QLatin1String("tag"))
            record.insert(record.size() / 2, "V.01_");
        QVERIFY(writeFile(E2eEnvironment::storeRecord(name), record));
        QVERIFY(writeFile(E2eEnvironment::storeCopy(name), document));

        E2eModals modals;
        modals.chooseFile(picked);
        if (change == QLatin1String("base64") || change == QLatin1String("tag")) {
            // The error's number in signed decimal, ":" and its description; no icon, the program's title.
            modals.dialog(QString(), [&modals](QWidget* w) {
                static const QRegularExpression form(QStringLiteral("^-?[0-9]+:\\S"));
                auto* box = qobject_cast<QMessageBox*>(w);
                modals.expectThat(box && box->icon() == QMessageBox::NoIcon &&
                                      box->windowTitle() == QLatin1String("Tessaro") &&
                                      form.match(box->text()).hasMatch(),
                                  QStringLiteral("library error: ") + E2eModals::describe(w));
                w->close();
            });
        }
        modals.message(shown.isEmpty() ? stop(QStringLiteral("Local registration data does not verify. The "
                                                             "file data in the local database has changed."))
                                       : verified(shown, name));
        verify();
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
    }

    // A copy or record that cannot be read. Of the copies only an empty file that is not marked
    // read-only is removed; everything else in the store stays as it was.
    void notReadable_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("removed");
        const QString copy = QStringLiteral("The document file cannot be read.");
        const QString record = QStringLiteral("The file cannot be read.");
        QTest::newRow("copy missing, record picked elsewhere beside one") << "missing" << copy << false;
        QTest::newRow("copy empty") << "empty" << copy << true;
        QTest::newRow("copy empty and read-only") << "empty read-only" << copy << false;
        QTest::newRow("copy is a folder") << "folder" << copy << false;
        QTest::newRow("one-character title: the copy path is the store") << "store" << copy << false;
        QTest::newRow("record empty") << "empty record" << record << false;
        QTest::newRow("record is a named pipe") << "fifo" << record << false;
    }
    void notReadable() {
        QFETCH(QString, kind);
        QFETCH(QString, message);
        QFETCH(bool, removed);
        const QString name = QStringLiteral("notes.txt");
        QString recordPath = E2eEnvironment::storeRecord(name);
        QString copyPath = E2eEnvironment::storeCopy(name);
        const QByteArray record = opensslRecord("notes", QDateTime::currentDateTime(), name);
        QVERIFY(!record.isEmpty());
        if (kind == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(recordPath).constData(), 0644), 0);
        else
            QVERIFY(writeFile(recordPath, kind == QLatin1String("empty record") ? QByteArray() : record));
        if (kind == QLatin1String("empty") || kind == QLatin1String("empty read-only"))
            QVERIFY(writeFile(copyPath, QByteArray(), kind == QLatin1String("empty") ? 0644 : 0444));
        else if (kind == QLatin1String("folder"))
            QVERIFY(QDir().mkpath(copyPath));
        else if (kind != QLatin1String("missing"))
            QVERIFY(writeFile(copyPath, "notes"));
        if (kind == QLatin1String("missing")) {
            // Only the store's copy counts, never one beside the picked record.
            recordPath = m_env.writeDocument(name + QStringLiteral(".p7s"), record);
            QVERIFY(writeFile(QFileInfo(recordPath).absolutePath() + QLatin1Char('/') + name, "notes"));
        } else if (kind == QLatin1String("store")) {
            recordPath = E2eEnvironment::storeFolder() + QStringLiteral("x");
            QVERIFY(QFile::rename(E2eEnvironment::storeRecord(name), recordPath));
            copyPath = E2eEnvironment::storeFolder();
        }
        QStringList entries = E2eEnvironment::storeEntries();
        const mode_t mode = modeOf(copyPath);

        E2eModals modals;
        if (kind == QLatin1String("store") || kind == QLatin1String("fifo"))
            modals.dialog(QStringLiteral("CD1"), typePath(recordPath));
        else
            modals.chooseFile(recordPath);
        modals.message(stop(message));
        verify();
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        if (removed)
            entries.removeOne(name);
        QCOMPARE(E2eEnvironment::storeEntries(), entries);
        if (!removed)
            QCOMPARE(modeOf(copyPath), mode);
        QVERIFY(!m_form->progressForm()->isVisible());
    }

    // The dialog lists the store's records; cancelling it ends the command with the introduction
    // page in the pane.
    void dialogCancelled() {
        QCOMPARE(m_form->OpenPageAndWait(TSRegForm::localPageUrl(QStringLiteral("ts_Help_Contents.htm"))),
                 TSWaitEnd::Loaded);
        E2eModals modals;
        modals.cancelFileDialog([&modals](QWidget* w) {
            auto* dialog = qobject_cast<QFileDialog*>(w);
            modals.expectThat(
                dialog &&
                    dialog->windowTitle() == QLatin1String("Select a File to Verify Registration Locally") &&
                    dialog->nameFilters() ==
                        QStringList{QStringLiteral("Registered Files (*.p7s) (*.p7s)")} &&
                    dialog->directory().absolutePath() == QDir(E2eEnvironment::storeFolder()).absolutePath(),
                E2eModals::describe(w));
        });
        verify();
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QVERIFY(paneShows(QStringLiteral("ts_intro.htm")));
    }

    // A site record goes back to the site with the copy's full path, a fresh fingerprint, the
    // login and the record exactly; the site's reply stays in the pane.
    void siteRecordVerifies() {
        QVERIFY(siteRecordInStore());
        bool progressShownAtPost = true;
        E2e::onceWhen(
            m_form.get(), [&] { return !verifyRequests("POST").isEmpty(); },
            [&] { progressShownAtPost = m_form->progressForm()->isVisible(); });
        E2eModals modals;
        chooseSiteRecord(modals);
        verify();
        QVERIFY2(modals.ok(), qPrintable(modals.report()));

        QCOMPARE(verifyRequests("GET").size(), 1);
        const QList<TestSiteRequest> posts = verifyRequests("POST");
        QCOMPARE(posts.size(), 1);
        const TestSiteFields expected{
            {QStringLiteral("filename"), E2eEnvironment::storeCopy(m_siteName)},
            {QStringLiteral("filehash"), fingerprintOf(m_siteDocument)},
            {QStringLiteral("user"), QStringLiteral("alice")},
            {QStringLiteral("pwd"), QStringLiteral("secret")},
            {QStringLiteral("sig"), QString::fromLatin1(m_siteRecord)},
        };
        QCOMPARE(posts[0].fields, expected);
        QVERIFY(!progressShownAtPost);
        QCOMPARE(paneUrl(), verifyPage());
        const std::optional<QString> reply = m_form->ReadReply();
        QVERIFY(reply && reply->contains(QStringLiteral("<p id=\"result\">verified</p>")));
    }

    // Cancel in the login dialog, or a verify page that cannot be reached or cannot take the form:
    // the command ends, nothing is posted.
    void siteRecordStops_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("login cancelled") << "cancel";
        QTest::newRow("connection refused") << "refused";
        QTest::newRow("form cannot be built") << "no form";
    }
    void siteRecordStops() {
        QFETCH(QString, how);
        QVERIFY(siteRecordInStore());
        E2eModals modals;
        if (how == QLatin1String("cancel")) {
            modals.chooseFile(E2eEnvironment::storeRecord(m_siteName))
                .dialog(
                    QStringLiteral("TSLogin"),
                    [](QWidget* w) { w->findChild<QAbstractButton*>(QStringLiteral("btnCancel"))->click(); })
                .message({QStringLiteral("Verification cancelled."), QMessageBox::NoIcon,
                          QStringLiteral("Tessaro")});
        } else {
            chooseSiteRecord(modals);
        }
        if (how == QLatin1String("refused"))
            qputenv("TESSARO_SITE_ORIGIN", TestSite::refusedOrigin().toUtf8());
        else if (how == QLatin1String("no form")) // an element with the form's id that is not a form
            m_env.site().replyBody(QString::fromLatin1(TestSite::VerifyPath),
                                   QStringLiteral("<html><body><div id='regform'></div></body></html>"),
                                   QStringLiteral("GET"));
        verify();
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        if (how == QLatin1String("cancel"))
            QVERIFY(verifyRequests("").isEmpty());
        else // "ts_noaccess.htm", without a message
            QVERIFY(paneShows(QStringLiteral("ts_noaccess.htm")));
        QVERIFY(verifyRequests("POST").isEmpty());
        QVERIFY(!m_form->progressForm()->isVisible());
    }

    // While the command waits for the site, with its progress window, other commands and Help
    // Contents do nothing; Exit ends the command at once, without a message, and then the program.
    void guardThenExit() {
        QVERIFY(siteRecordInStore());
        m_env.site().neverComplete(QString::fromLatin1(TestSite::VerifyPath), QStringLiteral("GET"));
        E2eModals modals;
        chooseSiteRecord(modals);
        bool progressShown = false;
        bool stillRunning = false;
        E2e::onceWhen(
            m_form.get(), [&] { return !verifyRequests("GET").isEmpty() && paneUrl() == verifyPage(); },
            [&] {
                const TSProgressForm* progress = m_form->progressForm();
                progressShown =
                    progress->isVisible() && progress->cursor().shape() == Qt::WaitCursor &&
                    progress->windowTitle() == QLatin1String("Verification in Progress") &&
                    progress->Label1()->text() == QLatin1String("Please wait while your file is verified...");
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
        QVERIFY(progressShown);
        QVERIFY(stillRunning);
        QVERIFY(!m_form->commandRunning());
        QVERIFY(verifyRequests("POST").isEmpty());
    }
};

int main(int argc, char* argv[]) {
    if (const std::optional<int> code = E2e::RunInProgramCopy(argc, argv))
        return *code;
    E2eEnvironment env(QStringLiteral("one"));
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    // Time stamps are shown in the program's locale: a United States one here.
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    TestVerifyE2e test(env);
    return QTest::qExec(&test, argc, argv);
}

#include "test_verify_e2e.moc"
