// Taking over a data directory of earlier versions (Paradox tables): the question at start and
// the command without a window.
#pragma once

#include <QString>

#include <functional>

class QWidget;

// At start, before the log-in: finishes a conversion a crash interrupted, then, when a file of
// `scene` (1 to 12; another value means 1) or the password store is a Paradox table, asks in
// the current language whether to convert the whole data directory, naming the files. Yes
// converts it (the originals are kept as *.paradox.*) and says what it did; a table that
// cannot be read is reported and nothing is converted. Returns false when the program must
// end: the answer was No, or the conversion failed. Without Paradox tables it asks nothing
// and returns true.
// A conversion done is handed to `recorded` (what was converted, in English) for the audit record.
bool OfferParadoxConversion(const QString& dataDir, int scene, QWidget* parent,
                            const std::function<void(const QString& detail)>& recorded = {});

// "tarvello --convert DIR [--dry-run]": converts (or, with dryRun, only reports) the data
// directory DIR without a window, printing one line per table. Returns the exit status:
// 0 done or nothing to do, 1 a table cannot be read (nothing converted), 2 a file could not
// be written (the directory is as it was, or is completed at the next start).
// A conversion done is entered in DIR's audit record.
int RunConversionCommand(const QString& dataDir, bool dryRun);
