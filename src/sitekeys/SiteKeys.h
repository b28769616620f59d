#pragma once

// The registration site's keys and certificates: making a site's root, TLS and time-stamping
// certificates, the trust anchors for personal certificates, the site signature (an RFC 3161
// time-stamp token over a fingerprint), and the check of a certificate registration's signed data.
// Needs Qt Core and OpenSSL only.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <memory>
#include <stdexcept>

// A failure to make or load the site's keys, in words a user can act on.
class SiteKeysError : public std::runtime_error {
public:
    explicit SiteKeysError(const QString& message) : std::runtime_error(message.toStdString()) {}
    QString message() const { return QString::fromStdString(what()); }
};

namespace SiteKeys {

// Writes into an existing folder that holds no site yet:
//   root.pem                 the site's self-signed root CA (valid until 99991231235959Z)
//   tls-cert.pem, tls-key.pem the TLS certificate (followed by the root) for localhost, 127.0.0.1, ::1
//                            and each extra host (a name or an IP address), and its key
//   tsa-cert.pem, tsa-key.pem the time-stamping certificate (critical extendedKeyUsage timeStamping,
//                            valid until 99991231235959Z) and its key
//   trust/                   an empty folder of trust anchors for personal certificates
// Keys are written with mode 0600 from the start. The root's key signs the two certificates and
// is then discarded, or written to keepRootKeyPath (0600) when that is not empty; an existing file
// there is never overwritten. Nothing is left behind when Create fails.
void Create(const QString& siteDir, const QStringList& extraHosts, const QString& keepRootKeyPath);

// Copies a CA certificate (PEM, basicConstraints CA:TRUE) into the site's trust anchors; holders of
// personal certificates issued under it may register. Refuses what is not a CA certificate.
void AddTrustAnchor(const QString& siteDir, const QString& caPemPath);

// The project's time-stamping policy, 2.25.<the decimal value of a fixed UUID>.
QString DefaultPolicyOid();

// The certificate's expiry that stands for "no expiry" (GeneralizedTime).
inline constexpr char kNoExpiry[] = "99991231235959Z";

} // namespace SiteKeys

// Signs RFC 3161 time-stamp tokens with the site's time-stamping key. Loads tsa-cert.pem and
// tsa-key.pem once; Stamp() may be called from several threads at once.
class TimeStamper {
public:
    TimeStamper(const QString& siteDir, const QString& policyOid); // throws SiteKeysError
    ~TimeStamper();
    TimeStamper(const TimeStamper&) = delete;
    TimeStamper& operator=(const TimeStamper&) = delete;

    // A DER TimeStampToken whose message imprint is the SHA-1 digest given (20 bytes), with a
    // random serial number, the time of now in UTC and the time-stamping certificate included.
    // Throws SiteKeysError.
    QByteArray Stamp(const QByteArray& sha1Digest) const;

    // The site signature text of a token: the record prefix followed by one line of Base64.
    static QString SignatureText(const QByteArray& tokenDer);

private:
    struct Keys;
    std::unique_ptr<Keys> m_keys;
};

struct TokenCheck {
    bool ok = false;
    QString reason;     // why the token was refused, when not ok
    QByteArray imprint; // the SHA-1 digest it stamps (20 bytes)
    QDateTime genTime;  // UTC
    QString serial;     // upper-case hexadecimal
};

// Checks tokens against the site's own time-stamping certificate and root, at each token's own
// time: a token signed by any other key is refused. Loads the certificates once; Check() may be
// called from several threads at once.
class TokenChecker {
public:
    explicit TokenChecker(const QString& siteDir); // throws SiteKeysError
    ~TokenChecker();
    TokenChecker(const TokenChecker&) = delete;
    TokenChecker& operator=(const TokenChecker&) = delete;
    TokenCheck Check(const QByteArray& tokenDer) const;

private:
    struct Certs;
    std::unique_ptr<Certs> m_certs;
};

// One check with a TokenChecker made for it; a site that cannot be loaded gives a refusal.
TokenCheck CheckToken(const QString& siteDir, const QByteArray& tokenDer);

struct CertificatePostCheck {
    bool ok = false;
    QString reason;      // why the post was refused, when not ok
    QString fingerprint; // 40 upper-case hexadecimal digits
    QString signer;      // the signer certificate's subject, one line
};

// Checks the certificate method's post: `tessaro` is the Base64 of a DER CMS signed-data message
// whose content is the fingerprint as UTF-16LE, signed by a certificate that chains to one of the
// site's trust anchors (siteDir/trust) and is valid at nowUtc, with key usage digitalSignature or
// nonRepudiation, a signing time within 15 minutes of nowUtc and a document name equal to
// `filename`. Loads the trust anchors once; Check() may be called from several threads at once.
class CertificatePostChecker {
public:
    explicit CertificatePostChecker(const QString& siteDir); // throws SiteKeysError
    ~CertificatePostChecker();
    CertificatePostChecker(const CertificatePostChecker&) = delete;
    CertificatePostChecker& operator=(const CertificatePostChecker&) = delete;
    CertificatePostCheck Check(const QString& tessaroField, const QString& filename,
                               const QDateTime& nowUtc) const;

private:
    struct Anchors;
    std::unique_ptr<Anchors> m_anchors;
};
