// What the editor tests share: a register of their own, a host that records what the editor asks
// of the main window, recorded message boxes, and the editor window itself.
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/messages.h"
#include "common/state.h"
#include "editor/editorhost.h"
#include "editor/editorwidgets.h"
#include "editor/groupsetform.h"
#include "register/register.h"

// Records every message box instead of showing it.
struct RecordingMessages : MessageSink {
    RecordingMessages() { SetMessageSink(this); }
    ~RecordingMessages() override { SetMessageSink(nullptr); }
    bool show(QWidget*, Kind kind, const QString& text) override
    {
        kinds.append(kind);
        texts.append(text);
        return true;
    }
    void clear()
    {
        kinds.clear();
        texts.clear();
    }
    QList<Kind> kinds;
    QStringList texts;
};

struct Readdress {
    int group, id, newGroup, newId;
    bool operator==(const Readdress&) const = default;
};
struct Batch {
    int sourceGroup, targetGroup;
    QList<int> ids;
    bool operator==(const Batch&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Readdress& r)
{
    return os << "(" << r.group << "," << r.id << " -> " << r.newGroup << "," << r.newId << ")";
}
inline std::ostream& operator<<(std::ostream& os, const Batch& b)
{
    os << "(" << b.sourceGroup << " -> " << b.targetGroup << ":";
    for (int id : b.ids) os << " " << id;
    return os << ")";
}

// The main window as the editor sees it.
class FakeHost : public EditorHost {
public:
    explicit FakeHost(const QString& dataDir) : m_register(dataDir) { m_register.Open(); }
    TRegister& editorRegister() override { return m_register; }
    bool portOpen() const override { return open; }
    bool sendReaddress(int group, int id, int newGroup, int newId) override
    {
        frames.push_back({group, id, newGroup, newId});
        return accepts;
    }
    bool sendReaddressBatch(int sourceGroup, int targetGroup, const QList<int>& ids) override
    {
        batches.push_back({sourceGroup, targetGroup, ids});
        return accepts;
    }
    void stopPoll() override { ++pollStops; }
    void rebuildMainLists() override { ++listRebuilds; }
    void showMainAgain() override { ++mainShows; }

    bool open = true;
    bool accepts = true;
    std::vector<Readdress> frames;
    std::vector<Batch> batches;
    int pollStops = 0;
    int listRebuilds = 0;
    int mainShows = 0;

private:
    TRegister m_register;
};

struct Device {
    int id;
    const char* name;
    int group;
};

// A register of 16 groups (1 "Hall", 2 "Stage", the rest unnamed) with the given devices, and the
// editor on it, opened as the main window opens it. Chinese unless told otherwise.
class EditorRig {
public:
    explicit EditorRig(std::initializer_list<Device> devices = {}, int16_t language = 0)
    {
        CurLanguage = language;
        TTable& groups = host.editorRegister().Group_Table;
        rename(groups, 1, "Hall");
        rename(groups, 2, "Stage");
        for (const Device& d : devices) add(d);
        form.showEditor();
    }
    ~EditorRig() { CurLanguage = 0; }

    void add(const Device& d)
    {
        TTable& t = host.editorRegister().Member_Table;
        t.Append();
        t.SetFieldByName(QStringLiteral("ID"), d.id);
        t.SetFieldByName(QStringLiteral("Name"), QString::fromUtf8(d.name));
        t.SetFieldByName(QStringLiteral("Group_ID"), d.group);
        t.Post();
    }

    // The device table as (ID, name, group), in ID order.
    std::vector<std::tuple<int, QString, int>> records()
    {
        std::vector<std::tuple<int, QString, int>> out;
        TTable& t = host.editorRegister().Member_Table;
        for (t.First(); !t.Eof(); t.Next())
            out.emplace_back(t.FieldByName(QStringLiteral("ID")).AsInteger(),
                             t.FieldByName(QStringLiteral("Name")).AsString(),
                             t.FieldByName(QStringLiteral("Group_ID")).AsInteger());
        return out;
    }

    const GroupSetControls& ui() const { return form.controls(); }

    static QList<int> ids(const TDeviceListView* list)
    {
        QList<int> out;
        for (int row = 0; row < list->rowCount(); ++row) out.append(list->deviceId(row));
        return out;
    }
    static QStringList items(const QComboBox* selector)
    {
        QStringList out;
        for (int i = 0; i < selector->count(); ++i) out.append(selector->itemText(i));
        return out;
    }

    // The user picks a group in a selector.
    static void choose(QComboBox* selector, int index)
    {
        selector->setCurrentIndex(index);
        emit selector->activated(index);
    }
    // A click on a row of a list, as the user makes it (Ctrl adds to the selection).
    static void clickRow(TDeviceListView* list, int row, Qt::KeyboardModifiers keys = Qt::NoModifier)
    {
        const QRect cell = list->visualRect(list->model()->index(row, 0));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, keys, cell.center());
    }
    void pick(TDeviceListView* list, int row) { clickRow(list, row); }
    void typeNew(const char* id, const char* name, int group)
    {
        ui().newIdEdit->setText(QString::fromUtf8(id));
        ui().newNameEdit->setText(QString::fromUtf8(name));
        choose(ui().newGroupSelector, group);
    }
    void click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

    RecordingMessages messages;
    QTemporaryDir dir;
    FakeHost host{dir.path() + QStringLiteral("/DFiles")};
    TGroupSetForm form{host};

private:
    static void rename(TTable& groups, int id, const char* name)
    {
        groups.Locate(QStringLiteral("ID"), id);
        groups.Edit();
        groups.SetFieldByName(QStringLiteral("Name"), QString::fromUtf8(name));
        groups.Post();
    }
};
