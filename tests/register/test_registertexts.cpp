// The register command's window-free parts: the wait texts and their threshold,
// the dialog's failure message, and the document file, which is opened before
// it is read and read whole in one buffer of its own size.

#include "registration/TSRegisterTexts.h"
#include "registration/TSRegistrationStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace TSRegisterTexts;

class TestRegisterTexts : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

    // A document of this length: holes, with "head" and "tail" at its ends.
    QString document(const QString& name, qint64 length) {
        QFile file(m_dir.filePath(name));
        const bool ok = file.open(QIODevice::WriteOnly) && file.resize(length) && file.write("head") == 4 &&
                        file.seek(length - 4) && file.write("tail") == 4;
        return ok ? file.fileName() : QString();
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void waitTexts() {
        // The long texts from 1,000,000 bytes on, lengths being 64-bit.
        QCOMPARE(ReadingText(999999), QStringLiteral("Please wait while your file is read..."));
        QCOMPARE(FilingText(999999), QStringLiteral("Please wait while your file is prepared for filing..."));
        const QString note = QStringLiteral("\r\nThis may take a minute or two as this file is large...");
        for (const qint64 length : {qint64(1000000), qint64(4294967301)}) {
            QCOMPARE(ReadingText(length), QStringLiteral("Please wait while you file is read.") + note);
            QCOMPARE(FilingText(length),
                     QStringLiteral("Please wait while you file is prepared for filing.") + note);
        }
    }

    // Control characters cannot travel in a form post intact; every other character can.
    void nameCanTravel() {
        for (const char16_t c : {u'\0', u'\t', u'\n', u'\r', u'\x1f', u'\x7f'})
            QVERIFY(!NameCanTravel(QStringLiteral("a") + QChar(c) + QStringLiteral(".doc")));
        QVERIFY(NameCanTravel(QStringLiteral(" ~\u0080\u00a0é東 📄.doc")));
    }

    void dialogFailedMessage() {
        QCOMPARE(
            DialogFailed(2, QStringLiteral("No such file or directory")),
            QStringLiteral("The file dialog box could not be displayed. Please contact technical support. "
                           "\r\nInformation for Support - 2 (No such file or directory)"));
    }

    // The length read is the one there at reading time; lengths are 64-bit (past 2 GiB read whole).
    void openFileReadsWhatIsThereWhenRead_data() {
        QTest::addColumn<qint64>("atOpen");
        QTest::addColumn<qint64>("atRead");
        QTest::newRow("grown after opening") << qint64(8) << qint64(200000);
        QTest::newRow("shrunk after opening") << qint64(5000) << qint64(8);
        QTest::newRow("past 2 GiB") << (qint64(1) << 31) + 7 << (qint64(1) << 31) + 7;
    }
    void openFileReadsWhatIsThereWhenRead() {
        QFETCH(qint64, atOpen);
        QFETCH(qint64, atRead);
        TSOpenFile file;
        QVERIFY(file.Open(document(QStringLiteral("changing.bin"), atOpen)));
        QCOMPARE(file.Length(), atOpen);
        if (atRead != atOpen) // the same file, rewritten
            QVERIFY(!document(QStringLiteral("changing.bin"), atRead).isEmpty());
        const std::optional<QByteArray> read = file.ReadAll();
        if (!read && atRead > (qint64(1) << 30))
            QSKIP("not enough memory here to hold the document");
        QVERIFY(read && qint64(read->size()) == atRead);
        QVERIFY(read->startsWith("head") && read->endsWith("tail"));
    }

    void openFileRefusesAFolder() {
        TSOpenFile file;
        QVERIFY(QDir().mkdir(m_dir.filePath(QStringLiteral("folder"))));
        QVERIFY(!file.Open(m_dir.filePath(QStringLiteral("folder"))) && !file.ReadAll());
    }

    void readingTakesTheDocumentsSizeAndNoMore() {
        // In a child process whose address space leaves room for the document and little more.
#if defined(__SANITIZE_ADDRESS__) || (defined(__has_feature) && __has_feature(address_sanitizer))
        QSKIP("address-space limits do not suit AddressSanitizer");
#endif
        const qint64 size = qint64(256) << 20;
        const QString path = document(QStringLiteral("quarter.bin"), size);
        QVERIFY(!path.isEmpty());
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            QFile status(QStringLiteral("/proc/self/status"));
            qint64 used = -1;
            if (status.open(QIODevice::ReadOnly))
                for (const QByteArray& line : status.readAll().split('\n'))
                    if (line.startsWith("VmSize:"))
                        used = line.mid(7).trimmed().split(' ').value(0).toLongLong() * 1024;
            const rlim_t limit = rlim_t(used + size + (qint64(32) << 20));
            const struct rlimit rl { limit, limit };
            if (used < 0 || ::setrlimit(RLIMIT_AS, &rl) != 0)
                ::_exit(2);
            TSOpenFile file;
            ::_exit(file.Open(path) && file.ReadAll().value_or(QByteArray()).size() == size ? 0 : 1);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
};

QTEST_GUILESS_MAIN(TestRegisterTexts)
#include "test_registertexts.moc"
