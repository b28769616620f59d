#pragma once

#include "crypto/TSError.h"

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QtGlobal>

struct evp_md_ctx_st; // OpenSSL's EVP_MD_CTX

// The crypto service: the SHA-1 fingerprint of a byte sequence and the Base64 codec
// (standard alphabet, "=" padding, lines of 76 characters separated by CR LF).
// It keeps no state between calls; every failure throws TSError.
class TSCrypt {
public:
    enum : qint32 { HashReturnBase64 = 1, HashReturnHex = 2, HashReturnBinary = 3 };

    // The SHA-1 digest of all bytes of bDataToHash: a QString of Base64 (28 characters) for
    // HashReturnBase64 and for any value outside 1..3, a QString of 40 upper-case hexadecimal
    // digits for HashReturnHex, the 20 digest bytes as a QByteArray for HashReturnBinary.
    QVariant HashBinary(const QByteArray& bDataToHash, qint32 lReturnType);

    // Base64 of the text's UTF-16LE bytes (two per character, low byte first).
    QString Base64EncodeString(const QString& sInData);
    // Base64 of the bytes, broken into lines of 76 characters joined by CR LF.
    QString Base64EncodeBinary(const QByteArray& bInData);
    // Decodes to bytes and reads them as UTF-16LE text.
    QString Base64DecodeToString(QString base64String);
    // Decodes Base64 text; CR LF pairs, tabs and spaces are ignored and "=" counts as a pad
    // digit wherever it stands in a group of four.
    QByteArray Base64DecodeToBinary(QString base64String);

private:
    // Both take the handle by reference, do nothing for a null handle, ignore failures, and
    // clear the handle so that it can never be released twice.
    static void ReleaseCryptContext(evp_md_ctx_st*& hProv);
    static void DestroyCryptHash(evp_md_ctx_st*& hHash);
};
