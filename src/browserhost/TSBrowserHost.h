#pragma once

#include "browserhost/TSMarkup.h"

#include <QList>
#include <QObject>
#include <QPair>
#include <QUrl>
#include <QVariant>

#include <chrono>
#include <functional>

class QEventLoop;
class QWebEngineView;
class TSWebPage;

// The host of the embedded browser: the pane's page, navigation, the document operations the
// commands need, and the rules every wait follows.
//
// A wait runs a nested event loop, so the pane's notifications and the user's menu choices go
// on while it lasts; it never spins the processor. It ends when its condition holds (tested
// again each time wake() is called), when the wait limit passes, or at once when the host is
// abandoned; once abandoned, every later wait ends at once too. The application quitting
// (QCoreApplication::exit) abandons the host as well.
//
// Document operations run as scripts in the application's own world (QWebEngineScript::
// ApplicationWorld), out of reach of the page's scripts, and call the DOM's own prototype
// methods, so nothing the page defines can stand in for them. Values enter a script only as
// JSON string literals. The caller waits for a script's answer under the same rules as for a
// page.
class TSBrowserHost : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kDefaultWaitLimit{120000};

    enum class WaitEnd {
        Done,     // the condition holds
        TimedOut, // the wait limit passed first
        Abandoned // abandon() was called
    };

    // The outcome of a document operation.
    struct Result {
        WaitEnd end = WaitEnd::Done; // how waiting for the script's answer ended
        QString error;               // when end is Done: empty on success, otherwise what failed
        QString text;                // ReadDocumentMarkup: the markup
        quint64 navigation = 0;      // SubmitForm: the submission's number for TSWebPage::ending
        bool ok() const { return end == WaitEnd::Done && error.isEmpty(); }
    };

    // Puts a TSWebPage into the view; the host and the page are children of the view.
    explicit TSBrowserHost(QWebEngineView* view);

    QWebEngineView* view() const { return m_view; }
    TSWebPage* page() const { return m_page; }

    // Navigates the main frame to the address alone: no post data, headers or target frame.
    // Answers the navigation's number for TSWebPage::ending.
    quint64 Navigate(const QUrl& url);
    // Stops the load under way, if any.
    void Stop();

    std::chrono::milliseconds waitLimit() const { return m_waitLimit; }
    void setWaitLimit(std::chrono::milliseconds limit) { m_waitLimit = limit; }

    WaitEnd WaitUntil(const std::function<bool()>& done);
    // Makes every wait under way test its condition again.
    void wake();
    // Ends every wait under way, and every later one, with Abandoned.
    void abandon();
    bool abandoned() const { return m_abandoned; }

    // Runs a script in the application's world and waits for its answer.
    WaitEnd RunScript(const QString& source, QVariant* answer);

    // The document mark: a fresh random value set on the document in the pane, in the
    // application's world where the page's scripts cannot see or copy it. A new document starts
    // without it, so a document that still carries it after a navigation is the one the
    // navigation started from.
    Result MarkDocument();
    // Whether the document in the pane carries the last mark set: text "marked" or empty.
    Result ReadDocumentMark();

    // Marks the document, adds "<form id='regform' method='post'>" to the end of its body,
    // takes the element with id "regform", sets its action, adds all the hidden fields to its
    // end in one insertion and submits it. Does not wait for the page: a success means the
    // submission was started. Fails, with nothing submitted, when the document has no body, or
    // the element with that id is missing or not a form.
    Result SubmitForm(const QUrl& action, const QList<QPair<QString, QString>>& fields);
    // The document element's whole outerHTML, comments included.
    Result ReadDocumentMarkup();
    // Submits the document's own element with id "regform", without waiting for the page.
    // Fails when there is none or it is not a form.
    Result SubmitDocumentForm();

    // The scripts of the operations above.
    static QString MarkDocumentScript(const QString& mark);
    static QString ReadDocumentMarkScript(const QString& mark);
    static QString SubmitFormScript(const QString& mark, const QUrl& action,
                                    const QList<QPair<QString, QString>>& fields);
    static QString ReadDocumentMarkupScript();
    static QString SubmitDocumentFormScript();

private:
    Result runOperation(const QString& source);
    QString newMark();

    QWebEngineView* m_view;
    TSWebPage* m_page;
    std::chrono::milliseconds m_waitLimit = kDefaultWaitLimit;
    bool m_abandoned = false;
    QString m_mark;
    QList<QEventLoop*> m_loops;
};
