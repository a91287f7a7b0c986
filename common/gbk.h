#pragma once

// The GBK code page (code page 936, Simplified Chinese Windows): settings files written in it are
// read and written back in it, names are limited in its bytes (ASCII takes one byte, a Chinese
// character two), and passwords are encoded from its bytes. The one codec of the program.

#include <QByteArray>
#include <QString>

// Bytes the text takes in GBK. A character GBK cannot hold counts two bytes.
int GbkLength(const QString& text);

// The longest prefix of `text` that fits in `maxBytes` GBK bytes; never splits a character.
QString TruncateToGbkBytes(const QString& text, int maxBytes);

// Whether the GBK code page is available to count with (Qt built with ICU). Without it,
// every non-ASCII character counts two bytes, which differs only for the euro sign.
bool GbkCodePageAvailable();

// Decodes GBK bytes. Bytes that are not GBK text set *ok to false and give an empty string.
QString DecodeGbk(const QByteArray& bytes, bool* ok = nullptr);

// Encodes text in GBK. A character GBK cannot hold sets *ok to false and gives empty bytes.
QByteArray EncodeGbk(const QString& text, bool* ok = nullptr);
