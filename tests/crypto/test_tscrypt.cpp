#include "crypto/TSCrypt.h"
#include "crypto/TSFingerprintStream.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <compare>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// A TSError as its number, source and description.
using Triple = QStringList;

const Triple kBadOrEmpty{"-2147221490", "TSCrypt", "Bad or empty Base64 String"};
const Triple kBadCharacter{"2", "Base64Decode", "Bad character In Base64 string."};
const Triple kEmptyString{"-2147221503", "TSCrypt", "Empty string value passed"};

// One operation of TSCrypt by name ("hash <lReturnType>", "encode", "encodeString", "decode",
// "decodeString"): its result, or the error it raised as a Triple.
QVariant call(const QString& op, const QVariant& in) {
    TSCrypt crypto;
    try {
        if (op.startsWith(QLatin1String("hash")))
            return crypto.HashBinary(in.toByteArray(), op.mid(5).toInt());
        if (op == QLatin1String("encode"))
            return crypto.Base64EncodeBinary(in.toByteArray());
        if (op == QLatin1String("encodeString"))
            return crypto.Base64EncodeString(in.toString());
        if (op == QLatin1String("decode"))
            return crypto.Base64DecodeToBinary(in.toString());
        return crypto.Base64DecodeToString(in.toString());
    } catch (const TSError& e) {
        return Triple{QString::number(e.number()), e.source(), e.description()};
    }
}

using Stream = TSFingerprintStream::Result;
constexpr qint64 kChunk = qint64(TSFingerprintStream::kChunk);

QByteArray randomBytes(qint64 size) {
    QByteArray bytes(qsizetype((size + 3) / 4 * 4), Qt::Uninitialized);
    QRandomGenerator(quint32(size)).fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
    bytes.truncate(qsizetype(size));
    return bytes;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

int openFile(const QString& path, int flags) {
    return ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC, 0644);
}

void row(const QByteArray& tag, const char* op, const QVariant& in, const QVariant& expected) {
    QTest::newRow(tag.constData()) << QString::fromLatin1(op) << in << expected;
}

} // namespace

class TestTSCrypt : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Each operation's results and errors. What is encoded also decodes back.
    void operations_data() {
        QTest::addColumn<QString>("op");
        QTest::addColumn<QVariant>("in");
        QTest::addColumn<QVariant>("expected");
        const QByteArray abc("abc");
        const QString abcBase64 = QStringLiteral("qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
        row("abc hex", "hash 2", abc, QStringLiteral("A9993E364706816ABA3E25717850C26C9CD0D89D"));
        row("abc base64", "hash 1", abc, abcBase64);
        row("abc binary", "hash 3", abc, QByteArray::fromHex("A9993E364706816ABA3E25717850C26C9CD0D89D"));
        for (const char* other : {"hash 0", "hash 4", "hash -1"})
            row(QByteArray("abc ") + other, other, abc, abcBase64);
        row("first digest byte 0x0A", "hash 2", QByteArray("9"), "0ADE7C2CF97F75D009975F4D720D1FA6C19F4897");
        row("hash no bytes", "hash 2", QByteArray(), kEmptyString);

        const char* const rfc4648[][2] = {{"f", "Zg=="},         {"fo", "Zm8="},
                                          {"foo", "Zm9v"},       {"foob", "Zm9vYg=="},
                                          {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
        for (const auto& [bytes, text] : rfc4648)
            row(bytes, "encode", QByteArray(bytes), QString::fromLatin1(text));
        row("0xFB 0xFF 0xBF", "encode", QByteArray("\xFB\xFF\xBF"), "+/+/");
        const QString line(76, QLatin1Char('A'));
        row("57 bytes: one full line", "encode", QByteArray(57, '\0'), line);
        row("58 bytes: a line and 4", "encode", QByteArray(58, '\0'), line + "\r\nAA==");
        row("114 bytes: two lines", "encode", QByteArray(114, '\0'), line + "\r\n" + line);
        row("encode no bytes", "encode", QByteArray(),
            Triple{"-2147221490", "TSCrypt", "No data passed in argument"});

        // Text is encoded as its UTF-16 code units, low byte first.
        row("A", "encodeString", "A", "QQA=");
        row("NUL then A", "encodeString", QString(QChar(0)) + 'A', "AABBAA==");
        row("euro sign", "encodeString", QStringLiteral("\u20AC"), "rCA=");
        row("lone surrogate", "encodeString", QString(QChar(0xD800)), "ANg=");
        row("encode empty text", "encodeString", QString(), kEmptyString);
        row("encode lone NUL", "encodeString", QString(QChar(0)), kEmptyString);

        // Pads anywhere in a group stand for a zero digit and one byte less; spaces, tabs and
        // CR LF pairs are skipped.
        row("QQ==", "decode", "QQ==", QByteArray("A"));
        row("groups after a padded group", "decode", "QQ==QQ==Zm9v", QByteArray("AAfoo"));
        row("pad first in a group", "decode", "=QQA", QByteArray("\x01\x04"));
        row("pad in the middle", "decode", "Q=QA", QByteArray("\x40\x04"));
        row("four pads beside data", "decode", "====Zm9v", QByteArray("foo"));
        row("whitespace", "decode", "\r\nZ m\t9v\r\nYm F y ", QByteArray("foobar"));
        row("decode to string, three bytes", "decodeString", "QUJD", kBadOrEmpty);

        // Decoding to text fails with the one "Bad or empty" error in every case.
        const std::pair<const char*, QString> failures[] = {
            {"empty", QString()},
            {"spaces, tabs and CR LF pairs only", QStringLiteral(" \t\r\n  \r\n\t")},
            {"three characters", QStringLiteral("QQ=")},
            {"lone LF leaves nine characters", QStringLiteral("QUJD\nREVG")},
            {"length checked before characters", QStringLiteral("!!!")},
            {"only pads", QStringLiteral("====")},
            {"bad: exclamation mark", QStringLiteral("QQ!=")},
            {"bad: lone LF in a group of four", QStringLiteral("Zm9vY\nFy")},
            {"bad: NUL", QString::fromUtf16(u"Zm9v\0mFy", 8)},
            // CR LF pairs go in one pass: neither the CR LF left by removing a pair nor the one
            // left by removing a tab is removed.
            {"bad: CR CR LF LF", QStringLiteral("Zm\r\r\n\n9vYm\r\r\n\nFy")},
            {"bad: CR tab LF", QStringLiteral("Zm\r\t\n9vYm\r\t\nFy")},
            {"bad: non-Latin-1 with an alphabet low byte", QStringLiteral("Zm9v\u0159mFy")},
        };
        for (const auto& [tag, text] : failures) {
            const bool bad = QByteArray(tag).startsWith("bad:");
            row(QByteArray("decode ") + tag, "decode", text, bad ? kBadCharacter : kBadOrEmpty);
            row(QByteArray("decode to string ") + tag, "decodeString", text, kBadOrEmpty);
        }
    }
    void operations() {
        QFETCH(QString, op);
        QFETCH(QVariant, in);
        QFETCH(QVariant, expected);
        const QVariant result = call(op, in);
        QCOMPARE(result.typeId(), expected.typeId());
        QCOMPARE(result, expected);
        if (op.startsWith(QLatin1String("encode")) && result.typeId() == QMetaType::QString)
            QCOMPARE(call(op == QLatin1String("encode") ? "decode" : "decodeString", result), in);
    }

    // Inputs larger than memory, as reserved address space that is never touched: it reads as
    // zeros and costs no memory. A document past 4 GiB is hashed whole (a 32-bit length would hash
    // a few bytes only); output too large for memory is an error like any other, not a crash.
    void hugeInputs() {
        const qsizetype length = qsizetype(1) << 44;
        void* pages =
            mmap(nullptr, size_t(length), PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (pages == MAP_FAILED)
            QSKIP("cannot reserve the address space");
        const auto unmap = qScopeGuard([&] { munmap(pages, size_t(length)); });
        const char* zeros = static_cast<const char*>(pages);
        QCOMPARE(call("hash 2", QByteArray::fromRawData(zeros, (qsizetype(1) << 32) + 3)),
                 QVariant(QStringLiteral("C2A34E434EBC0E21D10D44C2C778B2DC631C16DB")));

        QFile overcommit(QStringLiteral("/proc/sys/vm/overcommit_memory"));
        if (!overcommit.open(QIODevice::ReadOnly) || overcommit.readAll().trimmed() == "1")
            QSKIP("the kernel may grant any allocation");
#if defined(__SANITIZE_ADDRESS__) || (defined(__has_feature) && __has_feature(address_sanitizer))
        if (!qEnvironmentVariable("ASAN_OPTIONS").contains(QLatin1String("allocator_may_return_null=1")))
            QSKIP("AddressSanitizer aborts on a failed allocation unless allocator_may_return_null=1");
#endif
        const QVariant bytes = QByteArray::fromRawData(zeros, length);
        const QVariant text = QString::fromRawData(reinterpret_cast<const QChar*>(zeros), length / 2);
        const QVariant outOfMemory = Triple{"7", "TSCrypt", "Out of memory"};
        QCOMPARE(call("encode", bytes), outOfMemory);
        QCOMPARE(call("encodeString", text), outOfMemory);
        QCOMPARE(call("decode", text), outOfMemory);
        QCOMPARE(call("decodeString", text), QVariant(kBadOrEmpty));
    }

    // The streamed fingerprint and the copy agree with the document around every chunk boundary,
    // the buffers' reuse included. A document that grows or shrinks once the first chunk is read:
    // the copy holds what was read, and the fingerprint is that of the copy.
    void stream_data() {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("change"); // bytes added (or, below zero, the size cut to) while read
        for (const qint64 size : {qint64(1), kChunk - 1, kChunk, kChunk + 1, 2 * kChunk + 1, 5 * kChunk - 1,
                                  5 * kChunk, 5 * kChunk + 1})
            QTest::newRow(QByteArray::number(size).constData()) << size << 0;
        QTest::newRow("grows") << 16 * kChunk << int(3 * kChunk);
        QTest::newRow("shrinks") << 16 * kChunk << -int(2 * kChunk + 5);
    }
    void stream() {
        QFETCH(qint64, size);
        QFETCH(int, change);
        QTemporaryDir dir;
        const QString document = dir.filePath(QStringLiteral("document"));
        const QByteArray original = randomBytes(size), added(change, 'g');
        QVERIFY(writeFile(document, original));
        const int in = openFile(document, O_RDONLY);
        const int out = openFile(dir.filePath(QStringLiteral("copy")), O_RDWR | O_CREAT | O_EXCL);
        std::atomic<bool> done = false;
        std::thread changer([&] {
            while (change && !done && ::lseek(in, 0, SEEK_CUR) < kChunk) {
            }
            const int writer = openFile(document, O_WRONLY | O_APPEND);
            if (change > 0)
                (void)!::write(writer, added.constData(), size_t(added.size()));
            else if (change < 0)
                (void)!::ftruncate(writer, -change);
            ::close(writer);
        });
        const Stream streamed = TSFingerprintStream::Run(in, out);
        done = true;
        changer.join();
        QByteArray copied(qsizetype(::lseek(out, 0, SEEK_END)), Qt::Uninitialized);
        QCOMPARE(::pread(out, copied.data(), size_t(copied.size()), 0), copied.size());
        ::close(in);
        ::close(out);
        QCOMPARE(streamed.outcome, Stream::Outcome::Done);
        QCOMPARE(streamed.bytes, qint64(copied.size()));
        QCOMPARE(streamed.fingerprint,
                 QString::fromLatin1(
                     QCryptographicHash::hash(copied, QCryptographicHash::Sha1).toHex().toUpper()));
        QVERIFY((original + added).startsWith(copied));
        QVERIFY((copied.size() <=> original.size()) == (change <=> 0));
    }

    // Memory stays flat: a 1 GiB document streams in a child process whose whole address space
    // is 256 MiB.
    void streamInLittleMemory() {
#if defined(__SANITIZE_ADDRESS__) || (defined(__has_feature) && __has_feature(address_sanitizer))
        QSKIP("address-space limits do not suit AddressSanitizer");
#endif
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("sparse")));
        const qint64 size = qint64(1) << 30;
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("head") == 4 && file.resize(size) &&
                file.seek(size - 4) && file.write("tail") == 4);
        file.close();
        const int in = openFile(file.fileName(), O_RDONLY);
        const int out = openFile(QStringLiteral("/dev/null"), O_WRONLY);
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            const rlim_t limit = rlim_t(256) << 20;
            const struct rlimit rl { limit, limit };
            if (::setrlimit(RLIMIT_AS, &rl) != 0)
                ::_exit(2);
            const Stream streamed = TSFingerprintStream::Run(in, out);
            ::_exit(streamed.outcome == Stream::Outcome::Done && streamed.bytes == size &&
                            streamed.fingerprint == QLatin1String("8015AEAAC91ED98D5BC025134AFB6AF10800BE5B")
                        ? 0
                        : 1);
        }
        ::close(in);
        ::close(out);
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
};

QTEST_APPLESS_MAIN(TestTSCrypt)
#include "test_tscrypt.moc"
