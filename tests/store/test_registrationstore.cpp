#include "store/TSRegistrationStore.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool writeFile(const QString& path, const QByteArray& data, mode_t mode = 0644) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
        return false;
    file.close();
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

mode_t modeOf(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode : 0;
}

QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

// Every entry of a folder with its mode and content, to show that nothing changed.
QMap<QString, QString> snapshot(const QString& folder) {
    QMap<QString, QString> result;
    for (const QString& name : entries(folder))
        result.insert(name, QString::number(modeOf(folder + name), 8) + contents(folder + name).toHex());
    return result;
}

// A registered pair as snapshot shows it: the record and the copy, both read-only files.
QMap<QString, QString> pairOf(const QString& name, const QByteArray& record, const QByteArray& copy) {
    return {{name, "100444" + copy.toHex()}, {name + ".p7s", "100444" + record.toHex()}};
}

constexpr qsizetype kOverLimit = 256 * 1024;

// Runs the action while writes past 64 KiB fail (EFBIG), which holds for root too.
template <typename Action> auto withSizeLimit(Action action) {
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit lowered = saved;
    lowered.rlim_cur = 64 * 1024;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &lowered);
    const auto result = action();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    return result;
}

// Copies bytes into the pending pair's new copy as a document read from a file; a document that
// cannot be read (a descriptor open for writing only) when unreadable.
bool copyIn(TSPendingPair& pending, const QByteArray& bytes, bool unreadable = false) {
    const int fd = ::memfd_create("document", MFD_CLOEXEC);
    const bool written = fd >= 0 && ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    const int source = unreadable ? ::open("/dev/null", O_WRONLY | O_CLOEXEC) : fd;
    const bool copied = written && ::lseek(fd, 0, SEEK_SET) == 0 &&
                        pending.CopyDocument(source).outcome == TSFingerprintStream::Result::Outcome::Done;
    if (source != fd)
        ::close(source);
    ::close(fd);
    return copied;
}

} // namespace

class TestRegistrationStore : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<TSRegistrationStore> m_store;
    QString m_folder;

    // An earlier registration in the store.
    void addPair(const QString& name) {
        QVERIFY(writeFile(m_folder + name + ".p7s", "old record", 0444));
        QVERIFY(writeFile(m_folder + name, "old copy", 0444));
    }
    // Puts a thing of the given kind at path: a read-only file, a folder, a pipe, a link.
    void make(const QString& kind, const QString& path, const QByteArray& bytes = "MIIB") {
        const QString target = m_dir->path() + "/target";
        if (kind == "file")
            QVERIFY(writeFile(path, bytes, 0444));
        else if (kind == "folder")
            QVERIFY(QDir().mkdir(path));
        else if (kind == "pipe")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
        else if (kind == "link")
            QVERIFY(writeFile(target, "") && QFile::link(target, path));
        else if (kind == "dangling")
            QVERIFY(QFile::link(m_dir->path() + "/missing", path));
    }

private Q_SLOTS:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_store = std::make_unique<TSRegistrationStore>(m_dir->path());
        m_folder = m_store->folder();
        QVERIFY(m_store->EnsureFolder());
    }

    void copyPathForRecord() {
        QCOMPARE(m_store->CopyPathForRecord("a.b.c.p7s", "p7s"), m_folder + "a.b.c");
        QCOMPARE(m_store->CopyPathForRecord("abc", ""), m_folder + "ab"); // no extension: one less
        QCOMPARE(m_store->CopyPathForRecord("x", ""), m_folder);
    }

    // A program folder the user may not write (an installed program's) puts the store in the
    // user's data folder, made with its missing parents at the first registration. Where something
    // else is in the way of the folder, nothing can be written and what is in the way stays.
    void storeFolder_data() {
        QTest::addColumn<mode_t>("mode");
        QTest::addColumn<QString>("xdg");
        QTest::addColumn<QString>("inTheWay");
        QTest::addColumn<QString>("expected");
        const QString shared = "home/.local/share/tessaro/Registered/";
        QTest::newRow("own folder") << mode_t(0755) << "/data" << QString() << "program/Registered/";
        for (const char* kind : {"file", "dangling"})
            QTest::addRow("%s in the way", kind) << mode_t(0755) << "/data" << kind << "program/Registered/";
        QTest::newRow("read-only folder")
            << mode_t(0555) << "/data" << QString() << "data/tessaro/Registered/";
        QTest::newRow("no XDG_DATA_HOME") << mode_t(0555) << QString() << QString() << shared;
        QTest::newRow("relative XDG_DATA_HOME") << mode_t(0555) << "data" << QString() << shared;
    }
    void storeFolder() {
        QFETCH(mode_t, mode);
        QFETCH(QString, xdg);
        QFETCH(QString, inTheWay);
        QFETCH(QString, expected);
        const QString base = m_dir->path() + "/";
        qputenv("HOME", QFile::encodeName(base + "home"));
        qputenv("XDG_DATA_HOME", QFile::encodeName(xdg.startsWith('/') ? base + xdg.mid(1) : xdg));
        QVERIFY(QDir().mkdir(base + "program"));
        make(inTheWay, base + "program/Registered");
        QCOMPARE(::chmod(QFile::encodeName(base + "program"), mode), 0);
        const TSRegistrationStore store(base + "program");
        const bool ensured = store.EnsureFolder();
        const bool again = store.EnsureFolder(); // finds what the first left
        ::chmod(QFile::encodeName(base + "program"), 0755);
        QCOMPARE(store.folder(), base + expected);
        const bool made = inTheWay.isEmpty();
        QVERIFY(ensured == made && again == made && QFileInfo(store.folder()).isDir() == made);
        QCOMPARE(TSPendingPair(store, "a.doc").isOpen(), made);
        QVERIFY(mode != 0555 || (modeOf(store.folder() + "..") & 0777) == 0700);
        QVERIFY(inTheWay != "file" || contents(base + "program/Registered") == "MIIB");
    }

    // A record is there only when it opens as a regular file (reading never blocks), and reads
    // whole, byte for byte.
    void readRecord_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << "file" << QByteArray("");
        QTest::newRow("blanks and line breaks kept") << "file" << QByteArray("  V.01_a\r\nb\n ");
        QTest::newRow("non-ascii") << "file" << QString("V.01_Résumé – 履歴書").toUtf8();
        QTest::newRow("larger than any buffer") << "file" << QByteArray("0123456789abcdef-").repeated(200000);
        for (const char* kind : {"link", "missing", "folder", "pipe", "dangling"})
            QTest::newRow(kind) << kind << QByteArray();
    }
    void readRecord() {
        QFETCH(QString, kind);
        QFETCH(QByteArray, bytes);
        const QString path = m_store->RecordPath("doc");
        const bool exists = kind == "file" || kind == "link";
        make(kind, path, bytes);
        QCOMPARE(m_store->RecordExists("doc"), exists);
        QCOMPARE(TSRegistrationStore::ReadRecord(path),
                 exists ? std::optional(QString::fromUtf8(bytes)) : std::nullopt);
    }

private:
    QStringList workFolders() { return entries(m_folder).filter(QRegularExpression("^\\.tessaro-")); }

    // Writes a new pair; a pair set aside first when oldPair, a size limit when limited, a
    // document that cannot be read when unreadable.
    TSStoreWriteResult publish(const QString& name, const QString& record, const QByteArray& copy,
                               bool oldPair = false, bool limited = false, bool unreadable = false) {
        TSPendingPair pending(*m_store, name);
        if (!pending.isOpen() || (oldPair && !pending.SetAsideOldPair()))
            return {true, true, false};
        const auto write = [&] {
            copyIn(pending, copy, unreadable);
            return pending.Publish(record);
        };
        return limited ? withSizeLimit(write) : write();
    }

private Q_SLOTS:
    // A registered pair is exactly the record and the copy, both read-only, and the record is
    // the registration data with nothing added.
    void publish_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("data");
        QTest::newRow("certificate record") << "report.doc"
                                            << "MIIGxgYJKoZIhvcNAQcCoIIGtzCCBrMCAQEx";
        QTest::newRow("site record, odd name") << "Résumé – 履歴書 it's #1.doc"
                                               << "  V.01_abc \n";
        QTest::newRow("longest name") << QString(251, 'n') << "V.01_";
    }
    void publish() {
        QFETCH(QString, name);
        QFETCH(QString, data);
        const QByteArray document("\xff\0\r\nbytes", 9);
        QVERIFY(publish(name, data, document).ok());
        QCOMPARE(snapshot(m_folder), pairOf(name, data.toUtf8(), document));
        // Re-created: the old pair set aside and then replaced.
        QVERIFY(publish(name, "again", "again", true).ok());
        QCOMPARE(snapshot(m_folder), pairOf(name, "again", "again"));
    }

    // A file that cannot be written (its name taken, too large, or the document unreadable) fails
    // on its own and replaces nothing; the other file of the pair is written all the same,
    // read-only. With a pair set aside, either failure brings the old pair back whole and the new
    // file that was written goes. Names ending in "/" are folders.
    void publishFails_data() {
        QTest::addColumn<QStringList>("taken");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("setAside");
        QTest::addColumn<QString>("cause");  // "record", "copy", "both": too large; "read": unreadable
        QTest::addColumn<QString>("failed"); // "record", "copy", "both"
        const auto row = [](const char* tag, const QStringList& taken, const char* name, bool setAside,
                            const char* cause, const char* failed) {
            QTest::newRow(tag) << taken << QString(name) << setAside << QString(cause) << QString(failed);
        };
        row("earlier writable copy", {"a.doc"}, "a.doc", false, "", "copy");
        row("folder at the record", {"a.doc.p7s/"}, "a.doc", false, "", "record");
        row("copy of report.p7s against the record of report", {"report", "report.p7s"}, "report.p7s", false,
            "", "copy");
        row("copy too large", {}, "report.doc", false, "copy", "copy");
        row("document unreadable", {}, "report.doc", false, "read", "copy");
        row("set aside, record too large", {}, "report.doc", true, "record", "record");
        row("set aside, copy too large", {}, "report.doc", true, "copy", "copy");
        row("set aside, both too large", {}, "report.doc", true, "both", "both");
        row("set aside, document unreadable", {}, "report.doc", true, "read", "copy");
    }
    void publishFails() {
        QFETCH(QStringList, taken);
        QFETCH(QString, name);
        QFETCH(bool, setAside);
        QFETCH(QString, cause);
        QFETCH(QString, failed);
        addPair("other.doc");
        if (setAside)
            addPair(name);
        for (const QString& path : taken)
            QVERIFY(path.endsWith('/') ? QDir().mkdir(m_folder + path) : writeFile(m_folder + path, "old"));
        const QMap<QString, QString> before = snapshot(m_folder);
        const bool bigRecord = cause == "record" || cause == "both",
                   bigCopy = cause == "copy" || cause == "both";
        const TSStoreWriteResult result = publish(
            name, bigRecord ? QString(kOverLimit, 'R') : QString("new record"),
            bigCopy ? QByteArray(kOverLimit, 'C') : QByteArray("new copy"), setAside, true, cause == "read");
        QCOMPARE(result.recordFailed, failed != "copy");
        QCOMPARE(result.copyFailed, failed != "record");
        QCOMPARE(result.oldPairRestored, setAside);
        // What was there is unchanged; what is left besides is the new file that could be written.
        QMap<QString, QString> after = snapshot(m_folder);
        for (auto it = before.begin(); it != before.end(); ++it)
            QCOMPARE(after.take(it.key()), it.value());
        QMap<QString, QString> written = pairOf(name, "new record", "new copy");
        written.remove(failed == "copy" ? name : name + ".p7s");
        QCOMPARE(after, (setAside || failed == "both" ? QMap<QString, QString>() : written));
    }

    // A pair that cannot be set aside (a file missing, or a folder in place of one) is reported
    // and loses nothing.
    void setAsideRefused() {
        for (const auto& [record, copy] :
             {std::pair{"file", "missing"}, {"folder", "file"}, {"file", "folder"}}) {
            QVERIFY(QDir(m_folder).removeRecursively() && m_store->EnsureFolder());
            make(record, m_store->RecordPath("report.doc"));
            make(copy, m_store->CopyPath("report.doc"));
            const QMap<QString, QString> before = snapshot(m_folder);
            QVERIFY(!TSPendingPair(*m_store, "report.doc").SetAsideOldPair());
            QCOMPARE(snapshot(m_folder), before);
        }
    }

    // What a command leaves when its process dies at each point, and what the next start makes
    // of it: the old pair back, or the new pair whole once its record was published; never a
    // record beside a copy of another registration, never a file lost. The child process sets
    // the pair aside and writes the new copy as far as `done` says and dies; the test then
    // adds what a death later on would have left.
    void recoverLeftovers_data() {
        QTest::addColumn<QString>("done");   // in the child: "", "aside", "aside copy", "copy"
        QTest::addColumn<QString>("later");  // then: "half aside", "partial copy", "record",
                                             // "record copy", "name taken"
        QTest::addColumn<QString>("result"); // "old", "new", "kept"
        const char* const rows[][4] = {
            {"half set aside", "aside", "half aside", "old"},
            {"set aside", "aside", "", "old"},
            {"copy being written", "aside", "partial copy", "old"},
            {"copy complete", "aside copy", "", "old"},
            {"record published", "aside copy", "record", "new"},
            {"record and copy published", "aside copy", "record copy", "new"},
            {"no old pair, record published", "copy", "record", "new"},
            {"no old pair, copy complete", "copy", "", "none"},
            {"a name taken meanwhile", "aside copy", "name taken", "kept"},
        };
        for (const auto& [tag, done, later, result] : rows)
            QTest::newRow(tag) << QString(done) << QString(later) << QString(result);
    }
    void recoverLeftovers() {
        QFETCH(QString, done);
        QFETCH(QString, later);
        QFETCH(QString, result);
        const QString name = "report.doc";
        addPair("other.doc");
        if (done.startsWith("aside"))
            addPair(name);
        const QMap<QString, QString> before = snapshot(m_folder);

        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            TSPendingPair pending(*m_store, name);
            const bool ok = pending.isOpen() && (!done.startsWith("aside") || pending.SetAsideOldPair()) &&
                            (!done.contains("copy") || copyIn(pending, "new copy"));
            ::_exit(ok ? 0 : 1); // no destructor: the process ends as a killed one does
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        QCOMPARE(workFolders().size(), 1);
        const QString work = m_folder + workFolders().first() + "/";
        if (later == "half aside")
            QVERIFY(QFile::rename(work + "old/" + name, m_folder + name));
        if (later == "partial copy")
            QVERIFY(QDir().mkdir(work + "new") && writeFile(work + "new/" + name, "new c", 0644));
        if (later.startsWith("record"))
            QVERIFY(writeFile(work + "record", "new record", 0444) &&
                    ::link(QFile::encodeName(work + "record"), QFile::encodeName(m_folder + name + ".p7s")) ==
                        0);
        if (later == "record copy")
            QVERIFY(QFile::rename(work + "new/" + name, m_folder + name));
        if (later == "name taken")
            QVERIFY(writeFile(m_folder + name + ".p7s", "someone else's", 0444));
        // A running command's folder is left alone.
        TSPendingPair running(*m_store, "running.doc");
        QVERIFY(copyIn(running, "running"));

        m_store->RecoverLeftovers();
        QMap<QString, QString> after = snapshot(m_folder), expected = before;
        QCOMPARE(workFolders().size(), result == "kept" ? 2 : 1);
        for (const QString& folder : workFolders())
            after.remove(folder);
        if (result == "new")
            expected.insert(pairOf(name, "new record", "new copy"));
        if (result == "kept") { // nothing moved; the old pair waits, whole, for a later start
            expected.remove(name);
            expected[name + ".p7s"] = "100444" + QByteArray("someone else's").toHex();
            QCOMPARE(contents(work + "old/" + name), QByteArray("old copy"));
            QCOMPARE(contents(work + "old/" + name + ".p7s"), QByteArray("old record"));
        }
        QCOMPARE(after, expected);
        QVERIFY(running.Abandon());
        QCOMPARE(workFolders().size(), result == "kept" ? 1 : 0);
    }

    // The plain deletion of an empty copy needs the owner's write bit and never removes a file
    // with bytes or a link.
    void removeEmptyCopy() {
        const QString path = m_folder + "report.doc";
        for (const auto& [bytes, mode, removed] :
             {std::tuple{"", 0644, true}, {"", 0466, false}, {"x", 0644, false}}) {
            QVERIFY(writeFile(path, bytes, mode_t(mode)));
            QCOMPARE(TSRegistrationStore::RemoveEmptyCopy(path), removed);
            QCOMPARE(modeOf(path) == 0, removed);
            QVERIFY(QFile::remove(path) || removed);
        }
        make("link", path);
        QVERIFY(!TSRegistrationStore::RemoveEmptyCopy(path) && QFileInfo(path).isSymLink());
    }
};

QTEST_APPLESS_MAIN(TestRegistrationStore)
#include "test_registrationstore.moc"
