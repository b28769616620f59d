#include "browserhost/TSBrowserHost.h"

#include "browserhost/TSWebPage.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QPointer>
#include <QRandomGenerator>
#include <QTimer>
#include <QVariantMap>
#include <QWebEngineScript>
#include <QWebEngineView>

#include <memory>
#include <optional>

namespace {

// Every operation script is a function expression called with JSON string literals. It answers
// {error: ""} on success (plus text where it reads something) or {error: "what failed"}.
// Document and element methods are taken from their prototypes: a document's or a form's named
// elements (<img name="getElementById">, <input name="submit">) would hide the properties of
// the object itself.
const char kPrelude[] = "(function (%1) {\n"
                        "'use strict';\n"
                        "var D = Document.prototype, E = Element.prototype;\n"
                        "function get(proto, name, object) {\n"
                        "  return Object.getOwnPropertyDescriptor(proto, name).get.call(object);\n"
                        "}\n"
                        "function form() {\n"
                        "  var element = D.getElementById.call(document, 'regform');\n"
                        "  if (!element) throw 'there is no element with id regform';\n"
                        "  if (!(element instanceof HTMLFormElement)) throw 'the element with id regform "
                        "is not a form';\n"
                        "  return element;\n"
                        "}\n"
                        "try {\n";
const char kEpilogue[] = "} catch (e) {\n"
                         "  return {error: String(e)};\n"
                         "}\n"
                         "})(%1)";

QString script(const QString& parameters, const char* body, const QString& arguments) {
    return QString::fromLatin1(kPrelude).arg(parameters) + QString::fromLatin1(body) +
           QString::fromLatin1(kEpilogue).arg(arguments);
}

} // namespace

TSBrowserHost::TSBrowserHost(QWebEngineView* view)
    : QObject(view), m_view(view), m_page(new TSWebPage(view)) {
    m_view->setPage(m_page);
    connect(m_page, &TSWebPage::BeforeNavigate2, this, &TSBrowserHost::BeforeNavigate2);
    connect(m_page, &TSWebPage::DocumentComplete, this, &TSBrowserHost::DocumentComplete);
    connect(m_page, &TSWebPage::NavigateError, this, &TSBrowserHost::NavigateError);
    connect(m_page, &TSWebPage::DownloadBegin, this, &TSBrowserHost::DownloadBegin);
    connect(m_page, &TSWebPage::DownloadComplete, this, &TSBrowserHost::DownloadComplete);
}

quint64 TSBrowserHost::Navigate(const QUrl& url) {
    const quint64 navigation = m_page->expectNavigation(url, QWebEnginePage::NavigationTypeTyped);
    m_page->load(url);
    return navigation;
}

void TSBrowserHost::Stop() {
    m_page->triggerAction(QWebEnginePage::Stop);
}

TSBrowserHost::WaitEnd TSBrowserHost::WaitUntil(const std::function<bool()>& done) {
    const QDeadlineTimer deadline(m_waitLimit);
    for (;;) {
        if (m_abandoned)
            return WaitEnd::Abandoned;
        if (done())
            return WaitEnd::Done;
        if (deadline.hasExpired())
            return WaitEnd::TimedOut;
        // Sleeps in the event loop until an event arrives; wake(), abandon() or the limit end
        // this pass, and the conditions are tested again.
        QEventLoop loop;
        QTimer limit;
        limit.setSingleShot(true);
        connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
        limit.start(std::max<qint64>(deadline.remainingTime(), 0));
        m_loops.append(&loop);
        const int exitCode = loop.exec();
        m_loops.removeOne(&loop);
        if (exitCode != 0) {
            // The application is quitting: its event loops end at once from now on, so a wait
            // could only spin. The command is over.
            m_abandoned = true;
        }
    }
}

void TSBrowserHost::wake() {
    for (QEventLoop* loop : std::as_const(m_loops))
        loop->quit();
}

void TSBrowserHost::abandon() {
    m_abandoned = true;
    wake();
}

TSBrowserHost::WaitEnd TSBrowserHost::RunScript(const QString& source, QVariant* answer) {
    // The answer may come after this wait has ended (time limit, abandonment) or never (the
    // page went away): the callback writes only into state it shares.
    auto result = std::make_shared<std::optional<QVariant>>();
    QPointer<TSBrowserHost> self(this);
    m_page->runJavaScript(source, QWebEngineScript::ApplicationWorld, [result, self](const QVariant& value) {
        *result = value;
        if (self)
            self->wake();
    });
    const WaitEnd end = WaitUntil([&result] { return result->has_value(); });
    if (end == WaitEnd::Done && answer)
        *answer = **result;
    return end;
}

TSBrowserHost::Result TSBrowserHost::runOperation(const QString& source) {
    Result result;
    QVariant answer;
    result.end = RunScript(source, &answer);
    if (result.end != WaitEnd::Done)
        return result;
    const QVariantMap map = answer.toMap();
    if (!map.contains(QStringLiteral("error"))) {
        result.error = QStringLiteral("the page gave no answer");
        return result;
    }
    result.error = map.value(QStringLiteral("error")).toString();
    result.text = map.value(QStringLiteral("text")).toString();
    return result;
}

QString TSBrowserHost::newMark() {
    const quint64 value = QRandomGenerator::system()->generate64();
    m_mark = QString::number(value, 16);
    return m_mark;
}

// The mark lives on the global object of the application's world, which each new document
// gets afresh.
QString TSBrowserHost::MarkDocumentScript(const QString& mark) {
    return script(QStringLiteral("mark"),
                  "  window.tessaroDocumentMark = mark;\n"
                  "  return {error: ''};\n",
                  TSMarkup::JsStringLiteral(mark));
}

QString TSBrowserHost::ReadDocumentMarkScript(const QString& mark) {
    return script(QStringLiteral("mark"),
                  "  return {error: '', text: window.tessaroDocumentMark === mark ? 'marked' : ''};\n",
                  TSMarkup::JsStringLiteral(mark));
}

QString TSBrowserHost::SubmitFormScript(const QString& mark, const QUrl& action,
                                        const QList<QPair<QString, QString>>& fields) {
    return script(QStringLiteral("mark, action, fields"),
                  "  window.tessaroDocumentMark = mark;\n"
                  "  var body = get(D, 'body', document);\n"
                  "  if (!body) return {error: 'the document has no body'};\n"
                  "  E.insertAdjacentHTML.call(body, 'beforeend', \"<form id='regform' method='post'>\");\n"
                  "  var f = form();\n"
                  "  E.setAttribute.call(f, 'action', action);\n"
                  "  E.insertAdjacentHTML.call(f, 'beforeend', fields);\n"
                  "  HTMLFormElement.prototype.submit.call(f);\n"
                  "  return {error: ''};\n",
                  TSMarkup::JsStringLiteral(mark) + QStringLiteral(", ") +
                      TSMarkup::JsStringLiteral(action.toString(QUrl::FullyEncoded)) + QStringLiteral(", ") +
                      TSMarkup::JsStringLiteral(TSMarkup::HiddenFields(fields)));
}

QString TSBrowserHost::ReadDocumentMarkupScript() {
    return script(QString(),
                  "  var root = get(D, 'documentElement', document);\n"
                  "  if (!root) return {error: 'the document has no document element'};\n"
                  "  return {error: '', text: get(E, 'outerHTML', root)};\n",
                  QString());
}

QString TSBrowserHost::SubmitDocumentFormScript() {
    return script(QString(),
                  "  HTMLFormElement.prototype.submit.call(form());\n"
                  "  return {error: ''};\n",
                  QString());
}

TSBrowserHost::Result TSBrowserHost::MarkDocument() {
    return runOperation(MarkDocumentScript(newMark()));
}

TSBrowserHost::Result TSBrowserHost::ReadDocumentMark() {
    return runOperation(ReadDocumentMarkScript(m_mark));
}

TSBrowserHost::Result TSBrowserHost::SubmitForm(const QUrl& action,
                                                const QList<QPair<QString, QString>>& fields) {
    const quint64 navigation = m_page->expectNavigation(action, QWebEnginePage::NavigationTypeFormSubmitted);
    Result result = runOperation(SubmitFormScript(newMark(), action, fields));
    if (result.end == WaitEnd::Done && !result.error.isEmpty())
        m_page->withdrawExpectation(navigation);
    else
        result.navigation = navigation;
    return result;
}

TSBrowserHost::Result TSBrowserHost::ReadDocumentMarkup() {
    return runOperation(ReadDocumentMarkupScript());
}

TSBrowserHost::Result TSBrowserHost::SubmitDocumentForm() {
    // The form's own action, whatever it is.
    const quint64 navigation = m_page->expectNavigation(QUrl(), QWebEnginePage::NavigationTypeFormSubmitted);
    Result result = runOperation(SubmitDocumentFormScript());
    if (result.end == WaitEnd::Done && !result.error.isEmpty())
        m_page->withdrawExpectation(navigation);
    return result;
}

// --- Page-load tracking

void TSBrowserHost::BeforeNavigate2(const QUrl&) {
    m_bPageLoaded = false;
    m_vNavigateStatus = QVariant(false);
}

void TSBrowserHost::DocumentComplete(const QUrl&) {
    m_bPageLoaded = true;
    wake();
}

void TSBrowserHost::NavigateError(const QUrl&, int statusCode) {
    m_vNavigateStatus = QVariant(statusCode);
}

void TSBrowserHost::DownloadBegin() {}

void TSBrowserHost::DownloadComplete() {}

bool TSBrowserHost::CountsAsNoFailure(const QVariant& vStatus) {
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

TSBrowserHost::PageEnd TSBrowserHost::timeOut() {
    // No page completed in time: stop the load and record the time-out as a failed navigation.
    m_page->giveUpOwn(TSWebPage::kTimedOutStatus);
    Stop();
    m_vNavigateStatus = QVariant(TSWebPage::kTimedOutStatus);
    return PageEnd::TimedOut;
}

std::optional<TSBrowserHost::PageEnd> TSBrowserHost::interrupted(WaitEnd end) {
    if (end == WaitEnd::Abandoned)
        return PageEnd::Abandoned;
    if (end == WaitEnd::TimedOut)
        return timeOut();
    return std::nullopt;
}

TSBrowserHost::PageEnd TSBrowserHost::waitForPage(quint64 navigation, bool bMarked) {
    if (const auto end =
            interrupted(WaitUntil([this, navigation] { return m_page->ending(navigation).has_value(); })))
        return *end;
    const int status = *m_page->ending(navigation);
    if (status != 0) {
        m_vNavigateStatus = QVariant(status);
        return PageEnd::Failed;
    }
    if (bMarked) {
        // The document in the pane must be a new one, not the one the navigation started from.
        const Result mark = ReadDocumentMark();
        if (const auto end = interrupted(mark.end))
            return *end;
        if (!mark.ok() || !mark.text.isEmpty()) {
            m_vNavigateStatus = QVariant(TSWebPage::kNoNewDocumentStatus);
            return PageEnd::Failed;
        }
    }
    return PageEnd::Loaded;
}

TSBrowserHost::PageEnd TSBrowserHost::OpenPageAndWait(const QUrl& url) {
    if (m_abandoned)
        return PageEnd::Abandoned;
    // Where no document can be marked (there is none yet), none can be taken for the new page
    // either, and the check after the wait is left out.
    const Result marked = MarkDocument();
    if (const auto end = interrupted(marked.end))
        return *end;
    m_bPageLoaded = false;
    return waitForPage(Navigate(url), marked.ok());
}

TSBrowserHost::PageEnd TSBrowserHost::PostFormAndWait(const QUrl& action,
                                                      const QList<QPair<QString, QString>>& fields) {
    if (m_abandoned)
        return PageEnd::Abandoned;
    const bool wasLoaded = m_bPageLoaded;
    m_bPageLoaded = false;
    const Result submitted = SubmitForm(action, fields);
    if (const auto end = interrupted(submitted.end))
        return *end;
    if (!submitted.error.isEmpty()) {
        // Nothing was submitted, so no page will complete: the caller must not wait.
        m_bPageLoaded = wasLoaded;
        return PageEnd::NotStarted;
    }
    return waitForPage(submitted.navigation, true);
}

std::optional<QString> TSBrowserHost::ReadReply() {
    if (m_abandoned)
        return std::nullopt;
    const Result read = ReadDocumentMarkup();
    if (!read.ok())
        return std::nullopt;
    return read.text;
}

bool TSBrowserHost::SubmitReplyForm() {
    return !m_abandoned && SubmitDocumentForm().ok();
}

void TSBrowserHost::ShowLocalPage(const QUrl& url, bool bAfterFailure) {
    if (bAfterFailure)
        m_bPageLoaded = false;
    Navigate(url);
    if (bAfterFailure)
        m_vNavigateStatus = QVariant(0);
}
