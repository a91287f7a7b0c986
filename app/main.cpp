// Tarvello control centre.
#include <QApplication>
#include <QCoreApplication>

#include <cstdio>
#include <cstring>

#include "app/conversion_prompt.h"
#include "app/mainform.h"

int main(int argc, char* argv[])
{
    // "--convert DIR [--dry-run]": takes a Paradox data directory over without a window or a display.
    if (argc >= 2 && std::strcmp(argv[1], "--convert") == 0) {
        QCoreApplication app(argc, argv);
        const QStringList args = QCoreApplication::arguments().mid(2);
        const bool dryRun = args.contains(QStringLiteral("--dry-run"));
        QStringList dirs = args;
        dirs.removeAll(QStringLiteral("--dry-run"));
        if (dirs.size() != 1) {
            std::fprintf(stderr, "usage: tarvello --convert DIR [--dry-run]   (DIR: the data directory, e.g. DFiles)\n");
            return 2;
        }
        return RunConversionCommand(dirs.front(), dryRun);
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarvello V2.0"));
    TMainForm mainForm;
    if (!mainForm.startUp()) return 0; // nobody logged in
    return QApplication::exec();
}
