#pragma once

// The steps an end-to-end test drives through the main window, as a user does. Header only: the
// program's own texts and the browser pane are compiled into the test programs that use them.

#include "app/TSRegForm.h"
#include "commands/TSCommandTexts.h"
#include "common/E2eHarness.h"
#include "protocol/TSSiteExchange.h"

#include <QAbstractButton>
#include <QAction>
#include <QLineEdit>
#include <QWebEnginePage>
#include <QWebEngineView>

namespace E2e {

inline void click(QWidget* w, const char* name) {
    w->findChild<QAbstractButton*>(QLatin1String(name))->click();
}

// The login dialog, or the sign-method dialog by user name and password, filled in and confirmed.
inline E2eModals::Answer logIn(const QString& user, const QString& password) {
    return [user, password](QWidget* w) {
        if (auto* method = w->findChild<QAbstractButton*>(QStringLiteral("optUserPassword")))
            method->click();
        w->findChild<QLineEdit*>(QStringLiteral("txtUser"))->setText(user);
        w->findChild<QLineEdit*>(QStringLiteral("txtPassword"))->setText(password);
        click(w, "btnOK");
    };
}

// The sign-method dialog answered by certificate, or with a user name by user name and password.
inline E2eModals::Answer signWith(const QString& user = {}, const QString& password = {}) {
    if (!user.isEmpty())
        return logIn(user, password);
    return [](QWidget* w) {
        click(w, "optCertificate");
        click(w, "btnOK");
    };
}

inline E2eMessage shownAs(const TSMessageText& shown) {
    return {shown.text,
            shown.icon == TSIcon::Stop          ? QMessageBox::Critical
            : shown.icon == TSIcon::Exclamation ? QMessageBox::Warning
                                                : QMessageBox::NoIcon,
            shown.title};
}
inline E2eMessage told(TSMessage message, const QStringList& arguments = {}) {
    return shownAs(TSCommandTexts::MessageText(message, arguments));
}
inline E2eMessage recreateQuestion() {
    E2eMessage question = shownAs(TSCommandTexts::RecreateQuestion());
    question.buttons = QMessageBox::Yes | QMessageBox::No;
    question.defaultButton = QMessageBox::No;
    return question;
}

inline void trigger(QWidget* form, const char* item) {
    form->findChild<QAction*>(QLatin1String(item))->trigger();
}
// A new main window, shown, with its introduction page loaded; nothing when the page does not load.
inline std::unique_ptr<TSRegForm> openMainWindow() {
    auto form = std::make_unique<TSRegForm>();
    form->show();
    return waitFor([&] { return form->pageLoaded() && !form->WebBrowser1()->page()->isLoading(); })
               ? std::move(form)
               : nullptr;
}

// Runs a menu item to its end under one modal driver told by `expect` what to expect: empty when
// everything came as expected, else the driver's report.
inline QString run(QWidget* form, const char* item, const std::function<void(E2eModals&)>& expect) {
    E2eModals modals;
    expect(modals);
    trigger(form, item);
    return modals.ok() ? QString() : modals.report();
}

// What the site's verify page states ("verified", "not-verified"); empty when it never does.
inline QString siteVerification(QWidget* form) {
    auto* pane = form->findChild<QWebEngineView*>(QStringLiteral("WebBrowser1"));
    QString html;
    waitFor([&] {
        pane->page()->toHtml([&](const QString& h) { html = h; });
        runFor(std::chrono::milliseconds(50));
        return pane->url().path() == QLatin1String(TSSiteExchange::Path::Verify) &&
               html.contains(QLatin1String("tessaro-verification"));
    });
    return html.section(QStringLiteral("name=\"tessaro-verification\" content=\""), 1).section(u'"', 0, 0);
}

// View > Registered Files... on a record: a site record's login answered and the site's verification
// read; a certificate record's message box described. With the driver's report after anything else.
inline QString verifyRecord(QWidget* form, const QString& record, const QString& user,
                            const QString& password) {
    const bool site = fileContent(record).value_or(QByteArray()).startsWith(TSSiteExchange::SiteRecordPrefix);
    QString shown;
    const QString report = run(form, "m_View_Registered", [&](E2eModals& modals) {
        modals.chooseFile(record);
        if (site)
            modals.dialog(QStringLiteral("TSLogin"), logIn(user, password));
        else
            modals.dialog(QString(), [&shown](QWidget* w) {
                shown = E2eModals::describe(w);
                w->close();
            });
    });
    return (site && report.isEmpty() ? siteVerification(form) : shown) + report;
}

} // namespace E2e
