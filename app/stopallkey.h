// F12 for stop-all in every window of the program.
#pragma once

#include <QObject>

#include <functional>
#include <utility>

// F12 reaches the program whichever of its windows has the focus, a modal dialog or a message
// box included (Qt holds back an ordinary shortcut while a modal dialog is open). Installed on
// the application.
class StopAllKey : public QObject {
public:
    StopAllKey(QObject* parent, std::function<void()> stop) : QObject(parent), m_stop(std::move(stop)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::function<void()> m_stop;
};
