#pragma once

#include "audit/auditlog.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <string>

#include <ostream>

inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}

// Runs SQL on Audit.DB directly, as someone editing the file by hand would.
inline void RawSql(const QString& path, const std::string& sql)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
    const std::string text = message ? message : "";
    sqlite3_free(message);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << sql << ": " << text;
}

// Runs SQL that changes or adds row seq, then gives that row the hash its fields now call for (made
// here as docs/data-files.md describes it): the edit of someone who knows how the chain is made.
inline void EditRow(const QString& path, qint64 seq, const std::string& sql)
{
    RawSql(path, sql);
    sqlite3* db = nullptr;
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
    sqlite3_prepare_v2(db, "SELECT prev, seq, time, level, source, user, action, detail, devices FROM Actions WHERE seq = ?1",
                       -1, &s, nullptr);
    sqlite3_bind_int64(s, 1, seq);
    const bool found = sqlite3_step(s) == SQLITE_ROW;
    QByteArray data;
    for (int column = 0; found && column < 9; ++column) {
        const QByteArray field(reinterpret_cast<const char*>(sqlite3_column_text(s, column)), sqlite3_column_bytes(s, column));
        data += column == 0 ? field : QByteArray::number(field.size()) + ':' + field + ';';
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    ASSERT_TRUE(found) << "no row " << seq;
    RawSql(path, "UPDATE Actions SET hash = '" + QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex().toStdString()
                     + "' WHERE seq = " + std::to_string(seq));
}

inline AuditEntry Entry(const QDateTime& time, const QString& action, const QString& detail,
                        std::vector<AuditDevice> devices = {})
{
    AuditEntry e;
    e.time = time;
    e.level = 2;
    e.source = QStringLiteral("window");
    e.action = action;
    e.detail = detail;
    e.devices = std::move(devices);
    return e;
}

inline QStringList Details(const std::vector<AuditRow>& rows)
{
    QStringList out;
    for (const AuditRow& r : rows)
        out << r.detail;
    return out;
}

// A time days ago, on the millisecond as the record keeps it.
inline QDateTime DaysAgo(double days)
{
    return QDateTime::currentDateTimeUtc().addMSecs(qint64(-days * 86400000.0));
}
