#pragma once

// Certificates and certificate-registration posts made in the test with OpenSSL: CAs, personal
// certificates of every kind a site must accept or refuse, and CMS signed data over a fingerprint
// the way the client makes it (content UTF-16LE, signing time, document name, chain without root).

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <memory>
#include <optional>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace testpki {

struct Identity {
    std::shared_ptr<EVP_PKEY> key;
    std::shared_ptr<X509> cert;
    QByteArray certPem() const;
    QByteArray keyPem() const;
};

struct CertOptions {
    QString commonName;
    bool ca = false;
    // keyUsage in OpenSSL's configuration syntax; empty leaves the extension out.
    QString keyUsage = QStringLiteral("critical,digitalSignature,nonRepudiation");
    qint64 validFromDays = -1; // relative to now
    qint64 validToDays = 365;
};

// A certificate with a new EC P-256 key, issued by issuer (self-signed when null).
Identity issue(const CertOptions& options, const Identity* issuer = nullptr);

struct PostOptions {
    QByteArray content;                   // the encapsulated content
    std::optional<QDateTime> signingTime; // left out when empty
    std::optional<QString> documentName;  // UTF-16LE + NUL; left out when empty
    QList<Identity> chain;                // certificates added beside the signer's
};

// DER CMS signed data (SHA-256) by signer over options.content.
QByteArray signPost(const Identity& signer, const PostOptions& options);

// The client's content: the fingerprint text as UTF-16LE.
QByteArray utf16le(const QString& text);

// A fixed fingerprint for tests, 40 upper-case hexadecimal digits.
inline const QString kFingerprint = QStringLiteral("0123456789ABCDEF0123456789ABCDEF01234567");

} // namespace testpki
