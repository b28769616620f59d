#include "app/TSRegForm.h"

#include "app/FindExtension.h"
#include "app/TSProgressForm.h"
#include "app/TSSigningDialogs.h"
#include "browserhost/TSBrowserHost.h"
#include "browserhost/TSWebPage.h"
#include "dialogs/CD1.h"
#include "registration/TSRegisterCommand.h"
#include "verification/TSVerifyCommand.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QLabel>
#include <QMenuBar>
#include <QResizeEvent>
#include <QWebEngineView>

namespace {
// Initial client area 675 x 458.
constexpr int kClientWidth = 675;
constexpr int kClientHeight = 458;
} // namespace

TSRegForm::TSRegForm(QWidget* parent)
    : QMainWindow(parent), m_client(new QWidget(this)), m_webBrowser1(new QWebEngineView(m_client)),
      m_host(new TSBrowserHost(m_webBrowser1)), m_registerCommand([](TSShell& shell) {
          TSRegisterCommand(shell, SigningDialogs(shell.dialogOwner())).Run();
      }),
      m_verifyCommand([](TSShell& shell) { TSVerifyCommand(shell, &FindExtension).Run(); }) {
    setObjectName(QStringLiteral("TSRegForm"));
    m_client->setObjectName(QStringLiteral("client"));
    m_webBrowser1->setObjectName(QStringLiteral("WebBrowser1"));
    m_cd1 = std::make_unique<CD1>(this);
    TSWebPage* page = m_host->page();
    connect(page, &TSWebPage::BeforeNavigate2, this, &TSRegForm::BeforeNavigate2);
    connect(page, &TSWebPage::DocumentComplete, this, &TSRegForm::DocumentComplete);
    connect(page, &TSWebPage::NavigateError, this, &TSRegForm::NavigateError);
    connect(page, &TSWebPage::DownloadBegin, this, &TSRegForm::DownloadBegin);
    connect(page, &TSWebPage::DownloadComplete, this, &TSRegForm::DownloadComplete);
    // The pane is placed by hand, not by a layout: Form_Resize sizes it to the client area.
    setCentralWidget(m_client);
    m_client->installEventFilter(this);
    buildMenus();
    resize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());
    Form_Load();
}

TSRegForm::~TSRegForm() = default;

void TSRegForm::buildMenus() {
    auto addMenu = [this](const char* name, const QString& caption) {
        QMenu* menu = menuBar()->addMenu(caption);
        menu->setObjectName(QLatin1String(name));
        menu->menuAction()->setObjectName(QLatin1String(name));
        return menu;
    };
    auto addItem = [this](QMenu* menu, const char* name, const QString& caption, void (TSRegForm::*slot)()) {
        QAction* action = menu->addAction(caption);
        action->setObjectName(QLatin1String(name));
        connect(action, &QAction::triggered, this, slot);
        return action;
    };
    m_mFile = addMenu("mFile", QStringLiteral("&File"));
    m_mFile_Register =
        addItem(m_mFile, "mFile_Register", QStringLiteral("&Register"), &TSRegForm::mFile_Register_Click);
    m_mFile_Exit = addItem(m_mFile, "mFile_Exit", QStringLiteral("E&xit"), &TSRegForm::mFile_Exit_Click);
    m_m_View = addMenu("m_View", QStringLiteral("&View"));
    m_m_View_Registered = addItem(m_m_View, "m_View_Registered", QStringLiteral("R&egistered Files..."),
                                  &TSRegForm::m_View_Registered_Click);
    m_mHelp = addMenu("mHelp", QStringLiteral("&Help"));
    m_mHelp_Contents = addItem(m_mHelp, "mHelp_Contents", QStringLiteral("Help &Contents"),
                               &TSRegForm::mHelp_Contents_Click);
}

void TSRegForm::Form_Load() {
    Form_Resize();
    setWindowTitle(QStringLiteral("Tessaro Intellectual Property Registration"));
    m_mFile->setTitle(QStringLiteral("&File"));
    m_mFile_Register->setText(QStringLiteral("&Register"));
    m_mFile_Exit->setText(QStringLiteral("E&xit"));
    m_mHelp->setTitle(QStringLiteral("&Help"));
    m_mHelp_Contents->setText(QStringLiteral("Help &Contents"));
    m_bPageLoaded = false;
    m_host->Navigate(localPageUrl(QStringLiteral("ts_intro.htm")));
}

void TSRegForm::Form_Resize() {
    // Height first, then width, as the window's client area measures now (zero included).
    const QSize client = m_client->size();
    m_webBrowser1->move(0, 0);
    m_webBrowser1->resize(m_webBrowser1->width(), client.height());
    m_webBrowser1->resize(client.width(), client.height());
}

bool TSRegForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_client && event->type() == QEvent::Resize)
        Form_Resize();
    return QMainWindow::eventFilter(watched, event);
}

TSProgressForm* TSRegForm::progressForm() {
    if (!m_progress)
        m_progress = new TSProgressForm(this);
    return m_progress;
}

QString TSRegForm::programFolder() {
    return QCoreApplication::applicationDirPath();
}

QUrl TSRegForm::localPageUrl(const QString& page) {
    return QUrl::fromLocalFile(programFolder() + QLatin1Char('/') + page);
}

// --- Page-load tracking

void TSRegForm::BeforeNavigate2(const QUrl&) {
    m_bPageLoaded = false;
    m_vNavigateStatus = QVariant(false);
}

void TSRegForm::DocumentComplete(const QUrl&) {
    m_bPageLoaded = true;
    m_host->wake();
}

void TSRegForm::NavigateError(const QUrl&, int statusCode) {
    m_vNavigateStatus = QVariant(statusCode);
}

void TSRegForm::DownloadBegin() {}

void TSRegForm::DownloadComplete() {}

bool TSRegForm::CountsAsNoFailure(const QVariant& vStatus) {
    // Compared by type: an empty QVariant is not equal to QVariant(0) in Qt 6.
    switch (vStatus.typeId()) {
    case QMetaType::UnknownType:
        return true;
    case QMetaType::Bool:
        return !vStatus.toBool();
    case QMetaType::Int:
        return vStatus.toInt() == 0;
    default:
        return false;
    }
}

std::chrono::milliseconds TSRegForm::waitLimit() const {
    return m_host->waitLimit();
}

void TSRegForm::setWaitLimit(std::chrono::milliseconds limit) {
    m_host->setWaitLimit(limit);
}

TSWaitEnd TSRegForm::timeOut() {
    // No page completed in time: stop the load and record the time-out as a failed navigation.
    m_host->page()->giveUpOwn(kTimedOutStatus);
    m_host->Stop();
    m_vNavigateStatus = QVariant(kTimedOutStatus);
    return TSWaitEnd::TimedOut;
}

TSWaitEnd TSRegForm::waitForPage(quint64 navigation, bool bMarked) {
    TSWebPage* page = m_host->page();
    const TSBrowserHost::WaitEnd end =
        m_host->WaitUntil([page, navigation] { return page->ending(navigation).has_value(); });
    switch (end) {
    case TSBrowserHost::WaitEnd::Abandoned:
        return TSWaitEnd::Abandoned;
    case TSBrowserHost::WaitEnd::TimedOut:
        return timeOut();
    case TSBrowserHost::WaitEnd::Done:
        break;
    }
    const int status = *page->ending(navigation);
    if (status != 0) {
        m_vNavigateStatus = QVariant(status);
        return TSWaitEnd::Failed;
    }
    if (bMarked) {
        // The document in the pane must be a new one, not the one the navigation started from.
        const TSBrowserHost::Result mark = m_host->ReadDocumentMark();
        if (mark.end == TSBrowserHost::WaitEnd::Abandoned)
            return TSWaitEnd::Abandoned;
        if (mark.end == TSBrowserHost::WaitEnd::TimedOut)
            return timeOut();
        if (!mark.ok() || !mark.text.isEmpty()) {
            m_vNavigateStatus = QVariant(TSWebPage::kNoNewDocumentStatus);
            return TSWaitEnd::Failed;
        }
    }
    return TSWaitEnd::Loaded;
}

TSWaitEnd TSRegForm::OpenPageAndWait(const QUrl& url) {
    if (abandoned())
        return TSWaitEnd::Abandoned;
    // Where no document can be marked (there is none yet), none can be taken for the new page
    // either, and the check after the wait is left out.
    const TSBrowserHost::Result marked = m_host->MarkDocument();
    if (marked.end == TSBrowserHost::WaitEnd::Abandoned)
        return TSWaitEnd::Abandoned;
    if (marked.end == TSBrowserHost::WaitEnd::TimedOut)
        return timeOut();
    m_bPageLoaded = false;
    return waitForPage(m_host->Navigate(url), marked.ok());
}

bool TSRegForm::FirstPageCheck() {
    if (CountsAsNoFailure(m_vNavigateStatus))
        return true;
    ShowLocalErrorPage(QStringLiteral("ts_noaccess.htm"));
    return false;
}

void TSRegForm::ShowLocalErrorPage(const QString& sPage) {
    m_bPageLoaded = false;
    m_host->Navigate(localPageUrl(sPage));
    m_vNavigateStatus = QVariant(0);
}

void TSRegForm::NavigateLocalPage(const QString& sPage) {
    m_host->Navigate(localPageUrl(sPage));
}

TSWaitEnd TSRegForm::PostFormAndWait(const QUrl& action, const TSSiteExchange::FormFields& fields) {
    if (abandoned())
        return TSWaitEnd::Abandoned;
    const bool wasLoaded = m_bPageLoaded;
    m_bPageLoaded = false;
    const TSBrowserHost::Result submitted = m_host->SubmitForm(action, fields);
    switch (submitted.end) {
    case TSBrowserHost::WaitEnd::Abandoned:
        return TSWaitEnd::Abandoned;
    case TSBrowserHost::WaitEnd::TimedOut:
        return timeOut();
    case TSBrowserHost::WaitEnd::Done:
        break;
    }
    if (!submitted.error.isEmpty()) {
        // Nothing was submitted, so no page will complete: the caller must not wait.
        m_bPageLoaded = wasLoaded;
        return TSWaitEnd::NotStarted;
    }
    return waitForPage(submitted.navigation, true);
}

std::optional<QString> TSRegForm::ReadReply() {
    if (abandoned())
        return std::nullopt;
    const TSBrowserHost::Result read = m_host->ReadDocumentMarkup();
    if (!read.ok())
        return std::nullopt;
    return read.text;
}

bool TSRegForm::SubmitReplyForm() {
    if (abandoned())
        return false;
    return m_host->SubmitDocumentForm().ok();
}

// --- The rest of the shell

void TSRegForm::RefreshMainWindow() {
    repaint();
}

bool TSRegForm::ProcessPendingEvents() {
    if (!abandoned())
        QCoreApplication::processEvents();
    return !abandoned();
}

bool TSRegForm::abandoned() const {
    return m_host->abandoned();
}

CD1& TSRegForm::cd1() {
    return *m_cd1;
}

void TSRegForm::SetProgressCaption(const QString& sCaption) {
    progressForm()->setWindowTitle(sCaption);
}

void TSRegForm::SetProgressText(const QString& sText) {
    progressForm()->Label1()->setText(sText);
}

void TSRegForm::ShowProgress() {
    progressForm()->showCentred();
}

void TSRegForm::RepaintProgress() {
    progressForm()->repaint();
}

void TSRegForm::SetProgressBusyCursor(bool bBusy) {
    if (bBusy)
        progressForm()->setCursor(Qt::WaitCursor);
    else
        progressForm()->unsetCursor();
}

void TSRegForm::HideProgress() {
    progressForm()->hide();
}

// --- Menu commands and the guard

void TSRegForm::runCommand(const Command& command) {
    if (m_commandRunning) {
        QApplication::beep();
        return;
    }
    m_commandRunning = true;
    // The pane is the command's: it takes no input, and refuses navigations the command did
    // not start.
    m_host->page()->setGuarded(true);
    m_webBrowser1->setEnabled(false);
    command(*this);
    m_webBrowser1->setEnabled(true);
    m_host->page()->setGuarded(false);
    m_commandRunning = false;
    if (abandoned())
        endProgram();
}

void TSRegForm::mFile_Register_Click() {
    runCommand(m_registerCommand);
}

void TSRegForm::m_View_Registered_Click() {
    runCommand(m_verifyCommand);
}

void TSRegForm::mHelp_Contents_Click() {
    if (m_commandRunning) {
        QApplication::beep();
        return;
    }
    m_host->Navigate(localPageUrl(QStringLiteral("ts_Help_Contents.htm")));
}

void TSRegForm::mFile_Exit_Click() {
    if (m_commandRunning) {
        // The command's waits end at once; runCommand ends the program once it has returned.
        m_host->abandon();
        return;
    }
    endProgram();
}

void TSRegForm::endProgram() {
    // Ends the program at once: no confirmation, nothing to save.
    QCoreApplication::exit(0);
}

void TSRegForm::closeEvent(QCloseEvent* event) {
    // The close button ends the program just as Exit does.
    event->accept();
    mFile_Exit_Click();
}
