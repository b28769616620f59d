#pragma once

#include "site/SessionCookie.h"
#include "sitedb/Accounts.h"
#include "sitedb/SiteDatabase.h"
#include "sitekeys/SiteKeys.h"

#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// One request as the service sees it, independent of the HTTP library.
struct SiteRequest {
    std::string method; // "GET", "POST", ...
    std::string path;   // without the query
    std::string contentType;
    std::string cookie; // the Cookie header
    std::string body;
    QString clientAddress;
};

struct SiteResponse {
    int status = 200;
    std::string body; // UTF-8 HTML, unless contentType says otherwise
    std::string contentType = "text/html; charset=utf-8";
    std::vector<std::pair<std::string, std::string>> headers;
    // For the service's log (never a password, never a form's body): what happened in one word or code
    // ("registered", "error:dberror-update", "page", ...) and, where it helps, a few words more.
    QString outcome = QStringLiteral("page");
    QString detail;
};

// An application/x-www-form-urlencoded body as (name, value) pairs in order, "+" as a space and
// %XX escapes decoded. Nothing for a malformed escape or for text that is not UTF-8 (or holds
// control characters other than tab, line feed and carriage return).
std::optional<QList<QPair<QString, QString>>> DecodeForm(const std::string& body);

// What every worker shares: the site's keys, trust anchors and session secret. Thread-safe.
class SiteContext {
public:
    explicit SiteContext(const QString& siteDir); // throws SiteKeysError or std::runtime_error
    QString SiteDir() const { return m_dir; }
    const TimeStamper& Stamper() const { return m_stamper; }
    const TokenChecker& Tokens() const { return m_tokens; }
    const CertificatePostChecker& Posts() const { return m_posts; }
    const SessionCookie& Sessions() const { return m_sessions; }
    // The clock (UTC); tests replace it.
    std::function<QDateTime()> now = [] { return QDateTime::currentDateTimeUtc(); };

private:
    QString m_dir;
    TimeStamper m_stamper;
    TokenChecker m_tokens;
    CertificatePostChecker m_posts;
    SessionCookie m_sessions;
};

// What one worker thread owns: its database connection and the accounts on it.
struct SiteWorker {
    explicit SiteWorker(const QString& siteDir, Accounts::HashCost cost = {})
        : db(siteDir), accounts(db, cost) {}
    SiteDatabase db;
    Accounts accounts;
};

// Where the health check answers: 200 when the database answers a trivial query, 503 otherwise; no
// authentication, and nothing but that in the answer.
inline constexpr char HealthPath[] = "/health";

// Answers one request. Never throws.
SiteResponse HandleRequest(const SiteContext& context, SiteWorker& worker, const SiteRequest& request);

// The page for a status the HTTP layer answers by itself (too large, bad request, ...).
SiteResponse StatusPage(int status);
