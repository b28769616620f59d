#include "site/SessionCookie.h"

#include "protocol/TSSiteExchange.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <unistd.h>

namespace {

constexpr int kSecretBytes = 32;

// Writes a new secret with mode 0600 from the start; a secret written meanwhile by another
// instance wins (O_EXCL), and is read back by the caller.
void writeSecret(const QString& path) {
    unsigned char secret[kSecretBytes];
    if (RAND_bytes(secret, sizeof secret) != 1)
        throw std::runtime_error("cannot make the session secret: the system's random source failed");
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EEXIST)
            return;
        throw std::runtime_error("cannot write " + path.toStdString() + ": " + std::strerror(errno));
    }
    const bool written = ::write(fd, secret, sizeof secret) == static_cast<ssize_t>(sizeof secret);
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    OPENSSL_cleanse(secret, sizeof secret);
    if (!written || !synced)
        throw std::runtime_error("cannot write " + path.toStdString());
}

} // namespace

QByteArray SessionCookie::LoadSecret(const QString& siteDir) {
    const QString path = QDir(siteDir).filePath(QStringLiteral("session-secret"));
    if (!QFile::exists(path))
        writeSecret(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read " + path.toStdString() + ": " +
                                 file.errorString().toStdString());
    const QByteArray secret = file.readAll();
    if (secret.size() < kSecretBytes)
        throw std::runtime_error(path.toStdString() +
                                 " is damaged: delete it and a new one is made (sessions "
                                 "in progress then end)");
    return secret;
}

SessionCookie::SessionCookie(QByteArray secret) : m_secret(std::move(secret)) {}

QByteArray SessionCookie::Mac(const QByteArray& expiry) const {
    const QByteArray data = QByteArrayLiteral("tessaro-session.") + expiry;
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), m_secret.constData(), static_cast<int>(m_secret.size()),
         reinterpret_cast<const unsigned char*>(data.constData()), static_cast<size_t>(data.size()), mac,
         &length);
    return QByteArray(reinterpret_cast<const char*>(mac), static_cast<qsizetype>(length))
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

QString SessionCookie::Issue(const QDateTime& nowUtc) const {
    const QByteArray expiry = QByteArray::number(nowUtc.toSecsSinceEpoch() + LifetimeSeconds);
    return QString::fromLatin1(expiry + '.' + Mac(expiry));
}

QString SessionCookie::SetCookieValue(const QString& value) {
    return QLatin1String(TSSiteExchange::SessionCookie) + QLatin1Char('=') + value +
           QStringLiteral("; Path=/tessaro; Max-Age=%1; Secure; HttpOnly; SameSite=Lax").arg(LifetimeSeconds);
}

bool SessionCookie::IsLive(const QString& cookieHeader, const QDateTime& nowUtc) const {
    const QString name = QLatin1String(TSSiteExchange::SessionCookie) + QLatin1Char('=');
    const qint64 now = nowUtc.toSecsSinceEpoch();
    for (const QString& part : cookieHeader.split(QLatin1Char(';'))) {
        const QString pair = part.trimmed();
        if (!pair.startsWith(name))
            continue;
        const QByteArray value = pair.mid(name.size()).toLatin1();
        const qsizetype dot = value.indexOf('.');
        if (dot <= 0)
            continue;
        const QByteArray expiry = value.left(dot);
        const QByteArray mac = value.mid(dot + 1);
        const QByteArray expected = Mac(expiry);
        bool number = false;
        const qint64 until = expiry.toLongLong(&number);
        if (number && mac.size() == expected.size() &&
            CRYPTO_memcmp(mac.constData(), expected.constData(), static_cast<size_t>(mac.size())) == 0 &&
            until > now && until <= now + LifetimeSeconds)
            return true;
    }
    return false;
}
