// The site's keys: the files a new site holds, time-stamp tokens and their check by this library
// and by the openssl command, trust anchors, and the check of certificate registration posts.

#include "common/TestPki.h"
#include "sitekeys/SiteKeys.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <thread>

#include <openssl/cms.h>
#include <sys/stat.h>

namespace {

void write(const QString& file, const QByteArray& bytes) {
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

// Runs openssl; returns its standard output and error together.
QString openssl(const QStringList& args, int* status = nullptr) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("openssl"), args);
    p.waitForFinished(60000);
    if (status)
        *status = p.exitCode();
    return QString::fromLocal8Bit(p.readAll());
}

QByteArray sha1(const QByteArray& bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha1);
}

// A CMS message of type data, not signed data.
QByteArray plainData() {
    BIO* in = BIO_new_mem_buf("content", 7);
    CMS_ContentInfo* cms = CMS_data_create(in, CMS_BINARY);
    unsigned char* out = nullptr;
    const int len = i2d_CMS_ContentInfo(cms, &out);
    QByteArray der(reinterpret_cast<const char*>(out), len);
    OPENSSL_free(out);
    CMS_ContentInfo_free(cms);
    BIO_free(in);
    return der;
}

} // namespace

class TestSiteKeys : public QObject {
    Q_OBJECT

    QTemporaryDir m_site, m_other, m_work;
    testpki::Identity m_ca, m_issuing, m_alice;
    const QDateTime m_now = QDateTime::currentDateTimeUtc();

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_site.isValid() && m_other.isValid() && m_work.isValid());
        SiteKeys::Create(m_site.path(), {QStringLiteral("registry.example.test"), QStringLiteral("10.1.2.3")},
                         m_work.filePath(QStringLiteral("root-key.pem")));
        SiteKeys::Create(m_other.path(), {}, {});
        m_ca = testpki::issue(
            {QStringLiteral("Test Root CA"), true, QStringLiteral("critical,keyCertSign,cRLSign")});
        m_issuing = testpki::issue(
            {QStringLiteral("Test Issuing CA"), true, QStringLiteral("critical,keyCertSign,cRLSign")}, &m_ca);
        m_alice = testpki::issue({QStringLiteral("Alice")}, &m_issuing);
        write(m_work.filePath(QStringLiteral("ca.pem")), m_ca.certPem());
        SiteKeys::AddTrustAnchor(m_site.path(), m_work.filePath(QStringLiteral("ca.pem")));
        // The other site trusts the issuing CA alone, not its root.
        write(m_work.filePath(QStringLiteral("issuing.pem")), m_issuing.certPem());
        SiteKeys::AddTrustAnchor(m_other.path(), m_work.filePath(QStringLiteral("issuing.pem")));
    }

    // What a new site folder holds, with which modes and validity.
    void createdSite() {
        const QDir dir(m_site.path());
        QCOMPARE(
            dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name),
            (QStringList{"root.pem", "tls-cert.pem", "tls-key.pem", "trust", "tsa-cert.pem", "tsa-key.pem"}));
        for (const QString& key : {m_site.filePath("tls-key.pem"), m_site.filePath("tsa-key.pem"),
                                   m_work.filePath("root-key.pem")}) {
            struct stat st = {};
            QCOMPARE(::stat(QFile::encodeName(key).constData(), &st), 0);
            QCOMPARE(st.st_mode & 0777, 0600u);
        }
        for (const char* cert : {"root.pem", "tsa-cert.pem"})
            QCOMPARE(openssl({"x509", "-noout", "-enddate", "-in", m_site.filePath(cert)}),
                     QStringLiteral("notAfter=Dec 31 23:59:59 9999 GMT\n"));

        // The chain and the certificates' purposes, as the openssl command sees them.
        const QString root = m_site.filePath("root.pem");
        QVERIFY(
            openssl({"verify", "-CAfile", root, "-purpose", "timestampsign", m_site.filePath("tsa-cert.pem")})
                .contains("OK"));
        QVERIFY(openssl({"verify", "-CAfile", root, "-purpose", "sslserver", m_site.filePath("tls-cert.pem")})
                    .contains("OK"));
        const QString tls =
            openssl({"x509", "-noout", "-ext", "subjectAltName", "-in", m_site.filePath("tls-cert.pem")});
        for (const char* name : {"DNS:localhost", "IP Address:127.0.0.1", "IP Address:0:0:0:0:0:0:0:1",
                                 "DNS:registry.example.test", "IP Address:10.1.2.3"})
            QVERIFY2(tls.contains(QLatin1String(name)), qPrintable(tls));
        const QString tsa =
            openssl({"x509", "-noout", "-ext", "extendedKeyUsage", "-in", m_site.filePath("tsa-cert.pem")});
        QVERIFY2(tsa.contains("critical") && tsa.contains("Time Stamping"), qPrintable(tsa));
        // The kept root key is the root's.
        QVERIFY(openssl({"x509", "-noout", "-pubkey", "-in", root}) ==
                openssl({"pkey", "-pubout", "-in", m_work.filePath("root-key.pem")}));
    }

    void createRefuses_data() {
        QTest::addColumn<QString>("prepare"); // a file made in the folder first
        QTest::addColumn<QString>("host");
        QTest::newRow("existing site") << "root.pem" << QString();
        QTest::newRow("existing trust folder") << "trust/" << QString();
        QTest::newRow("host with a comma") << QString() << "a.test,IP:1.2.3.4";
        QTest::newRow("host with a space") << QString() << "a test";
    }
    void createRefuses() {
        QFETCH(QString, prepare);
        QFETCH(QString, host);
        QTemporaryDir dir;
        if (prepare.endsWith('/'))
            QVERIFY(QDir(dir.path()).mkdir(prepare));
        else if (!prepare.isEmpty())
            write(dir.filePath(prepare), "x");
        const QStringList before = QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        QVERIFY_THROWS_EXCEPTION(
            SiteKeysError,
            SiteKeys::Create(dir.path(), host.isEmpty() ? QStringList() : QStringList{host}, {}));
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
    }

    void tokenRoundTrip() {
        TimeStamper stamper(m_site.path(), SiteKeys::DefaultPolicyOid());
        const QByteArray document("a document\n");
        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
        const QByteArray token = stamper.Stamp(sha1(document));
        const TokenCheck check = CheckToken(m_site.path(), token);
        QVERIFY2(check.ok, qPrintable(check.reason));
        QCOMPARE(check.imprint, sha1(document));
        QVERIFY(check.genTime >= before && check.genTime <= QDateTime::currentDateTimeUtc());
        QCOMPARE(check.genTime.timeSpec(), Qt::UTC);
        QVERIFY(!check.serial.isEmpty());
        QVERIFY(CheckToken(m_site.path(), stamper.Stamp(sha1(document))).serial != check.serial);
        QCOMPARE(TimeStamper::SignatureText(token), QString::fromLatin1("V.01_" + token.toBase64()));

        // The openssl command checks the token against the site's root alone.
        write(m_work.filePath("document.txt"), document);
        write(m_work.filePath("token.der"), token);
        int status = -1;
        const QString out =
            openssl({"ts", "-verify", "-in", m_work.filePath("token.der"), "-token_in", "-data",
                     m_work.filePath("document.txt"), "-CAfile", m_site.filePath("root.pem")},
                    &status);
        QVERIFY2(status == 0 && out.contains("Verification: OK"), qPrintable(out));
        const QString text =
            openssl({"ts", "-reply", "-in", m_work.filePath("token.der"), "-token_in", "-text"});
        QVERIFY2(text.contains("Policy OID: " + SiteKeys::DefaultPolicyOid()), qPrintable(text));
        QVERIFY2(text.contains("Hash Algorithm: sha1"), qPrintable(text));
    }

    void tokenRefused_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("another site's key") << "other";
        QTest::newRow("signature changed") << "flipped";
        QTest::newRow("truncated") << "truncated";
        QTest::newRow("not a token") << "garbage";
        QTest::newRow("empty") << "empty";
    }
    void tokenRefused() {
        QFETCH(QString, kind);
        TimeStamper other(m_other.path(), SiteKeys::DefaultPolicyOid());
        TimeStamper ours(m_site.path(), SiteKeys::DefaultPolicyOid());
        QByteArray token = kind == "other" ? other.Stamp(sha1("x")) : ours.Stamp(sha1("x"));
        if (kind == "flipped")
            token[token.size() - 5] = static_cast<char>(token[token.size() - 5] ^ 0x01);
        else if (kind == "truncated")
            token.chop(10);
        else if (kind == "garbage")
            token = "not a token at all";
        else if (kind == "empty")
            token.clear();
        const TokenCheck check = TokenChecker(m_site.path()).Check(token);
        QVERIFY(!check.ok);
        QVERIFY(!check.reason.isEmpty());
    }

    // Stamp() from several threads at once gives tokens that all check.
    void stampFromThreads() {
        TimeStamper stamper(m_site.path(), SiteKeys::DefaultPolicyOid());
        TokenChecker checker(m_site.path());
        std::atomic<int> good{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < 10; ++i) {
                    const QByteArray digest = sha1(QByteArray::number(t * 100 + i));
                    const TokenCheck c = checker.Check(stamper.Stamp(digest));
                    good += c.ok && c.imprint == digest;
                }
            });
        for (std::thread& t : threads)
            t.join();
        QCOMPARE(good.load(), 40);
    }

    void stamperRefuses() {
        QVERIFY_THROWS_EXCEPTION(SiteKeysError, TimeStamper(m_site.path(), QStringLiteral("not.an.oid")));
        QVERIFY_THROWS_EXCEPTION(SiteKeysError, TimeStamper(m_work.path(), SiteKeys::DefaultPolicyOid()));
        TimeStamper stamper(m_site.path(), QStringLiteral("1.2.3.4"));
        QVERIFY_THROWS_EXCEPTION(SiteKeysError, stamper.Stamp(QByteArray(19, 'x')));
    }

    void certificatePost_data() {
        QTest::addColumn<QString>("site");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("filename");
        QTest::addColumn<QString>("refusal"); // a word of the reason, "*" any; empty when accepted

        using testpki::issue;
        const QString fp = testpki::kFingerprint;
        const QString name = QStringLiteral("Report <1> \"Error: draft\".txt");
        const QString site = m_site.path();
        const auto post = [&](const testpki::Identity& signer, const QByteArray& content, const QString& doc,
                              qint64 minutes = 0, QList<testpki::Identity> chain = {}) {
            if (chain.isEmpty())
                chain = {m_issuing};
            return QString::fromLatin1(
                testpki::signPost(signer, {content, m_now.addSecs(minutes * 60), doc, chain}).toBase64());
        };
        const auto person = [&](const QString& keyUsage, qint64 from = -1, qint64 to = 365) {
            return issue({QStringLiteral("Person"), false, keyUsage, from, to}, &m_issuing);
        };
        const QByteArray content = testpki::utf16le(fp);
        const QString good = post(m_alice, content, name);

        QTest::newRow("accepted") << site << good << name << "";
        QTest::newRow("accepted, anchor below the root") << m_other.path() << good << name << "";
        QTest::newRow("accepted, nonRepudiation only")
            << site << post(person("critical,nonRepudiation"), content, name) << name << "";
        QTest::newRow("accepted, no key usage") << site << post(person(""), content, name) << name << "";
        QTest::newRow("accepted, signed 14 minutes ago")
            << site << post(m_alice, content, name, -14) << name << "";
        QTest::newRow("content ASCII") << site << post(m_alice, fp.toLatin1(), name) << name << "content";
        QTest::newRow("content lower case")
            << site << post(m_alice, testpki::utf16le(fp.toLower()), name) << name << "content";
        QTest::newRow("content 39 digits")
            << site << post(m_alice, testpki::utf16le(fp.left(39)), name) << name << "content";
        QTest::newRow("content with NUL")
            << site << post(m_alice, content + QByteArray(2, '\0'), name) << name << "content";
        QTest::newRow("other name") << site << good << "Report.txt"
                                    << "name";
        const testpki::Identity otherCa =
            issue({QStringLiteral("Other CA"), true, QStringLiteral("keyCertSign")});
        QTest::newRow("untrusted CA")
            << site << post(issue({QStringLiteral("Mallory")}, &otherCa), content, name, 0, {otherCa}) << name
            << "trusted";
        QTest::newRow("chain not included")
            << site << post(m_alice, content, name, 0, {m_alice}) << name << "trusted";
        QTest::newRow("signer expired")
            << site << post(person("digitalSignature", -30, -1), content, name) << name << "trusted";
        QTest::newRow("signer not yet valid")
            << site << post(person("digitalSignature", 1, 30), content, name) << name << "trusted";
        QTest::newRow("key usage encipherment only")
            << site << post(person("critical,keyEncipherment"), content, name) << name << "key usage";
        QTest::newRow("signed 16 minutes ago")
            << site << post(m_alice, content, name, -16) << name << "15 minutes";
        QTest::newRow("signed 16 minutes ahead")
            << site << post(m_alice, content, name, 16) << name << "15 minutes";
        QTest::newRow("not signed data")
            << site << QString::fromLatin1(plainData().toBase64()) << name << "signed";
        QByteArray changed = QByteArray::fromBase64(good.toLatin1());
        changed.replace(testpki::utf16le(fp.left(4)), testpki::utf16le(QStringLiteral("FFFF")));
        QTest::newRow("content changed")
            << site << QString::fromLatin1(changed.toBase64()) << name << "changed";
        QTest::newRow("Base64 broken")
            << site << good.left(good.size() / 2) + "!" + good.mid(good.size() / 2) << name << "Base64";
        QTest::newRow("Base64 with a space")
            << site << good.left(100) + " " + good.mid(100) << name << "Base64";
        QTest::newRow("Base64 truncated") << site << good.left(good.size() - 8) << name << "*";
        QTest::newRow("empty") << site << "" << name << "Base64";
    }
    void certificatePost() {
        QFETCH(QString, site);
        QFETCH(QString, field);
        QFETCH(QString, filename);
        QFETCH(QString, refusal);
        const CertificatePostCheck check = CertificatePostChecker(site).Check(field, filename, m_now);
        QVERIFY2(check.ok == refusal.isEmpty(), qPrintable(check.reason));
        if (check.ok) {
            QCOMPARE(check.fingerprint, testpki::kFingerprint);
            QVERIFY2(check.signer.contains("O=Tessaro Test"), qPrintable(check.signer));
        } else if (refusal != "*") {
            QVERIFY2(check.reason.contains(refusal, Qt::CaseInsensitive), qPrintable(check.reason));
        }
    }

    void trustAnchors() {
        QTemporaryDir dir;
        SiteKeys::Create(dir.path(), {}, {});
        const CertificatePostChecker checker(dir.path());
        const QString field = QString::fromLatin1(
            testpki::signPost(m_alice, {testpki::utf16le(testpki::kFingerprint), m_now, "a.txt", {m_issuing}})
                .toBase64());
        QVERIFY(checker.Check(field, "a.txt", m_now).reason.contains("trusts no"));
        // Added while a checker exists, a CA counts from the next check on; given twice, it is kept once.
        for (int i = 0; i < 2; ++i)
            SiteKeys::AddTrustAnchor(dir.path(), m_work.filePath("ca.pem"));
        QCOMPARE(QDir(dir.path() + "/trust").entryList(QDir::Files).size(), 1);
        const CertificatePostCheck check = checker.Check(field, "a.txt", m_now);
        QVERIFY2(check.ok, qPrintable(check.reason));
        // A certificate that is no CA, and a file that holds none, are refused.
        write(m_work.filePath("alice.pem"), m_alice.certPem());
        write(m_work.filePath("junk.pem"), "no certificate");
        for (const char* file : {"alice.pem", "junk.pem"})
            QVERIFY_THROWS_EXCEPTION(SiteKeysError,
                                     SiteKeys::AddTrustAnchor(dir.path(), m_work.filePath(file)));
    }
};

QTEST_GUILESS_MAIN(TestSiteKeys)
#include "test_sitekeys.moc"
