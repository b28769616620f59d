#include "app/TSRegForm.h"

#include "app/TSProgressForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QMenuBar>
#include <QResizeEvent>
#include <QWebEngineView>

namespace {
// Initial client area 675 x 458.
constexpr int kClientWidth = 675;
constexpr int kClientHeight = 458;
} // namespace

TSRegForm::TSRegForm(QWidget* parent)
    : QMainWindow(parent), m_client(new QWidget(this)), m_webBrowser1(new QWebEngineView(m_client)) {
    setObjectName(QStringLiteral("TSRegForm"));
    m_client->setObjectName(QStringLiteral("client"));
    m_webBrowser1->setObjectName(QStringLiteral("WebBrowser1"));
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
    m_webBrowser1->setUrl(localPageUrl(QStringLiteral("ts_intro.htm")));
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

void TSRegForm::mFile_Register_Click() {
    // The register command is not built yet.
}

void TSRegForm::m_View_Registered_Click() {
    // The verify command is not built yet.
}

void TSRegForm::mHelp_Contents_Click() {
    m_webBrowser1->setUrl(localPageUrl(QStringLiteral("ts_Help_Contents.htm")));
}

void TSRegForm::mFile_Exit_Click() {
    // Ends the program at once: no confirmation, nothing to save.
    QCoreApplication::exit(0);
}

void TSRegForm::closeEvent(QCloseEvent* event) {
    // The close button ends the program just as Exit does.
    event->accept();
    mFile_Exit_Click();
}
