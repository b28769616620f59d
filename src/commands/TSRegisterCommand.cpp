#include "commands/TSRegisterCommand.h"

#include "certstore/CertLibrary.h"
#include "commands/TSPane.h"
#include "commands/TSUser.h"
#include "crypto/TSError.h"
#include "protocol/TSSiteExchange.h"

#include <QDateTime>
#include <QUrl>

using namespace TSCommandTexts;

namespace {

// The message for the site's answer to a registration; none for an acceptance.
std::optional<TSMessage> RefusalMessage(TSSiteExchange::Reply reply) {
    using Reply = TSSiteExchange::Reply;
    switch (reply) {
    case Reply::Accepted:
        return std::nullopt;
    case Reply::DatabaseNotAvailable:
        return TSMessage::SiteDatabaseNotAvailable;
    case Reply::NotRegisteredUser:
        return TSMessage::SiteNotRegisteredUser;
    case Reply::RegistrationsTableClosed:
        return TSMessage::SiteRegistrationsTableClosed;
    case Reply::SignatureNotVerified:
        return TSMessage::SiteSignatureNotVerified;
    case Reply::DatabaseNotUpdated:
        return TSMessage::SiteDatabaseNotUpdated;
    case Reply::OtherError:
        break;
    }
    return TSMessage::SiteOtherError;
}

} // namespace

TSRegisterCommand::TSRegisterCommand(TSUser& user, TSPane& pane, const QString& sProgramFolder)
    : m_user(user), m_pane(pane), m_store(sProgramFolder) {}

TSRegisterCommand::~TSRegisterCommand() = default;

void TSRegisterCommand::Run() {
    // Nothing the command meets may end the program: an unexpected failure (running out of
    // memory, mostly) ends it with the message of the stage it arose in.
    try {
        RunSteps();
    } catch (...) {
        if (m_bProgressShown && !abandoned())
            m_user.HideProgress(true);
        m_pending.reset(); // puts a pair set aside back, removes the new copy
        Tell(m_bDocumentRead ? TSMessage::CryptoUnavailable : TSMessage::FileCannotBeRead);
    }
    m_document.Close();
    if (m_bProgressShown && !abandoned())
        m_user.HideProgress();
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
        Tell(TSMessage::CryptoUnavailable);
        return false;
    }
    return true;
}

// The store folder beside the program.
bool TSRegisterCommand::EnsureStoreFolder() {
    if (m_store.EnsureFolder())
        return true;
    Tell(TSMessage::CannotCreateStore);
    return false;
}

// The document, chosen in the open-file dialog; a second try starts at the root folder
// when the first cannot be shown.
bool TSRegisterCommand::ChooseDocument() {
    using Outcome = TSUser::FileChoice::Outcome;
    TSUser::FileRequest request{RegisterDialogTitle(), HomeInitialFileName(), RegisterDialogFilter()};
    TSUser::FileChoice chosen = m_user.ChooseFile(request);
    if (abandoned())
        return false;
    if (chosen.outcome == Outcome::Failed) {
        request.initialFileName = FallbackInitialFileName();
        chosen = m_user.ChooseFile(request);
        if (abandoned())
            return false;
        if (chosen.outcome == Outcome::Failed) {
            Tell(TSMessage::DialogFailed, {QString::number(chosen.errorNumber), chosen.errorDescription});
            return false;
        }
    }
    if (chosen.outcome == Outcome::Cancelled)
        return false;
    m_sDocumentPath = chosen.path;
    m_sDocumentName = chosen.title;
    // A name that cannot be posted intact is refused before anything is read or sent.
    if (!NameCanTravel(m_sDocumentName)) {
        Tell(TSMessage::NameHasControlCharacters);
        return false;
    }
    return true;
}

// The document, open for reading until it has been read.
bool TSRegisterCommand::OpenDocument() {
    if (m_document.Open(m_sDocumentPath))
        return true;
    Tell(TSMessage::CannotOpenDocument);
    return false;
}

// A record of the same name. No (also Esc or closing the question) keeps it and ends the
// command; Yes sets the record and copy aside until the new pair has been written.
bool TSRegisterCommand::DealWithExistingRecord() {
    if (!m_store.RecordExists(m_sDocumentName))
        return true;
    const bool recreate = m_user.AskRecreate();
    if (abandoned())
        return false;
    if (!recreate) {
        Tell(TSMessage::ExistingDataKept);
        return false;
    }
    m_pending = std::make_unique<TSPendingPair>(m_store, m_sDocumentName);
    if (!m_pending->isOpen() || !m_pending->SetAsideOldPair()) {
        m_pending.reset();
        Tell(TSMessage::CannotSetAside);
        return false;
    }
    return true;
}

// The document, read once under the progress window: the same pass fingerprints it and writes
// the new copy into the store, where it waits, hidden, for the site's acceptance.
bool TSRegisterCommand::ReadDocument() {
    m_lDocumentLength = m_document.Length();
    m_user.ShowProgress(RegisterCaption(), ReadingText(m_lDocumentLength), false);
    m_bProgressShown = true;
    if (!m_pane.ProcessPendingEvents())
        return false;
    if (m_lDocumentLength <= 0) {
        FailAfterReading(TSMessage::EmptyDocument);
        return false;
    }
    if (!m_pending)
        m_pending = std::make_unique<TSPendingPair>(m_store, m_sDocumentName);
    const TSFingerprintStream::Result read = m_pending->CopyDocument(m_document.descriptor());
    m_document.Close();
    using Outcome = TSFingerprintStream::Result::Outcome;
    if (read.outcome != Outcome::Done) {
        // A copy that cannot be kept ends the command before anything is sent: the store
        // refuses it (a full disk, a folder that cannot be written).
        FailAfterReading(read.outcome == Outcome::ReadFailed ? TSMessage::FileCannotBeRead
                                                             : TSMessage::CannotCreateStore);
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
    const std::optional<TSUser::SignMethod> method = m_user.AskSignMethod();
    if (abandoned())
        return false;
    if (!method) {
        Tell(TSMessage::RegistrationCancelled);
        m_user.HideProgress();
        return false;
    }
    m_sUser = method->user;
    m_sPassword = method->password;
    m_bCertificateChosen = method->certificate;
    return true;
}

// The document's fingerprint, taken while it was read; the crypto provider's failure shows here.
bool TSRegisterCommand::Fingerprint() {
    if (m_fingerprint)
        return true;
    FailAfterReading(TSMessage::CryptoUnavailable);
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
        FailAfterReading(TSMessage::CryptoUnavailable);
        return false;
    }
    if (store.Certificates().Count() == 0) {
        FailAfterReading(TSMessage::NoCertificate);
        return false;
    }
    try {
        // The library picks the certificate, asking the user when several can sign, and asks for
        // the password of a protected database or token.
        SigningPrompts prompts;
        prompts.chooseCertificate = [this](const QList<Certificate>& certificates) {
            return m_user.ChooseCertificate(certificates);
        };
        prompts.askPassword = [this](const QString& tokenLabel, bool bRetry) {
            return m_user.AskTokenPassword(tokenLabel, bRetry);
        };
        m_sRegistrationData =
            SignWithTimeAndName(*m_fingerprint, QDateTime::currentDateTime(), m_sDocumentName, prompts);
    } catch (const TSError&) {
        if (abandoned())
            return false;
        FailAfterReading(TSMessage::CryptoUnavailable);
        return false;
    }
    return !abandoned();
}

// The registration posted from the site's first page, and the reply read.
bool TSRegisterCommand::Submit() {
    m_user.SetProgressText(FilingText(m_lDocumentLength));
    m_sRegistrationData = CleanRegistrationData(m_sRegistrationData);
    m_user.SetProgressText(ContactingText());

    const TSSiteExchange::Endpoints endpoints =
        TSSiteExchange::EndpointsFor(m_bCertificateChosen ? TSSiteExchange::Request::RegisterCertificate
                                                          : TSSiteExchange::Request::RegisterPassword,
                                     TSSiteExchange::SiteOrigin());
    const TSWaitEnd opened = m_pane.OpenPageAndWait(QUrl(endpoints.firstPage));
    if (opened == TSWaitEnd::Abandoned)
        return false;
    m_user.HideProgress(true);
    if (TSNavigationFailed(opened)) {
        m_pane.ShowLocalPage(TSSiteExchange::NoAccessPage(), true);
        return false;
    }

    const TSSiteExchange::FormFields fields =
        m_bCertificateChosen
            ? TSSiteExchange::CertificateRegistrationFields(m_sRegistrationData, m_sDocumentName)
            : TSSiteExchange::PasswordRegistrationFields(m_sDocumentName, *m_fingerprint, m_sUser,
                                                         m_sPassword);
    const TSWaitEnd posted = m_pane.PostFormAndWait(QUrl(endpoints.formAction), fields);
    if (posted == TSWaitEnd::Abandoned)
        return false;
    if (TSNavigationFailed(posted)) {
        // Whether the site registered the document cannot be told: nothing is written.
        m_pane.ShowLocalPage(TSSiteExchange::NoRegisterPage(), true);
        return false;
    }

    const std::optional<QString> reply = m_pane.ReadReply();
    if (abandoned())
        return false;
    if (!reply) {
        // A reply that cannot be read cannot be taken for an acceptance either.
        m_pane.ShowLocalPage(TSSiteExchange::NoRegisterPage(), true);
        return false;
    }
    if (const std::optional<TSMessage> refusal = RefusalMessage(TSSiteExchange::ClassifyReply(*reply))) {
        Tell(*refusal);
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
        Tell(TSMessage::SignatureFailed);
        return false;
    }
    m_sRegistrationData = *signature;
    m_pane.SubmitReplyForm(); // a reply without the form submits nothing, and that is no error
    return !abandoned();
}

// The record and the copy, each read-only; the site's registration stands whatever
// happens here, and each file that cannot be written is reported once.
bool TSRegisterCommand::WritePair() {
    const TSStoreWriteResult written = m_pending->Publish(m_sRegistrationData);
    m_pending.reset();
    for (int i = 0; i < written.failures(); ++i)
        Tell(TSMessage::LocalCopyFailed);
    return true;
}

// ---------------------------------------------------------------------------------------------

void TSRegisterCommand::Tell(TSMessage message, const QStringList& arguments) {
    if (!abandoned())
        m_user.Tell(message, arguments);
}

void TSRegisterCommand::FailAfterReading(TSMessage message) {
    m_user.HideProgress(true);
    Tell(message);
}

bool TSRegisterCommand::abandoned() const {
    return m_pane.abandoned();
}
