// Signed-data records against an independent CMS implementation (OpenSSL, the library and the
// openssl command), in both directions, and records that must not verify.

#include "OpensslCms.h"
#include "ZoneGuard.h"
#include "common/NssFixture.h"
#include "platform/CertLibrary.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/asn1.h>

namespace {

const QString kFingerprint = QStringLiteral("3F786850E387550FDAB836ED7E6DC881DE23001B");

QByteArray utf16le(const QString& s) {
    QByteArray out;
    for (QChar c : s) {
        out.append(static_cast<char>(c.unicode() & 0xFF));
        out.append(static_cast<char>(c.unicode() >> 8));
    }
    return out;
}

QByteArray withNul(const QByteArray& b) {
    return b + QByteArray(2, '\0');
}

QString record(const QByteArray& der) {
    return QString::fromLatin1(der.toBase64());
}

QString sign(const QDateTime& when, const QString& name) {
    Attribute a;
    a.setName(Attribute::SigningTime);
    a.setValue(when);
    Attribute b;
    b.setName(Attribute::DocumentName);
    b.setValue(name);
    Signer signer;
    signer.AuthenticatedAttributes().Add(a);
    signer.AuthenticatedAttributes().Add(b);
    SignedData data;
    data.setContent(kFingerprint);
    return data.Sign(signer, false, 0);
}

QString cleaned(QString text) {
    text.remove(QLatin1Char('\n'));
    text.remove(QLatin1Char('\r'));
    text.remove(QLatin1Char(' '));
    return text;
}

// A copy of der with the first occurrence of needle changed in its last byte.
QByteArray alter(QByteArray der, const QByteArray& needle) {
    const qsizetype at = der.indexOf(needle);
    if (at < 0)
        return QByteArray();
    der[at + needle.size() - 1] = static_cast<char>(der[at + needle.size() - 1] ^ 0x01);
    return der;
}

// A copy of der with its last byte, the end of the signature value, changed.
QByteArray alterLast(QByteArray der) {
    der[der.size() - 1] = static_cast<char>(der[der.size() - 1] ^ 0x01);
    return der;
}

} // namespace

class TestSignedData : public QObject {
    Q_OBJECT
private:
    QByteArray m_ours; // a record signed here, as DER
    QDateTime m_oursTime;

private Q_SLOTS:
    void initTestCase() {
        NssFixture db(QStringLiteral("one"));
        QVERIFY2(db.isValid(), qPrintable(db.error()));
        m_oursTime = QDateTime(QDate(2026, 5, 1), QTime(12, 0, 30), Qt::LocalTime);
        m_ours = QByteArray::fromBase64(cleaned(sign(m_oursTime, QStringLiteral("report.doc"))).toLatin1());
        QVERIFY(!m_ours.isEmpty());
    }

    // Records made here, as other PKCS #7 readers see them.
    void ourRecordsReadElsewhere_data() {
        QTest::addColumn<QDateTime>("when");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("timeType");
        QTest::newRow("plain") << QDateTime(QDate(2026, 3, 14), QTime(9, 15, 23)) << "report.doc"
                               << int(V_ASN1_UTCTIME);
        QTest::newRow("non-ASCII") << QDateTime(QDate(2026, 12, 31), QTime(23, 59, 59))
                                   << QStringLiteral("Résumé – 履歴書.doc") << int(V_ASN1_UTCTIME);
        QTest::newRow("2050 and later")
            << QDateTime(QDate(2050, 6, 1), QTime(8, 0, 0)) << "later.txt" << int(V_ASN1_GENERALIZEDTIME);
    }
    void ourRecordsReadElsewhere() {
        QFETCH(QDateTime, when);
        QFETCH(QString, name);
        QFETCH(int, timeType);
        // Away from UTC, so that a local time written as UTC would show.
        ZoneGuard tz("XST10");
        const QDateTime local(when.date(), when.time(), Qt::LocalTime);
        QCOMPARE(local.offsetFromUtc(), -10 * 3600);
        NssFixture db(QStringLiteral("one"));
        QVERIFY2(db.isValid(), qPrintable(db.error()));
        const QString text = cleaned(sign(local, name));
        QVERIFY(QRegularExpression(QStringLiteral("^[A-Za-z0-9+/]+=*$")).match(text).hasMatch());
        const QByteArray der = QByteArray::fromBase64(text.toLatin1());

        // The openssl command verifies the signature and gives back the fingerprint as UTF-16LE.
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("record.der")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(der);
        file.close();
        QByteArray output;
        const int code =
            NssFixture::run(QStringLiteral("openssl"),
                            {"cms", "-verify", "-noverify", "-inform", "DER", "-binary", "-in",
                             file.fileName(), "-out", dir.filePath(QStringLiteral("content.bin"))},
                            &output);
        QVERIFY2(code == 0, output.constData());
        QFile content(dir.filePath(QStringLiteral("content.bin")));
        QVERIFY(content.open(QIODevice::ReadOnly));
        QCOMPARE(content.readAll(), utf16le(kFingerprint));

        // Its structure, as OpenSSL's library reads it.
        const opensslcms::Parsed p = opensslcms::parse(der);
        QVERIFY2(p.ok, qPrintable(p.error));
        QVERIFY(p.canonical); // DER: definite lengths, re-encodes to the same bytes
        QVERIFY(p.signedData && p.dataContent);
        QCOMPARE(p.content, utf16le(kFingerprint));
        QCOMPARE(p.signerCount, 1);
        QCOMPARE(p.digest, QStringLiteral("sha256"));
        QVERIFY(p.signedAttrOids.contains(QStringLiteral("1.2.840.113549.1.9.5")));
        QVERIFY(p.signedAttrOids.contains(QStringLiteral("1.3.6.1.4.1.311.88.2.1")));
        QCOMPARE(p.signingTimeType, timeType);
        QCOMPARE(p.signingTimeUtc, local.toUTC());
        QCOMPARE(p.nameOctets, withNul(utf16le(name)));
        // The chain without its root.
        QCOMPARE(p.certificateSubjects.size(), 2);
        QVERIFY(p.certificateSubjects.contains(QStringLiteral("Alice Example")));
        QVERIFY(p.certificateSubjects.contains(QStringLiteral("Tessaro Test Issuing CA")));
        QCOMPARE(p.selfSignedCertificates, 0);
    }

    // Records made elsewhere, by a signer no database here knows.
    void foreignMessagesVerifyHere_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("digest");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QDateTime>("when"); // UTC
        QTest::addColumn<QByteArray>("nameOctets");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("byKeyId");
        const QByteArray wide = utf16le(kFingerprint);
        const QByteArray ascii = kFingerprint.toLatin1();
        const QDateTime t(QDate(2026, 3, 14), QTime(23, 30, 15), Qt::UTC);
        const QString plain = QStringLiteral("report.doc");
        const QString intl = QStringLiteral("Résumé – 履歴書.doc");
        QTest::newRow("SHA-256, UTF-16LE, name with NUL")
            << "none"
            << "sha256" << wide << t << withNul(utf16le(plain)) << plain << false;
        QTest::newRow("SHA-1, UTF-16LE, name with NUL")
            << "none"
            << "sha1" << wide << t << withNul(utf16le(plain)) << plain << false;
        QTest::newRow("SHA-1, ASCII, name without NUL")
            << "one"
            << "sha1" << ascii << t << utf16le(plain) << plain << false;
        QTest::newRow("SHA-256, ASCII, non-ASCII name without NUL")
            << "one"
            << "sha256" << ascii << t << utf16le(intl) << intl << false;
        QTest::newRow("SHA-256, UTF-16LE with trailing NUL, non-ASCII name with NUL")
            << "none"
            << "sha256" << withNul(wide) << t << withNul(utf16le(intl)) << intl << false;
        QTest::newRow("SHA-1, GeneralizedTime")
            << "none"
            << "sha1" << wide << QDateTime(QDate(2051, 1, 1), QTime(0, 0, 1), Qt::UTC)
            << withNul(utf16le(plain)) << plain << false;
        QTest::newRow("signer named by key identifier")
            << "none"
            << "sha256" << wide << t << withNul(utf16le(plain)) << plain << true;
    }
    void foreignMessagesVerifyHere() {
        QFETCH(QString, kind);
        QFETCH(QString, digest);
        QFETCH(QByteArray, content);
        QFETCH(QDateTime, when);
        QFETCH(QByteArray, nameOctets);
        QFETCH(QString, name);
        QFETCH(bool, byKeyId);
        ZoneGuard tz("XET-13");
        NssFixture db(kind);
        QVERIFY2(db.isValid(), qPrintable(db.error()));
        opensslcms::Options o;
        o.content = content;
        o.digest = digest;
        o.signingTime = when;
        o.nameOctets = nameOctets;
        o.signerByKeyId = byKeyId;
        QString error;
        const QByteArray der = opensslcms::sign(o, &error);
        QVERIFY2(!der.isEmpty(), qPrintable(error));

        SignedData data;
        // As the record file holds it: Base64 in lines, as other tools write it, is accepted too.
        QString text = record(der);
        for (qsizetype i = 64; i < text.size(); i += 66)
            text.insert(i, QStringLiteral("\r\n"));
        data.Verify(text, false, 0);
        QCOMPARE(data.Content(), kFingerprint);
        QCOMPARE(data.Signers().Count(), 1);
        const Signer signer = data.Signers().Item(1);
        QCOMPARE(signer.Certificate().CommonName(), QStringLiteral("Outside Signer"));
        QCOMPARE(signer.Certificate().Export(), opensslcms::signerCertificate());
        const Attributes attrs = signer.AuthenticatedAttributes();
        QCOMPARE(attrs.Count(), 2);
        QCOMPARE(attrs.Item(1).Value().toDateTime(), when.toLocalTime());
        QCOMPARE(attrs.Item(1).Value().toDateTime().timeSpec(), Qt::LocalTime);
        QCOMPARE(attrs.Item(2).Value().toString(), name);
    }

    void missingAttributesAreLeftOut() {
        opensslcms::Options o;
        o.content = utf16le(kFingerprint);
        o.nameOctets = utf16le(QStringLiteral("only a name"));
        QString error;
        const QByteArray der = opensslcms::sign(o, &error);
        QVERIFY2(!der.isEmpty(), qPrintable(error));
        SignedData data;
        data.Verify(record(der), false, 0);
        // OpenSSL adds a signing time of its own; the name follows it.
        const Attributes attrs = data.Signers().Item(1).AuthenticatedAttributes();
        QCOMPARE(attrs.Count(), 2);
        QCOMPARE(attrs.Item(1).Name(), qint32(Attribute::SigningTime));
        QCOMPARE(attrs.Item(2).Value().toString(), QStringLiteral("only a name"));
    }

    void badInput_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint32>("number");
        const QByteArray wide = utf16le(kFingerprint);
        auto foreign = [&](auto set) {
            opensslcms::Options o;
            o.content = wide;
            set(o);
            QString error;
            const QByteArray der = opensslcms::sign(o, &error);
            if (der.isEmpty())
                qWarning("cannot make the message: %s", qPrintable(error));
            return record(der);
        };
        QTest::newRow("empty") << "" << CertLibError::NotBase64;
        QTest::newRow("site record") << "V.01_A3F9Z" << CertLibError::NotBase64;
        QTest::newRow("not Base64") << "MIIB!xyz" << CertLibError::NotBase64;
        QTest::newRow("Base64 of text") << record("Hello, world") << CertLibError::NotSignedData;
        QTest::newRow("a certificate")
            << record(opensslcms::signerCertificate()) << CertLibError::NotSignedData;
        QTest::newRow("data, not signed")
            << record(opensslcms::dataMessage(wide)) << CertLibError::NotSignedData;
        QTest::newRow("truncated") << record(m_ours.left(m_ours.size() / 2)) << CertLibError::NotSignedData;
        QTest::newRow("last byte missing") << record(m_ours.chopped(1)) << CertLibError::NotSignedData;
        QTest::newRow("data after the message")
            << record(m_ours + QByteArray(4, '\0')) << CertLibError::NotSignedData;
        QTest::newRow("content altered") << record(alter(m_ours, wide)) << CertLibError::BadSignature;
        QTest::newRow("signing time altered")
            << record(alter(m_ours, m_oursTime.toUTC().toString(QStringLiteral("yyMMddHHmmss")).toLatin1()))
            << CertLibError::BadSignature;
        QTest::newRow("document name altered")
            << record(alter(m_ours, utf16le(QStringLiteral("report")))) << CertLibError::BadSignature;
        QTest::newRow("signature altered") << record(alterLast(m_ours)) << CertLibError::BadSignature;
        QTest::newRow("detached") << foreign([](opensslcms::Options& o) { o.detached = true; })
                                  << CertLibError::NoContent;
        QTest::newRow("no signer") << foreign([](opensslcms::Options& o) { o.noSigner = true; })
                                   << CertLibError::NoSigner;
        QTest::newRow("signer certificate left out")
            << foreign([](opensslcms::Options& o) { o.noCertificates = true; })
            << CertLibError::SignerNotFound;
        QTest::newRow("MD5 digest") << foreign([](opensslcms::Options& o) { o.digest = "md5"; })
                                    << CertLibError::UnsupportedDigest;
    }
    void badInput() {
        QFETCH(QString, text);
        QFETCH(qint32, number);
        SignedData data;
        data.Verify(record(m_ours), false, 0);
        QCOMPARE(data.Content(), kFingerprint);
        try {
            data.Verify(text, false, 0);
            QFAIL("verified");
        } catch (const TSError& e) {
            QVERIFY2(e.number() == number, e.what());
            QVERIFY(!e.description().isEmpty());
            QCOMPARE(e.source(), QStringLiteral("SignedData"));
        }
        // Nothing of the earlier result is left to be taken for this one's.
        QVERIFY(data.Content().isEmpty());
        QCOMPARE(data.Signers().Count(), 0);
    }

    void verifyArguments() {
        SignedData data;
        QVERIFY_THROWS_EXCEPTION(TSError, data.Verify(record(m_ours), true, 0));
        QVERIFY_THROWS_EXCEPTION(TSError, data.Verify(record(m_ours), false, 1));
        data.Verify(record(m_ours), false, 0);
        QVERIFY_THROWS_EXCEPTION(TSError, data.Signers().Item(2));
        QVERIFY_THROWS_EXCEPTION(TSError, data.Signers().Item(1).AuthenticatedAttributes().Item(3));
    }
};

QTEST_MAIN(TestSignedData)
#include "test_signeddata.moc"
