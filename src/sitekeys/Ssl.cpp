#include "sitekeys/Ssl.h"

#include "crypto/CmsReader.h"
#include "sitekeys/SiteKeys.h"

#include <QFile>

#include <openssl/err.h>

namespace ssl {

QString lastError() {
    return cms::lastOpenSslError();
}

QByteArray readFile(const QString& path, const QString& what) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw SiteKeysError(QStringLiteral("Cannot read %1 %2: %3").arg(what, path, file.errorString()));
    return file.readAll();
}

namespace {
Bio memory(const QByteArray& bytes) {
    Bio bio(BIO_new_mem_buf(bytes.constData(), static_cast<int>(bytes.size())));
    if (!bio)
        throw SiteKeysError(QStringLiteral("Out of memory"));
    return bio;
}
} // namespace

Certs readCertificates(const QString& path, const QString& what) {
    const QByteArray pem = readFile(path, what);
    Bio bio = memory(pem);
    Certs certs(sk_X509_new_null());
    if (!certs)
        throw SiteKeysError(QStringLiteral("Out of memory"));
    while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        if (!sk_X509_push(certs.get(), cert)) {
            X509_free(cert);
            throw SiteKeysError(QStringLiteral("Out of memory"));
        }
    }
    ERR_clear_error(); // the end of the file
    if (sk_X509_num(certs.get()) == 0)
        throw SiteKeysError(QStringLiteral("%1 %2 holds no PEM certificate").arg(what, path));
    return certs;
}

Cert readCertificate(const QString& path, const QString& what) {
    Certs certs = readCertificates(path, what);
    return Cert(sk_X509_shift(certs.get()));
}

Key readKey(const QString& path, const QString& what) {
    const QByteArray pem = readFile(path, what);
    Bio bio = memory(pem);
    Key key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key)
        throw SiteKeysError(
            QStringLiteral("%1 %2 holds no readable PEM private key (%3)").arg(what, path, lastError()));
    return key;
}

QByteArray der(X509* cert) {
    unsigned char* out = nullptr;
    const int len = cert ? i2d_X509(cert, &out) : 0;
    if (len <= 0)
        return {};
    QByteArray bytes(reinterpret_cast<const char*>(out), len);
    OPENSSL_free(out);
    return bytes;
}

QString subject(X509* cert) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), X509_get_subject_name(cert), 0, XN_FLAG_RFC2253) < 0)
        return {};
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QString::fromUtf8(data, static_cast<qsizetype>(size));
}

} // namespace ssl
