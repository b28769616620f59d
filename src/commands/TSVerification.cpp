#include "commands/TSVerification.h"

#include "certstore/CertLibrary.h"
#include "protocol/TSSiteExchange.h"

namespace TSVerification {

namespace {

// Splits a Qt date or time format into its pieces: a run of one unquoted letter (a field such
// as "yy" or "t"), a quoted literal (quotes included, '' inside it kept), or one other
// character.
QStringList formatPieces(const QString& sFormat) {
    QStringList pieces;
    const qsizetype n = sFormat.size();
    qsizetype i = 0;
    while (i < n) {
        const QChar c = sFormat.at(i);
        qsizetype j = i + 1;
        if (c == u'\'') {
            // Up to the closing quote; two quotes in a row stand for one quote character.
            while (j < n) {
                if (sFormat.at(j) == u'\'') {
                    if (j + 1 < n && sFormat.at(j + 1) == u'\'') {
                        j += 2;
                        continue;
                    }
                    ++j;
                    break;
                }
                ++j;
            }
        } else if (c.isLetter() && c.unicode() < 128) {
            while (j < n && sFormat.at(j) == c)
                ++j;
        }
        pieces.append(sFormat.mid(i, j - i));
        i = j;
    }
    return pieces;
}

bool isBlankPiece(const QString& piece) {
    return piece.size() == 1 && piece.at(0).isSpace();
}

} // namespace

QString FourDigitYearDateFormat(const QString& sDateFormat) {
    QStringList pieces = formatPieces(sDateFormat);
    for (QString& piece : pieces) {
        if (piece.startsWith(u'y'))
            piece = QStringLiteral("yyyy");
    }
    return pieces.join(QString());
}

QString TimeFormatWithoutZone(const QString& sTimeFormat) {
    QStringList pieces = formatPieces(sTimeFormat);
    for (qsizetype i = 0; i < pieces.size();) {
        if (!pieces.at(i).startsWith(u't')) {
            ++i;
            continue;
        }
        // The zone field, with the parentheses and blanks that frame it.
        qsizetype first = i;
        qsizetype last = i;
        while (first > 0 && isBlankPiece(pieces.at(first - 1)))
            --first;
        qsizetype after = i + 1;
        while (after < pieces.size() && isBlankPiece(pieces.at(after)))
            ++after;
        if (first > 0 && pieces.at(first - 1) == QLatin1String("(") && after < pieces.size() &&
            pieces.at(after) == QLatin1String(")")) {
            --first;
            last = after;
            while (first > 0 && isBlankPiece(pieces.at(first - 1)))
                --first;
        }
        // Blanks after the zone go with it only where it begins the format; otherwise the
        // blanks before it do.
        if (first == 0) {
            while (last + 1 < pieces.size() && isBlankPiece(pieces.at(last + 1)))
                ++last;
        }
        pieces.remove(first, last - first + 1);
        i = first;
    }
    while (!pieces.isEmpty() && isBlankPiece(pieces.constLast()))
        pieces.removeLast();
    return pieces.join(QString());
}

QString FormatTimeStamp(const QDateTime& dtValue, const QLocale& locale) {
    const QDateTime local = dtValue.toLocalTime();
    return locale.toString(local.date(), FourDigitYearDateFormat(locale.dateFormat(QLocale::ShortFormat))) +
           QLatin1Char(' ') +
           locale.toString(local.time(), TimeFormatWithoutZone(locale.timeFormat(QLocale::LongFormat)));
}

QString AttributeText(const QVariant& vValue, const QLocale& locale) {
    if (vValue.typeId() == QMetaType::QDateTime)
        return FormatTimeStamp(vValue.toDateTime(), locale);
    return vValue.toString();
}

RecordKind KindOfRecord(const QString& sRecordText) {
    return sRecordText.startsWith(QLatin1String(TSSiteExchange::SiteRecordPrefix)) ? RecordKind::Site
                                                                                   : RecordKind::Certificate;
}

LocalCheck CheckCertificateRecord(const QString& sRecordText, const QString& sFingerprint) {
    LocalCheck check;
    SignedData signedData;
    try {
        signedData.Verify(sRecordText, false, SignedData::VerifySignatureOnly);
    } catch (const TSError& e) {
        check.outcome = LocalCheck::Outcome::SignatureFailed;
        check.errorNumber = e.number();
        check.errorDescription = e.description();
        return check;
    }
    // The attributes are taken by position; a signer with fewer of them leaves the rest empty.
    try {
        const Signer signer = signedData.Signers().Item(1);
        const Attributes& attributes = signer.AuthenticatedAttributes();
        if (attributes.Count() >= 1)
            check.timeStamp = attributes.Item(1).Value();
        if (attributes.Count() >= 2)
            check.fileName = attributes.Item(2).Value();
    } catch (const TSError&) {
    }
    check.outcome = signedData.Content() == sFingerprint ? LocalCheck::Outcome::Verified
                                                         : LocalCheck::Outcome::ContentDiffers;
    return check;
}

} // namespace TSVerification
