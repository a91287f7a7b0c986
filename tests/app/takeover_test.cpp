// An installed program's first start takes an earlier installation's data folder over.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "app/takeover.h"
#include "../support/recording_messages.h"

namespace {

void put(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

} // namespace

TEST(DataFolderTakeOver, CopiesAnEarlierDataFolderAndLeavesTheOriginal)
{
    struct Case {
        const char* name;
        QStringList files;   // in the old folder
        bool targetHolds;    // a file in the data folder already
        bool same;           // the old folder is the data folder
        bool copied;
        const char* says;
    };
    const Case cases[] = {
        { "a register folder", { "DB.ini", "SysSet.DB", "Member1.DB", "Group1.DB", "tarvello.lock" }, false, false, true,
          "4 files were copied" },
        { "Paradox tables, converted later", { "Member1.DB", "Member1.PX", "Group1.DB" }, false, false, true,
          "3 files were copied" },
        { "not a data folder", { "notes.txt" }, false, false, false, "holds no settings, password or register file" },
        { "the data folder is not empty", { "DB.ini" }, true, false, false, "is not empty" },
        { "the data folder itself", { "DB.ini" }, false, true, false, "this program's data folder itself" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir scratch;
        const QString old = scratch.filePath("old/DFiles"), data = scratch.filePath("ProgramData/Tarvello/DFiles");
        QDir().mkpath(old);
        QDir().mkpath(data);
        for (const QString& name : c.files) put(old + '/' + name, name.toUtf8() + " of the old installation");
        if (c.targetHolds) put(data + "/DB.ini", "[LANGUAGE]\n");

        QString said;
        EXPECT_EQ(CopyDataFolder(c.same ? data : old, data, 1, &said), c.copied);
        EXPECT_TRUE(said.contains(c.says)) << said.toStdString();
        for (const QString& name : c.files) {
            EXPECT_EQ(contents(old + '/' + name), name.toUtf8() + " of the old installation");
            const bool there = c.copied && name != "tarvello.lock";
            if (!c.targetHolds) {
                EXPECT_EQ(QFile::exists(data + '/' + name), there) << name.toStdString();
            }
            if (there) {
                EXPECT_EQ(contents(data + '/' + name), contents(old + '/' + name));
            }
        }
    }
}

// Declined, cancelled, or a wrong folder first and the right one then: the boxes say each.
TEST(DataFolderTakeOver, TheOfferAsksLetsChooseAgainAndSaysWhatHappened)
{
    QTemporaryDir scratch;
    const QString old = scratch.filePath("old"), wrong = scratch.filePath("wrong"), data = scratch.filePath("data");
    QDir().mkpath(old);
    QDir().mkpath(wrong);
    put(old + "/Member1.DB", "register");
    put(wrong + "/readme.txt", "not a register");
    RecordingMessages messages;

    messages.answer = false;
    EXPECT_FALSE(OfferDataFolderTakeOver(data, 0, nullptr, [] { return QString("never asked"); }));
    messages.answer = true;
    EXPECT_FALSE(OfferDataFolderTakeOver(data, 0, nullptr, [] { return QString(); }));
    QStringList chosen { wrong, old };
    EXPECT_TRUE(OfferDataFolderTakeOver(data, 0, nullptr, [&] { return chosen.takeFirst(); }));
    EXPECT_EQ(messages.kinds, (QList<MessageSink::Kind> { MessageSink::Kind::Confirmation, MessageSink::Kind::Confirmation,
                                                          MessageSink::Kind::Confirmation, MessageSink::Kind::Error,
                                                          MessageSink::Kind::Information }));
    EXPECT_TRUE(messages.texts.first().startsWith("这是本电脑上第一次启动已安装的 Tarvello"));
    EXPECT_TRUE(messages.texts.last().startsWith("已从")) << messages.texts.last().toStdString();
    EXPECT_EQ(contents(data + "/Member1.DB"), "register");
}
