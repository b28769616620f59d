#pragma once

#include "browserhost/TSMarkup.h"

#include <QList>
#include <QObject>
#include <QPair>
#include <QUrl>
#include <QVariant>

#include <chrono>
#include <functional>
#include <optional>

class QEventLoop;
class QWebEngineView;
class TSWebPage;

// The host of the embedded browser: the pane's page, navigation, the page-load state its
// notifications keep, the document operations the commands need, and the rules every wait
// follows.
//
// Page-load state. m_bPageLoaded is True once a document in the pane has completed since the
// last reset; m_vNavigateStatus is empty at start, False (a Boolean) from the start of every
// navigation, the status code of a failed one, and the integer 0 once a command has dealt with
// a failure. The notification handlers below keep both. The status of a failed navigation is an
// HTTP status (such as 404), a negative network error code, or one of:
//   -7     the wait timed out (the load was stopped);
//   -1001  the navigation ended without a new document (stopped, aborted, answered 204 or
//          205, turned into a download, or the document completed is still the one it
//          started from);
//   -1002  the navigation was replaced by another one.
//
// Page waits. OpenPageAndWait and PostFormAndWait end only when the navigation they started,
// with its redirects, ends, and count as loaded only when that navigation brought a new
// document into the main frame: the document in the pane is marked before each navigation, and
// a document still marked is not a reply.
//
// A wait runs a nested event loop, so the pane's notifications and the user's menu choices go
// on while it lasts; it never spins the processor. It ends when its condition holds (tested
// again each time wake() is called), when the wait limit passes, or at once when the host is
// abandoned; once abandoned, every later wait ends at once too. The application quitting
// (QCoreApplication::exit) abandons the host as well.
//
// Document operations run as scripts in the application's own world (QWebEngineScript::
// ApplicationWorld), out of reach of the page's scripts, and call the DOM's own prototype
// methods, so nothing the page defines can stand in for them. Values enter a script only as
// JSON string literals. The caller waits for a script's answer under the same rules as for a
// page.
class TSBrowserHost : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kDefaultWaitLimit{120000};

    enum class WaitEnd {
        Done,     // the condition holds
        TimedOut, // the wait limit passed first
        Abandoned // abandon() was called
    };
    // How a page wait ended.
    enum class PageEnd {
        Loaded,     // the own navigation completed with a new document
        Failed,     // it failed or ended without a new document; the status holds why
        TimedOut,   // no page completed within the wait limit: the load was stopped, status -7
        Abandoned,  // abandon() was called
        NotStarted, // the form could not be built or submitted: nothing was sent
    };

    // The outcome of a document operation.
    struct Result {
        WaitEnd end = WaitEnd::Done; // how waiting for the script's answer ended
        QString error;               // when end is Done: empty on success, otherwise what failed
        QString text;                // ReadDocumentMarkup: the markup
        quint64 navigation = 0;      // SubmitForm: the submission's number for TSWebPage::ending
        bool ok() const { return end == WaitEnd::Done && error.isEmpty(); }
    };

    // Puts a TSWebPage into the view; the host and the page are children of the view.
    explicit TSBrowserHost(QWebEngineView* view);

    QWebEngineView* view() const { return m_view; }
    TSWebPage* page() const { return m_page; }

    // Navigates the main frame to the address alone: no post data, headers or target frame.
    // Answers the navigation's number for TSWebPage::ending.
    quint64 Navigate(const QUrl& url);
    // Stops the load under way, if any.
    void Stop();

    std::chrono::milliseconds waitLimit() const { return m_waitLimit; }
    void setWaitLimit(std::chrono::milliseconds limit) { m_waitLimit = limit; }

    WaitEnd WaitUntil(const std::function<bool()>& done);
    // Makes every wait under way test its condition again.
    void wake();
    // Ends every wait under way, and every later one, with Abandoned.
    void abandon();
    bool abandoned() const { return m_abandoned; }

    // --- Page-load state and page waits
    bool pageLoaded() const { return m_bPageLoaded; }
    QVariant navigateStatus() const { return m_vNavigateStatus; }
    // Whether a navigation status counts as no failure: empty, False and the integer 0 do;
    // True and every other integer do not.
    static bool CountsAsNoFailure(const QVariant& vStatus);
    // Sets the page-load flag False, navigates to the address alone and waits for the page.
    PageEnd OpenPageAndWait(const QUrl& url);
    // Adds the form with its hidden fields to the document in the pane (SubmitForm), submits
    // it and waits for the reply. NotStarted when nothing could be submitted: the page-load
    // flag is as before and the same page stays in the pane.
    PageEnd PostFormAndWait(const QUrl& action, const QList<QPair<QString, QString>>& fields);
    // The reply's whole markup; nothing when it cannot be read (abandoned, timed out, no
    // document element).
    std::optional<QString> ReadReply();
    // Submits the document's own form "regform" without waiting; false when there is none.
    bool SubmitReplyForm();
    // Navigates to a local page without waiting; with bAfterFailure the page-load flag is
    // cleared first and the navigation status set to the integer 0 (the failure dealt with).
    void ShowLocalPage(const QUrl& url, bool bAfterFailure);

    // The pane's notifications.
    void BeforeNavigate2(const QUrl& url);
    void DocumentComplete(const QUrl& url);
    void NavigateError(const QUrl& url, int statusCode);
    void DownloadBegin();
    void DownloadComplete();

    // Runs a script in the application's world and waits for its answer.
    WaitEnd RunScript(const QString& source, QVariant* answer);

    // The document mark: a fresh random value set on the document in the pane, in the
    // application's world where the page's scripts cannot see or copy it. A new document starts
    // without it, so a document that still carries it after a navigation is the one the
    // navigation started from.
    Result MarkDocument();
    // Whether the document in the pane carries the last mark set: text "marked" or empty.
    Result ReadDocumentMark();

    // Marks the document, adds "<form id='regform' method='post'>" to the end of its body,
    // takes the element with id "regform", sets its action, adds all the hidden fields to its
    // end in one insertion and submits it. Does not wait for the page: a success means the
    // submission was started. Fails, with nothing submitted, when the document has no body, or
    // the element with that id is missing or not a form.
    Result SubmitForm(const QUrl& action, const QList<QPair<QString, QString>>& fields);
    // The document element's whole outerHTML, comments included.
    Result ReadDocumentMarkup();
    // Submits the document's own element with id "regform", without waiting for the page.
    // Fails when there is none or it is not a form.
    Result SubmitDocumentForm();

    // The scripts of the operations above.
    static QString MarkDocumentScript(const QString& mark);
    static QString ReadDocumentMarkScript(const QString& mark);
    static QString SubmitFormScript(const QString& mark, const QUrl& action,
                                    const QList<QPair<QString, QString>>& fields);
    static QString ReadDocumentMarkupScript();
    static QString SubmitDocumentFormScript();

private:
    Result runOperation(const QString& source);
    QString newMark();
    PageEnd timeOut();
    // How a page wait ends when one of its steps was abandoned or timed out; nothing when the
    // step is done.
    std::optional<PageEnd> interrupted(WaitEnd end);
    // Waits until the own navigation has ended and tells how; with bMarked, a document that
    // still carries the mark set before the navigation makes it a failure.
    PageEnd waitForPage(quint64 navigation, bool bMarked);

    QWebEngineView* m_view;
    TSWebPage* m_page;
    std::chrono::milliseconds m_waitLimit = kDefaultWaitLimit;
    bool m_abandoned = false;
    QString m_mark;
    QList<QEventLoop*> m_loops;
    bool m_bPageLoaded = false;
    QVariant m_vNavigateStatus;
};
