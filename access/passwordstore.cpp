#include "access/passwordstore.h"

#include "access/encode.h"
#include "common/state.h"
#include "common/texts.h"
#include "register/register.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const QString PasswordField = QStringLiteral("PSW");
constexpr int RecordsNeeded = 3;

// Both say how to start afresh: with the file moved aside the next start is a first start, which
// asks for new passwords.
constexpr Text CannotOpenText{"无法打开密码文件 %1。\n"
                              "请检查该文件是否可读；如要重新开始，请把它移到别处（例如改名为 SysSet.DB.old），"
                              "下次启动时程序会要求设置新密码。",
                              "The password file %1 cannot be opened.\n"
                              "Check that it can be read; to start afresh instead, move it aside (rename it to "
                              "SysSet.DB.old, for example): the next start then asks for new passwords."};
constexpr Text InvalidStoreText{"密码文件 %1 不是有效的密码表，未作任何改动。\n"
                                "如要重新开始，请把该文件移到别处（例如改名为 SysSet.DB.old），"
                                "下次启动时程序会要求设置新密码。",
                                "The password file %1 is not a valid password table; it was left untouched.\n"
                                "To start afresh, move the file aside (rename it to SysSet.DB.old, for example): "
                                "the next start then asks for new passwords."};

}  // namespace

TPasswordStore::TPasswordStore(const QString& dataDir) : PSWTable(SysSetSchema()), m_dataDir(dataDir)
{
    PSWTable.setTableName(FileName());
}

QString TPasswordStore::FileName() const
{
    return QDir(m_dataDir).filePath(QStringLiteral("SysSet.DB"));
}

bool TPasswordStore::Exists() const
{
    // A dangling link counts as present: it must not be replaced by a new store.
    const QFileInfo info(FileName());
    return info.exists() || info.isSymLink();
}

bool TPasswordStore::Create(const QString& administrator, const QString& operatorPassword,
                            const std::optional<QString>& superUser)
{
    if (Exists())
        return false;
    if (!QDir().mkpath(m_dataDir))
        throw ETableError(ETableError::Kind::WriteFailed, FileName(), QStringLiteral("cannot create the directory"));
    const QByteArray superUserCode = superUser ? EnCode(*superUser) : LockedPassword();
    const bool created = TTable::CreateTable(FileName(), SysSetSchema(),
                                             {{SuperUserRecord, superUserCode},
                                              {AdministratorRecord, EnCode(administrator)},
                                              {OperatorRecord, EnCode(operatorPassword)}});
    if (!created)
        return false;
    // The temporary file it was built in is already private; this makes it exactly so
    // whatever the umask.
    if (!QFile::setPermissions(FileName(), QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        throw ETableError(ETableError::Kind::WriteFailed, FileName(), QStringLiteral("cannot set the file mode"));
    return true;
}

void TPasswordStore::Open()
{
    if (PSWTable.Active())
        return;
    PSWTable.Open();
    if (PSWTable.RecordCount() < RecordsNeeded) {
        const int count = PSWTable.RecordCount();
        PSWTable.Close();
        throw ETableError(ETableError::Kind::InvalidRegister, FileName(),
                          QStringLiteral("%1 records instead of %2").arg(count).arg(RecordsNeeded));
    }
}

void TPasswordStore::Close()
{
    PSWTable.Close();
}

bool TPasswordStore::Matches(int record, const QString& typed)
{
    PSWTable.setRecNo(record);
    return PSWTable.FieldByName(PasswordField).AsBytes() == EnCode(typed);
}

bool TPasswordStore::Shared(int record, int other)
{
    PSWTable.setRecNo(record);
    const QByteArray stored = PSWTable.FieldByName(PasswordField).AsBytes();
    PSWTable.setRecNo(other);
    return PSWTable.FieldByName(PasswordField).AsBytes() == stored;
}

void TPasswordStore::Change(int record, const QString& password)
{
    PSWTable.setRecNo(record);
    PSWTable.Edit();
    PSWTable.SetFieldByName(PasswordField, EnCode(password));
    PSWTable.Post();
    if (onPasswordChanged)
        onPasswordChanged(record);
}

QString PasswordStoreErrorText(const ETableError& error, int16_t language)
{
    if (language != 0 && language != 1)
        return {};
    switch (error.kind()) {
    case ETableError::Kind::CannotOpen:
        return pick(CannotOpenText, language).arg(error.fileName());
    case ETableError::Kind::InvalidRegister:
        return pick(InvalidStoreText, language).arg(error.fileName());
    default:
        return error.Text(language);
    }
}

int TPasswordStore::levelOf(const QString& typed)
{
    int level = ModeNone;
    if (Matches(OperatorRecord, typed))
        level = ModeOperator;
    if (Matches(AdministratorRecord, typed))
        level = ModeAdministrator;
    if (m_edition == EditionAdvanced && Matches(SuperUserRecord, typed))
        level = ModeSuperUser;
    return level;
}
