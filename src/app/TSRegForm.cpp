#include "app/TSRegForm.h"

#include "app/FindExtension.h"
#include "app/TSProgressForm.h"
#include "app/TSWidgetUser.h"
#include "browserhost/TSBrowserHost.h"
#include "browserhost/TSWebPage.h"
#include "commands/TSRegisterCommand.h"
#include "commands/TSVerifyCommand.h"

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
      m_host(new TSBrowserHost(m_webBrowser1)), m_registerCommand([](TSUser& user, TSPane& pane) {
          TSRegisterCommand(user, pane, programFolder()).Run();
      }),
      m_verifyCommand([](TSUser& user, TSPane& pane) {
          TSVerifyCommand(user, pane, programFolder(), &FindExtension).Run();
      }) {
    setObjectName(QStringLiteral("TSRegForm"));
    m_client->setObjectName(QStringLiteral("client"));
    m_webBrowser1->setObjectName(QStringLiteral("WebBrowser1"));
    m_user = std::make_unique<TSWidgetUser>(*this);
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
    m_host->ShowLocalPage(localPageUrl(QStringLiteral("ts_intro.htm")), false);
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

TSUser& TSRegForm::user() {
    return *m_user;
}

bool TSRegForm::pageLoaded() const {
    return m_host->pageLoaded();
}

QVariant TSRegForm::navigateStatus() const {
    return m_host->navigateStatus();
}

std::chrono::milliseconds TSRegForm::waitLimit() const {
    return m_host->waitLimit();
}

void TSRegForm::setWaitLimit(std::chrono::milliseconds limit) {
    m_host->setWaitLimit(limit);
}

// --- The pane, as the commands see it

namespace {
TSWaitEnd asWaitEnd(TSBrowserHost::PageEnd end) {
    switch (end) {
    case TSBrowserHost::PageEnd::Loaded:
        return TSWaitEnd::Loaded;
    case TSBrowserHost::PageEnd::Failed:
        return TSWaitEnd::Failed;
    case TSBrowserHost::PageEnd::TimedOut:
        return TSWaitEnd::TimedOut;
    case TSBrowserHost::PageEnd::Abandoned:
        return TSWaitEnd::Abandoned;
    case TSBrowserHost::PageEnd::NotStarted:
        break;
    }
    return TSWaitEnd::NotStarted;
}
} // namespace

bool TSRegForm::ProcessPendingEvents() {
    if (!abandoned())
        QCoreApplication::processEvents();
    return !abandoned();
}

bool TSRegForm::abandoned() const {
    return m_host->abandoned();
}

TSWaitEnd TSRegForm::OpenPageAndWait(const QUrl& url) {
    return asWaitEnd(m_host->OpenPageAndWait(url));
}

TSWaitEnd TSRegForm::PostFormAndWait(const QUrl& action, const TSSiteExchange::FormFields& fields) {
    return asWaitEnd(m_host->PostFormAndWait(action, fields));
}

std::optional<QString> TSRegForm::ReadReply() {
    return m_host->ReadReply();
}

bool TSRegForm::SubmitReplyForm() {
    return m_host->SubmitReplyForm();
}

void TSRegForm::ShowLocalPage(const QString& sPage, bool bAfterFailure) {
    m_host->ShowLocalPage(localPageUrl(sPage), bAfterFailure);
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
    command(*m_user, *this);
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
