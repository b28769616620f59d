#pragma once

// A scripted user and browser pane for the commands: each question is answered from the script a
// table row sets, and everything the command does to the user and the pane goes to one log, in order.

#include "commands/TSPane.h"
#include "commands/TSUser.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QList>
#include <QStringList>

#include <sys/resource.h>
#include <sys/stat.h>

// The log entry of a message told to the user.
inline QString tell(TSMessage message, const QStringList& arguments = {}) {
    return QStringLiteral("tell %1 %2").arg(int(message)).arg(arguments.join(QLatin1Char('|')));
}

class FakeSession : public TSUser, public TSPane {
public:
    QList<FileChoice> files; // the open-file dialog's answers, in order (then: cancelled)
    std::optional<SignMethod> signMethod;
    std::optional<Credentials> credentials;
    bool recreate = false;
    TSWaitEnd firstPage = TSWaitEnd::Loaded;
    TSWaitEnd post = TSWaitEnd::Loaded;
    std::optional<QString> reply = QStringLiteral("<html><body>Registration Accepted</body></html>");
    // The start of the log entry at which the user chooses Exit: from then on everything is abandoned.
    QString abandonAt;

    QStringList log;
    TSSiteExchange::FormFields posted;

    static FileChoice chosen(const QString& path) {
        return {FileChoice::Outcome::Chosen, path, path.section(QLatin1Char('/'), -1), 0, QString()};
    }

    FileChoice ChooseFile(const FileRequest& request) override {
        note(QStringLiteral("file ") + request.initialFileName);
        return files.isEmpty() ? FileChoice{} : files.takeFirst();
    }
    std::optional<SignMethod> AskSignMethod() override { return note(u"sign method"), signMethod; }
    std::optional<Credentials> AskCredentials() override { return note(u"login"), credentials; }
    bool AskRecreate() override { return note(u"recreate?"), recreate; }
    // The fixtures hold one certificate, without a password.
    std::optional<qsizetype> ChooseCertificate(const QList<Certificate>&) override { return 0; }
    std::optional<QString> AskTokenPassword(const QString&, bool) override { return std::nullopt; }
    void Tell(TSMessage message, const QStringList& arguments) override { note(tell(message, arguments)); }
    void ShowProgress(const QString& caption, const QString& text, bool bBusy) override {
        note(QStringLiteral("progress %1|%2%3")
                 .arg(caption, text, bBusy ? QStringLiteral("|busy") : QString()));
    }
    void SetProgressText(const QString& text) override { note(QStringLiteral("progress text ") + text); }
    void HideProgress(bool bRefreshMain) override { note(bRefreshMain ? u"hide, refresh" : u"hide"); }
    void ShowLocalPage(const QString& sPage, bool bAfterFailure) override {
        note((bAfterFailure ? QStringLiteral("error page ") : QStringLiteral("page ")) + sPage);
    }

    bool ProcessPendingEvents() override { return note(u"events"), !m_abandoned; }
    bool abandoned() const override { return m_abandoned; }
    TSWaitEnd OpenPageAndWait(const QUrl& url) override {
        return wait(QStringLiteral("open ") + url.path(), firstPage);
    }
    TSWaitEnd PostFormAndWait(const QUrl& action, const TSSiteExchange::FormFields& fields) override {
        posted = fields;
        return wait(QStringLiteral("post ") + action.path(), post);
    }
    std::optional<QString> ReadReply() override {
        note(u"read reply");
        return m_abandoned ? std::nullopt : reply;
    }
    bool SubmitReplyForm() override { return note(u"submit reply form"), !m_abandoned; }

private:
    void note(QStringView entry) {
        log << entry.toString();
        m_abandoned = m_abandoned || (!abandonAt.isEmpty() && entry.startsWith(abandonAt));
    }
    TSWaitEnd wait(const QString& entry, TSWaitEnd end) {
        note(entry);
        return m_abandoned ? TSWaitEnd::Abandoned : end;
    }
    bool m_abandoned = false;
};

// The files of a folder, hidden ones included, each with its mode and bytes: compared before and
// after to show that nothing was written.
inline QStringList folderState(const QString& folder) {
    QStringList state;
    for (const QString& name : QDir(folder).entryList(
             QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name)) {
        QFile file(folder + QLatin1Char('/') + name);
        struct stat st {};
        ::lstat(QFile::encodeName(file.fileName()).constData(), &st);
        const bool readable = S_ISREG(st.st_mode) && file.open(QIODevice::ReadOnly);
        state << QStringLiteral("%1 %2 %3")
                     .arg(name)
                     .arg(st.st_mode, 0, 8)
                     .arg(QString::fromLatin1(readable ? file.readAll().toHex() : "-"));
    }
    return state;
}

inline QString fingerprintOf(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex().toUpper());
}

// Runs the action with a resource limit lowered (a full disk, a small address space), then puts it back.
template <typename Action> bool withLimit(int resource, rlim_t limit, Action action) {
    rlimit saved{};
    ::getrlimit(resource, &saved);
    const rlimit lowered{limit, saved.rlim_max};
    if (::setrlimit(resource, &lowered) != 0)
        return false;
    action();
    return ::setrlimit(resource, &saved) == 0;
}
