#pragma once

// Encodings shared by the crypto service, certificate records and the site's keys.

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <openssl/asn1.h>

// Text as UTF-16LE bytes: two for each UTF-16 unit, low byte first, no terminator.
QByteArray Utf16LeBytes(const QString& sText);

// UTF-16LE bytes as text; an odd last byte is ignored.
QString Utf16LeText(const QByteArray& bytes);

// An ASN.1 UTCTime or GeneralizedTime as a date and time in UTC; an invalid QDateTime when
// there is none or it cannot be read.
QDateTime Asn1TimeUtc(const ASN1_TIME* time);
