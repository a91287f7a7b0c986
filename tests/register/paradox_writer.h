// Paradox tables as earlier versions wrote them, made with pxlib's own writer: for the conversion
// tests and for the data directory the Windows check converts.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdlib>
#include <variant>
#include <vector>

extern "C" {
#include <paradox.h>
}

struct PxField {
    const char* name;
    char type;
    int len;
};
// A cell: a number, raw bytes (alpha and bytes fields, written as they are), or empty.
using PxCell = std::variant<std::monostate, qint64, double, QByteArray>;

inline const std::vector<PxField> MemberFields{{"ID", pxfLong, 4}, {"Name", pxfAlpha, 40}, {"Group_ID", pxfShort, 2}};
inline const std::vector<PxField> GroupFields{{"ID", pxfShort, 2}, {"Name", pxfAlpha, 16}};
inline const std::vector<PxField> SysSetFields{{"RecNo", pxfAutoInc, 4}, {"PSW", pxfAlpha, 8}};

// A keyed table in code page 936 holding the rows; false when pxlib refuses it.
inline bool WriteParadoxTable(const QString& path, const std::vector<PxField>& fields,
                              const std::vector<std::vector<PxCell>>& rows)
{
    pxdoc_t* doc = PX_new();
    auto* defs = static_cast<pxfield_t*>(std::malloc(sizeof(pxfield_t) * fields.size()));  // pxlib frees it
    int size = 0;
    for (size_t i = 0; i < fields.size(); ++i) {
        defs[i] = {PX_strdup(doc, fields[i].name), fields[i].type, fields[i].len, 0};
        size += fields[i].len;
    }
    if (PX_create_file(doc, defs, static_cast<int>(fields.size()), QFile::encodeName(path).constData(),
                       pxfFileTypIndexDB) < 0) {
        PX_delete(doc);
        return false;
    }
    PX_set_value(doc, "codepage", 936);
    bool ok = true;
    std::vector<char> record(static_cast<size_t>(size));
    for (const auto& row : rows) {
        std::fill(record.begin(), record.end(), 0);
        char* at = record.data();
        for (size_t i = 0; i < fields.size(); ++i) {
            const PxField& f = fields[i];
            if (const auto* n = std::get_if<qint64>(&row[i])) {
                if (f.type == pxfShort)
                    PX_put_data_short(doc, at, f.len, static_cast<short>(*n));
                else if (f.type == pxfNumber)
                    PX_put_data_double(doc, at, f.len, static_cast<double>(*n));
                else
                    PX_put_data_long(doc, at, f.len, static_cast<int>(*n));
            } else if (const auto* d = std::get_if<double>(&row[i])) {
                PX_put_data_double(doc, at, f.len, *d);
            } else if (const auto* b = std::get_if<QByteArray>(&row[i])) {
                QByteArray value = *b;  // pxlib copies len bytes; a NUL inside must survive too
                value.resize(f.len, '\0');
                PX_put_data_bytes(doc, at, f.len, value.data());
            }
            at += f.len;
        }
        ok = ok && PX_put_record(doc, record.data()) >= 0;
    }
    PX_close(doc);
    PX_delete(doc);
    return ok;
}
