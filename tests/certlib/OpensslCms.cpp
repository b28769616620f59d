#include "OpensslCms.h"

#include <QStringList>
#include <memory>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace opensslcms {

namespace {

const char kNameOid[] = "1.3.6.1.4.1.311.88.2.1";

struct Identity {
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
};

QString lastError() {
    const unsigned long code = ERR_get_error();
    char text[256] = {0};
    ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return QString::fromLatin1(text);
}

Identity makeIdentity() {
    Identity id;
    id.key = EVP_RSA_gen(2048);
    id.cert = X509_new();
    X509_set_version(id.cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(id.cert), 0x5EED);
    X509_gmtime_adj(X509_getm_notBefore(id.cert), -86400);
    X509_gmtime_adj(X509_getm_notAfter(id.cert), 86400L * 365);
    X509_NAME* name = X509_get_subject_name(id.cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Outside Signer"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Elsewhere"),
                               -1, -1, 0);
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
}

const Identity& identity() {
    static const Identity id = makeIdentity();
    return id;
}

QByteArray toDer(CMS_ContentInfo* cms) {
    unsigned char* out = nullptr;
    const int len = i2d_CMS_ContentInfo(cms, &out);
    if (len <= 0)
        return QByteArray();
    QByteArray der(reinterpret_cast<const char*>(out), len);
    OPENSSL_free(out);
    return der;
}

} // namespace

QByteArray signerCertificate() {
    unsigned char* out = nullptr;
    const int len = i2d_X509(identity().cert, &out);
    QByteArray der(reinterpret_cast<const char*>(out), len);
    OPENSSL_free(out);
    return der;
}

QByteArray sign(const Options& o, QString* error) {
    const Identity& id = identity();
    BIO* in = BIO_new_mem_buf(o.content.constData(), static_cast<int>(o.content.size()));
    unsigned int flags = CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP;
    if (o.detached)
        flags |= CMS_DETACHED;
    if (o.noCertificates)
        flags |= CMS_NOCERTS;
    if (o.signerByKeyId)
        flags |= CMS_USE_KEYID;
    if (o.noSigner) {
        // Without a signer CMS_sign makes a finished message that carries the content.
        STACK_OF(X509)* certs = sk_X509_new_null();
        sk_X509_push(certs, id.cert);
        CMS_ContentInfo* bare = CMS_sign(nullptr, nullptr, certs, nullptr, CMS_BINARY | CMS_PARTIAL);
        sk_X509_free(certs);
        // CMS_final refuses a message without signers; the content goes in directly.
        ASN1_OCTET_STRING** slot = bare ? CMS_get0_content(bare) : nullptr;
        if (slot) {
            if (!*slot)
                *slot = ASN1_OCTET_STRING_new();
            ASN1_OCTET_STRING_set(*slot, reinterpret_cast<const unsigned char*>(o.content.constData()),
                                  static_cast<int>(o.content.size()));
        }
        const QByteArray der = slot ? toDer(bare) : QByteArray();
        if (der.isEmpty())
            *error = QStringLiteral("CMS_sign: ") + lastError();
        CMS_ContentInfo_free(bare);
        BIO_free(in);
        return der;
    }
    CMS_ContentInfo* cms = CMS_sign(nullptr, nullptr, nullptr, in, flags);
    QByteArray der;
    if (cms) {
        const EVP_MD* md = EVP_get_digestbyname(o.digest.toLatin1().constData());
        CMS_SignerInfo* si = md ? CMS_add1_signer(cms, id.cert, id.key, md, flags) : nullptr;
        if (!si) {
            *error = QStringLiteral("CMS_add1_signer: ") + lastError();
        } else {
            if (o.signingTime) {
                ASN1_TIME* t = ASN1_TIME_set(nullptr, static_cast<time_t>(o.signingTime->toSecsSinceEpoch()));
                CMS_signed_add1_attr_by_NID(si, NID_pkcs9_signingTime, t->type, t, -1);
                ASN1_TIME_free(t);
            }
            if (o.nameOctets) {
                ASN1_OCTET_STRING* os = ASN1_OCTET_STRING_new();
                ASN1_OCTET_STRING_set(os, reinterpret_cast<const unsigned char*>(o.nameOctets->constData()),
                                      static_cast<int>(o.nameOctets->size()));
                ASN1_OBJECT* type = OBJ_txt2obj(kNameOid, 1);
                CMS_signed_add1_attr_by_OBJ(si, type, V_ASN1_OCTET_STRING, os, -1);
                ASN1_OBJECT_free(type);
                ASN1_OCTET_STRING_free(os);
            }
        }
    }
    if (cms && error->isEmpty()) {
        BIO* again = BIO_new_mem_buf(o.content.constData(), static_cast<int>(o.content.size()));
        if (CMS_final(cms, again, nullptr, flags) == 1)
            der = toDer(cms);
        else
            *error = QStringLiteral("CMS_final: ") + lastError();
        BIO_free(again);
    } else if (!cms) {
        *error = QStringLiteral("CMS_sign: ") + lastError();
    }
    CMS_ContentInfo_free(cms);
    BIO_free(in);
    return der;
}

QByteArray dataMessage(const QByteArray& content) {
    BIO* in = BIO_new_mem_buf(content.constData(), static_cast<int>(content.size()));
    CMS_ContentInfo* cms = CMS_data_create(in, CMS_BINARY);
    const QByteArray der = cms ? toDer(cms) : QByteArray();
    CMS_ContentInfo_free(cms);
    BIO_free(in);
    return der;
}

Parsed parse(const QByteArray& der) {
    Parsed p;
    const auto* begin = reinterpret_cast<const unsigned char*>(der.constData());
    const unsigned char* cursor = begin;
    CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size()));
    if (!cms) {
        p.error = lastError();
        return p;
    }
    p.ok = true;
    p.canonical = cursor == begin + der.size() && toDer(cms) == der;
    p.signedData = OBJ_obj2nid(CMS_get0_type(cms)) == NID_pkcs7_signed;
    if (p.signedData) {
        p.dataContent = OBJ_obj2nid(CMS_get0_eContentType(cms)) == NID_pkcs7_data;
        ASN1_OCTET_STRING** content = CMS_get0_content(cms);
        if (content && *content)
            p.content = QByteArray(reinterpret_cast<const char*>(ASN1_STRING_get0_data(*content)),
                                   ASN1_STRING_length(*content));
        STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms);
        p.signerCount = sk_CMS_SignerInfo_num(infos);
        if (p.signerCount > 0) {
            CMS_SignerInfo* si = sk_CMS_SignerInfo_value(infos, 0);
            X509_ALGOR* digest = nullptr;
            CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &digest, nullptr);
            p.digest = QString::fromLatin1(OBJ_nid2sn(OBJ_obj2nid(digest->algorithm))).toLower();
            for (int i = 0; i < CMS_signed_get_attr_count(si); ++i) {
                X509_ATTRIBUTE* attr = CMS_signed_get_attr(si, i);
                char oid[128] = {0};
                OBJ_obj2txt(oid, sizeof oid, X509_ATTRIBUTE_get0_object(attr), 1);
                p.signedAttrOids << QString::fromLatin1(oid);
                const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attr, 0);
                if (qstrcmp(oid, "1.2.840.113549.1.9.5") == 0 && value) {
                    p.signingTimeType = value->type;
                    struct tm t = {};
                    if (ASN1_TIME_to_tm(value->value.asn1_string, &t) == 1)
                        p.signingTimeUtc = QDateTime(QDate(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday),
                                                     QTime(t.tm_hour, t.tm_min, t.tm_sec), Qt::UTC);
                }
                if (qstrcmp(oid, kNameOid) == 0 && value && value->type == V_ASN1_OCTET_STRING)
                    p.nameOctets = QByteArray(
                        reinterpret_cast<const char*>(ASN1_STRING_get0_data(value->value.octet_string)),
                        ASN1_STRING_length(value->value.octet_string));
            }
        }
        STACK_OF(X509)* certs = CMS_get1_certs(cms);
        p.certificateCount = certs ? sk_X509_num(certs) : 0;
        for (int i = 0; i < p.certificateCount; ++i) {
            X509* c = sk_X509_value(certs, i);
            if (X509_check_issued(c, c) == X509_V_OK)
                ++p.selfSignedCertificates;
            char cn[256] = {0};
            X509_NAME_get_text_by_NID(X509_get_subject_name(c), NID_commonName, cn, sizeof cn);
            p.certificateSubjects << QString::fromUtf8(cn);
        }
        sk_X509_pop_free(certs, X509_free);
    }
    CMS_ContentInfo_free(cms);
    ERR_clear_error();
    return p;
}

} // namespace opensslcms
