// The password store: the encoded passwords of the three access levels in DFiles/SysSet.DB.
#pragma once

#include "common/state.h"
#include "register/table.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

// Record numbers of the levels' passwords.
constexpr int SuperUserRecord = 1;
constexpr int AdministratorRecord = 2;
constexpr int OperatorRecord = 3;

class TPasswordStore {
public:
    explicit TPasswordStore(const QString& dataDir = QStringLiteral("DFiles"));

    // "<dataDir>/SysSet.DB".
    QString FileName() const;
    // Whether the file is there at all (a first start when it is not).
    bool Exists() const;

    // Creates the store with the given passwords, encoded, readable and writable by its owner
    // only; the data directory is created if needed. A super-user password left out makes the
    // super-user record one that no password opens. An existing file is never replaced:
    // returns false and writes nothing then. Throws ETableError when the file cannot be written.
    bool Create(const QString& administrator, const QString& operatorPassword,
                const std::optional<QString>& superUser);

    // Opens the store: a valid password table of at least three records. A file that is
    // missing, unreadable, not a password table or too short is refused (ETableError naming
    // the file) and left as it is. Opening an open store does nothing.
    void Open();
    void Close();
    bool Active() const { return PSWTable.Active(); }

    // Whether `typed` is the password of the record: the two encodings agree byte for byte.
    bool Matches(int record, const QString& typed);
    // Whether two records hold the same password (then a log-in with it reaches only the higher
    // level of the two).
    bool Shared(int record, int other);
    // The level a password opens: operator, then administrator, then (advanced edition only)
    // super-user; a later match wins. ModeNone when it opens none.
    int levelOf(const QString& typed);

    // Who is logged in by these passwords for this run (ModeNone: nobody), and the edition the
    // program was built as, which decides whether there is a super-user.
    int32_t level() const { return m_level; }
    void setLevel(int32_t level) { m_level = level; }
    int32_t edition() const { return m_edition; }
    void setEdition(int32_t edition) { m_edition = edition; }
    // Stores the encoding of `password` in the record; on disk when this returns.
    void Change(int record, const QString& password);

    // For the record of who did what (never the text typed): a log-in tried, with the level it
    // opened (ModeNone: refused), the level of this run raised by the administrator's prompt in
    // front of the editor, and a password changed, by its record.
    std::function<void(int32_t level)> onLogInAttempt;
    std::function<void(int32_t from, int32_t to)> onLevelRaised;
    std::function<void(int record)> onPasswordChanged;
    void logInAttempted(int32_t level)
    {
        if (onLogInAttempt)
            onLogInAttempt(level);
    }
    void levelRaised(int32_t from, int32_t to)
    {
        if (onLevelRaised)
            onLevelRaised(from, to);
    }

    TTable PSWTable;

private:
    QString m_dataDir;
    int32_t m_level = ModeNone;
    int32_t m_edition = EditionCustomer;
};

// The message for a failure of the password store, naming the file: 0 Simplified Chinese,
// 1 English, an empty text for any other language.
QString PasswordStoreErrorText(const ETableError& error, int16_t language);
