#pragma once

#include <QtGlobal>

// Error numbers of the certificate library and of the reading of certificate records, for
// failures that are not NSS's own.
namespace CertLibError {
constexpr qint32 Base = static_cast<qint32>(0x80042000u);
constexpr qint32 InvalidArgument = Base + 1;    // an argument or property value not accepted
constexpr qint32 IndexOutOfRange = Base + 2;    // a collection index outside 1..Count
constexpr qint32 NoCertificate = Base + 3;      // no personal certificate fit for signing
constexpr qint32 Cancelled = Base + 4;          // the user cancelled the choice or the password
constexpr qint32 ChoiceNotAllowed = Base + 5;   // several fit certificates and no prompt allowed
constexpr qint32 NoUserInterface = Base + 6;    // a dialog was needed but there is no GUI
constexpr qint32 NotBase64 = Base + 7;          // the message text is not Base64
constexpr qint32 NotSignedData = Base + 8;      // not a PKCS #7 signed-data message
constexpr qint32 NoContent = Base + 9;          // the message carries no content (detached)
constexpr qint32 NoSigner = Base + 10;          // the message has no signer
constexpr qint32 UnsupportedDigest = Base + 11; // a digest algorithm other than SHA-1/SHA-2
constexpr qint32 SignerNotFound = Base + 12;    // the signer's certificate is not available
constexpr qint32 BadSignature = Base + 13;      // the signature does not verify (no NSS code)
constexpr qint32 Unavailable = Base + 14;       // NSS cannot be initialised at all
constexpr qint32 SigningFailed = Base + 15;     // NSS could not make the signature (no NSS code)
} // namespace CertLibError
