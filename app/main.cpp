// Tarvello control centre.
#include <QApplication>
#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include "app/commandline.h"
#include "app/conversion_prompt.h"
#include "app/mainwindow.h"
#include "app/takeover.h"
#include "core/endrequests.h"
#include "core/portkeeper.h"
#include "core/session.h"
#include "core/stoprequests.h"
#include "mqtt/mqttpublisher.h"
#include "common/datadir.h"
#include "ui/language.h"
#include "ui/messages.h"
#include "common/version.h"
#include "serial/portname.h"

int main(int argc, char* argv[])
{
    // The command line is read before any application object exists: --help, --version and
    // mistakes need no display.
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const CommandLine command = ParseCommandLine(args);
    switch (command.action) {
    case CommandLine::Help:
        std::fputs(TarvelloHelpText, stdout);
        return 0;
    case CommandLine::Version:
        std::printf("tarvello %s\n", ProgramVersion());
        return 0;
    case CommandLine::Usage:
        std::fprintf(stderr, "tarvello: %s\nTry 'tarvello --help'.\n", command.error.toLocal8Bit().constData());
        return 2;
    case CommandLine::Convert: {
        // Takes a Paradox data directory over without a window or a display.
        QCoreApplication app(argc, argv);
        // A stop-all that finds the folder held asks its holder to stop every device: a conversion
        // has no port to send it on, and such a request must not end it halfway. It is ignored.
        StopRequests stopRequests;
        // A conversion rewrites the register: not under a window that works on it.
        DataDirLock lock(command.convertDir);
        if (!command.dryRun && lock.tryLock() == DataDirLock::Result::InUse) {
            std::fprintf(stderr, "tarvello: %s\n", lock.holderText(SystemLanguage()).toLocal8Bit().constData());
            return 1;
        }
        lock.setNoPort(QStringLiteral("it converts the data files: tarvello --convert"));
        return RunConversionCommand(command.convertDir, command.dryRun);
    }
    case CommandLine::Window:
        break;
    }

#ifdef _WIN32
    // The installer will not replace a program that runs: this name tells it one does. Released
    // by Windows when the process ends, however it ends.
    CreateMutexW(nullptr, FALSE, L"Tarvello.Running");
#endif
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarvello V2.0"));
    QGuiApplication::setDesktopFileName(QStringLiteral("tarvello")); // its menu entry and icon
    const DataDirChoice data = ChooseDataDir(command.dataDir);
    QString problem;
    if (!MakeDataDir(data.path, SystemLanguage(), &problem)) {
        std::fprintf(stderr, "tarvello: %s\n", problem.toLocal8Bit().constData());
        ShowError(nullptr, problem);
        return 1;
    }
    // An installed program's first start on this PC: an earlier installation's data may come along.
    if (data.source == DataDirChoice::Installed && IsEmptyDataFolder(data.path)) {
        const int16_t language = SystemLanguage();
        loadQtTranslations(language, &app); // the boxes' buttons in the same language
        OfferDataFolderTakeOver(data.path, language, nullptr,
                                [language] { return ChooseDataFolderToTakeOver(language, nullptr); });
    }
    Session session(data.path);
    // tarvello-ctl stop-all finds the port held by this window: it asks the window to stop every
    // device, as F12 does. Taken over before the directory is held, so a request never ends it.
    StopRequests stopRequests;
    // One window a data directory: a second one would find its port taken and share the register.
    DataDirLock lock(data.path);
    if (lock.tryLock() == DataDirLock::Result::InUse) {
        const QString text = lock.holderText(session.languageSetting());
        std::fprintf(stderr, "tarvello: %s\n", text.toLocal8Bit().constData());
        ShowError(nullptr, text);
        return 1;
    }
    MainWindow mainForm(session);
    QObject::connect(&stopRequests, &StopRequests::requested, &session, &Session::creditStopRequest);
    QObject::connect(&stopRequests, &StopRequests::requested, &mainForm, &MainWindow::stopAllPressed);
    // The port the window works on, beside the lock: a stop-all for this very port is handed to
    // the window, and one for any other port is not.
    const auto sayPort = [&lock, &session](PortKeeper::State state) {
        if (state == PortKeeper::State::Failed) {
            lock.setNoPort(QStringLiteral("its port did not open"));
        } else {
            TComm& port = session.port();
            lock.setPort(PortIdentity(port.PortResolver(port.CommName())));
        }
    };
    const PortKeeper& keeper = mainForm.portKeeper();
    sayPort(keeper.counted() ? PortKeeper::State::Open
            : keeper.connecting() ? PortKeeper::State::Connecting : PortKeeper::State::Failed);
    QObject::connect(&mainForm.portKeeper(), &PortKeeper::stateChanged, &mainForm, sayPort);
    // SIGTERM, SIGINT and SIGHUP (a shut-down, a kill, a closed terminal) end the window in order.
    EndRequests endRequests;
    QObject::connect(&endRequests, &EndRequests::requested, &mainForm, &MainWindow::endRequested);
    // Published from before the log-in (its attempt is an event) until the program ends.
    MqttProblem mqttProblem;
    const std::unique_ptr<MqttPublisher> publisher = StartMqtt(session, &mqttProblem);
    mainForm.watchBroker(publisher.get(), mqttProblem);
    if (!mainForm.startUp()) return mainForm.startFailureStatus(); // nobody logged in
    return QApplication::exec();
}
