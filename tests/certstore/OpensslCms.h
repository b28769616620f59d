#pragma once

// Signed-data messages made and read with OpenSSL's own CMS code, independently of the library
// under test, for interoperation tests.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>

namespace opensslcms {

struct Options {
    QByteArray content{};
    QString digest = QStringLiteral("sha256"); // an OpenSSL digest name
    std::optional<QDateTime> signingTime{};    // added as signingTime (UTCTime up to 2049)
    std::optional<QByteArray> nameOctets{};    // the document-name attribute's OCTET STRING bytes
    bool detached = false;
    bool noSigner = false;       // a signed-data message without any signer
    bool noCertificates = false; // the signer's certificate left out
    bool signerByKeyId = false;  // identify the signer by subject key identifier
};

// Signs with a self-signed certificate "CN=Outside Signer, O=Elsewhere" made for this process
// (never in any NSS database). Returns DER, or an empty array with *error set.
QByteArray sign(const Options& options, QString* error);

// What a signed-data message holds, as OpenSSL reads it.
struct Parsed {
    bool ok = false;
    QString error;
    bool canonical = false; // re-encoding gives the same bytes
    bool signedData = false;
    bool dataContent = false;
    QString digest;          // of the first signer: "sha256", ...
    int signingTimeType = 0; // V_ASN1_UTCTIME or V_ASN1_GENERALIZEDTIME
    QDateTime signingTimeUtc;
    QByteArray nameOctets;           // the document-name attribute's OCTET STRING bytes
    QStringList certificateSubjects; // common names, sorted
};
Parsed parse(const QByteArray& der);

} // namespace opensslcms
