// The password encoding. Stored passwords are never decoded: a typed text is encoded and the two
// encodings are compared.
#pragma once

#include <QByteArray>
#include <QString>

// Encodes a password into exactly 8 bytes. The text is taken in the GBK code page (a Chinese
// character gives two bytes); only its first 8 bytes count and a shorter text is padded with 0.
// Each byte has its two halves swapped, is combined by exclusive-or with the program's key and
// has 1 added (modulo 256). Every byte value may result, 0 included, so the result is bytes and
// is stored as such, never as text.
//
// A character that GBK cannot hold counts as '?'; the password fields refuse such characters,
// so a typed password never contains one.
QByteArray EnCode(const QString& text);

// The same encoding applied to bytes as they are (the first 8 count).
QByteArray EnCodeBytes(const QByteArray& bytes);

// Bytes no typed text encodes to: the value of a password record that nobody can open.
QByteArray LockedPassword();
