#pragma once

// Making and checking the PKCS #7 (CMS) signed-data messages of the certificate library, on
// DER bytes. Internal to the platform library; SignedData wraps it in Base64 text.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <optional>

#include <cert.h>

namespace cms {

// The signed attributes to put into a message, in the order given.
struct SignedAttribute {
    enum Kind { SigningTime, DocumentName } kind;
    QDateTime time; // SigningTime
    QString name;   // DocumentName
};

// Signs content (attached) with the certificate's private key, SHA-256, with the given signed
// attributes and the certificate chain without its root. Returns the message in DER with
// definite lengths, checked to verify. The caller has logged in to the key's token.
QByteArray sign(CERTCertificate* cert, const QByteArray& content, const QList<SignedAttribute>& attributes,
                const QString& source);

struct VerifiedSigner {
    QByteArray certificate;        // DER
    std::optional<QDateTime> time; // signingTime, as local time
    std::optional<QString> name;   // the document-name attribute
};

struct Verified {
    QByteArray content;
    QList<VerifiedSigner> signers;
};

// Checks every signature of a DER signed-data message (not the trust of the certificates) and
// returns its content and signers. Throws TSError when the message is malformed, carries no
// content or no signer, or a signature does not verify.
Verified verify(const QByteArray& der, const QString& source);

// The content as text: 80 or 82 bytes whose odd bytes are all zero are UTF-16LE (a trailing
// NUL character dropped); anything else is one character per byte.
QString contentText(const QByteArray& content);

} // namespace cms
