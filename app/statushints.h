// The hint panel of the main window's status bar: the hint of the control under the mouse, or
// the number of devices listed (not while a search shows its progress there).
#pragma once

#include <QHash>
#include <QObject>
#include <QString>

#include <functional>

struct MainControls;
class QMainWindow;

class StatusHints : public QObject {
public:
    StatusHints(QMainWindow* window, const MainControls& ui, std::function<bool()> searching);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void showHint(const QString& key);
    void showDeviceCount();

    const MainControls& m_ui;
    std::function<bool()> m_searching;
    QHash<QObject*, QString> m_keys; // a control's hint key; empty: the device count
};
