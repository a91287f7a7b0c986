#pragma once
// "Other…" of the port selector: asks for a device path or a device server's address, and takes
// only a name that can be a port (checked when OK is pressed; what is wrong is said in the
// current language and the dialog stays open).

#include <QDialog>

class QDialogButtonBox;
class QLabel;
class QLineEdit;

class PortNameDialog : public QDialog {
    Q_OBJECT
public:
    explicit PortNameDialog(QWidget* parent = nullptr);

    // The name typed, without blanks around it.
    QString portName() const;
    QLineEdit* nameEdit() const { return m_edit; }
    void retranslate();

    void accept() override;

protected:
    void changeEvent(QEvent* event) override;

private:
    QLabel* m_prompt = nullptr;
    QLabel* m_examples = nullptr;
    QLineEdit* m_edit = nullptr;
    QDialogButtonBox* m_buttons = nullptr;
};
