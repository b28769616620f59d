#pragma once

// A scripted user and browser pane for the commands: each question is answered from the script
// a table row sets, and everything the command does to the user and the pane is written to one
// log, in order, for the row to compare.

#include "commands/TSPane.h"
#include "commands/TSUser.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QStringList>

#include <sys/stat.h>

class FakeSession : public TSUser, public TSPane {
public:
    // --- The script
    QList<FileChoice> files; // the open-file dialog's answers, in order (then: cancelled)
    std::optional<SignMethod> signMethod;
    std::optional<Credentials> credentials;
    bool recreate = false;
    TSWaitEnd firstPage = TSWaitEnd::Loaded;
    TSWaitEnd post = TSWaitEnd::Loaded;
    std::optional<QString> reply = QStringLiteral("<html><body>Registration Accepted</body></html>");
    // The start of the log entry during which the user chooses Exit: from then on every wait and
    // pass of events ends abandoned.
    QString abandonAt;

    // --- What happened
    QStringList log;
    TSSiteExchange::FormFields posted;

    static FileChoice chosen(const QString& path) {
        return {FileChoice::Outcome::Chosen, path, path.section(QLatin1Char('/'), -1), 0, QString()};
    }
    static QString told(TSMessage message, const QStringList& arguments = {}) {
        return QStringLiteral("tell %1 %2").arg(int(message)).arg(arguments.join(QLatin1Char('|')));
    }

    FileChoice ChooseFile(const FileRequest& request) override {
        note(QStringLiteral("file ") + request.initialFileName);
        return files.isEmpty() ? FileChoice{} : files.takeFirst();
    }
    std::optional<SignMethod> AskSignMethod() override {
        note(QStringLiteral("sign method"));
        return signMethod;
    }
    std::optional<Credentials> AskCredentials() override {
        note(QStringLiteral("login"));
        return credentials;
    }
    bool AskRecreate() override {
        note(QStringLiteral("recreate?"));
        return recreate;
    }
    // The certificate store's questions: the fixtures hold one certificate, without a password.
    std::optional<qsizetype> ChooseCertificate(const QList<Certificate>&) override { return 0; }
    std::optional<QString> AskTokenPassword(const QString&, bool) override { return std::nullopt; }
    void Tell(TSMessage message, const QStringList& arguments) override { note(told(message, arguments)); }
    void ShowProgress(const QString& caption, const QString& text, bool bBusy) override {
        log << QStringLiteral("progress %1|%2%3")
                   .arg(caption, text, bBusy ? QStringLiteral("|busy") : QString());
    }
    void SetProgressText(const QString& text) override { log << QStringLiteral("progress text ") + text; }
    void HideProgress(bool bRefreshMain) override {
        log << (bRefreshMain ? QStringLiteral("hide, refresh") : QStringLiteral("hide"));
    }

    bool ProcessPendingEvents() override {
        note(QStringLiteral("events"));
        return !m_abandoned;
    }
    bool abandoned() const override { return m_abandoned; }
    TSWaitEnd OpenPageAndWait(const QUrl& url) override {
        note(QStringLiteral("open ") + url.path());
        return m_abandoned ? TSWaitEnd::Abandoned : firstPage;
    }
    TSWaitEnd PostFormAndWait(const QUrl& action, const TSSiteExchange::FormFields& fields) override {
        posted = fields;
        note(QStringLiteral("post ") + action.path());
        return m_abandoned ? TSWaitEnd::Abandoned : post;
    }
    std::optional<QString> ReadReply() override {
        note(QStringLiteral("read reply"));
        return m_abandoned ? std::nullopt : reply;
    }
    bool SubmitReplyForm() override {
        note(QStringLiteral("submit reply form"));
        return !m_abandoned;
    }
    void ShowLocalPage(const QString& sPage, bool bAfterFailure) override {
        log << (bAfterFailure ? QStringLiteral("error page ") : QStringLiteral("page ")) + sPage;
    }

private:
    void note(const QString& entry) {
        log << entry;
        if (!abandonAt.isEmpty() && entry.startsWith(abandonAt))
            m_abandoned = true;
    }
    bool m_abandoned = false;
};

// The files of a folder, hidden ones included, each with its mode and bytes: what a row compares
// before and after to show that nothing was written.
inline QStringList folderState(const QString& folder) {
    QStringList state;
    for (const QString& name : QDir(folder).entryList(
             QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString path = folder + QLatin1Char('/') + name;
        struct stat st {};
        ::lstat(QFile::encodeName(path).constData(), &st);
        QFile file(path);
        state << QStringLiteral("%1 %2 %3")
                     .arg(name)
                     .arg(st.st_mode, 0, 8)
                     .arg(QString::fromLatin1(S_ISREG(st.st_mode) && file.open(QIODevice::ReadOnly)
                                                  ? file.readAll().toHex()
                                                  : "-"));
    }
    return state;
}
