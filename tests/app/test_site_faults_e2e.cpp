// File > Register against a registration site whose post misbehaves in ways only a real browser
// shows: it times out, fails, brings no new document or removes itself; and the program killed while
// it waits with the old pair set aside. The program runs from a copy in a temporary program folder,
// with the real pane and the test site on 127.0.0.1. Nothing is ever stored, and a pair set aside
// comes back.

#include "app/TSApplication.h"
#include "app/TSProgressForm.h"
#include "common/E2eSteps.h"

#include <QApplication>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <memory>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Env = E2eEnvironment;
namespace Path = TSSiteExchange::Path;

namespace {

const QString kName = u"same name.doc"_s;

// The modal widgets of File > Register: the document chosen, Yes to the re-create question when a
// pair of the name is there, and the sign method.
void expectDialogs(E2eModals& modals, const QString& method, const QString& document) {
    modals.chooseFile(document);
    if (QFileInfo::exists(Env::storeRecord(kName)))
        modals.message(E2e::recreateQuestion(), QMessageBox::Yes);
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
                              expectDialogs(m, u"password"_s, m_env.writeDocument(kName, E2e::freshBytes()));
                          }),
                 QString());
        QVERIFY(site().waitForRequest(u"POST /echo"_s));
        QCOMPARE(E2e::fileContent(Env::storeRecord(kName)).value_or(QByteArray()), QByteArray("V.01_x"));
    }

    // Each fault ends the command with the local page "ts_noregister.htm" in the pane and nothing
    // stored.
    void postFaults_data() {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QJsonObject>("behaviour"); // the site's answer to the post
        QTest::newRow("post times out") << u"certificate"_s << QJsonObject{{u"hang"_s, true}};
        QTest::newRow("post answered 404") << u"password"_s << QJsonObject{{u"status"_s, 404}};
        QTest::newRow("post answered 204: no new page") << u"password"_s << QJsonObject{{u"status"_s, 204}};
        QTest::newRow("post turned into a download")
            << u"certificate"_s << QJsonObject{{u"attachment"_s, u"reply.html"_s}};
        QTest::newRow("reply removes itself: cannot be read")
            << u"certificate"_s
            << QJsonObject{{u"body"_s,
                            u"<!DOCTYPE html><html><body><p>Registration Accepted</p><script>"
                            "document.removeChild(document.documentElement);</script></body></html>"_s}};
    }
    void postFaults() {
        QFETCH(QString, method);
        QFETCH(QJsonObject, behaviour);
        const QString post = QLatin1String(method == "password"_L1 ? Path::Password : Path::CertificatePost);
        site().behave(u"POST "_s + post, behaviour);
        m_form->setWaitLimit(3s);
        E2eModals modals;
        expectDialogs(modals, method, m_env.writeDocument(kName, E2e::freshBytes()));
        E2e::trigger(m_form.get(), "mFile_Register");
        QVERIFY2(E2e::waitFor([&] { return paneUrl() == TSRegForm::localPageUrl(u"ts_noregister.htm"_s); }),
                 qPrintable(paneUrl().toString()));
        QVERIFY2(modals.ok(), qPrintable(modals.report()));
        QCOMPARE(Env::storeEntries(), QStringList());
        QCOMPARE(site().requests(u"POST "_s + post).size(), 1);
        QVERIFY(!m_form->progressForm()->isVisible());
    }

    // Killed while the post waits, the old pair set aside: the next start puts the pair back before
    // the first page is shown.
    void killedWhilePostWaits() {
        QCOMPARE(E2e::run(m_form.get(), "mFile_Register",
                          [&](E2eModals& m) {
                              expectDialogs(m, u"certificate"_s,
                                            m_env.writeDocument(kName, E2e::freshBytes()));
                          }),
                 QString());
        QVERIFY(QFileInfo::exists(Env::storeRecord(kName)));
        site().clearRequests();
        const QStringList before = storeState();
        const QString post = QLatin1String(Path::CertificatePost);
        site().behave(u"POST "_s + post, {{u"hang"_s, true}});
        const auto start = [](QProcess& program, const QStringList& arguments) {
            program.setStandardErrorFile(QProcess::nullDevice());
            program.start(QCoreApplication::applicationFilePath(),
                          QStringList{u"--as-program"_s} + arguments);
        };
        QProcess program;
        start(program, {u"post"_s, m_env.writeDocument(kName, E2e::freshBytes())});
        QVERIFY(E2e::waitFor([&] { return !site().requests(u"POST "_s + post).isEmpty(); }));
        const QStringList aside = Env::storeEntries();
        QVERIFY2(aside.size() == 1 && aside[0].startsWith(".tessaro-"_L1), qPrintable(aside.join(u'|')));
        ::kill(pid_t(program.processId()), SIGKILL);
        QVERIFY(program.waitForFinished());
        QProcess again;
        start(again, {u"start"_s});
        QVERIFY(again.waitForFinished(120000));
        QCOMPARE(again.readAllStandardOutput().trimmed(), (kName + u'/' + kName + u".p7s"_s).toUtf8());
        QCOMPARE(storeState(), before);
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
