#pragma once

#include <QList>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>

#include <optional>

// The page of the browser pane. It raises the pane's notifications, as signals, from Qt
// WebEngine's own:
//  - BeforeNavigate2 when a navigation or form submission of the main frame is about to start
//    (acceptNavigationRequest) and is let through;
//  - DownloadBegin when a load of the main frame starts;
//  - when that load ends (the final loadingChanged, which follows loadFinished), in this order:
//    DownloadComplete; NavigateError if the load failed or ended without a new document;
//    DocumentComplete, also after a failure, once the browser's error page or the server's
//    error reply is in the pane.
// Frames other than the main frame raise nothing: Qt WebEngine reports no per-frame loads, so a
// frame's navigation must not reset what only the main frame's completion would set again.
// Certificate errors are never overridden, such a load fails; only the pinned certificate in
// force (TSCertificatePin) is accepted, for its host.
//
// Own navigations. The caller announces each navigation it starts (expectNavigation) and learns
// how that navigation, with its redirects, ended (ending). While the page is guarded, every
// main-frame navigation that nobody announced (the page's links, scripts and form submissions,
// history and reload actions, a file dropped onto the view) is refused, and so are the back,
// forward and reload actions themselves. Unguarded, such a navigation goes ahead and ends the
// own navigation under way as replaced.
class TSWebPage : public QWebEnginePage {
    Q_OBJECT
public:
    // Statuses of failed navigations that the browser has no code for (its network errors are
    // -1 to -999). A wait that times out records -7, the network's own time-out code.
    static constexpr int kTimedOutStatus = -7;
    // Ended without a new document in the main frame: stopped or aborted, answered 204 or 205,
    // turned into a download, or ended on the very document it started from.
    static constexpr int kNoNewDocumentStatus = -1001;
    // Replaced by a navigation its caller did not start.
    static constexpr int kReplacedStatus = -1002;

    explicit TSWebPage(QObject* parent = nullptr);

    // The status a failed load is recorded with: for the HTTP status domain the status code
    // (such as 404), for every other domain the negative network error code (never 0).
    static int NavigateStatusCode(QWebEngineLoadingInfo::ErrorDomain domain, int errorCode);

    void setGuarded(bool bGuarded);
    bool guarded() const { return m_guarded; }

    // Announces the caller's next main-frame navigation: a load of the address (Typed), or a form
    // submission to it (FormSubmitted; an empty address stands for any). Answers its number.
    quint64 expectNavigation(const QUrl& url, NavigationType type);
    // Withdraws an announcement that no navigation will take up (a submission that failed).
    void withdrawExpectation(quint64 navigation);
    // How an own navigation ended: nothing while it has not ended (or was never let through);
    // otherwise 0 when a document completed, or the status of its failure.
    std::optional<int> ending(quint64 navigation) const;
    // Ends the own navigation under way, if any, with this status (a time-out): when its load
    // then ends, its own failure is not raised again.
    void giveUpOwn(int status);

    void triggerAction(WebAction action, bool checked = false) override;

Q_SIGNALS:
    void BeforeNavigate2(const QUrl& url);
    void DocumentComplete(const QUrl& url);
    void NavigateError(const QUrl& url, int statusCode);
    void DownloadBegin();
    void DownloadComplete();
    // A navigation or navigation action refused while guarded.
    void NavigationRefused(const QUrl& url);

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;

private:
    struct Expected {
        quint64 id;
        QUrl url;
        NavigationType type;
    };
    void onLoadingChanged(const QWebEngineLoadingInfo& info);
    void endOwn(int status);

    bool m_guarded = false;
    quint64 m_lastId = 0;
    QList<Expected> m_expected;
    // The own navigation under way (0: none), and the last one that ended with its status.
    quint64 m_inFlight = 0;
    quint64 m_ended = 0;
    int m_endStatus = 0;
    // The load of an own navigation that was given up is still under way.
    bool m_givenUp = false;
};
