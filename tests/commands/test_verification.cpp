// The verify command's parts that need no window: the general date format of the time stamp in
// several locales, the record kind, the fingerprint and a record that is no signed message.

#include "certstore/CertLibrary.h"
#include "commands/TSVerification.h"

#include <QTest>

using namespace TSVerification;

namespace {

template <typename... Texts> void row(const char* name, Texts... texts) {
    ((QTest::newRow(name) << ... << QString::fromUtf8(texts)));
}

} // namespace

class TestVerification : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // 14 March 2005, 9:15:23 in the morning, local time: the short date with a four-digit year and
    // the long time without its zone.
    void timeStamp_data() {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("expected"); // by FormatTimeStamp, and by AttributeText for a date
        row("United States", "en_US", "3/14/2005 9:15:23 AM");
        row("Germany: two-digit year widened", "de_DE", "14.03.2005 09:15:23");
        row("Spain: zone in parentheses", "es_ES", "14/3/2005 9:15:23");
        row("Korea: year first, two digits", "ko_KR", "2005. 3. 14. 오전 9시 15분 23초");
        row("Canadian French: quoted literals", "fr_CA", "2005-03-14 09 h 15 min 23 s");
        row("Bulgaria: literals after the year and the time", "bg_BG", "14.03.2005 г. 9:15:23 ч.");
    }
    void timeStamp() {
        QFETCH(QString, locale);
        QFETCH(QString, expected);
        const QDateTime when(QDate(2005, 3, 14), QTime(9, 15, 23));
        QCOMPARE(FormatTimeStamp(when, QLocale(locale)), expected);
        QCOMPARE(AttributeText(QVariant(when), QLocale(locale)), expected);
    }

    void formats_data() {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("date");
        QTest::addColumn<QString>("time");
        row("two-digit year, zone last", "M/d/yy h:mm:ss AP t", "M/d/yyyy h:mm:ss AP t", "M/d/yy h:mm:ss AP");
        row("quoted letters kept", "'yy t' yy HH 'o''clock' t", "'yy t' yyyy HH 'o''clock' t",
            "'yy t' yy HH 'o''clock'");
        row("zone first", "t  HH:mm", "t  HH:mm", "HH:mm");
        row("parenthesis not around the zone", "(H:mm) t", "(H:mm) t", "(H:mm)");
        row("zone in the middle", "H t mm", "H t mm", "H mm");
    }
    void formats() {
        QFETCH(QString, format);
        QFETCH(QString, date);
        QFETCH(QString, time);
        QCOMPARE(FourDigitYearDateFormat(format), date);
        QCOMPARE(TimeFormatWithoutZone(format), time);
    }

    // A site record begins with the tag exactly.
    void recordKind() {
        for (const char* site : {"V.01_abc", "V.01_"})
            QVERIFY2(KindOfRecord(QLatin1String(site)) == RecordKind::Site, site);
        for (const char* certificate :
             {"v.01_abc", " V.01_abc", "V.01", "MIAGCSqGSIb3DQEHAqCAMIACAQEx", "MIIBV.01_abc"})
            QVERIFY2(KindOfRecord(QLatin1String(certificate)) == RecordKind::Certificate, certificate);
    }

    // What is not a signed message fails with the library's own error, not a crash.
    void notASignedMessage() {
        const LocalCheck check =
            CheckCertificateRecord(QStringLiteral("aGVsbG8gd29ybGQ="), QStringLiteral("A9993E36"));
        QVERIFY(check.outcome == LocalCheck::Outcome::SignatureFailed && !check.errorDescription.isEmpty());
        QCOMPARE(check.errorNumber, CertLibError::NotSignedData);
    }
};

QTEST_APPLESS_MAIN(TestVerification)

#include "test_verification.moc"
