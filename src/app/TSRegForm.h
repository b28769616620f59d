#pragma once

#include "commands/TSPane.h"

#include <QMainWindow>
#include <QVariant>

#include <chrono>
#include <functional>
#include <memory>

class QAction;
class QMenu;
class QWebEngineView;
class TSBrowserHost;
class TSProgressForm;
class TSUser;
class TSWidgetUser;

// The main window: the menus, the browser pane WebBrowser1 over the whole client area, and the
// progress window the commands show. Constructing it runs Form_Load. The commands reach the pane
// through it (TSPane) and the user through its dialogs and message boxes (TSWidgetUser); the
// pane's page-load state and its waits are the browser host's.
//
// The command guard. While a command runs, a second register or verify command and Help
// Contents do nothing but beep: they would end the running command's wait with the wrong page.
// No menu item is disabled. The pane refuses every navigation the command did not start (its
// context menu, links, the page's own scripts and forms, a dropped file). Exit, or closing the
// window, abandons the running command (its waits end at once and it returns without another
// step), and the program ends once the command has returned.
class TSRegForm : public QMainWindow, public TSPane {
    Q_OBJECT
public:
    // A command: the register or verify command, run with the user and the pane.
    using Command = std::function<void(TSUser&, TSPane&)>;

    explicit TSRegForm(QWidget* parent = nullptr);
    ~TSRegForm() override;

    QWebEngineView* WebBrowser1() const { return m_webBrowser1; }
    TSBrowserHost* browserHost() const { return m_host; }
    // The progress window, created at its first use and kept until the program ends.
    TSProgressForm* progressForm();
    // The user as the commands see it: the dialogs and message boxes over this window.
    TSUser& user();

    // The folder of the executable; the local pages and the store live beside it.
    static QString programFolder();
    // The address of a local page beside the program.
    static QUrl localPageUrl(const QString& page);

    // The browser host's page-load state (m_bPageLoaded, m_vNavigateStatus).
    bool pageLoaded() const;
    QVariant navigateStatus() const;

    // How long a wait lasts without a completed page (120 seconds unless changed).
    std::chrono::milliseconds waitLimit() const;
    void setWaitLimit(std::chrono::milliseconds limit);

    // The commands the menu items run.
    void setRegisterCommand(Command command) { m_registerCommand = std::move(command); }
    void setVerifyCommand(Command command) { m_verifyCommand = std::move(command); }
    bool commandRunning() const { return m_commandRunning; }

    // TSPane
    bool ProcessPendingEvents() override;
    bool abandoned() const override;
    TSWaitEnd OpenPageAndWait(const QUrl& url) override;
    TSWaitEnd PostFormAndWait(const QUrl& action, const TSSiteExchange::FormFields& fields) override;
    std::optional<QString> ReadReply() override;
    bool SubmitReplyForm() override;
    void ShowLocalPage(const QString& sPage, bool bAfterFailure = false) override;

public Q_SLOTS:
    void mFile_Register_Click();
    void mFile_Exit_Click();
    void m_View_Registered_Click();
    void mHelp_Contents_Click();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Form_Load();
    void Form_Resize();
    void buildMenus();
    // Runs a command under the guard; ends the program afterwards if it was abandoned.
    void runCommand(const Command& command);
    void endProgram();

    QWidget* m_client;
    QWebEngineView* m_webBrowser1;
    TSBrowserHost* m_host;
    TSProgressForm* m_progress = nullptr;
    std::unique_ptr<TSWidgetUser> m_user;

    bool m_commandRunning = false;
    Command m_registerCommand;
    Command m_verifyCommand;

    QMenu* m_mFile = nullptr;
    QAction* m_mFile_Register = nullptr;
    QAction* m_mFile_Exit = nullptr;
    QMenu* m_m_View = nullptr;
    QAction* m_m_View_Registered = nullptr;
    QMenu* m_mHelp = nullptr;
    QAction* m_mHelp_Contents = nullptr;
};
