// What the editor tests share: a register of their own, a host that records what the editor asks
// of the main window, recorded message boxes, and the editor window opened on them.
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "ui/messages.h"
#include "../support/recording_messages.h"
#include "common/state.h"
#include "editor/editorhost.h"
#include "editor/editorwidgets.h"
#include "editor/groupeditor.h"
#include "register/register.h"

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

// Recorded boxes, with the window each one belongs to.
using EditorMessages = RecordingMessages;

struct Readdress {
    int group, id, newGroup, newId;
    bool operator==(const Readdress&) const = default;
};
struct Batch {
    int sourceGroup, targetGroup;
    QList<int> ids;
    bool operator==(const Batch&) const = default;
};
class FakeHost : public EditorHost {
public:
    explicit FakeHost(const QString& dataDir) : m_register(dataDir) { m_register.Open(); }
    TRegister& editorRegister() override { return m_register; }
    bool portOpen() const override { return open; }
    QString portClosedText() const override { return closedText; }
    bool readdressedSince(const QDateTime&) const override { return readdressed; }
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
    void stopSearch() override { ++searchStops; }
    void rebuildMainLists() override { ++listRebuilds; }
    void showMainAgain() override { ++mainShows; }
    void recordAction(const QString& action, const QString& detail, const std::vector<std::pair<int, int>>&) override
    {
        recorded.emplace_back(action, detail);
    }

    bool open = true;
    QString closedText;
    bool readdressed = false;
    bool accepts = true;
    std::vector<Readdress> frames;
    std::vector<Batch> batches;
    int pollStops = 0, searchStops = 0, listRebuilds = 0, mainShows = 0;
    std::vector<std::pair<QString, QString>> recorded; // for the audit record: (action, detail)

private:
    TRegister m_register;
};

struct Device {
    int id;
    const char* name;
    int group;
};
using Records = std::vector<std::tuple<int, QString, int>>;

// A register of 16 groups (1 "Hall", 2 "Stage", 5 "Pit", the rest unnamed) holding the given
// devices, and the editor on it, opened as the main window opens it. `groupIds` keeps only those
// group records, as a converted register may have them.
class EditorRig {
public:
    explicit EditorRig(std::initializer_list<Device> devices, int16_t language = 0,
                       std::initializer_list<int> groupIds = {})
    {
        setCurrentLanguage(language);
        TTable& groups = host.editorRegister().Group_Table;
        for (int id = 0; groupIds.size() > 0 && id < DefaultGroupCount; ++id)
            if (std::ranges::find(groupIds, id) == groupIds.end() && groups.Locate(QStringLiteral("ID"), id))
                groups.Delete();
        for (auto [id, name] : {std::pair{1, "Hall"}, std::pair{2, "Stage"}, std::pair{5, "Pit"}}) {
            if (!groups.Locate(QStringLiteral("ID"), id)) continue;
            groups.Edit();
            groups.SetFieldByName(QStringLiteral("Name"), QString::fromUtf8(name));
            groups.Post();
        }
        for (const Device& d : devices) add(d);
        form.showEditor();
    }
    ~EditorRig() { setCurrentLanguage(0); }

    void add(const Device& d)
    {
        TTable& t = host.editorRegister().Member_Table;
        t.Append();
        t.SetFieldByName(QStringLiteral("ID"), d.id);
        t.SetFieldByName(QStringLiteral("Name"), QString::fromUtf8(d.name));
        t.SetFieldByName(QStringLiteral("Group_ID"), d.group);
        t.Post();
    }
    Records records()
    {
        Records out;
        TTable& t = host.editorRegister().Member_Table;
        for (t.First(); !t.Eof(); t.Next())
            out.emplace_back(t.Field(0).AsInteger(), t.Field(1).AsString(), t.Field(2).AsInteger());
        return out;
    }
    const GroupEditorControls& ui() const { return form.controls(); }

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
    // The user picks an item of a selector.
    static void choose(QComboBox* selector, int index)
    {
        selector->setCurrentIndex(index);
        emit selector->activated(index);
    }
    static void clickRow(TDeviceListView* list, int row, Qt::KeyboardModifiers keys = Qt::NoModifier)
    {
        QTest::mouseClick(list->viewport(), Qt::LeftButton, keys,
                          list->visualRect(list->model()->index(row, 0)).center());
    }
    void typeNew(const char* id, const char* name, int group)
    {
        ui().newIdEdit->setText(QString::fromUtf8(id));
        ui().newNameEdit->setText(QString::fromUtf8(name));
        choose(ui().newGroupSelector, group);
    }
    static void click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

    EditorMessages messages;
    QTemporaryDir dir;
    FakeHost host{dir.path() + QStringLiteral("/DFiles")};
    GroupEditor form{host};
};
