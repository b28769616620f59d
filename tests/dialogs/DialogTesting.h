#pragma once

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include <functional>

// Answers modal windows as they appear: each handler runs once, in order, on the next
// visible modal widget of its type (found through QApplication::activeModalWidget(), as a
// user would meet it). Message boxes with no handler waiting are recorded and rejected, as Esc
// would, so that a test never hangs on an unexpected one.
class ModalDriver : public QObject {
public:
    struct Box {
        QString title, text;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
        bool operator==(const Box&) const = default;
    };
    QList<Box> boxes; // every message box seen, in order

    ModalDriver() {
        connect(&m_timer, &QTimer::timeout, this, &ModalDriver::poll);
        m_timer.start(5);
    }
    template <class T> void then(std::function<void(T*)> handler) {
        m_handlers.push_back({[](QWidget* w) { return qobject_cast<T*>(w) != nullptr; },
                              [handler](QWidget* w) { handler(qobject_cast<T*>(w)); }});
    }

private:
    struct Handler {
        std::function<bool(QWidget*)> accepts;
        std::function<void(QWidget*)> run;
    };

    void poll() {
        QWidget* w = QApplication::activeModalWidget();
        if (!w || !w->isVisible() || w == m_last)
            return;
        auto* box = qobject_cast<QMessageBox*>(w);
        if (box)
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
                    // A failed check left the window open: close it (a dialog rejects), so that the
                    // test ends.
                    if (QTest::currentTestFailed() && guard && guard->isVisible())
                        guard->close();
                },
                Qt::QueuedConnection);
        } else if (box) {
            markDealtWith(w);
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
    std::vector<Handler> m_handlers;
};

// Types the text as key presses (any characters), replacing what the box held.
inline void typeInto(QLineEdit* box, const QString& text) {
    box->selectAll();
    if (box->hasSelectedText())
        QTest::keyClick(box, Qt::Key_Backspace);
    for (QChar c : text)
        QTest::sendKeyEvent(QTest::Click, box, Qt::Key_unknown, QString(c), Qt::NoModifier);
}
