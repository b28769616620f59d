#pragma once

// Owning pointers for the OpenSSL objects of the site's keys, and their files. Internal to the
// sitekeys library.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <memory>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace ssl {

template <typename T, void (*Free)(T*)> struct Deleter {
    void operator()(T* p) const { Free(p); }
};
template <typename T, void (*Free)(T*)> using Ptr = std::unique_ptr<T, Deleter<T, Free>>;

using Bio = Ptr<BIO, BIO_free_all>;
using Key = Ptr<EVP_PKEY, EVP_PKEY_free>;
using Cert = Ptr<X509, X509_free>;
using Store = Ptr<X509_STORE, X509_STORE_free>;
using StoreCtx = Ptr<X509_STORE_CTX, X509_STORE_CTX_free>;
using Integer = Ptr<ASN1_INTEGER, ASN1_INTEGER_free>;
using Object = Ptr<ASN1_OBJECT, ASN1_OBJECT_free>;

inline void freeCerts(STACK_OF(X509) * s) {
    sk_X509_pop_free(s, X509_free);
}
using Certs = Ptr<STACK_OF(X509), freeCerts>;

// The last OpenSSL error in words, or empty; clears the thread's error queue.
QString lastError();

// Reads a whole file; throws SiteKeysError naming what could not be read.
QByteArray readFile(const QString& path, const QString& what);

// The certificates of a PEM file, in order (at least one); throws SiteKeysError.
Certs readCertificates(const QString& path, const QString& what);
Cert readCertificate(const QString& path, const QString& what);
// The private key of a PEM file; throws SiteKeysError.
Key readKey(const QString& path, const QString& what);

// DER of a certificate; empty on failure.
QByteArray der(X509* cert);

// A certificate's subject on one line (RFC 2253).
QString subject(X509* cert);

} // namespace ssl
