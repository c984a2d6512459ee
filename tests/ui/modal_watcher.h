#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

// Records and dismisses the next message box a modal run opens, so that a test
// can drive code that blocks in QMessageBox::exec().
class ModalWatcher : public QObject {
public:
    struct Seen {
        bool shown = false;
        QString caption;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
    };

    ModalWatcher()
    {
        m_timer.setInterval(5);
        connect(&m_timer, &QTimer::timeout, this, &ModalWatcher::poll);
        m_timer.start();
    }

    const Seen& seen() const { return m_seen; }

private:
    void poll()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            return;
        }
        m_seen = {true, box->windowTitle(), box->text(), box->icon()};
        m_timer.stop();
        box->done(QMessageBox::Ok);
    }

    QTimer m_timer;
    Seen m_seen;
};
