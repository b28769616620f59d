// The browser pane with the real Qt WebEngine: page-load state through real navigations, a
// failure dealt with by a local page, form posting and reply reading against the HTTPS test site, waits that
// time out or are abandoned, and the command guard.

#include "app/TSRegForm.h"
#include "browserhost/TSBrowserHost.h"
#include "browserhost/TSCertificatePin.h"
#include "browserhost/TSWebPage.h"
#include "common/E2eHarness.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QWebEngineView>

#include <memory>
#include <tuple>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QString kSimple = u"/simple.html"_s;
const QString kHang = u"/hang.html"_s; // answered never
const QString kEcho = u"/echo"_s;
const QString kFrom = u"/from.html"_s; // a link and a form of its own

const char* nameOf(TSWaitEnd end) {
    static const char* const names[] = {"Loaded", "Failed", "TimedOut", "Abandoned", "NotStarted"};
    return names[int(end)];
}

} // namespace

// How QCOMPARE shows a wait's end.
char* toString(TSWaitEnd end) {
    return qstrdup(nameOf(end));
}

class TestBrowserPane : public QObject {
    Q_OBJECT
public:
    explicit TestBrowserPane(E2eEnvironment& env) : m_env(env), m_site(env.site()) {}

private:
    E2eEnvironment& m_env;
    TestSite& m_site;
    // The main window, with the introduction page of its start-up fully loaded, so that no
    // notification of it is left over.
    std::unique_ptr<TSRegForm> m_form;

    QUrl site(const QString& path) const { return m_site.url(path); }
    QUrl paneUrl() const { return m_form->WebBrowser1()->url(); }
    QWebEnginePage* page() const { return m_form->WebBrowser1()->page(); }
    // The navigation status with its type ("bool false", "int 404"): False and 0 differ.
    QString statusText() const {
        const QVariant status = m_form->navigateStatus();
        return QString::fromLatin1(status.typeName()) + u' ' + status.toString();
    }
    void trigger(const char* item) const { m_form->findChild<QAction*>(QLatin1String(item))->trigger(); }
    // Clicks with the mouse on the pane's element with id "away"; false if the page has none.
    bool clickLink() {
        QVariant box;
        bool answered = false;
        page()->runJavaScript(u"var a = document.getElementById('away');"
                              "if (a) { var r = a.getBoundingClientRect(); [r.x + 2, r.y + 2] }"_s,
                              [&](const QVariant& v) { box = v, answered = true; });
        if (!E2e::waitFor([&] { return answered; }) || box.toList().size() != 2)
            return false;
        const QVariantList xy = box.toList();
        QTest::mouseClick(m_form->WebBrowser1()->focusProxy(), Qt::LeftButton, {},
                          QPoint(xy[0].toInt(), xy[1].toInt()));
        return true;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(m_env.isValid(), qPrintable(m_env.error()));
        const auto body = [](const char* html) {
            return QJsonObject{
                {u"body"_s, u"<!DOCTYPE html><html><head><meta charset=\"utf-8\"></head><body>"_s +
                                QString::fromUtf8(html) + u"</body></html>"_s}};
        };
        m_site.behave(kHang, {{u"hang"_s, true}});
        m_site.behave(u"/nocontent"_s, {{u"status"_s, 204}});
        m_site.behave(u"/download"_s, {{u"attachment"_s, u"reply.html"_s}});
        m_site.behave(u"/moved"_s, {{u"redirect"_s, u"/comments.html"_s}});
        m_site.behave(u"/framed.html"_s, body("<iframe src=\"/simple.html\"></iframe>"));
        m_site.behave(u"/notform.html"_s, body("<div id=\"regform\">a division</div>"));
        m_site.behave(kFrom, body("<a id=\"away\" href=\"/simple.html?link\">away</a>"
                                  "<form id=\"own\" method=\"post\" action=\"/simple.html?form\"></form>"));
    }

    void init() {
        m_site.clearRequests();
        m_form = std::make_unique<TSRegForm>();
        // Nothing loaded, no status, until the introduction page has loaded.
        QVERIFY(!m_form->pageLoaded() && !m_form->navigateStatus().isValid());
        m_form->show();
        QVERIFY(E2e::waitFor([&] { return m_form->pageLoaded() && !page()->isLoading(); }));
        QCOMPARE(statusText(), u"bool false"_s);
        QCOMPARE(paneUrl(), TSRegForm::localPageUrl(u"ts_intro.htm"_s));
    }

    void cleanup() { m_form.reset(); }

    // A status counts as a failure by its type and value: empty, False and the integer 0 do not.
    void countsAsNoFailure() {
        for (const QVariant& status : {QVariant(), QVariant(false), QVariant(0)})
            QVERIFY2(TSBrowserHost::CountsAsNoFailure(status), qPrintable(status.toString()));
        for (const QVariant& status : {QVariant(true), QVariant(404), QVariant(TSWebPage::kTimedOutStatus)})
            QVERIFY2(!TSBrowserHost::CountsAsNoFailure(status), qPrintable(status.toString()));
    }

    // Real navigations, each followed by the first-page check: a failure shows "ts_noaccess.htm" and
    // leaves the integer 0, which counts as no failure. A pin (a certificate of the test site's, pinned
    // for 127.0.0.1) is in force for its row alone; the browser remembers an accepted certificate per
    // host for the rest of the run, so the row that accepts one comes after those that must refuse.
    void pageLoadState_data() {
        QTest::addColumn<QUrl>("url");
        QTest::addColumn<QString>("pin");
        QTest::addColumn<QString>("status"); // "int -" for any network error code
        const QUrl untrusted(m_site.untrustedOrigin() + kSimple);
        QUrl otherHost = untrusted;
        otherHost.setHost(u"localhost"_s);
        const std::tuple<const char*, QUrl, const char*, const char*> rows[] = {
            {"existing local page", TSRegForm::localPageUrl(u"ts_Help_Contents.htm"_s), "", "bool false"},
            {"missing local page", TSRegForm::localPageUrl(u"ts_no_such_page.htm"_s), "", "int -"},
            {"404", site(u"/no/such/page.html"_s), "", "int 404"},
            {"refused connection", QUrl(TestSite::refusedOrigin() + kSimple), "", "int -"},
            {"untrusted certificate", untrusted, "", "int -"},
            {"another certificate pinned", untrusted, "server.pem", "int -"},
            {"pinned certificate, another host", otherHost, "untrusted-server.pem", "int -"},
            {"pinned certificate", untrusted, "untrusted-server.pem", "bool false"},
            {"time-out", site(kHang), "", "int -7"},
            // Ended without a new document.
            {"answered 204", site(u"/nocontent"_s), "", "int -1001"},
            {"turned into a download", site(u"/download"_s), "", "int -1001"},
            {"redirected", site(u"/moved"_s), "", "bool false"},
        };
        for (const auto& [tag, url, pin, status] : rows)
            QTest::newRow(tag) << url << QString::fromLatin1(pin) << QString::fromLatin1(status);
    }
    void pageLoadState() {
        QFETCH(QUrl, url);
        QFETCH(QString, pin);
        QFETCH(QString, status);
        const auto unpin = qScopeGuard([] { TSCertificatePin::SetCurrent(std::nullopt); });
        if (!pin.isEmpty()) {
            QString error;
            TSCertificatePin::SetCurrent(TSCertificatePin::FromPemFile(
                QFileInfo(TestSite::caCertificatePath()).dir().filePath(pin), u"127.0.0.1"_s, &error));
            QVERIFY2(TSCertificatePin::Current(), qPrintable(error));
        }
        const bool timeOut = status == "int -7"_L1;
        if (timeOut)
            m_form->setWaitLimit(1500ms);
        const TSWaitEnd end = m_form->OpenPageAndWait(url);
        QCOMPARE(end, status == "bool false"_L1 ? TSWaitEnd::Loaded
                      : timeOut                 ? TSWaitEnd::TimedOut
                                                : TSWaitEnd::Failed);
        if (timeOut) { // the load was stopped, and its end does not hide the time-out
            QVERIFY(E2e::waitFor([&] { return !page()->isLoading(); }));
            E2e::runFor(100ms);
        }
        QVERIFY(timeOut || m_form->pageLoaded());
        if (status == "int -"_L1)
            QVERIFY2(statusText().startsWith(status) && statusText() != "int -7"_L1,
                     qPrintable(statusText()));
        else
            QCOMPARE(statusText(), status);
        QCOMPARE(TSNavigationFailed(end), !TSBrowserHost::CountsAsNoFailure(m_form->navigateStatus()));
        // A refused certificate was refused before any request was sent.
        QCOMPARE(m_site.requests(kSimple).isEmpty(), url.path() != kSimple || TSNavigationFailed(end));

        if (TSNavigationFailed(end)) { // the failure dealt with by a local page
            m_form->ShowLocalPage(u"ts_noaccess.htm"_s, true);
            QCOMPARE(statusText(), u"int 0"_s);
            QVERIFY(E2e::waitFor([&] {
                return paneUrl() == TSRegForm::localPageUrl(u"ts_noaccess.htm"_s) && m_form->pageLoaded();
            }));
            QVERIFY(TSBrowserHost::CountsAsNoFailure(m_form->navigateStatus()));
        }
    }

    // A completion left over from before a navigation does not end its wait; a success after a
    // failure resets the status.
    void successAfterFailureResetsStatus() {
        QTimer::singleShot(0, m_form.get(), [&] { m_form->browserHost()->DocumentComplete(QUrl()); });
        QCOMPARE(m_form->OpenPageAndWait(site(u"/missing.html"_s)), TSWaitEnd::Failed);
        QCOMPARE(statusText(), u"int 404"_s);
        QCOMPARE(m_form->OpenPageAndWait(site(kSimple)), TSWaitEnd::Loaded);
        QCOMPARE(statusText(), u"bool false"_s);
    }

    // The mark is on the document in the application's world only, out of the page's sight; a new
    // document of the same address comes without it.
    void documentMark() {
        QCOMPARE(m_form->OpenPageAndWait(site(kSimple)), TSWaitEnd::Loaded);
        QVERIFY(m_form->browserHost()->MarkDocument().ok());
        QCOMPARE(m_form->browserHost()->ReadDocumentMark().text, u"marked"_s);
        QVariant seen;
        page()->runJavaScript(u"typeof window.tessaroDocumentMark"_s, [&](const QVariant& v) { seen = v; });
        QVERIFY(E2e::waitFor([&] { return seen.isValid(); }));
        QCOMPARE(seen.toString(), u"undefined"_s);
        QCOMPARE(m_form->OpenPageAndWait(site(kSimple)), TSWaitEnd::Loaded);
    }

    // A failure the browser reports without a usable code is still a failure.
    void navigateStatusCode() {
        QCOMPARE(TSWebPage::NavigateStatusCode(QWebEngineLoadingInfo::InternalErrorDomain, 6), -6);
        QCOMPARE(TSWebPage::NavigateStatusCode(QWebEngineLoadingInfo::InternalErrorDomain, 0), -2);
        QCOMPARE(TSWebPage::NavigateStatusCode(QWebEngineLoadingInfo::HttpStatusCodeDomain, 0), -2);
    }

    // Only the main frame raises notifications; the frame's page is loaded all the same.
    void notificationOrder_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("order");
        QTest::newRow("success") << kSimple << "";
        QTest::newRow("page with a frame") << "/framed.html"
                                           << "";
        QTest::newRow("failure") << "/missing.html"
                                 << "NavigateError 404,";
    }
    void notificationOrder() {
        QFETCH(QString, path);
        QFETCH(QString, order);
        QString seen;
        TSWebPage* page = m_form->browserHost()->page();
        const auto note = [&seen](const char* name) {
            return [&seen, name] { seen += QLatin1String(name); };
        };
        connect(page, &TSWebPage::BeforeNavigate2, m_form.get(), note("BeforeNavigate2,"));
        connect(page, &TSWebPage::DownloadBegin, m_form.get(), note("DownloadBegin,"));
        connect(page, &TSWebPage::DownloadComplete, m_form.get(), note("DownloadComplete,"));
        connect(page, &TSWebPage::NavigateError, m_form.get(),
                [&](const QUrl&, int code) { seen += u"NavigateError %1,"_s.arg(code); });
        connect(page, &TSWebPage::DocumentComplete, m_form.get(), note("DocumentComplete"));
        m_form->OpenPageAndWait(site(path));
        QCOMPARE(seen, "BeforeNavigate2,DownloadBegin,DownloadComplete,"_L1 + order + "DocumentComplete"_L1);
        QVERIFY(m_site.waitForRequest(kSimple) || path != "/framed.html"_L1);
    }

    void formArrivesInOrderAndExact() {
        const QList<QPair<QString, QString>> fields{
            {u"tessaro"_s, u"it's \"quoted\" <b>bold</b> & more"_s},
            {u"submit"_s, u"a field named submit"_s},
            {u"filename"_s, u"Résumé – 東京 📄.doc"_s},
            {u"pwd"_s, u"x'><script>document.title='owned'</script><p a=\""_s},
            {u"a'b\"c<d>e&f"_s, u"a name with markup"_s},
            {u"entities"_s, u"&amp; &#39; &lt;"_s},
            {u"lines"_s, u"one\r\ntwo"_s},
            {u"empty"_s, QString()},
            {u"filename"_s, u"a repeated name"_s},
        };
        QCOMPARE(m_form->OpenPageAndWait(site(kSimple)), TSWaitEnd::Loaded);
        QCOMPARE(m_form->PostFormAndWait(site(kEcho), fields), TSWaitEnd::Loaded);
        QCOMPARE(paneUrl(), site(kEcho));
        const QList<TestSiteRequest> posts = m_site.requests(u"POST /echo"_s);
        QCOMPARE(posts.size(), 1);
        QCOMPARE(posts[0].contentType, u"application/x-www-form-urlencoded"_s);
        QCOMPARE(posts[0].fields, fields);
        QVERIFY(m_form->WebBrowser1()->title() != "owned"_L1);
    }

    // A page without a body, or whose "regform" is not a form: no navigation starts, neither for a
    // post nor for the reply's own form. (The register tests follow a submitted reply form to the site.)
    void postNotStarted_data() {
        QTest::addColumn<QUrl>("url");
        QTest::newRow("no body") << QUrl(u"data:application/xml,<root><p>no body here</p></root>"_s);
        QTest::newRow("regform is not a form") << site(u"/notform.html"_s);
    }
    void postNotStarted() {
        QFETCH(QUrl, url);
        QCOMPARE(m_form->OpenPageAndWait(url), TSWaitEnd::Loaded);
        QSignalSpy navigations(m_form->browserHost()->page(), &TSWebPage::BeforeNavigate2);
        QCOMPARE(m_form->PostFormAndWait(site(kEcho), {{u"a"_s, u"1"_s}}), TSWaitEnd::NotStarted);
        QVERIFY(!m_form->SubmitReplyForm());
        QVERIFY(m_form->pageLoaded() && !page()->isLoading());
        QCOMPARE(paneUrl(), url);
        QCOMPARE(navigations.size(), 0);
        QVERIFY(m_site.requests(kEcho).isEmpty());
    }

    void replyMarkupHoldsComments() {
        QCOMPARE(m_form->OpenPageAndWait(site(u"/comments.html"_s)), TSWaitEnd::Loaded);
        const QString reply = m_form->ReadReply().value_or(QString());
        QVERIFY2(reply.startsWith("<html"_L1) && reply.endsWith("</html>"_L1) &&
                     reply.contains("<!-- first comment -->"_L1) &&
                     reply.contains("<!-- SIG:[V.01_comment] -->"_L1) &&
                     reply.contains("<!-- last comment -->"_L1),
                 qPrintable(reply));
    }

    // While a command waits for its post, the pane refuses every navigation the command did not
    // start and follows the post's own redirect. Afterwards the pane is the user's again. (A post
    // that brings no new document is a row of the site-faults table.)
    void commandOwnsThePane_data() {
        QTest::addColumn<QString>("redirect"); // where the site sends the post, after a delay
        QTest::addColumn<QString>("meddle");   // what happens while the command waits for it
        QTest::addColumn<QString>("ends");     // the page in the pane, or the navigation status
        // The page's scripts cut the post short when they try: it fails.
        QTest::newRow("the page's own navigations refused") << ""
                                                            << "page"
                                                            << "int -1001";
        QTest::newRow("the pane's actions and a click refused") << ""
                                                                << "user"
                                                                << "/echo";
        QTest::newRow("redirect followed") << "/comments.html"
                                           << ""
                                           << "/comments.html";
    }
    void commandOwnsThePane() {
        QFETCH(QString, redirect);
        QFETCH(QString, meddle);
        QFETCH(QString, ends);
        QJsonObject reply{{u"delay"_s, 1.5}};
        if (!redirect.isEmpty())
            reply.insert(u"redirect"_s, redirect);
        m_site.behave(u"POST /echo"_s, reply);
        const auto unset = qScopeGuard([&] { m_site.behave(u"POST /echo"_s, {}); });
        TSWaitEnd end = TSWaitEnd::Abandoned;
        QString status;
        m_form->setRegisterCommand([&](TSUser&, TSPane& shell) {
            if (shell.OpenPageAndWait(site(kFrom)) == TSWaitEnd::Loaded)
                end = shell.PostFormAndWait(site(kEcho), {{u"a"_s, u"1"_s}});
            status = statusText();
        });
        E2e::onceWhen(
            m_form.get(), [&] { return !m_site.requests(u"POST /echo"_s).isEmpty(); },
            [&] {
                if (meddle == "page"_L1) // in the page's own world, as its scripts would
                    page()->runJavaScript(
                        u"location.href = '/simple.html?script';"
                        "document.getElementById('away').click();"
                        "HTMLFormElement.prototype.submit.call(document.getElementById('own'));"_s);
                if (meddle == "user"_L1) {
                    QVERIFY(clickLink());
                    page()->triggerAction(QWebEnginePage::Back);
                    page()->triggerAction(QWebEnginePage::Reload);
                }
            });
        trigger("mFile_Register");
        QCOMPARE(end, ends.startsWith("int"_L1) ? TSWaitEnd::Failed : TSWaitEnd::Loaded);
        QCOMPARE(ends.startsWith("int"_L1) ? status : paneUrl().path(), ends);
        QVERIFY(!ends.startsWith("int"_L1) || paneUrl() == site(kFrom));
        QVERIFY(m_site.requests(kSimple).isEmpty());
        QCOMPARE(m_site.requests(kFrom).size(), 1);
        if (meddle == "user"_L1) { // outside a command the same click is followed
            QCOMPARE(m_form->OpenPageAndWait(site(kFrom)), TSWaitEnd::Loaded);
            // The pane drops a click that comes before the page's first frame: click until followed.
            bool followed = false;
            for (int i = 0; i < 10 && !followed && clickLink(); ++i)
                followed = E2e::waitFor([&] { return !m_site.requests(kSimple).isEmpty(); },
                                        std::chrono::seconds(5));
            QVERIFY(followed || m_site.waitForRequest(kSimple));
        }
    }

    // The command stops at once, every later wait of it ends abandoned, and then the program ends.
    void abandonEndsCommandThenProgram_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("Exit during a wait") << "exit";
        QTest::newRow("close button during a wait") << "close";
        QTest::newRow("Exit during a pass of pending events") << "pass";
    }
    void abandonEndsCommandThenProgram() {
        QFETCH(QString, how);
        QStringList log;
        m_form->setRegisterCommand([&](TSUser&, TSPane& shell) {
            const auto pass = [&] { return shell.ProcessPendingEvents() ? "pass went on" : "pass stopped"; };
            if (how == "pass"_L1) {
                QTimer::singleShot(0, m_form.get(), [&] { trigger("mFile_Exit"); });
                log << pass();
            }
            log << nameOf(shell.OpenPageAndWait(site(kHang)))
                << (shell.abandoned() ? "abandoned" : "going on");
            // A command that went on anyway would get nowhere.
            log << nameOf(shell.OpenPageAndWait(site(kSimple)))
                << nameOf(shell.PostFormAndWait(site(kSimple), {{"a", "1"}})) << pass() << "returned";
        });
        const auto quitting =
            connect(qApp, &QCoreApplication::aboutToQuit, m_form.get(), [&] { log << "quit"; });
        // Starts the command from the event loop, then ends it while it waits for the page.
        QTimer::singleShot(0, m_form.get(), [&] { trigger("mFile_Register"); });
        E2e::onceWhen(
            m_form.get(), [&] { return !m_site.requests(kHang).isEmpty(); },
            [&] { how == "exit"_L1 ? trigger("mFile_Exit") : void(m_form->close()); });
        QCOMPARE(E2e::runProgram(), 0);
        disconnect(quitting);
        QStringList expected{"Abandoned",    "abandoned", "Abandoned", "Abandoned",
                             "pass stopped", "returned",  "quit"};
        if (how == "pass"_L1)
            expected.prepend("pass stopped");
        QCOMPARE(log, expected);
        QVERIFY(!m_form->commandRunning());
        QVERIFY(m_site.requests(kSimple).isEmpty());
        QCOMPARE(m_site.requests(kHang).size(), how == "pass"_L1 ? 0 : 1);
    }

    // While a command waits, another command and Help Contents leave the pane and the state alone;
    // afterwards they work again.
    void guardKeepsPaneAndState() {
        int registerRuns = 0;
        int verifyRuns = 0;
        TSWaitEnd end = TSWaitEnd::Abandoned;
        QString status;
        m_form->setRegisterCommand([&](TSUser&, TSPane& shell) {
            ++registerRuns;
            end = shell.OpenPageAndWait(site(kHang));
            status = statusText();
        });
        m_form->setVerifyCommand([&](TSUser&, TSPane& shell) {
            ++verifyRuns;
            shell.OpenPageAndWait(site(kSimple));
        });
        const auto snapshot = [&] {
            return QVariantList{paneUrl(), m_form->pageLoaded(), m_form->navigateStatus(),
                                page()->isLoading(), m_form->commandRunning()};
        };
        QVariantList before;
        QVariantList after;
        E2e::onceWhen(
            m_form.get(), [&] { return !m_site.requests(kHang).isEmpty() && paneUrl() == site(kHang); },
            [&] {
                before = snapshot();
                for (const char* item : {"mFile_Register", "m_View_Registered", "mHelp_Contents"})
                    trigger(item);
                E2e::runFor(500ms); // anything they had started would have begun by now
                after = snapshot();
                m_form->browserHost()->Stop(); // ends the wait: stopped, it brought no new document
            });
        trigger("mFile_Register");

        QCOMPARE(before, (QVariantList{site(kHang), false, QVariant(false), true, true}));
        QCOMPARE(after, before);
        QCOMPARE(registerRuns, 1);
        QCOMPARE(verifyRuns, 0);
        QCOMPARE(end, TSWaitEnd::Failed);
        QCOMPARE(status, u"int -1001"_s);
        QVERIFY(m_site.requests(kSimple).isEmpty());
        QVERIFY(!m_form->commandRunning());

        trigger("mHelp_Contents");
        QVERIFY(E2e::waitFor([&] {
            return paneUrl() == TSRegForm::localPageUrl(u"ts_Help_Contents.htm"_s) && m_form->pageLoaded();
        }));
        QCOMPARE(statusText(), u"bool false"_s);
        trigger("m_View_Registered");
        QCOMPARE(verifyRuns, 1);
    }
};

int main(int argc, char* argv[]) {
    // A fresh HOME whose NSS database trusts the site, before the browser reads it.
    E2eEnvironment env;
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    TestBrowserPane test(env);
    return QTest::qExec(&test, argc, argv);
}

#include "test_browserpane.moc"
