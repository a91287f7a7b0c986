#pragma once
// The tool bar's port selector: COM1 to COM9, the serial adapters plugged in (by their lasting
// names under /dev/serial/by-id, with the device each points at), the names typed in or read from
// the settings, and "Other…" last, which asks for a path or a device server's address. Each entry
// carries the port name that is opened and stored in [COM] num; the adapters are looked for again
// each time the list opens, so an adapter plugged in since shows.

#include <QComboBox>
#include <QStringList>

#include <cstdint>

class PortSelector : public QComboBox {
    Q_OBJECT
public:
    static constexpr int PortNameRole = Qt::UserRole;

    explicit PortSelector(QWidget* parent = nullptr);

    // Where the adapters' links are looked for (tests point it at a folder of their own).
    void setAdapterFolder(const QString& folder);
    // Builds the entries anew, keeping the one chosen.
    void refresh();
    // The "Other…" entry in the given language.
    void retranslate(int16_t language);

    // The port name of an entry; empty for "Other…".
    QString portName(int index) const;
    bool isOtherEntry(int index) const { return index >= 0 && index == count() - 1; }
    // Chooses the entry of this port name. A device path or a device server's address that has
    // none gets one (kept for the run); any other name not listed chooses COM1.
    void showPort(const QString& name);
    // A typed name that did not open leaves the list.
    void forgetTyped(const QString& name);

    void showPopup() override;

private:
    int indexOfPort(const QString& name) const;

    QString m_adapterFolder;
    QStringList m_typed; // names that are no COMn and no adapter present: typed in, or from the settings
    int16_t m_language = 0;
};
