// Signed-data records: round trips, and interoperation with an independent CMS implementation
// (OpenSSL, the library and the openssl command) in both directions; records that must not verify.

#include "CertLibTest.h"
#include "OpensslCms.h"
#include "common/NssFixture.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include <openssl/asn1.h>

namespace {

QByteArray utf16le(const QString& s) {
    QByteArray out;
    for (QChar c : s)
        out.append(static_cast<char>(c.unicode() & 0xFF)).append(static_cast<char>(c.unicode() >> 8));
    return out;
}

QByteArray withNul(const QByteArray& b) {
    return b + QByteArray(2, '\0');
}

QString b64(const QByteArray& der) {
    return QString::fromLatin1(der.toBase64());
}

// A record made with OpenSSL by a signer no database here knows, in Base64 lines as other tools
// write them; empty when OpenSSL fails.
QString foreign(const opensslcms::Options& options) {
    QString error;
    QString text = b64(opensslcms::sign(options, &error));
    if (!error.isEmpty())
        qWarning("%s", qPrintable(error));
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
    std::unique_ptr<NssFixture> m_noDatabase; // HOME while nothing signs
    QByteArray m_ours;                        // a record signed here, as DER

private Q_SLOTS:
    void initTestCase() {
        m_noDatabase = std::make_unique<NssFixture>(QStringLiteral("none"));
        NssFixture db(QStringLiteral("one"));
        QVERIFY2(db.isValid() && m_noDatabase->isValid(), qPrintable(db.error() + m_noDatabase->error()));
        m_ours = QByteArray::fromBase64(signRecord(QDateTime::currentDateTime(), "report.doc").toLatin1());
        QVERIFY(!m_ours.isEmpty());
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
        const QString text = signRecord(local, name);
        // Base64 in lines of 76 characters, as the caller cleans it.
        for (const QString& line : text.split(QStringLiteral("\r\n")))
            QVERIFY2(QRegularExpression(QStringLiteral("^[A-Za-z0-9+/]{1,76}=*$")).match(line).hasMatch(),
                     qPrintable(line));
        const QByteArray der = QByteArray::fromBase64(text.toLatin1());

        // The openssl command verifies the signature and gives back the fingerprint as UTF-16LE.
        QTemporaryDir dir;
        const QString out = dir.filePath(QStringLiteral("content.bin"));
        QByteArray output;
        QVERIFY2(NssFixture::run(QStringLiteral("openssl"),
                                 {"cms", "-verify", "-noverify", "-inform", "DER", "-binary", "-out", out},
                                 &output, der) == 0,
                 output.constData());
        QFile content(out);
        QVERIFY(content.open(QIODevice::ReadOnly));
        QCOMPARE(content.readAll(), utf16le(kFingerprint));

        // Its structure, as OpenSSL's library reads it.
        const opensslcms::Parsed p = opensslcms::parse(der);
        QVERIFY2(p.ok, qPrintable(p.error));
        QVERIFY(p.canonical && p.signedData && p.dataContent); // DER, and id-data content
        QCOMPARE(p.digest, QStringLiteral("sha256"));
        QCOMPARE(p.signingTimeType, timeType);
        QCOMPARE(p.signingTimeUtc, local.addMSecs(-local.time().msec()).toUTC());
        QCOMPARE(p.nameOctets, withNul(utf16le(name)));
        QCOMPARE(p.certificateSubjects, (QStringList{"Alice Example", "Tessaro Test Issuing CA"})); // no root

        QCOMPARE(readBack(text), expected(local, name));
    }

    // Records made elsewhere: both digests, the content as UTF-16LE (with and without a trailing
    // NUL) and as ASCII, the document name with and without its NUL.
    void foreignRecordsVerifyHere_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QDateTime>("when");
        QTest::addColumn<QString>("name");
        const QByteArray wide = utf16le(kFingerprint);
        const QDateTime t(QDate(2026, 3, 14), QTime(23, 30, 15), Qt::UTC),
            t2051(QDate(2051, 1, 1), QTime(), Qt::UTC);
        const QString plain = QStringLiteral("report.doc"), intl = QStringLiteral("Résumé – 履歴書.doc");
        const QByteArray plainNul = withNul(utf16le(plain));
        QTest::newRow("SHA-256, UTF-16LE, name with NUL")
            << foreign({.content = wide, .signingTime = t, .nameOctets = plainNul}) << t << plain;
        QTest::newRow("SHA-1, ASCII, non-ASCII name without NUL")
            << foreign({.content = kFingerprint.toLatin1(),
                        .digest = "sha1",
                        .signingTime = t,
                        .nameOctets = utf16le(intl)})
            << t << intl;
        QTest::newRow("UTF-16LE with trailing NUL")
            << foreign({.content = withNul(wide), .signingTime = t, .nameOctets = withNul(utf16le(intl))})
            << t << intl;
        QTest::newRow("SHA-1, GeneralizedTime")
            << foreign({.content = wide, .digest = "sha1", .signingTime = t2051, .nameOctets = plainNul})
            << t2051 << plain;
        QTest::newRow("signer named by key identifier")
            << foreign({.content = wide, .signingTime = t, .nameOctets = plainNul, .signerByKeyId = true})
            << t << plain;
    }
    void foreignRecordsVerifyHere() {
        QFETCH(QString, text);
        QFETCH(QDateTime, when);
        QFETCH(QString, name);
        ZoneGuard tz("XET-13");
        QCOMPARE(readBack(text), expected(when, name));
    }

    void badInput_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint32>("number");
        const QByteArray wide = utf16le(kFingerprint);
        QByteArray signature = m_ours;
        signature.back() ^= 0x01; // the end of the signature value
        QTest::newRow("empty") << "" << CertLibError::NotBase64;
        QTest::newRow("site record") << "V.01_A3F9Z" << CertLibError::NotBase64;
        QTest::newRow("Base64 of text") << b64("Hello, world") << CertLibError::NotSignedData;
        QTest::newRow("data, not signed")
            << b64(opensslcms::dataMessage(wide)) << CertLibError::NotSignedData;
        QTest::newRow("truncated") << b64(m_ours.left(m_ours.size() / 2)) << CertLibError::NotSignedData;
        QTest::newRow("data after the message")
            << b64(m_ours + QByteArray(4, '\0')) << CertLibError::NotSignedData;
        QTest::newRow("content altered") << b64(alter(m_ours, wide)) << CertLibError::BadSignature;
        QTest::newRow("document name altered")
            << b64(alter(m_ours, utf16le(QStringLiteral("report")))) << CertLibError::BadSignature;
        QTest::newRow("signature altered") << b64(signature) << CertLibError::BadSignature;
        QTest::newRow("detached") << foreign({.content = wide, .detached = true}) << CertLibError::NoContent;
        QTest::newRow("no signer") << foreign({.content = wide, .noSigner = true}) << CertLibError::NoSigner;
        QTest::newRow("signer certificate left out")
            << foreign({.content = wide, .noCertificates = true}) << CertLibError::SignerNotFound;
        QTest::newRow("MD5 digest") << foreign({.content = wide, .digest = "md5"})
                                    << CertLibError::UnsupportedDigest;
    }
    void badInput() {
        QFETCH(QString, text);
        QFETCH(qint32, number);
        SignedData data;
        data.Verify(b64(m_ours), false, 0);
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

    void arguments() {
        NssFixture db(QStringLiteral("one"));
        QVERIFY2(db.isValid(), qPrintable(db.error()));
        Signer signer;
        SignedData data;
        QVERIFY_THROWS_EXCEPTION(TSError, data.Verify(b64(m_ours), true, 0));  // detached
        QVERIFY_THROWS_EXCEPTION(TSError, data.Verify(b64(m_ours), false, 1)); // another check
        QVERIFY_THROWS_EXCEPTION(TSError, data.Sign(signer, false, 0));        // no content
        data.setContent(kFingerprint);
        QVERIFY_THROWS_EXCEPTION(TSError, data.Sign(signer, true, 0));  // detached
        QVERIFY_THROWS_EXCEPTION(TSError, data.Sign(signer, false, 1)); // binary
        // Without attributes the message still signs and verifies.
        data.Verify(data.Sign(signer, false, 0), false, 0);
        QCOMPARE(data.Content(), kFingerprint);
        QCOMPARE(data.Signers().Item(1).AuthenticatedAttributes().Count(), 0);
        QVERIFY_THROWS_EXCEPTION(TSError, data.Signers().Item(2));
    }
};

QTEST_MAIN(TestSignedData)
#include "test_signeddata.moc"
