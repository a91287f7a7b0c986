#pragma once

// Taking a data directory of earlier versions (Paradox tables) over into our own files in one
// step: every Paradox table among the register files of the twelve scenes and the password
// store is read, written anew beside itself, and only when all of them were read and written
// are the new files renamed into place. Each original keeps its bytes under a name that says
// what it is ("Member1.DB" -> "Member1.paradox.DB", with its .PX and .VAL beside it).
//
// A marker file records the step of replacing; when it is stopped half-way, the next start
// completes it (or, if a new file was lost meanwhile, puts every original back).

#include "register/paradox.h"

#include <QString>
#include <QStringList>

#include <vector>

struct TConvertedTable {
    QString fileName;   // "Member1.DB", without the directory
    TParadoxKind kind = TParadoxKind::Devices;
    int records = 0;
    QStringList kept;   // the names the original files are (or would be) kept under
};

struct TConversion {
    std::vector<TConvertedTable> tables;    // every Paradox table found
    std::vector<TParadoxProblem> problems;  // any: nothing was converted
    bool converted = false;                 // the new files are in place
};

// The register and password files a data directory may hold, without the directory:
// Member1.DB .. Member12.DB, Group1.DB .. Group12.DB, SysSet.DB.
QStringList DataTableNames();

// The Paradox tables among the files of `scene` and the password store (names without the
// directory); empty when there is nothing to convert for this start.
QStringList ParadoxTablesOfScene(const QString& dataDir, int scene);

// "Member1.DB" -> "Member1.paradox.DB", "Member1.PX" -> "Member1.paradox.PX".
QString KeptName(const QString& fileName);

// "<dataDir>/Convert.pending": present only while converted files are being put in place.
QString ConversionMarkerFileName(const QString& dataDir);

// Converts every Paradox table of the data directory. When any table cannot be read
// (problems), or `dryRun` is set, nothing is written. A failure while writing throws
// ETableError naming the file; the directory is then as it was. The kept originals of the
// password table are readable and writable by their owner only (not on Windows).
TConversion ConvertParadoxDirectory(const QString& dataDir, bool dryRun = false);

enum class TResumed { Nothing, Completed, RolledBack };

// Finishes a conversion that was stopped while its files were being put in place: completes
// it when every new file is still there, otherwise puts every original back. Either way the
// marker is removed. Throws ETableError naming the file that cannot be renamed.
TResumed FinishInterruptedConversion(const QString& dataDir);

// "数据目录 ... 已转换" style lines for the user, one per table: 0 Simplified Chinese, 1 English.
QString ConversionSummary(const TConversion& conversion, int language);
