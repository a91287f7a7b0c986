// The input rule of the number fields (search range, self-check period, device ID): digits and
// editing keys only. Any other typed character puts the field back to its default (empty for a
// field without one), and when the key is released a message says what the field takes and the
// default is put back once more.
#pragma once

#include <QObject>
#include <QString>

#include "common/texts.h"

class QLineEdit;

class DigitsOnlyFilter : public QObject {
    Q_OBJECT
public:
    DigitsOnlyFilter(QLineEdit* field, QString defaultText, const Text& message, QObject* parent = nullptr);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit* m_field;
    QString m_default;
    Text m_message;
    bool m_marked = false;
};
