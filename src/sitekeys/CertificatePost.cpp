// The check of a certificate registration's post: a CMS signed-data message over the document's
// fingerprint, signed with a personal certificate issued under one of the site's trust anchors.

#include "sitekeys/SiteKeys.h"
#include "sitekeys/Ssl.h"

#include "crypto/CmsReader.h"
#include "crypto/TSError.h"

#include <QDir>
#include <QFileInfo>
#include <mutex>
#include <sys/stat.h>

#include <openssl/err.h>
#include <openssl/x509v3.h>

namespace {

// How long after its last change a folder is taken to be settled.
constexpr qint64 kSettledNanoseconds = 2000000000;

// How far the signing time may lie from the site's clock, either way.
constexpr qint64 kSigningTimeSlackSeconds = 15 * 60;

// The fingerprint from content that is exactly 40 upper-case hexadecimal digits as UTF-16LE.
QString fingerprintOf(const QByteArray& content) {
    if (content.size() != 80)
        return {};
    QString text;
    for (qsizetype i = 0; i < content.size(); i += 2) {
        const char c = content[i];
        if (content[i + 1] != '\0' || !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return {};
        text.append(QLatin1Char(c));
    }
    return text;
}

// The trust anchors of a site: every certificate of the PEM files in its trust folder.
ssl::Store loadAnchors(const QString& trustDir, int* count) {
    ssl::Store store(X509_STORE_new());
    if (!store)
        throw SiteKeysError(QStringLiteral("Out of memory"));
    *count = 0;
    const QStringList files = QDir(trustDir).entryList({QStringLiteral("*.pem")}, QDir::Files, QDir::Name);
    for (const QString& f : files) {
        ssl::Certs certs =
            ssl::readCertificates(QDir(trustDir).filePath(f), QStringLiteral("The trust anchor"));
        for (int i = 0; i < sk_X509_num(certs.get()); ++i) {
            X509_STORE_add_cert(store.get(), sk_X509_value(certs.get(), i));
            ++*count;
        }
    }
    ERR_clear_error(); // a certificate given twice
    return store;
}

// A change of the trust folder: its modification time, to the nanosecond; -1 when it is gone.
qint64 stamp(const QString& trustDir) {
    struct stat st = {};
    if (::stat(QFile::encodeName(trustDir).constData(), &st) != 0)
        return -1;
    return static_cast<qint64>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

} // namespace

struct CertificatePostChecker::Anchors {
    QString trustDir;
    std::mutex mutex;
    qint64 loadedStamp = -2;
    qint64 loadedAt = 0;
    std::shared_ptr<X509_STORE> store;
    int count = 0;

    // The anchors as they are now: reloaded when the trust folder has changed since the last
    // load, so a CA added while the service runs counts at once. A folder changed less than two
    // seconds before a load may change again within the same tick of its clock, unseen in its
    // time: then the next check loads again.
    std::shared_ptr<X509_STORE> current(int* anchors) {
        const qint64 now = stamp(trustDir);
        std::lock_guard lock(mutex);
        if (now != loadedStamp || loadedAt - loadedStamp < kSettledNanoseconds) {
            int loaded = 0;
            ssl::Store fresh = loadAnchors(trustDir, &loaded);
            store.reset(fresh.release(), X509_STORE_free);
            count = loaded;
            loadedStamp = now;
            loadedAt = QDateTime::currentMSecsSinceEpoch() * 1000000;
        }
        *anchors = count;
        return store;
    }
};

CertificatePostChecker::CertificatePostChecker(const QString& siteDir)
    : m_anchors(std::make_unique<Anchors>()) {
    m_anchors->trustDir = QDir(siteDir).filePath(QStringLiteral("trust"));
    if (!QFileInfo(m_anchors->trustDir).isDir())
        throw SiteKeysError(QStringLiteral("%1 holds no site (its trust folder is missing)").arg(siteDir));
    int count = 0;
    m_anchors->current(&count);
}

CertificatePostChecker::~CertificatePostChecker() = default;

CertificatePostCheck CertificatePostChecker::Check(const QString& tessaroField, const QString& filename,
                                                   const QDateTime& nowUtc) const {
    CertificatePostCheck result;
    const auto refuse = [&result](const QString& reason) {
        ERR_clear_error();
        result.reason = reason;
        return result;
    };

    const QByteArray base64 = tessaroField.toLatin1();
    if (tessaroField.isEmpty() || QString::fromLatin1(base64) != tessaroField)
        return refuse(QStringLiteral("the signed data is not Base64"));
    const auto decoded = QByteArray::fromBase64Encoding(base64, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return refuse(QStringLiteral("the signed data is not Base64"));

    cms::Verified message;
    try {
        message = cms::verify(decoded.decoded, QStringLiteral("tessaro-site"));
    } catch (const TSError& e) {
        return refuse(e.description());
    }
    if (message.signers.size() != 1)
        return refuse(QStringLiteral("the signed data has more than one signer"));
    const cms::VerifiedSigner& signer = message.signers.front();

    result.fingerprint = fingerprintOf(message.content);
    if (result.fingerprint.isEmpty())
        return refuse(QStringLiteral("the signed content is not a fingerprint"));
    if (!signer.name || *signer.name != filename)
        return refuse(QStringLiteral("the signed document name is not the one posted"));
    if (!signer.time)
        return refuse(QStringLiteral("the signed data carries no signing time"));
    if (qAbs(signer.time->secsTo(nowUtc)) > kSigningTimeSlackSeconds)
        return refuse(QStringLiteral("the signing time is more than 15 minutes from the site's time"));

    X509* cert = signer.x509.get();
    if (!cert)
        return refuse(QStringLiteral("the signer's certificate cannot be read"));
    // A certificate without key usage may be used for anything.
    if (!(X509_get_key_usage(cert) & (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)))
        return refuse(QStringLiteral("the signer's certificate may not sign (key usage)"));

    // The chain from the signer to one of the trust anchors, valid now. Any purpose: S/MIME's
    // would refuse many organisations' client certificates. An anchor need not be a root.
    int anchorCount = 0;
    std::shared_ptr<X509_STORE> anchors;
    try {
        anchors = m_anchors->current(&anchorCount);
    } catch (const SiteKeysError& e) {
        return refuse(e.message());
    }
    if (anchorCount == 0)
        return refuse(QStringLiteral("the site trusts no certificate authority yet"));
    ssl::StoreCtx ctx(X509_STORE_CTX_new());
    if (!ctx || X509_STORE_CTX_init(ctx.get(), anchors.get(), cert, message.certificates.get()) != 1)
        return refuse(QStringLiteral("out of memory"));
    X509_STORE_CTX_set_purpose(ctx.get(), X509_PURPOSE_ANY);
    X509_STORE_CTX_set_flags(ctx.get(), X509_V_FLAG_PARTIAL_CHAIN);
    X509_STORE_CTX_set_time(ctx.get(), 0, nowUtc.toSecsSinceEpoch());
    if (X509_verify_cert(ctx.get()) != 1)
        return refuse(QStringLiteral("the signer's certificate is not trusted here (%1)")
                          .arg(QString::fromLatin1(
                              X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get())))));

    result.ok = true;
    result.signer = ssl::subject(cert);
    ERR_clear_error();
    return result;
}
