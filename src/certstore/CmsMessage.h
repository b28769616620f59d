#pragma once

// Making the PKCS #7 (CMS) signed-data messages of the certificate library with NSS, on DER
// bytes (reading them is crypto/CmsReader.h). Internal to the certificate store; SignedData
// wraps it in Base64 text.

#include "crypto/CmsReader.h"

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

} // namespace cms
