#pragma once

#include "browserhost/TSWebPage.h"
#include "registration/TSShell.h"

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

// The main window: the menus, the browser pane WebBrowser1 over the whole client area, the
// pane's page-load state, and the progress window the commands show. Constructing it runs
// Form_Load. It is the shell the register and verify commands run in (TSShell).
//
// Page-load state. m_bPageLoaded is True once a document in the pane has completed since the
// last reset; m_vNavigateStatus is empty at start, False (a Boolean) from the start of every
// navigation, the status code of a failed one, and the integer 0 once a command has dealt with
// a failure. The pane's notification handlers below keep both. The status of a failed
// navigation is an HTTP status (such as 404), a negative network error code, or one of:
//   -7     the wait timed out (the load was stopped);
//   -1001  the navigation ended without a new document (stopped, aborted, answered 204 or
//          205, turned into a download, or the document completed is still the one it
//          started from);
//   -1002  the navigation was replaced by another one.
//
// Waits. A wait ends only when the navigation it started, with its redirects, ends, and it
// counts as loaded only when that navigation brought a new document into the main frame: the
// document in the pane is marked before each navigation, and a document still marked is not a
// reply.
//
// The command guard. While a command runs, a second register or verify command and Help
// Contents do nothing but beep: they would end the running command's wait with the wrong page.
// No menu item is disabled. The pane refuses every navigation the command did not start (its
// context menu, links, the page's own scripts and forms, a dropped file). Exit, or closing the
// window, abandons the running command (its waits end at once and it returns without another
// step), and the program ends once the command has returned.
class TSRegForm : public QMainWindow, public TSShell {
    Q_OBJECT
public:
    // A command: the register or verify command, run inside the shell.
    using Command = std::function<void(TSShell&)>;
    // The status recorded when a wait times out.
    static constexpr int kTimedOutStatus = TSWebPage::kTimedOutStatus;

    explicit TSRegForm(QWidget* parent = nullptr);
    ~TSRegForm() override;

    QWebEngineView* WebBrowser1() const { return m_webBrowser1; }
    TSBrowserHost* browserHost() const { return m_host; }
    // The progress window, created at its first use and kept until the program ends.
    TSProgressForm* progressForm();

    // The folder of the executable; the local pages and the store live beside it.
    static QString programFolder();
    // The address of a local page beside the program.
    static QUrl localPageUrl(const QString& page);

    bool pageLoaded() const { return m_bPageLoaded; }
    QVariant navigateStatus() const { return m_vNavigateStatus; }
    // Whether a navigation status counts as no failure: empty, False and the integer 0 do;
    // True and every other integer do not.
    static bool CountsAsNoFailure(const QVariant& vStatus);

    // How long a wait lasts without a completed page (120 seconds unless changed).
    std::chrono::milliseconds waitLimit() const;
    void setWaitLimit(std::chrono::milliseconds limit);

    // The commands the menu items run.
    void setRegisterCommand(Command command) { m_registerCommand = std::move(command); }
    void setVerifyCommand(Command command) { m_verifyCommand = std::move(command); }
    bool commandRunning() const { return m_commandRunning; }

    // TSShell
    QWidget* dialogOwner() override { return this; }
    QString ProgramFolder() const override { return programFolder(); }
    QUrl LocalPageUrl(const QString& sPage) const override { return localPageUrl(sPage); }
    void RefreshMainWindow() override;
    bool ProcessPendingEvents() override;
    bool abandoned() const override;
    CD1& cd1() override;
    TSWaitEnd OpenPageAndWait(const QUrl& url) override;
    bool FirstPageCheck() override;
    void ShowLocalErrorPage(const QString& sPage) override;
    void NavigateLocalPage(const QString& sPage) override;
    TSWaitEnd PostFormAndWait(const QUrl& action, const TSSiteExchange::FormFields& fields) override;
    std::optional<QString> ReadReply() override;
    bool SubmitReplyForm() override;
    void SetProgressCaption(const QString& sCaption) override;
    void SetProgressText(const QString& sText) override;
    void ShowProgress() override;
    void RepaintProgress() override;
    void SetProgressBusyCursor(bool bBusy) override;
    void HideProgress() override;

public Q_SLOTS:
    void mFile_Register_Click();
    void mFile_Exit_Click();
    void m_View_Registered_Click();
    void mHelp_Contents_Click();

    // The browser pane's notifications.
    void BeforeNavigate2(const QUrl& url);
    void DocumentComplete(const QUrl& url);
    void NavigateError(const QUrl& url, int statusCode);
    void DownloadBegin();
    void DownloadComplete();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Form_Load();
    void Form_Resize();
    void buildMenus();
    // Runs a command under the guard; ends the program afterwards if it was abandoned.
    void runCommand(const Command& command);
    TSWaitEnd timeOut();
    // Waits until the own navigation has ended and tells how; with bMarked, a document that
    // still carries the mark set before the navigation makes it a failure.
    TSWaitEnd waitForPage(quint64 navigation, bool bMarked);
    void endProgram();

    QWidget* m_client;
    QWebEngineView* m_webBrowser1;
    TSBrowserHost* m_host;
    TSProgressForm* m_progress = nullptr;
    // The open-file dialog component, owned for the whole run.
    std::unique_ptr<CD1> m_cd1;

    bool m_bPageLoaded = false;
    QVariant m_vNavigateStatus;

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
