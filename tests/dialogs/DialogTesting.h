#pragma once

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <functional>

// Answers modal windows as they appear: each handler runs once, in order, on the next
// visible modal widget of its type (found through QApplication::activeModalWidget(), as a
// user would meet it). Message boxes with no handler waiting are recorded and answered with
// their escape button, so that a test never hangs on an unexpected one.
class ModalDriver : public QObject {
public:
    struct Box {
        QString title;
        QString text;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
    };

    ModalDriver() {
        connect(&m_timer, &QTimer::timeout, this, &ModalDriver::poll);
        m_timer.start(5);
    }

    template <class T> void then(std::function<void(T*)> handler) {
        m_handlers.push_back({[](QWidget* w) { return qobject_cast<T*>(w) != nullptr; },
                              [handler](QWidget* w) { handler(qobject_cast<T*>(w)); }});
    }

    QList<Box> boxes; // every message box seen, in order
    bool pending() const { return !m_handlers.empty(); }

private:
    void poll() {
        QWidget* w = QApplication::activeModalWidget();
        if (!w || !w->isVisible() || w == m_last)
            return;
        if (auto* box = qobject_cast<QMessageBox*>(w))
            boxes.push_back({box->windowTitle(), box->text(), box->icon(), box->standardButtons()});
        if (!m_handlers.empty() && m_handlers.front().accepts(w)) {
            const Handler handler = m_handlers.front();
            m_handlers.erase(m_handlers.begin());
            markDealtWith(w);
            // Run from the event loop rather than from this timer, which cannot fire again
            // before its slot returns: the handler may open further modal windows to answer.
            QMetaObject::invokeMethod(
                this,
                [handler, guard = QPointer<QWidget>(w)] {
                    if (!guard)
                        return;
                    handler.run(guard);
                    // A failed check inside the handler left the window open: close it, so
                    // that the test ends instead of waiting for it.
                    if (QTest::currentTestFailed() && guard && guard->isVisible()) {
                        if (auto* dialog = qobject_cast<QDialog*>(guard.data()))
                            dialog->reject();
                        else
                            guard->close();
                    }
                },
                Qt::QueuedConnection);
            return;
        }
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
            markDealtWith(w);
            if (QAbstractButton* b = box->escapeButton())
                b->click();
            else
                box->reject();
        }
    }

    // The widget is left alone until it hides; a later show of it is a new one.
    void markDealtWith(QWidget* w) {
        if (m_last)
            m_last->removeEventFilter(this);
        m_last = w;
        w->installEventFilter(this);
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == m_last && event->type() == QEvent::Hide) {
            m_last->removeEventFilter(this);
            m_last = nullptr;
        }
        return false;
    }

    QTimer m_timer;
    QPointer<QWidget> m_last; // the modal widget already dealt with, while it stays open
    struct Handler {
        std::function<bool(QWidget*)> accepts;
        std::function<void(QWidget*)> run;
    };
    std::vector<Handler> m_handlers;
};

namespace DialogTesting {

// The name of the widget with the keyboard focus, or "" when none has it.
inline QString focusName() {
    QWidget* w = QApplication::focusWidget();
    return w ? w->objectName() : QString();
}

// Shows the dialog without modality over its owner and waits until it has the keyboard. The
// owner is made active first: the offscreen platform does not activate a window again when it
// still counts as the focus window from its previous show.
inline bool showActive(QWidget* owner, QWidget* dialog) {
    owner->activateWindow();
    if (!QTest::qWaitFor([owner] { return QApplication::activeWindow() == owner; }))
        return false;
    dialog->show();
    dialog->activateWindow();
    return QTest::qWaitFor([dialog] { return QApplication::activeWindow() == dialog; });
}

// Types the text as key presses (any characters), replacing what the box held.
inline void typeInto(QLineEdit* box, const QString& text) {
    box->selectAll();
    if (box->hasSelectedText())
        QTest::keyClick(box, Qt::Key_Backspace);
    for (QChar c : text)
        QTest::sendKeyEvent(QTest::Click, box, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

// Checks a control laid out in twips: left and top converted at 15 twips to a pixel, the
// width the layout's unless a caption needs more (then exactly what it needs), the height at
// least the layout's and at least what the control needs for its text, all inside the dialog,
// and its text.
inline void verifyPlacement(QWidget* dialog, const QString& name, const QString& text, const QRect& twips) {
    QWidget* w = dialog->findChild<QWidget*>(name);
    QVERIFY2(w, qPrintable(name));
    QCOMPARE(w->parentWidget(), dialog);
    const QRect g = w->geometry();
    QCOMPARE(g.topLeft(), twips.topLeft() / 15);
    const bool caption =
        (qobject_cast<QLabel*>(w) && !static_cast<QLabel*>(w)->wordWrap()) || qobject_cast<QRadioButton*>(w);
    QCOMPARE(g.width(), caption ? std::max(twips.width() / 15, w->sizeHint().width()) : twips.width() / 15);
    QVERIFY(g.height() >= twips.height() / 15);
    QVERIFY(g.height() >= w->sizeHint().height());
    if (w->hasHeightForWidth())
        QVERIFY(g.height() >= w->heightForWidth(g.width()));
    QVERIFY(QRect(QPoint(0, 0), dialog->size()).contains(g));
    QCOMPARE(w->property("text").toString(), text);
}

} // namespace DialogTesting
