#pragma once

#include "protocol/TSSiteExchange.h"

#include <QString>
#include <QUrl>

#include <optional>

class CD1;
class QWidget;

// How waiting for a page ended.
enum class TSWaitEnd {
    Loaded,     // the navigation the command started completed with a new document, and the
                // navigation status counts as no failure
    Failed,     // that navigation failed (the browser's error page, or the server's reply to an
                // HTTP error, is in the pane) or ended without a new document; the navigation
                // status holds the failure's code
    TimedOut,   // no page completed within the wait limit: the load was stopped, status -7
    Abandoned,  // the user chose Exit or closed the main window: end the command at once
    NotStarted, // the form could not be built or submitted: nothing was sent, nothing waited for
};

// True when the navigation failed by the test that follows every wait: a failure status
// (Failed, TimedOut) or nothing submitted (NotStarted).
inline bool TSNavigationFailed(TSWaitEnd end) {
    return end == TSWaitEnd::Failed || end == TSWaitEnd::TimedOut || end == TSWaitEnd::NotStarted;
}

// What the register and verify commands use of the main window: the browser pane and its
// page-load state, the progress window, the open-file dialog and the window itself. The main
// window implements it; a command is handed one for the length of its run.
//
// Abandonment: when the user chooses Exit or closes the main window while a command runs, every
// wait under way and every later one ends with Abandoned, ProcessPendingEvents() answers false
// and abandoned() true. The command must then return at once: no further step, message box or
// store write (a record pair set aside is put back). The program ends once it has returned.
// A command tests abandoned() after every call that lets events run: the waits, the reading and
// submitting of documents, ProcessPendingEvents() and its modal dialogs.
class TSShell {
public:
    virtual ~TSShell() = default;

    // --- The window
    // The owner of the command's dialogs and message boxes.
    virtual QWidget* dialogOwner() = 0;
    // The program's folder (no trailing "/"): the local pages and the store live beside it.
    virtual QString ProgramFolder() const = 0;
    // The address of a local page beside the program.
    virtual QUrl LocalPageUrl(const QString& sPage) const = 0;
    // Repaints the main window at once.
    virtual void RefreshMainWindow() = 0;
    // Lets the pending user-interface events run once. False when the command has been
    // abandoned (before or during the pass).
    virtual bool ProcessPendingEvents() = 0;
    virtual bool abandoned() const = 0;
    // The open-file dialog component.
    virtual CD1& cd1() = 0;

    // --- The browser pane
    // Sets the page-load flag False, navigates to the address alone and waits for the page.
    virtual TSWaitEnd OpenPageAndWait(const QUrl& url) = 0;
    // The first-page check after OpenPageAndWait: true when the navigation status counts as no
    // failure. Otherwise shows the local page "ts_noaccess.htm" (ShowLocalErrorPage) and answers
    // false: the command ends without a message.
    virtual bool FirstPageCheck() = 0;
    // Sets the page-load flag False, navigates to the local page without waiting for it and
    // sets the navigation status to the integer 0 (the failure has been dealt with).
    virtual void ShowLocalErrorPage(const QString& sPage) = 0;
    // Navigates to a local page without waiting and without touching the page-load state.
    virtual void NavigateLocalPage(const QString& sPage) = 0;
    // Adds a form to the document in the pane, sets its action, adds the hidden fields in the
    // order given (each name and value escaped, so the site receives them exactly), sets the
    // page-load flag False, submits the form and waits for the reply. NotStarted when the form
    // could not be built or submitted (no body, or the element with id "regform" is not a
    // form): nothing was sent, and the same page stays in the pane.
    virtual TSWaitEnd PostFormAndWait(const QUrl& action, const TSSiteExchange::FormFields& fields) = 0;
    // The whole markup of the document in the pane (documentElement's outerHTML, comments
    // included); nothing when it cannot be read (abandoned, timed out, no document element).
    virtual std::optional<QString> ReadReply() = 0;
    // Submits the pane document's own form with id "regform" without waiting for the page it
    // leads to. False when there is no such form (or the command was abandoned).
    virtual bool SubmitReplyForm() = 0;

    // --- The progress window (created at its first use, then only shown and hidden)
    virtual void SetProgressCaption(const QString& sCaption) = 0;
    virtual void SetProgressText(const QString& sText) = 0;
    // Shows it centred over the main window, without modality.
    virtual void ShowProgress() = 0;
    virtual void RepaintProgress() = 0;
    // The hourglass (busy) pointer over it, or the default one.
    virtual void SetProgressBusyCursor(bool bBusy) = 0;
    virtual void HideProgress() = 0;

protected:
    TSShell() = default;
    TSShell(const TSShell&) = default;
    TSShell& operator=(const TSShell&) = default;
};
