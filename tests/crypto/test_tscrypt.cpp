#include "Base64Reference.h"
#include "crypto/TSCrypt.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTest>

#include <sys/mman.h>

#include <climits>
#include <functional>
#include <optional>

namespace {

constexpr qint32 kEmptyString = -2147221503; // 0x80040001
constexpr qint32 kBadData = -2147221490;     // 0x8004000E

const QString kEmptyText = QStringLiteral("Empty string value passed");
const QString kNoData = QStringLiteral("No data passed in argument");
const QString kBadOrEmpty = QStringLiteral("Bad or empty Base64 String");
const QString kBadCharacter = QStringLiteral("Bad character In Base64 string.");

std::optional<TSError> errorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const TSError& e) {
        return e;
    }
    return std::nullopt;
}

QByteArray randomBytes(QRandomGenerator& rng, qsizetype length) {
    QByteArray bytes(length, Qt::Uninitialized);
    for (char& b : bytes)
        b = char(rng.bounded(256));
    return bytes;
}

// An independent encoding: Qt's Base64 broken into lines of 76 characters joined by CR LF.
QString qtBase64Lines(const QByteArray& bytes) {
    const QString flat = QString::fromLatin1(bytes.toBase64());
    QStringList lines;
    for (qsizetype i = 0; i < flat.size(); i += 76)
        lines << flat.mid(i, 76);
    return lines.join(QStringLiteral("\r\n"));
}

// The same text with spaces, tabs and CR LF pairs scattered through it (never inside a pair).
QString withNoise(QRandomGenerator& rng, const QString& text) {
    static const QString noise[] = {QStringLiteral(" "), QStringLiteral("\t"), QStringLiteral("\r\n"),
                                    QStringLiteral("\r\n\r\n"), QStringLiteral(" \t ")};
    QString out;
    for (QChar c : text) {
        if (c != QLatin1Char('\n') && rng.bounded(4) == 0)
            out += noise[rng.bounded(5)];
        out += c;
    }
    return out + noise[rng.bounded(5)];
}

} // namespace

class TestTSCrypt : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void hashBinary_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("returnType");
        QTest::addColumn<QVariant>("expected");
        const QString abcHex = QStringLiteral("A9993E364706816ABA3E25717850C26C9CD0D89D");
        const QString abcBase64 = QStringLiteral("qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
        QTest::newRow("abc hex") << QByteArray("abc") << 2 << QVariant(abcHex);
        QTest::newRow("abc base64") << QByteArray("abc") << 1 << QVariant(abcBase64);
        QTest::newRow("abc binary") << QByteArray("abc") << 3
                                    << QVariant(QByteArray::fromHex(abcHex.toLatin1()));
        for (int other : {0, 4, -1, INT_MIN, INT_MAX})
            QTest::addRow("abc type %d is base64", other)
                << QByteArray("abc") << other << QVariant(abcBase64);
        QTest::newRow("first digest byte 0x0A")
            << QByteArray("9") << 2 << QVariant(QStringLiteral("0ADE7C2CF97F75D009975F4D720D1FA6C19F4897"));
        QTest::newRow("last digest byte 0x0A")
            << QByteArray("289") << 2 << QVariant(QStringLiteral("6B0F4D999089662690C5233E0DDEA57D297A9A0A"));
        QTest::newRow("single NUL byte hex")
            << QByteArray(1, '\0') << 2
            << QVariant(QStringLiteral("5BA93C9DB0CFF93F52B521D7420E43F6EDA2784F"));
        QTest::newRow("single NUL byte base64")
            << QByteArray(1, '\0') << 1 << QVariant(QStringLiteral("W6k8nbDP+T9StSHXQg5D9u2ieE8="));
        QTest::newRow("two blocks") << QByteArray("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")
                                    << 2
                                    << QVariant(QStringLiteral("84983E441C3BD26EBAAE4AA1F95129E5E54670F1"));
        QTest::newRow("a million a") << QByteArray(1000000, 'a') << 2
                                     << QVariant(QStringLiteral("34AA973CD4C4DAA4F61EEB2BDBAD27316534016F"));
    }
    void hashBinary() {
        QFETCH(QByteArray, data);
        QFETCH(int, returnType);
        QFETCH(QVariant, expected);
        const QByteArray before = data;
        const QVariant result = TSCrypt().HashBinary(data, returnType);
        QCOMPARE(result.typeId(), expected.typeId());
        QCOMPARE(result, expected);
        QCOMPARE(data, before);
    }

    void hashBinaryAgreesWithQtSha1() {
        QRandomGenerator rng(4);
        for (qsizetype length : {1, 2, 55, 56, 63, 64, 65, 119, 120, 4096, 1 << 20}) {
            const QByteArray data = randomBytes(rng, length);
            const QByteArray digest = QCryptographicHash::hash(data, QCryptographicHash::Sha1);
            TSCrypt crypto;
            QCOMPARE(crypto.HashBinary(data, TSCrypt::HashReturnHex).toString(),
                     QString::fromLatin1(digest.toHex().toUpper()));
            QCOMPARE(crypto.HashBinary(data, TSCrypt::HashReturnBinary).toByteArray(), digest);
            const QString base64 = crypto.HashBinary(data, TSCrypt::HashReturnBase64).toString();
            QCOMPARE(base64, QString::fromLatin1(digest.toBase64()));
            QCOMPARE(base64.size(), 28);
        }
    }

    // A document past 4 GiB is hashed whole: any 32-bit length would hash a few bytes only.
    // Untouched anonymous pages read as zeros and cost no memory.
    void hashBinaryDocumentOver4GiB() {
        const qsizetype length = (qsizetype(1) << 32) + 3;
        void* pages =
            mmap(nullptr, size_t(length), PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (pages == MAP_FAILED)
            QSKIP("cannot reserve 4 GiB of address space");
        const QByteArray data = QByteArray::fromRawData(static_cast<const char*>(pages), length);
        const QVariant result = TSCrypt().HashBinary(data, TSCrypt::HashReturnHex);
        munmap(pages, size_t(length));
        QCOMPARE(result.toString(), QStringLiteral("C2A34E434EBC0E21D10D44C2C778B2DC631C16DB"));
    }

    // Output too large for memory is an error like any other, not a crash. The input is
    // address space that is reserved and never touched.
    void outputTooLargeForMemory() {
        QFile overcommit(QStringLiteral("/proc/sys/vm/overcommit_memory"));
        if (!overcommit.open(QIODevice::ReadOnly) || overcommit.readAll().trimmed() == "1")
            QSKIP("the kernel may grant any allocation");
#if defined(__SANITIZE_ADDRESS__) || (defined(__has_feature) && __has_feature(address_sanitizer))
        if (!qEnvironmentVariable("ASAN_OPTIONS").contains(QLatin1String("allocator_may_return_null=1")))
            QSKIP("AddressSanitizer aborts on a failed allocation unless allocator_may_return_null=1");
#endif
        const qsizetype length = qsizetype(1) << 44;
        void* pages =
            mmap(nullptr, size_t(length), PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (pages == MAP_FAILED)
            QSKIP("cannot reserve the address space");
        const auto unmap = qScopeGuard([&] { munmap(pages, size_t(length)); });
        const QByteArray bytes = QByteArray::fromRawData(static_cast<const char*>(pages), length);
        const QString text = QString::fromRawData(static_cast<const QChar*>(pages), length / 2);

        TSCrypt crypto;
        const std::function<void()> calls[] = {[&] { crypto.Base64EncodeBinary(bytes); },
                                               [&] { crypto.Base64EncodeString(text); },
                                               [&] { crypto.Base64DecodeToBinary(text); }};
        for (const auto& call : calls) {
            const std::optional<TSError> error = errorOf(call);
            QVERIFY(error.has_value());
            QCOMPARE(error->number(), 7);
            QCOMPARE(error->source(), QStringLiteral("TSCrypt"));
            QCOMPARE(error->description(), QStringLiteral("Out of memory"));
        }
        const std::optional<TSError> error = errorOf([&] { crypto.Base64DecodeToString(text); });
        QVERIFY(error.has_value());
        QCOMPARE(error->number(), kBadData);
        QCOMPARE(error->description(), kBadOrEmpty);
    }

    void encodeBinary_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("expected");
        const char* const rfc4648[][2] = {{"f", "Zg=="},         {"fo", "Zm8="},
                                          {"foo", "Zm9v"},       {"foob", "Zm9vYg=="},
                                          {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
        for (const auto& row : rfc4648)
            QTest::newRow(row[0]) << QByteArray(row[0]) << QString::fromLatin1(row[1]);
        QTest::newRow("one byte 0xFF") << QByteArray("\xFF") << QStringLiteral("/w==");
        QTest::newRow("three bytes 0xFB 0xFF 0xBF") << QByteArray("\xFB\xFF\xBF") << QStringLiteral("+/+/");
        const QString line(76, QLatin1Char('A'));
        QTest::newRow("57 bytes: one full line") << QByteArray(57, '\0') << line;
        QTest::newRow("58 bytes: a line and 4") << QByteArray(58, '\0') << line + QStringLiteral("\r\nAA==");
        QTest::newRow("114 bytes: two lines")
            << QByteArray(114, '\0') << line + QStringLiteral("\r\n") + line;
        QTest::newRow("115 bytes: two lines and 4")
            << QByteArray(115, '\0') << line + QStringLiteral("\r\n") + line + QStringLiteral("\r\nAA==");
    }
    void encodeBinary() {
        QFETCH(QByteArray, data);
        QFETCH(QString, expected);
        TSCrypt crypto;
        QCOMPARE(crypto.Base64EncodeBinary(data), expected);
        QCOMPARE(crypto.Base64DecodeToBinary(expected), data);
    }

    void encodeString_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("A") << QStringLiteral("A") << QStringLiteral("QQA=");
        QTest::newRow("AB") << QStringLiteral("AB") << QStringLiteral("QQBCAA==");
        QTest::newRow("two NULs") << QString(2, QChar(0)) << QStringLiteral("AAAAAA==");
        QTest::newRow("NUL then A") << QString(QChar(0)) + QLatin1Char('A') << QStringLiteral("AABBAA==");
        QTest::newRow("euro sign, high byte first in memory")
            << QStringLiteral("\u20AC") << QStringLiteral("rCA=");
        QTest::newRow("lone surrogate") << QString(QChar(0xD800)) << QStringLiteral("ANg=");
    }
    void encodeString() {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        TSCrypt crypto;
        QCOMPARE(crypto.Base64EncodeString(text), expected);
        QCOMPARE(crypto.Base64DecodeToString(expected), text);
    }

    void decodeBinary_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("QQ==") << QStringLiteral("QQ==") << QByteArray("A");
        QTest::newRow("qq== differs by case") << QStringLiteral("qq==") << QByteArray("\xAA");
        QTest::newRow("QQA=") << QStringLiteral("QQA=") << QByteArray("A\0", 2);
        QTest::newRow("groups after a padded group") << QStringLiteral("QQ==QQ==Zm9v") << QByteArray("AAfoo");
        QTest::newRow("pad first in a group") << QStringLiteral("=QQA") << QByteArray("\x01\x04");
        QTest::newRow("pad in the middle") << QStringLiteral("Q=QA") << QByteArray("\x40\x04");
        QTest::newRow("four pads beside data") << QStringLiteral("====Zm9v") << QByteArray("foo");
        QTest::newRow("CR LF pairs") << QStringLiteral("\r\nZm9v\r\nYmFy\r\n") << QByteArray("foobar");
        QTest::newRow("tabs and spaces") << QStringLiteral(" Z m\t9v\tYm F y ") << QByteArray("foobar");
    }
    void decodeBinary() {
        QFETCH(QString, text);
        QFETCH(QByteArray, expected);
        QCOMPARE(TSCrypt().Base64DecodeToBinary(text), expected);
    }

    // Every failure of the four operations, as a table of operation, input and error triple.
    void errors_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("input");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("description");
        const QString tsCrypt = QStringLiteral("TSCrypt");
        const QString decoder = QStringLiteral("Base64Decode");
        QTest::newRow("encode no bytes") << "binary" << QString() << kBadData << tsCrypt << kNoData;
        QTest::newRow("encode empty text") << "string" << QString() << kEmptyString << tsCrypt << kEmptyText;
        QTest::newRow("encode lone NUL")
            << "string" << QString(QChar(0)) << kEmptyString << tsCrypt << kEmptyText;

        const struct {
            const char* tag;
            QString text;
            bool badCharacter; // otherwise "Bad or empty"
        } decodeRows[] = {
            {"empty", QString(), false},
            {"only whitespace", QStringLiteral(" \t\r\n  \r\n\t"), false},
            {"three characters", QStringLiteral("QQ="), false},
            {"lone LF leaves nine characters", QStringLiteral("QUJD\nREVG"), false},
            {"lone CR leaves nine characters", QStringLiteral("QUJD\rREVG"), false},
            {"length checked before characters", QStringLiteral("!!!"), false},
            {"only pads", QStringLiteral("===="), false},
            {"only pad groups", QStringLiteral("==== \r\n===="), false},
            {"exclamation mark", QStringLiteral("QQ!="), true},
            {"hyphen", QStringLiteral("Zm9v-mFy"), true},
            {"URL-safe underscore", QStringLiteral("Zm9vYmF_"), true},
            {"lone LF in a group of four", QStringLiteral("Zm9vY\nFy"), true},
            {"CR without LF", QStringLiteral("Zm9\r"), true},
            {"NUL", QString::fromUtf16(u"Zm9v\0mFy", 8), true},
            // CR LF pairs go in one pass before tabs: neither the CR LF left by removing a pair
            // nor the one left by removing a tab is removed.
            {"CR CR LF LF", QStringLiteral("Zm\r\r\n\n9vYm\r\r\n\nFy"), true},
            {"CR tab LF", QStringLiteral("Zm\r\t\n9vYm\r\t\nFy"), true},
            {"non-Latin-1 with an alphabet low byte", QStringLiteral("Zm9v\u0159mFy"), true},
            {"fullwidth letter", QStringLiteral("\uFF3Am9v"), true},
            {"bad character after a bad length would be", QStringLiteral("Zm9vYmF!Zm9v"), true},
        };
        for (const auto& row : decodeRows) {
            QTest::addRow("decode %s", row.tag)
                << "decodeBinary" << row.text << (row.badCharacter ? 2 : kBadData)
                << (row.badCharacter ? decoder : tsCrypt) << (row.badCharacter ? kBadCharacter : kBadOrEmpty);
            QTest::addRow("decode to string %s", row.tag)
                << "decodeString" << row.text << kBadData << tsCrypt << kBadOrEmpty;
        }
        // An odd number of bytes would leave half a character.
        QTest::newRow("decode to string, one byte")
            << "decodeString" << QStringLiteral("QQ==") << kBadData << tsCrypt << kBadOrEmpty;
        QTest::newRow("decode to string, three bytes")
            << "decodeString" << QStringLiteral("QUJD") << kBadData << tsCrypt << kBadOrEmpty;
        QTest::newRow("hash no bytes") << "hash" << QString() << kEmptyString << tsCrypt << kEmptyText;
    }
    void errors() {
        QFETCH(QString, operation);
        QFETCH(QString, input);
        QFETCH(int, number);
        QFETCH(QString, source);
        QFETCH(QString, description);
        TSCrypt crypto;
        const std::optional<TSError> error = errorOf([&] {
            if (operation == QLatin1String("binary"))
                crypto.Base64EncodeBinary(input.toLatin1());
            else if (operation == QLatin1String("string"))
                crypto.Base64EncodeString(input);
            else if (operation == QLatin1String("decodeBinary"))
                crypto.Base64DecodeToBinary(input);
            else if (operation == QLatin1String("decodeString"))
                crypto.Base64DecodeToString(input);
            else
                for (int type : {0, 1, 2, 3})
                    crypto.HashBinary(QByteArray(), type);
        });
        QVERIFY2(error.has_value(), "no error raised");
        QCOMPARE(error->number(), number);
        QCOMPARE(error->source(), source);
        QCOMPARE(error->description(), description);
    }

    // Encoder and decoder agree with Qt's codec and with each other over many lengths, with
    // whitespace anywhere in the text.
    void roundTrip() {
        QRandomGenerator rng(42);
        QList<qsizetype> lengths;
        for (qsizetype n = 1; n <= 240; ++n)
            lengths << n;
        lengths << 1000 << 4095 << 4096 << 4097 << (1 << 20) + 1;
        TSCrypt crypto;
        for (qsizetype length : lengths) {
            const QByteArray data = randomBytes(rng, length);
            const QString text = crypto.Base64EncodeBinary(data);
            QCOMPARE(text, qtBase64Lines(data));
            QCOMPARE(crypto.Base64DecodeToBinary(text), data);
            if (length < 4096)
                QCOMPARE(crypto.Base64DecodeToBinary(withNoise(rng, text)), data);
        }
    }

    // Short random texts over the characters that matter, against the plain decoder.
    void decoderAgreesWithPlainDecoder() {
        static const char16_t pieces[] = {u'A',  u'Q',  u'z',  u'/', u'+',  u'=',      u'=', u' ',
                                          u'\t', u'\r', u'\n', u'!', u'\0', u'\u0141', u'g', u'0'};
        QRandomGenerator rng(99);
        TSCrypt crypto;
        for (int round = 0; round < 50000; ++round) {
            QString text;
            const int length = int(rng.bounded(20));
            for (int i = 0; i < length; ++i)
                text += QChar(pieces[rng.bounded(int(std::size(pieces)))]);
            const auto expected = referenceBase64Decode(text);
            QByteArray bytes;
            const std::optional<TSError> error = errorOf([&] { bytes = crypto.Base64DecodeToBinary(text); });
            if (const auto* expectedError = std::get_if<TSError>(&expected)) {
                QVERIFY2(error.has_value(), qPrintable(text.toUtf8().toPercentEncoding()));
                QCOMPARE(error->number(), expectedError->number());
                QCOMPARE(error->source(), expectedError->source());
                QCOMPARE(error->description(), expectedError->description());
            } else {
                QVERIFY2(!error.has_value(), qPrintable(text.toUtf8().toPercentEncoding()));
                QCOMPARE(bytes, std::get<QByteArray>(expected));
            }
        }
    }
};

QTEST_APPLESS_MAIN(TestTSCrypt)
#include "test_tscrypt.moc"
