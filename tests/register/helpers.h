#pragma once

#include "register/register.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <vector>

inline QByteArray ReadBytes(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

inline void WriteBytes(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

// Runs SQL on a file directly, as a tool would.
inline void RawSql(const QString& path, const char* sql)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
    const std::string text = message ? message : "";
    sqlite3_free(message);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << text;
}

// Device IDs in table order, read by a full scan.
inline std::vector<int> ScanIds(TTable& t)
{
    std::vector<int> ids;
    for (t.First(); !t.Eof(); t.Next())
        ids.push_back(t.FieldByName(QStringLiteral("ID")).AsInteger());
    return ids;
}

inline void AppendDevice(TTable& t, int id, const QString& name = {}, int group = 0)
{
    t.Append();
    t.SetFieldByName(QStringLiteral("ID"), id);
    t.SetFieldByName(QStringLiteral("Name"), name);
    t.SetFieldByName(QStringLiteral("Group_ID"), group);
    t.Post();
}

// Names of the files in a directory (hidden ones included), sorted.
inline QStringList DirEntries(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}
