// Writes a data directory of an earlier version, as Paradox tables, for the Windows check to
// convert with the Windows program:
//
//   paradox-data-dir DIR [--group-out-of-range]
//
// Scene 1: devices 1-4 in group 1 and 5-8 in group 2, with Chinese names; its group table with
// Chinese group names. Scene 2: devices 10 and 11 in group 3. The password store: administrator
// "admin", operator "oper", the super-user's record locked, byte for byte as earlier versions
// kept them. With --group-out-of-range, device 9 of scene 1 names group 16, which the conversion
// refuses. Prints what was written as one JSON object: each table's rows, the passwords in hex.
#include "common/gbk.h"
#include "paradox_writer.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace {

struct Device {
    int id, group;
    QString name;
};

std::vector<std::vector<PxCell>> DeviceRows(const std::vector<Device>& devices, QJsonArray& json)
{
    std::vector<std::vector<PxCell>> rows;
    for (const Device& d : devices) {
        rows.push_back({qint64(d.id), EncodeGbk(d.name), qint64(d.group)});
        json.append(QJsonArray{d.id, d.name, d.group});
    }
    return rows;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || args.size() > 2 || (args.size() == 2 && args[1] != QLatin1String("--group-out-of-range"))) {
        std::fprintf(stderr, "usage: paradox-data-dir DIR [--group-out-of-range]\n");
        return 2;
    }
    const QDir dir(args[0]);
    if (!QDir().mkpath(dir.path())) {
        std::fprintf(stderr, "paradox-data-dir: cannot make %s\n", qPrintable(dir.path()));
        return 1;
    }

    QJsonObject written;
    std::vector<Device> scene1;
    for (int id = 1; id <= 8; ++id)
        scene1.push_back({id, id <= 4 ? 1 : 2, QString::fromUtf8("舞台吊杆%1").arg(id)});
    if (args.size() == 2)
        scene1.push_back({9, 16, QString::fromUtf8("越界设备")});
    const std::vector<Device> scene2{{10, 3, QString::fromUtf8("二号场景灯杆")}, {11, 3, QStringLiteral("Truss 11")}};

    QJsonArray member1, member2, group1, passwords;
    bool ok = WriteParadoxTable(dir.filePath(QStringLiteral("Member1.DB")), MemberFields, DeviceRows(scene1, member1));
    ok = ok && WriteParadoxTable(dir.filePath(QStringLiteral("Member2.DB")), MemberFields, DeviceRows(scene2, member2));

    std::vector<std::vector<PxCell>> groups;
    for (int id = 0; id < 16; ++id) {
        const QString name = id == 0   ? QString::fromUtf8("未编组")
                             : id == 1 ? QString::fromUtf8("舞台")
                             : id == 2 ? QString::fromUtf8("大厅")
                                       : QString();
        groups.push_back({qint64(id), EncodeGbk(name)});
        group1.append(QJsonArray{id, name});
    }
    ok = ok && WriteParadoxTable(dir.filePath(QStringLiteral("Group1.DB")), GroupFields, groups);

    // The encodings of "admin" and "oper" and the locked record, as the password store keeps them.
    const QByteArray codes[] = {QByteArray::fromHex("958fc08c9f9e9b94"), QByteArray::fromHex("7e3897e38863666d"),
                                QByteArray::fromHex("9e7717546263666d")};
    std::vector<std::vector<PxCell>> store;
    for (int r = 0; r < 3; ++r) {
        store.push_back({qint64(r + 1), codes[r]});
        passwords.append(QString::fromLatin1(codes[r].toHex()));
    }
    ok = ok && WriteParadoxTable(dir.filePath(QStringLiteral("SysSet.DB")), SysSetFields, store);
    if (!ok) {
        std::fprintf(stderr, "paradox-data-dir: pxlib could not write the tables in %s\n", qPrintable(dir.path()));
        return 1;
    }
    written[QStringLiteral("Member1.DB")] = member1;
    written[QStringLiteral("Member2.DB")] = member2;
    written[QStringLiteral("Group1.DB")] = group1;
    written[QStringLiteral("SysSet.DB")] = passwords;
    std::fputs(QJsonDocument(written).toJson(QJsonDocument::Compact).constData(), stdout);
    std::fputs("\n", stdout);
    return 0;
}
