#pragma once

// Names are limited in bytes of the Chinese Windows code page (GBK, code page 936):
// ASCII takes one byte, a Chinese character two. The entry fields and the tables use
// these to keep a name within its field.

#include <QString>

// Bytes the text takes in GBK. A character GBK cannot hold counts two bytes.
int GbkLength(const QString& text);

// The longest prefix of `text` that fits in `maxBytes` GBK bytes; never splits a character.
QString TruncateToGbkBytes(const QString& text, int maxBytes);

// Whether the GBK code page is available to count with (Qt built with ICU). Without it,
// every non-ASCII character counts two bytes, which differs only for the euro sign.
bool GbkCodePageAvailable();
