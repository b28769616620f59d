#include "OpensslCms.h"

#include <memory>
#include <utility>

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

namespace opensslcms {

namespace {

const char kNameOid[] = "1.3.6.1.4.1.311.88.2.1";

template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, std::integral_constant<decltype(Free), Free>>;
using Cms = Owned<CMS_ContentInfo, CMS_ContentInfo_free>;
using Bio = Owned<BIO, BIO_free_all>;

struct Identity {
    EVP_PKEY* key = EVP_RSA_gen(2048);
    X509* cert = X509_new();
};

const Identity& identity() {
    static const Identity made = [] {
        Identity id;
        X509_set_version(id.cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(id.cert), 0x5EED);
        X509_gmtime_adj(X509_getm_notBefore(id.cert), -86400);
        X509_gmtime_adj(X509_getm_notAfter(id.cert), 86400L * 365);
        X509_NAME* name = X509_get_subject_name(id.cert);
        for (const auto& [field, value] : {std::pair{"CN", "Outside Signer"}, std::pair{"O", "Elsewhere"}})
            X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(value), -1, -1, 0);
        X509_set_issuer_name(id.cert, name);
        X509_set_pubkey(id.cert, id.key);
        X509V3_CTX ctx;
        X509V3_set_ctx(&ctx, id.cert, id.cert, nullptr, nullptr, 0);
        if (X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_key_identifier, "hash")) {
            X509_add_ext(id.cert, ext, -1);
            X509_EXTENSION_free(ext);
        }
        X509_sign(id.cert, id.key, EVP_sha256());
        return id;
    }();
    return made;
}

QString lastError() {
    char text[256] = {0};
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    ERR_clear_error();
    return QString::fromLatin1(text);
}

QByteArray toDer(CMS_ContentInfo* cms) {
    unsigned char* out = nullptr;
    const int len = i2d_CMS_ContentInfo(cms, &out);
    const QByteArray der = len > 0 ? QByteArray(reinterpret_cast<const char*>(out), len) : QByteArray();
    OPENSSL_free(out);
    return der;
}

} // namespace

QByteArray sign(const Options& o, QString* error) {
    const Identity& id = identity();
    const unsigned int flags = CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP | (o.detached ? CMS_DETACHED : 0u) |
                               (o.noCertificates ? CMS_NOCERTS : 0u) | (o.signerByKeyId ? CMS_USE_KEYID : 0u);
    Cms cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    bool ok = cms != nullptr;
    if (ok && o.noSigner) {
        // CMS_final refuses a message without signers: the certificate and content go in directly.
        ASN1_OCTET_STRING** slot = CMS_get0_content(cms.get());
        ok = slot && CMS_add1_cert(cms.get(), id.cert) == 1;
        if (ok && !*slot)
            *slot = ASN1_OCTET_STRING_new();
        if (ok)
            ASN1_STRING_set(*slot, o.content.constData(), static_cast<int>(o.content.size()));
    } else if (ok) {
        const EVP_MD* md = EVP_get_digestbyname(o.digest.toLatin1().constData());
        CMS_SignerInfo* si = md ? CMS_add1_signer(cms.get(), id.cert, id.key, md, flags) : nullptr;
        ok = si != nullptr;
        if (ok && o.signingTime) {
            ASN1_TIME* t = ASN1_TIME_set(nullptr, static_cast<time_t>(o.signingTime->toSecsSinceEpoch()));
            CMS_signed_add1_attr_by_NID(si, NID_pkcs9_signingTime, t->type, t, -1);
            ASN1_TIME_free(t);
        }
        if (ok && o.nameOctets)
            CMS_signed_add1_attr_by_txt(si, kNameOid, V_ASN1_OCTET_STRING, o.nameOctets->constData(),
                                        static_cast<int>(o.nameOctets->size()));
        const Bio content(BIO_new_mem_buf(o.content.constData(), static_cast<int>(o.content.size())));
        ok = ok && CMS_final(cms.get(), content.get(), nullptr, flags) == 1;
    }
    const QByteArray der = ok ? toDer(cms.get()) : QByteArray();
    if (der.isEmpty())
        *error = QStringLiteral("OpenSSL cannot sign: ") + lastError();
    return der;
}

Parsed parse(const QByteArray& der) {
    Parsed p;
    const auto* cursor = reinterpret_cast<const unsigned char*>(der.constData());
    const Cms cms(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size())));
    if (!cms) {
        p.error = lastError();
        return p;
    }
    p.ok = true;
    p.canonical = toDer(cms.get()) == der; // also false for bytes after the message
    p.signedData = OBJ_obj2nid(CMS_get0_type(cms.get())) == NID_pkcs7_signed;
    if (!p.signedData)
        return p;
    p.dataContent = OBJ_obj2nid(CMS_get0_eContentType(cms.get())) == NID_pkcs7_data;
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
        const Owned<ASN1_OBJECT, ASN1_OBJECT_free> nameOid(OBJ_txt2obj(kNameOid, 1));
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

} // namespace opensslcms
