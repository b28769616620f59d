#include "registration/TSSiteExchange.h"

#include <QTest>

using namespace TSSiteExchange;

Q_DECLARE_METATYPE(TSSiteExchange::Reply)
Q_DECLARE_METATYPE(TSSiteExchange::FormFields)
Q_DECLARE_METATYPE(std::optional<QString>)

namespace {

const QString kOrigin = QStringLiteral("https://127.0.0.1:8443");

// Values that would break markup or a post if anything rewrote them on the way.
const QString kQuotes = QStringLiteral("it's \"quoted\"");
const QString kAmpersands = QStringLiteral("a&b&amp;c=d%20e+f");
const QString kAngles = QStringLiteral("<b>bold</b>'><script>alert(1)</script>");
const QString kNonAscii = QStringLiteral("Résumé – 履歴書 \U0001F4C4.doc");

} // namespace

class TestSiteExchange : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void parseOrigin_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("expected"); // empty: not an origin
        QTest::newRow("built-in") << "https://registration.tessaro.example"
                                  << "https://registration.tessaro.example";
        QTest::newRow("address and port") << "https://127.0.0.1:8443"
                                          << "https://127.0.0.1:8443";
        QTest::newRow("trailing slash") << "https://127.0.0.1:8443/"
                                        << "https://127.0.0.1:8443";
        QTest::newRow("upper case") << "HTTPS://Registration.Example.COM"
                                    << "https://registration.example.com";
        QTest::newRow("highest port") << "https://localhost:65535"
                                      << "https://localhost:65535";
        QTest::newRow("ipv6") << "https://[::1]"
                              << "https://[::1]";
        QTest::newRow("ipv6 and port") << "https://[::1]:4443/"
                                       << "https://[::1]:4443";
        QTest::newRow("http") << "http://127.0.0.1:8443"
                              << "";
        QTest::newRow("other scheme") << "ftp://example.com"
                                      << "";
        QTest::newRow("no scheme") << "registration.tessaro.example"
                                   << "";
        QTest::newRow("scheme only") << "https://"
                                     << "";
        QTest::newRow("slash only") << "https:///"
                                    << "";
        QTest::newRow("path") << "https://example.com/tessaro"
                              << "";
        QTest::newRow("two slashes") << "https://example.com//"
                                     << "";
        QTest::newRow("query") << "https://example.com?a=1"
                               << "";
        QTest::newRow("fragment") << "https://example.com#top"
                                  << "";
        QTest::newRow("user") << "https://user:pw@example.com"
                              << "";
        QTest::newRow("empty port") << "https://example.com:"
                                    << "";
        QTest::newRow("port 0") << "https://example.com:0"
                                << "";
        QTest::newRow("port too high") << "https://example.com:65536"
                                       << "";
        QTest::newRow("port with letters") << "https://example.com:80a"
                                           << "";
        QTest::newRow("two ports") << "https://example.com:1:2"
                                   << "";
        QTest::newRow("bare ipv6") << "https://::1"
                                   << "";
        QTest::newRow("open bracket") << "https://[::1"
                                      << "";
        QTest::newRow("junk after bracket") << "https://[::1]x"
                                            << "";
        QTest::newRow("leading blank") << " https://example.com"
                                       << "";
        QTest::newRow("trailing blank") << "https://example.com "
                                        << "";
        QTest::newRow("blank in host") << "https://exa mple.com"
                                       << "";
        QTest::newRow("escape") << "https://%65xample.com"
                                << "";
        QTest::newRow("backslash") << "https://example.com\\x"
                                   << "";
    }
    void parseOrigin() {
        QFETCH(QString, value);
        QFETCH(QString, expected);
        const std::optional<QString> origin = ParseOrigin(value);
        QCOMPARE(origin.value_or(QString()), expected);
    }

    void siteOrigin_data() {
        QTest::addColumn<QByteArray>("value"); // null: unset
        QTest::addColumn<QString>("expected");
        QTest::newRow("unset") << QByteArray() << BuiltInOrigin();
        QTest::newRow("empty") << QByteArray("") << BuiltInOrigin();
        QTest::newRow("origin") << QByteArray("https://127.0.0.1:9443/") << "https://127.0.0.1:9443";
        QTest::newRow("not an origin") << QByteArray("http://127.0.0.1:9443") << BuiltInOrigin();
    }
    void siteOrigin() {
        QFETCH(QByteArray, value);
        QFETCH(QString, expected);
        if (value.isNull())
            qunsetenv("TESSARO_SITE_ORIGIN");
        else
            qputenv("TESSARO_SITE_ORIGIN", value);
        QCOMPARE(SiteOrigin(), expected);
        qunsetenv("TESSARO_SITE_ORIGIN");
        QCOMPARE(BuiltInOrigin(), QStringLiteral("https://registration.tessaro.example"));
    }

    void endpoints_data() {
        QTest::addColumn<int>("request");
        QTest::addColumn<QString>("firstPage");
        QTest::addColumn<QString>("formAction");
        QTest::newRow("certificate") << int(Request::RegisterCertificate)
                                     << kOrigin + "/tessaro/user/login.asp"
                                     << kOrigin + "/tessaro/user/regfile.asp";
        QTest::newRow("password") << int(Request::RegisterPassword)
                                  << kOrigin + "/scripts/register/regfile.asp"
                                  << kOrigin + "/scripts/register/regfile.asp";
        QTest::newRow("verify") << int(Request::Verify) << kOrigin + "/scripts/register/verify.asp"
                                << kOrigin + "/scripts/register/verify.asp";
    }
    void endpoints() {
        QFETCH(int, request);
        QFETCH(QString, firstPage);
        QFETCH(QString, formAction);
        QCOMPARE(ApplicationRoot(kOrigin), kOrigin + "/tessaro");
        const Endpoints endpoints = EndpointsFor(Request(request), kOrigin);
        QCOMPARE(endpoints.firstPage, firstPage);
        QCOMPARE(endpoints.formAction, formAction);
    }

    // The fields of each request in posting order, every value exactly as given.
    void fields_data() {
        QTest::addColumn<FormFields>("fields");
        QTest::addColumn<FormFields>("expected");
        QTest::newRow("certificate") << CertificateRegistrationFields("MIIB+/=", kNonAscii)
                                     << FormFields{{"tessaro", "MIIB+/="}, {"filename", kNonAscii}};
        QTest::newRow("certificate, markup in the name")
            << CertificateRegistrationFields(kAmpersands, kAngles)
            << FormFields{{"tessaro", kAmpersands}, {"filename", kAngles}};
        QTest::newRow("password") << PasswordRegistrationFields(kQuotes,
                                                                "0123456789ABCDEF0123456789ABCDEF01234567",
                                                                kNonAscii, kAngles)
                                  << FormFields{{"filename", kQuotes},
                                                {"filehash", "0123456789ABCDEF0123456789ABCDEF01234567"},
                                                {"user", kNonAscii},
                                                {"pwd", kAngles}};
        QTest::newRow("password, empty values")
            << PasswordRegistrationFields("", "", "", "")
            << FormFields{{"filename", ""}, {"filehash", ""}, {"user", ""}, {"pwd", ""}};
        QTest::newRow("verify") << VerifyFields("/opt/t/Registered/" + kQuotes, "ABC", kAmpersands,
                                                " pass word ", "  V.01_" + kAngles + "\n")
                                << FormFields{{"filename", "/opt/t/Registered/" + kQuotes},
                                              {"filehash", "ABC"},
                                              {"user", kAmpersands},
                                              {"pwd", " pass word "},
                                              {"sig", "  V.01_" + kAngles + "\n"}};
    }
    void fields() {
        QFETCH(FormFields, fields);
        QFETCH(FormFields, expected);
        QCOMPARE(fields, expected);
    }

    void classify_data() {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<Reply>("expected");
        QTest::newRow("empty") << "" << Reply::Accepted;
        QTest::newRow("plain page") << "<html><body>Registered.</body></html>" << Reply::Accepted;
        QTest::newRow("errors without colon") << "no errors: none" << Reply::Accepted;
        QTest::newRow("blank before colon") << "error :dberror-open" << Reply::Accepted;
        QTest::newRow("open") << "<p>error:dberror-open</p>" << Reply::DatabaseNotAvailable;
        QTest::newRow("open, upper case") << "ERROR:DBERROR-OPEN" << Reply::DatabaseNotAvailable;
        QTest::newRow("open, blank after colon") << "Error: dberror-open" << Reply::OtherError;
        QTest::newRow("users") << "error:dberror-rs-users" << Reply::NotRegisteredUser;
        QTest::newRow("registrations") << "Error:DBError-RS-Registrations" << Reply::RegistrationsTableClosed;
        QTest::newRow("signature") << "error:signature-verification-failure" << Reply::SignatureNotVerified;
        QTest::newRow("update") << "<!-- error:dberror-update -->" << Reply::DatabaseNotUpdated;
        QTest::newRow("embedded in longer text") << "xxerror:dberror-updateyy" << Reply::DatabaseNotUpdated;
        QTest::newRow("two codes, table order wins")
            << "error:dberror-rs-users error:dberror-open" << Reply::DatabaseNotAvailable;
        QTest::newRow("update before signature in the page")
            << "error:dberror-update error:signature-verification-failure" << Reply::SignatureNotVerified;
        QTest::newRow("unknown code") << "error:disk-full" << Reply::OtherError;
        QTest::newRow("bare error:") << "error:" << Reply::OtherError;
        QTest::newRow("error beside a signature") << "<!-- SIG:[V.01_abc] --> error:" << Reply::OtherError;
        QTest::newRow("look-alike letter") << "error:dberror-\u0130pen" << Reply::OtherError;
    }
    void classify() {
        QFETCH(QString, reply);
        QFETCH(Reply, expected);
        QCOMPARE(ClassifyReply(reply), expected);
    }

    void messages() {
        QCOMPARE(ReplyMessage(Reply::Accepted), QString());
        QCOMPARE(
            ReplyMessage(Reply::DatabaseNotAvailable),
            QStringLiteral("The registration server reported an error. Your file was not registered. The "
                           "registration database was not available. Please contact technical support for "
                           "further assistance."));
        QCOMPARE(
            ReplyMessage(Reply::DatabaseNotUpdated),
            QStringLiteral("The registration server reported an error. Your file was not registered. This "
                           "file may have already been registered. The registrations database could not be "
                           "updated. Please contact technical support for further assistance."));
        QCOMPARE(
            ReplyMessage(Reply::OtherError),
            QStringLiteral("The registration server reported an error. Your file was not registered. Please "
                           "contact technical support for further assistance."));
        QCOMPARE(ErrorTitle(), QStringLiteral("Error Message"));
        QCOMPARE(NoAccessPage(), QStringLiteral("ts_noaccess.htm"));
        QCOMPARE(NoRegisterPage(), QStringLiteral("ts_noregister.htm"));
    }

    void signature_data() {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<std::optional<QString>>("expected");
        QTest::addColumn<bool>("usable");
        const std::optional<QString> none;
        QTest::newRow("in order") << "<html><!-- SIG:[V.01_abc] --></html>"
                                  << std::optional<QString>("V.01_abc") << true;
        QTest::newRow("blanks kept") << "<!-- SIG:[  V.01_abc \n] -->"
                                     << std::optional<QString>("  V.01_abc \n") << true;
        QTest::newRow("adjacent") << "<!-- SIG:[] -->" << std::optional<QString>("") << false;
        QTest::newRow("spaces only") << "<!-- SIG:[   ] -->" << std::optional<QString>("   ") << false;
        QTest::newRow("tab") << "<!-- SIG:[\t] -->" << std::optional<QString>("\t") << true;
        QTest::newRow("reversed") << "] --> text <!-- SIG:[V.01_abc" << none << false;
        QTest::newRow("end before start, then a pair") << "] --> <!-- SIG:[V.01_abc] -->" << none << false;
        QTest::newRow("no start") << "V.01_abc] -->" << none << false;
        QTest::newRow("no end") << "<!-- SIG:[V.01_abc" << none << false;
        QTest::newRow("neither") << "<html></html>" << none << false;
        QTest::newRow("start marker in lower case") << "<!-- sig:[V.01_abc] -->" << none << false;
        QTest::newRow("two signatures, first taken")
            << "<!-- SIG:[V.01_one] --><!-- SIG:[V.01_two] -->" << std::optional<QString>("V.01_one") << true;
        QTest::newRow("start marker inside the text")
            << "<!-- SIG:[<!-- SIG:[V.01_x] -->" << std::optional<QString>("<!-- SIG:[V.01_x") << true;
        QTest::newRow("non-ascii") << "é<!-- SIG:[V.01_履歴] -->" << std::optional<QString>("V.01_履歴")
                                   << true;
    }
    void signature() {
        QFETCH(QString, reply);
        QFETCH(std::optional<QString>, expected);
        QFETCH(bool, usable);
        const std::optional<QString> signature = TakeSiteSignature(reply);
        QCOMPARE(signature.has_value(), expected.has_value());
        if (expected)
            QCOMPARE(*signature, *expected);
        QCOMPARE(IsUsableSignature(signature), usable);
    }
};

QTEST_APPLESS_MAIN(TestSiteExchange)
#include "test_siteexchange.moc"
