#include "browserhost/TSCertificatePin.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {
std::optional<TSCertificatePin> g_current;
} // namespace

std::optional<TSCertificatePin> TSCertificatePin::FromPemFile(const QString& path, const QString& host,
                                                              QString* error) {
    const QString shown = QDir::toNativeSeparators(path);
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("The file %1 cannot be read.").arg(shown);
        return std::nullopt;
    }
    // A certificate file is small; anything much larger is not one.
    const QByteArray pem = file.read(1024 * 1024);
    const QList<QSslCertificate> certificates = QSslCertificate::fromData(pem, QSsl::Pem);
    if (certificates.isEmpty() || certificates.first().isNull()) {
        *error = QStringLiteral("The file %1 holds no PEM certificate.").arg(shown);
        return std::nullopt;
    }
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(host);
    return TSCertificatePin(url.host(), certificates.first().toDer());
}

bool TSCertificatePin::Accepts(const QUrl& url, const QList<QSslCertificate>& chain) const {
    return !m_host.isEmpty() && url.host() == m_host && !chain.isEmpty() && chain.first().toDer() == m_der;
}

const std::optional<TSCertificatePin>& TSCertificatePin::Current() {
    return g_current;
}

void TSCertificatePin::SetCurrent(std::optional<TSCertificatePin> pin) {
    g_current = std::move(pin);
}
