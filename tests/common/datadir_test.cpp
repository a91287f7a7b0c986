// What the holder of a data directory says of its port, as another program reads it.
#include "common/datadir.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>

TEST(DataDirLock, TheHolderSaysItsPortAndOnlyTheHolderIsBelieved)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString portFile = QDir(dir.path()).filePath(QLatin1String(DataDirLock::PortFileName));
    const DataDirLock other(dir.path());
    std::optional<DataDirLock> holder(std::in_place, dir.path());
    DataDirLock late(dir.path()); // did not get the directory: says nothing

    struct Step {
        const char* what;
        void (*act)(DataDirLock& holder, DataDirLock& late);
        HeldPort::State state;
        QString port, activity;
    };
    const Step steps[] = {
        {"nothing said", [](DataDirLock&, DataDirLock&) {}, HeldPort::Unknown, {}, {}},
        {"a port", [](DataDirLock& h, DataDirLock&) { h.setPort(QStringLiteral("/dev/ttyUSB0")); }, HeldPort::Open,
         QStringLiteral("/dev/ttyUSB0"), {}},
        {"one who does not hold it", [](DataDirLock&, DataDirLock& l) { l.setPort(QStringLiteral("srv2:4001")); },
         HeldPort::Open, QStringLiteral("/dev/ttyUSB0"), {}},
        {"no port", [](DataDirLock& h, DataDirLock&) { h.setNoPort(QStringLiteral("it converts the data files")); },
         HeldPort::NoPort, {}, QStringLiteral("it converts the data files")},
    };
    ASSERT_EQ(holder->tryLock(), DataDirLock::Result::Locked);
    ASSERT_EQ(late.tryLock(), DataDirLock::Result::InUse);
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        s.act(*holder, late);
        const HeldPort held = other.holderPort();
        EXPECT_EQ(held.state, s.state);
        EXPECT_EQ(held.port, s.port);
        EXPECT_EQ(held.activity, s.activity);
    }

    // A file that names another process (a holder that died) says nothing.
    QFile file(portFile);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray said = file.readAll();
    file.close();
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("1\nport /dev/ttyUSB0\n");
    file.close();
    EXPECT_EQ(other.holderPort().state, HeldPort::Unknown);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(said);
    file.close();

    // Let go: the file goes with the lock.
    holder.reset();
    EXPECT_FALSE(QFile::exists(portFile));
    EXPECT_EQ(other.holderPort().state, HeldPort::Unknown);
}
