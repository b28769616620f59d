// The verify command's parts that need no window: the general date format of the time stamp in
// several locales, the record kind, and the texts built from values.

#include "platform/CertLibrary.h"
#include "verification/TSVerification.h"

#include <QTest>

using namespace TSVerification;

class TestVerification : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void timeStamp_data() {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("expected");
        // 14 March 2005, 9:15:23 in the morning, local time.
        QTest::newRow("United States") << "en_US"
                                       << "3/14/2005 9:15:23 AM";
        QTest::newRow("United Kingdom") << "en_GB"
                                        << "14/03/2005 09:15:23";
        QTest::newRow("Germany: two-digit year widened") << "de_DE"
                                                         << "14.03.2005 09:15:23";
        QTest::newRow("Spain: zone in parentheses") << "es_ES"
                                                    << "14/3/2005 9:15:23";
        QTest::newRow("China: zone first") << "zh_CN"
                                           << "2005/3/14 09:15:23";
        QTest::newRow("Korea: year first, two digits")
            << "ko_KR" << QString::fromUtf8("2005. 3. 14. 오전 9시 15분 23초");
        QTest::newRow("Canadian French: quoted literals") << "fr_CA"
                                                          << "2005-03-14 09 h 15 min 23 s";
        QTest::newRow("Bulgaria: literals after the year and the time")
            << "bg_BG" << QString::fromUtf8("14.03.2005 г. 9:15:23 ч.");
        QTest::newRow("Japan") << "ja_JP" << QString::fromUtf8("2005/03/14 9時15分23秒");
    }
    void timeStamp() {
        QFETCH(QString, locale);
        QFETCH(QString, expected);
        const QDateTime when(QDate(2005, 3, 14), QTime(9, 15, 23));
        QCOMPARE(FormatTimeStamp(when, QLocale(locale)), expected);
        // An attribute's date and time shows the same way; other values as their text.
        QCOMPARE(AttributeText(QVariant(when), QLocale(locale)), expected);
    }

    void timeStampIsLocalTime() {
        const QDateTime local(QDate(2049, 12, 31), QTime(23, 59, 59));
        const QLocale us(QStringLiteral("en_US"));
        QCOMPARE(FormatTimeStamp(local.toUTC(), us), FormatTimeStamp(local, us));
        QCOMPARE(FormatTimeStamp(local, us), QStringLiteral("12/31/2049 11:59:59 PM"));
    }

    void formats_data() {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("date");
        QTest::addColumn<QString>("time");
        QTest::newRow("plain") << "HH:mm:ss"
                               << "HH:mm:ss"
                               << "HH:mm:ss";
        QTest::newRow("two-digit year, zone last") << "M/d/yy h:mm:ss AP t"
                                                   << "M/d/yyyy h:mm:ss AP t"
                                                   << "M/d/yy h:mm:ss AP";
        QTest::newRow("four-digit year kept") << "yyyy-MM-dd"
                                              << "yyyy-MM-dd"
                                              << "yyyy-MM-dd";
        QTest::newRow("quoted letters kept") << "'yy t' yy HH 'o''clock' t"
                                             << "'yy t' yyyy HH 'o''clock' t"
                                             << "'yy t' yy HH 'o''clock'";
        QTest::newRow("zone first") << "t  HH:mm"
                                    << "t  HH:mm"
                                    << "HH:mm";
        QTest::newRow("zone in parentheses") << "H:mm:ss ( t )"
                                             << "H:mm:ss ( t )"
                                             << "H:mm:ss";
        QTest::newRow("parenthesis not around the zone") << "(H:mm) t"
                                                         << "(H:mm) t"
                                                         << "(H:mm)";
        QTest::newRow("zone in the middle") << "H t mm"
                                            << "H t mm"
                                            << "H mm";
    }
    void formats() {
        QFETCH(QString, format);
        QFETCH(QString, date);
        QFETCH(QString, time);
        QCOMPARE(FourDigitYearDateFormat(format), date);
        QCOMPARE(TimeFormatWithoutZone(format), time);
    }

    void recordKind_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("site");
        QTest::newRow("site tag") << "V.01_abc" << true;
        QTest::newRow("tag alone") << "V.01_" << true;
        QTest::newRow("lower case") << "v.01_abc" << false;
        QTest::newRow("blank before the tag") << " V.01_abc" << false;
        QTest::newRow("tag elsewhere") << "MIIBV.01_abc" << false;
        QTest::newRow("tag cut short") << "V.01" << false;
        QTest::newRow("Base64") << "MIAGCSqGSIb3DQEHAqCAMIACAQEx" << false;
    }
    void recordKind() {
        QFETCH(QString, text);
        QFETCH(bool, site);
        QCOMPARE(KindOfRecord(text) == RecordKind::Site, site);
    }

    void messages() {
        QCOMPARE(LibraryErrorMessage(-2147213303, QStringLiteral("Bad.")),
                 QStringLiteral("-2147213303:Bad."));
        QCOMPARE(LibraryErrorMessage(5, QString()), QStringLiteral("5:"));
        QCOMPARE(SuccessMessage(QStringLiteral("T"), QStringLiteral("N")),
                 QStringLiteral("Local registration data verifies successfully. The data at the time of "
                                "registration was:\r\n\r\nLocal Registration Time Stamp: T\r\n"
                                "Local Registered File Name: N\r\n"));
    }

    void fingerprint() {
        QCOMPARE(Fingerprint(QByteArray("abc")), QStringLiteral("A9993E364706816ABA3E25717850C26C9CD0D89D"));
        QCOMPARE(Fingerprint(QByteArray()), std::nullopt);
    }

    // What is not a signed message fails with the library's own error, not a crash.
    void notASignedMessage_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint32>("number");
        QTest::newRow("not Base64") << "not Base64 at all!" << CertLibError::NotBase64;
        QTest::newRow("Base64 of text") << "aGVsbG8gd29ybGQ=" << CertLibError::NotSignedData;
    }
    void notASignedMessage() {
        QFETCH(QString, text);
        QFETCH(qint32, number);
        const LocalCheck check = CheckCertificateRecord(text, QStringLiteral("A9993E36"));
        QCOMPARE(check.outcome, LocalCheck::Outcome::SignatureFailed);
        QCOMPARE(check.errorNumber, number);
        QVERIFY(!check.errorDescription.isEmpty());
    }
};

QTEST_APPLESS_MAIN(TestVerification)

#include "test_verification.moc"
