#pragma once

// Shared by the certificate library tests: what a record of kFingerprint reads back as, and a
// time zone set for a while.

#include "certstore/CertLibrary.h"

#include <QByteArray>
#include <QStringList>
#include <ctime>

inline const QString kFingerprint = QStringLiteral("3F786850E387550FDAB836ED7E6DC881DE23001B");

// How readBack and the tests tell a failure: "error <number>".
inline QString failure(qint32 number) {
    return QStringLiteral("error %1").arg(number);
}

// What Verify reads back from a record into data (which may hold an earlier result):
// "<content>|<signing time>|<document name>", the time as local ISO 8601 (a time in UTC or with
// an offset would show its zone). On failure failure(number), with a complaint added when the
// error has no description or the earlier result is left to be taken for this one's.
inline QString readBack(const QString& record, SignedData data = SignedData()) {
    try {
        data.Verify(record, false, 0);
        const Attributes attributes = data.Signers().Item(1).AuthenticatedAttributes();
        return QStringList{data.Content(), attributes.Item(1).Value().toDateTime().toString(Qt::ISODate),
                           attributes.Item(2).Value().toString()}
                   .join(QLatin1Char('|')) +
               (attributes.Count() == 2 ? QString() : QStringLiteral("|and more"));
    } catch (const TSError& e) {
        const bool clean =
            !e.description().isEmpty() && data.Content().isEmpty() && data.Signers().Count() == 0;
        return failure(e.number()) + (clean ? QString() : QStringLiteral(", unclean"));
    }
}

// What readBack gives for kFingerprint signed at that time (to the second) with that name.
inline QString expected(const QDateTime& when, const QString& name) {
    return QStringList{kFingerprint, when.toLocalTime().toString(Qt::ISODate), name}.join(QLatin1Char('|'));
}

// Sets the time zone of the process (TZ, read by Qt and the C library) while it lives, e.g.
// "XST10" for UTC-10 or "XET-13" for UTC+13.
class ZoneGuard {
public:
    explicit ZoneGuard(const char* zone) { qputenv("TZ", zone), tzset(); }
    ~ZoneGuard() { (m_had ? qputenv("TZ", m_old) : qunsetenv("TZ")), tzset(); }

private:
    const bool m_had = qEnvironmentVariableIsSet("TZ");
    const QByteArray m_old = qgetenv("TZ");
};
