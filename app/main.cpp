// Tarvello control centre.
#include <QApplication>

#include "app/mainform.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarvello V2.0"));
    TMainForm mainForm;
    if (!mainForm.startUp()) return 0; // nobody logged in
    return QApplication::exec();
}
