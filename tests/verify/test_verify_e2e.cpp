// View > Registered Files... from end to end: the program copied into a temporary program folder,
// the real browser pane, a real NSS database in a temporary HOME and the registration site.
// Certificate records are made by the register command itself and, independently, with OpenSSL
// by a certificate in no NSS database; site records are made by the register command with the
// user-name-and-password method.

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
#include <QTest>
#include <QWebEngineView>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

const QString kDoesNotVerify = QStringLiteral(
    "Local registration data does not verify. The file data in the local database has changed.");

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

// A local date and time as a United States locale writes it in the general date format.
QString usTimeStamp(const QDateTime& when) {
    return QLocale(QLocale::English, QLocale::UnitedStates)
        .toString(when.toLocalTime(), QStringLiteral("M/d/yyyy h:mm:ss AP"));
}

QByteArray utf16le(const QString& text) {
    QByteArray out;
    for (QChar c : text) {
        out.append(char(c.unicode() & 0xFF));
        out.append(char(c.unicode() >> 8));
    }
    return out;
}

QString fingerprintOf(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex().toUpper());
}

QByteArray encoded(const QString& path) {
    return QFile::encodeName(path);
}

bool writeFile(const QString& path, const QByteArray& bytes, mode_t mode = 0444) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return false;
    file.close();
    return ::chmod(encoded(path).constData(), mode) == 0;
}

mode_t modeOf(const QString& path) {
    struct stat st {};
    return ::lstat(encoded(path).constData(), &st) == 0 ? st.st_mode : 0;
}

// A certificate record made with OpenSSL in the interoperable layout: SHA-1, the fingerprint as
// UTF-16LE content, the signing time, and the document name as UTF-16LE with its NUL.
QString opensslRecord(const QByteArray& document, const QDateTime& when, const QString& name,
                      QString* error) {
    opensslcms::Options options;
    options.content = utf16le(fingerprintOf(document));
    options.digest = QStringLiteral("sha1");
    options.signingTime = when;
    options.nameOctets = utf16le(name) + QByteArray(2, '\0');
    const QByteArray der = opensslcms::sign(options, error);
    return QString::fromLatin1(der.toBase64());
}

// The store's record and copy of a document, written as the program writes them (read-only).
bool writePair(const QString& name, const QString& record, const QByteArray& document) {
    QDir().mkpath(E2eEnvironment::storeFolder());
    return writeFile(E2eEnvironment::storeRecord(name), record.toLatin1()) &&
           writeFile(E2eEnvironment::storeCopy(name), document);
}

// Reads a message box's text, icon and title into `seen`, then presses OK.
E2eModals::Answer capture(QString* seen) {
    return [seen](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (!box) {
            w->close();
            return;
        }
        *seen = QStringLiteral("%1|%2|%3").arg(int(box->icon())).arg(box->windowTitle(), box->text());
        box->button(QMessageBox::Ok)->click();
    };
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

// Fills in the login dialog and presses OK.
E2eModals::Answer login(const QString& user, const QString& password) {
    return [user, password](QWidget* w) {
        w->findChild<QLineEdit*>(QStringLiteral("txtUser"))->setText(user);
        w->findChild<QLineEdit*>(QStringLiteral("txtPassword"))->setText(password);
        w->findChild<QAbstractButton*>(QStringLiteral("btnOK"))->click();
    };
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
    QString m_siteName;
    QByteArray m_siteRecord;
    QByteArray m_siteDocument;

    QAction* menuItem(const char* name) const { return m_form->findChild<QAction*>(QLatin1String(name)); }
    QUrl paneUrl() const { return m_form->WebBrowser1()->url(); }
    bool paneShows(const QString& page) const {
        return E2e::waitFor([&] { return paneUrl() == TSRegForm::localPageUrl(page); });
    }
    QString siteUrl(const char* path) const { return m_env.site().origin() + QLatin1String(path); }

    // Runs View > Registered Files... to its end; an E2eModals made before answers its dialogs.
    void verify() { menuItem("m_View_Registered")->trigger(); }

    // Registers a document with the register command, signing with the user's certificate or
    // with the site's user name and password.
    bool registerDocument(const QString& path, bool certificate) {
        E2eModals modals;
        modals.chooseFile(path).dialog(QStringLiteral("TSSignMethod"), [certificate](QWidget* w) {
            if (!certificate) {
                w->findChild<QRadioButton*>(QStringLiteral("optUserPassword"))->click();
                w->findChild<QLineEdit*>(QStringLiteral("txtUser"))->setText(QStringLiteral("alice"));
                w->findChild<QLineEdit*>(QStringLiteral("txtPassword"))->setText(QStringLiteral("secret"));
            }
            w->findChild<QAbstractButton*>(QStringLiteral("btnOK"))->click();
        });
        menuItem("mFile_Register")->trigger();
        if (!modals.ok())
            qWarning("%s", qPrintable(modals.report()));
        const QString name = QFileInfo(path).fileName();
        return modals.ok() && QFile::exists(E2eEnvironment::storeRecord(name)) &&
               QFile::exists(E2eEnvironment::storeCopy(name));
    }

    // The site record pair in the store, made by the register command at its first use.
    bool siteRecordInStore() {
        if (m_siteRecord.isEmpty()) {
            m_siteName = QStringLiteral("site's \"plan\" & <notes> é.txt");
            m_siteDocument =
                "site record document " + QByteArray::number(QDateTime::currentMSecsSinceEpoch());
            if (!registerDocument(m_env.writeDocument(m_siteName, m_siteDocument), false))
                return false;
            m_siteRecord = E2e::fileContent(E2eEnvironment::storeRecord(m_siteName)).value_or(QByteArray());
            return m_siteRecord.startsWith("V.01_");
        }
        return writePair(m_siteName, QString::fromLatin1(m_siteRecord), m_siteDocument);
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
        const QByteArray bytes =
            "a registered report " + QByteArray::number(QDateTime::currentMSecsSinceEpoch());
        QVERIFY(registerDocument(m_env.writeDocument(name, bytes), true));
        const QByteArray record = E2e::fileContent(E2eEnvironment::storeRecord(name)).value_or(QByteArray());
        const opensslcms::Parsed parsed = opensslcms::parse(QByteArray::fromBase64(record));
        QVERIFY2(parsed.ok, qPrintable(parsed.error));
        const QString timeStamp = usTimeStamp(parsed.signingTimeUtc);

        {
            E2eModals modals;
            modals.chooseFile(E2eEnvironment::storeRecord(name)).message(verified(timeStamp, name));
            verify();
            QVERIFY2(modals.ok(), qPrintable(modals.report()));
        }

        // The store's folder is writable: the pair can be renamed as it is.
        const QString renamed = QStringLiteral("renamed.txt");
        QVERIFY(QFile::rename(E2eEnvironment::storeRecord(name), E2eEnvironment::storeRecord(renamed)));
        QVERIFY(QFile::rename(E2eEnvironment::storeCopy(name), E2eEnvironment::storeCopy(renamed)));
        E2eModals modals;
        modals.chooseFile(E2eEnvironment::storeRecord(renamed)).message(verified(timeStamp, name));
        verify();
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
    }

    // Records made outside the program, by a certificate the user's database does not hold.
    void opensslRecordVerifies_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QDateTime>("when");
        QTest::addColumn<QString>("shown");
        QTest::newRow("the example time")
            << "plan.doc" << QByteArray("plan") << QDateTime(QDate(2005, 3, 14), QTime(9, 15, 23))
            << "3/14/2005 9:15:23 AM";
        QTest::newRow("afternoon, one-byte copy, two extensions")
            << "data.tar.gz" << QByteArray(1, '\0') << QDateTime(QDate(2019, 11, 2), QTime(16, 5, 0))
            << "11/2/2019 4:05:00 PM";
        QTest::newRow("non-ASCII, quotes and markup in the name")
            << QString::fromUtf8("Résumé \"final\" <v2> & 'co'.txt") << QByteArray("r\xc3\xa9sum\xc3\xa9")
            << QDateTime(QDate(2049, 12, 31), QTime(23, 59, 59)) << "12/31/2049 11:59:59 PM";
    }
    void opensslRecordVerifies() {
        QFETCH(QString, name);
        QFETCH(QByteArray, document);
        QFETCH(QDateTime, when);
        QFETCH(QString, shown);
        QString error;
        const QString record = opensslRecord(document, when, name, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QVERIFY(writePair(name, record, document));
        E2eModals modals;
        modals.chooseFile(E2eEnvironment::storeRecord(name)).message(verified(shown, name));
        verify();
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
    }

    // A changed copy is told once; a damaged record first with the library's error.
    void doesNotVerify_data() {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("libraryError");
        QTest::newRow("copy changed by one byte") << "copy" << false;
        QTest::newRow("Base64 altered") << "base64" << true;
        QTest::newRow("record cut short") << "cut" << true;
        QTest::newRow("V.01_ inside the record") << "tag" << true;
    }
    void doesNotVerify() {
        QFETCH(QString, change);
        QFETCH(bool, libraryError);
        const QString name = QStringLiteral("contract.pdf");
        QByteArray document = "the contract, signed and sealed";
        QString error;
        QString record = opensslRecord(document, QDateTime::currentDateTime(), name, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        if (change == QLatin1String("copy")) {
            document[7] = document[7] ^ 0x01;
        } else if (change == QLatin1String("base64")) {
            // A character of the signature value near the end.
            const qsizetype at = record.size() - 40;
            record[at] = record[at] == u'A' ? u'B' : u'A';
        } else if (change == QLatin1String("cut")) {
            record.chop(record.size() / 2);
        } else {
            record.insert(record.size() / 2, QStringLiteral("V.01_"));
        }
        QVERIFY(writePair(name, record, document));

        QString libraryMessage;
        E2eModals modals;
        modals.chooseFile(E2eEnvironment::storeRecord(name));
        if (libraryError)
            modals.dialog(QString(), capture(&libraryMessage));
        modals.message(stop(kDoesNotVerify));
        verify();
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        if (libraryError) {
            // The error's number in signed decimal, ":" and its description; no icon, the program's title.
            static const QRegularExpression form(QStringLiteral("^0\\|Tessaro\\|-?[0-9]+:\\S.*$"),
                                                 QRegularExpression::DotMatchesEverythingOption);
            QVERIFY2(form.match(libraryMessage).hasMatch(), qPrintable(libraryMessage));
        }
    }

    // A copy that cannot be read: only an empty file that is not marked read-only is removed.
    void copyNotReadable_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("removed");
        QTest::newRow("missing") << "missing" << false;
        QTest::newRow("empty") << "empty" << true;
        QTest::newRow("empty and read-only") << "empty read-only" << false;
        QTest::newRow("a folder") << "folder" << false;
        QTest::newRow("one-character title: the store folder") << "store" << false;
    }
    void copyNotReadable() {
        QFETCH(QString, kind);
        QFETCH(bool, removed);
        QString name = QStringLiteral("notes.txt");
        QString error;
        const QString record = opensslRecord("notes", QDateTime::currentDateTime(), name, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QString recordPath = E2eEnvironment::storeRecord(name);
        QString copyPath = E2eEnvironment::storeCopy(name);
        QVERIFY(writeFile(recordPath, record.toLatin1()));
        if (kind == QLatin1String("empty"))
            QVERIFY(writeFile(copyPath, QByteArray(), 0644));
        else if (kind == QLatin1String("empty read-only"))
            QVERIFY(writeFile(copyPath, QByteArray(), 0444));
        else if (kind == QLatin1String("folder"))
            QVERIFY(QDir().mkpath(copyPath));
        else if (kind == QLatin1String("store")) {
            // A record named by one character: its copy path is the store folder itself.
            recordPath = E2eEnvironment::storeFolder() + QStringLiteral("x");
            QVERIFY(QFile::rename(E2eEnvironment::storeRecord(name), recordPath));
            copyPath = E2eEnvironment::storeFolder();
        }
        const bool present = QFileInfo::exists(copyPath);
        const mode_t mode = modeOf(copyPath);

        E2eModals modals;
        if (kind == QLatin1String("store"))
            modals.dialog(QStringLiteral("CD1"), typePath(recordPath));
        else
            modals.chooseFile(recordPath);
        modals.message(stop(QStringLiteral("The document file cannot be read.")));
        verify();
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QCOMPARE(QFileInfo::exists(copyPath), present && !removed);
        if (present && !removed)
            QCOMPARE(modeOf(copyPath), mode);
        QVERIFY(QFile::exists(recordPath));
        QVERIFY(!m_form->progressForm()->isVisible());
    }

    void recordNotReadable_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("empty") << "empty";
        QTest::newRow("not a regular file") << "fifo";
    }
    void recordNotReadable() {
        QFETCH(QString, kind);
        const QString name = QStringLiteral("memo.txt");
        const QString recordPath = E2eEnvironment::storeRecord(name);
        QVERIFY(writeFile(E2eEnvironment::storeCopy(name), "memo"));
        if (kind == QLatin1String("empty"))
            QVERIFY(writeFile(recordPath, QByteArray()));
        else
            QCOMPARE(::mkfifo(encoded(recordPath).constData(), 0644), 0);
        const QStringList before = E2eEnvironment::storeEntries();

        E2eModals modals;
        if (kind == QLatin1String("fifo"))
            modals.dialog(QStringLiteral("CD1"), typePath(recordPath));
        else
            modals.chooseFile(recordPath);
        modals.message(stop(QStringLiteral("The file cannot be read.")));
        verify();
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QCOMPARE(E2eEnvironment::storeEntries(), before);
    }

    // A record picked in another folder is paired with the copy in the store, never with one
    // beside it.
    void recordOutsideStore() {
        const QString name = QStringLiteral("letter.odt");
        const QByteArray document = "dear sir";
        const QDateTime when(QDate(2011, 6, 1), QTime(8, 0, 1));
        QString error;
        const QString record = opensslRecord(document, when, name, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QVERIFY(writePair(name, record, document));
        const QString elsewhere = m_env.writeDocument(name + QStringLiteral(".p7s"), record.toLatin1());
        QVERIFY(!elsewhere.isEmpty());
        {
            E2eModals modals;
            modals.chooseFile(elsewhere).message(verified(QStringLiteral("6/1/2011 8:00:01 AM"), name));
            verify();
            QVERIFY2(modals.ok(), qPrintable(modals.report()));
        }
        // Without the store's copy, a copy beside the picked record does not count.
        QVERIFY(QFile::remove(E2eEnvironment::storeCopy(name)));
        QVERIFY(writeFile(QFileInfo(elsewhere).absolutePath() + QLatin1Char('/') + name, document));
        E2eModals modals;
        modals.chooseFile(elsewhere).message(stop(QStringLiteral("The document file cannot be read.")));
        verify();
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
    }

    // The dialog lists the store's records; cancelling it ends the command with the introduction
    // page in the pane.
    void dialogCancelled() {
        QCOMPARE(m_form->OpenPageAndWait(TSRegForm::localPageUrl(QStringLiteral("ts_Help_Contents.htm"))),
                 TSWaitEnd::Loaded);
        E2eModals modals;
        modals.cancelFileDialog([&modals](QWidget* w) {
            auto* dialog = qobject_cast<QFileDialog*>(w);
            modals.expectThat(dialog && dialog->windowTitle() ==
                                            QLatin1String("Select a File to Verify Registration Locally"),
                              QStringLiteral("title"));
            modals.expectThat(dialog && dialog->nameFilters() ==
                                            QStringList{QStringLiteral("Registered Files (*.p7s) (*.p7s)")},
                              QStringLiteral("filter"));
            QString store = E2eEnvironment::storeFolder();
            store.chop(1);
            modals.expectThat(dialog && dialog->directory().absolutePath() == store,
                              QStringLiteral("folder"));
            modals.expectThat(dialog && dialog->fileMode() == QFileDialog::ExistingFile,
                              QStringLiteral("mode"));
        });
        verify();
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QVERIFY(paneShows(QStringLiteral("ts_intro.htm")));
    }

    // A site record goes back to the site with the copy's full path, a fresh fingerprint, the
    // login and the record exactly; the site's reply stays in the pane.
    void siteRecordVerifies() {
        QVERIFY(siteRecordInStore());
        m_env.site().clearRequests();
        bool progressShownAtPost = true;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            if (!m_env.site()
                     .requests(QString::fromLatin1(TestSite::VerifyPath), QStringLiteral("POST"))
                     .isEmpty()) {
                progressShownAtPost = m_form->progressForm()->isVisible();
                watch.stop();
            }
        });
        watch.start(5);
        E2eModals modals;
        modals.chooseFile(E2eEnvironment::storeRecord(m_siteName))
            .dialog(QStringLiteral("TSLogin"), login(QStringLiteral("alice"), QStringLiteral("secret")));
        verify();
        QVERIFY2(modals.ok(), qPrintable(modals.report()));

        const QList<TestSiteRequest> gets =
            m_env.site().requests(QString::fromLatin1(TestSite::VerifyPath), QStringLiteral("GET"));
        const QList<TestSiteRequest> posts =
            m_env.site().requests(QString::fromLatin1(TestSite::VerifyPath), QStringLiteral("POST"));
        QCOMPARE(gets.size(), 1);
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
        QCOMPARE(paneUrl(), QUrl(siteUrl(TestSite::VerifyPath)));
        const std::optional<QString> reply = m_form->ReadReply();
        QVERIFY(reply && reply->contains(QStringLiteral("<p id=\"result\">verified</p>")));
    }

    // The site's refusal is its reply, left in the pane without a message.
    void siteRefusal() {
        QVERIFY(siteRecordInStore());
        E2eModals modals;
        modals.chooseFile(E2eEnvironment::storeRecord(m_siteName))
            .dialog(QStringLiteral("TSLogin"), login(QStringLiteral("alice"), QStringLiteral("wrong")));
        verify();
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        const std::optional<QString> reply = m_form->ReadReply();
        QVERIFY(reply && reply->contains(QStringLiteral("error:dberror-rs-users")));
    }

    void loginCancelled() {
        QVERIFY(siteRecordInStore());
        m_env.site().clearRequests();
        E2eModals modals;
        modals.chooseFile(E2eEnvironment::storeRecord(m_siteName))
            .dialog(QStringLiteral("TSLogin"),
                    [](QWidget* w) { w->findChild<QAbstractButton*>(QStringLiteral("btnCancel"))->click(); })
            .message(
                {QStringLiteral("Verification cancelled."), QMessageBox::NoIcon, QStringLiteral("Tessaro")});
        verify();
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QVERIFY(m_env.site().requests(QString::fromLatin1(TestSite::VerifyPath)).isEmpty());
    }

    // The verify page cannot be reached, or the form cannot be put on it: "ts_noaccess.htm"
    // without a message, and nothing posted.
    void siteUnreachable_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("connection refused") << "refused";
        QTest::newRow("verify page missing") << "404";
        QTest::newRow("form cannot be built") << "no form";
    }
    void siteUnreachable() {
        QFETCH(QString, how);
        QVERIFY(siteRecordInStore());
        m_env.site().clearRequests();
        const QString path = QString::fromLatin1(TestSite::VerifyPath);
        if (how == QLatin1String("refused"))
            qputenv("TESSARO_SITE_ORIGIN", TestSite::refusedOrigin().toUtf8());
        else if (how == QLatin1String("404"))
            m_env.site().replyStatus(path, 404, QStringLiteral("GET"));
        else // an element with the form's id that is not a form
            m_env.site().replyBody(path, QStringLiteral("<html><body><div id='regform'></div></body></html>"),
                                   QStringLiteral("GET"));
        E2eModals modals;
        modals.chooseFile(E2eEnvironment::storeRecord(m_siteName))
            .dialog(QStringLiteral("TSLogin"), login(QStringLiteral("alice"), QStringLiteral("secret")));
        verify();
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QVERIFY(paneShows(QStringLiteral("ts_noaccess.htm")));
        QVERIFY(m_env.site().requests(path, QStringLiteral("POST")).isEmpty());
        QVERIFY(!m_form->progressForm()->isVisible());
    }

    // While the command waits for the site, other commands and Help Contents do nothing; Exit
    // ends the command at once, without a message, and then the program.
    void guardThenExit() {
        QVERIFY(siteRecordInStore());
        const QString path = QString::fromLatin1(TestSite::VerifyPath);
        m_env.site().neverComplete(path, QStringLiteral("GET"));
        m_env.site().clearRequests();
        E2eModals modals;
        modals.chooseFile(E2eEnvironment::storeRecord(m_siteName))
            .dialog(QStringLiteral("TSLogin"), login(QStringLiteral("alice"), QStringLiteral("secret")));
        QTimer::singleShot(0, m_form.get(), [&] { menuItem("m_View_Registered")->trigger(); });
        QUrl urlDuringWait;
        bool stillRunning = false;
        bool progressDuringWait = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, m_form.get(), [&] {
            if (m_env.site().requests(path, QStringLiteral("GET")).isEmpty() ||
                paneUrl() != QUrl(siteUrl(TestSite::VerifyPath)))
                return;
            poll.stop();
            urlDuringWait = paneUrl();
            const TSProgressForm* progress = m_form->progressForm();
            progressDuringWait =
                progress->isVisible() && progress->cursor().shape() == Qt::WaitCursor &&
                progress->windowTitle() == QLatin1String("Verification in Progress") &&
                progress->Label1()->text() == QLatin1String("Please wait while your file is verified...");
            menuItem("mFile_Register")->trigger();
            menuItem("m_View_Registered")->trigger();
            menuItem("mHelp_Contents")->trigger();
            E2e::runFor(300ms);
            stillRunning = m_form->commandRunning() && paneUrl() == urlDuringWait;
            menuItem("mFile_Exit")->trigger();
        });
        poll.start(20);
        QCOMPARE(E2e::runProgram(), 0);
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QVERIFY(stillRunning);
        QVERIFY(progressDuringWait);
        QCOMPARE(urlDuringWait, QUrl(siteUrl(TestSite::VerifyPath)));
        QVERIFY(!m_form->commandRunning());
        QVERIFY(m_env.site().requests(path, QStringLiteral("POST")).isEmpty());
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
