// File > Register end to end: the program's main window with the real Qt WebEngine pane, run from
// a copy in a temporary program folder, a real NSS database in a temporary HOME, and the
// registration site on 127.0.0.1. The user's part (the open-file dialog, the sign-method dialog,
// the message boxes) is played through the application's modal widgets.

#include "app/TSApplication.h"
#include "app/TSProgressForm.h"
#include "app/TSRegForm.h"
#include "certstore/CertLibrary.h"
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
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <QUuid>
#include <QWebEngineView>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/resource.h>
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
const QString kNoAccess = QStringLiteral("ts_noaccess.htm");
const QString kNoRegister = QStringLiteral("ts_noregister.htm");
const QString kCancelled = QStringLiteral("Registration cancelled.");

E2eMessage stop(const QString& text) {
    return {text, QMessageBox::Critical, QStringLiteral("Error Message")};
}

// The registration server's error message around the reply code's own sentence.
QString serverError(const QString& sentence) {
    return QStringLiteral("The registration server reported an error. Your file was not registered. ") +
           sentence + QStringLiteral("Please contact technical support for further assistance.");
}

E2eMessage recreateQuestion() {
    return {
        QStringLiteral(
            "This file already exists in the local registration database and the registration data for this "
            "file has previously been created. Click 'Yes' to re-create the registration data using today's "
            "date which will replace the previous data and overwrite the file in the registration database "
            "(not recommended). Choose 'No' to use the existing data (recommended)."),
        QMessageBox::Warning, QStringLiteral("Error Message"), QMessageBox::Yes | QMessageBox::No,
        QMessageBox::No};
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
        state << QStringLiteral("%1 %2 %3")
                     .arg(name, QString::number(QFileInfo(path).permissions(), 16),
                          fingerprintOf(E2e::fileContent(path).value_or("<unreadable>")));
    }
    return state;
}

// The program itself, started by a test as a user starts it ("--as-program <mode> [document]"):
//   start        prints the store's entries as it finds them before the first page is shown, and ends
//   sign-method  registers the document again, answers Yes to the re-create question and stays at the
//                sign-method dialog, printing "sign-method"
//   post         the same, by certificate, on to the post
int runAsProgram(int argc, char* argv[]) {
    const QByteArray mode = argv[2];
    const QString document = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QString();
    std::unique_ptr<E2eModals> modals;
    return RunTessaro(argc, argv, [&](TSRegForm& form) {
        if (mode == "start") {
            std::puts(qPrintable(E2eEnvironment::storeEntries().join(QLatin1Char('/'))));
            std::fflush(stdout);
            QTimer::singleShot(0, &form, [] { QCoreApplication::exit(0); });
            return;
        }
        modals = std::make_unique<E2eModals>();
        modals->chooseFile(document).message(recreateQuestion(), QMessageBox::Yes);
        if (mode == "sign-method")
            modals->dialog(kSignMethod, [](QWidget*) {
                std::puts("sign-method");
                std::fflush(stdout);
            });
        else
            modals->dialog(kSignMethod, byCertificate);
        QTimer::singleShot(
            0, &form, [&form] { form.findChild<QAction*>(QStringLiteral("mFile_Register"))->trigger(); });
    });
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

    // The command ended with the progress window hidden and nothing stored, after this many posts
    // to the site.
    void checkNothingStored(int posts = 0) {
        QVERIFY(!m_form->progressForm()->isVisible());
        QCOMPARE(E2eEnvironment::storeEntries(), QStringList());
        const QList<TestSiteRequest> requests = site().requests();
        QCOMPARE(
            std::count_if(requests.begin(), requests.end(), [](const auto& r) { return r.method == kPost; }),
            posts);
    }

    // A registration by certificate that goes through.
    void registerFirst(const QString& name) {
        E2eModals modals;
        modals.chooseFile(m_env.writeDocument(name, freshBytes())).dialog(kSignMethod, byCertificate);
        QVERIFY2(registerWith(modals), qPrintable(modals.report()));
        QVERIFY(QFileInfo::exists(E2eEnvironment::storeRecord(name)));
        site().clearRequests();
    }

    // The store holds exactly the document's record and copy, both read-only, the copy
    // byte-exact. Gives the record's bytes.
    QByteArray checkPair(const QString& name, const QByteArray& document) {
        const QString copy = E2eEnvironment::storeCopy(name);
        const QString record = E2eEnvironment::storeRecord(name);
        [&] {
            QCOMPARE(E2eEnvironment::storeEntries(), QStringList({name, name + QStringLiteral(".p7s")}));
            QVERIFY(E2e::isReadOnly(copy) && E2e::isReadOnly(record));
            QCOMPARE(E2e::fileContent(copy).value_or(QByteArray()), document);
        }();
        return E2e::fileContent(record).value_or(QByteArray());
    }

    // A certificate record: one line, posted exactly with the document's name and accepted by the
    // site, which verifies it with OpenSSL's CMS and takes its content, the document's fingerprint
    // as UTF-16LE; signed now and naming the document.
    void checkCertificateRecord(const QByteArray& record, const QString& name, const QByteArray& document) {
        QVERIFY2(!record.contains('\r') && !record.contains('\n') && !record.contains(' '),
                 record.constData());
        const QList<TestSiteRequest> posts = site().requests(kCertPost, kPost);
        QVERIFY(!posts.isEmpty() && posts.last().fieldsValidUtf8);
        QCOMPARE(posts.last().fields,
                 TestSiteFields({{"tessaro", QString::fromLatin1(record)}, {"filename", name}}));
        const QString fingerprint = fingerprintOf(document);
        QCOMPARE(site().registrations().last().fingerprint, fingerprint);
        QVERIFY(QByteArray::fromBase64(record).contains(
            QByteArray(reinterpret_cast<const char*>(fingerprint.utf16()), fingerprint.size() * 2)));
        SignedData signedData;
        signedData.Verify(QString::fromLatin1(record));
        const Attributes attributes = signedData.Signers().Item(1).AuthenticatedAttributes();
        QCOMPARE(attributes.Count(), 2);
        QVERIFY(qAbs(attributes.Item(1).Value().toDateTime().secsTo(QDateTime::currentDateTime())) < 3600);
        QCOMPARE(attributes.Item(2).Value().toString(), name);
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_env.isValid(), qPrintable(m_env.error())); }

    // Each test starts with an empty store, the default site, database and HOME, and the main
    // window with its introduction page loaded, so that no notification of it is left.
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
        // Quotes, markup, entities, blanks and non-ASCII text are posted and stored exactly.
        QTest::newRow("certificate") << true;
        QTest::newRow("user name and password") << false;
    }
    void registrationGoesThrough() {
        QFETCH(bool, certificate);
        const QString name = QStringLiteral("  it's \"quoted\" <b>&amp;&#39; & Résumé 東京 📄.doc");
        const QString signature = QStringLiteral("  V.01_with blanks  ");
        if (!certificate)
            site().replyWithSignature(signature);
        const QByteArray document = freshBytes();
        E2eModals modals;
        modals.chooseFile(m_env.writeDocument(name, document))
            .dialog(kSignMethod, certificate ? E2eModals::Answer(byCertificate) : byPassword());
        QVERIFY2(registerWith(modals), qPrintable(modals.report()));

        const QByteArray record = checkPair(name, document);
        QCOMPARE(site().registrations().last().filename, name);
        const QList<TestSiteRequest> posts = site().requests(certificate ? kCertPost : kUserPost, kPost);
        QCOMPARE(posts.size(), 1);
        if (certificate) {
            // One post of exactly the record and the name, after the login page.
            checkCertificateRecord(record, name, document);
            const QList<TestSiteRequest> logins = site().requests(kLogin, kGet);
            QVERIFY(logins.size() == 1 && logins[0].seq < posts[0].seq);
            QCOMPARE(m_form->WebBrowser1()->url(), site().url(kCertPost));
            return;
        }
        // The site's signature text is the record, blanks kept; the fields arrived in order.
        QCOMPARE(QString::fromUtf8(record), signature);
        QCOMPARE(posts[0].fields, TestSiteFields({{"filename", name},
                                                  {"filehash", fingerprintOf(document)},
                                                  {"user", kUser},
                                                  {"pwd", kPassword}}));
        // The reply's own form was submitted.
        const QString submitted = QString::fromLatin1(TestSite::RegisteredPath);
        QVERIFY(site().waitForRequests(submitted, kPost));
        QCOMPARE(site().requests(submitted)[0].field(QStringLiteral("filename")), name);
    }

    // ---- Every ending that stores nothing: its message, the page left in the pane, the posts

    void nothingStored_data() {
        QTest::addColumn<QString>("setup");   // "password ..." signs with user name and password
        QTest::addColumn<QString>("message"); // empty: none, and the pane shows a local error page
        const QString users = serverError("You are not registered as a user with this database. ");
        const QString noCertificate = QStringLiteral(
            "You do not have a digital certificate available to digitally sign and register "
            "your file. You must obtain an acceptable digital certificate before you may register "
            "your file.");
        const QString noSignature =
            QStringLiteral("Failed to generate signature. Contact technical support for further assistance.");
        QTest::newRow("store folder cannot be created")
            << "store"
            << "Cannot create 'Registered' directory for registered files. Check file permissions.";
        QTest::newRow("empty document")
            << "empty"
            << "The file you selected is empty (it contains no data). Please select a file with data.";
        QTest::newRow("copy cannot be written (a full disk)")
            << "full"
            << "Cannot create 'Registered' directory for registered files. Check file permissions.";
        QTest::newRow("document cannot be opened (a named pipe)")
            << "fifo"
            << "The file to be registered cannot be opened.";
        QTest::newRow("a line feed in the name")
            << "control"
            << "The name of the file you selected contains control characters (such as a line break), which "
               "cannot be sent to the registration site. Please rename the file and select it again.";
        QTest::newRow("sign method cancelled") << "cancel" << kCancelled;
        QTest::newRow("no database at all") << "nss none" << noCertificate;
        QTest::newRow("only an expired certificate")
            << "nss expired"
            << "The cryptographic functions on your computer are not available. Try reinstalling this "
               "application and/or Internet Explorer.";
        QTest::newRow("dberror-open")
            << "error:dberror-open" << serverError("The registration database was not available. ");
        QTest::newRow("dberror-rs-registrations")
            << "error:dberror-rs-registrations"
            << serverError("The registrations table could not be opened. ");
        QTest::newRow("signature-verification-failure")
            << "error:signature-verification-failure"
            << serverError("The digital signature on your file registration could not be verified. ");
        QTest::newRow("dberror-update")
            << "error:dberror-update"
            << serverError(
                   "This file may have already been registered. The registrations database could not be "
                   "updated. ");
        QTest::newRow("other code") << "error:out-of-paper" << serverError("");
        QTest::newRow("wrong password (the site's own refusal)") << "password wrong" << users;
        QTest::newRow("no signature start marker") << "password no marker" << noSignature;
        QTest::newRow("blank signature") << "password blank" << noSignature;
        QTest::newRow("site unreachable") << "unreachable" << QString();
        QTest::newRow("first page 404") << "first 404" << QString();
        QTest::newRow("post never completes") << "post hangs" << QString();
        QTest::newRow("reply cannot be read") << "reply unreadable" << QString();
        QTest::newRow("password: post answered 404") << "password status 404" << QString();
        // A post that brings no new page is a failed post, not an acceptance.
        QTest::newRow("post answered 204") << "status 204" << QString();
        QTest::newRow("password: post answered 204") << "password status 204" << QString();
        QTest::newRow("post turned into a download") << "download" << QString();
        QTest::newRow("password: post turned into a download") << "password download" << QString();
    }
    void nothingStored() {
        QFETCH(QString, setup);
        QFETCH(QString, message);
        const auto is = [&](const char* key) { return setup == QLatin1String(key); };
        const QString page =
            message.isEmpty() ? (is("unreachable") || is("first 404") ? kNoAccess : kNoRegister) : QString();
        const bool password = setup.startsWith(QLatin1String("password "));
        const QString action = password ? kUserPost : kCertPost;
        // 1,000,000 bytes: the progress window shows the long reading text.
        QString path =
            m_env.writeDocument(is("control") ? QStringLiteral("un\nsent.doc") : QStringLiteral("unsent.doc"),
                                is("empty") ? QByteArray() : freshBytes(1000000));
        if (is("store")) // a file where the store folder must be
            QVERIFY(QFile(E2eEnvironment::storeFolder().chopped(1)).open(QIODevice::WriteOnly));
        else if (is("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(path += QStringLiteral(".pipe")).constData(), 0600), 0);
        else if (setup.startsWith(QLatin1String("nss ")))
            QVERIFY2(m_env.useNss(setup.mid(4)), qPrintable(m_env.error()));
        else if (setup.startsWith(QLatin1String("error:")))
            site().replyText(action, setup, kPost);
        else if (is("password no marker"))
            site().replyWithoutStartMarker();
        else if (is("password blank"))
            site().replyWithSignature(QStringLiteral("   "));
        else if (is("unreachable"))
            qputenv("TESSARO_SITE_ORIGIN", TestSite::refusedOrigin().toUtf8());
        else if (is("first 404"))
            site().replyStatus(kLogin, 404, kGet);
        else if (setup.contains(QLatin1String("status ")))
            site().replyStatus(action, setup.right(3).toInt(), kPost);
        else if (setup.endsWith(QLatin1String("download")))
            site().replyAsDownload(action, kPost);
        else if (is("post hangs"))
            site().neverComplete(action, kPost);
        else if (is("reply unreadable")) // an accepting page that removes itself
            site().replyBody(
                action,
                QStringLiteral("<!DOCTYPE html><html><head><meta charset=\"utf-8\"></head><body>"
                               "<p>Registration Accepted</p><script>"
                               "document.removeChild(document.documentElement);</script></body></html>"),
                kPost);

        E2eModals modals;
        if (!is("store"))
            modals.chooseFile(path);
        if (is("cancel"))
            modals.dialog(kSignMethod, [&](QWidget* w) {
                const TSProgressForm* progress = m_form->progressForm();
                const QString shown = progress->windowTitle() + QLatin1Char('|') + progress->Label1()->text();
                const QString expected =
                    QStringLiteral("Registration in Progress|Please wait while you file is "
                                   "read.\r\nThis may take a minute or two as this file is "
                                   "large...");
                modals.expectThat(progress->isVisible() && shown == expected, shown);
                click(w, "btnCancel");
            });
        else if (password)
            modals.dialog(kSignMethod,
                          byPassword(is("password wrong") ? QStringLiteral("wrong") : kPassword));
        else if (!is("store") && !is("empty") && !is("fifo") && !is("control") && !is("full"))
            modals.dialog(kSignMethod, byCertificate);
        if (!message.isEmpty())
            modals.message(is("store") || is("full") ? E2eMessage{message, QMessageBox::Critical}
                           : is("cancel")            ? E2eMessage{message}
                                                     : stop(message));
        m_form->setWaitLimit(3s);
        // A full disk: writes past 512 KiB fail, for root too.
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        if (is("full")) {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit lowered{512 * 1024, saved.rlim_max};
            ::setrlimit(RLIMIT_FSIZE, &lowered);
        }
        const bool answered = registerWith(modals);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        QVERIFY2(answered, qPrintable(modals.report()));
        const bool posted = password || setup.startsWith(QLatin1String("error:")) || page == kNoRegister;
        checkNothingStored(posted ? 1 : 0);
        if (!page.isEmpty())
            QVERIFY2(paneShows(page), qPrintable(m_form->WebBrowser1()->url().toString()));
        else if (posted) // the pane keeps the site's reply
            QCOMPARE(m_form->WebBrowser1()->url(), site().url(action));
    }

    // ---- The re-create question

    void recreate_data() {
        QTest::addColumn<QString>("answer"); // the answer, then how the command goes on
        QTest::newRow("Yes, accepted") << "yes accepted";
        QTest::newRow("Yes, then the sign method cancelled") << "yes cancel";
        QTest::newRow("Yes, then a reply code") << "yes code";
        QTest::newRow("Yes, then a failed post") << "yes fails";
        QTest::newRow("Yes, then Exit while the post waits") << "yes exit";
        QTest::newRow("Yes, copy missing: the pair cannot be set aside") << "yes missing";
        QTest::newRow("No") << "no";
        QTest::newRow("Esc") << "esc";
        QTest::newRow("closed") << "close";
    }
    void recreate() {
        QFETCH(QString, answer);
        const auto is = [&](const char* key) { return answer == QLatin1String(key); };
        const QString name = QStringLiteral("same name.doc");
        registerFirst(name);
        if (QTest::currentTestFailed())
            return;
        if (is("yes missing"))
            QVERIFY(QFile::remove(E2eEnvironment::storeCopy(name)));
        const QStringList before = storeState();

        // Another document of the same name, from another folder, with other bytes.
        const QByteArray document = freshBytes();
        E2eModals modals;
        modals.chooseFile(m_env.writeDocument(name, document));
        if (is("esc") || is("close"))
            modals.message(recreateQuestion(),
                           is("esc") ? E2eModals::Dismiss::EscapeKey : E2eModals::Dismiss::CloseWindow);
        else
            modals.message(recreateQuestion(), is("no") ? QMessageBox::No : QMessageBox::Yes);
        if (!answer.startsWith(QLatin1String("yes")))
            modals.message({QStringLiteral(
                "The existing registration data was kept. Nothing was sent to the registration site.")});
        else if (is("yes missing"))
            modals.message(stop(QStringLiteral(
                "The existing registered files could not be deleted from the local database.")));
        else if (is("yes cancel"))
            modals.dialog(kSignMethod, [](QWidget* w) { click(w, "btnCancel"); }).message({kCancelled});
        else
            modals.dialog(kSignMethod, byCertificate);
        if (is("yes code")) {
            site().replyText(kCertPost, QStringLiteral("error:dberror-open"), kPost);
            modals.message(
                stop(serverError(QStringLiteral("The registration database was not available. "))));
        } else if (is("yes fails")) {
            site().replyStatus(kCertPost, 500, kPost);
        } else if (is("yes exit")) {
            site().neverComplete(kCertPost, kPost);
        }
        if (is("yes exit")) {
            // Exit once the post waits, with the old pair set aside: the program ends.
            bool setAside = false;
            E2e::onceWhen(
                m_form.get(), [&] { return !site().requests(kCertPost, kPost).isEmpty(); },
                [&] {
                    setAside = !QFileInfo::exists(E2eEnvironment::storeRecord(name));
                    trigger("mFile_Exit");
                });
            QTimer::singleShot(0, m_form.get(), [&] { trigger("mFile_Register"); });
            QCOMPARE(E2e::runProgram(), 0);
            QVERIFY(setAside && !m_form->commandRunning());
            QVERIFY2(modals.ok(), qPrintable(modals.report()));
        } else {
            QVERIFY2(registerWith(modals), qPrintable(modals.report()));
        }

        if (is("yes accepted")) {
            checkCertificateRecord(checkPair(name, document), name, document);
            return;
        }
        QCOMPARE(storeState(), before);
        const bool posted = is("yes code") || is("yes fails") || is("yes exit");
        QCOMPARE(site().requests(kCertPost, kPost).size(), posted ? 1 : 0);
        QVERIFY(!is("yes fails") || paneShows(kNoRegister));
    }

    // ---- The program killed while the old pair is set aside, then started again

    void killedWhileSetAside_data() {
        QTest::addColumn<QString>("when");
        QTest::newRow("at the sign-method dialog") << "sign-method";
        QTest::newRow("while the post waits") << "post";
    }
    void killedWhileSetAside() {
        QFETCH(QString, when);
        const QString name = QStringLiteral("killed.doc");
        registerFirst(name);
        if (QTest::currentTestFailed())
            return;
        const QStringList before = storeState();
        if (when == QLatin1String("post"))
            site().neverComplete(kCertPost, kPost);
        const auto start = [](QProcess& program, const QStringList& arguments) {
            program.setStandardErrorFile(QProcess::nullDevice());
            program.start(QCoreApplication::applicationFilePath(),
                          QStringList{QStringLiteral("--as-program")} + arguments);
        };
        QProcess program;
        start(program, {when, m_env.writeDocument(name, freshBytes())});
        QByteArray output;
        QVERIFY(E2e::waitFor([&] {
            output += program.readAllStandardOutput();
            return when == QLatin1String("post") ? !site().requests(kCertPost, kPost).isEmpty()
                                                 : output.contains("sign-method");
        }));
        const QStringList aside = E2eEnvironment::storeEntries();
        QVERIFY2(aside.size() == 1 && aside[0].startsWith(QLatin1String(".tessaro-")),
                 qPrintable(aside.join('|')));
        ::kill(pid_t(program.processId()), SIGKILL);
        QVERIFY(program.waitForFinished());

        // The pair is back before the first page is shown, byte for byte and read-only, and
        // nothing hidden is left.
        QProcess again;
        start(again, {QStringLiteral("start")});
        QVERIFY(again.waitForFinished(120000));
        QCOMPARE(again.readAllStandardOutput().trimmed(),
                 (name + QLatin1Char('/') + name + QStringLiteral(".p7s")).toUtf8());
        QCOMPARE(storeState(), before);
    }

    // ---- The open-file dialog and the store

    void openFileDialogCancelled_data() {
        QTest::addColumn<bool>("homeUsable");
        QTest::newRow("starts in the home folder") << true;
        QTest::newRow("home is a file: the second try starts at /") << false;
    }
    void openFileDialogCancelled() {
        QFETCH(bool, homeUsable);
        QString folder = m_env.home();
        if (!homeUsable) {
            QFile file(m_env.home() + QStringLiteral("/not-a-home"));
            QVERIFY(file.open(QIODevice::WriteOnly));
            qputenv("HOME", QFile::encodeName(file.fileName()));
            folder = QStringLiteral("/");
        }
        E2eModals modals;
        modals.cancelFileDialog([&](QWidget* w) {
            auto* dialog = qobject_cast<QFileDialog*>(w);
            modals.expectThat(
                dialog && dialog->windowTitle() == QLatin1String("Select a File to Register") &&
                    dialog->directory().absolutePath() == QDir(folder).absolutePath() &&
                    dialog->fileMode() == QFileDialog::ExistingFile &&
                    dialog->nameFilters() ==
                        QStringList({"All Files (*.*) (*)", "Documents (doc,htm,txt,wri,wpd,rtf) "
                                                            "(*.doc *.htm *.html *.txt *.wri *.wpd "
                                                            "*.rtf)"}),
                QStringLiteral("the dialog's title, folder, mode or filters"));
        });
        QVERIFY2(registerWith(modals), qPrintable(modals.report()));
        QVERIFY(QFileInfo(E2eEnvironment::storeFolder()).isDir());
        checkNothingStored();
    }

    void localWriteFailures() {
        // Folders where the record and copy must go: root cannot write over them either.
        const QString name = QStringLiteral("blocked.doc");
        const QByteArray document = freshBytes();
        QVERIFY(QDir().mkpath(E2eEnvironment::storeRecord(name)) &&
                QDir().mkdir(E2eEnvironment::storeCopy(name)));
        E2eModals modals;
        modals.chooseFile(m_env.writeDocument(name, document)).dialog(kSignMethod, byCertificate);
        for (int i = 0; i < 2; ++i) // once for each file
            modals.message(stop(QStringLiteral(
                "Your file was registered successfully with the Tessaro Server but a local copy could not be "
                "written due to a file system error. Contact technical support for further assistance.")));
        QVERIFY2(registerWith(modals), qPrintable(modals.report()));
        // The site's registration stands.
        QCOMPARE(site().registrations().last().fingerprint, fingerprintOf(document));
        QVERIFY(QFileInfo(E2eEnvironment::storeRecord(name)).isDir() &&
                QFileInfo(E2eEnvironment::storeCopy(name)).isDir());
    }

    // ---- While a registration waits

    void guardWhileWaiting() {
        site().neverComplete(kLogin, kGet);
        m_form->setWaitLimit(4s);
        const QUrl login = site().url(kLogin);
        E2eModals modals;
        modals.chooseFile(m_env.writeDocument(QStringLiteral("waiting.doc"), freshBytes()))
            .dialog(kSignMethod, byCertificate);
        QString progressText;
        QUrl urlAfter;
        E2e::onceWhen(
            m_form.get(),
            [&] { return !site().requests(kLogin).isEmpty() && m_form->WebBrowser1()->url() == login; },
            [&] {
                if (m_form->progressForm()->isVisible())
                    progressText = m_form->progressForm()->Label1()->text();
                // Another registration, a verification and the help page: none of them may start.
                trigger("mFile_Register");
                trigger("m_View_Registered");
                trigger("mHelp_Contents");
                E2e::runFor(500ms);
                urlAfter = m_form->WebBrowser1()->url();
            });
        // The unanswered wait ends at its limit, like a page that failed to load.
        QVERIFY2(registerWith(modals), qPrintable(modals.report()));
        QCOMPARE(progressText, QStringLiteral("Contacting Tessaro Web Site..."));
        QCOMPARE(urlAfter, login);
        QVERIFY(paneShows(kNoAccess));
        checkNothingStored();
    }
};

int main(int argc, char* argv[]) {
    if (argc >= 3 && qstrcmp(argv[1], "--as-program") == 0)
        return runAsProgram(argc, argv);
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
