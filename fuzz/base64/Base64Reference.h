#pragma once

#include "crypto/TSError.h"

#include <QByteArray>
#include <QString>

#include <variant>

// A plain, slow Base64 decoder that checks the fast one: CR LF pairs, then tabs, then spaces are
// removed from the text, and every group of four characters is decoded on its own.
inline std::variant<QByteArray, TSError> referenceBase64Decode(QString text) {
    const TSError badOrEmpty(-2147221490, QStringLiteral("TSCrypt"),
                             QStringLiteral("Bad or empty Base64 String"));
    text.replace(QStringLiteral("\r\n"), QString()).remove(QLatin1Char('\t')).remove(QLatin1Char(' '));
    if (text.isEmpty() || text.size() % 4 != 0)
        return badOrEmpty;

    const QString alphabet =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
    QByteArray out;
    for (qsizetype group = 0; group < text.size(); group += 4) {
        int count = 3;
        quint32 value = 0;
        for (const QChar c : QStringView(text).mid(group, 4)) {
            const qsizetype digit = c == QLatin1Char('=') ? 0 : alphabet.indexOf(c);
            if (digit < 0)
                return TSError(2, QStringLiteral("Base64Decode"),
                               QStringLiteral("Bad character In Base64 string."));
            count -= c == QLatin1Char('=');
            value = value * 64 + quint32(digit);
        }
        for (int b = 0; b < count; ++b)
            out.append(char(value >> (16 - 8 * b)));
    }
    if (out.isEmpty())
        return badOrEmpty;
    return out;
}
