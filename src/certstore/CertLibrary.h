#pragma once

// The certificate library: the user's personal certificate store (the certificates with a
// private key in the NSS database sql:$HOME/.pki/nssdb, or in another chosen with
// Settings::UseDatabase), and PKCS #7 signed-data messages signed with one of them or verified
// from their Base64 text.
//
// Every failure throws TSError (crypto/TSError.h) with a readable description. Where NSS itself
// failed (opening the store, unlocking it, signing), the number is NSS's error code and the
// description carries NSS's text; other failures use the numbers of crypto/CertLibError.h, and
// a message that does not verify adds OpenSSL's reason to the description. Indexes of
// collections count from 1.

#include "crypto/CertLibError.h"
#include "crypto/TSError.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariant>
#include <QtGlobal>
#include <functional>
#include <optional>

// Process-wide settings of the library.
class Settings {
public:
    // Makes sure the library can be used in this process: NSS initialised, with the user's
    // database or, where there is none, without one. Throws TSError (Unavailable, or NSS's own
    // code) when NSS cannot be initialised at all.
    static void EnsureAvailable();
    // Takes personal certificates from the NSS database at location (a folder, or "sql:" and a
    // folder) in place of the user's own, from now on; an empty location goes back to the
    // user's own. Throws TSError (InvalidArgument, or NSS's own code), and changes nothing, when
    // the database cannot be opened.
    static void UseDatabase(const QString& location);

    // Whether Sign may ask the user to choose among several certificates. Off at start.
    bool EnablePromptForCertificateUI() const;
    void setEnablePromptForCertificateUI(bool bEnable);
};

// A certificate: a plain value holding its DER encoding and the fields read from it.
class Certificate {
public:
    Certificate();
    // Reads the fields from DER; throws TSError (InvalidArgument) when it is not a certificate.
    explicit Certificate(const QByteArray& der);

    bool isNull() const;
    QByteArray Export() const;   // the DER encoding
    QString SubjectName() const; // the whole subject, e.g. "emailAddress=a@b.test,CN=Alice,O=Org"
    QString IssuerName() const;  // the whole issuer name
    QString CommonName() const;  // the subject's common name, else the whole subject
    QString IssuerCommonName() const;
    QString EmailAddress() const;    // the first e-mail address, or empty
    QString SerialNumber() const;    // upper-case hexadecimal
    QString Thumbprint() const;      // SHA-1 of the DER encoding, upper-case hexadecimal
    QDateTime ValidFromDate() const; // local time
    QDateTime ValidToDate() const;   // local time

    bool operator==(const Certificate& other) const { return m_der == other.m_der; }

private:
    QByteArray m_der;
    QString m_subject, m_issuer, m_commonName, m_issuerCommonName, m_email, m_serial;
    QDateTime m_validFrom, m_validTo;
};

class Certificates {
public:
    qint32 Count() const;
    Certificate Item(qint32 lIndex) const;

    void append(const Certificate& c) { m_items.append(c); }
    const QList<Certificate>& list() const { return m_items; }

private:
    QList<Certificate> m_items;
};

// What signing may need to ask the user, answered by the caller (the program's dialogs, or a
// test). The library itself never shows a window. Signing that needs a question its caller left
// unanswerable fails with NoUserInterface.
struct SigningPrompts {
    // Chooses the certificate to sign with among several, listed in the order to show them:
    // the index chosen (from 0), or nothing when the user cancelled.
    std::function<std::optional<qsizetype>(const QList<Certificate>& certificates)> chooseCertificate;
    // Asks for the password of a protected database or token; tokenLabel names it (e.g. "your
    // certificate database (/home/a/.pki/nssdb)"), and bRetry says the last password given for it
    // was wrong. Nothing when the user cancelled.
    std::function<std::optional<QString>(const QString& tokenLabel, bool bRetry)> askPassword;
};

// A certificate store. Only the current user's personal store ("MY") exists here: the
// certificates of the user's NSS database (or of a token it lists) that have a private key.
class Store {
public:
    enum : qint32 { CurrentUserStore = 2 };
    enum : qint32 { OpenReadOnly = 0 };

    // Opens the store read-only. A missing or unusable database opens as an empty store.
    void Open(qint32 lStoreLocation = CurrentUserStore, const QString& sStoreName = QStringLiteral("MY"),
              qint32 lOpenMode = OpenReadOnly);
    // The certificates of the opened store, each once (an unopened store has none).
    ::Certificates Certificates() const;

private:
    ::Certificates m_certificates;
};

// An authenticated attribute of a signer.
class Attribute {
public:
    enum : qint32 {
        SigningTime = 0,  // Value: the date and time of signing (QDateTime)
        DocumentName = 1, // Value: the name of the signed document (text)
    };

    qint32 Name() const;
    void setName(qint32 lName); // throws for a name other than the two above
    QVariant Value() const;
    void setValue(const QVariant& vValue);

private:
    qint32 m_name = -1;
    QVariant m_value;
};

class Attributes {
public:
    qint32 Count() const;
    Attribute Item(qint32 lIndex) const;
    // Appends an attribute. Throws when its name is unset, its value does not suit its name,
    // or an attribute of that name is already there.
    void Add(const Attribute& attribute);
    void Remove(qint32 lIndex);
    void Clear();

private:
    QList<Attribute> m_items;
};

// A signer: its certificate and the authenticated attributes it signs.
class Signer {
public:
    ::Attributes& AuthenticatedAttributes() { return m_attributes; }
    const ::Attributes& AuthenticatedAttributes() const { return m_attributes; }
    // After Verify, the signer's certificate. When set before Sign, that certificate signs
    // without any choice; when unset, Sign picks one from the user's store.
    ::Certificate Certificate() const { return m_certificate; }
    void setCertificate(const ::Certificate& certificate) { m_certificate = certificate; }

private:
    ::Attributes m_attributes;
    ::Certificate m_certificate;
};

class Signers {
public:
    qint32 Count() const;
    Signer Item(qint32 lIndex) const;

    void append(const Signer& s) { m_items.append(s); }

private:
    QList<Signer> m_items;
};

// A PKCS #7 signed-data message over a text content.
class SignedData {
public:
    enum : qint32 { EncodeBase64 = 0 };
    enum : qint32 { VerifySignatureOnly = 0 };

    // The text to sign, or after Verify the signed text. The content is signed as UTF-16LE.
    void setContent(const QString& sContent);
    QString Content() const;

    // Signs the content with the signer's authenticated attributes, content embedded, SHA-256,
    // and returns the message as Base64 text in lines of 76 characters. When the signer has no
    // certificate, one is taken from the user's store: the only one fit for signing, or, with
    // the prompt enabled and several fit, the one the user chooses (prompts().chooseCertificate).
    // A password-protected database or token is unlocked by asking the user for its password
    // (prompts().askPassword) until it is right or the user cancels.
    QString Sign(const Signer& signer, bool bDetached = false, qint32 lEncodingType = EncodeBase64);

    const SigningPrompts& prompts() const { return m_prompts; }
    void setPrompts(const SigningPrompts& prompts) { m_prompts = prompts; }

    // Verifies a message given as Base64 text (line breaks and blanks allowed): the signature
    // of every signer, not the trust of its certificate. On success Content() is the signed
    // text and Signers() the signers with their certificate and their authenticated attributes
    // signing time and document name, in that order. On failure the previous result is gone.
    void Verify(const QString& sSignedMessage, bool bDetached = false,
                qint32 lVerifyFlag = VerifySignatureOnly);

    ::Signers Signers() const;

private:
    QString m_content;
    ::Signers m_signers;
    SigningPrompts m_prompts;
};

// Signs the content with two authenticated attributes, the signing time and then the document
// name, the library choosing the certificate as Sign does and asking the user through prompts;
// returns the Base64 text Sign gives. Throws TSError when an attribute cannot be made or signing
// fails.
QString SignWithTimeAndName(const QString& sContent, const QDateTime& signingTime,
                            const QString& sDocumentName, const SigningPrompts& prompts);
