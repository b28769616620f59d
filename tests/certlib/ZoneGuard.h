#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <ctime>

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
