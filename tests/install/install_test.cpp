// The data directory a start picks, the window's command line, and the programs' --help and
// --version on a machine without a display.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include "app/commandline.h"
#include "common/datadir.h"

namespace {

struct ChoiceCase {
    const char* name;
    const char* given;        // --data-dir, "" for none
    const char* workDirEntry; // "dir": DFiles is a folder there, "file": a file, "": none
    const char* xdg;          // "<abs>": an absolute folder in the scratch area; else taken as is
    const char* expected;     // relative to the scratch area
    DataDirChoice::Source source;
};

TEST(DataDirChoice, PicksGivenThenWorkingDirectoryThenUserDataFolder)
{
    const ChoiceCase cases[] = {
        { "given wins over DFiles here", "stage/DFiles", "dir", "", "stage/DFiles", DataDirChoice::Given },
        { "started from the installation's folder", "", "dir", "<abs>", "work/DFiles", DataDirChoice::WorkingDirectory },
        { "menu start, XDG_DATA_HOME set", "", "", "<abs>", "xdg/tarvello/DFiles", DataDirChoice::UserData },
        { "menu start, XDG_DATA_HOME unset", "", "", "", "home/.local/share/tarvello/DFiles", DataDirChoice::UserData },
        { "XDG_DATA_HOME not absolute counts as unset", "", "", "relative/data", "home/.local/share/tarvello/DFiles",
          DataDirChoice::UserData },
        { "a file named DFiles is no data folder", "", "file", "", "home/.local/share/tarvello/DFiles",
          DataDirChoice::UserData },
    };
    for (const ChoiceCase& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir scratch;
        QDir root(scratch.path());
        root.mkpath(QStringLiteral("work"));
        root.mkpath(QStringLiteral("home"));
        const QString work = root.filePath(QStringLiteral("work"));
        if (QByteArray(c.workDirEntry) == "dir")
            root.mkpath(QStringLiteral("work/DFiles"));
        else if (QByteArray(c.workDirEntry) == "file") {
            QFile f(root.filePath(QStringLiteral("work/DFiles")));
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        }
        const QString xdg = QByteArray(c.xdg) == "<abs>" ? root.filePath(QStringLiteral("xdg")) : QString::fromUtf8(c.xdg);
        const QString given = *c.given ? root.filePath(QString::fromUtf8(c.given)) : QString();

        const DataDirChoice choice = ChooseDataDir(given, work, xdg, root.filePath(QStringLiteral("home")));

        EXPECT_EQ(QFileInfo(choice.path).absoluteFilePath(), root.filePath(QString::fromUtf8(c.expected)));
        EXPECT_EQ(choice.source, c.source);
    }
}

// Windows: the installer's marker beside the program decides, not whether its folder can be written.
TEST(DataDirChoice, OnWindowsTheInstallersMarkerDecides)
{
    struct Case {
        const char* name;
        const char* given;
        const char* marker;   // "file", "dir" (no marker: a folder of that name), ""
        bool dfilesHere;      // DFiles in the working directory
        bool dfilesBeside;    // DFiles beside the program
        const char* expected; // relative to the scratch area
        DataDirChoice::Source source;
    };
    const Case cases[] = {
        { "given wins over the installation", "stage/DFiles", "file", true, false, "stage/DFiles", DataDirChoice::Given },
        { "installed: one register for the PC", "", "file", true, true, "programdata/Tarvello/DFiles",
          DataDirChoice::Installed },
        { "copied folder: DFiles beside the program", "", "", false, true, "program/DFiles", DataDirChoice::BesideProgram },
        { "copied folder without DFiles yet", "", "", false, false, "program/DFiles", DataDirChoice::BesideProgram },
        { "copied folder started where DFiles is", "", "", true, true, "work/DFiles", DataDirChoice::WorkingDirectory },
        { "a folder named like the marker is none", "", "dir", false, false, "program/DFiles",
          DataDirChoice::BesideProgram },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir scratch;
        QDir root(scratch.path());
        for (const char* d : {"work", "program", "programdata"}) root.mkpath(QString::fromUtf8(d));
        if (c.dfilesHere) root.mkpath(QStringLiteral("work/DFiles"));
        if (c.dfilesBeside) root.mkpath(QStringLiteral("program/DFiles"));
        const QString marker = root.filePath(QStringLiteral("program/") + QLatin1String(InstalledMarkerName));
        if (QByteArray(c.marker) == "dir") root.mkpath(marker);
        QFile markerFile(marker);
        if (QByteArray(c.marker) == "file") {
            ASSERT_TRUE(markerFile.open(QIODevice::WriteOnly));
        }
        const QString given = *c.given ? root.filePath(QString::fromUtf8(c.given)) : QString();

        const DataDirChoice choice = ChooseWindowsDataDir(given, root.filePath(QStringLiteral("work")),
                                                          root.filePath(QStringLiteral("program")),
                                                          root.filePath(QStringLiteral("programdata")));

        EXPECT_EQ(QFileInfo(choice.path).absoluteFilePath(), root.filePath(QString::fromUtf8(c.expected)));
        EXPECT_EQ(choice.source, c.source);
    }
}

TEST(DataDirChoice, StartedInAFolderWithDFilesKeepsTheRelativeName)
{
    QTemporaryDir scratch;
    QDir(scratch.path()).mkpath(QStringLiteral("DFiles"));
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(scratch.path()));
    const DataDirChoice choice = ChooseDataDir(QString());
    QDir::setCurrent(before);
    // Messages about the data files name "DFiles/..." as they always did.
    EXPECT_EQ(choice.path, QStringLiteral("DFiles"));
}

TEST(DataDirCreation, CreatesWhatIsMissingAndExplainsWhatCannotBe)
{
    struct Case {
        const char* name;
        const char* path; // below the scratch area, where "blocker" is a regular file
        bool made;
        const char* english; // a part of the English message; "" when made
    };
    const Case cases[] = {
        { "first start: the whole chain is made", "share/tarvello/DFiles", true, "" },
        { "an existing folder is used", "existing", true, "" },
        { "a file below the path", "blocker/tarvello/DFiles", false, "no permission" },
        { "a file at the path", "blocker", false, "a file of that name" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir scratch;
        QDir root(scratch.path());
        root.mkpath(QStringLiteral("existing"));
        QFile blocker(root.filePath(QStringLiteral("blocker")));
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const QString path = root.filePath(QString::fromUtf8(c.path));

        QString english, chinese;
        EXPECT_EQ(MakeDataDir(path, 1, &english), c.made);
        EXPECT_EQ(MakeDataDir(path, 0, &chinese), c.made);
        if (c.made) {
            EXPECT_TRUE(QFileInfo(path).isDir());
            continue;
        }
        EXPECT_TRUE(english.contains(path)) << english.toStdString();
        EXPECT_TRUE(english.contains(QLatin1String(c.english))) << english.toStdString();
        EXPECT_TRUE(chinese.contains(path) && chinese.contains(QStringLiteral("无法创建"))) << chinese.toStdString();
    }
}

TEST(WindowCommandLine, ReadsOurOptionsAndLeavesQtsAlone)
{
    struct Case {
        QStringList args;
        CommandLine::Action action;
        const char* dataDir;
        const char* error; // part of the usage error
    };
    const Case cases[] = {
        { {}, CommandLine::Window, "", "" },
        { { "--data-dir", "/srv/stage/DFiles" }, CommandLine::Window, "/srv/stage/DFiles", "" },
        { { "--data-dir=/srv/stage/DFiles" }, CommandLine::Window, "/srv/stage/DFiles", "" },
        { { "-platform", "offscreen", "--data-dir", "D", "-reverse" }, CommandLine::Window, "D", "" },
        { { "-style=fusion", "--data-dir", "D" }, CommandLine::Window, "D", "" },
        { { "--data-dir", "D", "--help" }, CommandLine::Help, "D", "" },
        { { "--version" }, CommandLine::Version, "", "" },
        { { "--convert", "DFiles", "--dry-run" }, CommandLine::Convert, "", "" },
        { { "--data-dir" }, CommandLine::Usage, "", "--data-dir needs a directory" },
        { { "--data-dri", "D" }, CommandLine::Usage, "", "unknown option --data-dri" },
        { { "--dry-run" }, CommandLine::Usage, "", "--dry-run goes with --convert" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(QLatin1Char(' ')).toStdString());
        const CommandLine line = ParseCommandLine(c.args);
        EXPECT_EQ(line.action, c.action);
        EXPECT_EQ(line.dataDir, QString::fromUtf8(c.dataDir));
        EXPECT_TRUE(line.error.contains(QString::fromUtf8(c.error))) << line.error.toStdString();
    }
}

TEST(Programs, HelpAndVersionNeedNoDisplay)
{
    struct Case {
        const char* program;
        const char* argument;
        int status;
        const char* out; // a part of standard output, or of standard error when status != 0
    };
    const QByteArray version = QByteArray(" ") + PROJECT_VERSION_TEXT + "\n";
    const Case cases[] = {
        { TARVELLO_EXE, "--version", 0, "tarvello" },
        { TARVELLO_EXE, "--help", 0, "--data-dir DIR" },
        { TARVELLO_EXE, "--data-dri", 2, "unknown option --data-dri" },
        { TARVELLO_SIM_EXE, "--version", 0, "tarvello-sim" },
        { TARVELLO_SIM_EXE, "--help", 0, "--devices LIST" },
        { TARVELLO_CTL_EXE, "--version", 0, "tarvello-ctl" },
        { TARVELLO_CTL_EXE, "--help", 0, "--data-dir DIR" },
    };
    // No display at all: a program that created its window's application object here would
    // stop with "could not connect to display" instead of answering.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.program) + " " + c.argument);
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QString::fromUtf8(c.program), { QString::fromUtf8(c.argument) });
        ASSERT_TRUE(p.waitForFinished(10000));
        const QByteArray out = p.readAllStandardOutput(), err = p.readAllStandardError();
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << err.toStdString();
        EXPECT_EQ(p.exitCode(), c.status) << err.toStdString();
        EXPECT_TRUE((c.status == 0 ? out : err).contains(c.out)) << out.toStdString() << err.toStdString();
        if (QByteArray(c.argument) == "--version") {
            EXPECT_EQ(out, c.out + version);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
