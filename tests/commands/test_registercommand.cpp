// File > Register without a window: every way the command can end, against a scripted user and
// pane, with the real store in a temporary program folder and real NSS databases for the
// certificate method. Each row gives what the user was told, the local pages shown and the
// posts made, and whether the new pair was stored; otherwise the store must be as it was.

#include "FakeSession.h"
#include "certstore/CertLibrary.h"
#include "commands/TSRegisterCommand.h"
#include "common/NssFixture.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

const QString kName = u"it's \"quoted\" <b>&amp; Résumé 東京.doc"_s;
const QString kSignature = u"  V.01_with blanks  "_s;
const QString kCertPost = u"post /tessaro/user/regfile.asp"_s;
const QString kUserPost = u"post /scripts/register/regfile.asp"_s;

} // namespace

class TestRegisterCommand : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> m_program;
    QTemporaryDir m_documents;
    std::map<QString, std::unique_ptr<NssFixture>> m_nss;
    QString m_emptyHome;

    QString store() const { return m_program->path() + u"/Registered"_s; }
    QString writeDocument(const QString& name, const QByteArray& bytes) {
        QTemporaryDir folder(m_documents.path() + u"/doc-XXXXXX"_s);
        folder.setAutoRemove(false);
        QFile file(folder.path() + u'/' + name);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() ? file.fileName()
                                                                                    : QString();
    }
    void run(FakeSession& session) { TSRegisterCommand(session, session, m_program->path()).Run(); }
    // A first registration of the name, by user name and password.
    void registerFirst(const QString& name) {
        FakeSession session;
        session.files = {FakeSession::chosen(writeDocument(name, "the first document"))};
        session.signMethod = TSUser::SignMethod{false, u"alice"_s, u"pw"_s};
        session.reply = u"<!-- SIG:[V.01_first] -->"_s;
        run(session);
    }

private Q_SLOTS:
    void initTestCase() {
        for (const char* kind : {"one", "expired"}) {
            auto fixture = std::make_unique<NssFixture>(QLatin1String(kind));
            QVERIFY2(fixture->isValid(), qPrintable(fixture->error()));
            m_nss[QLatin1String(kind)] = std::move(fixture);
        }
        m_emptyHome = m_documents.path();
        qputenv("HOME", QFile::encodeName(m_emptyHome));
        Settings::EnsureAvailable();
    }

    void init() { m_program = std::make_unique<QTemporaryDir>(); }

    // The whole conversation of a registration that goes through, by each sign method: the
    // progress window's texts in order, the fields posted exactly, the record and copy read-only;
    // with Yes to the re-create question, they replace the pair of the same name.
    void goesThrough_data() {
        QTest::addColumn<QString>("nss"); // empty: user name and password
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("existing");
        QTest::newRow("password") << QString() << 12 << false;
        QTest::newRow("password, replacing a pair") << QString() << 12 << true;
        QTest::newRow("certificate, 1,000,000 bytes: the long texts") << u"one"_s << 1000000 << false;
    }
    void goesThrough() {
        QFETCH(QString, nss);
        QFETCH(int, size);
        QFETCH(bool, existing);
        if (existing)
            registerFirst(kName);
        const bool certificate = !nss.isEmpty();
        if (certificate)
            Settings::UseDatabase(m_nss[nss]->databaseFolder());
        const QByteArray document =
            QByteArray("document ").append(QByteArray::number(size)).leftJustified(size, '.');
        FakeSession session;
        session.files = {FakeSession::chosen(writeDocument(kName, document))};
        session.signMethod = TSUser::SignMethod{certificate, u"alice"_s, u" pass word "_s};
        session.recreate = existing;
        session.reply = u"<p>Accepted</p><!-- SIG:["_s + kSignature + u"] -->"_s;
        run(session);

        using namespace TSCommandTexts;
        QStringList expected{
            u"file "_s + m_emptyHome + u"/*.*"_s,
            u"progress %1|%2"_s.arg(RegisterCaption(), ReadingText(size)),
            u"events"_s,
            u"sign method"_s,
            u"progress text "_s + FilingText(size),
            u"progress text "_s + ContactingText(),
            u"open "_s + (certificate ? u"/tessaro/user/login.asp"_s : u"/scripts/register/regfile.asp"_s),
            u"hide, refresh"_s,
            certificate ? kCertPost : kUserPost,
            u"read reply"_s};
        if (!certificate)
            expected << u"submit reply form"_s;
        expected << u"hide"_s;
        if (existing)
            expected.insert(1, u"recreate?"_s);
        QCOMPARE(session.log, expected);

        const QStringList state = folderState(store());
        QCOMPARE(state.size(), 2);
        QCOMPARE(state[0], u"%1 100444 %2"_s.arg(kName, QString::fromLatin1(document.toHex())));
        QVERIFY(state[1].startsWith(kName + u".p7s 100444 "_s));
        const QString record =
            QString::fromLatin1(QByteArray::fromHex(state[1].section(u' ', -1).toLatin1()));
        if (!certificate) {
            QCOMPARE(record, kSignature);
            QCOMPARE(session.posted, TSSiteExchange::FormFields({{u"filename"_s, kName},
                                                                 {u"filehash"_s, fingerprintOf(document)},
                                                                 {u"user"_s, u"alice"_s},
                                                                 {u"pwd"_s, u" pass word "_s}}));
            return;
        }
        // One line, posted as stored, signing the fingerprint, the time and the name.
        QVERIFY(!record.contains(u'\n') && !record.contains(u'\r') && !record.contains(u' '));
        QCOMPARE(session.posted,
                 TSSiteExchange::FormFields({{u"tessaro"_s, record}, {u"filename"_s, kName}}));
        SignedData signedData;
        signedData.Verify(record);
        QCOMPARE(signedData.Content(), fingerprintOf(document));
        const Attributes attributes = signedData.Signers().Item(1).AuthenticatedAttributes();
        QVERIFY(qAbs(attributes.Item(1).Value().toDateTime().secsTo(QDateTime::currentDateTime())) < 600);
        QCOMPARE(attributes.Item(2).Value().toString(), kName);
    }

    // Every other ending: what the user is told, the pages and posts; nothing is stored, a pair
    // already there stays as it was, and the progress window is hidden at the end.
    void stops_data() {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QStringList>("outcome");
        const auto row = [](const char* name, const char* setup, const QStringList& outcome) {
            QTest::newRow(name) << QString::fromLatin1(setup) << outcome;
        };
        const QString noAccess = u"error page ts_noaccess.htm"_s,
                      noRegister = u"error page ts_noregister.htm"_s;
        row("store folder cannot be created", "store-file", {tell(TSMessage::CannotCreateStore)});
        row("dialog cancelled", "dialog-cancel", {});
        row("dialog fails, then cancelled", "dialog-fail dialog-cancel", {});
        row("dialog fails twice", "dialog-fail dialog-fail",
            {tell(TSMessage::DialogFailed, {u"2"_s, u"no folder"_s})});
        row("a line feed in the name", "control", {tell(TSMessage::NameHasControlCharacters)});
        row("document cannot be opened", "missing", {tell(TSMessage::CannotOpenDocument)});
        row("document is a named pipe", "fifo", {tell(TSMessage::CannotOpenDocument)});
        row("copy cannot be written (a full disk)", "full", {tell(TSMessage::CannotCreateStore)});
        row("empty document", "empty", {tell(TSMessage::EmptyDocument)});
        row("sign method cancelled", "cancel", {tell(TSMessage::RegistrationCancelled)});
        row("no database", "cert-none", {tell(TSMessage::NoCertificate)});
        row("only an expired certificate", "cert-expired", {tell(TSMessage::CryptoUnavailable)});
        row("first page failed", "first-failed", {noAccess});
        row("first page timed out", "first-timedout", {noAccess});
        row("post failed", "post-failed", {kUserPost, noRegister});
        row("post timed out", "post-timedout", {kUserPost, noRegister});
        row("form not submitted", "post-notstarted", {kUserPost, noRegister});
        row("certificate: post failed", "cert-one post-failed", {kCertPost, noRegister});
        row("reply cannot be read", "unreadable", {kUserPost, noRegister});
        const std::pair<const char*, TSMessage> codes[] = {
            {"error:dberror-open", TSMessage::SiteDatabaseNotAvailable},
            {"ERROR:DBERROR-RS-USERS", TSMessage::SiteNotRegisteredUser},
            {"error:dberror-rs-registrations", TSMessage::SiteRegistrationsTableClosed},
            {"error:signature-verification-failure", TSMessage::SiteSignatureNotVerified},
            {"error:dberror-update", TSMessage::SiteDatabaseNotUpdated},
            {"Error: dberror-open", TSMessage::SiteOtherError},
        };
        for (const auto& [code, message] : codes)
            QTest::newRow(code) << u"code "_s + QLatin1String(code) << QStringList{kUserPost, tell(message)};
        row("certificate: a reply code", "cert-one code error:dberror-open",
            {kCertPost, tell(TSMessage::SiteDatabaseNotAvailable)});
        row("no signature marker", "no-marker", {kUserPost, tell(TSMessage::SignatureFailed)});
        row("blank signature", "blank-signature", {kUserPost, tell(TSMessage::SignatureFailed)});
        row("record and copy cannot be written", "blocked",
            {kUserPost, u"submit reply form"_s, tell(TSMessage::LocalCopyFailed),
             tell(TSMessage::LocalCopyFailed)});
        row("No to the re-create question", "existing", {tell(TSMessage::ExistingDataKept)});
        row("Yes, copy missing: cannot set aside", "existing yes copy-missing",
            {tell(TSMessage::CannotSetAside)});
        row("Yes, then cancelled", "existing yes cancel", {tell(TSMessage::RegistrationCancelled)});
        row("Yes, then a reply code", "existing yes code error:dberror-open",
            {kUserPost, tell(TSMessage::SiteDatabaseNotAvailable)});
        row("Yes, then a failed post", "existing yes post-failed", {kUserPost, noRegister});
        row("Exit in the open-file dialog", "abandon=file", {});
        row("Exit at the re-create question", "existing abandon=recreate?", {});
        row("Exit in the first pass of events", "abandon=events", {});
        row("Exit in the sign-method dialog", "abandon=sign-method", {});
        row("Exit while the first page loads", "abandon=open", {});
        row("Exit while the post waits, a pair set aside", "existing yes abandon=post", {kUserPost});
        row("Exit while the reply is read", "abandon=read-reply", {kUserPost});
    }
    void stops() {
        QFETCH(QString, setup);
        QFETCH(QStringList, outcome);
        const QStringList words = setup.split(u' ');
        const auto has = [&](QAnyStringView word) { return words.contains(word.toString()); };
        const QString name = has("control") ? u"un\nsent.doc"_s : u"unsent.doc"_s;
        if (has("existing")) {
            registerFirst(name);
            if (has("copy-missing"))
                QVERIFY(QFile::remove(store() + u'/' + name));
        }
        if (has("blocked"))
            QVERIFY(QDir().mkpath(store() + u'/' + name + u".p7s"_s) && QDir().mkpath(store() + u'/' + name));
        const QStringList before = folderState(store());
        if (has("store-file"))
            QVERIFY(QFile(store()).open(QIODevice::WriteOnly));

        FakeSession session;
        for (const QString& word : words) {
            if (word == "dialog-fail"_L1)
                session.files << TSUser::FileChoice{
                    TSUser::FileChoice::Outcome::Failed, {}, {}, 2, u"no folder"_s};
            else if (word.startsWith("abandon="_L1))
                session.abandonAt = word.mid(8).replace(u'-', u' ');
            else if (word.startsWith("cert-"_L1))
                Settings::UseDatabase(word == "cert-none"_L1 ? QString()
                                                             : m_nss[word.mid(5)]->databaseFolder());
        }
        QString path = has("missing") ? m_documents.path() + u"/no such file.doc"_s
                                      : writeDocument(name, has("empty")  ? QByteArray()
                                                            : has("full") ? QByteArray(1000000, 'x')
                                                                          : "new bytes");
        if (has("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(path += u".pipe"_s).constData(), 0600), 0);
        if (!has("dialog-cancel") && !has("dialog-fail"))
            session.files << FakeSession::chosen(path);
        session.recreate = has("yes");
        if (!has("cancel"))
            session.signMethod = TSUser::SignMethod{setup.contains("cert-"_L1), u"alice"_s, u"pw"_s};
        const auto ended = [&](const QString& step) {
            return has(step + u"-failed"_s)       ? TSWaitEnd::Failed
                   : has(step + u"-timedout"_s)   ? TSWaitEnd::TimedOut
                   : has(step + u"-notstarted"_s) ? TSWaitEnd::NotStarted
                                                  : TSWaitEnd::Loaded;
        };
        session.firstPage = ended(u"first"_s);
        session.post = ended(u"post"_s);
        const QString code = setup.section(u"code "_s, 1).section(u' ', 0, 0);
        session.reply = has("unreadable")  ? std::nullopt
                        : has("code")      ? std::optional(u"<p>"_s + code + u"</p><!-- SIG:[V.01_x] -->"_s)
                        : has("no-marker") ? u"<p>Accepted</p> V.01_x] -->"_s
                        : has("blank-signature") ? u"<!-- SIG:[   ] -->"_s
                                                 : u"<!-- SIG:[V.01_x] -->"_s;
        if (has("full")) { // writes past 512 KiB fail, for root too
            std::signal(SIGXFSZ, SIG_IGN);
            QVERIFY(withLimit(RLIMIT_FSIZE, 512 * 1024, [&] { run(session); }));
        } else {
            run(session);
        }
        Settings::UseDatabase(QString());
        // What the user was told, the pages shown and the posts.
        QCOMPARE(session.log.filter(QRegularExpression(u"^(tell|post|submit)|page "_s)), outcome);
        QCOMPARE(folderState(store()), has("store-file") ? QStringList() : before);
        // A dialog that cannot be shown is tried once more, at the root folder.
        QCOMPARE(session.log.contains(u"file /*.*"_s), has("dialog-fail"));
        const qsizetype shown = session.log.lastIndexOf(QRegularExpression(u"^progress [^t]"_s));
        if (!session.abandonAt.isEmpty() || shown < 0)
            return;
        QVERIFY2(session.log.indexOf(QRegularExpression(u"^hide"_s), shown) > shown,
                 qPrintable(session.log.join(u'\n')));
    }
};

QTEST_GUILESS_MAIN(TestRegisterCommand)
#include "test_registercommand.moc"
