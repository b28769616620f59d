#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

// The certificate method's session: a cookie whose value is its expiry time and an HMAC-SHA256
// of it under a secret kept in the site folder. Nothing is stored per visitor, so instances
// that share the folder share the sessions.
class SessionCookie {
public:
    static constexpr qint64 LifetimeSeconds = 10 * 60;

    // The secret of the site folder (session-secret, mode 0600), made on first use.
    // Throws std::runtime_error with words a user can act on.
    static QByteArray LoadSecret(const QString& siteDir);

    explicit SessionCookie(QByteArray secret);

    // A new value that is live until nowUtc + LifetimeSeconds, and its Set-Cookie header value.
    QString Issue(const QDateTime& nowUtc) const;
    static QString SetCookieValue(const QString& value);

    // Whether a Cookie header carries a live session cookie made with this secret.
    bool IsLive(const QString& cookieHeader, const QDateTime& nowUtc) const;

private:
    QByteArray Mac(const QByteArray& expiry) const;
    QByteArray m_secret;
};
