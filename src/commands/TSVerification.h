#pragma once

#include "crypto/TSError.h"

#include <QByteArray>
#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QVariant>

#include <optional>

// The parts of verifying a registration that need no window: the record's kind, the local check
// of a certificate record, and how its time stamp is shown.
namespace TSVerification {

// --- The time stamp
// The locale's general date format as two Qt formats: its short date with the year always in
// four digits, and its long time without the time zone (with any parentheses or blanks that
// only framed the zone). Quoted literal text is kept as it stands.
QString FourDigitYearDateFormat(const QString& sDateFormat);
QString TimeFormatWithoutZone(const QString& sTimeFormat);

// A date and time in the locale's general date format: the short date with a four-digit year,
// a blank and the long time without a time zone ("3/14/2005 9:15:23 AM" in en_US).
QString FormatTimeStamp(const QDateTime& dtValue, const QLocale& locale = QLocale());

// An authenticated attribute's value as the success message shows it: a date and time in the
// general date format, anything else as its text.
QString AttributeText(const QVariant& vValue, const QLocale& locale = QLocale());

// --- Records
enum class RecordKind { Certificate, Site };

// A site record begins with "V.01_" (exactly, letter case included); every other record is a
// certificate record.
RecordKind KindOfRecord(const QString& sRecordText);

// The local check of a certificate record against the fingerprint of its copy.
struct LocalCheck {
    enum class Outcome {
        Verified,        // the signature holds and its content is the fingerprint
        ContentDiffers,  // the signature holds but its content is another fingerprint
        SignatureFailed, // the record is not a signed message, or its signature does not hold
    };
    Outcome outcome = Outcome::SignatureFailed;
    // SignatureFailed: the library's error.
    qint32 errorNumber = 0;
    QString errorDescription;
    // Verified and ContentDiffers: the first signer's authenticated attributes 1 and 2 (the
    // signing time and the document name as signed); invalid where the signer has fewer.
    QVariant timeStamp;
    QVariant fileName;
};

// Verifies the record text as a Base64 signed message with its content inside (the signature
// only, not the signer's certificate or its chain) and compares its content with the
// fingerprint, exactly.
LocalCheck CheckCertificateRecord(const QString& sRecordText, const QString& sFingerprint);

} // namespace TSVerification
