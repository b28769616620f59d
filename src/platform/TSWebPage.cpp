#include "platform/TSWebPage.h"

#include "platform/TSCertificatePin.h"

#include <QWebEngineCertificateError>

namespace {
// net::ERR_FAILED, for a failure that comes without a code of its own.
constexpr int kGenericNetworkError = -2;
} // namespace

TSWebPage::TSWebPage(QObject* parent) : QWebEnginePage(parent) {
    connect(this, &QWebEnginePage::loadingChanged, this, &TSWebPage::onLoadingChanged);
    connect(this, &QWebEnginePage::certificateError, this, [](QWebEngineCertificateError error) {
        const std::optional<TSCertificatePin>& pin = TSCertificatePin::Current();
        if (pin && pin->Accepts(error.url(), error.certificateChain()))
            error.acceptCertificate();
        else
            error.rejectCertificate();
    });
}

int TSWebPage::NavigateStatusCode(QWebEngineLoadingInfo::ErrorDomain domain, int errorCode) {
    if (domain == QWebEngineLoadingInfo::HttpStatusCodeDomain && errorCode > 0)
        return errorCode;
    if (errorCode < 0)
        return errorCode;
    return errorCode > 0 ? -errorCode : kGenericNetworkError;
}

bool TSWebPage::acceptNavigationRequest(const QUrl& url, NavigationType, bool isMainFrame) {
    if (isMainFrame)
        Q_EMIT BeforeNavigate2(url);
    return true;
}

void TSWebPage::onLoadingChanged(const QWebEngineLoadingInfo& info) {
    switch (info.status()) {
    case QWebEngineLoadingInfo::LoadStartedStatus:
        Q_EMIT DownloadBegin();
        return;
    case QWebEngineLoadingInfo::LoadFailedStatus:
        Q_EMIT DownloadComplete();
        Q_EMIT NavigateError(info.url(), NavigateStatusCode(info.errorDomain(), info.errorCode()));
        Q_EMIT DocumentComplete(info.url());
        return;
    case QWebEngineLoadingInfo::LoadSucceededStatus:
    case QWebEngineLoadingInfo::LoadStoppedStatus:
        Q_EMIT DownloadComplete();
        Q_EMIT DocumentComplete(info.url());
        return;
    }
}
