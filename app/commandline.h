// The window program's command line, read before anything needs a display.
#pragma once

#include <QString>
#include <QStringList>

struct CommandLine {
    enum Action { Window, Help, Version, Convert, Usage };
    Action action = Window;
    QString dataDir;   // --data-dir DIR; empty when not given
    QString convertDir; // --convert DIR
    bool dryRun = false;
    QString error;     // for Usage: what is wrong
};

// args without the program name. Qt's own options (-platform NAME, -style NAME, ...) are left
// for QApplication; any other option, or one of ours without its value, is a usage error.
CommandLine ParseCommandLine(const QStringList& args);

extern const char TarvelloHelpText[];
