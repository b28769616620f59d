#include "CertificateWork.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <stdexcept>

namespace {

// Makes the CA, trusts it in the site, and returns it; runs before the checker loads its anchors.
testpki::Identity trustedCa(const QString& siteDir) {
    testpki::Identity ca = testpki::issue(
        {QStringLiteral("Benchmark Root CA"), true, QStringLiteral("critical,keyCertSign,cRLSign")});
    const QString file = QDir(siteDir).filePath(QStringLiteral("benchmark-ca.pem"));
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(ca.certPem()) < 0)
        throw std::runtime_error("cannot write the benchmark CA");
    out.close();
    SiteKeys::AddTrustAnchor(siteDir, file);
    QFile::remove(file);
    return ca;
}

} // namespace

CertificateWork::CertificateWork(const QString& siteDir)
    : m_ca(trustedCa(siteDir)), m_issuing(testpki::issue({QStringLiteral("Benchmark Issuing CA"), true,
                                                          QStringLiteral("critical,keyCertSign,cRLSign")},
                                                         &m_ca)),
      m_signer(testpki::issue({QStringLiteral("Benchmark Signer")}, &m_issuing)), m_checker(siteDir),
      m_stamper(siteDir, SiteKeys::DefaultPolicyOid()) {}

QString CertificateWork::Post(const QString& fingerprint, const QString& filename) const {
    const QByteArray der = testpki::signPost(
        m_signer, {testpki::utf16le(fingerprint), QDateTime::currentDateTimeUtc(), filename, {m_issuing}});
    return QString::fromLatin1(der.toBase64());
}

QByteArray CertificateWork::Run(const QString& tessaroField, const QString& filename) const {
    const CertificatePostCheck check =
        m_checker.Check(tessaroField, filename, QDateTime::currentDateTimeUtc());
    if (!check.ok)
        return {};
    return m_stamper.Stamp(QByteArray::fromHex(check.fingerprint.toLatin1()));
}
