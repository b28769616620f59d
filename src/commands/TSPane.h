#pragma once

#include "protocol/TSSiteExchange.h"

#include <QString>
#include <QUrl>

#include <optional>

// How waiting for a page ended.
enum class TSWaitEnd {
    Loaded,     // the navigation the command started completed with a new document
    Failed,     // that navigation failed (the browser's error page, or the server's reply to an
                // HTTP error, is in the pane) or ended without a new document
    TimedOut,   // no page completed within the wait limit: the load was stopped
    Abandoned,  // the user chose Exit or closed the main window: end the command at once
    NotStarted, // the form could not be built or submitted: nothing was sent, nothing waited for
};

// True when the navigation failed by the test that follows every wait: a failure status
// (Failed, TimedOut) or nothing submitted (NotStarted).
inline bool TSNavigationFailed(TSWaitEnd end) {
    return end == TSWaitEnd::Failed || end == TSWaitEnd::TimedOut || end == TSWaitEnd::NotStarted;
}

// What the commands use of the browser pane: the site's pages, opened and posted to with a
// wait for each, the reply's markup, and the local pages beside the program.
//
// Abandonment: when the user chooses Exit or closes the main window while a command runs, every
// wait under way and every later one ends with Abandoned, ProcessPendingEvents() answers false
// and abandoned() true. The command must then return at once: no further step, message or
// store write (a record pair set aside is put back). The program ends once it has returned.
// A command tests abandoned() after every call that lets events run: the waits, the reading and
// submitting of documents, ProcessPendingEvents() and the user's modal dialogs.
class TSPane {
public:
    virtual ~TSPane() = default;

    // Lets the pending user-interface events run once. False when the command has been
    // abandoned (before or during the pass).
    virtual bool ProcessPendingEvents() = 0;
    virtual bool abandoned() const = 0;

    // Navigates to the address alone and waits for the page.
    virtual TSWaitEnd OpenPageAndWait(const QUrl& url) = 0;
    // Adds a form to the document in the pane, sets its action, adds the hidden fields in the
    // order given (each name and value escaped, so the site receives them exactly), submits it
    // and waits for the reply. NotStarted when the form could not be built or submitted: the
    // same page stays in the pane.
    virtual TSWaitEnd PostFormAndWait(const QUrl& action, const TSSiteExchange::FormFields& fields) = 0;
    // The whole markup of the document in the pane (comments included); nothing when it cannot
    // be read.
    virtual std::optional<QString> ReadReply() = 0;
    // Submits the pane document's own form with id "regform" without waiting for the page it
    // leads to. False when there is no such form.
    virtual bool SubmitReplyForm() = 0;
    // Shows a local page beside the program without waiting for it. With bAfterFailure, the
    // failure of the last navigation counts as dealt with.
    virtual void ShowLocalPage(const QString& sPage, bool bAfterFailure = false) = 0;

protected:
    TSPane() = default;
    TSPane(const TSPane&) = default;
    TSPane& operator=(const TSPane&) = default;
};
