// File > Register end to end: the program's main window with the real Qt WebEngine pane, run from
// a copy in a temporary program folder, a real NSS database in a temporary HOME, and the
// registration site on 127.0.0.1. The user's part (the open-file dialog, the sign-method dialog,
// the message boxes) is played through the application's modal widgets.

#include "app/TSProgressForm.h"
#include "app/TSRegForm.h"
#include "common/E2eHarness.h"
#include "platform/CertLibrary.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QUuid>
#include <QWebEngineView>

#include <memory>
#include <sys/stat.h>

namespace {

using namespace std::chrono_literals;

const QString kUser = QStringLiteral("alice");
const QString kPassword = QStringLiteral(" open sesame ");
const QString kSignMethod = QStringLiteral("TSSignMethod");
const QString kLogin = QString::fromLatin1(TestSite::LoginPath);
const QString kCertPost = QString::fromLatin1(TestSite::CertRegisterPath);
const QString kUserPost = QString::fromLatin1(TestSite::UserRegisterPath);
const QString kGet = QStringLiteral("GET");
const QString kPost = QStringLiteral("POST");

const QString kCrypto = QStringLiteral("The cryptographic functions on your computer are not available. Try "
                                       "reinstalling this application and/or Internet Explorer.");
const QString kNoCertificate = QStringLiteral(
    "You do not have a digital certificate available to digitally sign and register your file. "
    "You must obtain an acceptable digital certificate before you may register your file.");
const QString kLocalCopy = QStringLiteral(
    "Your file was registered successfully with the Tessaro Server but a local copy could not be "
    "written due to a file system error. Contact technical support for further assistance.");
const QString kKept =
    QStringLiteral("The existing registration data was kept. Nothing was sent to the registration site.");
const QString kRecreate = QStringLiteral(
    "This file already exists in the local registration database and the registration data for this file has "
    "previously been created. Click 'Yes' to re-create the registration data using today's date which will "
    "replace the previous data and overwrite the file in the registration database (not recommended). Choose "
    "'No' to use the existing data (recommended).");
const QString kCancelled = QStringLiteral("Registration cancelled.");

E2eMessage stop(const QString& text) {
    return {text, QMessageBox::Critical, QStringLiteral("Error Message")};
}

// The registration server's error message around the reply code's own sentence.
E2eMessage serverError(const QString& sentence) {
    return stop(QStringLiteral("The registration server reported an error. Your file was not registered. ") +
                sentence + QStringLiteral("Please contact technical support for further assistance."));
}

E2eMessage recreateQuestion() {
    return {kRecreate, QMessageBox::Warning, QStringLiteral("Error Message"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No};
}

QString fingerprintOf(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex().toUpper());
}

void click(QWidget* w, const char* name) {
    w->findChild<QAbstractButton*>(QLatin1String(name))->click();
}

// The sign-method dialog's answers.
void byCertificate(QWidget* w) {
    click(w, "optCertificate");
    click(w, "btnOK");
}

E2eModals::Answer byPassword(const QString& password = kPassword) {
    return [password](QWidget* w) {
        click(w, "optUserPassword");
        w->findChild<QLineEdit*>(QStringLiteral("txtUser"))->setText(kUser);
        w->findChild<QLineEdit*>(QStringLiteral("txtPassword"))->setText(password);
        click(w, "btnOK");
    };
}

// Every file of the store (hidden ones too) with its permission bits and a digest of its bytes.
QStringList storeState() {
    QStringList state;
    for (const QString& name : E2eEnvironment::storeEntries()) {
        const QString path = E2eEnvironment::storeFolder() + name;
        struct stat st {};
        ::lstat(QFile::encodeName(path).constData(), &st);
        state << QStringLiteral("%1 %2 %3")
                     .arg(name)
                     .arg(st.st_mode, 0, 8)
                     .arg(fingerprintOf(E2e::fileContent(path).value_or("<unreadable>")));
    }
    return state;
}

} // namespace

class TestRegisterE2e : public QObject {
    Q_OBJECT
public:
    explicit TestRegisterE2e(E2eEnvironment& env) : m_env(env) {}

private:
    E2eEnvironment& m_env;
    std::unique_ptr<TSRegForm> m_form;
    int m_serial = 0;

    TestSite& site() { return m_env.site(); }

    // Document bytes no registration has used: the site refuses a fingerprint it has seen.
    QByteArray freshBytes(qsizetype size = 0) {
        const QByteArray bytes =
            QStringLiteral("Document %1 %2\n").arg(++m_serial).arg(QUuid::createUuid().toString()).toUtf8();
        return size > 0 ? bytes.leftJustified(size, '.', true) : bytes;
    }

    void trigger(const char* item) { m_form->findChild<QAction*>(QLatin1String(item))->trigger(); }

    // Runs File > Register once, as the user's menu choice does; true when the modal widgets
    // were all as expected.
    bool registerWith(const E2eModals& modals) {
        trigger("mFile_Register");
        return modals.ok();
    }

    bool paneShows(const QString& page) {
        return E2e::waitFor([&] { return m_form->WebBrowser1()->url() == TSRegForm::localPageUrl(page); });
    }

    // The requests of one registration, without the browser's own favicon requests.
    QList<TestSiteRequest> pageRequests() {
        QList<TestSiteRequest> out;
        for (const TestSiteRequest& r : site().requests())
            if (r.path != QLatin1String("/favicon.ico"))
                out << r;
        return out;
    }

    void checkNothingPosted() {
        for (const TestSiteRequest& r : pageRequests())
            QVERIFY2(r.method != kPost, qPrintable(r.target));
    }

    // The command ended with the progress window hidden, nothing fetched and nothing stored.
    void checkNothingDone() {
        QVERIFY(!m_form->progressForm()->isVisible());
        QCOMPARE(E2eEnvironment::storeEntries(), QStringList());
        QVERIFY2(pageRequests().isEmpty(), qPrintable(pageRequests().value(0).target));
    }

    // A registration by certificate that goes through.
    void registerFirst(const QString& name, const QByteArray& document) {
        E2eModals modals;
        modals.chooseFile(m_env.writeDocument(name, document)).dialog(kSignMethod, byCertificate);
        QVERIFY2(registerWith(modals), qPrintable(modals.report()));
        QVERIFY(QFileInfo::exists(E2eEnvironment::storeRecord(name)));
    }

    // The store holds exactly the document's record and copy, both read-only, the copy
    // byte-exact. Gives the record's bytes.
    QByteArray checkPair(const QString& name, const QByteArray& document) {
        const QString copy = E2eEnvironment::storeCopy(name);
        const QString record = E2eEnvironment::storeRecord(name);
        [&] {
            QCOMPARE(E2eEnvironment::storeEntries(), QStringList({name, name + QStringLiteral(".p7s")}));
            QVERIFY(E2e::isReadOnly(copy));
            QVERIFY(E2e::isReadOnly(record));
            QCOMPARE(E2e::fileContent(copy).value_or(QByteArray()), document);
        }();
        return E2e::fileContent(record).value_or(QByteArray());
    }

    // A certificate record: one line of Base64 that OpenSSL verifies, over the document's
    // fingerprint, signed now and naming the document.
    void checkCertificateRecord(const QByteArray& record, const QString& name, const QByteArray& document) {
        QVERIFY2(!record.isEmpty() && !record.contains('\r') && !record.contains('\n') &&
                     !record.contains(' '),
                 record.constData());
        const auto decoded = QByteArray::fromBase64Encoding(record, QByteArray::AbortOnBase64DecodingErrors);
        QVERIFY(decoded);
        QTemporaryDir dir;
        QFile der(dir.filePath(QStringLiteral("record.der")));
        QVERIFY(der.open(QIODevice::WriteOnly) && der.write(*decoded) == decoded.decoded.size());
        der.close();
        QByteArray output;
        const QString content = dir.filePath(QStringLiteral("content"));
        QVERIFY2(NssFixture::run(QStringLiteral("openssl"),
                                 {"cms", "-verify", "-noverify", "-inform", "DER", "-in", der.fileName(),
                                  "-out", content},
                                 &output) == 0,
                 output.constData());
        const QString fingerprint = fingerprintOf(document);
        QCOMPARE(E2e::fileContent(content).value_or(QByteArray()),
                 QByteArray(reinterpret_cast<const char*>(fingerprint.utf16()), fingerprint.size() * 2));

        SignedData signedData;
        signedData.Verify(QString::fromLatin1(record));
        const Attributes attributes = signedData.Signers().Item(1).AuthenticatedAttributes();
        QCOMPARE(attributes.Count(), 2);
        QCOMPARE(attributes.Item(1).Name(), qint32(Attribute::SigningTime));
        QVERIFY(qAbs(attributes.Item(1).Value().toDateTime().secsTo(QDateTime::currentDateTime())) < 3600);
        QCOMPARE(attributes.Item(2).Name(), qint32(Attribute::DocumentName));
        QCOMPARE(attributes.Item(2).Value().toString(), name);
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_env.isValid(), qPrintable(m_env.error())); }

    // Each test starts with an empty store, the default site and database, and the main window
    // with its introduction page loaded, so that no notification of it is left.
    void init() {
        site().clearBehaviours();
        site().clearRequests();
        site().setUser(kUser, kPassword);
        QVERIFY2(m_env.useNss(QStringLiteral("one")), qPrintable(m_env.error()));
        qputenv("TESSARO_SITE_ORIGIN", site().origin().toUtf8());
        QVERIFY(E2eEnvironment::clearStore());
        m_form = std::make_unique<TSRegForm>();
        m_form->show();
        QVERIFY(E2e::waitFor(
            [&] { return m_form->pageLoaded() && !m_form->WebBrowser1()->page()->isLoading(); }));
    }

    void cleanup() { m_form.reset(); }

    // ---- Registrations that go through

    void registrationGoesThrough_data() {
        QTest::addColumn<bool>("certificate");
        QTest::addColumn<QString>("name");
        // Quotes, markup, entities, blanks and non-ASCII text are posted and stored exactly.
        const QString name = QStringLiteral("  it's \"quoted\" <b>&amp;&#39; & Résumé 東京 📄.doc");
        QTest::newRow("certificate") << true << name;
        QTest::newRow("user name and password") << false << name;
    }
    void registrationGoesThrough() {
        QFETCH(bool, certificate);
        QFETCH(QString, name);
        const QByteArray document = freshBytes();
        E2eModals modals;
        modals.chooseFile(m_env.writeDocument(name, document))
            .dialog(kSignMethod, certificate ? E2eModals::Answer(byCertificate) : byPassword());
        QVERIFY2(registerWith(modals), qPrintable(modals.report()));

        const QByteArray record = checkPair(name, document);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(!m_form->progressForm()->isVisible());
        const QList<TestSiteRegistration> registered = site().registrations();
        QVERIFY(!registered.isEmpty());
        QCOMPARE(registered.last().filename, name);
        QCOMPARE(registered.last().fingerprint, fingerprintOf(document));

        const QList<TestSiteRequest> requests = pageRequests();
        if (certificate) {
            checkCertificateRecord(record, name, document);
            // The login page, then one post of exactly the record and the name.
            QCOMPARE(requests.size(), 2);
            QCOMPARE(requests[0].method + requests[0].path, kGet + kLogin);
            QCOMPARE(requests[1].method + requests[1].path, kPost + kCertPost);
            QVERIFY(requests[1].fieldsValidUtf8);
            QCOMPARE(requests[1].fields,
                     TestSiteFields({{"tessaro", QString::fromLatin1(record)}, {"filename", name}}));
            QCOMPARE(m_form->WebBrowser1()->url(), site().url(kCertPost));
            return;
        }
        // The site's signature is the record; the fields arrived in order.
        QVERIFY(registered.last().data.startsWith(QLatin1String("V.01_")));
        QCOMPARE(QString::fromLatin1(record), registered.last().data);
        const QList<TestSiteRequest> posts = site().requests(kUserPost, kPost);
        QCOMPARE(posts.size(), 1);
        QCOMPARE(posts[0].fields, TestSiteFields({{"filename", name},
                                                  {"filehash", fingerprintOf(document)},
                                                  {"user", kUser},
                                                  {"pwd", kPassword}}));
        // The reply's own form was submitted.
        const QString submitted = QString::fromLatin1(TestSite::RegisteredPath);
        QVERIFY(site().waitForRequests(submitted, kPost));
        QCOMPARE(site().requests(submitted)[0].field(QStringLiteral("filename")), name);
    }

    void chosenCertificateSigns() {
        // With several certificates the user picks one, and that one signs.
        QVERIFY2(m_env.useNss(QStringLiteral("two")), qPrintable(m_env.error()));
        const QString name = QStringLiteral("chosen.doc");
        const QByteArray document = freshBytes();
        E2eModals modals;
        modals.chooseFile(m_env.writeDocument(name, document))
            .dialog(kSignMethod, byCertificate)
            .dialog(QStringLiteral("TSCertChooser"), [](QWidget* w) {
                auto* list = w->findChild<QTreeWidget*>(QStringLiteral("lstCertificates"));
                list->setCurrentItem(list->topLevelItem(1));
                qobject_cast<QDialog*>(w)->accept();
            });
        QVERIFY2(registerWith(modals), qPrintable(modals.report()));
        const QByteArray record = checkPair(name, document);
        checkCertificateRecord(record, name, document);
        SignedData signedData;
        signedData.Verify(QString::fromLatin1(record));
        QCOMPARE(signedData.Signers().Item(1).Certificate().CommonName(), QStringLiteral("Bob Example"));
    }

    // ---- What the site answers

    void replyCodes_data() {
        QTest::addColumn<QString>("reply"); // empty: the site's own refusal of a wrong password
        QTest::addColumn<QString>("sentence");
        QTest::newRow("dberror-open") << "error:dberror-open"
                                      << "The registration database was not available. ";
        QTest::newRow("dberror-rs-users") << "error:dberror-rs-users"
                                          << "You are not registered as a user with this database. ";
        QTest::newRow("dberror-rs-registrations") << "error:dberror-rs-registrations"
                                                  << "The registrations table could not be opened. ";
        QTest::newRow("signature-verification-failure")
            << "error:signature-verification-failure"
            << "The digital signature on your file registration could not be verified. ";
        QTest::newRow("dberror-update") << "error:dberror-update"
                                        << "This file may have already been registered. The registrations "
                                           "database could not be updated. ";
        QTest::newRow("other code") << "error:out-of-paper"
                                    << "";
        QTest::newRow("wrong password") << ""
                                        << "You are not registered as a user with this database. ";
    }
    void replyCodes() {
        QFETCH(QString, reply);
        QFETCH(QString, sentence);
        const bool certificate = !reply.isEmpty();
        const QString action = certificate ? kCertPost : kUserPost;
        if (certificate)
            site().replyText(action, reply, kPost);
        E2eModals modals;
        modals.chooseFile(m_env.writeDocument(QStringLiteral("coded.doc"), freshBytes()))
            .dialog(kSignMethod, certificate ? E2eModals::Answer(byCertificate) : byPassword("wrong"))
            .message(serverError(sentence));
        QVERIFY2(registerWith(modals), qPrintable(modals.report()));
        QCOMPARE(E2eEnvironment::storeEntries(), QStringList());
        // One post, and the pane keeps the site's reply.
        QCOMPARE(site().requests(action, kPost).size(), 1);
        QCOMPARE(m_form->WebBrowser1()->url(), site().url(action));
    }

    void exchangeFailures_data() {
        QTest::addColumn<bool>("certificate");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("page");
        const QString noAccess = QStringLiteral("ts_noaccess.htm");
        const QString noRegister = QStringLiteral("ts_noregister.htm");
        QTest::newRow("site unreachable") << true << "unreachable" << noAccess;
        QTest::newRow("first page 404") << true << "first 404" << noAccess;
        QTest::newRow("post answered 500") << true << "post 500" << noRegister;
        QTest::newRow("post never completes") << true << "post hangs" << noRegister;
        QTest::newRow("reply cannot be read") << true << "reply unreadable" << noRegister;
        QTest::newRow("password: post answered 404") << false << "post 404" << noRegister;
    }
    void exchangeFailures() {
        QFETCH(bool, certificate);
        QFETCH(QString, failure);
        QFETCH(QString, page);
        const QString action = certificate ? kCertPost : kUserPost;
        if (failure == QLatin1String("unreachable"))
            qputenv("TESSARO_SITE_ORIGIN", TestSite::refusedOrigin().toUtf8());
        else if (failure == QLatin1String("first 404"))
            site().replyStatus(kLogin, 404, kGet);
        else if (failure == QLatin1String("post 500"))
            site().replyStatus(action, 500, kPost);
        else if (failure == QLatin1String("post 404"))
            site().replyStatus(action, 404, kPost);
        else if (failure == QLatin1String("post hangs"))
            site().neverComplete(action, kPost);
        else // an accepting page that removes itself
            site().replyBody(
                action,
                QStringLiteral("<!DOCTYPE html><html><head><meta charset=\"utf-8\"></head><body>"
                               "<p>Registration Accepted</p><script>"
                               "document.removeChild(document.documentElement);</script></body></html>"),
                kPost);
        m_form->setWaitLimit(3s);
        E2eModals modals;
        modals.chooseFile(m_env.writeDocument(QStringLiteral("failing.doc"), freshBytes()))
            .dialog(kSignMethod, certificate ? E2eModals::Answer(byCertificate) : byPassword());
        QVERIFY2(registerWith(modals), qPrintable(modals.report()));
        QVERIFY2(paneShows(page), qPrintable(m_form->WebBrowser1()->url().toString()));
        QVERIFY(!m_form->progressForm()->isVisible());
        QCOMPARE(E2eEnvironment::storeEntries(), QStringList());
        if (page == QLatin1String("ts_noaccess.htm"))
            checkNothingPosted();
    }

    void siteSignatures_data() {
        QTest::addColumn<QString>("behaviour");
        QTest::addColumn<QString>("record"); // empty: the failed-signature message, nothing written
        QTest::newRow("no start marker") << "no marker" << QString();
        QTest::newRow("blank signature") << "blank" << QString();
        QTest::newRow("blanks kept") << "blanks"
                                     << "  V.01_with blanks  ";
        QTest::newRow("no form in the reply") << "no form"
                                              << "site";
    }
    void siteSignatures() {
        QFETCH(QString, behaviour);
        QFETCH(QString, record);
        if (behaviour == QLatin1String("no marker"))
            site().replyWithoutStartMarker();
        else if (behaviour == QLatin1String("blank"))
            site().replyWithSignature(QStringLiteral("   "));
        else if (behaviour == QLatin1String("blanks"))
            site().replyWithSignature(record);
        else
            site().replyWithoutForm();
        const QByteArray document = freshBytes();
        const QString name = QStringLiteral("signed by the site.txt");
        E2eModals modals;
        modals.chooseFile(m_env.writeDocument(name, document)).dialog(kSignMethod, byPassword());
        if (record.isEmpty())
            modals.message(stop(QStringLiteral(
                "Failed to generate signature. Contact technical support for further assistance.")));
        QVERIFY2(registerWith(modals), qPrintable(modals.report()));
        if (record.isEmpty()) {
            QCOMPARE(E2eEnvironment::storeEntries(), QStringList());
            return;
        }
        const QByteArray written = checkPair(name, document);
        if (record == QLatin1String("site"))
            record = site().registrations().last().data;
        QCOMPARE(QString::fromUtf8(written), record);
        if (behaviour == QLatin1String("no form")) {
            E2e::runFor(500ms);
            QVERIFY(site().requests(QString::fromLatin1(TestSite::RegisteredPath)).isEmpty());
        }
    }

    // ---- The re-create question

    void recreate_data() {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("ending");
        QTest::newRow("Yes, accepted") << "yes"
                                       << "accepted";
        QTest::newRow("Yes, then the sign method cancelled") << "yes"
                                                             << "cancel";
        QTest::newRow("Yes, then a reply code") << "yes"
                                                << "reply code";
        QTest::newRow("Yes, then a failed post") << "yes"
                                                 << "post fails";
        QTest::newRow("Yes, copy missing: cannot be set aside") << "yes"
                                                                << "copy missing";
        QTest::newRow("No") << "no" << QString();
        QTest::newRow("Esc") << "esc" << QString();
        QTest::newRow("closed") << "close" << QString();
    }
    void recreate() {
        QFETCH(QString, answer);
        QFETCH(QString, ending);
        const QString name = QStringLiteral("same name.doc");
        registerFirst(name, freshBytes());
        if (QTest::currentTestFailed())
            return;
        if (ending == QLatin1String("copy missing"))
            QVERIFY(QFile::remove(E2eEnvironment::storeCopy(name)));
        const QStringList before = storeState();
        const QByteArray oldRecord =
            E2e::fileContent(E2eEnvironment::storeRecord(name)).value_or(QByteArray());
        site().clearRequests();

        // Another document of the same name, from another folder, with other bytes.
        const QByteArray document = freshBytes();
        E2eModals modals;
        modals.chooseFile(m_env.writeDocument(name, document));
        if (answer == QLatin1String("yes") || answer == QLatin1String("no"))
            modals.message(recreateQuestion(),
                           answer == QLatin1String("yes") ? QMessageBox::Yes : QMessageBox::No);
        else
            modals.message(recreateQuestion(), answer == QLatin1String("esc")
                                                   ? E2eModals::Dismiss::EscapeKey
                                                   : E2eModals::Dismiss::CloseWindow);
        if (answer != QLatin1String("yes"))
            modals.message({kKept});
        else if (ending == QLatin1String("copy missing"))
            modals.message(
                stop(QStringLiteral("The existing registered files could not be deleted from the local "
                                    "database.")));
        else if (ending == QLatin1String("cancel"))
            modals.dialog(kSignMethod, [](QWidget* w) { click(w, "btnCancel"); }).message({kCancelled});
        else
            modals.dialog(kSignMethod, byCertificate);
        if (ending == QLatin1String("reply code")) {
            site().replyText(kCertPost, QStringLiteral("error:dberror-open"), kPost);
            modals.message(serverError(QStringLiteral("The registration database was not available. ")));
        } else if (ending == QLatin1String("post fails")) {
            site().replyStatus(kCertPost, 500, kPost);
        }
        QVERIFY2(registerWith(modals), qPrintable(modals.report()));

        if (ending == QLatin1String("accepted")) {
            const QByteArray record = checkPair(name, document);
            QVERIFY(record != oldRecord);
            checkCertificateRecord(record, name, document);
            return;
        }
        QCOMPARE(storeState(), before);
        if (ending == QLatin1String("post fails"))
            QVERIFY(paneShows(QStringLiteral("ts_noregister.htm")));
        else if (ending != QLatin1String("reply code"))
            QVERIFY2(pageRequests().isEmpty(), qPrintable(pageRequests().value(0).target));
    }

    // ---- Before anything is signed: the dialogs, the document and the store

    void openFileDialogCancelled() {
        // As configured, starting in the home folder; cancelling ends the command quietly.
        E2eModals modals;
        modals.cancelFileDialog([&](QWidget* w) {
            auto* dialog = qobject_cast<QFileDialog*>(w);
            modals.expectThat(dialog && dialog->windowTitle() == QLatin1String("Select a File to Register") &&
                                  dialog->directory().absolutePath() == QDir(m_env.home()).absolutePath(),
                              QStringLiteral("title or starting folder"));
            modals.expectThat(dialog && dialog->nameFilters() ==
                                            QStringList({"All Files (*.*) (*)",
                                                         "Documents (doc,htm,txt,wri,wpd,rtf) (*.doc *.htm "
                                                         "*.html *.txt *.wri *.wpd *.rtf)"}),
                              QStringLiteral("name filters"));
            modals.expectThat(dialog && dialog->fileMode() == QFileDialog::ExistingFile &&
                                  dialog->testOption(QFileDialog::DontUseNativeDialog) &&
                                  dialog->testOption(QFileDialog::DontResolveSymlinks) &&
                                  dialog->testOption(QFileDialog::HideNameFilterDetails),
                              QStringLiteral("mode or options"));
        });
        QVERIFY2(registerWith(modals), qPrintable(modals.report()));
        QVERIFY(QFileInfo(E2eEnvironment::storeFolder()).isDir());
        checkNothingDone();
    }

    void secondTryStartsAtRoot() {
        // A file where the home folder must be: the dialog cannot start there.
        const QString home = m_env.home() + QStringLiteral("/not-a-home");
        QFile file(home);
        QVERIFY(file.open(QIODevice::WriteOnly));
        qputenv("HOME", QFile::encodeName(home));
        E2eModals modals;
        modals.cancelFileDialog([&](QWidget* w) {
            auto* dialog = qobject_cast<QFileDialog*>(w);
            modals.expectThat(dialog && dialog->directory().absolutePath() == QLatin1String("/"),
                              QStringLiteral("the second try does not start at /"));
        });
        const bool ok = registerWith(modals);
        QVERIFY(m_env.useNss(QStringLiteral("one")));
        QVERIFY2(ok, qPrintable(modals.report()));
    }

    void failuresBeforeSigning_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("store folder cannot be created") << "store";
        QTest::newRow("empty document") << "empty";
        QTest::newRow("document cannot be opened (a named pipe)") << "fifo";
    }
    void failuresBeforeSigning() {
        QFETCH(QString, kind);
        E2eModals modals;
        if (kind == QLatin1String("store")) {
            // A file where the store folder must be.
            QString store = E2eEnvironment::storeFolder();
            store.chop(1);
            QFile blocker(store);
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            modals.message({QStringLiteral("Cannot create 'Registered' directory for registered files. Check "
                                           "file permissions."),
                            QMessageBox::Critical});
        } else if (kind == QLatin1String("empty")) {
            modals.chooseFile(m_env.writeDocument(QStringLiteral("empty.doc"), QByteArray()))
                .message(stop(QStringLiteral("The file you selected is empty (it contains no data). Please "
                                             "select a file with data.")));
        } else {
            const QString path = m_env.documentsFolder() + QStringLiteral("/pipe.doc");
            QFile::remove(path);
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
            modals.chooseFile(path).message(
                stop(QStringLiteral("The file to be registered cannot be opened.")));
        }
        QVERIFY2(registerWith(modals), qPrintable(modals.report()));
        checkNothingDone();
    }

    void progressAndSignMethodCancel() {
        // The long reading text from 1,000,000 bytes on, shown while the sign method is chosen.
        const QString text = QStringLiteral(
            "Please wait while you file is read.\r\nThis may take a minute or two as this file is large...");
        E2eModals modals;
        modals.chooseFile(m_env.writeDocument(QStringLiteral("sized.doc"), freshBytes(1000000)))
            .dialog(
                kSignMethod,
                [&](QWidget* w) {
                    TSProgressForm* progress = m_form->progressForm();
                    modals.expectThat(progress->isVisible(), QStringLiteral("the progress window is hidden"));
                    modals.expectThat(progress->windowTitle() == QLatin1String("Registration in Progress"),
                                      progress->windowTitle());
                    modals.expectThat(progress->Label1()->text() == text, progress->Label1()->text());
                    click(w, "btnCancel");
                })
            .message({kCancelled});
        QVERIFY2(registerWith(modals), qPrintable(modals.report()));
        checkNothingDone();
    }

    void certificateStoreFailures_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("message");
        QTest::newRow("no personal certificate") << "empty" << kNoCertificate;
        QTest::newRow("no database at all") << "none" << kNoCertificate;
        QTest::newRow("choice of certificate cancelled") << "two" << kCrypto;
        QTest::newRow("only an expired certificate") << "expired" << kCrypto;
    }
    void certificateStoreFailures() {
        QFETCH(QString, kind);
        QFETCH(QString, message);
        QVERIFY2(m_env.useNss(kind), qPrintable(m_env.error()));
        E2eModals modals;
        modals.chooseFile(m_env.writeDocument(QStringLiteral("unsigned.doc"), freshBytes()))
            .dialog(kSignMethod, byCertificate);
        if (kind == QLatin1String("two"))
            modals.dialog(QStringLiteral("TSCertChooser"),
                          [](QWidget* w) { qobject_cast<QDialog*>(w)->reject(); });
        modals.message(stop(message));
        QVERIFY2(registerWith(modals), qPrintable(modals.report()));
        checkNothingDone();
    }

    void localWriteFailures_data() {
        QTest::addColumn<bool>("recordBlocked");
        QTest::addColumn<bool>("copyBlocked");
        QTest::newRow("record name taken") << true << false;
        QTest::newRow("both names taken") << true << true;
    }
    void localWriteFailures() {
        // Folders where the record and copy must go: root cannot write over them either.
        QFETCH(bool, recordBlocked);
        QFETCH(bool, copyBlocked);
        const QString name = QStringLiteral("blocked.doc");
        const QString record = E2eEnvironment::storeRecord(name);
        const QString copy = E2eEnvironment::storeCopy(name);
        const QByteArray document = freshBytes();
        QVERIFY(QDir().mkpath(E2eEnvironment::storeFolder()));
        QVERIFY(!recordBlocked || QDir().mkdir(record));
        QVERIFY(!copyBlocked || QDir().mkdir(copy));
        E2eModals modals;
        modals.chooseFile(m_env.writeDocument(name, document)).dialog(kSignMethod, byCertificate);
        for (int i = 0; i < int(recordBlocked) + int(copyBlocked); ++i)
            modals.message(stop(kLocalCopy));
        QVERIFY2(registerWith(modals), qPrintable(modals.report()));
        // The site's registration stands; what could be written was written.
        QCOMPARE(site().registrations().last().fingerprint, fingerprintOf(document));
        QCOMPARE(E2eEnvironment::storeEntries(), QStringList({name, name + QStringLiteral(".p7s")}));
        QCOMPARE(QFileInfo(record).isDir(), recordBlocked);
        QCOMPARE(QFileInfo(copy).isDir(), copyBlocked);
        if (!copyBlocked)
            QCOMPARE(E2e::fileContent(copy).value_or(QByteArray()), document);
    }

    // ---- While a registration waits

    void guardWhileWaiting() {
        site().neverComplete(kLogin, kGet);
        m_form->setWaitLimit(4s);
        const QUrl login = site().url(kLogin);
        E2eModals modals;
        modals.chooseFile(m_env.writeDocument(QStringLiteral("waiting.doc"), freshBytes()))
            .dialog(kSignMethod, byCertificate);
        bool tried = false;
        QString progressText;
        QUrl urlAfter;
        QTimer poll;
        connect(&poll, &QTimer::timeout, m_form.get(), [&] {
            if (site().requests(kLogin).isEmpty() || m_form->WebBrowser1()->url() != login)
                return;
            poll.stop();
            if (m_form->progressForm()->isVisible())
                progressText = m_form->progressForm()->Label1()->text();
            // Another registration, a verification and the help page: none of them may start.
            trigger("mFile_Register");
            trigger("m_View_Registered");
            trigger("mHelp_Contents");
            E2e::runFor(500ms);
            urlAfter = m_form->WebBrowser1()->url();
            tried = true;
        });
        poll.start(20);
        // The unanswered wait ends at its limit, like a page that failed to load.
        QVERIFY2(registerWith(modals), qPrintable(modals.report()));
        QVERIFY(tried);
        QCOMPARE(progressText, QStringLiteral("Contacting Tessaro Web Site..."));
        QCOMPARE(urlAfter, login);
        QVERIFY(paneShows(QStringLiteral("ts_noaccess.htm")));
        QCOMPARE(E2eEnvironment::storeEntries(), QStringList());
        checkNothingPosted();
    }

    void exitDuringPostWait() {
        // An existing pair set aside for re-creation, then Exit while the post waits.
        const QString name = QStringLiteral("abandoned.doc");
        registerFirst(name, freshBytes());
        if (QTest::currentTestFailed())
            return;
        const QStringList before = storeState();
        site().clearRequests();
        site().neverComplete(kCertPost, kPost);
        E2eModals modals;
        modals.chooseFile(m_env.writeDocument(name, freshBytes()))
            .message(recreateQuestion(), QMessageBox::Yes)
            .dialog(kSignMethod, byCertificate);
        bool setAside = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, m_form.get(), [&] {
            if (site().requests(kCertPost, kPost).isEmpty())
                return;
            poll.stop();
            setAside = !QFileInfo::exists(E2eEnvironment::storeRecord(name));
            trigger("mFile_Exit");
        });
        poll.start(20);
        QTimer::singleShot(0, m_form.get(), [&] { trigger("mFile_Register"); });
        QCOMPARE(E2e::runProgram(), 0);
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QVERIFY(setAside);
        QCOMPARE(storeState(), before);
        QVERIFY(!m_form->commandRunning());
    }
};

int main(int argc, char* argv[]) {
    if (const std::optional<int> code = E2e::RunInProgramCopy(argc, argv))
        return *code;
    // HOME, its NSS database and the site come first: the browser reads its trust from HOME.
    E2eEnvironment env(QStringLiteral("one"));
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    TestRegisterE2e test(env);
    return QTest::qExec(&test, argc, argv);
}

#include "test_register_e2e.moc"
