#pragma once

#include "sitedb/SiteDatabase.h"

#include <QByteArray>
#include <cerrno>
#include <cstring>
#include <sys/random.h>

// Bytes from the kernel's random source (getrandom), for salts and receipt ids.
inline QByteArray SystemRandomBytes(qsizetype count) {
    QByteArray bytes(count, Qt::Uninitialized);
    qsizetype filled = 0;
    while (filled < count) {
        const ssize_t n = getrandom(bytes.data() + filled, size_t(count - filled), 0);
        if (n < 0 && errno != EINTR) {
            throw SiteDatabaseError(SiteDatabaseError::Kind::Unknown,
                                    QStringLiteral("the system's random source failed: %1")
                                        .arg(QString::fromLocal8Bit(std::strerror(errno))));
        }
        filled += n > 0 ? n : 0;
    }
    return bytes;
}
