#include "common/TestPki.h"

#include <stdexcept>

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

namespace testpki {

namespace {

const char kNameOid[] = "1.3.6.1.4.1.311.88.2.1";

QString lastError() {
    char text[256] = {0};
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    ERR_clear_error();
    return QString::fromLatin1(text);
}

[[noreturn]] void fail(const char* what) {
    throw std::runtime_error(std::string(what) + ": " + lastError().toStdString());
}

QByteArray toDer(CMS_ContentInfo* cms) {
    unsigned char* out = nullptr;
    const int len = i2d_CMS_ContentInfo(cms, &out);
    if (len <= 0)
        fail("encode");
    const QByteArray der(reinterpret_cast<const char*>(out), len);
    OPENSSL_free(out);
    return der;
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

Identity issue(const CertOptions& o, const Identity* issuer) {
    Identity id;
    id.key.reset(o.rsa ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256"), EVP_PKEY_free);
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

QByteArray signAsOutsider(const PostOptions& options) {
    static const Identity outside = issue({.commonName = QStringLiteral("Outside Signer"), .rsa = true});
    return signPost(outside, options);
}

QByteArray signPost(const Identity& signer, const PostOptions& o) {
    const unsigned int flags = CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP | (o.detached ? CMS_DETACHED : 0u) |
                               (o.noCertificates ? CMS_NOCERTS : 0u) | (o.signerByKeyId ? CMS_USE_KEYID : 0u);
    std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(
        CMS_sign(nullptr, nullptr, nullptr, nullptr, flags), CMS_ContentInfo_free);
    if (cms && o.noSigner) {
        // CMS_final refuses a message without signers: the certificate and content go in directly.
        ASN1_OCTET_STRING** slot = CMS_get0_content(cms.get());
        if (!slot || CMS_add1_cert(cms.get(), signer.cert.get()) != 1)
            fail("signed data without signer");
        if (!*slot)
            *slot = ASN1_OCTET_STRING_new();
        ASN1_STRING_set(*slot, o.content.constData(), static_cast<int>(o.content.size()));
    } else {
        const EVP_MD* md = EVP_get_digestbyname(o.digest.toLatin1().constData());
        CMS_SignerInfo* si =
            cms && md ? CMS_add1_signer(cms.get(), signer.cert.get(), signer.key.get(), md, flags) : nullptr;
        if (!si)
            fail("signer");
        for (const Identity& c : o.chain)
            CMS_add1_cert(cms.get(), c.cert.get());
        if (o.signingTime) {
            ASN1_TIME* t = ASN1_TIME_set(nullptr, static_cast<time_t>(o.signingTime->toSecsSinceEpoch()));
            CMS_signed_add1_attr_by_NID(si, NID_pkcs9_signingTime, t->type, t, -1);
            ASN1_TIME_free(t);
        }
        const std::optional<QByteArray> octets =
            o.documentName ? utf16le(*o.documentName) + QByteArray(2, '\0') : o.nameOctets;
        if (octets)
            CMS_signed_add1_attr_by_txt(si, kNameOid, V_ASN1_OCTET_STRING, octets->constData(),
                                        static_cast<int>(octets->size()));
        std::unique_ptr<BIO, decltype(&BIO_free)> content(
            BIO_new_mem_buf(o.content.constData(), static_cast<int>(o.content.size())), BIO_free);
        if (CMS_final(cms.get(), content.get(), nullptr, flags) != 1)
            fail("sign");
    }
    return toDer(cms.get());
}

Parsed parse(const QByteArray& der) {
    Parsed p;
    const auto* cursor = reinterpret_cast<const unsigned char*>(der.constData());
    std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(
        d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size())), CMS_ContentInfo_free);
    p.ok = cms != nullptr;
    p.signedData = p.ok && OBJ_obj2nid(CMS_get0_type(cms.get())) == NID_pkcs7_signed;
    if (!p.signedData) {
        p.error = lastError();
        return p;
    }
    p.canonical = toDer(cms.get()) == der; // also false for bytes after the message
    p.dataContent = OBJ_obj2nid(CMS_get0_eContentType(cms.get())) == NID_pkcs7_data;
    std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), BIO_free);
    if (CMS_verify(cms.get(), nullptr, nullptr, nullptr, out.get(), CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) ==
        1)
        p.verifiedContent = bioBytes(out.get());
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms.get());
    if (CMS_SignerInfo* si = sk_CMS_SignerInfo_num(infos) > 0 ? sk_CMS_SignerInfo_value(infos, 0) : nullptr) {
        X509_ALGOR* digest = nullptr;
        CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &digest, nullptr);
        p.digest = QString::fromLatin1(OBJ_nid2sn(OBJ_obj2nid(digest->algorithm))).toLower();
        for (int type : {V_ASN1_UTCTIME, V_ASN1_GENERALIZEDTIME}) {
            struct tm t = {};
            const auto* time = static_cast<const ASN1_TIME*>(
                CMS_signed_get0_data_by_OBJ(si, OBJ_nid2obj(NID_pkcs9_signingTime), -3, type));
            if (time && ASN1_TIME_to_tm(time, &t) == 1) {
                p.signingTimeType = type;
                p.signingTimeUtc = QDateTime(QDate(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday),
                                             QTime(t.tm_hour, t.tm_min, t.tm_sec), Qt::UTC);
            }
        }
        std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> nameOid(OBJ_txt2obj(kNameOid, 1),
                                                                          ASN1_OBJECT_free);
        if (const auto* name = static_cast<const ASN1_OCTET_STRING*>(
                CMS_signed_get0_data_by_OBJ(si, nameOid.get(), -3, V_ASN1_OCTET_STRING)))
            p.nameOctets = QByteArray(reinterpret_cast<const char*>(ASN1_STRING_get0_data(name)),
                                      ASN1_STRING_length(name));
    }
    STACK_OF(X509)* certs = CMS_get1_certs(cms.get());
    for (int i = 0; i < sk_X509_num(certs); ++i) {
        char cn[256] = {0};
        X509_NAME_get_text_by_NID(X509_get_subject_name(sk_X509_value(certs, i)), NID_commonName, cn,
                                  sizeof cn);
        p.certificateSubjects << QString::fromUtf8(cn);
    }
    sk_X509_pop_free(certs, X509_free);
    p.certificateSubjects.sort();
    ERR_clear_error();
    return p;
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
