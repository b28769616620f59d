// View > Registered Files... without a window: every way the command can end, against a scripted
// user and pane, with the real store in a temporary program folder. Certificate records are made
// with OpenSSL's own CMS code by a certificate in no NSS database; nothing in the store changes
// except an empty copy that is not read-only.

#include "app/FindExtension.h"
#include "certstore/OpensslCms.h"
#include "commands/TSVerifyCommand.h"

#include "FakeSession.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

QString fingerprintOf(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex().toUpper());
}

// A certificate record in the interoperable layout: SHA-1, the fingerprint as UTF-16LE content,
// the signing time, and the document name as UTF-16LE with its NUL.
QByteArray opensslRecord(const QByteArray& document, const QDateTime& when, const QString& name) {
    QStringEncoder utf16le(QStringConverter::Utf16LE);
    opensslcms::Options options;
    options.content = utf16le.encode(fingerprintOf(document));
    options.digest = u"sha1"_s;
    options.signingTime = when;
    options.nameOctets = QByteArray(utf16le.encode(name)) + QByteArray(2, '\0');
    QString error;
    const QByteArray der = opensslcms::sign(options, &error);
    if (der.isEmpty())
        qWarning("OpenSSL: %s", qPrintable(error));
    return der.toBase64();
}

bool writeFile(const QString& path, const QByteArray& bytes, mode_t mode = 0444) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() &&
           ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

QString tell(TSMessage message, const QStringList& arguments = {}) {
    return FakeSession::told(message, arguments);
}

const QString kProgress =
    u"progress %1|%2|busy"_s.arg(TSCommandTexts::VerifyCaption(), TSCommandTexts::VerifyingText());

} // namespace

class TestVerifyCommand : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> m_program;
    QTemporaryDir m_elsewhere;

    QString store() const { return m_program->path() + u"/Registered/"_s; }
    QStringList run(FakeSession& session) {
        TSVerifyCommand(session, session, m_program->path(), &FindExtension).Run();
        return session.log;
    }

private Q_SLOTS:
    void init() {
        m_program = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir().mkpath(store()));
    }

    // Certificate records: what the signature holds is shown; a changed copy is told once, a
    // damaged record first with the library's error.
    void certificateRecord_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QDateTime>("when");
        QTest::addColumn<QString>("change");
        QTest::addColumn<QStringList>("told"); // a trailing "*" matches any arguments
        const QDateTime now = QDateTime::currentDateTime();
        const QString plan = u"plan.doc"_s;
        const QString odd = u"Résumé \"final\" <v2> & 'co'.txt"_s;
        const QStringList damaged{tell(TSMessage::LibraryError, {u"*"_s}), tell(TSMessage::DoesNotVerify)};
        QTest::newRow("the example time")
            << plan << QDateTime(QDate(2005, 3, 14), QTime(9, 15, 23)) << QString()
            << QStringList{tell(TSMessage::Verified, {u"3/14/2005 9:15:23 AM"_s, plan})};
        QTest::newRow("renamed with its copy: the signed name is shown")
            << plan << QDateTime(QDate(2005, 3, 14), QTime(9, 15, 23)) << u"renamed"_s
            << QStringList{tell(TSMessage::Verified, {u"3/14/2005 9:15:23 AM"_s, plan})};
        QTest::newRow("odd name, 2049, record picked elsewhere")
            << odd << QDateTime(QDate(2049, 12, 31), QTime(23, 59, 59)) << u"elsewhere"_s
            << QStringList{tell(TSMessage::Verified, {u"12/31/2049 11:59:59 PM"_s, odd})};
        QTest::newRow("copy changed by one byte")
            << plan << now << u"copy"_s << QStringList{tell(TSMessage::DoesNotVerify)};
        QTest::newRow("Base64 altered") << plan << now << u"base64"_s << damaged;
        QTest::newRow("V.01_ inside: still a certificate record") << plan << now << u"tag"_s << damaged;
        QTest::newRow("Exit in the first pass of events") << plan << now << u"abandon"_s << QStringList();
    }
    void certificateRecord() {
        QFETCH(QString, name);
        QFETCH(QDateTime, when);
        QFETCH(QString, change);
        QFETCH(QStringList, told);
        QByteArray document = name.toUtf8();
        QByteArray record = opensslRecord(document, when, name);
        QVERIFY(!record.isEmpty());
        QString shownAs = change == "renamed"_L1 ? u"renamed.txt"_s : name;
        if (change == "copy"_L1)
            document[3] = document[3] ^ 0x01;
        else if (change == "base64"_L1) // a character of the signature value near the end
            record[record.size() - 40] = record[record.size() - 40] == 'A' ? 'B' : 'A';
        else if (change == "tag"_L1)
            record.insert(record.size() / 2, "V.01_");
        QVERIFY(writeFile(store() + shownAs + u".p7s"_s, record) && writeFile(store() + shownAs, document));
        FakeSession session;
        session.files = {FakeSession::chosen(store() + shownAs + u".p7s"_s)};
        if (change == "elsewhere"_L1) {
            session.files = {FakeSession::chosen(m_elsewhere.filePath(name + u".p7s"_s))};
            QVERIFY(writeFile(session.files[0].path, record));
        }
        if (change == "abandon"_L1)
            session.abandonAt = u"events"_s;
        const QStringList before = folderState(store());
        // The library's own error number and text are not this test's business.
        const QString libraryError = tell(TSMessage::LibraryError);
        QStringList seen;
        for (const QString& entry : run(session))
            if (entry.startsWith("tell"_L1))
                seen << (entry.startsWith(libraryError) ? libraryError + u'*' : entry);
        QCOMPARE(seen, told);
        QCOMPARE(folderState(store()), before);
        QCOMPARE(
            session.log.mid(0, 4),
            (QStringList{u"page ts_intro.htm"_s, u"file "_s + store() + u"*.p7s"_s, kProgress, u"events"_s}));
        if (change != "abandon"_L1)
            QCOMPARE(session.log[4], u"hide"_s);
    }

    // A record or copy that cannot be read. Of the copies only an empty file that is not marked
    // read-only is removed.
    void notReadable_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("told");
        const QString copy = tell(TSMessage::DocumentCannotBeRead);
        const QString record = tell(TSMessage::FileCannotBeRead);
        QTest::newRow("copy missing, record picked elsewhere beside one") << u"missing"_s << copy;
        QTest::newRow("copy empty: removed") << u"empty"_s << copy;
        QTest::newRow("copy empty and read-only") << u"empty read-only"_s << copy;
        QTest::newRow("copy is a folder") << u"folder"_s << copy;
        QTest::newRow("one-character title: the copy path is the store") << u"store"_s << copy;
        QTest::newRow("record empty") << u"empty record"_s << record;
        QTest::newRow("record is a named pipe") << u"fifo"_s << record;
        // Its bytes fit in the address space left, its text (two bytes a character) does not.
        QTest::newRow("record too large to convert") << u"huge record"_s << record;
    }
    void notReadable() {
        QFETCH(QString, kind);
        QFETCH(QString, told);
        const QString name = u"notes.txt"_s;
        QString recordPath = store() + name + u".p7s"_s;
        const QString copyPath = kind == "store"_L1 ? store() : store() + name;
        const QByteArray record = opensslRecord("notes", QDateTime::currentDateTime(), name);
        constexpr qint64 hugeSize = qint64(16) << 20;
        if (kind == "fifo"_L1)
            QCOMPARE(::mkfifo(QFile::encodeName(recordPath).constData(), 0644), 0);
        else if (kind == "huge record"_L1) // a sparse file, read as that many bytes
            QVERIFY(QFile(recordPath).open(QIODevice::WriteOnly) && QFile(recordPath).resize(hugeSize));
        else
            QVERIFY(writeFile(recordPath, kind == "empty record"_L1 ? QByteArray() : record));
        if (kind.startsWith("empty"_L1) && kind != "empty record"_L1)
            QVERIFY(writeFile(copyPath, QByteArray(), kind == "empty"_L1 ? 0644 : 0444));
        else if (kind == "folder"_L1)
            QVERIFY(QDir().mkpath(copyPath));
        else if (kind != "missing"_L1 && kind != "store"_L1)
            QVERIFY(writeFile(copyPath, "notes"));
        if (kind == "missing"_L1) { // only the store's copy counts, never one beside the picked record
            recordPath = m_elsewhere.filePath(name + u".p7s"_s);
            QVERIFY(writeFile(recordPath, record) && writeFile(m_elsewhere.filePath(name), "notes"));
        } else if (kind == "store"_L1) {
            QVERIFY(QFile::rename(recordPath, store() + u'x'));
            recordPath = store() + u'x';
        }
        QStringList entries = folderState(store());
        FakeSession session;
        session.files = {FakeSession::chosen(recordPath)};
        rlimit saved{};
        if (kind == "huge record"_L1) {
#if defined(__SANITIZE_ADDRESS__) || (defined(__has_feature) && __has_feature(address_sanitizer))
            QSKIP("address-space limits do not suit AddressSanitizer");
#endif
            QFile status(u"/proc/self/status"_s);
            QVERIFY(status.open(QIODevice::ReadOnly));
            const QByteArray all = status.readAll();
            const QByteArray line = all.mid(all.indexOf("VmSize:")).split('\n').value(0);
            QCOMPARE(::getrlimit(RLIMIT_AS, &saved), 0);
            rlimit lowered = saved;
            lowered.rlim_cur = rlim_t(line.mid(7).trimmed().split(' ').value(0).toLongLong() * 1024 +
                                      hugeSize + (qint64(12) << 20));
            QCOMPARE(::setrlimit(RLIMIT_AS, &lowered), 0);
        }
        run(session);
        if (kind == "huge record"_L1)
            ::setrlimit(RLIMIT_AS, &saved);
        QCOMPARE(session.log.filter(QRegularExpression(u"^tell"_s)), QStringList{told});
        if (kind == "empty"_L1)
            entries.removeAt(0);
        QCOMPARE(folderState(store()), entries);
        QVERIFY(!session.log.last().startsWith("progress"_L1));
    }

    // Site records go back to the site with the copy's full path, a fresh fingerprint, the login
    // and the record exactly; the progress window is gone before the form is posted.
    void siteRecord_data() {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QStringList>("tail"); // the log after the login dialog
        const QStringList opened{kProgress, u"events"_s, u"open /scripts/register/verify.asp"_s};
        const QStringList posted =
            opened + QStringList{u"hide, refresh"_s, u"post /scripts/register/verify.asp"_s};
        QTest::newRow("verified at the site") << u""_s << posted;
        QTest::newRow("login cancelled")
            << u"cancel"_s << QStringList{tell(TSMessage::VerificationCancelled)};
        QTest::newRow("verify page unreachable")
            << u"first"_s << opened + QStringList{u"hide, refresh"_s, u"error page ts_noaccess.htm"_s};
        QTest::newRow("form cannot be built")
            << u"notstarted"_s << posted + QStringList{u"error page ts_noaccess.htm"_s};
        QTest::newRow("Exit in the login dialog") << u"abandon=login"_s << QStringList();
        QTest::newRow("Exit while the page loads") << u"abandon=open"_s << opened;
    }
    void siteRecord() {
        QFETCH(QString, setup);
        QFETCH(QStringList, tail);
        const QString name = u"site's \"plan\" é.txt"_s;
        const QByteArray record = "V.01_MIIB+/=";
        QVERIFY(writeFile(store() + name + u".p7s"_s, record) && writeFile(store() + name, "site document"));
        FakeSession session;
        session.files = {FakeSession::chosen(store() + name + u".p7s"_s)};
        if (setup != "cancel"_L1)
            session.credentials = TSUser::Credentials{u"alice"_s, u" pass word "_s};
        if (setup.startsWith("abandon="_L1))
            session.abandonAt = setup.mid(8);
        session.firstPage = setup == "first"_L1 ? TSWaitEnd::Failed : TSWaitEnd::Loaded;
        session.post = setup == "notstarted"_L1 ? TSWaitEnd::NotStarted : TSWaitEnd::Loaded;
        const QStringList log = run(session);
        QCOMPARE(log.mid(0, 3),
                 (QStringList{u"page ts_intro.htm"_s, u"file "_s + store() + u"*.p7s"_s, u"login"_s}));
        QCOMPARE(log.mid(3), tail);
        if (setup.isEmpty())
            QCOMPARE(session.posted,
                     TSSiteExchange::FormFields({{u"filename"_s, store() + name},
                                                 {u"filehash"_s, fingerprintOf("site document")},
                                                 {u"user"_s, u"alice"_s},
                                                 {u"pwd"_s, u" pass word "_s},
                                                 {u"sig"_s, QString::fromLatin1(record)}}));
    }

    void dialogCancelled() {
        FakeSession session;
        QCOMPARE(run(session), (QStringList{u"page ts_intro.htm"_s, u"file "_s + store() + u"*.p7s"_s}));
    }
};

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    // Time stamps are shown in the program's locale: a United States one here.
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    TestVerifyCommand test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_verifycommand.moc"
