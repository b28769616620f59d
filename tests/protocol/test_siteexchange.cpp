#include "protocol/TSSiteExchange.h"

#include <QTest>

using namespace TSSiteExchange;

Q_DECLARE_METATYPE(TSSiteExchange::Reply)

namespace {

// Values that would break markup or a post if anything rewrote them on the way.
const QString kQuotes = QStringLiteral("it's \"quoted\"");
const QString kAmpersands = QStringLiteral("a&b&amp;c=d%20e+f");
const QString kAngles = QStringLiteral("<b>bold</b>'><script>alert(1)</script>");
const QString kNonAscii = QStringLiteral("Résumé – 履歴書 \U0001F4C4.doc");

} // namespace

class TestSiteExchange : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // TESSARO_SITE_ORIGIN replaces the built-in origin only when it holds an https origin.
    void siteOrigin_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("expected"); // empty: not an origin
        const char* const accepted[][2] = {
            {"https://127.0.0.1:8443/", "https://127.0.0.1:8443"},
            {"HTTPS://Registration.Example.COM", "https://registration.example.com"},
            {"https://localhost:65535", "https://localhost:65535"},
            {"https://[::1]:4443/", "https://[::1]:4443"},
        };
        for (const auto& row : accepted)
            QTest::newRow(row[0]) << QString::fromUtf8(row[0]) << QString::fromUtf8(row[1]);
        for (const char* rejected :
             {"", "http://127.0.0.1:8443", "registration.tessaro.example", "https://",
              "https://example.com/tessaro", "https://example.com//", "https://example.com?a=1",
              "https://user:pw@example.com", "https://example.com:", "https://example.com:0",
              "https://example.com:65536", "https://example.com:80a", "https://::1", "https://[::1]x",
              " https://example.com", "https://exa mple.com", "https://%65xample.com"})
            QTest::newRow(rejected) << QString::fromUtf8(rejected) << QString();
    }
    void siteOrigin() {
        QFETCH(QString, value);
        QFETCH(QString, expected);
        const QString builtIn = QStringLiteral("https://registration.tessaro.example");
        QCOMPARE(ParseOrigin(value).value_or(QString()), expected);
        qputenv("TESSARO_SITE_ORIGIN", value.toUtf8());
        QCOMPARE(SiteOrigin(), expected.isEmpty() ? builtIn : expected);
        qunsetenv("TESSARO_SITE_ORIGIN");
        QCOMPARE(SiteOrigin(), builtIn);
    }

    // The fields of each request in posting order, every value exactly as given.
    void fields() {
        QCOMPARE(CertificateRegistrationFields(kAmpersands, kNonAscii),
                 (FormFields{{"tessaro", kAmpersands}, {"filename", kNonAscii}}));
        QCOMPARE(
            PasswordRegistrationFields(kQuotes, "ABC", kNonAscii, kAngles),
            (FormFields{{"filename", kQuotes}, {"filehash", "ABC"}, {"user", kNonAscii}, {"pwd", kAngles}}));
        QCOMPARE(VerifyFields(kQuotes, "ABC", kAmpersands, " pass word ", kAngles + "\n"),
                 (FormFields{{"filename", kQuotes},
                             {"filehash", "ABC"},
                             {"user", kAmpersands},
                             {"pwd", " pass word "},
                             {"sig", kAngles + "\n"}}));
    }

    void classify_data() {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<Reply>("expected");
        const std::pair<const char*, Reply> rows[] = {
            {"<html><body>Registered.</body></html>", Reply::Accepted},
            {"error :dberror-open", Reply::Accepted},
            {"ERROR:DBERROR-OPEN", Reply::DatabaseNotAvailable},
            {"Error: dberror-open", Reply::OtherError},
            {"error:dberror-rs-users", Reply::NotRegisteredUser},
            {"Error:DBError-RS-Registrations", Reply::RegistrationsTableClosed},
            {"error:signature-verification-failure", Reply::SignatureNotVerified},
            {"xxerror:dberror-updateyy", Reply::DatabaseNotUpdated},
            // Two codes in one page: the table's order decides, not the page's.
            {"error:dberror-rs-users error:dberror-open", Reply::DatabaseNotAvailable},
            {"error:dberror-update error:signature-verification-failure", Reply::SignatureNotVerified},
            {"error:disk-full", Reply::OtherError},
            {"error:dberror-\u0130pen", Reply::OtherError},
        };
        for (const auto& [reply, expected] : rows)
            QTest::newRow(reply) << QString::fromUtf8(reply) << expected;
    }
    void classify() {
        QFETCH(QString, reply);
        QFETCH(Reply, expected);
        QCOMPARE(ClassifyReply(reply), expected);
        // The code a site writes for a reply is read back as that reply.
        if (expected != Reply::Accepted && expected != Reply::OtherError)
            QCOMPARE(ClassifyReply(QStringLiteral("<p>%1</p>").arg(ReplyCode(expected))), expected);
    }

    // The text between the first start marker and the first end marker, untrimmed.
    void signature_data() {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("expected"); // null: no signature
        QTest::addColumn<bool>("usable");
        const std::tuple<const char*, const char*, bool> rows[] = {
            {"<html><!-- SIG:[V.01_abc] --></html>", "V.01_abc", true},
            {"<!-- SIG:[  V.01_é \n] -->", "  V.01_é \n", true},
            {"<!-- SIG:[] -->", "", false},
            {"<!-- SIG:[   ] -->", "   ", false},
            {"] --> text <!-- SIG:[V.01_abc", nullptr, false},
            {"] --> <!-- SIG:[V.01_abc] -->", nullptr, false},
            {"V.01_abc] -->", nullptr, false},
            {"<!-- SIG:[V.01_abc", nullptr, false},
            {"<!-- sig:[V.01_abc] -->", nullptr, false},
            {"<!-- SIG:[V.01_one] --><!-- SIG:[V.01_two] -->", "V.01_one", true},
        };
        for (const auto& [reply, expected, usable] : rows)
            QTest::newRow(reply) << QString::fromUtf8(reply) << QString::fromUtf8(expected) << usable;
    }
    void signature() {
        QFETCH(QString, reply);
        QFETCH(QString, expected);
        QFETCH(bool, usable);
        const std::optional<QString> signature = TakeSiteSignature(reply);
        QCOMPARE(signature.has_value(), !expected.isNull());
        QCOMPARE(signature.value_or(QString()), expected);
        QCOMPARE(IsUsableSignature(signature), usable);
    }
};

QTEST_APPLESS_MAIN(TestSiteExchange)
#include "test_siteexchange.moc"
