#pragma once
// One run of the control centre, whichever face it has (the window or tarvello-ctl): the data
// directory's settings and password store, the register of the scene, the port, the control
// engine and the devices it polls, wired once. The faces take these parts from here and add only
// what they show; the rules both of them follow (the level a password opens, the scene and
// language the settings name, what a press reaches) are kept here too.

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>
#include <exception>
#include <functional>
#include <utility>
#include <vector>

#include "access/passwordstore.h"
#include "audit/auditlog.h"
#include "common/inifile.h"
#include "common/state.h"
#include "common/texts.h"
#include "core/devicemodel.h"
#include "core/registeradapter.h"
#include "core/sessionaudit.h"
#include "protocol/engine.h"
#include "protocol/txchannel.h"
#include "register/register.h"
#include "serial/comm.h"

class Session : public QObject {
    Q_OBJECT
public:
    using PortPaths = std::function<QString(const QString& name)>;
    static constexpr int SceneCount = 12;

    // dataDir holds DB.ini, the password store and the register's files. portPaths, when given,
    // maps port names to devices instead of DB.ini's [PORTS] and the COMn rule. The edition is
    // the program's, fixed when it was built (the default is taken where a session is made).
    explicit Session(const QString& dataDir, PortPaths portPaths = {}, int32_t edition = BuildEdition(),
                     QObject* parent = nullptr);
    ~Session() override;

    const QString& dataDir() const { return m_dataDir; }
    TIniFile& settings() { return m_settings; }
    TPasswordStore& passwords() { return m_passwords; }
    TRegister& deviceRegister() { return m_register; }
    RegisterAdapter& deviceTable() { return m_table; }
    TComm& port() { return m_port; }
    TxChannel& tx() { return m_tx; }
    ControlEngine& engine() { return m_engine; }
    // The devices the engine polls unless a face hands it rows of its own.
    DeviceModel& devices() { return m_devices; }
    // The audit record of this data directory, and what the session puts in it: a face records
    // there only what it alone sees (the editor's changes, a backup, a conversion).
    AuditLog& audit() { return m_audit; }
    SessionAudit& auditTrail() { return m_auditTrail; }
    // Another program asked this one to stop every device (core/stoprequests.h): the next stop-all
    // sent is credited in the record to the program that asked, as it left itself in the data
    // directory. Called before the stop-all is handed to the engine.
    void creditStopRequest();

    // [SCENE] Current; 1 when it names none or one out of range (then *valid is false).
    int sceneSetting(bool* valid = nullptr);
    // [LANGUAGE] Language: 1 for "English", 0 (Simplified Chinese) for any other text. Without the
    // setting (a first start: no DB.ini yet) the desktop's language (SystemLanguage), which is
    // then written with the first save of the settings.
    int16_t languageSetting();
    // The language the program shows its texts in (0 Simplified Chinese, 1 English).
    int16_t language() const { return currentLanguage(); }
    // Makes `language` the program's (any index but 0 and 1 sets no text anywhere) and tells the
    // faces (languageChanged), which set their texts again. With `save` it is written to
    // [LANGUAGE]; false when DB.ini could not be written (the language holds for this run).
    bool setLanguage(int16_t language, bool save);
    // [AUDIT] KeepDays: how long the audit record keeps its rows (default 730 days).
    static int auditKeepDays(TIniFile& settings);
    // [COM] num, the port last used.
    QString portSetting();
    int32_t edition() const { return m_edition; }
    // The register of `scene` opened (the one open closed first when it is another). Throws the
    // table's error; nothing is overwritten then.
    void openScene(int scene);
    // The scene's groups (ID and name) and devices (group, ID, name) in the register's order.
    // Throws the table's error.
    std::vector<std::pair<int, QString>> readGroups();
    std::vector<DeviceRow> readDevices();
    // Moves of a batch that never went out: the register keeps each device where it was (only a
    // record the move had changed is put back). A table failure goes to onTableError.
    void undoMoves(const std::vector<ReaddressMove>& moves);

    // DB.ini's [BUS] timing, taken at once by the engine and the port's reader.
    void applyBusSettings();
    // Ends what runs against the port and closes it. Owed stops, the stops to what the engine is
    // driving and, with stopMoving, a stop to everything it set moving leave the port first (for
    // at most StopDrainLimitMs); nothing handed to the port is taken back on the way.
    static constexpr int StopDrainLimitMs = 1000;
    void endWorkOnPort(bool stopMoving);
    // A face goes: the engine polls the session's own (emptied) list again, the port's state is
    // the port's, and no table failure is reported to the face any more.
    void detachFace();
    // Whether the scene's tables are open.
    bool sceneOpen();
    // The run ends without a log-in: the register and the password store close, nothing written.
    void closeStores();
    // A window changed the register (the group editor): every list of it is built again.
    void announceRegisterChange() { emit registerChanged(); }
    // The scene is to be opened anew and shown (after devices were added).
    void announceSceneChange() { emit sceneChanged(); }

    // What a press of `command` reaches for what a face has chosen.
    Targets targets(uint8_t command, const Selection& chosen) { return targetsOf(command, chosen, m_table); }

    // A table failure while the engine keeps the register (locating, emptying, appending).
    std::function<void(const std::exception&)> onTableError;

signals:
    // The port took a frame; a frame left the line (in the order they were taken).
    void frameHandedOver(const QByteArray& bytes);
    void frameLeft(const QByteArray& bytes);
    // The port's device went away (a USB adapter pulled out, a device server gone).
    void portHungUp();
    void registerChanged();
    void sceneChanged();
    void languageChanged(int16_t language);

private:
    QString m_dataDir;
    TIniFile m_settings;
    TPasswordStore m_passwords;
    TRegister m_register;
    RegisterAdapter m_table;
    TComm m_port;
    TxChannel m_tx;
    ControlEngine m_engine;
    DeviceModel m_devices;
    int32_t m_edition;
    AuditLog m_audit;
    SessionAudit m_auditTrail;
};
