#include "crypto/Encodings.h"

#include <QtEndian>

#include <ctime>

QByteArray Utf16LeBytes(const QString& sText) {
    QByteArray bytes(2 * sText.size(), Qt::Uninitialized);
    qToLittleEndian<quint16>(sText.constData(), sText.size(), bytes.data());
    return bytes;
}

QString Utf16LeText(const QByteArray& bytes) {
    QString text(bytes.size() / 2, Qt::Uninitialized);
    qFromLittleEndian<quint16>(bytes.constData(), text.size(), text.data());
    return text;
}

QDateTime Asn1TimeUtc(const ASN1_TIME* time) {
    struct tm t = {};
    if (!time || ASN1_TIME_to_tm(time, &t) != 1)
        return QDateTime();
    return QDateTime(QDate(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday), QTime(t.tm_hour, t.tm_min, t.tm_sec),
                     Qt::UTC);
}
