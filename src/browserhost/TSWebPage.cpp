#include "browserhost/TSWebPage.h"

#include "browserhost/TSCertificatePin.h"

#include <QWebEngineCertificateError>

#include <utility>

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

void TSWebPage::setGuarded(bool bGuarded) {
    m_guarded = bGuarded;
    m_expected.clear();
}

quint64 TSWebPage::expectNavigation(const QUrl& url, NavigationType type) {
    m_expected.append({++m_lastId, url, type});
    return m_lastId;
}

void TSWebPage::withdrawExpectation(quint64 navigation) {
    m_expected.removeIf([navigation](const Expected& e) { return e.id == navigation; });
}

std::optional<int> TSWebPage::ending(quint64 navigation) const {
    if (navigation == 0 || navigation != m_ended)
        return std::nullopt;
    return m_endStatus;
}

void TSWebPage::triggerAction(WebAction action, bool checked) {
    switch (action) {
    case Back:
    case Forward:
    case Reload:
    case ReloadAndBypassCache:
    case OpenLinkInThisWindow:
        if (m_guarded) {
            Q_EMIT NavigationRefused(QUrl());
            return;
        }
        break;
    default:
        break;
    }
    QWebEnginePage::triggerAction(action, checked);
}

bool TSWebPage::acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) {
    if (!isMainFrame)
        return true;
    // An announced navigation; announcements made before it were overtaken and are dropped.
    for (qsizetype i = 0; i < m_expected.size(); ++i) {
        const Expected& e = m_expected[i];
        if (e.type == type && (e.url.isEmpty() || e.url == url)) {
            m_inFlight = e.id;
            m_expected.remove(0, i + 1);
            Q_EMIT BeforeNavigate2(url);
            return true;
        }
    }
    // A server's redirect of the own navigation under way. (A page's script that navigates
    // while the page is still loading is reported the same way; no such page is loading here,
    // since every own navigation starts from a completed one.)
    if (type == NavigationTypeRedirect && m_inFlight != 0) {
        Q_EMIT BeforeNavigate2(url);
        return true;
    }
    if (m_guarded) {
        Q_EMIT NavigationRefused(url);
        return false;
    }
    if (m_inFlight != 0)
        endOwn(kReplacedStatus);
    Q_EMIT BeforeNavigate2(url);
    return true;
}

void TSWebPage::giveUpOwn(int status) {
    if (m_inFlight == 0)
        return;
    endOwn(status);
    m_givenUp = true;
}

void TSWebPage::endOwn(int status) {
    m_ended = m_inFlight;
    m_endStatus = status;
    m_inFlight = 0;
}

void TSWebPage::onLoadingChanged(const QWebEngineLoadingInfo& info) {
    int status = 0;
    switch (info.status()) {
    case QWebEngineLoadingInfo::LoadStartedStatus:
        Q_EMIT DownloadBegin();
        return;
    case QWebEngineLoadingInfo::LoadFailedStatus:
        status = NavigateStatusCode(info.errorDomain(), info.errorCode());
        break;
    case QWebEngineLoadingInfo::LoadStoppedStatus:
        // Stopped, aborted, 204 or 205, or turned into a download: the old document stays.
        status = kNoNewDocumentStatus;
        break;
    case QWebEngineLoadingInfo::LoadSucceededStatus:
        break;
    }
    const bool givenUp = std::exchange(m_givenUp, false);
    if (m_inFlight != 0)
        endOwn(status);
    Q_EMIT DownloadComplete();
    if (status != 0 && !givenUp)
        Q_EMIT NavigateError(info.url(), status);
    Q_EMIT DocumentComplete(info.url());
}
