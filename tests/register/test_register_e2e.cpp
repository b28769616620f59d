// File > Register end to end: the program's main window with the real Qt WebEngine pane, run from
// a copy in a temporary program folder, a real NSS database in a temporary HOME, and the
// registration site on 127.0.0.1. The user's part (the open-file dialog, the sign-method dialog,
// the message boxes) is played through the application's modal widgets.

#include "app/TSProgressForm.h"
#include "app/TSRegForm.h"
#include "common/E2eHarness.h"
#include "platform/CertLibrary.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QUuid>
#include <QWebEngineView>

#include <algorithm>
#include <map>
#include <memory>
#include <sys/stat.h>

namespace {

using namespace std::chrono_literals;

const QString kErrorTitle = QStringLiteral("Error Message");
const QString kUser = QStringLiteral("alice");
const QString kPassword = QStringLiteral(" open sesame ");

const QString kCrypto = QStringLiteral("The cryptographic functions on your computer are not available. Try "
                                       "reinstalling this application and/or Internet Explorer.");
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
const QString kServerLead =
    QStringLiteral("The registration server reported an error. Your file was not registered. ");
const QString kServerTail = QStringLiteral("Please contact technical support for further assistance.");

E2eMessage stop(const QString& text) {
    return {text, QMessageBox::Critical, kErrorTitle};
}

E2eMessage plain(const QString& text) {
    return {text, QMessageBox::NoIcon, QStringLiteral("Tessaro")};
}

E2eMessage recreateQuestion() {
    return {kRecreate, QMessageBox::Warning, kErrorTitle, QMessageBox::Yes | QMessageBox::No,
            QMessageBox::No};
}

QString fingerprintOf(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex().toUpper());
}

QStringList sorted(QStringList list) {
    std::sort(list.begin(), list.end());
    return list;
}

QAction* menuItem(TSRegForm& form, const char* name) {
    return form.findChild<QAction*>(QLatin1String(name));
}

// The sign-method dialog's answers.
E2eModals::Answer signWithCertificate(std::function<void(QWidget*)> check = {}) {
    return [check](QWidget* w) {
        if (check)
            check(w);
        w->findChild<QRadioButton*>(QStringLiteral("optCertificate"))->click();
        w->findChild<QPushButton*>(QStringLiteral("btnOK"))->click();
    };
}

E2eModals::Answer signWithPassword(const QString& user, const QString& password) {
    return [user, password](QWidget* w) {
        w->findChild<QRadioButton*>(QStringLiteral("optUserPassword"))->click();
        w->findChild<QLineEdit*>(QStringLiteral("txtUser"))->setText(user);
        w->findChild<QLineEdit*>(QStringLiteral("txtPassword"))->setText(password);
        w->findChild<QPushButton*>(QStringLiteral("btnOK"))->click();
    };
}

E2eModals::Answer cancelSignMethod(std::function<void(QWidget*)> check = {}) {
    return [check](QWidget* w) {
        if (check)
            check(w);
        w->findChild<QPushButton*>(QStringLiteral("btnCancel"))->click();
    };
}

// Every file of the store with its bytes and permission bits.
struct StoreFile {
    QByteArray bytes;
    mode_t mode = 0;
    bool operator==(const StoreFile& o) const { return bytes == o.bytes && mode == o.mode; }
};
using StoreSnapshot = std::map<QString, StoreFile>;

StoreSnapshot snapshotStore() {
    StoreSnapshot snapshot;
    for (const QString& name : E2eEnvironment::storeEntries()) {
        const QString path = E2eEnvironment::storeFolder() + name;
        struct stat st {};
        ::lstat(QFile::encodeName(path).constData(), &st);
        snapshot[name] = {E2e::fileContent(path).value_or(QByteArray("<unreadable>")), st.st_mode};
    }
    return snapshot;
}

QString describe(const StoreSnapshot& snapshot) {
    QStringList out;
    for (const auto& [name, file] : snapshot)
        out << QStringLiteral("%1 (%2 bytes, mode %3)").arg(name).arg(file.bytes.size()).arg(file.mode, 0, 8);
    return out.join(QStringLiteral(", "));
}

// The requests of one registration, without the browser's own favicon requests.
QList<TestSiteRequest> pageRequests(const TestSite& site) {
    QList<TestSiteRequest> out;
    for (const TestSiteRequest& r : site.requests())
        if (r.path != QLatin1String("/favicon.ico"))
            out << r;
    return out;
}

} // namespace

class TestRegisterE2e : public QObject {
    Q_OBJECT
public:
    explicit TestRegisterE2e(E2eEnvironment& env) : m_env(env) {}

private:
    E2eEnvironment& m_env;
    int m_serial = 0;

    TestSite& site() { return m_env.site(); }

    // Document bytes no registration has used: the site refuses a fingerprint it has seen.
    QByteArray freshBytes(qsizetype size = 0) {
        QByteArray bytes =
            QStringLiteral("Document %1 %2\n").arg(++m_serial).arg(QUuid::createUuid().toString()).toUtf8();
        if (size > 0) {
            bytes = bytes.leftJustified(size, '.', true);
        }
        return bytes;
    }

    // The main window with its introduction page loaded, so that no notification of it is left.
    std::unique_ptr<TSRegForm> newForm() {
        auto form = std::make_unique<TSRegForm>();
        form->show();
        if (!E2e::waitFor([&] { return form->pageLoaded() && !form->WebBrowser1()->page()->isLoading(); }))
            return nullptr;
        return form;
    }

    // Runs File > Register once, as the user's menu choice does.
    static void registerFrom(TSRegForm& form) { menuItem(form, "mFile_Register")->trigger(); }

    bool paneShows(TSRegForm& form, const QString& page) {
        return E2e::waitFor([&] { return form.WebBrowser1()->url() == TSRegForm::localPageUrl(page); });
    }

    // Registers a document by the certificate method and checks that it went through.
    void registerByCertificate(TSRegForm& form, const QString& path) {
        E2eModals modals;
        modals.chooseFile(path).dialog(QStringLiteral("TSSignMethod"), signWithCertificate());
        registerFrom(form);
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QVERIFY(QFileInfo::exists(E2eEnvironment::storeRecord(QFileInfo(path).fileName())));
    }

    // The store holds exactly the document's record and copy, both read-only, the copy
    // byte-exact. Gives the record's bytes.
    QByteArray checkPair(const QString& name, const QByteArray& document) {
        const QString copy = E2eEnvironment::storeCopy(name);
        const QString record = E2eEnvironment::storeRecord(name);
        [&] {
            QCOMPARE(sorted(E2eEnvironment::storeEntries()), sorted({name, name + QStringLiteral(".p7s")}));
            QVERIFY(E2e::isReadOnly(copy));
            QVERIFY(E2e::isReadOnly(record));
            QCOMPARE(E2e::fileContent(copy).value_or(QByteArray()), document);
        }();
        return E2e::fileContent(record).value_or(QByteArray());
    }

    // A certificate record: one line of Base64 that OpenSSL verifies, over the document's
    // fingerprint, naming the document.
    void checkCertificateRecord(const QByteArray& record, const QString& name, const QByteArray& document) {
        QVERIFY(!record.isEmpty());
        QVERIFY2(!record.contains('\r') && !record.contains('\n') && !record.contains(' '),
                 record.constData());
        const auto decoded = QByteArray::fromBase64Encoding(record, QByteArray::AbortOnBase64DecodingErrors);
        QVERIFY(decoded);
        QTemporaryDir dir;
        QFile der(dir.filePath(QStringLiteral("record.der")));
        QVERIFY(der.open(QIODevice::WriteOnly));
        der.write(*decoded);
        der.close();
        QByteArray output;
        const int code =
            NssFixture::run(QStringLiteral("openssl"),
                            {QStringLiteral("cms"), QStringLiteral("-verify"), QStringLiteral("-noverify"),
                             QStringLiteral("-inform"), QStringLiteral("DER"), QStringLiteral("-in"),
                             der.fileName(), QStringLiteral("-out"), dir.filePath(QStringLiteral("content"))},
                            &output);
        QVERIFY2(code == 0, output.constData());
        const QString fingerprint = fingerprintOf(document);
        const QByteArray content =
            E2e::fileContent(dir.filePath(QStringLiteral("content"))).value_or(QByteArray());
        QCOMPARE(content,
                 QByteArray(reinterpret_cast<const char*>(fingerprint.utf16()), fingerprint.size() * 2));

        SignedData signedData;
        signedData.Verify(QString::fromLatin1(record));
        QCOMPARE(signedData.Content(), fingerprint);
        const Attributes attributes = signedData.Signers().Item(1).AuthenticatedAttributes();
        QCOMPARE(attributes.Count(), 2);
        QCOMPARE(attributes.Item(1).Name(), qint32(Attribute::SigningTime));
        const QDateTime signedAt = attributes.Item(1).Value().toDateTime();
        QVERIFY(qAbs(signedAt.secsTo(QDateTime::currentDateTime())) < 3600);
        QCOMPARE(attributes.Item(2).Name(), qint32(Attribute::DocumentName));
        QCOMPARE(attributes.Item(2).Value().toString(), name);
    }

    // Nothing reached the site but what the browser fetches by itself.
    void checkNothingPosted() {
        for (const TestSiteRequest& r : pageRequests(site()))
            QVERIFY2(r.method != QLatin1String("POST"), qPrintable(r.target));
    }

    void checkStoreEmpty() {
        QVERIFY2(E2eEnvironment::storeEntries().isEmpty(),
                 qPrintable(E2eEnvironment::storeEntries().join(QStringLiteral(", "))));
    }

    static void addNameRows() {
        QTest::addColumn<QString>("name");
        QTest::newRow("plain") << QStringLiteral("report.doc");
        QTest::newRow("quotes and markup") << QStringLiteral("it's \"quoted\" <b>bold<b> & more.txt");
        QTest::newRow("spaces") << QStringLiteral("  two  spaces .htm");
        QTest::newRow("non-ASCII") << QStringLiteral("Résumé – 東京 📄.doc");
        QTest::newRow("entity-like") << QStringLiteral("&amp;&#39;&lt;x&gt;.rtf");
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_env.isValid(), qPrintable(m_env.error())); }

    void init() {
        site().clearBehaviours();
        site().clearRequests();
        site().setUser(kUser, kPassword);
        QVERIFY2(m_env.useNss(QStringLiteral("one")), qPrintable(m_env.error()));
        qputenv("TESSARO_SITE_ORIGIN", site().origin().toUtf8());
        QVERIFY(E2eEnvironment::clearStore());
    }

    // ---- Registrations that go through

    void certificateRegistration_data() { addNameRows(); }
    void certificateRegistration() {
        QFETCH(QString, name);
        const QByteArray document = freshBytes();
        const QString path = m_env.writeDocument(name, document);
        QVERIFY(!path.isEmpty());
        auto form = newForm();
        QVERIFY(form);

        E2eModals modals;
        modals.chooseFile(path).dialog(QStringLiteral("TSSignMethod"), signWithCertificate());
        registerFrom(*form);
        QVERIFY2(modals.ok(), qPrintable(modals.report()));

        const QByteArray record = checkPair(name, document);
        if (QTest::currentTestFailed())
            return;
        checkCertificateRecord(record, name, document);
        if (QTest::currentTestFailed())
            return;

        // The login page, then one post of exactly the record and the name.
        const QList<TestSiteRequest> requests = pageRequests(site());
        QCOMPARE(requests.size(), 2);
        QCOMPARE(requests[0].method, QStringLiteral("GET"));
        QCOMPARE(requests[0].path, QString::fromLatin1(TestSite::LoginPath));
        QCOMPARE(requests[1].method, QStringLiteral("POST"));
        QCOMPARE(requests[1].path, QString::fromLatin1(TestSite::CertRegisterPath));
        QVERIFY(requests[1].fieldsValidUtf8);
        QCOMPARE(requests[1].fields, TestSiteFields({{QStringLiteral("tessaro"), QString::fromLatin1(record)},
                                                     {QStringLiteral("filename"), name}}));
        QCOMPARE(form->WebBrowser1()->url(), site().url(QString::fromLatin1(TestSite::CertRegisterPath)));
        QVERIFY(!form->progressForm()->isVisible());
        const QList<TestSiteRegistration> registered = site().registrations();
        QVERIFY(!registered.isEmpty());
        QCOMPARE(registered.last().filename, name);
        QCOMPARE(registered.last().fingerprint, fingerprintOf(document));
    }

    void passwordRegistration_data() { addNameRows(); }
    void passwordRegistration() {
        QFETCH(QString, name);
        const QByteArray document = freshBytes();
        const QString path = m_env.writeDocument(name, document);
        auto form = newForm();
        QVERIFY(form);

        E2eModals modals;
        modals.chooseFile(path).dialog(QStringLiteral("TSSignMethod"), signWithPassword(kUser, kPassword));
        registerFrom(*form);
        QVERIFY2(modals.ok(), qPrintable(modals.report()));

        const QByteArray record = checkPair(name, document);
        if (QTest::currentTestFailed())
            return;
        const QList<TestSiteRegistration> registered = site().registrations();
        QVERIFY(!registered.isEmpty());
        QCOMPARE(registered.last().filename, name);
        QVERIFY(registered.last().data.startsWith(QLatin1String("V.01_")));
        QCOMPARE(QString::fromLatin1(record), registered.last().data);

        const QList<TestSiteRequest> posts =
            site().requests(QString::fromLatin1(TestSite::UserRegisterPath), QStringLiteral("POST"));
        QCOMPARE(posts.size(), 1);
        QCOMPARE(posts[0].fields, TestSiteFields({{QStringLiteral("filename"), name},
                                                  {QStringLiteral("filehash"), fingerprintOf(document)},
                                                  {QStringLiteral("user"), kUser},
                                                  {QStringLiteral("pwd"), kPassword}}));
        // The reply's own form was submitted.
        QVERIFY(
            site().waitForRequests(QString::fromLatin1(TestSite::RegisteredPath), QStringLiteral("POST")));
        QCOMPARE(site().requests(QString::fromLatin1(TestSite::RegisteredPath))[0].field(
                     QStringLiteral("filename")),
                 name);
    }

    // ---- What the site answers

    void replyCodes_data() {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("message");
        const QString db =
            kServerLead + QStringLiteral("The registration database was not available. ") + kServerTail;
        QTest::newRow("dberror-open") << "error:dberror-open" << db;
        QTest::newRow("dberror-rs-users")
            << "error:dberror-rs-users"
            << kServerLead + QStringLiteral("You are not registered as a user with this database. ") +
                   kServerTail;
        QTest::newRow("dberror-rs-registrations")
            << "error:dberror-rs-registrations"
            << kServerLead + QStringLiteral("The registrations table could not be opened. ") + kServerTail;
        QTest::newRow("signature-verification-failure")
            << "error:signature-verification-failure"
            << kServerLead +
                   QStringLiteral("The digital signature on your file registration could not be verified. ") +
                   kServerTail;
        QTest::newRow("dberror-update")
            << "error:dberror-update"
            << kServerLead +
                   QStringLiteral(
                       "This file may have already been registered. The registrations database could "
                       "not be updated. ") +
                   kServerTail;
        QTest::newRow("other code") << "error:out-of-paper" << kServerLead + kServerTail;
    }
    void replyCodes() {
        QFETCH(QString, reply);
        QFETCH(QString, message);
        site().replyText(QString::fromLatin1(TestSite::CertRegisterPath), reply, QStringLiteral("POST"));
        const QString path = m_env.writeDocument(QStringLiteral("coded.doc"), freshBytes());
        auto form = newForm();
        QVERIFY(form);
        E2eModals modals;
        modals.chooseFile(path)
            .dialog(QStringLiteral("TSSignMethod"), signWithCertificate())
            .message(stop(message));
        registerFrom(*form);
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        checkStoreEmpty();
        QCOMPARE(
            site().requests(QString::fromLatin1(TestSite::CertRegisterPath), QStringLiteral("POST")).size(),
            1);
        // The pane keeps the site's reply.
        QCOMPARE(form->WebBrowser1()->url(), site().url(QString::fromLatin1(TestSite::CertRegisterPath)));
    }

    void siteRefusals_data() {
        QTest::addColumn<bool>("certificate");
        QTest::newRow("a fingerprint seen before, certificate") << true;
        QTest::newRow("a wrong password") << false;
    }
    void siteRefusals() {
        // The site's own checks, not a reply it was told to give.
        QFETCH(bool, certificate);
        const QByteArray document = freshBytes();
        auto form = newForm();
        QVERIFY(form);
        QString message;
        if (certificate) {
            registerByCertificate(*form, m_env.writeDocument(QStringLiteral("first.doc"), document));
            if (QTest::currentTestFailed())
                return;
            message = kServerLead +
                      QStringLiteral("This file may have already been registered. The registrations database "
                                     "could not be updated. ") +
                      kServerTail;
        } else {
            message = kServerLead + QStringLiteral("You are not registered as a user with this database. ") +
                      kServerTail;
        }
        const StoreSnapshot before = snapshotStore();
        E2eModals modals;
        modals.chooseFile(m_env.writeDocument(QStringLiteral("second.doc"), document))
            .dialog(QStringLiteral("TSSignMethod"),
                    certificate ? signWithCertificate() : signWithPassword(kUser, QStringLiteral("wrong")))
            .message(stop(message));
        registerFrom(*form);
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QVERIFY(snapshotStore() == before);
    }

    void exchangeFailures_data() {
        QTest::addColumn<bool>("certificate");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("page");
        const QString noAccess = QStringLiteral("ts_noaccess.htm");
        const QString noRegister = QStringLiteral("ts_noregister.htm");
        QTest::newRow("site unreachable") << true << "unreachable" << noAccess;
        QTest::newRow("first page 404") << true << "first 404" << noAccess;
        QTest::newRow("first page never completes") << true << "first hangs" << noAccess;
        QTest::newRow("post answered 500") << true << "post 500" << noRegister;
        QTest::newRow("post connection dropped") << true << "post dropped" << noRegister;
        QTest::newRow("post never completes") << true << "post hangs" << noRegister;
        QTest::newRow("reply cannot be read") << true << "reply unreadable" << noRegister;
        QTest::newRow("password: site unreachable") << false << "unreachable" << noAccess;
        QTest::newRow("password: post answered 404") << false << "post 404" << noRegister;
    }
    void exchangeFailures() {
        QFETCH(bool, certificate);
        QFETCH(QString, failure);
        QFETCH(QString, page);
        const QString first =
            QString::fromLatin1(certificate ? TestSite::LoginPath : TestSite::UserRegisterPath);
        const QString action =
            QString::fromLatin1(certificate ? TestSite::CertRegisterPath : TestSite::UserRegisterPath);
        const QString get = QStringLiteral("GET");
        const QString post = QStringLiteral("POST");
        if (failure == QLatin1String("unreachable"))
            qputenv("TESSARO_SITE_ORIGIN", TestSite::refusedOrigin().toUtf8());
        else if (failure == QLatin1String("first 404"))
            site().replyStatus(first, 404, get);
        else if (failure == QLatin1String("first hangs"))
            site().neverComplete(first, get);
        else if (failure == QLatin1String("post 500"))
            site().replyStatus(action, 500, post);
        else if (failure == QLatin1String("post 404"))
            site().replyStatus(action, 404, post);
        else if (failure == QLatin1String("post dropped"))
            site().dropConnection(action, post);
        else if (failure == QLatin1String("post hangs"))
            site().neverComplete(action, post);
        else if (failure == QLatin1String("reply unreadable")) // an accepting page that removes itself
            site().replyBody(
                action,
                QStringLiteral("<!DOCTYPE html><html><head><meta charset=\"utf-8\"></head><body>"
                               "<p>Registration Accepted</p><script>"
                               "document.removeChild(document.documentElement);</script></body></html>"),
                post);

        const QString path = m_env.writeDocument(QStringLiteral("failing.doc"), freshBytes());
        auto form = newForm();
        QVERIFY(form);
        form->setWaitLimit(3s);
        E2eModals modals;
        modals.chooseFile(path).dialog(QStringLiteral("TSSignMethod"),
                                       certificate ? signWithCertificate()
                                                   : signWithPassword(kUser, kPassword));
        registerFrom(*form);
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QVERIFY2(paneShows(*form, page), qPrintable(form->WebBrowser1()->url().toString()));
        QVERIFY(!form->progressForm()->isVisible());
        checkStoreEmpty();
        if (page == QLatin1String("ts_noaccess.htm"))
            checkNothingPosted();
    }

    void siteSignatures_data() {
        QTest::addColumn<QString>("behaviour");
        QTest::addColumn<QString>("record"); // empty: the failed-signature message, nothing written
        QTest::newRow("no start marker") << "no marker" << QString();
        QTest::newRow("blank signature") << "blank" << QString();
        QTest::newRow("empty signature") << "empty" << QString();
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
        else if (behaviour == QLatin1String("empty"))
            site().replyWithSignature(QString());
        else if (behaviour == QLatin1String("blanks"))
            site().replyWithSignature(record);
        else if (behaviour == QLatin1String("no form"))
            site().replyWithoutForm();

        const QByteArray document = freshBytes();
        const QString name = QStringLiteral("signed by the site.txt");
        const QString path = m_env.writeDocument(name, document);
        auto form = newForm();
        QVERIFY(form);
        E2eModals modals;
        modals.chooseFile(path).dialog(QStringLiteral("TSSignMethod"), signWithPassword(kUser, kPassword));
        if (record.isEmpty())
            modals.message(stop(QStringLiteral(
                "Failed to generate signature. Contact technical support for further assistance.")));
        registerFrom(*form);
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        if (record.isEmpty()) {
            checkStoreEmpty();
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
        QTest::addColumn<bool>("replaced");
        QTest::newRow("Yes, accepted") << "yes"
                                       << "accepted" << true;
        QTest::newRow("Yes, then the sign method cancelled") << "yes"
                                                             << "cancel" << false;
        QTest::newRow("Yes, then a reply code") << "yes"
                                                << "reply code" << false;
        QTest::newRow("Yes, then a failed post") << "yes"
                                                 << "post fails" << false;
        QTest::newRow("Yes, copy missing") << "yes"
                                           << "copy missing" << false;
        QTest::newRow("No") << "no"
                            << "" << false;
        QTest::newRow("Esc") << "esc"
                             << "" << false;
        QTest::newRow("closed") << "close"
                                << "" << false;
    }
    void recreate() {
        QFETCH(QString, answer);
        QFETCH(QString, ending);
        QFETCH(bool, replaced);
        const QString name = QStringLiteral("same name.doc");
        const QByteArray oldDocument = freshBytes();
        auto form = newForm();
        QVERIFY(form);
        registerByCertificate(*form, m_env.writeDocument(name, oldDocument));
        if (QTest::currentTestFailed())
            return;
        if (ending == QLatin1String("copy missing"))
            QVERIFY(QFile::remove(E2eEnvironment::storeCopy(name)));
        const StoreSnapshot before = snapshotStore();
        site().clearRequests();

        // Another document of the same name, from another folder, with other bytes.
        const QByteArray newDocument = freshBytes();
        E2eModals modals;
        modals.chooseFile(m_env.writeDocument(name, newDocument));
        if (answer == QLatin1String("yes"))
            modals.message(recreateQuestion(), QMessageBox::Yes);
        else if (answer == QLatin1String("no"))
            modals.message(recreateQuestion(), QMessageBox::No);
        else
            modals.message(recreateQuestion(), answer == QLatin1String("esc")
                                                   ? E2eModals::Dismiss::EscapeKey
                                                   : E2eModals::Dismiss::CloseWindow);
        if (answer != QLatin1String("yes")) {
            modals.message(plain(kKept));
        } else if (ending == QLatin1String("copy missing")) {
            modals.message(stop(QStringLiteral(
                "The existing registered files could not be deleted from the local database.")));
        } else if (ending == QLatin1String("cancel")) {
            modals.dialog(QStringLiteral("TSSignMethod"), cancelSignMethod())
                .message(plain(QStringLiteral("Registration cancelled.")));
        } else {
            modals.dialog(QStringLiteral("TSSignMethod"), signWithCertificate());
            if (ending == QLatin1String("reply code")) {
                site().replyText(QString::fromLatin1(TestSite::CertRegisterPath),
                                 QStringLiteral("error:dberror-open"), QStringLiteral("POST"));
                modals.message(stop(kServerLead +
                                    QStringLiteral("The registration database was not available. ") +
                                    kServerTail));
            } else if (ending == QLatin1String("post fails")) {
                site().replyStatus(QString::fromLatin1(TestSite::CertRegisterPath), 500,
                                   QStringLiteral("POST"));
            }
        }
        registerFrom(*form);
        QVERIFY2(modals.ok(), qPrintable(modals.report()));

        if (replaced) {
            const QByteArray record = checkPair(name, newDocument);
            if (QTest::currentTestFailed())
                return;
            checkCertificateRecord(record, name, newDocument);
            QVERIFY(record != before.at(name + QStringLiteral(".p7s")).bytes);
        } else {
            const StoreSnapshot after = snapshotStore();
            QVERIFY2(after == before,
                     qPrintable(describe(before) + QStringLiteral(" -> ") + describe(after)));
        }
        if (answer != QLatin1String("yes") || ending == QLatin1String("copy missing") ||
            ending == QLatin1String("cancel"))
            QVERIFY2(pageRequests(site()).isEmpty(), qPrintable(pageRequests(site()).value(0).target));
        if (ending == QLatin1String("post fails"))
            QVERIFY(paneShows(*form, QStringLiteral("ts_noregister.htm")));
    }

    // ---- Intake: the dialog, the document and the store folder

    void openFileDialog() {
        // As configured, starting in the home folder; cancelling ends the command quietly.
        auto form = newForm();
        QVERIFY(form);
        E2eModals modals;
        modals.cancelFileDialog([&](QWidget* w) {
            auto* dialog = qobject_cast<QFileDialog*>(w);
            modals.expectThat(dialog != nullptr, QStringLiteral("not a QFileDialog"));
            if (!dialog)
                return;
            modals.expectThat(dialog->windowTitle() == QLatin1String("Select a File to Register"),
                              dialog->windowTitle());
            modals.expectThat(dialog->directory().absolutePath() == QDir(m_env.home()).absolutePath(),
                              dialog->directory().absolutePath());
            modals.expectThat(
                dialog->nameFilters() ==
                    QStringList(
                        {"All Files (*.*) (*)",
                         "Documents (doc,htm,txt,wri,wpd,rtf) (*.doc *.htm *.html *.txt *.wri *.wpd *.rtf)"}),
                dialog->nameFilters().join(QLatin1Char('|')));
            // The patterns group is hidden: the user sees the labels alone.
            const QComboBox* types = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
            modals.expectThat(types && types->currentText() == QLatin1String("All Files (*.*)"),
                              types ? types->currentText() : QStringLiteral("no file type box"));
            modals.expectThat(dialog->fileMode() == QFileDialog::ExistingFile, QStringLiteral("file mode"));
            modals.expectThat(dialog->acceptMode() == QFileDialog::AcceptOpen, QStringLiteral("accept mode"));
            modals.expectThat(dialog->testOption(QFileDialog::DontUseNativeDialog) &&
                                  dialog->testOption(QFileDialog::DontResolveSymlinks) &&
                                  dialog->testOption(QFileDialog::HideNameFilterDetails),
                              QStringLiteral("options"));
            const QLineEdit* nameBox = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            modals.expectThat(!nameBox || nameBox->text().isEmpty(),
                              QStringLiteral("the name box is not empty"));
        });
        registerFrom(*form);
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QVERIFY(QFileInfo(E2eEnvironment::storeFolder()).isDir());
        checkStoreEmpty();
        QVERIFY(pageRequests(site()).isEmpty());
        QVERIFY(!form->progressForm()->isVisible());
    }

    void secondTryStartsAtRoot_data() {
        QTest::addColumn<QString>("home");
        QTest::newRow("home folder missing") << "missing";
        QTest::newRow("home is a file") << "file";
    }
    void secondTryStartsAtRoot() {
        QFETCH(QString, home);
        const QString path = m_env.home() + QStringLiteral("/not-a-home-") + home;
        if (home == QLatin1String("file")) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        auto form = newForm();
        QVERIFY(form);
        qputenv("HOME", QFile::encodeName(path));
        E2eModals modals;
        modals.cancelFileDialog([&](QWidget* w) {
            auto* dialog = qobject_cast<QFileDialog*>(w);
            modals.expectThat(dialog && dialog->directory().absolutePath() == QLatin1String("/"),
                              QStringLiteral("the second try does not start at /"));
        });
        registerFrom(*form);
        QVERIFY(m_env.useNss(QStringLiteral("one")));
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
    }

    void intakeFailures_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("message");
        QTest::newRow("empty document")
            << "empty"
            << "The file you selected is empty (it contains no data). Please select a file with data.";
        QTest::newRow("document cannot be opened (a named pipe)")
            << "fifo"
            << "The file to be registered cannot be opened.";
    }
    void intakeFailures() {
        QFETCH(QString, kind);
        QFETCH(QString, message);
        QString path;
        if (kind == QLatin1String("empty")) {
            path = m_env.writeDocument(QStringLiteral("empty.doc"), QByteArray());
        } else {
            path = m_env.documentsFolder() + QStringLiteral("/pipe.doc");
            QFile::remove(path);
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        }
        auto form = newForm();
        QVERIFY(form);
        E2eModals modals;
        modals.chooseFile(path).message(stop(message));
        registerFrom(*form);
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QVERIFY(!form->progressForm()->isVisible());
        checkStoreEmpty();
        QVERIFY(pageRequests(site()).isEmpty());
    }

    void storeFolderCannotBeCreated() {
        // A file where the store folder must be.
        QString store = E2eEnvironment::storeFolder();
        store.chop(1);
        QFile blocker(store);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.write("not a folder");
        blocker.close();
        auto form = newForm();
        QVERIFY(form);
        E2eModals modals;
        modals.message(
            {QStringLiteral("Cannot create 'Registered' directory for registered files. Check file "
                            "permissions."),
             QMessageBox::Critical, QStringLiteral("Tessaro")});
        registerFrom(*form);
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QVERIFY(QFileInfo(store).isFile());
    }

    void progressAndSignMethodCancel_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("text");
        const QString shortText = QStringLiteral("Please wait while your file is read...");
        const QString longText = QStringLiteral(
            "Please wait while you file is read.\r\nThis may take a minute or two as this file is large...");
        QTest::newRow("999,999 bytes") << 999999 << shortText;
        QTest::newRow("1,000,000 bytes") << 1000000 << longText;
    }
    void progressAndSignMethodCancel() {
        QFETCH(int, size);
        QFETCH(QString, text);
        const QString path = m_env.writeDocument(QStringLiteral("sized.doc"), freshBytes(size));
        auto form = newForm();
        QVERIFY(form);
        E2eModals modals;
        modals.chooseFile(path)
            .dialog(
                QStringLiteral("TSSignMethod"), cancelSignMethod([&](QWidget*) {
                    TSProgressForm* progress = form->progressForm();
                    modals.expectThat(progress->isVisible(), QStringLiteral("the progress window is hidden"));
                    modals.expectThat(progress->windowTitle() == QLatin1String("Registration in Progress"),
                                      progress->windowTitle());
                    modals.expectThat(progress->Label1()->text() == text, progress->Label1()->text());
                }))
            .message(plain(QStringLiteral("Registration cancelled.")));
        registerFrom(*form);
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QVERIFY(!form->progressForm()->isVisible());
        checkStoreEmpty();
        QVERIFY(pageRequests(site()).isEmpty());
    }

    void certificateStoreFailures_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("message");
        QTest::newRow("no personal certificate")
            << "empty"
            << "You do not have a digital certificate available to digitally sign and register your file. "
               "You must "
               "obtain an acceptable digital certificate before you may register your file.";
        QTest::newRow("no database at all")
            << "none"
            << "You do not have a digital certificate available to digitally sign and register your file. "
               "You must "
               "obtain an acceptable digital certificate before you may register your file.";
        QTest::newRow("choice of certificate cancelled") << "two" << kCrypto;
        QTest::newRow("only an expired certificate") << "expired" << kCrypto;
    }
    void certificateStoreFailures() {
        QFETCH(QString, kind);
        QFETCH(QString, message);
        const QString path = m_env.writeDocument(QStringLiteral("unsigned.doc"), freshBytes());
        auto form = newForm();
        QVERIFY(form);
        QVERIFY2(m_env.useNss(kind), qPrintable(m_env.error()));
        E2eModals modals;
        modals.chooseFile(path).dialog(QStringLiteral("TSSignMethod"), signWithCertificate());
        if (kind == QLatin1String("two"))
            modals.dialog(QStringLiteral("TSCertChooser"),
                          [](QWidget* w) { qobject_cast<QDialog*>(w)->reject(); });
        modals.message(stop(message));
        registerFrom(*form);
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QVERIFY(!form->progressForm()->isVisible());
        checkStoreEmpty();
        QVERIFY(pageRequests(site()).isEmpty());
    }

    void chosenCertificateSigns() {
        // With several certificates the user picks one, and that one signs.
        QVERIFY2(m_env.useNss(QStringLiteral("two")), qPrintable(m_env.error()));
        const QString name = QStringLiteral("chosen.doc");
        const QByteArray document = freshBytes();
        auto form = newForm();
        QVERIFY(form);
        E2eModals modals;
        modals.chooseFile(m_env.writeDocument(name, document))
            .dialog(QStringLiteral("TSSignMethod"), signWithCertificate())
            .dialog(QStringLiteral("TSCertChooser"), [](QWidget* w) {
                auto* list = w->findChild<QTreeWidget*>(QStringLiteral("lstCertificates"));
                list->setCurrentItem(list->topLevelItem(1));
                qobject_cast<QDialog*>(w)->accept();
            });
        registerFrom(*form);
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        const QByteArray record = checkPair(name, document);
        checkCertificateRecord(record, name, document);
        SignedData signedData;
        signedData.Verify(QString::fromLatin1(record));
        QCOMPARE(signedData.Signers().Item(1).Certificate().CommonName(), QStringLiteral("Bob Example"));
    }

    void localWriteFailures_data() {
        QTest::addColumn<bool>("recordBlocked");
        QTest::addColumn<bool>("copyBlocked");
        QTest::newRow("record name taken") << true << false;
        QTest::newRow("copy name taken") << false << true;
        QTest::newRow("both names taken") << true << true;
    }
    void localWriteFailures() {
        // Folders where the record and copy must go: root cannot write over them either.
        QFETCH(bool, recordBlocked);
        QFETCH(bool, copyBlocked);
        const QString name = QStringLiteral("blocked.doc");
        const QByteArray document = freshBytes();
        QVERIFY(QDir().mkpath(E2eEnvironment::storeFolder()));
        if (recordBlocked)
            QVERIFY(QDir().mkdir(E2eEnvironment::storeRecord(name)));
        if (copyBlocked)
            QVERIFY(QDir().mkdir(E2eEnvironment::storeCopy(name)));
        auto form = newForm();
        QVERIFY(form);
        E2eModals modals;
        modals.chooseFile(m_env.writeDocument(name, document))
            .dialog(QStringLiteral("TSSignMethod"), signWithCertificate());
        for (int i = 0; i < int(recordBlocked) + int(copyBlocked); ++i)
            modals.message(stop(kLocalCopy));
        registerFrom(*form);
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        // The site's registration stands; what could be written was written.
        QCOMPARE(site().registrations().last().fingerprint, fingerprintOf(document));
        QCOMPARE(sorted(E2eEnvironment::storeEntries()), sorted({name, name + QStringLiteral(".p7s")}));
        QCOMPARE(QFileInfo(E2eEnvironment::storeRecord(name)).isDir(), recordBlocked);
        QCOMPARE(QFileInfo(E2eEnvironment::storeCopy(name)).isDir(), copyBlocked);
        if (!copyBlocked)
            QCOMPARE(E2e::fileContent(E2eEnvironment::storeCopy(name)).value_or(QByteArray()), document);
        if (!recordBlocked)
            checkCertificateRecord(E2e::fileContent(E2eEnvironment::storeRecord(name)).value_or(QByteArray()),
                                   name, document);
    }

    // ---- While a registration waits

    void guardWhileWaiting() {
        site().neverComplete(QString::fromLatin1(TestSite::LoginPath), QStringLiteral("GET"));
        const QString path = m_env.writeDocument(QStringLiteral("waiting.doc"), freshBytes());
        auto form = newForm();
        QVERIFY(form);
        form->setWaitLimit(4s);
        const QUrl login = site().url(QString::fromLatin1(TestSite::LoginPath));
        E2eModals modals;
        modals.chooseFile(path).dialog(QStringLiteral("TSSignMethod"), signWithCertificate());

        struct {
            bool tried = false;
            QUrl urlAfter;
            bool progressVisible = false;
            QString progressText;
        } seen;
        QTimer poll;
        connect(&poll, &QTimer::timeout, form.get(), [&] {
            if (site().requests(QString::fromLatin1(TestSite::LoginPath)).isEmpty() ||
                form->WebBrowser1()->url() != login)
                return;
            poll.stop();
            seen.progressVisible = form->progressForm()->isVisible();
            seen.progressText = form->progressForm()->Label1()->text();
            // Another registration, a verification and the help page: none of them may start.
            menuItem(*form, "mFile_Register")->trigger();
            menuItem(*form, "m_View_Registered")->trigger();
            menuItem(*form, "mHelp_Contents")->trigger();
            E2e::runFor(500ms);
            seen.urlAfter = form->WebBrowser1()->url();
            seen.tried = true;
        });
        poll.start(20);
        registerFrom(*form);
        // The unanswered wait ended at its limit, like a page that failed to load.
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QVERIFY(seen.tried);
        QVERIFY(seen.progressVisible);
        QCOMPARE(seen.progressText, QStringLiteral("Contacting Tessaro Web Site..."));
        QCOMPARE(seen.urlAfter, login);
        QVERIFY(paneShows(*form, QStringLiteral("ts_noaccess.htm")));
        checkStoreEmpty();
        checkNothingPosted();
    }

    void exitDuringPostWait() {
        // An existing pair set aside for re-creation, then Exit while the post waits.
        const QString name = QStringLiteral("abandoned.doc");
        auto form = newForm();
        QVERIFY(form);
        registerByCertificate(*form, m_env.writeDocument(name, freshBytes()));
        if (QTest::currentTestFailed())
            return;
        const StoreSnapshot before = snapshotStore();
        site().clearRequests();
        site().neverComplete(QString::fromLatin1(TestSite::CertRegisterPath), QStringLiteral("POST"));

        E2eModals modals;
        modals.chooseFile(m_env.writeDocument(name, freshBytes()))
            .message(recreateQuestion(), QMessageBox::Yes)
            .dialog(QStringLiteral("TSSignMethod"), signWithCertificate());
        bool setAsideSeen = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, form.get(), [&] {
            if (site()
                    .requests(QString::fromLatin1(TestSite::CertRegisterPath), QStringLiteral("POST"))
                    .isEmpty())
                return;
            poll.stop();
            setAsideSeen = !QFileInfo::exists(E2eEnvironment::storeRecord(name));
            menuItem(*form, "mFile_Exit")->trigger();
        });
        poll.start(20);
        QTimer::singleShot(0, form.get(), [&] { registerFrom(*form); });
        QCOMPARE(E2e::runProgram(), 0);
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QVERIFY(setAsideSeen);
        const StoreSnapshot after = snapshotStore();
        QVERIFY2(after == before, qPrintable(describe(before) + QStringLiteral(" -> ") + describe(after)));
        QVERIFY(!form->commandRunning());
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
