#include "common/Modals.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const E2eModals* g_live = nullptr;

QString describeMessage(QMessageBox::Icon icon, const QString& title, const QString& text) {
    static const char* const icons[] = {"no icon", "information", "exclamation", "stop", "question"};
    return u"QMessageBox (%1, \"%2\"): %3"_s.arg(QLatin1String(icons[int(icon)]), title, text);
}

} // namespace

E2eModals::E2eModals() {
    if (g_live) {
        m_problems << u"another modal driver is live: this one answers nothing"_s;
        return;
    }
    g_live = this;
    m_timer.callOnTimeout(this, &E2eModals::poll);
    m_timer.start(10);
}

E2eModals::~E2eModals() {
    if (g_live == this)
        g_live = nullptr;
}

E2eModals& E2eModals::add(Step step) {
    m_steps.push_back(std::move(step));
    return *this;
}

E2eModals& E2eModals::message(const E2eMessage& expected, QMessageBox::StandardButton answer) {
    return add({u"message \"%1\""_s.arg(expected.text), QString(), expected, [this, answer](QWidget* w) {
                    auto* box = qobject_cast<QMessageBox*>(w);
                    QAbstractButton* button =
                        box && answer != QMessageBox::NoButton ? box->button(answer) : nullptr;
                    if (answer == QMessageBox::NoButton)
                        QTest::keyClick(w, Qt::Key_Escape);
                    else if (button)
                        button->click();
                    else
                        expectThat(false, u"the message box has no button to answer"_s), w->close();
                }});
}

E2eModals& E2eModals::message(const E2eMessage& expected, Dismiss) {
    return message(expected, QMessageBox::NoButton);
}

// As a user does: go to the folder, click the file in its list, press Open. (A typed name would not
// do for every name: the dialog takes a typed '"' for the quoting of several names.)
E2eModals& E2eModals::chooseFile(const QString& path) {
    return add(
        {u"open-file dialog choosing %1"_s.arg(path), u"CD1"_s, std::nullopt, [this, path](QWidget* w) {
             auto* dialog = qobject_cast<QFileDialog*>(w);
             if (!dialog)
                 return expectThat(false, u"CD1 is not a QFileDialog"_s), void(w->close());
             const QFileInfo file(path);
             dialog->setDirectory(file.absolutePath());
             auto* model = dialog->findChild<QFileSystemModel*>();
             auto* list = dialog->findChild<QListView*>(u"listView"_s);
             QModelIndex index;
             if (model && list &&
                 QTest::qWaitFor([&] { return (index = model->index(file.absoluteFilePath())).isValid(); },
                                 60000)) {
                 list->setCurrentIndex(index);
                 list->selectionModel()->select(index, QItemSelectionModel::ClearAndSelect |
                                                           QItemSelectionModel::Rows);
             } else {
                 dialog->selectFile(path);
             }
             static_cast<QDialog*>(dialog)->accept(); // protected in QFileDialog
             if (dialog->isVisible())
                 expectThat(false, u"the open-file dialog refused "_s + path), dialog->reject();
         }});
}

E2eModals& E2eModals::dialog(const QString& objectName, Answer answer) {
    return add({objectName, objectName, std::nullopt, std::move(answer)});
}

void E2eModals::expectThat(bool condition, const QString& what) {
    if (!condition)
        m_problems << what;
}

QString E2eModals::describe(QWidget* widget) {
    if (auto* box = qobject_cast<QMessageBox*>(widget))
        return describeMessage(box->icon(), box->windowTitle(), box->text());
    if (auto* dialog = qobject_cast<QFileDialog*>(widget))
        return u"%1 (QFileDialog \"%2\" in %3)"_s.arg(widget->objectName(), dialog->windowTitle(),
                                                      dialog->directory().absolutePath());
    return widget->objectName().isEmpty() ? QString::fromLatin1(widget->metaObject()->className())
                                          : widget->objectName();
}

QString E2eModals::report() const {
    QStringList lines;
    for (const QString& p : m_problems)
        lines << u"problem: "_s + p;
    for (size_t i = m_next; i < m_steps.size(); ++i)
        lines << u"not shown: "_s + m_steps[i].what;
    for (const QString& s : m_seen)
        lines << u"seen: "_s + s;
    return lines.join(u'\n');
}

void E2eModals::poll() {
    // Widgets seen stay "open" until they hide: a dialog that comes back to the front when a message
    // box over it closes is not a new showing.
    m_open.removeIf([](const QPointer<QWidget>& w) { return !w || !w->isVisible(); });
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible() || m_open.contains(modal))
        return;
    m_open.append(modal);
    const QString description = describe(modal);
    m_seen << description;

    Answer answer = [](QWidget* w) { w->close(); };
    auto* box = qobject_cast<QMessageBox*>(modal);
    if (m_next >= m_steps.size()) {
        m_problems << u"unexpected: "_s + description;
    } else if (const Step& step = m_steps[m_next];
               step.message ? box == nullptr : modal->objectName() != step.objectName) {
        m_problems << u"expected %1, got: %2"_s.arg(step.what, description);
    } else {
        ++m_next;
        if (const std::optional<E2eMessage>& m = step.message) {
            const QString expected = describeMessage(m->icon, m->title, m->text);
            expectThat(description == expected, u"got %1, expected %2"_s.arg(description, expected));
            expectThat(box->standardButtons() == m->buttons &&
                           (m->defaultButton == QMessageBox::NoButton ||
                            box->defaultButton() == box->button(m->defaultButton)),
                       u"other buttons than expected for \"%1\""_s.arg(m->text));
        }
        answer = step.answer;
    }
    // Answered from the event loop, not from this timer's own call: an answer that opens another
    // modal widget (a validation message) must not block the polling.
    QTimer::singleShot(0, this, [this, target = QPointer<QWidget>(modal), answer] {
        if (!target || !target->isVisible())
            return;
        answer(target);
        // A failed check inside the answer returned early: close what it left open so the test ends.
        if (QTest::currentTestFailed() && target && target->isVisible())
            target->close();
        // A dialog the answer closed may be shown again before the next poll: that is a new showing.
        if (target && !target->isVisible())
            m_open.removeAll(target);
    });
}

void typeInto(QLineEdit* box, const QString& text) {
    box->selectAll();
    if (box->hasSelectedText())
        QTest::keyClick(box, Qt::Key_Backspace);
    for (QChar c : text)
        QTest::sendKeyEvent(QTest::Click, box, Qt::Key_unknown, QString(c), Qt::NoModifier);
}
