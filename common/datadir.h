// Where the programs keep their data files (settings, passwords, register).
//
// The data directory is the folder that holds DB.ini, SysSet.DB and the Member/Group files, named
// "DFiles" by custom. It is, in this order:
//   1. the folder given with --data-dir DIR (DIR is that folder itself, e.g. /srv/stage/DFiles);
//   2. "DFiles" in the working directory, when the working directory holds one; on Windows
//      then "DFiles" beside the program, when there is one;
//   3. "DFiles" in the user's data folder: $XDG_DATA_HOME/tarvello/DFiles, by default
//      ~/.local/share/tarvello/DFiles (the case of a start from the desktop menu).
// On Windows (ChooseWindowsDataDir) an installed program keeps one register for every account of
// the PC in %ProgramData%\Tarvello\DFiles, and a copied program folder keeps DFiles beside
// tarvello.exe.
#pragma once

#include <QString>

#include <cstdint>

struct DataDirChoice {
    enum Source { Given, WorkingDirectory, UserData, BesideProgram, Installed };
    QString path;
    Source source = Given;
};

// The choice for the given option value (empty: none given), working directory and the values
// of XDG_DATA_HOME and HOME. An XDG_DATA_HOME that is empty or not absolute counts as unset.
DataDirChoice ChooseDataDir(const QString& given, const QString& workingDir,
                            const QString& xdgDataHome, const QString& home);
// Windows: the installer leaves InstalledMarkerName beside the program; that file, not whether the
// program's folder can be written, tells an installed program from a copied folder. Installed:
// <programData>/Tarvello/DFiles. Copied: DFiles in the working directory when it holds one (as on
// Linux), else DFiles beside the program. --data-dir wins over both.
inline constexpr const char* InstalledMarkerName = "tarvello.installed";
DataDirChoice ChooseWindowsDataDir(const QString& given, const QString& workingDir, const QString& programDir,
                                   const QString& programData);
// The same for this process: its working directory and environment (on Windows the program's own
// folder and %ProgramData%).
DataDirChoice ChooseDataDir(const QString& given);

// Creates the data directory when it is missing. False, with the reason in the given language
// (0 Simplified Chinese, 1 English) in *message, when it is missing and cannot be created, or is
// not a directory.
bool MakeDataDir(const QString& path, int16_t language, QString* message);

// The language of the user's desktop, for texts shown before any settings are read and for a
// program that has no language setting yet: 0 (Simplified Chinese) when the locale's first user
// interface language is Chinese ("zh", "zh_CN", "zh_TW", ...), 1 (English) for any other. The
// locale is QLocale(), the desktop's unless the program set another (tests do).
int16_t SystemLanguage();

// One program at a time works on a data directory: the window for its whole run, tarvello-ctl
// while a command writes the register or holds the port. The lock is the file LockFileName in the
// directory; a lock left by a process that is gone (killed, crashed) is taken over.
// The holder says beside it (PortFileName) which port it works on, so that a stop-all that finds
// that port held hands its stop over only to a holder of the same port.
class QLockFile;

// What the holder of a data directory said of its port.
struct HeldPort {
    enum State {
        Unknown, // it said nothing (yet), or what was said is not the holder's
        NoPort,  // it has no port open: `activity` says what it does instead
        Open,    // it works on `port`
    };
    State state = Unknown;
    QString port;     // Open: the port's identity (PortIdentity of serial/portname.h)
    QString activity; // NoPort: in English, as tarvello-ctl prints it
};

class DataDirLock {
public:
    static constexpr const char* LockFileName = "tarvello.lock";
    static constexpr const char* PortFileName = "tarvello.port";
    enum class Result {
        Locked,       // this process holds the directory now
        InUse,        // another running program holds it (holderText says which)
        NotWritable,  // no lock can be made there (a read-only folder); nobody else is known to hold it
    };

    explicit DataDirLock(const QString& dataDir);
    ~DataDirLock(); // releases the lock
    DataDirLock(const DataDirLock&) = delete;
    DataDirLock& operator=(const DataDirLock&) = delete;

    Result tryLock();
    // Why the directory cannot be had, naming the holder (another window, or tarvello-ctl, and
    // its process), in the given language (0 Simplified Chinese, 1 English).
    QString holderText(int16_t language) const;
    // The process that holds the directory, when it runs on this computer (0: none, or elsewhere),
    // and whether it is tarvello-ctl (else the window).
    qint64 localHolder(bool* ctl = nullptr) const;
    QString path() const { return m_dataDir; }

    // The holder (this process, once tryLock gave it the directory) says which port it works on
    // now, by its identity, or that it has none open and what it does instead. Written only when
    // it changes; removed with the lock. Ignored while this process does not hold the directory.
    void setPort(const QString& identity);
    void setNoPort(const QString& activity);
    // What the process that holds the directory said, read without taking the lock.
    HeldPort holderPort() const;

private:
    void publish(const QString& line);

    QString m_dataDir;
    QLockFile* m_lock = nullptr;
    QString m_published; // the line last written to PortFileName
};
