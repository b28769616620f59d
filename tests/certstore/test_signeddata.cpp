// Signed-data records: round trips, and interoperation with an independent CMS implementation
// (OpenSSL, the library and the openssl command) in both directions; records that must not verify.

#include "CertLibTest.h"
#include "common/NssFixture.h"
#include "common/TestPki.h"

#include <QRegularExpression>
#include <QTest>
#include <memory>

#include <openssl/asn1.h>

namespace {

using testpki::utf16le;

QByteArray withNul(const QByteArray& b) {
    return b + QByteArray(2, '\0');
}

QString b64(const QByteArray& der) {
    return QString::fromLatin1(der.toBase64());
}

// A record made with OpenSSL by a signer no database here knows, in Base64 lines as other tools
// write them.
QString foreign(const testpki::PostOptions& options) {
    QString text = b64(testpki::signAsOutsider(options));
    for (qsizetype i = 64; i < text.size(); i += 66)
        text.insert(i, QStringLiteral("\r\n"));
    return text;
}

// A copy of der with the first occurrence of needle changed in its last byte.
QByteArray alter(QByteArray der, const QByteArray& needle) {
    const qsizetype at = der.indexOf(needle);
    if (at >= 0)
        der[at + needle.size() - 1] ^= 0x01;
    return der;
}

} // namespace

class TestSignedData : public QObject {
    Q_OBJECT
private:
    // Away from UTC, so that a local time taken for UTC would show.
    ZoneGuard m_zone{"XET-13"};
    std::unique_ptr<NssFixture> m_noDatabase; // HOME while nothing signs
    QByteArray m_ours;                        // a record signed here, as DER

private Q_SLOTS:
    void initTestCase() {
        m_noDatabase = std::make_unique<NssFixture>(QStringLiteral("none"));
        NssFixture db(QStringLiteral("one"));
        QVERIFY2(db.isValid() && m_noDatabase->isValid(), qPrintable(db.error() + m_noDatabase->error()));
        m_ours = QByteArray::fromBase64(
            SignWithTimeAndName(kFingerprint, QDateTime::currentDateTime(), "report.doc", {}).toLatin1());
    }
    void cleanupTestCase() { m_noDatabase.reset(); }

    // Records made here read back here and in OpenSSL, away from UTC so that a local time
    // written as UTC would show.
    void ourRecords_data() {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QDateTime>("when");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("timeType");
        // West of UTC the evening is already the next day in UTC; east the morning is the day before.
        QTest::newRow("late evening, UTC-10")
            << QByteArray("XST10") << QDateTime(QDate(2026, 3, 14), QTime(23, 30, 15, 500)) << "report.doc"
            << int(V_ASN1_UTCTIME);
        QTest::newRow("early morning, UTC+13, non-ASCII name")
            << QByteArray("XET-13") << QDateTime(QDate(2027, 1, 1), QTime(0, 15, 1))
            << QStringLiteral("Résumé – 履歴書.doc") << int(V_ASN1_UTCTIME);
        QTest::newRow("2050 and later") << QByteArray("XST10") << QDateTime(QDate(2050, 1, 1), QTime(0, 0, 7))
                                        << "later.txt" << int(V_ASN1_GENERALIZEDTIME);
    }
    void ourRecords() {
        QFETCH(QByteArray, zone);
        QFETCH(QDateTime, when);
        QFETCH(QString, name);
        QFETCH(int, timeType);
        ZoneGuard tz(zone.constData());
        const QDateTime local(when.date(), when.time(), Qt::LocalTime);
        NssFixture db(QStringLiteral("one"));
        QVERIFY2(db.isValid(), qPrintable(db.error()));
        const QString text = SignWithTimeAndName(kFingerprint, local, name, {});
        // Base64 in lines of 76 characters, as the caller cleans it.
        for (const QString& line : text.split(QStringLiteral("\r\n")))
            QVERIFY2(QRegularExpression(QStringLiteral("^[A-Za-z0-9+/]{1,76}=*$")).match(line).hasMatch(),
                     qPrintable(line));
        // OpenSSL verifies the signature over the fingerprint as UTF-16LE, and reads the structure.
        const testpki::Parsed p = testpki::parse(QByteArray::fromBase64(text.toLatin1()));
        QVERIFY2(p.ok, qPrintable(p.error));
        QVERIFY(p.canonical && p.signedData && p.dataContent); // DER, and id-data content
        QCOMPARE(p.verifiedContent, utf16le(kFingerprint));
        QCOMPARE(p.digest, QStringLiteral("sha256"));
        QCOMPARE(p.signingTimeType, timeType);
        QCOMPARE(p.signingTimeUtc, local.addMSecs(-local.time().msec()).toUTC());
        QCOMPARE(p.nameOctets, withNul(utf16le(name)));
        QCOMPARE(p.certificateSubjects, (QStringList{"Alice Example", "Tessaro Test Issuing CA"})); // no root

        QCOMPARE(readBack(text), expected(local, name));
    }

    // Records made elsewhere verify with the right time and name: both digests, the content as
    // UTF-16LE (with and without a trailing NUL) and as ASCII, the document name with and
    // without its NUL. Altered, truncated and foreign records fail.
    void verify_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("result");
        const QByteArray wide = utf16le(kFingerprint);
        const QDateTime t(QDate(2026, 3, 14), QTime(23, 30, 15), Qt::UTC),
            t2051(QDate(2051, 1, 1), QTime(), Qt::UTC);
        const QString plain = QStringLiteral("report.doc"), intl = QStringLiteral("Résumé – 履歴書.doc");
        const QByteArray plainNul = withNul(utf16le(plain));
        QTest::newRow("SHA-256, UTF-16LE, name with NUL")
            << foreign({.content = wide, .signingTime = t, .nameOctets = plainNul}) << expected(t, plain);
        QTest::newRow("SHA-1, ASCII, non-ASCII name without NUL")
            << foreign({.content = kFingerprint.toLatin1(),
                        .signingTime = t,
                        .digest = "sha1",
                        .nameOctets = utf16le(intl)})
            << expected(t, intl);
        QTest::newRow("UTF-16LE with trailing NUL")
            << foreign({.content = withNul(wide), .signingTime = t, .nameOctets = withNul(utf16le(intl))})
            << expected(t, intl);
        QTest::newRow("SHA-1, GeneralizedTime")
            << foreign({.content = wide, .signingTime = t2051, .digest = "sha1", .nameOctets = plainNul})
            << expected(t2051, plain);
        QTest::newRow("signer named by key identifier")
            << foreign({.content = wide, .signingTime = t, .nameOctets = plainNul, .signerByKeyId = true})
            << expected(t, plain);
        QByteArray signature = m_ours;
        signature.back() ^= 0x01; // the end of the signature value
        QTest::newRow("empty") << "" << failure(CertLibError::NotBase64);
        QTest::newRow("site record") << "V.01_A3F9Z" << failure(CertLibError::NotBase64);
        QTest::newRow("Base64 of text") << b64("Hello, world") << failure(CertLibError::NotSignedData);
        // A ContentInfo of type data (not signed) holding the fingerprint.
        QTest::newRow("data, not signed")
            << b64(QByteArray::fromHex("305f06092a864886f70d010701a0520450") + wide)
            << failure(CertLibError::NotSignedData);
        QTest::newRow("truncated") << b64(m_ours.left(m_ours.size() / 2))
                                   << failure(CertLibError::NotSignedData);
        QTest::newRow("data after the message")
            << b64(m_ours + QByteArray(4, '\0')) << failure(CertLibError::NotSignedData);
        QTest::newRow("content altered") << b64(alter(m_ours, wide)) << failure(CertLibError::BadSignature);
        QTest::newRow("document name altered")
            << b64(alter(m_ours, utf16le(QStringLiteral("report")))) << failure(CertLibError::BadSignature);
        QTest::newRow("signature altered") << b64(signature) << failure(CertLibError::BadSignature);
        QTest::newRow("detached") << foreign({.content = wide, .detached = true})
                                  << failure(CertLibError::NoContent);
        QTest::newRow("no signer") << foreign({.content = wide, .noSigner = true})
                                   << failure(CertLibError::NoSigner);
        QTest::newRow("signer certificate left out")
            << foreign({.content = wide, .noCertificates = true}) << failure(CertLibError::SignerNotFound);
        QTest::newRow("MD5 digest") << foreign({.content = wide, .digest = "md5"})
                                    << failure(CertLibError::UnsupportedDigest);
    }
    void verify() {
        QFETCH(QString, text);
        QFETCH(QString, result);
        SignedData data; // holding an earlier result
        data.Verify(b64(m_ours), false, 0);
        QCOMPARE(readBack(text, data), result);
    }
};

QTEST_GUILESS_MAIN(TestSignedData)
#include "test_signeddata.moc"
