#pragma once

// Reading the PKCS #7 (CMS) signed-data messages of certificate records with OpenSSL, on DER
// bytes: every signature checked, the content, and each signer's certificate, signing time and
// document name. The client's certificate library and the registration service both read
// records with it.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <memory>
#include <optional>

#include <openssl/x509.h>

namespace cms {

// The document-name attribute's type: the document's name as UTF-16LE text, NUL-terminated,
// in an OCTET STRING.
inline constexpr char DocumentNameOid[] = "1.3.6.1.4.1.311.88.2.1";

struct VerifiedSigner {
    QByteArray certificate;        // DER
    std::shared_ptr<X509> x509;    // the same certificate, as read
    std::optional<QDateTime> time; // signingTime, as local time
    std::optional<QString> name;   // the document-name attribute
};

struct Verified {
    QByteArray content;
    QList<VerifiedSigner> signers;
    // Every certificate the message carries, for building the signers' chains.
    std::shared_ptr<STACK_OF(X509)> certificates;
};

// Checks every signature of a DER signed-data message (not the trust of the certificates) and
// returns its content and signers. Throws TSError (numbers of crypto/CertLibError.h) when the
// message is malformed, carries no content or no signer, or a signature does not verify.
Verified verify(const QByteArray& der, const QString& source);

// The content as text: 80 or 82 bytes whose odd bytes are all zero are UTF-16LE (a trailing
// NUL character dropped); anything else is one character per byte.
QString contentText(const QByteArray& content);

// The text of OpenSSL's most recent error on this thread, empty when there is none; clears the
// thread's error queue.
QString lastOpenSslError();

} // namespace cms
