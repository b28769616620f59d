// The commands against a registration site that misbehaves in ways only a real browser shows:
// pages that fail to load, time out, bring no new document or remove themselves, and the program
// ended or killed while it waits with the old pair set aside. The program runs from a copy in a
// temporary program folder, with the real pane and the test site on 127.0.0.1. Nothing is ever
// stored, and a pair set aside comes back.

#include "app/TSApplication.h"
#include "app/TSProgressForm.h"
#include "common/E2eSteps.h"

#include <QApplication>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QTest>
#include <QUuid>

#include <csignal>
#include <memory>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Env = E2eEnvironment;
namespace Path = TSSiteExchange::Path;

namespace {

const QString kName = u"same name.doc"_s;
const QString kSiteRecord = u"site record.doc"_s;

QByteArray freshBytes() {
    return "document " + QUuid::createUuid().toByteArray() + '\n';
}

// The modal widgets of a command: the document or record chosen, Yes to the re-create question
// when a pair of the name is there, and the sign method or the login.
void expectDialogs(E2eModals& modals, const QString& method, const QString& document) {
    modals.chooseFile(document);
    if (method == "verify"_L1)
        modals.dialog(u"TSLogin"_s, E2e::logIn(u"alice"_s, u"secret"_s));
    else if (QFileInfo::exists(Env::storeRecord(kName)))
        modals.message(E2e::recreateQuestion(), QMessageBox::Yes);
    if (method != "verify"_L1)
        modals.dialog(u"TSSignMethod"_s,
                      E2e::signWith(method == "password"_L1 ? u"alice"_s : QString(), u"secret"_s));
}

// The program itself, started by a test as a user starts it ("--as-program <mode> [document]"):
//   start  prints the store's entries as it finds them before the first page is shown, and ends
//   post   registers the document by certificate, on to the post
int runAsProgram(int argc, char* argv[]) {
    const QByteArray mode = argv[2];
    const QString document = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QString();
    std::unique_ptr<E2eModals> modals;
    return RunTessaro(argc, argv, [&](TSRegForm& form) {
        if (mode == "start") {
            std::puts(qPrintable(Env::storeEntries().join(u'/')));
            std::fflush(stdout);
            QTimer::singleShot(0, &form, [] { QCoreApplication::exit(0); });
            return;
        }
        modals = std::make_unique<E2eModals>();
        expectDialogs(*modals, u"certificate"_s, document);
        QTimer::singleShot(0, &form, [&form] { E2e::trigger(&form, "mFile_Register"); });
    });
}

} // namespace

class TestSiteFaultsE2e : public QObject {
    Q_OBJECT
public:
    explicit TestSiteFaultsE2e(Env& env) : m_env(env) {}

private:
    Env& m_env;
    std::unique_ptr<TSRegForm> m_form;

    TestSite& site() { return m_env.site(); }
    QUrl paneUrl() const { return m_form->WebBrowser1()->url(); }
    // The store's files, hidden ones too, with their bytes.
    static QStringList storeState() {
        QStringList state;
        for (const QString& name : Env::storeEntries())
            state << name + u' ' +
                         QString::fromLatin1(
                             E2e::fileContent(Env::storeFolder() + name).value_or("-").toHex());
        return state;
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_env.isValid(), qPrintable(m_env.error())); }

    void init() {
        site().clearBehaviours();
        site().clearRequests();
        qputenv("TESSARO_SITE_ORIGIN", site().origin().toUtf8());
        QVERIFY(Env::clearStore());
        QVERIFY((m_form = E2e::openMainWindow()));
    }

    void cleanup() { m_form.reset(); }

    // The site's acceptance by user name and password: its signature is the record, and its page's
    // own form is followed.
    void replyFormFollowed() {
        site().behave(
            u"POST "_s + QLatin1String(Path::Password),
            {{u"body"_s, u"<html><body><!-- SIG:[V.01_x] --><form id='regform' method='post' action='/echo'>"
                         "<input type='hidden' name='filename' value='a'></form></body></html>"_s}});
        QCOMPARE(E2e::run(m_form.get(), "mFile_Register",
                          [&](E2eModals& m) {
                              expectDialogs(m, u"password"_s, m_env.writeDocument(kName, freshBytes()));
                          }),
                 QString());
        QVERIFY(site().waitForRequest(u"POST /echo"_s));
        QCOMPARE(E2e::fileContent(Env::storeRecord(kName)).value_or(QByteArray()), QByteArray("V.01_x"));
    }

    // Each fault ends the command with the local error page in the pane, or with the program when
    // the user chose Exit or it was killed. While a command waits, the other menu items do nothing.
    void faults_data() {
        QTest::addColumn<QString>("method"); // certificate, password, verify (a site record)
        QTest::addColumn<QString>("at");     // the first page (GET) or the post, or "refused": no site
        QTest::addColumn<QJsonObject>("behaviour");
        QTest::addColumn<QString>("ends"); // the local page in the pane, "exit" or "killed"
        const auto row = [](const char* tag, const char* method, const char* at, const QJsonObject& behaviour,
                            const char* ends) {
            QTest::newRow(tag) << QString(method) << QString(at) << behaviour << QString(ends);
        };
        const char* noAccess = "ts_noaccess.htm";
        const char* noRegister = "ts_noregister.htm";
        const QJsonObject hang{{u"hang"_s, true}}, notFound{{u"status"_s, 404}};
        row("site unreachable", "certificate", "refused", {}, noAccess);
        row("first page 404", "certificate", "GET", notFound, noAccess);
        row("first page times out", "password", "GET", hang, noAccess);
        row("post times out", "certificate", "POST", hang, noRegister);
        row("post answered 404", "password", "POST", notFound, noRegister);
        row("post answered 204: no new page", "password", "POST", {{u"status"_s, 204}}, noRegister);
        row("post turned into a download", "certificate", "POST", {{u"attachment"_s, u"reply.html"_s}},
            noRegister);
        row("reply removes itself: cannot be read", "certificate", "POST",
            {{u"body"_s, u"<!DOCTYPE html><html><body><p>Registration Accepted</p><script>"
                         "document.removeChild(document.documentElement);</script></body></html>"_s}},
            noRegister);
        row("verify: site unreachable", "verify", "refused", {}, noAccess);
        // An element with the form's id that is not a form.
        row("verify: the page cannot take the form", "verify", "GET",
            {{u"body"_s, u"<html><body><div id='regform'></div></body></html>"_s}}, noAccess);
        row("Exit while the post waits, a pair set aside", "certificate", "POST", hang, "exit");
        row("verify: Exit while the page loads", "verify", "GET", hang, "exit");
        row("killed while the post waits, a pair set aside", "certificate", "POST", hang, "killed");
    }
    void faults() {
        QFETCH(QString, method);
        QFETCH(QString, at);
        QFETCH(QJsonObject, behaviour);
        QFETCH(QString, ends);
        const bool verify = method == "verify"_L1, exit = ends == "exit"_L1, killed = ends == "killed"_L1;
        const QString first = QLatin1String(verify                    ? Path::Verify
                                            : method == "password"_L1 ? Path::Password
                                                                      : Path::CertificateFirst);
        const QString post = verify || method == "password"_L1 ? first : QLatin1String(Path::CertificatePost);
        const bool atPost = at == "POST"_L1, hangs = behaviour.contains(u"hang"_s);
        const QString waitedFor = atPost ? post : first;
        QString document = m_env.writeDocument(kName, freshBytes());
        if (verify) { // a site record and its copy in the store
            QVERIFY(QDir().mkpath(Env::storeFolder()));
            QVERIFY(
                QFile::copy(m_env.writeDocument(kSiteRecord, "V.01_MIIB"), Env::storeRecord(kSiteRecord)) &&
                QFile::copy(document, Env::storeCopy(kSiteRecord)));
            document = Env::storeRecord(kSiteRecord);
        } else if (exit || killed) { // a pair of the name, registered by certificate
            QCOMPARE(E2e::run(m_form.get(), "mFile_Register",
                              [&](E2eModals& m) {
                                  expectDialogs(m, method, m_env.writeDocument(kName, freshBytes()));
                              }),
                     QString());
            QVERIFY(QFileInfo::exists(Env::storeRecord(kName)));
            site().clearRequests();
        }
        const QStringList before = storeState();
        if (at == "refused"_L1)
            qputenv("TESSARO_SITE_ORIGIN", TestSite::refusedOrigin().toUtf8());
        site().behave(at + u' ' + waitedFor, behaviour);
        m_form->setWaitLimit(3s);

        if (killed) {
            const auto start = [](QProcess& program, const QStringList& arguments) {
                program.setStandardErrorFile(QProcess::nullDevice());
                program.start(QCoreApplication::applicationFilePath(),
                              QStringList{u"--as-program"_s} + arguments);
            };
            QProcess program;
            start(program, {u"post"_s, document});
            QVERIFY(E2e::waitFor([&] { return !site().requests(u"POST "_s + post).isEmpty(); }));
            const QStringList aside = Env::storeEntries();
            QVERIFY2(aside.size() == 1 && aside[0].startsWith(".tessaro-"_L1), qPrintable(aside.join(u'|')));
            ::kill(pid_t(program.processId()), SIGKILL);
            QVERIFY(program.waitForFinished());
            // The next start puts the pair back before the first page is shown.
            QProcess again;
            start(again, {u"start"_s});
            QVERIFY(again.waitForFinished(120000));
            QCOMPARE(again.readAllStandardOutput().trimmed(), (kName + u'/' + kName + u".p7s"_s).toUtf8());
            QCOMPARE(storeState(), before);
            return;
        }

        E2eModals modals;
        expectDialogs(modals, method, document);
        // While the site keeps the command waiting, Register, Verify and Help Contents do nothing;
        // Exit ends the command at once, without a message, and then the program.
        bool guarded = !hangs, setAside = true;
        if (hangs)
            E2e::onceWhen(
                m_form.get(),
                [&] { return !site().requests(waitedFor).isEmpty() && paneUrl().path() == waitedFor; },
                [&] {
                    setAside = verify || !exit || !QFileInfo::exists(Env::storeRecord(kName));
                    const QUrl url = paneUrl();
                    for (const char* item : {"mFile_Register", "m_View_Registered", "mHelp_Contents"})
                        E2e::trigger(m_form.get(), item);
                    E2e::runFor(300ms);
                    guarded = m_form->commandRunning() && paneUrl() == url;
                    if (exit)
                        E2e::trigger(m_form.get(), "mFile_Exit");
                });
        if (exit) {
            QTimer::singleShot(0, m_form.get(), [&] {
                E2e::trigger(m_form.get(), verify ? "m_View_Registered" : "mFile_Register");
            });
            QCOMPARE(E2e::runProgram(std::chrono::seconds(60)), 0);
            QVERIFY(!m_form->commandRunning());
        } else {
            E2e::trigger(m_form.get(), verify ? "m_View_Registered" : "mFile_Register");
            QVERIFY2(E2e::waitFor([&] { return paneUrl() == TSRegForm::localPageUrl(ends); }),
                     qPrintable(paneUrl().toString()));
        }
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QVERIFY(guarded);
        QVERIFY(setAside);
        QCOMPARE(storeState(), before);
        QCOMPARE(site().requests(u"POST "_s + post).size(), atPost ? 1 : 0);
        QVERIFY(exit || !m_form->progressForm()->isVisible());
    }
};

int main(int argc, char* argv[]) {
    if (argc >= 3 && qstrcmp(argv[1], "--as-program") == 0)
        return runAsProgram(argc, argv);
    if (const std::optional<int> code = E2e::RunInProgramCopy(argc, argv))
        return *code;
    // HOME, its NSS database and the site come first: the browser reads its trust from HOME.
    Env env(u"one"_s);
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    TestSiteFaultsE2e test(env);
    return QTest::qExec(&test, argc, argv);
}

#include "test_site_faults_e2e.moc"
