#include "common/TestPki.h"

#include <stdexcept>

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

namespace testpki {

namespace {

[[noreturn]] void fail(const char* what) {
    char text[256] = {0};
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    ERR_clear_error();
    throw std::runtime_error(std::string(what) + ": " + text);
}

QByteArray bioBytes(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, static_cast<qsizetype>(size));
}

void addExtension(X509* cert, X509* issuer, int nid, const QString& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_nconf_nid(nullptr, &ctx, nid, value.toLatin1().constData());
    if (!ext || X509_add_ext(cert, ext, -1) != 1)
        fail("extension");
    X509_EXTENSION_free(ext);
}

} // namespace

QByteArray Identity::certPem() const {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_X509(bio.get(), cert.get());
    return bioBytes(bio.get());
}

QByteArray Identity::keyPem() const {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    return bioBytes(bio.get());
}

Identity issue(const CertOptions& o, const Identity* issuer) {
    Identity id;
    id.key.reset(EVP_EC_gen("P-256"), EVP_PKEY_free);
    id.cert.reset(X509_new(), X509_free);
    if (!id.key || !id.cert)
        fail("key");
    X509* cert = id.cert.get();
    X509* signer = issuer ? issuer->cert.get() : cert;
    unsigned char serial[12];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7F;
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert));
    BN_free(bn);
    X509_set_version(cert, X509_VERSION_3);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "O", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Tessaro Test"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(o.commonName.toUtf8().constData()), -1,
                               -1, 0);
    X509_set_issuer_name(cert, X509_get_subject_name(signer));
    X509_set_pubkey(cert, id.key.get());
    X509_time_adj_ex(X509_getm_notBefore(cert), static_cast<int>(o.validFromDays), 0, nullptr);
    X509_time_adj_ex(X509_getm_notAfter(cert), static_cast<int>(o.validToDays), 0, nullptr);
    addExtension(cert, signer, NID_basic_constraints,
                 o.ca ? QStringLiteral("critical,CA:TRUE") : QStringLiteral("critical,CA:FALSE"));
    if (!o.keyUsage.isEmpty())
        addExtension(cert, signer, NID_key_usage, o.keyUsage);
    addExtension(cert, signer, NID_subject_key_identifier, QStringLiteral("hash"));
    if (issuer)
        addExtension(cert, signer, NID_authority_key_identifier, QStringLiteral("keyid:always"));
    if (X509_sign(cert, issuer ? issuer->key.get() : id.key.get(), EVP_sha256()) <= 0)
        fail("sign certificate");
    return id;
}

QByteArray signPost(const Identity& signer, const PostOptions& o) {
    const unsigned int flags = CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP;
    std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(
        CMS_sign(nullptr, nullptr, nullptr, nullptr, flags), CMS_ContentInfo_free);
    CMS_SignerInfo* si =
        cms ? CMS_add1_signer(cms.get(), signer.cert.get(), signer.key.get(), EVP_sha256(), flags) : nullptr;
    if (!si)
        fail("signer");
    for (const Identity& c : o.chain)
        CMS_add1_cert(cms.get(), c.cert.get());
    if (o.signingTime) {
        ASN1_TIME* t = ASN1_TIME_set(nullptr, static_cast<time_t>(o.signingTime->toSecsSinceEpoch()));
        CMS_signed_add1_attr_by_NID(si, NID_pkcs9_signingTime, t->type, t, -1);
        ASN1_TIME_free(t);
    }
    if (o.documentName) {
        const QByteArray octets = utf16le(*o.documentName) + QByteArray(2, '\0');
        CMS_signed_add1_attr_by_txt(si, "1.3.6.1.4.1.311.88.2.1", V_ASN1_OCTET_STRING, octets.constData(),
                                    static_cast<int>(octets.size()));
    }
    std::unique_ptr<BIO, decltype(&BIO_free)> content(
        BIO_new_mem_buf(o.content.constData(), static_cast<int>(o.content.size())), BIO_free);
    if (CMS_final(cms.get(), content.get(), nullptr, flags) != 1)
        fail("sign");
    unsigned char* out = nullptr;
    const int len = i2d_CMS_ContentInfo(cms.get(), &out);
    if (len <= 0)
        fail("encode");
    QByteArray der(reinterpret_cast<const char*>(out), len);
    OPENSSL_free(out);
    return der;
}

QByteArray utf16le(const QString& text) {
    QByteArray out;
    for (QChar c : text) {
        out.append(static_cast<char>(c.unicode() & 0xFF));
        out.append(static_cast<char>(c.unicode() >> 8));
    }
    return out;
}

} // namespace testpki
