#include "verification/TSVerifyCommand.h"

#include "crypto/TSFingerprintStream.h"
#include "dialogs/CD1.h"
#include "dialogs/TSLogin.h"
#include "protocol/TSSiteExchange.h"
#include "registration/TSShell.h"
#include "store/TSRegistrationStore.h"
#include "verification/TSVerification.h"

#include <QUrl>

using namespace TSVerification;

namespace {

// The login dialog of the main window: created at its first use as the window's child and kept
// (hidden between uses) until the program ends, so that it shows the entries of its last use.
TSLogin& loginDialog(QWidget* owner) {
    const QString name = QStringLiteral("TSLogin");
    if (TSLogin* existing = owner->findChild<TSLogin*>(name, Qt::FindDirectChildrenOnly))
        return *existing;
    return *new TSLogin(owner);
}

} // namespace

TSVerifyCommand::TSVerifyCommand(TSShell& shell, ExtensionFinder findExtension)
    : m_shell(shell), m_findExtension(findExtension) {}

bool TSVerifyCommand::message(const QString& sText, QMessageBox::Icon icon, const QString& sTitle) {
    QMessageBox box(icon, sTitle, sText, QMessageBox::Ok, m_shell.dialogOwner());
    box.exec();
    return !m_shell.abandoned();
}

void TSVerifyCommand::showProgress() {
    m_shell.SetProgressCaption(ProgressCaption());
    m_shell.SetProgressText(ProgressText());
    m_shell.ShowProgress();
    m_shell.SetProgressBusyCursor(true);
}

void TSVerifyCommand::hideProgress() {
    m_shell.SetProgressBusyCursor(false);
    m_shell.HideProgress();
}

void TSVerifyCommand::Run() {
    // Nothing the command meets may end the program: an unexpected failure (running out of
    // memory, mostly: a record's text can need twice its bytes) ends it with the message of the
    // stage it arose in.
    try {
        runSteps();
    } catch (...) {
        hideProgress();
        const QString text = m_stage == Stage::Record ? FileNotReadMessage()
                             : m_stage == Stage::Copy ? DocumentNotReadMessage()
                                                      : CryptoUnavailableMessage();
        if (!m_shell.abandoned())
            message(text, QMessageBox::Critical, ErrorTitle());
    }
}

void TSVerifyCommand::runSteps() {
    m_stage = Stage::Record;
    m_shell.NavigateLocalPage(QStringLiteral("ts_intro.htm"));
    const TSRegistrationStore store(m_shell.ProgramFolder());

    // Pick a record, starting in the store and listing the records.
    CD1& cd1 = m_shell.cd1();
    cd1.setDialogTitle(DialogTitle());
    cd1.setInitialFileName(store.folder() + QStringLiteral("*.p7s"));
    cd1.setFilter(RecordFilter());
    cd1.setFlags(CD1::kOpenExistingFlags);
    const CD1::Result chosen = cd1.showOpen();
    if (m_shell.abandoned() || chosen.outcome != CD1::Outcome::Chosen)
        return;

    const std::optional<QString> recordText = TSRegistrationStore::ReadRecord(chosen.fileName);
    if (!recordText || recordText->isEmpty()) {
        message(FileNotReadMessage(), QMessageBox::Critical, ErrorTitle());
        return;
    }
    const RecordKind kind = KindOfRecord(*recordText);
    // The copy is always the store's, wherever the record was picked.
    const QString copyPath = store.CopyPathForRecord(chosen.fileTitle, m_findExtension(chosen.fileTitle));

    if (kind == RecordKind::Certificate) {
        showProgress();
        if (!m_shell.ProcessPendingEvents())
            return;
    }

    m_stage = Stage::Copy;
    // The copy is fingerprinted as it is read, in one streaming pass.
    TSOpenFile copy;
    std::optional<TSFingerprintStream::Result> read;
    if (copy.Open(copyPath))
        read = TSFingerprintStream::Run(copy.descriptor());
    copy.Close();
    if (!read || read->outcome != TSFingerprintStream::Result::Outcome::Done || read->bytes == 0) {
        hideProgress();
        if (!message(DocumentNotReadMessage(), QMessageBox::Critical, ErrorTitle()))
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
        hideProgress();
        message(CryptoUnavailableMessage(), QMessageBox::Critical, ErrorTitle());
        return;
    }

    if (kind == RecordKind::Certificate)
        verifyLocally(*recordText, *fingerprint);
    else
        verifyAtSite(*recordText, copyPath, *fingerprint);
}

void TSVerifyCommand::verifyLocally(const QString& sRecordText, const QString& sFingerprint) {
    const LocalCheck check = CheckCertificateRecord(sRecordText, sFingerprint);
    hideProgress();
    switch (check.outcome) {
    case LocalCheck::Outcome::SignatureFailed:
        if (!message(LibraryErrorMessage(check.errorNumber, check.errorDescription), QMessageBox::NoIcon,
                     ApplicationTitle()))
            return;
        message(DoesNotVerifyMessage(), QMessageBox::Critical, ErrorTitle());
        return;
    case LocalCheck::Outcome::ContentDiffers:
        message(DoesNotVerifyMessage(), QMessageBox::Critical, ErrorTitle());
        return;
    case LocalCheck::Outcome::Verified:
        message(SuccessMessage(AttributeText(check.timeStamp), AttributeText(check.fileName)),
                QMessageBox::NoIcon, SuccessTitle());
        return;
    }
}

void TSVerifyCommand::verifyAtSite(const QString& sRecordText, const QString& sCopyPath,
                                   const QString& sFingerprint) {
    TSLogin& login = loginDialog(m_shell.dialogOwner());
    login.exec();
    if (m_shell.abandoned())
        return;
    if (login.m_bCancelled) {
        message(CancelledMessage(), QMessageBox::NoIcon, ApplicationTitle());
        return;
    }
    const QString user = login.m_sUser;
    const QString password = login.m_sPassword;

    showProgress();
    if (!m_shell.ProcessPendingEvents())
        return;
    const TSSiteExchange::Endpoints endpoints =
        TSSiteExchange::EndpointsFor(TSSiteExchange::Request::Verify, TSSiteExchange::SiteOrigin());
    const TSWaitEnd opened = m_shell.OpenPageAndWait(QUrl(endpoints.firstPage));
    if (opened == TSWaitEnd::Abandoned)
        return;
    hideProgress();
    m_shell.RefreshMainWindow();
    if (!m_shell.FirstPageCheck())
        return;

    const TSWaitEnd posted = m_shell.PostFormAndWait(
        QUrl(endpoints.formAction),
        TSSiteExchange::VerifyFields(sCopyPath, sFingerprint, user, password, sRecordText));
    // Nothing was sent when the form could not be built or submitted: say that the site could not
    // be reached rather than leave the verify page as if it were the site's answer.
    if (posted == TSWaitEnd::NotStarted)
        m_shell.ShowLocalErrorPage(TSSiteExchange::NoAccessPage());
    // Otherwise the site's reply stays in the pane as the answer.
}
