// Columns of text on a terminal: a Chinese character takes two columns, a combining mark none, so
// a column is padded by the width the terminal gives its text rather than by its characters.
#pragma once

#include <QString>

// The columns `text` takes on a terminal.
int DisplayWidth(const QString& text);

// `text` followed by blanks up to `width` columns (as it is when it is wider already).
QString PadToWidth(const QString& text, int width);
