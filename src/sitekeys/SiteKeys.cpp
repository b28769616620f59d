#include "sitekeys/SiteKeys.h"

#include "sitekeys/Ssl.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

namespace SiteKeys {

namespace {

// Certificates take effect an hour before they were made, for clients whose clocks run late.
constexpr qint64 kBackdateSeconds = 3600;
// The TLS certificate is renewed by making a new site; ten years keeps that rare.
constexpr int kTlsValidityDays = 3650;

const char* const kSiteFiles[] = {"root.pem", "tls-cert.pem", "tls-key.pem", "tsa-cert.pem", "tsa-key.pem"};

QString osError() {
    return QString::fromLocal8Bit(strerror(errno));
}

// Writes a new file (never replacing one) with the given mode from its creation on, and flushes
// it to disk.
void writeNewFile(const QString& path, const QByteArray& bytes, mode_t mode) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0)
        throw SiteKeysError(QStringLiteral("Cannot create %1: %2").arg(path, osError()));
    bool ok = ::fchmod(fd, mode) == 0; // the umask may have taken bits away
    for (qsizetype done = 0; ok && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        done += ok ? n : 0;
    }
    ok = ok && ::fsync(fd) == 0;
    const QString error = osError();
    ::close(fd);
    if (!ok) {
        ::unlink(name.constData());
        throw SiteKeysError(QStringLiteral("Cannot write %1: %2").arg(path, error));
    }
}

void syncFolder(const QString& dir) {
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

QByteArray pem(X509* cert) {
    ssl::Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1)
        throw SiteKeysError(QStringLiteral("Cannot encode a certificate: %1").arg(ssl::lastError()));
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, static_cast<qsizetype>(size));
}

QByteArray pem(EVP_PKEY* key) {
    ssl::Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        throw SiteKeysError(QStringLiteral("Cannot encode a private key: %1").arg(ssl::lastError()));
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, static_cast<qsizetype>(size));
}

ssl::Key newKey() {
    ssl::Key key(EVP_EC_gen("P-256"));
    if (!key)
        throw SiteKeysError(QStringLiteral("Cannot make a key: %1").arg(ssl::lastError()));
    return key;
}

void fail(const char* what) {
    throw SiteKeysError(QStringLiteral("Cannot make the %1: %2").arg(QLatin1String(what), ssl::lastError()));
}

// A positive random serial number of 127 bits.
ssl::Integer randomSerial() {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        fail("serial number");
    bytes[0] = (bytes[0] & 0x7F) | 0x40;
    ssl::Integer serial(ASN1_INTEGER_new());
    BIGNUM* bn = BN_bin2bn(bytes, sizeof bytes, nullptr);
    const bool ok = serial && bn && BN_to_ASN1_INTEGER(bn, serial.get());
    BN_free(bn);
    if (!ok)
        fail("serial number");
    return serial;
}

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_nconf_nid(nullptr, &ctx, nid, value);
    const bool ok = ext && X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    if (!ok)
        fail("certificate extensions");
}

struct Profile {
    QString commonName;
    const char* basicConstraints;
    const char* keyUsage;
    const char* extendedKeyUsage; // or nullptr
    bool noExpiry;                // else kTlsValidityDays
};

// A certificate for key, issued by issuer with issuerKey (itself when issuer is null).
ssl::Cert makeCertificate(EVP_PKEY* key, const Profile& profile, X509* issuer, EVP_PKEY* issuerKey,
                          GENERAL_NAMES* altNames = nullptr) {
    ssl::Cert cert(X509_new());
    if (!cert || X509_set_version(cert.get(), X509_VERSION_3) != 1)
        fail("certificate");
    ssl::Integer serial = randomSerial();
    X509_NAME* name = X509_get_subject_name(cert.get());
    const QByteArray cn = profile.commonName.toUtf8();
    if (X509_set_serialNumber(cert.get(), serial.get()) != 1 ||
        X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>("Tessaro Registration Site"), -1,
                                   -1, 0) != 1 ||
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(cn.constData()), -1, -1, 0) != 1 ||
        X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name) != 1 ||
        X509_set_pubkey(cert.get(), key) != 1)
        fail("certificate");
    if (!X509_time_adj_ex(X509_getm_notBefore(cert.get()), 0, -kBackdateSeconds, nullptr))
        fail("certificate's validity");
    if (profile.noExpiry ? ASN1_TIME_set_string_X509(X509_getm_notAfter(cert.get()), kNoExpiry) != 1
                         : !X509_time_adj_ex(X509_getm_notAfter(cert.get()), kTlsValidityDays, 0, nullptr))
        fail("certificate's validity");

    X509* signer = issuer ? issuer : cert.get();
    addExtension(cert.get(), signer, NID_basic_constraints, profile.basicConstraints);
    addExtension(cert.get(), signer, NID_key_usage, profile.keyUsage);
    if (profile.extendedKeyUsage)
        addExtension(cert.get(), signer, NID_ext_key_usage, profile.extendedKeyUsage);
    addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    if (issuer)
        addExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    if (altNames && X509_add1_ext_i2d(cert.get(), NID_subject_alt_name, altNames, 0, X509V3_ADD_DEFAULT) != 1)
        fail("certificate's host names");
    if (X509_sign(cert.get(), issuerKey, EVP_sha256()) <= 0)
        fail("certificate's signature");
    return cert;
}

struct NamesDeleter {
    void operator()(GENERAL_NAMES* n) const { GENERAL_NAMES_free(n); }
};

// The TLS certificate's subject alternative names: localhost, 127.0.0.1, ::1 and each extra host,
// an IP address or a DNS name (letters, digits, '-' and '.', or a leading "*.").
std::unique_ptr<GENERAL_NAMES, NamesDeleter> hostNames(const QStringList& extraHosts) {
    std::unique_ptr<GENERAL_NAMES, NamesDeleter> names(GENERAL_NAMES_new());
    if (!names)
        fail("certificate's host names");
    static const QRegularExpression dnsName(QStringLiteral(
        "^(\\*\\.)?([A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?)(\\.[A-Za-z0-9]([A-Za-z0-9-]{0,61}"
        "[A-Za-z0-9])?)*\\.?$"));
    QStringList hosts{QStringLiteral("localhost"), QStringLiteral("127.0.0.1"), QStringLiteral("::1")};
    for (const QString& h : extraHosts)
        if (!hosts.contains(h, Qt::CaseInsensitive))
            hosts.append(h);
    for (const QString& host : hosts) {
        const QByteArray text = host.toLatin1();
        GENERAL_NAME* gn = nullptr;
        if (ASN1_OCTET_STRING* ip = a2i_IPADDRESS(text.constData())) {
            gn = GENERAL_NAME_new();
            if (gn)
                GENERAL_NAME_set0_value(gn, GEN_IPADD, ip);
            else
                ASN1_OCTET_STRING_free(ip);
        } else {
            ERR_clear_error();
            if (host.size() > 253 || !dnsName.match(host).hasMatch())
                throw SiteKeysError(
                    QStringLiteral("\"%1\" is neither a host name nor an IP address").arg(host));
            ASN1_IA5STRING* dns = ASN1_IA5STRING_new();
            if (dns && ASN1_STRING_set(dns, text.constData(), static_cast<int>(text.size())) == 1 &&
                (gn = GENERAL_NAME_new()))
                GENERAL_NAME_set0_value(gn, GEN_DNS, dns);
            else
                ASN1_IA5STRING_free(dns);
        }
        if (!gn || !sk_GENERAL_NAME_push(names.get(), gn)) {
            GENERAL_NAME_free(gn);
            fail("certificate's host names");
        }
    }
    return names;
}

QString randomTag() {
    unsigned char bytes[4];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        fail("certificate's name");
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(bytes), sizeof bytes).toHex().toUpper());
}

// Removes what a failed Create wrote.
class Undo {
public:
    ~Undo() {
        if (m_done)
            return;
        for (const QString& f : m_files)
            ::unlink(QFile::encodeName(f).constData());
        for (const QString& d : m_dirs)
            ::rmdir(QFile::encodeName(d).constData());
    }
    void file(const QString& f) { m_files.append(f); }
    void dir(const QString& d) { m_dirs.append(d); }
    void done() { m_done = true; }

private:
    QStringList m_files, m_dirs;
    bool m_done = false;
};

} // namespace

void Create(const QString& siteDir, const QStringList& extraHosts, const QString& keepRootKeyPath) {
    const QDir dir(siteDir);
    if (!QFileInfo(siteDir).isDir())
        throw SiteKeysError(QStringLiteral("%1 is not a folder").arg(siteDir));
    for (const char* f : kSiteFiles)
        if (QFileInfo::exists(dir.filePath(QLatin1String(f))))
            throw SiteKeysError(
                QStringLiteral("%1 already holds a site (%2 exists)").arg(siteDir, QLatin1String(f)));
    if (QFileInfo::exists(dir.filePath(QStringLiteral("trust"))))
        throw SiteKeysError(QStringLiteral("%1 already holds a site (trust exists)").arg(siteDir));
    if (!keepRootKeyPath.isEmpty() && QFileInfo::exists(keepRootKeyPath))
        throw SiteKeysError(QStringLiteral("%1 exists already; the root key is never written over a file")
                                .arg(keepRootKeyPath));

    auto names = hostNames(extraHosts);
    const QString tag = randomTag();
    const QString tlsName = extraHosts.isEmpty() ? QStringLiteral("localhost") : extraHosts.front();

    ssl::Key rootKey = newKey();
    ssl::Cert root = makeCertificate(rootKey.get(),
                                     {QStringLiteral("Tessaro Site Root CA ") + tag, "critical,CA:TRUE",
                                      "critical,keyCertSign,cRLSign", nullptr, true},
                                     nullptr, rootKey.get());
    ssl::Key tlsKey = newKey();
    ssl::Cert tls = makeCertificate(
        tlsKey.get(), {tlsName, "critical,CA:FALSE", "critical,digitalSignature", "serverAuth", false},
        root.get(), rootKey.get(), names.get());
    ssl::Key tsaKey = newKey();
    ssl::Cert tsa =
        makeCertificate(tsaKey.get(),
                        {QStringLiteral("Tessaro Site Time-Stamping ") + tag, "critical,CA:FALSE",
                         "critical,digitalSignature,nonRepudiation", "critical,timeStamping", true},
                        root.get(), rootKey.get());

    Undo undo;
    const auto write = [&](const QString& path, const QByteArray& bytes, mode_t mode) {
        writeNewFile(path, bytes, mode);
        undo.file(path);
    };
    if (!keepRootKeyPath.isEmpty())
        write(keepRootKeyPath, pem(rootKey.get()), 0600);
    write(dir.filePath(QStringLiteral("tls-key.pem")), pem(tlsKey.get()), 0600);
    write(dir.filePath(QStringLiteral("tsa-key.pem")), pem(tsaKey.get()), 0600);
    write(dir.filePath(QStringLiteral("root.pem")), pem(root.get()), 0644);
    write(dir.filePath(QStringLiteral("tls-cert.pem")), pem(tls.get()) + pem(root.get()), 0644);
    write(dir.filePath(QStringLiteral("tsa-cert.pem")), pem(tsa.get()), 0644);
    const QString trust = dir.filePath(QStringLiteral("trust"));
    if (::mkdir(QFile::encodeName(trust).constData(), 0755) != 0)
        throw SiteKeysError(QStringLiteral("Cannot create %1: %2").arg(trust, osError()));
    undo.dir(trust);
    syncFolder(siteDir);
    undo.done();
}

void AddTrustAnchor(const QString& siteDir, const QString& caPemPath) {
    ssl::Certs certs = ssl::readCertificates(caPemPath, QStringLiteral("The CA certificate file"));
    if (sk_X509_num(certs.get()) != 1)
        throw SiteKeysError(
            QStringLiteral("%1 holds several certificates; give one CA certificate a file").arg(caPemPath));
    X509* ca = sk_X509_value(certs.get(), 0);
    // CA:TRUE in basicConstraints, and keyCertSign if key usage is given.
    if (X509_check_ca(ca) != 1)
        throw SiteKeysError(QStringLiteral("%1 is not a CA certificate (basicConstraints CA:TRUE is missing)")
                                .arg(caPemPath));
    const QString trust = QDir(siteDir).filePath(QStringLiteral("trust"));
    if (!QFileInfo(trust).isDir())
        throw SiteKeysError(QStringLiteral("%1 holds no site (its trust folder is missing)").arg(siteDir));
    const QString name =
        QString::fromLatin1(QCryptographicHash::hash(ssl::der(ca), QCryptographicHash::Sha256).toHex()) +
        QStringLiteral(".pem");
    const QString path = QDir(trust).filePath(name);
    if (QFileInfo::exists(path))
        return; // trusted already
    writeNewFile(path, pem(ca), 0644);
    syncFolder(trust);
}

QString DefaultPolicyOid() {
    return QStringLiteral("2.25.91112411263102227423130397431484988583");
}

} // namespace SiteKeys
