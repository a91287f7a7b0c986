#pragma once

// Reading the Paradox tables of earlier versions (device, group and password tables) into
// the records of our own files. Only reading: nothing here writes a Paradox file.

#include "register/table.h"

#include <QString>

#include <vector>

enum class TParadoxKind { Devices, Groups, Passwords };

// Why a table cannot be taken over. `record` is 1-based; 0 names the table as a whole.
struct TParadoxProblem {
    enum class Kind {
        Unreadable,      // header or data blocks damaged, or the file cannot be read (detail: why)
        MissingField,    // detail: field name
        WrongFieldType,  // detail: field name
        UnexpectedField, // detail: field name
        NotWhole,        // a numeric field holds no whole number (detail: field name)
        IdOutOfRange,    // a device ID outside 1 to 999 (detail: the ID)
        DuplicateId,     // detail: the ID
        TooManyGroups,   // detail: the record count
        NotGbk,          // a text field is not GBK text (detail: field name)
        TooFewPasswords, // detail: the record count
        PasswordTooLong, // more than 8 bytes of password in the field
        KeptExists,      // detail: the name the original would be kept under
        GroupIdOutOfRange,     // a group table's ID outside 0 to 15 (detail: the ID)
        GroupOfDeviceOutOfRange, // a device's Group_ID outside 0 to 15 (detail: the value)
    };
    QString file;
    int record = 0;
    Kind kind = Kind::Unreadable;
    QString detail;

    // One line for the user: 0 Simplified Chinese, 1 English, empty otherwise.
    QString Text(int language) const;
};

struct TParadoxRead {
    // Values in the field order of the table's schema (MemberSchema, GroupSchema, SysSetSchema).
    std::vector<std::vector<TFieldValue>> rows;
    std::vector<TParadoxProblem> problems;  // empty when every record was read
};

// Whether the file starts like a Paradox table (and not like an SQLite database). A table
// with a damaged field list still counts: reading it then reports the damage.
bool IsParadoxTable(const QString& path);

// Reads every record of the table at `path`, reporting problems under `reportAs`.
//  - Devices: fields ID, Name, Group_ID (names in any case, any order, no others);
//  - Groups: fields ID, Name; at most 16 records;
//  - Passwords: the second field holds the password (alpha or bytes, 8 bytes or wider, what
//    follows the 8th byte empty); the first field is not used; at least 3 records.
// Numeric fields may be short, long, number (whole values only) or auto-increment; an empty
// numeric field reads as 0. Names are GBK text. Passwords are taken byte for byte, never decoded.
// IDs occur once and lie where a frame addresses one device or group alone, as the register
// requires (DeviceIdRange, GroupIdRange): device IDs in 1 to 999, group IDs and a device's
// Group_ID in 0 to 15. Group IDs need not follow each other, nor a Group_ID name a group.
TParadoxRead ReadParadoxTable(const QString& path, TParadoxKind kind, const QString& reportAs);
