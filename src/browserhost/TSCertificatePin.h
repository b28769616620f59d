#pragma once

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QString>
#include <QUrl>

#include <optional>

// A server certificate accepted for one host although no certificate authority the browser
// trusts vouches for it: a site's own certificate, known beforehand (TESSARO_SITE_CERT).
// It is compared in full, byte for byte, with the certificate the server presents, and holds
// for that host alone (the browser remembers an accepted certificate per host, whatever the
// port). The pin in force is process-wide and set once at start-up; by default there is none.
class TSCertificatePin {
public:
    // The first certificate of a PEM file, for the host. Without one (a missing or unreadable
    // file, or no PEM certificate in it) nothing, and *error says why in words a user can act on.
    static std::optional<TSCertificatePin> FromPemFile(const QString& path, const QString& host,
                                                       QString* error);

    QString host() const { return m_host; }
    QByteArray der() const { return m_der; }

    // Whether a server at url that presents this chain (its own certificate first) is accepted.
    bool Accepts(const QUrl& url, const QList<QSslCertificate>& chain) const;

    // The pin in force, if any.
    static const std::optional<TSCertificatePin>& Current();
    static void SetCurrent(std::optional<TSCertificatePin> pin);

private:
    TSCertificatePin(QString host, QByteArray der) : m_host(std::move(host)), m_der(std::move(der)) {}

    QString m_host; // as QUrl::host() gives it: lower case, an IPv6 address without brackets
    QByteArray m_der;
};
