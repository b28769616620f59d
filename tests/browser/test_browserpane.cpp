// The browser pane with the real Qt WebEngine: page-load state through real navigations, the
// first-page check, form posting and reply reading against the HTTPS test site, waits that time
// out or are abandoned, and the command guard.

#include "app/TSRegForm.h"
#include "common/TestSite.h"
#include "platform/TSBrowserHost.h"
#include "platform/TSWebPage.h"

#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWebEngineView>

#include <memory>

Q_DECLARE_METATYPE(TSWaitEnd)

// How QCOMPARE shows a wait's end.
char* toString(TSWaitEnd end) {
    static const char* const names[] = {"Loaded", "Failed", "TimedOut", "Abandoned", "NotStarted"};
    return qstrdup(names[int(end)]);
}

namespace {

using namespace std::chrono_literals;

const char* const kHangPath = "/hang.html";

// Runs the event loop until the predicate holds. (QTest::qWaitFor sleeps between its passes,
// which slows the browser's many round trips through the event loop down to a crawl.)
bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds limit = 60s) {
    const QDeadlineTimer deadline(limit);
    while (!predicate()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(10ms, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// Lets the event loop run for a while.
void runFor(std::chrono::milliseconds time) {
    QEventLoop loop;
    QTimer::singleShot(time, &loop, &QEventLoop::quit);
    loop.exec();
}

// The form's window, with the introduction page of its start-up fully loaded, so that no
// notification of it is left over.
std::unique_ptr<TSRegForm> newForm() {
    auto form = std::make_unique<TSRegForm>();
    form->show();
    if (!waitFor([&] { return form->pageLoaded() && !form->WebBrowser1()->page()->isLoading(); }))
        return nullptr;
    return form;
}

QAction* menuItem(TSRegForm& form, const char* name) {
    return form.findChild<QAction*>(QLatin1String(name));
}

// Runs the application's event loop, as the program does, until the program ends; a program
// that never ends fails the test instead of hanging it.
int runProgram() {
    QTimer stuck;
    stuck.setSingleShot(true);
    QObject::connect(&stuck, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    stuck.start(5min);
    return QApplication::exec();
}

} // namespace

class TestBrowserPane : public QObject {
    Q_OBJECT
public:
    explicit TestBrowserPane(QString home) : m_home(std::move(home)) {}

private:
    QString m_home;
    std::unique_ptr<TestSite> m_site;
    QTemporaryDir m_files;

    QUrl site(const QString& path) const { return m_site->url(path); }

private Q_SLOTS:
    void initTestCase() {
        // Before the first page of any form: the browser reads the trust store once.
        m_site = std::make_unique<TestSite>();
        QVERIFY2(m_site->isRunning(), qPrintable(m_site->errorString()));
        QString error;
        QVERIFY2(m_site->trustIn(m_home, &error), qPrintable(error));
        QVERIFY(m_files.isValid());
    }

    void init() {
        m_site->clearBehaviours();
        m_site->clearRequests();
    }

    void countsAsNoFailure_data() {
        QTest::addColumn<QVariant>("status");
        QTest::addColumn<bool>("noFailure");
        QTest::newRow("empty") << QVariant() << true;
        QTest::newRow("False") << QVariant(false) << true;
        QTest::newRow("integer 0") << QVariant(0) << true;
        QTest::newRow("True") << QVariant(true) << false;
        QTest::newRow("404") << QVariant(404) << false;
        QTest::newRow("network error") << QVariant(-102) << false;
        QTest::newRow("timed out") << QVariant(-7) << false;
    }
    void countsAsNoFailure() {
        QFETCH(QVariant, status);
        QFETCH(bool, noFailure);
        QCOMPARE(TSRegForm::CountsAsNoFailure(status), noFailure);
    }

    void startState() {
        TSRegForm form;
        QVERIFY(!form.pageLoaded());
        QVERIFY(!form.navigateStatus().isValid());
        QVERIFY(waitFor([&] { return form.pageLoaded(); }));
        QCOMPARE(form.navigateStatus(), QVariant(false));
        QCOMPARE(form.WebBrowser1()->url(), TSRegForm::localPageUrl(QStringLiteral("ts_intro.htm")));
    }

    void pageLoadState_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<TSWaitEnd>("end");
        QTest::addColumn<int>("status"); // 0: False; 1: some negative network error code
        QTest::newRow("existing local page") << "local" << TSWaitEnd::Loaded << 0;
        QTest::newRow("missing local page") << "missing local" << TSWaitEnd::Failed << 1;
        QTest::newRow("site page") << "site" << TSWaitEnd::Loaded << 0;
        QTest::newRow("404") << "404" << TSWaitEnd::Failed << 404;
        QTest::newRow("500") << "500" << TSWaitEnd::Failed << 500;
        QTest::newRow("refused connection") << "refused" << TSWaitEnd::Failed << 1;
        QTest::newRow("untrusted certificate") << "untrusted" << TSWaitEnd::Failed << 1;
    }
    void pageLoadState() {
        QFETCH(QString, kind);
        QFETCH(TSWaitEnd, end);
        QFETCH(int, status);
        QUrl url;
        if (kind == QLatin1String("local"))
            url = TSRegForm::localPageUrl(QStringLiteral("ts_Help_Contents.htm"));
        else if (kind == QLatin1String("missing local"))
            url = TSRegForm::localPageUrl(QStringLiteral("ts_no_such_page.htm"));
        else if (kind == QLatin1String("site"))
            url = site(QStringLiteral("/simple.html"));
        else if (kind == QLatin1String("404"))
            url = site(QStringLiteral("/no/such/page.html"));
        else if (kind == QLatin1String("500")) {
            m_site->replyStatus(QStringLiteral("/simple.html"), 500);
            url = site(QStringLiteral("/simple.html"));
        } else if (kind == QLatin1String("refused"))
            url = QUrl(TestSite::refusedOrigin() + QStringLiteral("/simple.html"));
        else if (kind == QLatin1String("untrusted"))
            url = QUrl(m_site->untrustedOrigin() + QStringLiteral("/simple.html"));

        auto form = newForm();
        QVERIFY(form);
        QCOMPARE(form->OpenPageAndWait(url), end);
        QVERIFY(form->pageLoaded());
        const QVariant got = form->navigateStatus();
        if (status == 0) {
            QCOMPARE(got, QVariant(false));
        } else {
            QCOMPARE(got.typeId(), int(QMetaType::Int));
            if (status == 1) {
                QVERIFY2(got.toInt() < 0 && got.toInt() != TSRegForm::kTimedOutStatus,
                         qPrintable(got.toString()));
            } else {
                QCOMPARE(got.toInt(), status);
            }
        }
        QCOMPARE(TSNavigationFailed(end), !TSRegForm::CountsAsNoFailure(got));
        if (kind == QLatin1String("untrusted")) // refused before any request was sent
            QVERIFY(m_site->requests(QStringLiteral("/simple.html")).isEmpty());
    }

    void successAfterFailureResetsStatus() {
        auto form = newForm();
        QVERIFY(form);
        QCOMPARE(form->OpenPageAndWait(site(QStringLiteral("/missing.html"))), TSWaitEnd::Failed);
        QCOMPARE(form->navigateStatus(), QVariant(404));
        QCOMPARE(form->OpenPageAndWait(site(QStringLiteral("/simple.html"))), TSWaitEnd::Loaded);
        QCOMPARE(form->navigateStatus(), QVariant(false));
        QVERIFY(form->FirstPageCheck());
    }

    void lateCompletionDoesNotEndWait() {
        auto form = newForm();
        QVERIFY(form);
        // A completion from before the navigation, delivered while the wait begins.
        QTimer::singleShot(0, form.get(), [&] { form->DocumentComplete(QUrl()); });
        QCOMPARE(form->OpenPageAndWait(site(QStringLiteral("/missing.html"))), TSWaitEnd::Failed);
        QCOMPARE(form->navigateStatus(), QVariant(404));
    }

    void navigateStatusCode_data() {
        QTest::addColumn<int>("domain");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("status");
        QTest::newRow("HTTP status") << int(QWebEngineLoadingInfo::HttpStatusCodeDomain) << 404 << 404;
        QTest::newRow("network error") << int(QWebEngineLoadingInfo::ConnectionErrorDomain) << -102 << -102;
        QTest::newRow("certificate") << int(QWebEngineLoadingInfo::CertificateErrorDomain) << -202 << -202;
        QTest::newRow("positive code") << int(QWebEngineLoadingInfo::InternalErrorDomain) << 6 << -6;
        QTest::newRow("no code is still a failure")
            << int(QWebEngineLoadingInfo::InternalErrorDomain) << 0 << -2;
        QTest::newRow("HTTP domain without a status")
            << int(QWebEngineLoadingInfo::HttpStatusCodeDomain) << 0 << -2;
    }
    void navigateStatusCode() {
        QFETCH(int, domain);
        QFETCH(int, code);
        QFETCH(int, status);
        QCOMPARE(TSWebPage::NavigateStatusCode(QWebEngineLoadingInfo::ErrorDomain(domain), code), status);
    }

    void notificationOrder_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QStringList>("order");
        const QStringList ok{"BeforeNavigate2", "DownloadBegin", "DownloadComplete", "DocumentComplete"};
        QTest::newRow("success") << "/simple.html" << ok;
        QTest::newRow("page with a frame") << "/framed.html" << ok;
        QTest::newRow("failure") << "/missing.html"
                                 << QStringList{"BeforeNavigate2", "DownloadBegin", "DownloadComplete",
                                                "NavigateError 404", "DocumentComplete"};
    }
    void notificationOrder() {
        QFETCH(QString, path);
        QFETCH(QStringList, order);
        m_site->replyBody(QStringLiteral("/framed.html"),
                          QStringLiteral("<!DOCTYPE html><html><head><meta charset=\"utf-8\"></head>"
                                         "<body><iframe src=\"/simple.html\"></iframe></body></html>"));
        auto form = newForm();
        QVERIFY(form);
        QStringList seen;
        TSWebPage* page = form->browserHost()->page();
        connect(page, &TSWebPage::BeforeNavigate2, form.get(), [&] { seen << "BeforeNavigate2"; });
        connect(page, &TSWebPage::DownloadBegin, form.get(), [&] { seen << "DownloadBegin"; });
        connect(page, &TSWebPage::DownloadComplete, form.get(), [&] { seen << "DownloadComplete"; });
        connect(page, &TSWebPage::NavigateError, form.get(),
                [&](const QUrl&, int code) { seen << QStringLiteral("NavigateError %1").arg(code); });
        connect(page, &TSWebPage::DocumentComplete, form.get(), [&] { seen << "DocumentComplete"; });
        form->OpenPageAndWait(site(path));
        QCOMPARE(seen, order);
        if (path == QLatin1String("/framed.html")) // the frame's page was loaded, and raised nothing
            QVERIFY(m_site->waitForRequests(QStringLiteral("/simple.html")));
    }

    void firstPageCheckShowsNoAccess() {
        auto form = newForm();
        QVERIFY(form);
        QCOMPARE(form->OpenPageAndWait(QUrl(TestSite::refusedOrigin() + QStringLiteral("/"))),
                 TSWaitEnd::Failed);
        QVERIFY(!form->FirstPageCheck());
        QVERIFY(!form->pageLoaded());
        QCOMPARE(form->navigateStatus().typeId(), int(QMetaType::Int));
        QCOMPARE(form->navigateStatus().toInt(), 0);
        QVERIFY(TSRegForm::CountsAsNoFailure(form->navigateStatus()));
        QVERIFY(waitFor([&] { return form->pageLoaded(); }));
        QCOMPARE(form->WebBrowser1()->url(), TSRegForm::localPageUrl(QStringLiteral("ts_noaccess.htm")));
        // The local page's own navigation leaves a status that counts as no failure.
        QVERIFY(TSRegForm::CountsAsNoFailure(form->navigateStatus()));
        QVERIFY(form->FirstPageCheck());
    }

    void formArrivesInOrderAndExact() {
        const TSFormFields fields{
            {QStringLiteral("tessaro"), QStringLiteral("it's \"quoted\" <b>bold</b> & more")},
            {QStringLiteral("submit"), QStringLiteral("a field named submit")},
            {QStringLiteral("filename"), QStringLiteral("Résumé – 東京 📄.doc")},
            {QStringLiteral("pwd"), QStringLiteral("x'><script>document.title='owned'</script><p a=\"")},
            {QStringLiteral("a'b\"c<d>e&f"), QStringLiteral("a name with markup")},
            {QStringLiteral("entities"), QStringLiteral("&amp; &#39; &lt;")},
            {QStringLiteral("lines"), QStringLiteral("one\r\ntwo")},
            {QStringLiteral("empty"), QString()},
            {QStringLiteral("filename"), QStringLiteral("a repeated name")},
        };
        auto form = newForm();
        QVERIFY(form);
        QCOMPARE(form->OpenPageAndWait(site(QStringLiteral("/simple.html"))), TSWaitEnd::Loaded);
        QCOMPARE(form->PostFormAndWait(site(QStringLiteral("/echo")), fields), TSWaitEnd::Loaded);
        QVERIFY(form->pageLoaded());
        QCOMPARE(form->WebBrowser1()->url(), site(QStringLiteral("/echo")));

        const QList<TestSiteRequest> posts =
            m_site->requests(QStringLiteral("/echo"), QStringLiteral("POST"));
        QCOMPARE(posts.size(), 1);
        QCOMPARE(posts[0].header(QStringLiteral("Content-Type")),
                 QStringLiteral("application/x-www-form-urlencoded"));
        QVERIFY(posts[0].fieldsValidUtf8);
        QCOMPARE(posts[0].fields, fields);
        QVERIFY(form->WebBrowser1()->title() != QLatin1String("owned"));
    }

    void postFailureLeavesStatus() {
        m_site->replyStatus(QStringLiteral("/echo"), 500, QStringLiteral("POST"));
        auto form = newForm();
        QVERIFY(form);
        QCOMPARE(form->OpenPageAndWait(site(QStringLiteral("/simple.html"))), TSWaitEnd::Loaded);
        QCOMPARE(form->PostFormAndWait(site(QStringLiteral("/echo")),
                                       {{QStringLiteral("a"), QStringLiteral("1")}}),
                 TSWaitEnd::Failed);
        QCOMPARE(form->navigateStatus(), QVariant(500));
        QCOMPARE(m_site->requests(QStringLiteral("/echo"), QStringLiteral("POST")).size(), 1);
    }

    void postNotStarted_data() {
        QTest::addColumn<QString>("page");
        QTest::newRow("no body") << "nobody.xml";
        QTest::newRow("regform is not a form") << "/notform.html";
    }
    void postNotStarted() {
        QFETCH(QString, page);
        QFile xml(m_files.filePath(QStringLiteral("nobody.xml")));
        QVERIFY(xml.open(QIODevice::WriteOnly));
        xml.write("<?xml version=\"1.0\"?><root><p>no body here</p></root>");
        xml.close();
        m_site->replyBody(QStringLiteral("/notform.html"),
                          QStringLiteral("<!DOCTYPE html><html><head><meta charset=\"utf-8\"></head>"
                                         "<body><div id=\"regform\">a division</div></body></html>"));
        const QUrl url = page.startsWith(QLatin1Char('/')) ? site(page) : QUrl::fromLocalFile(xml.fileName());

        auto form = newForm();
        QVERIFY(form);
        QCOMPARE(form->OpenPageAndWait(url), TSWaitEnd::Loaded);
        QSignalSpy navigations(form->browserHost()->page(), &TSWebPage::BeforeNavigate2);
        QCOMPARE(form->PostFormAndWait(site(QStringLiteral("/echo")),
                                       {{QStringLiteral("a"), QStringLiteral("1")}}),
                 TSWaitEnd::NotStarted);
        QVERIFY(TSNavigationFailed(TSWaitEnd::NotStarted));
        QVERIFY(form->pageLoaded());
        QCOMPARE(form->WebBrowser1()->url(), url);
        QVERIFY(!form->WebBrowser1()->page()->isLoading());
        QCOMPARE(navigations.size(), 0);
        QVERIFY(m_site->requests(QStringLiteral("/echo")).isEmpty());
    }

    void replyMarkupHoldsComments() {
        auto form = newForm();
        QVERIFY(form);
        QCOMPARE(form->OpenPageAndWait(site(QStringLiteral("/comments.html"))), TSWaitEnd::Loaded);
        const std::optional<QString> reply = form->ReadReply();
        QVERIFY(reply);
        QVERIFY2(reply->startsWith(QLatin1String("<html")), qPrintable(*reply));
        QVERIFY(reply->endsWith(QLatin1String("</html>")));
        QVERIFY(reply->contains(QLatin1String("<!-- first comment -->")));
        QVERIFY(reply->contains(QLatin1String("<!-- SIG:[V.01_comment] -->")));
        QVERIFY(reply->contains(QLatin1String("<!-- last comment -->")));
    }

    void submitReplyForm() {
        m_site->replyBody(
            QStringLiteral("/reply.html"),
            QStringLiteral("<!DOCTYPE html><html><head><meta charset=\"utf-8\"></head><body>"
                           "<form id=\"regform\" method=\"post\" action=\"/echo\">"
                           "<input type=\"hidden\" name=\"sig\" value=\"V.01_x\">"
                           "<input type=\"hidden\" name=\"submit\" value=\"s\"></form></body></html>"));
        auto form = newForm();
        QVERIFY(form);
        // A page without the form: nothing is submitted.
        QCOMPARE(form->OpenPageAndWait(site(QStringLiteral("/simple.html"))), TSWaitEnd::Loaded);
        QVERIFY(!form->SubmitReplyForm());
        QVERIFY(!form->WebBrowser1()->page()->isLoading());

        QCOMPARE(form->OpenPageAndWait(site(QStringLiteral("/reply.html"))), TSWaitEnd::Loaded);
        QVERIFY(form->SubmitReplyForm());
        QVERIFY(m_site->waitForRequests(QStringLiteral("/echo"), QStringLiteral("POST")));
        const QList<TestSiteRequest> posts =
            m_site->requests(QStringLiteral("/echo"), QStringLiteral("POST"));
        QCOMPARE(posts.size(), 1);
        QCOMPARE(posts[0].fields, TestSiteFields({{"sig", "V.01_x"}, {"submit", "s"}}));
    }

    void waitTimesOut_data() {
        QTest::addColumn<bool>("post");
        QTest::newRow("open page") << false;
        QTest::newRow("post form") << true;
    }
    void waitTimesOut() {
        QFETCH(bool, post);
        m_site->neverComplete(QString::fromLatin1(kHangPath));
        auto form = newForm();
        QVERIFY(form);
        form->setWaitLimit(1500ms);
        TSWaitEnd end;
        if (post) {
            QCOMPARE(form->OpenPageAndWait(site(QStringLiteral("/simple.html"))), TSWaitEnd::Loaded);
            end = form->PostFormAndWait(site(QString::fromLatin1(kHangPath)), {{"a", "1"}});
        } else {
            end = form->OpenPageAndWait(site(QString::fromLatin1(kHangPath)));
        }
        QCOMPARE(end, TSWaitEnd::TimedOut);
        QCOMPARE(form->navigateStatus(), QVariant(TSRegForm::kTimedOutStatus));
        QCOMPARE(m_site->requests(QString::fromLatin1(kHangPath)).size(), 1);
        // The load was stopped, and its end does not hide the time-out.
        QVERIFY(waitFor([&] { return !form->WebBrowser1()->page()->isLoading(); }));
        runFor(100ms);
        QCOMPARE(form->navigateStatus(), QVariant(TSRegForm::kTimedOutStatus));
        QVERIFY(!form->FirstPageCheck());
        QVERIFY(waitFor([&] { return form->pageLoaded(); }));
        QCOMPARE(form->WebBrowser1()->url(), TSRegForm::localPageUrl(QStringLiteral("ts_noaccess.htm")));
    }

    void abandonEndsCommandThenProgram_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("Exit during a wait") << "exit";
        QTest::newRow("close button during a wait") << "close";
        QTest::newRow("Exit during a pass of pending events") << "pass";
        QTest::newRow("the application quits during a wait") << "quit";
    }
    void abandonEndsCommandThenProgram() {
        QFETCH(QString, how);
        m_site->neverComplete(QString::fromLatin1(kHangPath));
        auto form = newForm();
        QVERIFY(form);
        struct {
            bool firstPass = true;
            TSWaitEnd wait = TSWaitEnd::Loaded;
            bool abandoned = false;
            TSWaitEnd laterWait = TSWaitEnd::Loaded;
            TSWaitEnd laterPost = TSWaitEnd::Loaded;
            bool laterPass = true;
            bool returned = false;
            bool returnedBeforeQuit = false;
        } log;
        const QUrl hang = site(QString::fromLatin1(kHangPath));
        const QUrl other = site(QStringLiteral("/simple.html"));
        QAction* exitItem = menuItem(*form, "mFile_Exit");
        form->setRegisterCommand([&](TSShell& shell) {
            if (how == QLatin1String("pass")) {
                QMetaObject::invokeMethod(exitItem, &QAction::trigger, Qt::QueuedConnection);
                log.firstPass = shell.ProcessPendingEvents();
            }
            log.wait = shell.OpenPageAndWait(hang);
            log.abandoned = shell.abandoned();
            // A command that went on anyway would get nowhere.
            log.laterWait = shell.OpenPageAndWait(other);
            log.laterPost = shell.PostFormAndWait(other, {{"a", "1"}});
            log.laterPass = shell.ProcessPendingEvents();
            log.returned = true;
        });
        const auto quitting = connect(qApp, &QCoreApplication::aboutToQuit, form.get(),
                                      [&] { log.returnedBeforeQuit = log.returned; });
        // Starts the command from the event loop, then ends it while it waits for the page.
        QTimer::singleShot(0, form.get(), [&] { menuItem(*form, "mFile_Register")->trigger(); });
        QTimer poll;
        connect(&poll, &QTimer::timeout, form.get(), [&] {
            if (m_site->requests(QString::fromLatin1(kHangPath)).isEmpty())
                return;
            poll.stop();
            if (how == QLatin1String("exit"))
                exitItem->trigger();
            else if (how == QLatin1String("close"))
                form->close();
            else if (how == QLatin1String("quit"))
                QCoreApplication::exit(0);
        });
        poll.start(20);
        QCOMPARE(runProgram(), 0);
        disconnect(quitting);
        QVERIFY(log.returned);
        if (how != QLatin1String("quit"))
            QVERIFY(log.returnedBeforeQuit);
        QCOMPARE(log.firstPass, how != QLatin1String("pass"));
        QCOMPARE(log.wait, TSWaitEnd::Abandoned);
        QVERIFY(log.abandoned);
        QCOMPARE(log.laterWait, TSWaitEnd::Abandoned);
        QCOMPARE(log.laterPost, TSWaitEnd::Abandoned);
        QVERIFY(!log.laterPass);
        QVERIFY(!form->commandRunning());
        QVERIFY(m_site->requests(QStringLiteral("/simple.html")).isEmpty());
        QCOMPARE(m_site->requests(QString::fromLatin1(kHangPath)).size(),
                 how == QLatin1String("pass") ? 0 : 1);
    }

    void exitWithoutCommandEndsProgram() {
        auto form = newForm();
        QVERIFY(form);
        QTimer::singleShot(0, form.get(), [&] { menuItem(*form, "mFile_Exit")->trigger(); });
        QCOMPARE(runProgram(), 0);
        QVERIFY(!form->abandoned());
    }

    void guardKeepsPaneAndState() {
        m_site->neverComplete(QString::fromLatin1(kHangPath));
        auto form = newForm();
        QVERIFY(form);
        int registerRuns = 0;
        int verifyRuns = 0;
        TSWaitEnd end = TSWaitEnd::Abandoned;
        form->setRegisterCommand([&](TSShell& shell) {
            ++registerRuns;
            end = shell.OpenPageAndWait(site(QString::fromLatin1(kHangPath)));
        });
        form->setVerifyCommand([&](TSShell& shell) {
            ++verifyRuns;
            shell.OpenPageAndWait(site(QStringLiteral("/simple.html")));
        });
        struct Snapshot {
            QUrl url;
            bool loaded;
            QVariant status;
            bool loading;
        };
        auto snapshot = [&] {
            return Snapshot{form->WebBrowser1()->url(), form->pageLoaded(), form->navigateStatus(),
                            form->WebBrowser1()->page()->isLoading()};
        };
        Snapshot before{};
        Snapshot after{};
        bool running = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, form.get(), [&] {
            // Once the page under way is in the pane.
            if (m_site->requests(QString::fromLatin1(kHangPath)).isEmpty() ||
                form->WebBrowser1()->url() != site(QString::fromLatin1(kHangPath)))
                return;
            poll.stop();
            before = snapshot();
            menuItem(*form, "mFile_Register")->trigger();
            menuItem(*form, "m_View_Registered")->trigger();
            menuItem(*form, "mHelp_Contents")->trigger();
            runFor(500ms); // anything they had started would have begun by now
            after = snapshot();
            running = form->commandRunning();
            // Ends the wait: the stopped load completes the page.
            form->browserHost()->Stop();
        });
        poll.start(20);
        menuItem(*form, "mFile_Register")->trigger();

        QCOMPARE(registerRuns, 1);
        QCOMPARE(verifyRuns, 0);
        QVERIFY(running);
        QCOMPARE(after.url, site(QString::fromLatin1(kHangPath)));
        QCOMPARE(after.url, before.url);
        QCOMPARE(after.loaded, false);
        QCOMPARE(after.loaded, before.loaded);
        QCOMPARE(after.status, QVariant(false));
        QCOMPARE(after.status, before.status);
        QVERIFY(after.loading);
        QCOMPARE(end, TSWaitEnd::Loaded);
        QVERIFY(m_site->requests(QStringLiteral("/simple.html")).isEmpty());
        QVERIFY(!form->commandRunning());

        // Once the command has ended, the menu items work again.
        menuItem(*form, "mHelp_Contents")->trigger();
        QVERIFY(waitFor(
            [&] { return form->WebBrowser1()->url().fileName() == QLatin1String("ts_Help_Contents.htm"); }));
        menuItem(*form, "m_View_Registered")->trigger();
        QCOMPARE(verifyRuns, 1);
    }
};

int main(int argc, char* argv[]) {
    // Qt WebEngine reads its certificate trust from $HOME/.pki/nssdb: HOME is a fresh folder
    // for this run, set before the application starts.
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/tessaro-home-XXXXXX"));
    if (!home.isValid())
        return 1;
    qputenv("HOME", QFile::encodeName(home.path()));
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    TestBrowserPane test(home.path());
    return QTest::qExec(&test, argc, argv);
}

#include "test_browserpane.moc"
