// A full disk under every write the user can ask for: one message naming the file and the full
// disk in the language shown, nothing already stored lost or torn, and the next write done once
// there is room again, without a restart.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QRadioButton>

#include <sqlite3.h>

#include <functional>
#include <map>
#include <memory>

#include "access/passwordchangedialog.h"
#include "access/passwordstore.h"
#include "app/mainwindow.h"
#include "app/trafficrecord.h"
#include "audit/auditlog.h"
#include "core/session.h"
#include "../editor/support.h"
#include "../support/fulldisk.h"
#include "testsupport.h"

namespace {

// What a folder holds: each SQLite file as its integrity check and its rows, table by table, as
// SQLite reads them (a write-ahead log included), and every other file as its bytes. Journals and
// logs beside a database are part of it and not listed apart.
using Snapshot = std::map<QString, QString>;

QString DatabaseText(const QString& path)
{
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return QStringLiteral("cannot open");
    }
    QString text;
    auto rows = [&](const QByteArray& sql) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql.constData(), -1, &stmt, nullptr) != SQLITE_OK)
            text += QStringLiteral("cannot read: ") + QString::fromUtf8(sqlite3_errmsg(db));
        QStringList out;
        while (stmt && sqlite3_step(stmt) == SQLITE_ROW) {
            QStringList fields;
            for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                const auto* bytes = static_cast<const char*>(sqlite3_column_blob(stmt, i));
                fields << QString::fromLatin1(QByteArray(bytes, sqlite3_column_bytes(stmt, i)).toHex());
            }
            out << fields.join(QLatin1Char(','));
        }
        sqlite3_finalize(stmt);
        return out;
    };
    text += QStringLiteral("sqlite integrity=")
          + QString::fromLatin1(QByteArray::fromHex(rows("PRAGMA integrity_check").join(QLatin1Char(' ')).toLatin1()))
          + QLatin1Char('\n');
    for (const QString& table : rows("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"))
        text += QString::fromLatin1(QByteArray::fromHex(table.toLatin1())) + QLatin1Char(':')
              + rows("SELECT * FROM \"" + QByteArray::fromHex(table.toLatin1()) + "\" ORDER BY rowid").join(QLatin1Char(';'))
              + QLatin1Char('\n');
    sqlite3_close(db);
    return text;
}

Snapshot Snap(const QString& folder)
{
    Snapshot out;
    const QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden);
    for (const QString& name : names) {
        if (name.endsWith(QLatin1String("-journal")) || name.endsWith(QLatin1String("-wal"))
            || name.endsWith(QLatin1String("-shm")))
            continue;
        const QString path = folder + QLatin1Char('/') + name;
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        const QByteArray bytes = file.readAll();
        out[name] = bytes.startsWith("SQLite format 3") ? DatabaseText(path) : QString::fromLatin1(bytes.toHex());
    }
    return out;
}

// One write as the user asks for it, on a data folder of its own. `errors` lists the error boxes
// shown since the scene was set up.
struct Scene {
    QString folder;
    std::function<void()> act;
    std::function<QStringList()> errors;
    std::shared_ptr<void> owner;  // what the scene runs on
    std::function<QByteArray()> stopAll = {};  // where there is a window: Stop all pressed, what reached the line
};

QStringList ErrorsOf(const RecordingMessages& messages)
{
    QStringList out;
    for (qsizetype i = 0; i < messages.texts.size(); ++i)
        if (messages.kinds[i] == MessageSink::Kind::Error) out << messages.texts[i];
    return out;
}

// The group editor on a register of two devices, its device box open.
std::shared_ptr<EditorRig> Editor(int16_t language)
{
    auto rig = std::make_shared<EditorRig>(std::initializer_list<Device>{{1, "one", 0}, {3, "three", 1}}, language);
    EditorRig::click(rig->ui().formToggleButton);
    return rig;
}

Scene RegisterEdit(int16_t language)
{
    auto rig = Editor(language);
    return {rig->dir.path() + QStringLiteral("/DFiles"),
            [rig = rig.get()] {
                rig->typeNew("7", "seven", 1);
                rig->ui().addMode->click();
                EditorRig::click(rig->ui().addButton);
            },
            [rig = rig.get()] { return ErrorsOf(rig->messages); }, rig};
}

Scene Backup(int16_t language)
{
    auto rig = Editor(language);
    EditorRig::click(rig->ui().backupButton);  // an earlier backup, which must survive
    rig->add({7, "seven", 1});
    return {rig->dir.path() + QStringLiteral("/DFiles"), [rig = rig.get()] { EditorRig::click(rig->ui().backupButton); },
            [rig = rig.get()] { return ErrorsOf(rig->messages); }, rig};
}

struct PasswordRig {
    QTemporaryDir dir;
    RecordingMessages messages;
    std::unique_ptr<TPasswordStore> store;
    std::unique_ptr<PasswordChangeDialog> dialog;
};

Scene PasswordChange(int16_t language)
{
    auto rig = std::make_shared<PasswordRig>();
    const QString folder = rig->dir.path() + QStringLiteral("/DFiles");
    setCurrentLanguage(language);
    TPasswordStore(folder).Create(QStringLiteral("adm"), QStringLiteral("op"), QStringLiteral("su"));
    rig->store = std::make_unique<TPasswordStore>(folder);
    rig->store->Open();
    rig->store->setLevel(ModeOperator);
    rig->dialog = std::make_unique<PasswordChangeDialog>(*rig->store);
    rig->dialog->showModPSW();
    return {folder,
            [rig = rig.get()] {
                TPasswordTab& tab = rig->dialog->operatorTab();
                tab.oldPasswordEdit->setText(QStringLiteral("op"));
                tab.newPasswordEdit->setText(QStringLiteral("newer"));
                tab.repeatEdit->setText(QStringLiteral("newer"));
                QTest::mouseClick(rig->dialog->okButton(), Qt::LeftButton);
            },
            [rig = rig.get()] { return ErrorsOf(rig->messages); }, rig};
}

// The main window started in `language`, an administrator logged in, on a port that leads nowhere.
struct WindowRig {
    DataDir dir;
    PtyMaster bus;
    RecordingMessages messages;
    std::unique_ptr<MainWindow> window;

    explicit WindowRig(int16_t language)
    {
        dir.writeIni(QByteArray(language ? "[LANGUAGE]\nLanguage=English\n" : "[LANGUAGE]\nLanguage=简体中文\n")
                     + "[PORTS]\nCOM1=" + bus.slavePath().toLocal8Bit() + "\n");
        window = std::make_unique<MainWindow>(dir.path());
        LogInAs(*window, ModeAdministrator);
        window->startUp();
        window->session().auditTrail().record(QStringLiteral("move"), QStringLiteral("before the disk ran full"));
        window->session().audit().flush();
        QCoreApplication::processEvents();
        bus.read(100);
        messages.texts.clear();
        messages.kinds.clear();
    }
    QByteArray stopAll()
    {
        window->controls().stopAllButton->click();
        QByteArray line;
        for (int i = 0; i < 20 && line.isEmpty(); ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            line += bus.read(50);
        }
        return line;
    }
};

Scene AuditRecord(int16_t language)
{
    auto rig = std::make_shared<WindowRig>(language);
    return {rig->dir.path(),
            [rig = rig.get()] {
                rig->window->session().auditTrail().record(QStringLiteral("move"), QString(3000, QLatin1Char('m')));
                rig->window->session().audit().flush();
                QCoreApplication::processEvents();  // the failure is said through the event loop
            },
            [rig = rig.get()] { return ErrorsOf(rig->messages); }, rig, [rig = rig.get()] { return rig->stopAll(); }};
}

Scene SettingsSave(int16_t language)
{
    auto rig = std::make_shared<WindowRig>(language);
    return {rig->dir.path(), [rig = rig.get()] { rig->window->controls().fastBusCheck->click(); },
            [rig = rig.get()] { return ErrorsOf(rig->messages); }, rig, [rig = rig.get()] { return rig->stopAll(); }};
}

struct TrafficRig {
    QTemporaryDir dir;
    RecordingMessages messages;
    TrafficRecord record;
    QString folder() const { return dir.path() + QStringLiteral("/DFiles"); }
    void frames(int count)
    {
        const uint8_t frame[] = {0xAA, 0x01, 0x05, 0x10, 0x16};
        for (int i = 0; i < count; ++i) record.add(i % 2 == 0, frame, int(sizeof frame));
    }
};

Scene TrafficExport(int16_t language)
{
    auto rig = std::make_shared<TrafficRig>();
    setCurrentLanguage(language);
    QDir().mkpath(rig->folder());
    rig->frames(20);
    const QString path = rig->folder() + QStringLiteral("/traffic.csv");
    WriteTrafficRecord(rig->record, path, TrafficRecord::Format::Csv, nullptr);  // an earlier export
    rig->frames(400);
    return {rig->folder(), [rig = rig.get(), path] { WriteTrafficRecord(rig->record, path, TrafficRecord::Format::Csv, nullptr); },
            [rig = rig.get()] { return ErrorsOf(rig->messages); }, rig};
}

struct FullDiskCase {
    const char* name;
    const char* file;  // the file the message names and the write changes
    Scene (*make)(int16_t language);
    qint64 room;  // some room, less than the write needs: the write starts and is cut off
};

const FullDiskCase FullDiskCases[] = {
    {"register edit", "Member1.DB", RegisterEdit, 1000},
    {"backup", "Member1.dbk", Backup, 5000},
    {"password change", "SysSet.DB", PasswordChange, 1000},
    {"audit record", "Audit.DB", AuditRecord, 3000},
    {"traffic record export", "traffic.csv", TrafficExport, 1000},
    {"settings save", "DB.ini", SettingsSave, 10},
};

const char* const DiskFullWords[] = {"磁盘已满", "disk full"};

}  // namespace

TEST(FullDisk, EveryWriteSaysSoNamingTheFileLosesNothingAndSucceedsOnceThereIsRoom)
{
    for (const FullDiskCase& c : FullDiskCases) {
        for (const int16_t language : {0, 1}) {
            for (const qint64 room : {qint64(0), c.room}) {
                SCOPED_TRACE(std::string(c.name) + (language ? ", English" : ", Chinese") + ", room "
                             + std::to_string(room));
                Scene scene = c.make(language);
                const Snapshot before = Snap(scene.folder);
                ASSERT_TRUE(before.count(QString::fromLatin1(c.file))) << "nothing stored before";
                for (const auto& [name, text] : before) {
                    if (text.startsWith(QLatin1String("sqlite "))) {
                        ASSERT_TRUE(text.startsWith(QLatin1String("sqlite integrity=ok\n"))) << name.toStdString();
                    }
                }

                fulldisk::Fill(scene.folder, room);
                scene.act();
                const int refusals = fulldisk::Refusals();
                // The bus does not depend on the disk: Stop all leaves the port while it is full
                // (recording it in the audit record fails and is said, as any write there).
                if (scene.stopAll) {
                    EXPECT_FALSE(scene.stopAll().isEmpty()) << "Stop all did not reach the line";
                }
                fulldisk::Free();
                EXPECT_GT(refusals, 0) << "the write never met the full disk";
                const QStringList errors = scene.errors();
                const QStringList naming = errors.filter(QString::fromLatin1(c.file));
                ASSERT_EQ(naming.size(), 1) << errors.join(QLatin1String(" | ")).toStdString();
                for (const QString& error : errors)
                    EXPECT_TRUE(error.contains(QString::fromUtf8(DiskFullWords[language]))) << error.toStdString();
                const Snapshot after = Snap(scene.folder);
                EXPECT_EQ(after, before) << "what was stored changed";

                scene.act();
                EXPECT_EQ(scene.errors().size(), errors.size()) << scene.errors().join(QLatin1String(" | ")).toStdString();
                const Snapshot again = Snap(scene.folder);
                EXPECT_NE(again.at(QString::fromLatin1(c.file)), before.at(QString::fromLatin1(c.file)))
                    << "the write after the disk had room again did not happen";
                for (const auto& [name, text] : again) {
                    if (text.startsWith(QLatin1String("sqlite "))) {
                        EXPECT_TRUE(text.startsWith(QLatin1String("sqlite integrity=ok\n"))) << name.toStdString();
                    }
                }
            }
        }
    }
    setCurrentLanguage(0);
}
