#pragma once

#include <QLineEdit>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <optional>
#include <vector>

// What a message box must show; the default button is checked only when given.
struct E2eMessage {
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title = QStringLiteral("Tessaro");
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};

// Answers the modal widgets the code under test shows, in the order expected, while it waits in their
// exec(): every 10 ms a timer checks a new QApplication::activeModalWidget() against the next
// expectation and answers it. One that does not match, or that nothing expects, is recorded as a
// problem and closed (so a test never hangs on it). Only one may live at a time (two would both
// answer the same widget): a second one made meanwhile answers nothing and reports that.
class E2eModals : public QObject {
    Q_OBJECT
public:
    enum class Dismiss { EscapeKey }; // a message box closed without one of its buttons
    // An answer gets the modal widget and must close it (or let it be closed); a check only looks.
    using Answer = std::function<void(QWidget*)>;

    E2eModals();
    ~E2eModals() override;

    // A message box with exactly this text, icon, title and buttons, answered by a button or dismissed.
    E2eModals& message(const E2eMessage& expected, QMessageBox::StandardButton answer = QMessageBox::Ok);
    E2eModals& message(const E2eMessage& expected, Dismiss);
    // The open-file dialog CD1: the file is chosen from its list, as a user clicks it.
    E2eModals& chooseFile(const QString& path);
    // Any modal widget with this objectName, answered by the given function.
    E2eModals& dialog(const QString& objectName, Answer answer);

    void expectThat(bool condition, const QString& what);
    // Every expectation met, and nothing else seen; else the report says what happened.
    bool ok() const { return m_next == m_steps.size() && m_problems.isEmpty(); }
    QString report() const;
    // Describes a modal widget: "QMessageBox (icon, title): text", or its objectName.
    static QString describe(QWidget* widget);

private:
    struct Step {
        QString what;       // for reports
        QString objectName; // for dialogs; empty for message boxes
        std::optional<E2eMessage> message;
        Answer answer;
    };
    void poll();
    E2eModals& add(Step step);

    QTimer m_timer;
    std::vector<Step> m_steps;
    size_t m_next = 0;
    QList<QPointer<QWidget>> m_open;
    QStringList m_problems;
    QStringList m_seen;
};

// Types the text as key presses (any characters), replacing what the box held.
void typeInto(QLineEdit* box, const QString& text);
