#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QTimer>
#include <functional>
#include <memory>

// Clicks the button that handle picks on the next modal widget, null for a wrong widget; one
// wrong or missing for five seconds fails the test without hanging it.
inline std::shared_ptr<bool> onNextModal(std::function<QAbstractButton*(QWidget*)> handle) {
    auto done = std::make_shared<bool>(false);
    auto* poll = new QTimer(qApp);
    auto limit = std::make_shared<QDeadlineTimer>(5000);
    QObject::connect(poll, &QTimer::timeout, [=] {
        QWidget* w = QApplication::activeModalWidget();
        if (QAbstractButton* button = w ? handle(w) : nullptr) {
            *done = true;
            button->click();
        } else if (!limit->hasExpired()) {
            return;
        } else if (w) {
            w->close();
        }
        poll->deleteLater();
    });
    poll->start(10);
    return done;
}
