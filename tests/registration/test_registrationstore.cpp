#include "registration/TSRegistrationStore.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray enc(const QString& path) {
    return QFile::encodeName(path);
}

bool writeFile(const QString& path, const QByteArray& data, mode_t mode = 0644) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
        return false;
    file.close();
    return ::chmod(enc(path).constData(), mode) == 0;
}

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

mode_t modeOf(const QString& path) {
    struct stat st {};
    return ::lstat(enc(path).constData(), &st) == 0 ? st.st_mode : 0;
}

bool isReadOnlyFile(const QString& path) {
    const mode_t mode = modeOf(path);
    return S_ISREG(mode) && (mode & 0222) == 0;
}

QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

QStringList hiddenEntries(const QString& folder) {
    return entries(folder).filter(QRegularExpression("^\\.tessaro-"));
}

// Every entry of a folder with its kind, mode and content, to show that nothing changed.
QMap<QString, QString> snapshot(const QString& folder) {
    QMap<QString, QString> result;
    for (const QString& name : entries(folder)) {
        const QString path = folder + name;
        const mode_t mode = modeOf(path);
        QString item = QString::number(mode, 8);
        if (S_ISREG(mode))
            item += QLatin1Char(' ') +
                    QString::fromLatin1(
                        QCryptographicHash::hash(contents(path), QCryptographicHash::Sha256).toHex());
        result.insert(name, item);
    }
    return result;
}

// Makes writes to files larger than a limit fail (EFBIG), which holds for root as well.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit) {
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = m_saved;
        lowered.rlim_cur = limit;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_oldHandler);
    }

private:
    rlimit m_saved{};
    void (*m_oldHandler)(int) = nullptr;
};

constexpr qsizetype kOverLimit = 256 * 1024;
constexpr rlim_t kLimit = 64 * 1024;

QByteArray binaryDocument() {
    QByteArray bytes;
    for (int i = 0; i < 1000; ++i)
        bytes.append(char(i * 7));
    bytes.append('\0').append('\r').append('\n');
    return bytes;
}

} // namespace

class TestRegistrationStore : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<TSRegistrationStore> m_store;
    QString m_folder;

    // An earlier registration in the store.
    void addPair(const QString& name, const QByteArray& record, const QByteArray& copy) {
        QVERIFY(writeFile(m_folder + name + ".p7s", record, 0444));
        QVERIFY(writeFile(m_folder + name, copy, 0444));
    }
    void verifyPair(const QString& name, const QByteArray& record, const QByteArray& copy) {
        QCOMPARE(contents(m_folder + name + ".p7s"), record);
        QCOMPARE(contents(m_folder + name), copy);
        QVERIFY(isReadOnlyFile(m_folder + name + ".p7s"));
        QVERIFY(isReadOnlyFile(m_folder + name));
    }

private Q_SLOTS:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_store = std::make_unique<TSRegistrationStore>(m_dir->path());
        m_folder = m_store->folder();
        QVERIFY(m_store->EnsureFolder());
    }
    void cleanup() {
        m_store.reset();
        m_dir.reset();
    }

    void folderFor_data() {
        QTest::addColumn<QString>("programFolder");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain") << "/opt/tessaro"
                               << "/opt/tessaro/Registered/";
        QTest::newRow("trailing slash") << "/opt/tessaro/"
                                        << "/opt/tessaro/Registered/";
        QTest::newRow("root") << "/"
                              << "/Registered/";
        QTest::newRow("odd characters") << "/tmp/a #%b/Résumé"
                                        << "/tmp/a #%b/Résumé/Registered/";
    }
    void folderFor() {
        QFETCH(QString, programFolder);
        QFETCH(QString, expected);
        QCOMPARE(TSRegistrationStore::FolderFor(programFolder), expected);
        QCOMPARE(TSRegistrationStore(programFolder).folder(), expected);
        QCOMPARE(TSRegistrationStore(programFolder).RecordPath("a.doc"), expected + "a.doc.p7s");
        QCOMPARE(TSRegistrationStore(programFolder).CopyPath("a.doc"), expected + "a.doc");
    }

    void ensureFolder_data() {
        QTest::addColumn<QString>("inTheWay"); // what sits at the store's path beforehand
        QTest::addColumn<bool>("expected");
        QTest::newRow("nothing") << "" << true;
        QTest::newRow("a folder") << "folder" << true;
        QTest::newRow("a link to a folder") << "link-to-folder" << true;
        QTest::newRow("a file") << "file" << false;
        QTest::newRow("a dangling link") << "dangling-link" << false;
        QTest::newRow("no program folder") << "no-parent" << false;
    }
    void ensureFolder() {
        QFETCH(QString, inTheWay);
        QFETCH(bool, expected);
        QTemporaryDir dir;
        QString programFolder = dir.path();
        const QString path = programFolder + "/Registered";
        if (inTheWay == "folder")
            QVERIFY(QDir().mkdir(path));
        else if (inTheWay == "link-to-folder")
            QVERIFY(QDir().mkdir(dir.path() + "/elsewhere") && QFile::link(dir.path() + "/elsewhere", path));
        else if (inTheWay == "file")
            QVERIFY(writeFile(path, "not a folder"));
        else if (inTheWay == "dangling-link")
            QVERIFY(QFile::link(dir.path() + "/missing", path));
        else if (inTheWay == "no-parent")
            programFolder += "/missing";

        TSRegistrationStore store(programFolder);
        QCOMPARE(store.EnsureFolder(), expected);
        QCOMPARE(store.EnsureFolder(), expected); // the second time finds what the first left
        if (expected)
            QVERIFY(QFileInfo(path).isDir());
        if (inTheWay == "file")
            QCOMPARE(contents(path), QByteArray("not a folder"));
    }

    void recordExists_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("expected");
        QTest::newRow("file") << "file" << true;
        QTest::newRow("read-only file") << "read-only" << true;
        QTest::newRow("empty file") << "empty" << true;
        QTest::newRow("link to a file") << "link" << true;
        QTest::newRow("missing") << "missing" << false;
        QTest::newRow("folder") << "folder" << false;
        QTest::newRow("pipe") << "pipe" << false;
    }
    void recordExists() {
        QFETCH(QString, kind);
        QFETCH(bool, expected);
        const QString path = m_store->RecordPath("report.doc");
        if (kind == "file")
            QVERIFY(writeFile(path, "MIIB"));
        else if (kind == "read-only")
            QVERIFY(writeFile(path, "MIIB", 0444));
        else if (kind == "empty")
            QVERIFY(writeFile(path, ""));
        else if (kind == "link")
            QVERIFY(writeFile(m_dir->path() + "/target", "MIIB") &&
                    QFile::link(m_dir->path() + "/target", path));
        else if (kind == "folder")
            QVERIFY(QDir().mkdir(path));
        else if (kind == "pipe")
            QCOMPARE(::mkfifo(enc(path).constData(), 0644), 0);
        QCOMPARE(m_store->RecordExists("report.doc"), expected);
    }

    void readRecord_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");
        QTest::newRow("empty") << QByteArray() << QString("");
        QTest::newRow("base64 line") << QByteArray("MIIBxjCCAS+gAwIBAgIJ==")
                                     << QString("MIIBxjCCAS+gAwIBAgIJ==");
        QTest::newRow("site record with blanks") << QByteArray("  V.01_abc  ") << QString("  V.01_abc  ");
        QTest::newRow("line breaks kept") << QByteArray("V.01_a\r\nb\n") << QString("V.01_a\r\nb\n");
        QTest::newRow("non-ascii") << QString("V.01_Résumé – 履歴書").toUtf8()
                                   << QString("V.01_Résumé – 履歴書");
        const QByteArray large(300 * 1024, 'A');
        QTest::newRow("larger than any buffer") << large << QString::fromLatin1(large);
    }
    void readRecord() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        const QString path = m_store->RecordPath("doc");
        QVERIFY(writeFile(path, bytes, 0444));
        const std::optional<QString> text = TSRegistrationStore::ReadRecord(path);
        QVERIFY(text.has_value());
        QCOMPARE(*text, expected);
    }

    void readRecordFails_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("missing") << "missing";
        QTest::newRow("folder") << "folder";
        QTest::newRow("pipe") << "pipe";
        QTest::newRow("dangling link") << "dangling";
    }
    void readRecordFails() {
        QFETCH(QString, kind);
        const QString path = m_store->RecordPath("doc");
        if (kind == "folder")
            QVERIFY(QDir().mkdir(path));
        else if (kind == "pipe")
            QCOMPARE(::mkfifo(enc(path).constData(), 0644), 0);
        else if (kind == "dangling")
            QVERIFY(QFile::link(m_folder + "gone", path));
        QVERIFY(!TSRegistrationStore::ReadRecord(path).has_value());
        QVERIFY(!TSRegistrationStore::ReadWholeFile(path).has_value());
    }

    void readWholeFile() {
        QByteArray bytes(3 * 1024 * 1024 + 17, Qt::Uninitialized);
        for (qsizetype i = 0; i < bytes.size(); ++i)
            bytes[i] = char((i * 131) >> 3);
        QVERIFY(writeFile(m_folder + "big", bytes, 0444));
        const std::optional<QByteArray> read = TSRegistrationStore::ReadWholeFile(m_folder + "big");
        QVERIFY(read.has_value());
        QVERIFY(*read == bytes);
    }

    // A registered pair is exactly the record and the copy, both read-only, and the record is
    // the registration data with nothing added.
    void writePair_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("data");
        QTest::addColumn<QByteArray>("document");
        QTest::newRow("certificate record") << "report.doc"
                                            << "MIIGxgYJKoZIhvcNAQcCoIIGtzCCBrMCAQEx" << binaryDocument();
        QTest::newRow("site record with blanks") << "notes.txt"
                                                 << "  V.01_abc  " << QByteArray("x");
        QTest::newRow("site record ending in a line break") << "a"
                                                            << "V.01_x\n"
                                                            << QByteArray("\n");
        QTest::newRow("non-ascii name") << "Résumé – 履歴書.doc"
                                        << "V.01_é" << QByteArray("\xff\xfe\0", 3);
        QTest::newRow("name with blanks and quotes") << "it's \"a\" #1 %20.txt"
                                                     << "MIIB" << QByteArray("y");
    }
    void writePair() {
        QFETCH(QString, name);
        QFETCH(QString, data);
        QFETCH(QByteArray, document);
        const TSStoreWriteResult result = m_store->WritePair(name, data, document);
        QVERIFY(result.ok());
        QCOMPARE(result.failures(), 0);
        QCOMPARE(entries(m_folder), QStringList({name, name + ".p7s"}));
        verifyPair(name, data.toUtf8(), document);
        QVERIFY(m_store->RecordExists(name));
        QCOMPARE(TSRegistrationStore::ReadRecord(m_store->RecordPath(name)), std::optional<QString>(data));
    }

    // A name already taken is a failed write that replaces nothing; the other file of the
    // pair is written all the same.
    void writePairNameTaken_data() {
        QTest::addColumn<QString>("obstacle");
        QTest::addColumn<bool>("recordFailed");
        QTest::addColumn<bool>("copyFailed");
        QTest::newRow("earlier record of the same name") << "record-file" << true << false;
        QTest::newRow("earlier copy of the same name") << "copy-file" << false << true;
        QTest::newRow("folder at the record") << "record-folder" << true << false;
        QTest::newRow("folder at the copy") << "copy-folder" << false << true;
        QTest::newRow("folders at both") << "both-folders" << true << true;
        QTest::newRow("writable file at the copy") << "copy-writable" << false << true;
    }
    void writePairNameTaken() {
        QFETCH(QString, obstacle);
        QFETCH(bool, recordFailed);
        QFETCH(bool, copyFailed);
        const QString name = "report.doc";
        const QString record = m_store->RecordPath(name);
        const QString copy = m_store->CopyPath(name);
        if (obstacle == "record-file")
            QVERIFY(writeFile(record, "old record", 0444));
        if (obstacle == "copy-file")
            QVERIFY(writeFile(copy, "old copy", 0444));
        if (obstacle == "copy-writable")
            QVERIFY(writeFile(copy, "old copy", 0644));
        if (obstacle == "record-folder" || obstacle == "both-folders")
            QVERIFY(QDir().mkdir(record));
        if (obstacle == "copy-folder" || obstacle == "both-folders")
            QVERIFY(QDir().mkdir(copy));
        const QMap<QString, QString> before = snapshot(m_folder);

        const TSStoreWriteResult result = m_store->WritePair(name, "new record", "new copy");
        QCOMPARE(result.recordFailed, recordFailed);
        QCOMPARE(result.copyFailed, copyFailed);
        QCOMPARE(result.failures(), int(recordFailed) + int(copyFailed));

        // What was there is unchanged; the file that could be written is there, read-only.
        QMap<QString, QString> after = snapshot(m_folder);
        for (auto it = before.begin(); it != before.end(); ++it)
            QCOMPARE(after.take(it.key()), it.value());
        QStringList written;
        if (!recordFailed) {
            written << name + ".p7s";
            QCOMPARE(contents(record), QByteArray("new record"));
            QVERIFY(isReadOnlyFile(record));
        }
        if (!copyFailed) {
            written.prepend(name);
            QCOMPARE(contents(copy), QByteArray("new copy"));
            QVERIFY(isReadOnlyFile(copy));
        }
        QCOMPARE(after.keys(), written);
    }

    // The copy of a document named "report.p7s" would take the name of the record of "report".
    void writePairCopyClashesWithRecord() {
        addPair("report", "V.01_report", "report bytes");
        const TSStoreWriteResult result = m_store->WritePair("report.p7s", "MIIB", "other bytes");
        QVERIFY(!result.recordFailed);
        QVERIFY(result.copyFailed);
        verifyPair("report", "V.01_report", "report bytes");
        QCOMPARE(contents(m_folder + "report.p7s.p7s"), QByteArray("MIIB"));
        QCOMPARE(entries(m_folder), QStringList({"report", "report.p7s", "report.p7s.p7s"}));
    }

    void writePairWithoutStore() {
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.path() + "/Registered", "a file in the way"));
        TSRegistrationStore store(dir.path());
        const TSStoreWriteResult result = store.WritePair("a.doc", "MIIB", "bytes");
        QCOMPARE(result.failures(), 2);
        QCOMPARE(contents(dir.path() + "/Registered"), QByteArray("a file in the way"));
        QCOMPARE(entries(dir.path() + "/"), QStringList({"Registered"}));
    }

    // A file too large to be written fails on its own and leaves nothing behind.
    void writePairWriteError() {
        const QByteArray big(kOverLimit, 'B');
        TSStoreWriteResult result;
        {
            FileSizeLimit limit(kLimit);
            result = m_store->WritePair("a.doc", "MIIB", big);
        }
        QVERIFY(!result.recordFailed);
        QVERIFY(result.copyFailed);
        QCOMPARE(entries(m_folder), QStringList({"a.doc.p7s"}));
    }

    void setAsideThenWrite() {
        addPair("report.doc", "old record", "old copy");
        std::optional<TSSetAsidePair> aside = m_store->SetAside("report.doc");
        QVERIFY(aside.has_value());
        QVERIFY(aside->isPending());
        QVERIFY(!m_store->RecordExists("report.doc"));
        QCOMPARE(hiddenEntries(m_folder).size(), 2);
        QCOMPARE(entries(m_folder).size(), 2);

        const TSStoreWriteResult result = m_store->WritePair("report.doc", "new record", "new copy", &*aside);
        QVERIFY(result.ok());
        QVERIFY(!aside->isPending());
        QCOMPARE(entries(m_folder), QStringList({"report.doc", "report.doc.p7s"}));
        verifyPair("report.doc", "new record", "new copy");
    }

    // With a pair set aside, a new file that fails brings the old pair back whole, and the new
    // file that was written goes again. The message still counts once per failed file.
    void setAsideWriteFails_data() {
        QTest::addColumn<bool>("bigRecord");
        QTest::addColumn<bool>("bigCopy");
        QTest::newRow("record fails") << true << false;
        QTest::newRow("copy fails") << false << true;
        QTest::newRow("both fail") << true << true;
    }
    void setAsideWriteFails() {
        QFETCH(bool, bigRecord);
        QFETCH(bool, bigCopy);
        addPair("report.doc", "old record", "old copy");
        addPair("other.doc", "other record", "other copy");
        const QMap<QString, QString> before = snapshot(m_folder);
        std::optional<TSSetAsidePair> aside = m_store->SetAside("report.doc");
        QVERIFY(aside.has_value());

        const QString record = bigRecord ? QString(kOverLimit, 'R') : QString("new record");
        const QByteArray copy = bigCopy ? QByteArray(kOverLimit, 'C') : QByteArray("new copy");
        TSStoreWriteResult result;
        {
            FileSizeLimit limit(kLimit);
            result = m_store->WritePair("report.doc", record, copy, &*aside);
        }
        QCOMPARE(result.recordFailed, bigRecord);
        QCOMPARE(result.copyFailed, bigCopy);
        QVERIFY(result.oldPairRestored);
        QVERIFY(!aside->isPending());
        QCOMPARE(snapshot(m_folder), before);
    }

    // When a name is taken again while the pair is aside, the old file that cannot go back
    // keeps its hidden name: nothing is overwritten and nothing is lost.
    void setAsideNameTakenMeanwhile() {
        addPair("report.doc", "old record", "old copy");
        std::optional<TSSetAsidePair> aside = m_store->SetAside("report.doc");
        QVERIFY(aside.has_value());
        QVERIFY(QDir().mkdir(m_store->CopyPath("report.doc")));

        const TSStoreWriteResult result = m_store->WritePair("report.doc", "new record", "new copy", &*aside);
        QVERIFY(!result.recordFailed);
        QVERIFY(result.copyFailed);
        QVERIFY(!result.oldPairRestored);
        QCOMPARE(contents(m_store->RecordPath("report.doc")), QByteArray("old record"));
        QVERIFY(QFileInfo(m_store->CopyPath("report.doc")).isDir());
        const QStringList hidden = hiddenEntries(m_folder);
        QCOMPARE(hidden.size(), 1);
        QCOMPARE(contents(m_folder + hidden.first()), QByteArray("old copy"));
    }

    // A pair that cannot be set aside is reported and loses nothing.
    void setAsideRefused_data() {
        QTest::addColumn<QString>("state");
        QTest::newRow("copy missing") << "copy-missing";
        QTest::newRow("record missing") << "record-missing";
        QTest::newRow("copy is a folder") << "copy-folder";
        QTest::newRow("record is a folder") << "record-folder";
        QTest::newRow("store folder missing") << "no-store";
    }
    void setAsideRefused() {
        QFETCH(QString, state);
        const QString record = m_store->RecordPath("report.doc");
        const QString copy = m_store->CopyPath("report.doc");
        if (state == "record-folder")
            QVERIFY(QDir().mkdir(record));
        else if (state != "record-missing")
            QVERIFY(writeFile(record, "old record", 0444));
        if (state == "copy-folder")
            QVERIFY(QDir().mkdir(copy) && writeFile(copy + "/inside", "kept"));
        else if (state != "copy-missing")
            QVERIFY(writeFile(copy, "old copy", 0444));
        if (state == "no-store")
            QVERIFY(QDir(m_folder).removeRecursively());
        const QMap<QString, QString> before = snapshot(m_folder);

        QVERIFY(!m_store->SetAside("report.doc").has_value());
        QCOMPARE(snapshot(m_folder), before);
        if (state == "copy-folder")
            QCOMPARE(contents(copy + "/inside"), QByteArray("kept"));
    }

    void putBackAndDiscard_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("put back") << "put-back";
        QTest::newRow("dropped") << "dropped";
        QTest::newRow("moved, then dropped") << "moved";
        QTest::newRow("discarded") << "discard";
    }
    void putBackAndDiscard() {
        QFETCH(QString, how);
        addPair("a.b.c", "old record", "old copy");
        const QMap<QString, QString> before = snapshot(m_folder);
        {
            std::optional<TSSetAsidePair> aside = m_store->SetAside("a.b.c");
            QVERIFY(aside.has_value());
            if (how == "put-back") {
                QVERIFY(aside->PutBack());
                QVERIFY(!aside->isPending());
                QVERIFY(aside->PutBack());
            } else if (how == "moved") {
                TSSetAsidePair moved = std::move(*aside);
                QVERIFY(!aside->isPending());
                QVERIFY(moved.isPending());
            } else if (how == "discard") {
                QVERIFY(aside->Discard());
                QVERIFY(!aside->isPending());
            }
        }
        if (how == "discard")
            QCOMPARE(entries(m_folder), QStringList());
        else
            QCOMPARE(snapshot(m_folder), before);
    }

    void copyPathForRecord_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("extension"); // as FindExtension gives it
        QTest::addColumn<QString>("expected");
        QTest::newRow("two extensions") << "report.doc.p7s"
                                        << "p7s"
                                        << "report.doc";
        QTest::newRow("three dots") << "a.b.c.p7s"
                                    << "p7s"
                                    << "a.b.c";
        QTest::newRow("no extension") << "abc"
                                      << ""
                                      << "ab";
        QTest::newRow("one character") << "a"
                                       << ""
                                       << "";
        QTest::newRow("leading dot only") << ".p7s"
                                          << ""
                                          << ".p7";
        QTest::newRow("non-ascii") << "Résumé.doc.p7s"
                                   << "p7s"
                                   << "Résumé.doc";
    }
    void copyPathForRecord() {
        QFETCH(QString, title);
        QFETCH(QString, extension);
        QFETCH(QString, expected);
        QCOMPARE(m_store->CopyPathForRecord(title, extension), m_folder + expected);
    }

    // The plain deletion of an empty copy never overrides a read-only mark and never removes a
    // file with bytes, a folder or a link.
    void removeEmptyCopy_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("removed");
        QTest::newRow("empty, writable") << "file" << QByteArray() << 0644 << true;
        QTest::newRow("empty, owner-write only") << "file" << QByteArray() << 0200 << true;
        QTest::newRow("empty, read-only") << "file" << QByteArray() << 0444 << false;
        QTest::newRow("empty, no permissions") << "file" << QByteArray() << 0 << false;
        QTest::newRow("empty, writable by others only") << "file" << QByteArray() << 0466 << false;
        QTest::newRow("one byte, writable") << "file" << QByteArray("x") << 0644 << false;
        QTest::newRow("one byte, read-only") << "file" << QByteArray("x") << 0444 << false;
        QTest::newRow("empty folder") << "folder" << QByteArray() << 0755 << false;
        QTest::newRow("store folder itself") << "store" << QByteArray() << 0755 << false;
        QTest::newRow("link to an empty file") << "link" << QByteArray() << 0644 << false;
        QTest::newRow("pipe") << "pipe" << QByteArray() << 0644 << false;
        QTest::newRow("missing") << "missing" << QByteArray() << 0644 << false;
    }
    void removeEmptyCopy() {
        QFETCH(QString, kind);
        QFETCH(QByteArray, bytes);
        QFETCH(int, mode);
        QFETCH(bool, removed);
        QString path = m_folder + "report.doc";
        const QString target = m_dir->path() + "/target";
        if (kind == "file")
            QVERIFY(writeFile(path, bytes, mode_t(mode)));
        else if (kind == "folder")
            QVERIFY(QDir().mkdir(path));
        else if (kind == "store")
            path = m_folder; // what a one-character record title gives
        else if (kind == "link")
            QVERIFY(writeFile(target, bytes, mode_t(mode)) && QFile::link(target, path));
        else if (kind == "pipe")
            QCOMPARE(::mkfifo(enc(path).constData(), mode_t(mode)), 0);

        QCOMPARE(TSRegistrationStore::RemoveEmptyCopy(path), removed);
        const bool present = modeOf(path) != 0;
        QCOMPARE(present, kind != "missing" && !removed);
        if (kind == "file" && !removed)
            QCOMPARE(QFileInfo(path).size(), bytes.size());
        if (kind == "link")
            QVERIFY(QFileInfo::exists(target));
    }
};

QTEST_APPLESS_MAIN(TestRegistrationStore)
#include "test_registrationstore.moc"
