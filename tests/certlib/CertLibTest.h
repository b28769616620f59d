#pragma once

// Shared by the certificate library tests: a record signed as the register command signs, and
// a time zone set for a while.

#include "platform/CertLibrary.h"

#include <QByteArray>
#include <QStringList>
#include <ctime>

inline const QString kFingerprint = QStringLiteral("3F786850E387550FDAB836ED7E6DC881DE23001B");

// Signs kFingerprint with the user's certificate, the signing time and the document name; the
// record's text as Sign returns it. Throws TSError.
inline QString signRecord(const QDateTime& when, const QString& name) {
    Attribute time;
    time.setName(Attribute::SigningTime);
    time.setValue(when);
    Attribute document;
    document.setName(Attribute::DocumentName);
    document.setValue(name);
    Signer signer;
    signer.AuthenticatedAttributes().Add(time);
    signer.AuthenticatedAttributes().Add(document);
    SignedData data;
    data.setContent(kFingerprint);
    return data.Sign(signer, false, 0);
}

// What Verify reads back from a record: "<content>|<signing time>|<document name>", the time as
// local ISO 8601 (a time in UTC or with an offset would show its zone); or the error.
inline QString readBack(const QString& record) {
    try {
        SignedData data;
        data.Verify(record, false, 0);
        const Attributes attributes = data.Signers().Item(1).AuthenticatedAttributes();
        return QStringList{data.Content(), attributes.Item(1).Value().toDateTime().toString(Qt::ISODate),
                           attributes.Item(2).Value().toString()}
                   .join(QLatin1Char('|')) +
               (attributes.Count() == 2 ? QString() : QStringLiteral("|and more"));
    } catch (const TSError& e) {
        return QString::fromUtf8(e.what());
    }
}

// Signs at that time with that name and reads the record back; or the error.
inline QString signAndReadBack(const QDateTime& when, const QString& name) {
    try {
        return readBack(signRecord(when, name));
    } catch (const TSError& e) {
        return QString::fromUtf8(e.what());
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
    explicit ZoneGuard(const char* zone) : m_had(qEnvironmentVariableIsSet("TZ")), m_old(qgetenv("TZ")) {
        qputenv("TZ", zone);
        tzset();
    }
    ~ZoneGuard() {
        if (m_had)
            qputenv("TZ", m_old);
        else
            qunsetenv("TZ");
        tzset();
    }
    ZoneGuard(const ZoneGuard&) = delete;
    ZoneGuard& operator=(const ZoneGuard&) = delete;

private:
    bool m_had;
    QByteArray m_old;
};
