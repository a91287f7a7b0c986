#include "access/passwordedit.h"

#include "common/gbk.h"

#include <QLineEdit>
#include <QValidator>

namespace {

class TGbkPasswordValidator : public QValidator {
public:
    using QValidator::QValidator;

    State validate(QString& input, int&) const override
    {
        for (const QChar c : input) {
            if (c.unicode() < 0x20)
                return Invalid;
        }
        bool ok = false;
        const QByteArray bytes = EncodeGbk(input, &ok);
        return ok && !bytes.contains('\xFF') ? Acceptable : Invalid;
    }
};

}  // namespace

QLineEdit* NewPasswordEdit(QWidget* parent, const QString& objectName)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(objectName);
    edit->setMaxLength(PasswordMaxLength);
    edit->setEchoMode(QLineEdit::Password);
    edit->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    edit->setValidator(new TGbkPasswordValidator(edit));
    return edit;
}
