#include "app/mainwindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QToolBar>
#include <QToolButton>

#include <QDir>
#include <QLibraryInfo>
#include <QMenu>
#include <QShortcut>
#include <QProgressBar>
#include <QTranslator>

#include "access/adminpassworddialog.h"
#include "access/login.h"
#include "access/passwordchangedialog.h"
#include "app/about.h"
#include "app/auditaccess.h"
#include "app/conversion_prompt.h"
#include "app/editorlink.h"
#include "editor/groupeditor.h"
#include "app/engineface.h"
#include "app/statushints.h"
#include "app/windowplacement.h"
#include "app/mainwindow_texts.h"
#include "app/widgets.h"
#include "ui/digitsfield.h"
#include "ui/language.h"
#include "ui/messages.h"
#include "common/state.h"

using namespace mainwindow;

MainWindow::MainWindow(Session& session, QWidget* parent) : MainWindow(&session, nullptr, parent) {}

MainWindow::MainWindow(const QString& dataDir, QWidget* parent, PortPaths portPaths)
    : MainWindow(nullptr, std::make_unique<Session>(dataDir, std::move(portPaths)), parent)
{
}

MainWindow::MainWindow(Session* session, std::unique_ptr<Session> owned, QWidget* parent)
    : QMainWindow(parent),
      m_ownedSession(std::move(owned)),
      m_session(session ? session : m_ownedSession.get()),
      m_port(m_session->port()),
      m_engine(m_session->engine()),
      m_settings(m_session->settings()),
      m_passwords(m_session->passwords()),
      m_dataDir(m_session->dataDir())
{
    m_session->onTableError = [this](const std::exception& e) { reportTableError(e); };
    // Every frame goes into the traffic record once it has left the port, status queries and
    // probes too, which the window's log leaves out.
    connect(m_session, &Session::frameLeft, this, [this](const QByteArray& b) {
        m_record.add(true, reinterpret_cast<const uint8_t*>(b.constData()), int(b.size()));
    });
    m_portKeeper = new PortKeeper(*m_session, this);
    connectPortKeeper();
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("Tarvello"));
    resize(DesignWidth, DesignHeight);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect avail = screen->availableGeometry();
        move(avail.center() - QPoint(DesignWidth / 2, DesignHeight / 2));
    }
    // The scene's devices, the group filter over them, the state balls over that: the rows the
    // operator sees are the rows the engine polls.
    m_filter = new DeviceFilter(this);
    m_filter->setSourceModel(&m_session->devices());
    m_balls = new StateBallColumn(this);
    m_balls->setSourceModel(m_filter);
    m_session->devices().setHeaders({QString(), QStringLiteral("ID"), QString::fromUtf8(TextNameHeader.zh),
                                     QString::fromUtf8(TextGroupHeader.zh)});
    m_ui.setUp(this, m_balls);
    m_face = new EngineFace(*this, m_engine, m_session->deviceTable());
    m_hints = new StatusHints(this, m_ui, [this] { return searchRunning(); });
    // A window's place is a convenience: a settings file that cannot be written keeps it for this run.
    new WindowPlacement(
        this, m_ui.controlPanel,
        [this](const QString& key) { return m_settings.ReadString(QStringLiteral("WINDOWS"), key, QString()); },
        [this](const QString& key, const QString& value) { m_settings.WriteString(QStringLiteral("WINDOWS"), key, value); });
    connectControls();
    installStopAllKey();
    setUpRun();
    fitControlPanel();
}

MainWindow::~MainWindow()
{
    endRun();
    // The lists go after this object: what they still say while being taken down reaches nobody.
    m_ui.deviceList->disconnect(this);
    m_ui.deviceList->selectionModel()->disconnect(this);
    m_ui.groupList->disconnect(this);
    m_ui.deviceList->model()->disconnect(this);
    // A session that lives on forgets this window; one of its own goes before the widgets.
    m_session->detachFace();
    m_session = nullptr;
    m_ownedSession.reset();
}

QProgressBar* MainWindow::pollProgressBar() const
{
    return m_face->progressBar();
}

// ---------------------------------------------------------------- composition

void MainWindow::connectControls()
{
    connect(m_ui.aboutButton, &QToolButton::clicked, this, &MainWindow::aboutClicked);
    m_audit = new AuditAccess(*m_session, m_passwords, m_ui.auditButton, this);
    connect(m_ui.fastBusCheck, &QCheckBox::clicked, this, &MainWindow::fastBusClicked);
    connect(m_ui.exitButton, &QToolButton::clicked, this, &MainWindow::exitClicked);
    connect(m_ui.passwordButton, &QToolButton::clicked, this, &MainWindow::passwordClicked);
    connect(m_ui.languageSelector, &QComboBox::activated, this, &MainWindow::languageSelected);
    connect(m_ui.clearButton, &QPushButton::clicked, this, &MainWindow::clearLogClicked);
    connect(m_ui.trafficLog, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        std::unique_ptr<QMenu> menu(m_ui.trafficLog->createStandardContextMenu(pos));
        menu->addSeparator();
        QAction* save = menu->addAction(pick(SaveTrafficRecordAction));
        save->setShortcut(QKeySequence::Save);
        connect(save, &QAction::triggered, this, &MainWindow::saveTrafficRecord);
        menu->exec(m_ui.trafficLog->viewport()->mapToGlobal(pos));
    });
    auto* saveShortcut = new QShortcut(QKeySequence::Save, this);
    connect(saveShortcut, &QShortcut::activated, this, &MainWindow::saveTrafficRecord);
    connect(m_ui.refreshButton, &QToolButton::clicked, this, [this] { m_engine.refreshClicked(); });
    connect(m_ui.groupsButton, &QToolButton::clicked, this, &MainWindow::groupsClicked);
    connect(m_ui.forwardButton, &QToolButton::clicked, this, [this] { m_face->press(CmdForward); });
    connect(m_ui.backwardButton, &QToolButton::clicked, this, [this] { m_face->press(CmdBackward); });
    connect(m_ui.upButton, &QToolButton::clicked, this, [this] { m_face->press(CmdUp); });
    connect(m_ui.stopButton, &QToolButton::clicked, this, [this] { m_face->press(CmdStop); });
    connect(m_ui.downButton, &QToolButton::clicked, this, [this] { m_face->press(CmdDown); });
    connect(m_ui.stopAllButton, &QPushButton::clicked, this, &MainWindow::stopAllPressed);
    // The target line follows every click, tick and selection.
    connect(m_ui.groupList, &QListWidget::itemChanged, this, &MainWindow::updateTargetLine);
    connect(m_ui.groupList, &QListWidget::currentRowChanged, this, &MainWindow::updateTargetLine);
    connect(m_ui.deviceList->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MainWindow::updateTargetLine);
    connect(m_ui.deviceList->model(), &QAbstractItemModel::modelReset, this, &MainWindow::updateTargetLine);
    connect(m_ui.deviceList->model(), &QAbstractItemModel::rowsRemoved, this, &MainWindow::updateTargetLine);
    connect(m_ui.searchButton, &QPushButton::clicked, this, [this] { m_face->searchClicked(); });
    connect(m_ui.selfCheckButton, &QPushButton::clicked, this, [this] { m_face->selfCheckClicked(); });
    connect(m_ui.portSelector, &QComboBox::activated, this, &MainWindow::portSelected);
    connect(m_ui.groupList, &TCheckListBox::entryClicked, this, &MainWindow::groupClicked);
    connect(m_ui.groupList, &TCheckListBox::entryDoubleClicked, this, &MainWindow::groupDoubleClicked);
    connect(m_ui.deviceList->selectionModel(), &QItemSelectionModel::selectionChanged, this, &MainWindow::deviceSelectionChanged);
    connect(m_ui.deviceList, &TListView::listClicked, this, &MainWindow::deviceListClicked);
    new DigitsOnlyFilter(m_ui.rangeStartEdit, QStringLiteral("1"), RangeStartDigitsText, this);
    new DigitsOnlyFilter(m_ui.rangeEndEdit, QStringLiteral("999"), RangeEndDigitsText, this);
    new DigitsOnlyFilter(m_ui.periodEdit, QStringLiteral("60"), PeriodRangeText, this);
}

// ---------------------------------------------------------------- life of the window

void MainWindow::setUpRun()
{
    m_passwords.setLevel(ModeNone);
    m_ui.fastBusCheck->setChecked(m_engine.fastBus());
    connect(m_session, &Session::languageChanged, this, [this](int16_t language) {
        loadQtTranslations(language, this);
        // Every open window, this one included, sets its texts in the new language.
        switchLanguage(language);
    });
    m_session->setLanguage(m_session->languageSetting(), false);
    m_ui.languageSelector->setCurrentIndex(m_session->language());
    retranslate();

    const QString port = m_session->portSetting();
    m_ui.portSelector->showPort(port); // a device path or a server's address gets an entry of its own

    m_portKeeper->open(port); // whatever the text is: COM12 opens COM12 while the selector shows COM1

    m_about = new AboutBox(m_session->edition(), this);
    m_about->setDataFolder(QDir(m_dataDir).absolutePath());
    m_administratorDialog = new AdminPasswordDialog(m_passwords, this);
    connect(m_administratorDialog, &AdminPasswordDialog::levelRaised, this, &MainWindow::levelRaised);
    connect(m_administratorDialog, &QDialog::finished, this, &MainWindow::showAccessLevel);
    m_passwordDialog = new PasswordChangeDialog(m_passwords, this);
    connect(m_passwordDialog, &PasswordChangeDialog::passwordChanged, this, &MainWindow::showAccessLevel);

    m_editorHost = std::make_unique<SessionEditorHost>(*m_session);
    m_editorHost->closedText = [this] { return portErrorText(); };
    connect(m_session, &Session::registerChanged, this, [this] {
        if (!m_closed) refreshLists(); // the editor closes with the main window
    });
    connect(m_session, &Session::sceneChanged, this, &MainWindow::openScene);
    m_editor = new GroupEditor(*m_editorHost, this);
    LogIn = [](MainWindow& form) {
        // A language picked in the dialogs is the program's, as if picked in this window.
        const StartLogIn outcome = LogInAtStart(form.m_passwords, &form, [&form](int16_t language) {
            form.m_ui.languageSelector->setCurrentIndex(language);
            form.languageSelected(language);
        });
        if (outcome == StartLogIn::StoreUnusable) form.m_startFailureStatus = 1;
        return outcome == StartLogIn::LoggedIn;
    };
    connect(&m_idlePoll, &QTimer::timeout, this, &MainWindow::idlePollDue);
}

bool MainWindow::startUp()
{
    // A Paradox data directory is converted first, or the program ends untouched: no table opens before.
    const int scene = m_settings.ReadInteger(QStringLiteral("SCENE"), QStringLiteral("Current"), 1);
    if (!OfferParadoxConversion(m_dataDir, scene, this, m_audit->conversionRecorder()) || !LogIn || !LogIn(*this) || m_passwords.level() == ModeNone) {
        // Nobody logged in: everything closes and the program ends; nothing is written.
        m_passwords.setLevel(ModeNone);
        endRun();
        m_session->closeStores();
        return false;
    }
    if (fitToolBar()) {
        if (QScreen* screen = QGuiApplication::primaryScreen())
            move(screen->availableGeometry().center().x() - width() / 2, y());
    }
    show();
    showAccessLevel();
    showSelfCheckControls(m_passwords.level() == ModeSuperUser);
    openScene();
    startIdlePolls();
    return true;
}

void MainWindow::showSelfCheckControls(bool visible)
{
    m_ui.periodLabel->setVisible(visible);
    m_ui.periodEdit->setVisible(visible);
    m_ui.selfCheckButton->setVisible(visible);
}

void MainWindow::levelRaised()
{
    // The administrator password may have made an operator the super-user (the self-check shows).
    showAccessLevel();
    showSelfCheckControls(m_passwords.level() == ModeSuperUser);
    openGroupEditor();
}

void MainWindow::openGroupEditor()
{
    m_engine.stopSelfCheck();
    m_engine.stopSearch();
    m_editor->showEditor();
}

void MainWindow::openScene()
{
    m_engine.resetSearch(ControlEngine::fieldValue(m_ui.rangeStartEdit->text()),
                         ControlEngine::fieldValue(m_ui.rangeEndEdit->text()));
    bool valid = true;
    m_scene = m_session->sceneSetting(&valid);
    if (!valid) writeSetting(QStringLiteral("SCENE"), QStringLiteral("Current"), QStringLiteral("1"));
    try {
        m_session->openScene(m_scene);
    } catch (const std::exception& e) {
        // The window stays up with whatever was built; nothing is overwritten.
        reportTableError(e);
        return;
    }
    const int idx = m_ui.languageSelector->findText(
        m_settings.ReadString(QStringLiteral("LANGUAGE"), QStringLiteral("Language"), QStringLiteral("简体中文")));
    if (idx >= 0) m_ui.languageSelector->setCurrentIndex(idx);
    refreshLists();
}

void MainWindow::endRun()
{
    if (m_closed) return;
    m_closed = true;
    m_idlePoll.stop();
    m_engine.stopQueries();
    m_portKeeper->close(); // the stops to what moved leave first, a stop-all's repeat included
    m_engine.halt();
}

void MainWindow::endRequested()
{
    m_endWithoutAsking = true;
    close();
    // Closed whether or not it was shown: the event loop ends with it.
    endRun();
    QCoreApplication::exit(0);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // Nobody stays at the controls: devices this window set moving are stopped as it ends, but
    // only after the operator has said so; a signal cannot be asked.
    if (!m_closed && !m_endWithoutAsking && isVisible()) {
        Targets moving = m_engine.stillMoving();
        moving.merge(m_engine.owedStops());
        if (!moving.empty()) {
            const QString s = pick(CloseWhileMovingText);
            if (!s.isNull() && !Messages().show(MessageOwner(this), MessageSink::Kind::StopConfirmation, s)) {
                event->ignore();
                return;
            }
        }
    }
    endRun();
    if (m_about) m_about->close();
    if (m_administratorDialog) m_administratorDialog->close();
    if (m_passwordDialog) m_passwordDialog->close();
    if (m_editor) m_editor->close();
    event->accept();
}

void MainWindow::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    // Keep at least the design size; both sides snap back even when only one was too small.
    if (width() < DesignWidth || height() < DesignHeight) resize(DesignWidth, DesignHeight);
}

// ---------------------------------------------------------------- language

void MainWindow::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::LanguageChange) retranslate();
    QMainWindow::changeEvent(event);
}

void MainWindow::retranslate()
{
    const int16_t language = m_session->language();
    if (language != 0 && language != 1) return;
    auto t = [language](const Text& text) { return pick(text, language); };

    if (m_session->edition() == EditionAdvanced) setWindowTitle(t(CaptionAdvanced));
    if (m_session->edition() == EditionCustomer) setWindowTitle(t(CaptionCustomer));
    m_ui.retranslateUi(language, searchRunning(), selfCheckRunning());
    m_ui.nameFor(this, language);
    m_session->devices().setHeaders({QString(), QStringLiteral("ID"), t(TextNameHeader), t(TextGroupHeader)});
    if (m_ui.groupList->currentRow() == 0)
        m_session->devices().replaceGroupText(pick(TextUngrouped, language == 0 ? 1 : 0), t(TextUngrouped));
    updateTargetLine();
    if (m_hints) m_hints->retranslate();
    fitToolBar();
}

bool MainWindow::fitToolBar()
{
    // Wide enough for the whole tool bar, the port box included, rather than folding it behind the
    // bar's extension arrow; the texts of the other language may need more.
    const int wanted = m_ui.toolBar ? m_ui.toolBar->sizeHint().width() : 0;
    if (width() >= wanted) return false;
    resize(wanted, height());
    return true;
}

void MainWindow::languageSelected(int index)
{
    if (!m_session->setLanguage(static_cast<int16_t>(index), true)) reportSettingsNotSaved();
    showAccessLevel();
}

// ---------------------------------------------------------------- status bar and hints

void MainWindow::showAccessLevel()
{
    m_audit->levelShown();
    if (m_session->language() != 0 && m_session->language() != 1) {
        m_ui.statusBar->setPanelText(ModePanel, QString());
        return;
    }
    const Text* text = &ModeIllicitText;
    if (m_passwords.level() == ModeOperator) text = &ModeOperatorText;
    else if (m_passwords.level() == ModeAdministrator) text = &ModeAdministratorText;
    else if (m_passwords.level() == ModeSuperUser) text = &ModeSuperUserText;
    m_ui.statusBar->setPanelText(ModePanel, pick(*text));
}

// ---------------------------------------------------------------- traffic log

void MainWindow::logFrame(bool transmitted, const uint8_t* bytes, int count)
{
    if (!transmitted) m_record.add(false, bytes, count); // sent frames are recorded as the port takes them
    m_ui.trafficLog->appendPlainText(transmitted ? QStringLiteral("Tx:") : QStringLiteral("Rx:"));
    m_ui.trafficLog->appendPlainText(QString::fromStdString(HexLine(bytes, static_cast<size_t>(count))));
}

void MainWindow::clearLogClicked()
{
    m_ui.trafficLog->clear();
}

// ---------------------------------------------------------------- tool bar commands

void MainWindow::aboutClicked()
{
    m_engine.stopSearch();
    m_about->showAbout();
}

void MainWindow::exitClicked()
{
    close();
}

void MainWindow::passwordClicked()
{
    m_engine.stopSearch();
    m_passwordDialog->showModPSW();
}

void MainWindow::fastBusClicked(bool on)
{
    // Kept in the settings for the next start and taken at once: the next query runs on it.
    writeSetting(QStringLiteral("BUS"), QStringLiteral("Fast"), on ? QStringLiteral("1") : QStringLiteral("0"));
    m_session->applyBusSettings();
}

void MainWindow::saveTrafficRecord()
{
    SaveTrafficRecord(m_record, this);
}

void MainWindow::noteInRecord(const QString& text)
{
    m_record.addNote(text);
}

// ---------------------------------------------------------------- settings, translations, table errors

void MainWindow::writeSetting(const QString& section, const QString& key, const QString& value)
{
    if (m_settings.WriteString(section, key, value)) m_settingsWarned = false;  // a later failure is said again
    else reportSettingsNotSaved();
}

void MainWindow::reportSettingsNotSaved()
{
    // The change holds for this run; saying it at every pick would only bury the window in boxes.
    if (m_settingsWarned) return;
    const QString text = pick(m_settings.lastSaveDiskFull() ? SettingsDiskFullText : SettingsNotSavedText);
    if (text.isNull()) return;
    m_settingsWarned = true;
    ShowError(this, text.arg(QDir::toNativeSeparators(m_settings.fileName())));
}

void MainWindow::reportTableError(const std::exception& error)
{
    if (const auto* table = dynamic_cast<const ETableError*>(&error)) {
        const QString text = table->Text(m_session->language());
        if (!text.isEmpty()) ShowError(this, text);
        return;
    }
    ShowError(this, QString::fromLocal8Bit(error.what()));
}

bool MainWindow::searchRunning() const
{
    return m_session && m_engine.searchRunning();
}

bool MainWindow::selfCheckRunning() const
{
    return m_session && m_engine.selfCheckPhase() != ControlEngine::SelfCheckPhase::Stopped;
}
