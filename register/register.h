#pragma once

// The register of one scene: the device table and the group table, their files under
// the data directory, the defaults of a new scene, and backup and restore.

#include "common/gbk.h"
#include "register/table.h"

#include <QString>

#include <exception>

// Longest names, in GBK bytes (the width of the entry fields).
constexpr int GroupNameMaxBytes = 16;
constexpr int DeviceNameMaxBytes = 40;
// Group records of a new scene: the ungrouped record and 15 groups (the frame carries 4 bits).
constexpr int DefaultGroupCount = 16;

// What a register file may hold. A frame names a group by 4 bits (group 0 to 15; the address
// byte 0xFF is every device) and a device by an ID, where ID 0 means every device of the group:
// a record outside these ranges would address more than its device. A group ID need not follow
// the one before, and a device's Group_ID need not name a group record.
constexpr TRange DeviceIdRange{1, 999};
constexpr TRange GroupIdRange{0, DefaultGroupCount - 1};

// Stored name of group record 1 (ID 0).
QString UngroupedName();

// "3-Hall": the group's decimal ID, "-", its name.
QString GroupLabel(qint64 groupId, const QString& name);

const TTableSchema& MemberSchema();  // Member (ID, Name, Group_ID)
const TTableSchema& GroupSchema();   // Groups (ID, Name)
const TTableSchema& SysSetSchema();  // SysSet (RecNo, PSW)

class TRegister {
public:
    explicit TRegister(const QString& dataDir = QStringLiteral("DFiles"));

    TTable Member_Table{MemberSchema()};
    TTable Group_Table{GroupSchema()};

    const QString& DataDir() const { return m_dataDir; }
    // Only while both tables are closed.
    void setDataDir(const QString& dataDir);

    int Scene() const { return m_scene; }
    // Names the tables of scene n ("<dir>/Member<n>.DB", "<dir>/Group<n>.DB").
    // Refused while a table of another scene is open.
    void SetScene(int scene);

    QString MemberFileName() const;
    QString GroupFileName() const;

    // Opens each table that is not open. A file that does not exist yet is created first
    // with its defaults (and the data directory with it): an empty device table, a group
    // table of DefaultGroupCount records, ID 0 named UngroupedName() and the rest unnamed.
    // A file that exists is opened as it is, or refused if it is not a valid register: also
    // when a record lies outside DeviceIdRange / GroupIdRange (ValueOutOfRange naming it).
    // When neither table is open, it first completes a restore that a crash stopped
    // half-way (RestoreMarkerFileName(); InterruptedRestore when the backup changed since)
    // and then removes the temporary files left in the data directory (RemoveLeftovers).
    void Open();
    void Close();

    // Copies Member<n>.DB to .dbk and Group<n>.DB to .dbk (and .PX/.VAL to .pbk/.vbk where
    // present). The live files are checked first; each copy is written beside its target
    // and renamed over it only when complete, so a failure leaves the previous backup.
    // Both .dbk files of one backup carry the same new random stamp in their header.
    // A replaced file keeps its mode; a new one takes the live file's. A missing live file
    // is passed over. Both tables are open afterwards.
    void Backup();

    // The reverse, device table first. Every backup present is checked before anything
    // is replaced: a damaged one is refused (InvalidBackup), two files of different
    // backups are refused (TornBackup), and the live tables stay as they were. Backups
    // without a stamp (0, older versions) are accepted. A missing backup is passed over
    // silently. Returns whether anything was restored. Both tables are open afterwards.
    bool Restore();

    // "<dir>/Restore<n>.pending": present only while a restore replaces files.
    QString RestoreMarkerFileName() const;

    // Removes the temporary files this program leaves in `dataDir` when it is stopped
    // while writing a register, backup, password or marker file (".<name>.tmp-XXXXXX"
    // and their journals). Nothing else is touched. Open calls it.
    static void RemoveLeftovers(const QString& dataDir);

    // Throws ETableError naming the device file when the device table cannot be written
    // now: the table is not open (InvalidOperation, or why the file cannot be opened),
    // the file is damaged (InvalidRegister), the file or the data directory is read-only
    // (WriteFailed), another program holds a lock (Busy). Changes nothing.
    void CheckDevicesWritable();

    // "<dir>/Member<n>.before-search.DB": the device table as it was before the last search.
    QString BeforeSearchFileName() const;
    // Copies the device file to BeforeSearchFileName(), written beside it and renamed
    // over the previous copy only when complete, with the live file's mode. Throws
    // ETableError naming the file that failed; the previous copy is then kept.
    void SaveBeforeSearch();

    // Puts the copy of BeforeSearchFileName() back in place of the device file, the safe way
    // (checked first, written beside it, renamed over it), with the live file's mode. The copy
    // stays. A missing or damaged copy throws ETableError naming it and changes nothing. The
    // device table is open afterwards.
    void RestoreBeforeSearch();

    // Removes every device record. The device table is open afterwards even when emptying
    // failed (unless the file cannot be opened at all); the failure is then rethrown.
    void EmptyDevices();
    // Off for a program that only reads or stops while another one works on the directory: what
    // looks left over by a crash may then be that program's work in progress.
    void SetRecovery(bool on) { m_recovery = on; }

private:
    QString Stem(const QString& base) const;
    void CreateMissing();
    void ReopenAfter(const std::exception_ptr& failure, bool devicesOnly = false);
    void FinishInterruptedRestore();

    QString m_dataDir;
    int m_scene = 1;
    bool m_recovery = true;
};
