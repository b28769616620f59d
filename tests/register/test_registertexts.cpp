// The register command's window-free parts: the wait texts and their threshold, the cleaning of
// registration data, the dialog's filter as the open-file dialog reads it, and the document file
// that is opened before it is read.

#include "platform/CD1.h"
#include "registration/TSRegisterTexts.h"
#include "registration/TSRegistrationStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace TSRegisterTexts;

class TestRegisterTexts : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;

    QString write(const QString& name, const QByteArray& bytes) {
        QFile file(m_dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return QString();
        return file.fileName();
    }

private Q_SLOTS:
    void waitTexts_data() {
        QTest::addColumn<qint64>("length");
        QTest::addColumn<QString>("reading");
        QTest::addColumn<QString>("filing");
        const QString shortRead = QStringLiteral("Please wait while your file is read...");
        const QString shortFile = QStringLiteral("Please wait while your file is prepared for filing...");
        const QString note = QStringLiteral("\r\nThis may take a minute or two as this file is large...");
        const QString longRead = QStringLiteral("Please wait while you file is read.") + note;
        const QString longFile = QStringLiteral("Please wait while you file is prepared for filing.") + note;
        QTest::newRow("1 byte") << qint64(1) << shortRead << shortFile;
        QTest::newRow("999,999 bytes") << qint64(999999) << shortRead << shortFile;
        QTest::newRow("1,000,000 bytes") << qint64(1000000) << longRead << longFile;
        QTest::newRow("1 MiB") << qint64(1048576) << longRead << longFile;
        QTest::newRow("5 GB") << qint64(5000000000) << longRead << longFile;
    }
    void waitTexts() {
        QFETCH(qint64, length);
        QFETCH(QString, reading);
        QFETCH(QString, filing);
        QCOMPARE(ReadingText(length), reading);
        QCOMPARE(FilingText(length), filing);
    }

    void cleanRegistrationData_data() {
        QTest::addColumn<QString>("data");
        QTest::addColumn<QString>("clean");
        QTest::newRow("Base64 lines") << "MIIB\r\nAAAA\r\nBB==\r\n"
                                      << "MIIBAAAABB==";
        QTest::newRow("bare LF and CR") << "ab\ncd\ref"
                                        << "abcdef";
        QTest::newRow("blanks") << " V.01_a b "
                                << "V.01_ab";
        QTest::newRow("tabs stay") << "a\tb"
                                   << "a\tb";
    }
    void cleanRegistrationData() {
        QFETCH(QString, data);
        QFETCH(QString, clean);
        QCOMPARE(CleanRegistrationData(data), clean);
    }

    void dialogFilterAsNameFilters() {
        QCOMPARE(CD1::nameFilters(DialogFilter()),
                 QStringList(
                     {"All Files (*.*) (*)",
                      "Documents (doc,htm,txt,wri,wpd,rtf) (*.doc *.htm *.html *.txt *.wri *.wpd *.rtf)"}));
    }

    void dialogFailedMessage() {
        QCOMPARE(
            DialogFailed(2, QStringLiteral("No such file or directory")),
            QStringLiteral("The file dialog box could not be displayed. Please contact technical support. "
                           "\r\nInformation for Support - 2 (No such file or directory)"));
    }

    void openFileReadsWhatIsThereWhenRead_data() {
        QTest::addColumn<QByteArray>("atOpen");
        QTest::addColumn<QByteArray>("atRead");
        QTest::newRow("unchanged") << QByteArray("document bytes") << QByteArray("document bytes");
        QTest::newRow("grown after opening") << QByteArray("abc") << QByteArray(200000, 'x');
        QTest::newRow("shrunk after opening") << QByteArray(5000, 'y') << QByteArray("yy");
        QTest::newRow("empty") << QByteArray() << QByteArray();
    }
    void openFileReadsWhatIsThereWhenRead() {
        QFETCH(QByteArray, atOpen);
        QFETCH(QByteArray, atRead);
        const QString path = write(QStringLiteral("doc.bin"), atOpen);
        QVERIFY(!path.isEmpty());
        TSOpenFile file;
        QVERIFY(file.Open(path));
        QCOMPARE(file.Length(), qint64(atOpen.size()));
        QVERIFY(!write(QStringLiteral("doc.bin"), atRead).isEmpty()); // same file, rewritten in place
        const std::optional<QByteArray> read = file.ReadAll();
        QVERIFY(read);
        QCOMPARE(*read, atRead);
        file.Close();
        QVERIFY(!file.isOpen());
        QVERIFY(!file.ReadAll());
    }

    void openFileRefusesWhatIsNotAFile_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("named pipe") << "fifo";
        QTest::newRow("folder") << "folder";
        QTest::newRow("missing") << "missing";
    }
    void openFileRefusesWhatIsNotAFile() {
        QFETCH(QString, kind);
        const QString path = m_dir.filePath(QStringLiteral("not-a-file-") + kind);
        if (kind == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else if (kind == QLatin1String("folder"))
            QVERIFY(QDir().mkdir(path));
        TSOpenFile file;
        QVERIFY(!file.Open(path)); // and never blocks on the pipe
        QVERIFY(!file.isOpen());
    }

    void documentsOfTwoGibibytesAndMore() {
        // A sparse file just past 2 GiB, read whole: lengths are 64-bit.
        const qint64 length = (qint64(1) << 31) + 7;
        const QString path = m_dir.filePath(QStringLiteral("large.bin"));
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.write("head") == 4);
            QVERIFY(file.seek(length - 4));
            QVERIFY(file.write("tail") == 4);
        }
        TSOpenFile file;
        QVERIFY(file.Open(path));
        QCOMPARE(file.Length(), length);
        std::optional<QByteArray> read = file.ReadAll();
        if (!read)
            QSKIP("not enough memory here to hold the document");
        QCOMPARE(qint64(read->size()), length);
        QVERIFY(read->startsWith("head"));
        QVERIFY(read->endsWith("tail"));
        QCOMPARE(read->at(qsizetype(1) << 30), '\0');
    }

    void readingTakesTheDocumentsSizeAndNoMore() {
        // In a child process whose address space leaves room for the document and little more.
#if defined(__SANITIZE_ADDRESS__)
        QSKIP("address-space limits do not suit AddressSanitizer");
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
        QSKIP("address-space limits do not suit AddressSanitizer");
#endif
#endif
        const qint64 size = qint64(256) << 20;
        const QString path = m_dir.filePath(QStringLiteral("quarter.bin"));
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(size));
        }
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            qint64 used = -1;
            QFile status(QStringLiteral("/proc/self/status"));
            if (status.open(QIODevice::ReadOnly)) {
                for (const QByteArray& line : status.readAll().split('\n'))
                    if (line.startsWith("VmSize:"))
                        used = line.mid(7).trimmed().split(' ').value(0).toLongLong() * 1024;
            }
            const rlim_t limit = rlim_t(used + size + (qint64(32) << 20));
            const struct rlimit rl { limit, limit };
            if (used < 0 || ::setrlimit(RLIMIT_AS, &rl) != 0)
                ::_exit(2);
            TSOpenFile file;
            const bool ok = file.Open(path) && file.ReadAll().value_or(QByteArray()).size() == size;
            ::_exit(ok ? 0 : 1);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
    }

    void initTestCase() {
        QVERIFY(m_dir.isValid());
    }
};

QTEST_GUILESS_MAIN(TestRegisterTexts)
#include "test_registertexts.moc"
