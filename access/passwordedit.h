// The input field every password dialog uses.
#pragma once

#include <QString>

class QLineEdit;
class QWidget;

// Longest password typed, in characters.
constexpr int PasswordMaxLength = 8;

// A field that takes at most PasswordMaxLength characters, shows each as "*", and refuses
// characters that have no place in the GBK code page the passwords are encoded from.
QLineEdit* NewPasswordEdit(QWidget* parent, const QString& objectName);
