// Fuzzes CertificatePostChecker::Check, the service's reading of a certificate registration's
// post. The first byte picks the form: odd, the rest is a message in binary that is posted as its
// Base64 text (reaching the CMS reader); even, the rest is the posted field itself (reaching the
// Base64 decoder too). Every input must end in a refusal or an acceptance, never in a crash.

#include "sitekeys/SiteKeys.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace {

// A site trusting one CA of its own making, so that the chain check has an anchor to look at.
const CertificatePostChecker& checker() {
    static QTemporaryDir dir;
    static const std::unique_ptr<CertificatePostChecker> made = [] {
        SiteKeys::Create(dir.path(), {}, {});
        SiteKeys::AddTrustAnchor(dir.path(), dir.filePath(QStringLiteral("root.pem")));
        return std::make_unique<CertificatePostChecker>(dir.path());
    }();
    return *made;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const QByteArray rest(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));
    const QString field = (data[0] & 1) ? QString::fromLatin1(rest.toBase64()) : QString::fromLatin1(rest);
    const CertificatePostCheck check =
        checker().Check(field, QStringLiteral("report.pdf"), QDateTime::currentDateTimeUtc());
    (void)check;
    return 0;
}
