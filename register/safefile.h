#pragma once

// File steps that never leave a half-written file in place of a good one: write a
// temporary file beside the target, flush it to disk, then rename it over the target.
// Failures throw ETableError naming the file the user knows.

#include <QString>

namespace tarvello {

// Creates an empty, uniquely named temporary file in the directory of `target`.
QString MakeTempBeside(const QString& target);

// Copies `source` into the existing file `temp` (replacing its content) and flushes it.
// A read failure names `source`, a write failure names `target`.
void CopyInto(const QString& source, const QString& temp, const QString& target);

// Flushes a file's content to disk.
void SyncFile(const QString& path, const QString& reportAs);

// Gives `temp` the permission bits of `model`; false (nothing done) when `model` does not
// exist. A failure names `reportAs`.
bool CopyMode(const QString& model, const QString& temp, const QString& reportAs);

// Renames `temp` over `target` and flushes the directory entry.
void ReplaceWith(const QString& temp, const QString& target);

// Called with the target after each ReplaceWith has put a file in place. Tests use it to
// stop the program between two replacements, as a crash or a power cut would.
using ReplaceHook = void (*)(const QString& target);
void SetReplaceHook(ReplaceHook hook);

// Whether `fileName` (without directory) has the form MakeTempBeside gives a temporary
// file beside `targetName`, or is the journal SQLite keeps beside such a file.
bool IsTempNameOf(const QString& fileName, const QString& targetName);

// Renames `temp` to `target` only if `target` does not exist; false if it does
// (`temp` is then removed).
bool InstallNew(const QString& temp, const QString& target);

// Flushes the directory entries of the directory that holds `path` (after a removal).
void SyncDirectory(const QString& path);

// Removes a file if present; missing is fine.
void RemoveIfPresent(const QString& path);

}  // namespace tarvello
