#pragma once
#include <QList>
#include <QDateTime>
#include <QString>
#include <utility>
#include <vector>
class TRegister;
// What the editor needs of the main window: the register, the bus and the main lists.
class EditorHost {
public:
    virtual ~EditorHost() = default;
    virtual TRegister& editorRegister() = 0;   // the open device and group tables of the current scene
    virtual bool portOpen() const = 0;
    // Why the port is not open, naming the device tried, in the current language; empty when the
    // host cannot say (the editor then says only that the port did not open).
    virtual QString portClosedText() const { return {}; }
    // One re-address frame (device at group/id gets newGroup/newId), written to the traffic log once
    // the port took it; afterwards the bus is asked whether the device answers at its new address.
    // False when the port refused the frame.
    virtual bool sendReaddress(int group, int id, int newGroup, int newId) = 0;
    // Moves several devices from sourceGroup to targetGroup keeping their IDs: the first frame at once,
    // the others one each time the line runs empty, queued behind a batch still being sent.
    // False when the port refused the first frame.
    virtual bool sendReaddressBatch(int sourceGroup, int targetGroup, const QList<int>& ids) = 0;
    // Whether a re-address frame went out (from here, or from tarvello-ctl) since the time given, UTC.
    virtual bool readdressedSince(const QDateTime& when) const
    {
        (void)when;
        return false;
    }
    virtual void stopPoll() = 0;          // the main window's status poll stops
    virtual void stopSearch() {}          // a search running in the main window ends
    virtual void rebuildMainLists() = 0;  // the main window rebuilds its group and device lists
    virtual void showMainAgain() = 0;     // the main window's show handler runs again (after an add)
    // For the record of who changed what: an action of the editor (add, delete, rename, backup,
    // restore) with its detail and the devices (group, ID) it concerns.
    virtual void recordAction(const QString& action, const QString& detail,
                              const std::vector<std::pair<int, int>>& devices = {})
    {
        (void)action, (void)detail, (void)devices;
    }
};
