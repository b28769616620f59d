#pragma once

#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>

// The page of the browser pane. It raises the pane's notifications, as signals, from Qt
// WebEngine's own:
//  - BeforeNavigate2 when a navigation or form submission of the main frame is about to start
//    (acceptNavigationRequest, which never refuses one);
//  - DownloadBegin when a load of the main frame starts;
//  - when that load ends (the final loadingChanged, which follows loadFinished), in this order:
//    DownloadComplete; NavigateError if the load failed; DocumentComplete, also after a failure,
//    once the browser's error page or the server's error reply is in the pane.
// Frames other than the main frame raise nothing: Qt WebEngine reports no per-frame loads, so a
// frame's navigation must not reset what only the main frame's completion would set again.
// Certificate errors are never overridden, such a load fails; only the pinned certificate in
// force (TSCertificatePin) is accepted, for its host.
class TSWebPage : public QWebEnginePage {
    Q_OBJECT
public:
    explicit TSWebPage(QObject* parent = nullptr);

    // The status a failed load is recorded with: for the HTTP status domain the status code
    // (such as 404), for every other domain the negative network error code (never 0).
    static int NavigateStatusCode(QWebEngineLoadingInfo::ErrorDomain domain, int errorCode);

Q_SIGNALS:
    void BeforeNavigate2(const QUrl& url);
    void DocumentComplete(const QUrl& url);
    void NavigateError(const QUrl& url, int statusCode);
    void DownloadBegin();
    void DownloadComplete();

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;

private:
    void onLoadingChanged(const QWebEngineLoadingInfo& info);
};
