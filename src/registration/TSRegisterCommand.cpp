#include "registration/TSRegisterCommand.h"

#include "crypto/TSError.h"
#include "dialogs/CD1.h"
#include "dialogs/TSSignMethod.h"
#include "protocol/TSSiteExchange.h"
#include "registration/TSRegisterTexts.h"
#include "registration/TSShell.h"

#include <QDateTime>
#include <QUrl>
#include <QWidget>

using namespace TSRegisterTexts;

TSRegisterCommand::TSRegisterCommand(TSShell& shell, SigningPrompts prompts)
    : m_shell(shell), m_prompts(std::move(prompts)), m_store(shell.ProgramFolder()) {}

TSRegisterCommand::~TSRegisterCommand() = default;

void TSRegisterCommand::Run() {
    // Nothing the command meets may end the program: an unexpected failure (running out of
    // memory, mostly) ends it with the message of the stage it arose in.
    try {
        RunSteps();
    } catch (...) {
        if (m_bProgressShown && !abandoned()) {
            m_shell.HideProgress();
            m_shell.RefreshMainWindow();
        }
        m_pending.reset(); // puts a pair set aside back, removes the new copy
        Message(QMessageBox::Critical, TSSiteExchange::ErrorTitle(),
                m_bDocumentRead ? CryptoUnavailable() : CannotReadDocument());
    }
    m_document.Close();
    if (m_bProgressShown && !abandoned())
        m_shell.HideProgress();
}

void TSRegisterCommand::RunSteps() {
    // Each step ends in its own check point and answers whether the command goes on. A step
    // that ends the command has told the user why (unless the command was abandoned); a pair
    // set aside goes back when m_pending ends, unless the new pair has replaced it.
    using Step = bool (TSRegisterCommand::*)();
    static constexpr Step kSteps[] = {
        &TSRegisterCommand::EnableCertificatePrompt, &TSRegisterCommand::EnsureStoreFolder,
        &TSRegisterCommand::ChooseDocument,          &TSRegisterCommand::OpenDocument,
        &TSRegisterCommand::DealWithExistingRecord,  &TSRegisterCommand::ReadDocument,
        &TSRegisterCommand::ChooseSignMethod,        &TSRegisterCommand::Fingerprint,
        &TSRegisterCommand::SignWithCertificate,     &TSRegisterCommand::Submit,
        &TSRegisterCommand::TakeSiteSignature,       &TSRegisterCommand::WritePair,
    };
    for (const Step step : kSteps) {
        if (!(this->*step)())
            break;
    }
}

// The certificate library may ask the user to choose a certificate when it signs.
bool TSRegisterCommand::EnableCertificatePrompt() {
    try {
        Settings::EnsureAvailable();
        Settings().setEnablePromptForCertificateUI(true);
    } catch (const TSError&) {
        Message(QMessageBox::Critical, TSSiteExchange::ErrorTitle(), CryptoUnavailable());
        return false;
    }
    return true;
}

// The store folder beside the program.
bool TSRegisterCommand::EnsureStoreFolder() {
    if (m_store.EnsureFolder())
        return true;
    Message(QMessageBox::Critical, ProgramTitle(), CannotCreateStore());
    return false;
}

// The document, chosen in the open-file dialog; a second try starts at the root folder
// when the first cannot be shown.
bool TSRegisterCommand::ChooseDocument() {
    CD1& dialog = m_shell.cd1();
    dialog.setDialogTitle(DialogTitle());
    dialog.setInitialFileName(CD1::homeInitialFileName());
    dialog.setFilter(DialogFilter());
    dialog.setFlags(CD1::kOpenExistingFlags);
    CD1::Result chosen = dialog.showOpen();
    if (abandoned())
        return false;
    if (chosen.outcome == CD1::Outcome::Failed) {
        dialog.setInitialFileName(CD1::fallbackInitialFileName());
        chosen = dialog.showOpen();
        if (abandoned())
            return false;
        if (chosen.outcome == CD1::Outcome::Failed) {
            Message(QMessageBox::Critical, ProgramTitle(),
                    DialogFailed(chosen.errorNumber, chosen.errorDescription));
            return false;
        }
    }
    if (chosen.outcome == CD1::Outcome::Cancelled)
        return false;
    m_sDocumentPath = chosen.fileName;
    m_sDocumentName = chosen.fileTitle;
    // A name that cannot be posted intact is refused before anything is read or sent.
    if (!NameCanTravel(m_sDocumentName)) {
        Message(QMessageBox::Critical, TSSiteExchange::ErrorTitle(), NameHasControlCharacters());
        return false;
    }
    return true;
}

// The document, open for reading until it has been read.
bool TSRegisterCommand::OpenDocument() {
    if (m_document.Open(m_sDocumentPath))
        return true;
    Message(QMessageBox::Critical, TSSiteExchange::ErrorTitle(), CannotOpenDocument());
    return false;
}

// A record of the same name. No (also Esc or closing the question) keeps it and ends the
// command; Yes sets the record and copy aside until the new pair has been written.
bool TSRegisterCommand::DealWithExistingRecord() {
    if (!m_store.RecordExists(m_sDocumentName))
        return true;
    QMessageBox question(QMessageBox::Warning, TSSiteExchange::ErrorTitle(), RecreateQuestion(),
                         QMessageBox::Yes | QMessageBox::No, m_shell.dialogOwner());
    question.setDefaultButton(QMessageBox::No);
    question.setEscapeButton(QMessageBox::No);
    const int answer = question.exec();
    if (abandoned())
        return false;
    if (answer != QMessageBox::Yes) {
        Message(QMessageBox::NoIcon, ProgramTitle(), ExistingDataKept());
        return false;
    }
    m_pending = std::make_unique<TSPendingPair>(m_store, m_sDocumentName);
    if (!m_pending->isOpen() || !m_pending->SetAsideOldPair()) {
        m_pending.reset();
        Message(QMessageBox::Critical, TSSiteExchange::ErrorTitle(), CannotSetAside());
        return false;
    }
    return true;
}

// The document, read once under the progress window: the same pass fingerprints it and writes
// the new copy into the store, where it waits, hidden, for the site's acceptance.
bool TSRegisterCommand::ReadDocument() {
    m_lDocumentLength = m_document.Length();
    m_shell.SetProgressCaption(ProgressCaption());
    m_shell.SetProgressText(ReadingText(m_lDocumentLength));
    m_shell.ShowProgress();
    m_bProgressShown = true;
    m_shell.RepaintProgress();
    if (!m_shell.ProcessPendingEvents())
        return false;
    if (m_lDocumentLength <= 0) {
        m_shell.HideProgress();
        m_shell.RefreshMainWindow();
        Message(QMessageBox::Critical, TSSiteExchange::ErrorTitle(), EmptyDocument());
        return false;
    }
    if (!m_pending)
        m_pending = std::make_unique<TSPendingPair>(m_store, m_sDocumentName);
    const TSFingerprintStream::Result read = m_pending->CopyDocument(m_document.descriptor());
    m_document.Close();
    using Outcome = TSFingerprintStream::Result::Outcome;
    if (read.outcome != Outcome::Done) {
        m_shell.HideProgress();
        m_shell.RefreshMainWindow();
        // A copy that cannot be kept ends the command before anything is sent: the store
        // refuses it (a full disk, a folder that cannot be written).
        if (read.outcome == Outcome::ReadFailed)
            Message(QMessageBox::Critical, TSSiteExchange::ErrorTitle(), CannotReadDocument());
        else
            Message(QMessageBox::Critical, ProgramTitle(), CannotCreateStore());
        return false;
    }
    // A document emptied since it was opened has no fingerprint, as no bytes have none.
    if (read.bytes > 0)
        m_fingerprint = read.fingerprint;
    m_bDocumentRead = true;
    return true;
}

// How the registration is signed.
bool TSRegisterCommand::ChooseSignMethod() {
    TSSignMethod& dialog = SignMethodDialog();
    dialog.exec();
    if (abandoned())
        return false;
    if (dialog.m_bCancelled) {
        Message(QMessageBox::NoIcon, ProgramTitle(), RegistrationCancelled());
        m_shell.HideProgress();
        return false;
    }
    m_sUser = dialog.m_sUser;
    m_sPassword = dialog.m_sPassword;
    m_bCertificateChosen = dialog.m_bCertificateChosen;
    return true;
}

// The document's fingerprint, taken while it was read; the crypto provider's failure shows here.
bool TSRegisterCommand::Fingerprint() {
    if (m_fingerprint)
        return true;
    FailAfterReading(CryptoUnavailable());
    return false;
}

// Certificate method only: the fingerprint signed with a personal certificate, with the
// signing time and the document name as its authenticated attributes, in that order.
bool TSRegisterCommand::SignWithCertificate() {
    if (!m_bCertificateChosen)
        return true;
    Store store;
    try {
        store.Open(Store::CurrentUserStore, QStringLiteral("MY"), Store::OpenReadOnly);
    } catch (const TSError&) {
        FailAfterReading(CryptoUnavailable());
        return false;
    }
    if (store.Certificates().Count() == 0) {
        FailAfterReading(NoCertificate());
        return false;
    }
    try {
        // The library picks the certificate, asking the user when several can sign.
        m_sRegistrationData =
            SignWithTimeAndName(*m_fingerprint, QDateTime::currentDateTime(), m_sDocumentName, m_prompts);
    } catch (const TSError&) {
        if (abandoned())
            return false;
        FailAfterReading(CryptoUnavailable());
        return false;
    }
    return !abandoned();
}

// The registration posted from the site's first page, and the reply read.
bool TSRegisterCommand::Submit() {
    m_shell.SetProgressText(FilingText(m_lDocumentLength));
    m_sRegistrationData = CleanRegistrationData(m_sRegistrationData);
    m_shell.SetProgressText(ContactingText());

    const TSSiteExchange::Endpoints endpoints =
        TSSiteExchange::EndpointsFor(m_bCertificateChosen ? TSSiteExchange::Request::RegisterCertificate
                                                          : TSSiteExchange::Request::RegisterPassword,
                                     TSSiteExchange::SiteOrigin());
    const TSWaitEnd opened = m_shell.OpenPageAndWait(QUrl(endpoints.firstPage));
    if (opened == TSWaitEnd::Abandoned)
        return false;
    m_shell.HideProgress();
    m_shell.RefreshMainWindow();
    if (!m_shell.FirstPageCheck())
        return false; // the pane shows "ts_noaccess.htm"

    const TSSiteExchange::FormFields fields =
        m_bCertificateChosen
            ? TSSiteExchange::CertificateRegistrationFields(m_sRegistrationData, m_sDocumentName)
            : TSSiteExchange::PasswordRegistrationFields(m_sDocumentName, *m_fingerprint, m_sUser,
                                                         m_sPassword);
    const TSWaitEnd posted = m_shell.PostFormAndWait(QUrl(endpoints.formAction), fields);
    if (posted == TSWaitEnd::Abandoned)
        return false;
    if (TSNavigationFailed(posted)) {
        // Whether the site registered the document cannot be told: nothing is written.
        m_shell.ShowLocalErrorPage(TSSiteExchange::NoRegisterPage());
        return false;
    }

    const std::optional<QString> reply = m_shell.ReadReply();
    if (abandoned())
        return false;
    if (!reply) {
        // A reply that cannot be read cannot be taken for an acceptance either.
        m_shell.ShowLocalErrorPage(TSSiteExchange::NoRegisterPage());
        return false;
    }
    const TSSiteExchange::Reply verdict = TSSiteExchange::ClassifyReply(*reply);
    if (verdict != TSSiteExchange::Reply::Accepted) {
        Message(QMessageBox::Critical, TSSiteExchange::ErrorTitle(), TSSiteExchange::ReplyMessage(verdict));
        return false;
    }
    m_sReply = *reply;
    return true;
}

// User name and password only: the site's own signature becomes the registration data, and
// the reply's form is submitted without waiting for where it leads.
bool TSRegisterCommand::TakeSiteSignature() {
    if (m_bCertificateChosen)
        return true;
    const std::optional<QString> signature = TSSiteExchange::TakeSiteSignature(m_sReply);
    if (!TSSiteExchange::IsUsableSignature(signature)) {
        Message(QMessageBox::Critical, TSSiteExchange::ErrorTitle(), SignatureFailed());
        return false;
    }
    m_sRegistrationData = *signature;
    m_shell.SubmitReplyForm(); // a reply without the form submits nothing, and that is no error
    return !abandoned();
}

// The record and the copy, each read-only; the site's registration stands whatever
// happens here, and each file that cannot be written is reported once.
bool TSRegisterCommand::WritePair() {
    const TSStoreWriteResult written = m_pending->Publish(m_sRegistrationData);
    m_pending.reset();
    for (int i = 0; i < written.failures(); ++i)
        Message(QMessageBox::Critical, TSSiteExchange::ErrorTitle(), LocalCopyFailed());
    return true;
}

// ---------------------------------------------------------------------------------------------

void TSRegisterCommand::Message(QMessageBox::Icon icon, const QString& sTitle, const QString& sText) {
    if (abandoned())
        return;
    QMessageBox box(icon, sTitle, sText, QMessageBox::Ok, m_shell.dialogOwner());
    box.exec();
}

void TSRegisterCommand::FailAfterReading(const QString& sText) {
    m_shell.HideProgress();
    m_shell.RefreshMainWindow();
    Message(QMessageBox::Critical, TSSiteExchange::ErrorTitle(), sText);
}

TSSignMethod& TSRegisterCommand::SignMethodDialog() {
    QWidget* owner = m_shell.dialogOwner();
    auto* dialog =
        owner->findChild<TSSignMethod*>(QStringLiteral("TSSignMethod"), Qt::FindDirectChildrenOnly);
    if (!dialog)
        dialog = new TSSignMethod(owner); // kept by the main window until the program ends
    return *dialog;
}

bool TSRegisterCommand::abandoned() const {
    return m_shell.abandoned();
}
