// The hint panel of the main window's status bar: the hint of the control under the mouse, the
// number of devices listed (not while a search shows its progress there), or a line another part
// of the window says there. What it shows follows the list and a language switch at once.
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

    // Shows the line `say` gives in the language of the moment, again after each switch.
    void show(std::function<QString()> say);
    // The panel's line in the new language.
    void retranslate();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void showHint(const QString& key);
    void showDeviceCount();
    void showLine();

    const MainControls& m_ui;
    std::function<QString()> m_line; // what the panel says now, picked in the language of the moment
    bool m_counting = false;         // m_line is the device count
    std::function<bool()> m_searching;
    QHash<QObject*, QString> m_keys; // a control's hint key; empty: the device count
};
