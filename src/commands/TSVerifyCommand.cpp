#include "commands/TSVerifyCommand.h"

#include "commands/TSPane.h"
#include "commands/TSUser.h"
#include "commands/TSVerification.h"
#include "crypto/TSFingerprintStream.h"
#include "protocol/TSSiteExchange.h"
#include "store/TSRegistrationStore.h"

#include <QUrl>

using namespace TSVerification;
using namespace TSCommandTexts;

TSVerifyCommand::TSVerifyCommand(TSUser& user, TSPane& pane, const QString& sProgramFolder,
                                 ExtensionFinder findExtension)
    : m_user(user), m_pane(pane), m_sProgramFolder(sProgramFolder), m_findExtension(findExtension) {}

bool TSVerifyCommand::tell(TSMessage message, const QStringList& arguments) {
    m_user.Tell(message, arguments);
    return !m_pane.abandoned();
}

bool TSVerifyCommand::showProgress() {
    m_user.ShowProgress(VerifyCaption(), VerifyingText(), true);
    return m_pane.ProcessPendingEvents();
}

void TSVerifyCommand::Run() {
    // Nothing the command meets may end the program: an unexpected failure (running out of
    // memory, mostly: a record's text can need twice its bytes) ends it with the message of the
    // stage it arose in.
    try {
        runSteps();
    } catch (...) {
        m_user.HideProgress();
        if (!m_pane.abandoned())
            tell(m_stage == Stage::Record ? TSMessage::FileCannotBeRead
                 : m_stage == Stage::Copy ? TSMessage::DocumentCannotBeRead
                                          : TSMessage::CryptoUnavailable);
    }
}

void TSVerifyCommand::runSteps() {
    m_stage = Stage::Record;
    m_pane.ShowLocalPage(QStringLiteral("ts_intro.htm"));
    const TSRegistrationStore store(m_sProgramFolder);

    // Pick a record, starting in the store and listing the records.
    const TSUser::FileChoice chosen = m_user.ChooseFile(
        {VerifyDialogTitle(), store.folder() + QStringLiteral("*.p7s"), VerifyDialogFilter()});
    if (m_pane.abandoned() || chosen.outcome != TSUser::FileChoice::Outcome::Chosen)
        return;

    const std::optional<QString> recordText = TSRegistrationStore::ReadRecord(chosen.path);
    if (!recordText || recordText->isEmpty()) {
        tell(TSMessage::FileCannotBeRead);
        return;
    }
    const RecordKind kind = KindOfRecord(*recordText);
    // The copy is always the store's, wherever the record was picked.
    const QString copyPath = store.CopyPathForRecord(chosen.title, m_findExtension(chosen.title));

    if (kind == RecordKind::Certificate && !showProgress())
        return;

    m_stage = Stage::Copy;
    // The copy is fingerprinted as it is read, in one streaming pass.
    TSOpenFile copy;
    std::optional<TSFingerprintStream::Result> read;
    if (copy.Open(copyPath))
        read = TSFingerprintStream::Run(copy.descriptor());
    copy.Close();
    if (!read || read->outcome != TSFingerprintStream::Result::Outcome::Done || read->bytes == 0) {
        m_user.HideProgress();
        if (!tell(TSMessage::DocumentCannotBeRead))
            return;
        // Only an empty file is removed, and only where it is not marked read-only.
        TSRegistrationStore::RemoveEmptyCopy(copyPath);
        return;
    }

    m_stage = Stage::Check;
    const std::optional<QString>& fingerprint = read->fingerprint;
    if (!fingerprint) {
        // Without a fingerprint neither check means anything: the site would be asked about an
        // empty one.
        m_user.HideProgress();
        tell(TSMessage::CryptoUnavailable);
        return;
    }

    if (kind == RecordKind::Certificate)
        verifyLocally(*recordText, *fingerprint);
    else
        verifyAtSite(*recordText, copyPath, *fingerprint);
}

void TSVerifyCommand::verifyLocally(const QString& sRecordText, const QString& sFingerprint) {
    const LocalCheck check = CheckCertificateRecord(sRecordText, sFingerprint);
    m_user.HideProgress();
    switch (check.outcome) {
    case LocalCheck::Outcome::SignatureFailed:
        if (!tell(TSMessage::LibraryError, {QString::number(check.errorNumber), check.errorDescription}))
            return;
        tell(TSMessage::DoesNotVerify);
        return;
    case LocalCheck::Outcome::ContentDiffers:
        tell(TSMessage::DoesNotVerify);
        return;
    case LocalCheck::Outcome::Verified:
        tell(TSMessage::Verified, {AttributeText(check.timeStamp), AttributeText(check.fileName)});
        return;
    }
}

void TSVerifyCommand::verifyAtSite(const QString& sRecordText, const QString& sCopyPath,
                                   const QString& sFingerprint) {
    const std::optional<TSUser::Credentials> login = m_user.AskCredentials();
    if (m_pane.abandoned())
        return;
    if (!login) {
        tell(TSMessage::VerificationCancelled);
        return;
    }

    if (!showProgress())
        return;
    const TSSiteExchange::Endpoints endpoints =
        TSSiteExchange::EndpointsFor(TSSiteExchange::Request::Verify, TSSiteExchange::SiteOrigin());
    const TSWaitEnd opened = m_pane.OpenPageAndWait(QUrl(endpoints.firstPage));
    if (opened == TSWaitEnd::Abandoned)
        return;
    m_user.HideProgress(true);
    if (TSNavigationFailed(opened)) {
        m_pane.ShowLocalPage(TSSiteExchange::NoAccessPage(), true);
        return;
    }

    const TSWaitEnd posted = m_pane.PostFormAndWait(
        QUrl(endpoints.formAction),
        TSSiteExchange::VerifyFields(sCopyPath, sFingerprint, login->user, login->password, sRecordText));
    // Nothing was sent when the form could not be built or submitted: say that the site could not
    // be reached rather than leave the verify page as if it were the site's answer.
    if (posted == TSWaitEnd::NotStarted)
        m_pane.ShowLocalPage(TSSiteExchange::NoAccessPage(), true);
    // Otherwise the site's reply stays in the pane as the answer.
}
