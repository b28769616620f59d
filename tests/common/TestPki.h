#pragma once

// Certificates and signed data made and read in the test with OpenSSL, independently of the code
// under test: CAs, personal certificates of every kind a site must accept or refuse, CMS signed data
// over a fingerprint the way the client makes it (content UTF-16LE, signing time, document name,
// chain without root) or malformed on purpose, and what OpenSSL reads from signed data.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace testpki {

struct Identity {
    std::shared_ptr<EVP_PKEY> key;
    std::shared_ptr<X509> cert;
    QByteArray certPem() const;
};

struct CertOptions {
    QString commonName;
    bool ca = false;
    // keyUsage in OpenSSL's configuration syntax; empty leaves the extension out.
    QString keyUsage = QStringLiteral("critical,digitalSignature,nonRepudiation");
    qint64 validFromDays = -1; // relative to now
    qint64 validToDays = 365;
    bool rsa = false; // an RSA 2048 key in place of EC P-256
};

// A certificate with a new EC P-256 key, issued by issuer (self-signed when null).
Identity issue(const CertOptions& options, const Identity* issuer = nullptr);

struct PostOptions {
    QByteArray content{};                      // the encapsulated content
    std::optional<QDateTime> signingTime{};    // left out when empty
    std::optional<QString> documentName{};     // UTF-16LE + NUL; left out when empty
    QList<Identity> chain{};                   // certificates added beside the signer's
    QString digest = QStringLiteral("sha256"); // an OpenSSL digest name
    std::optional<QByteArray> nameOctets{};    // the document-name attribute's bytes as given
    bool detached = false;
    bool noSigner = false;       // signed data without any signer
    bool noCertificates = false; // the signer's certificate left out
    bool signerByKeyId = false;  // the signer named by subject key identifier
};

// DER CMS signed data by signer over options.content.
QByteArray signPost(const Identity& signer, const PostOptions& options);
// The same by a self-signed RSA certificate "CN=Outside Signer", made once for the process and in
// no NSS database: a record made by another tool.
QByteArray signAsOutsider(const PostOptions& options);

// What a signed-data message holds, as OpenSSL reads it.
struct Parsed {
    bool ok = false;
    QString error;
    bool canonical = false; // re-encoding gives the same bytes
    bool signedData = false;
    bool dataContent = false;
    QByteArray verifiedContent; // the content, when the first signer's signature verifies
    QString digest;             // of the first signer: "sha256", ...
    int signingTimeType = 0;    // V_ASN1_UTCTIME or V_ASN1_GENERALIZEDTIME
    QDateTime signingTimeUtc;
    QByteArray nameOctets;           // the document-name attribute's OCTET STRING bytes
    QStringList certificateSubjects; // common names, sorted
};
Parsed parse(const QByteArray& der);

// The client's content: the fingerprint text as UTF-16LE.
QByteArray utf16le(const QString& text);

// A fixed fingerprint for tests, 40 upper-case hexadecimal digits.
inline const QString kFingerprint = QStringLiteral("0123456789ABCDEF0123456789ABCDEF01234567");

} // namespace testpki
