#pragma once

#include "audit/auditlog.h"

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
