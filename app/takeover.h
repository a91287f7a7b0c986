// The first start of an installed program finds its data folder empty: the DFiles folder of an
// earlier installation (a copied program folder, an older version) may be taken over. It is
// copied, and the original is left as it was; Paradox tables among the copies are then offered
// for conversion as at any start.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>

class QWidget;

// Whether the folder exists and holds nothing (a missing folder is empty too).
bool IsEmptyDataFolder(const QString& path);

// Copies the files of `from` into the empty folder `to` (created when missing). Refused, with the
// reason in the given language (0 Simplified Chinese, 1 English) and nothing copied, when `from`
// holds no settings, password or register file, is `to` itself, or `to` is not empty. A copy that
// fails half-way leaves `to` empty again.
bool CopyDataFolder(const QString& from, const QString& to, int16_t language, QString* message);

// Asks whether to take a folder over, lets the user choose it (chooseFolder returns "" when
// cancelled), copies it and says what happened; a refused folder may be chosen again. False when
// nothing was taken over.
bool OfferDataFolderTakeOver(const QString& dataDir, int16_t language, QWidget* parent,
                             const std::function<QString()>& chooseFolder);
// The folder dialog for it.
QString ChooseDataFolderToTakeOver(int16_t language, QWidget* parent);
