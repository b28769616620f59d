// View > Registered Files... without a window: every way the command can end, against a scripted
// user and pane, with the real store in a temporary program folder. Certificate records are made
// with OpenSSL's own CMS code by a certificate in no NSS database; nothing in the store changes
// except an empty copy that is not read-only.

#include "app/FindExtension.h"
#include "commands/TSVerifyCommand.h"
#include "common/TestPki.h"

#include "FakeSession.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// A certificate record in the interoperable layout: SHA-1, the fingerprint as UTF-16LE content,
// the signing time, and the document name as UTF-16LE with its NUL.
QByteArray opensslRecord(const QByteArray& document, const QDateTime& when, const QString& name) {
    return testpki::signAsOutsider({.content = testpki::utf16le(fingerprintOf(document)),
                                    .signingTime = when,
                                    .digest = u"sha1"_s,
                                    .nameOctets = testpki::utf16le(name) + QByteArray(2, '\0')})
        .toBase64();
}

bool writeFile(const QString& path, const QByteArray& bytes, mode_t mode = 0444) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() &&
           ::chmod(QFile::encodeName(path).constData(), mode) == 0;
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
        const QDateTime now = QDateTime::currentDateTime(), pi(QDate(2005, 3, 14), QTime(9, 15, 23));
        const QString plan = u"plan.doc"_s, odd = u"Résumé \"final\" <v2> & 'co'.txt"_s;
        const QStringList damaged{tell(TSMessage::LibraryError, {u"*"_s}), tell(TSMessage::DoesNotVerify)};
        const auto verified = [](const QString& time, const QString& name) {
            return QStringList{tell(TSMessage::Verified, {time, name})};
        };
        const auto row = [](const char* name, const QString& document, const QDateTime& when,
                            const char* change, const QStringList& told) {
            QTest::newRow(name) << document << when << QString::fromLatin1(change) << told;
        };
        row("the example time", plan, pi, "", verified(u"3/14/2005 9:15:23 AM"_s, plan));
        row("renamed with its copy: the signed name is shown", plan, pi, "renamed",
            verified(u"3/14/2005 9:15:23 AM"_s, plan));
        row("odd name, 2049, record picked elsewhere", odd, QDateTime(QDate(2049, 12, 31), QTime(23, 59, 59)),
            "elsewhere", verified(u"12/31/2049 11:59:59 PM"_s, odd));
        row("copy changed by one byte", plan, now, "copy", {tell(TSMessage::DoesNotVerify)});
        row("Base64 altered", plan, now, "base64", damaged);
        row("Exit in the first pass of events", plan, now, "abandon", {});
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
        const QString copy = tell(TSMessage::DocumentCannotBeRead),
                      record = tell(TSMessage::FileCannotBeRead);
        const char* const rows[][2] = {
            {"copy missing, record picked elsewhere beside one", "missing"},
            {"copy empty: removed", "empty"},
            {"copy empty and read-only", "empty read-only"},
            {"copy is a folder", "folder"},
            {"record empty", "empty record"},
            {"record is a named pipe", "fifo record"},
            // Its bytes fit in the address space left, its text (two bytes a character) does not.
            {"record too large to convert", "huge record"},
        };
        for (const auto& [name, kind] : rows)
            QTest::newRow(name) << QString::fromLatin1(kind)
                                << (QByteArray(kind).contains("record") ? record : copy);
    }
    void notReadable() {
        QFETCH(QString, kind);
        QFETCH(QString, told);
        const QString name = u"notes.txt"_s;
        QString recordPath = store() + name + u".p7s"_s;
        const QString copyPath = store() + name;
        const QByteArray record = opensslRecord("notes", QDateTime::currentDateTime(), name);
        constexpr qint64 hugeSize = qint64(16) << 20;
        if (kind == "fifo record"_L1)
            QCOMPARE(::mkfifo(QFile::encodeName(recordPath).constData(), 0644), 0);
        else if (kind == "huge record"_L1) // a sparse file, read as that many bytes
            QVERIFY(QFile(recordPath).open(QIODevice::WriteOnly) && QFile(recordPath).resize(hugeSize));
        else
            QVERIFY(writeFile(recordPath, kind == "empty record"_L1 ? QByteArray() : record));
        if (kind.startsWith("empty"_L1) && kind != "empty record"_L1)
            QVERIFY(writeFile(copyPath, QByteArray(), kind == "empty"_L1 ? 0644 : 0444));
        else if (kind == "folder"_L1)
            QVERIFY(QDir().mkpath(copyPath));
        else if (kind != "missing"_L1)
            QVERIFY(writeFile(copyPath, "notes"));
        if (kind == "missing"_L1) { // only the store's copy counts, never one beside the picked record
            recordPath = m_elsewhere.filePath(name + u".p7s"_s);
            QVERIFY(writeFile(recordPath, record) && writeFile(m_elsewhere.filePath(name), "notes"));
        }
        QStringList entries = folderState(store());
        FakeSession session;
        session.files = {FakeSession::chosen(recordPath)};
        if (kind != "huge record"_L1) {
            run(session);
        } else {
#if defined(__SANITIZE_ADDRESS__) || (defined(__has_feature) && __has_feature(address_sanitizer))
            QSKIP("address-space limits do not suit AddressSanitizer");
#endif
            QFile statm(u"/proc/self/statm"_s); // the address space in use, in pages, comes first
            QVERIFY(statm.open(QIODevice::ReadOnly));
            const qint64 used = statm.readAll().split(' ').value(0).toLongLong() * ::sysconf(_SC_PAGESIZE);
            QVERIFY(
                withLimit(RLIMIT_AS, rlim_t(used + hugeSize + (qint64(12) << 20)), [&] { run(session); }));
        }
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
        const QString noAccess = u"error page ts_noaccess.htm"_s;
        QTest::newRow("verified at the site") << u""_s << posted;
        QTest::newRow("login cancelled")
            << u"cancel"_s << QStringList{tell(TSMessage::VerificationCancelled)};
        QTest::newRow("verify page unreachable")
            << u"first"_s << opened + QStringList{u"hide, refresh"_s, noAccess};
        QTest::newRow("form cannot be built") << u"notstarted"_s << posted + QStringList{noAccess};
        QTest::newRow("Exit in the login dialog") << u"abandon=login"_s << QStringList();
        QTest::newRow("Exit while the page loads") << u"abandon=open"_s << opened;
        QTest::newRow("dialog cancelled") << u"dialog-cancel"_s << QStringList();
    }
    void siteRecord() {
        QFETCH(QString, setup);
        QFETCH(QStringList, tail);
        const QString name = u"site's \"plan\" é.txt"_s;
        const QByteArray record = "V.01_MIIB+/=";
        QVERIFY(writeFile(store() + name + u".p7s"_s, record) && writeFile(store() + name, "site document"));
        FakeSession session;
        if (setup != "dialog-cancel"_L1)
            session.files = {FakeSession::chosen(store() + name + u".p7s"_s)};
        if (setup != "cancel"_L1)
            session.credentials = TSUser::Credentials{u"alice"_s, u" pass word "_s};
        if (setup.startsWith("abandon="_L1))
            session.abandonAt = setup.mid(8);
        session.firstPage = setup == "first"_L1 ? TSWaitEnd::Failed : TSWaitEnd::Loaded;
        session.post = setup == "notstarted"_L1 ? TSWaitEnd::NotStarted : TSWaitEnd::Loaded;
        const QStringList log = run(session);
        const QStringList start{u"page ts_intro.htm"_s, u"file "_s + store() + u"*.p7s"_s, u"login"_s};
        QCOMPARE(log, (setup == "dialog-cancel"_L1 ? start.first(2) : start + tail));
        if (setup.isEmpty())
            QCOMPARE(session.posted,
                     TSSiteExchange::FormFields({{u"filename"_s, store() + name},
                                                 {u"filehash"_s, fingerprintOf("site document")},
                                                 {u"user"_s, u"alice"_s},
                                                 {u"pwd"_s, u" pass word "_s},
                                                 {u"sig"_s, QString::fromLatin1(record)}}));
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
