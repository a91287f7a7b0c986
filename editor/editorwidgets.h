// Controls of the editor window that Qt has no exact counterpart for.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QTableWidget>
#include <QTimer>
#include <QValidator>

#include "common/texts.h"

class QLineEdit;

// A list of devices: an ID column and a centred name column, grid lines, whole rows selected,
// several rows at a time, the selection still shown when the list loses focus, no editing.
// A plain click on one of several selected rows narrows the selection to that row only once no
// double-click has followed, so that a double-click acts on all of them.
class TDeviceListView : public QTableWidget {
    Q_OBJECT
public:
    explicit TDeviceListView(QWidget* parent = nullptr);

    void addDevice(int id, const QString& name);
    void clearDevices();
    int deviceId(int row) const;
    QString deviceName(int row) const;
    // Selected rows from the top down.
    QList<int> selectedRowsInOrder() const;
    // The row showing this ID, -1 if none does.
    int rowOf(int id) const;
    void setNameHeader(const QString& text);

signals:
    // A left click, reported after the list has updated its selection for it.
    void listClicked();
    void listDoubleClicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void narrowToPressedRow();

    QTimer m_narrowTimer;
    int m_pressedRow = -1;       // a plain press on a row of a selection of several
    bool m_doubleClicked = false;
};

// Text no longer than a number of bytes in the GBK code page: typing stops at the limit, and text
// pasted or dropped is cut to what fits (the text after the cursor is kept).
class GbkLengthValidator : public QValidator {
    Q_OBJECT
public:
    GbkLengthValidator(int maxBytes, QObject* parent);
    State validate(QString& input, int& pos) const override;
    int maxBytes() const { return m_maxBytes; }

signals:
    // Characters were cut from the text to keep it within the limit.
    void textCut() const;

private:
    int m_maxBytes;
};

