#include "app/mainform.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QTableWidget>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/about.h"
#include "app/mainform_texts.h"
#include "common/state.h"
#include "protocol/frames.h"

using namespace mainform;

TMainForm::TMainForm(const QString& dataDir, QWidget* parent, PortPaths portPaths)
    : QMainWindow(parent),
      Comm1(this),
      Tx([this](const uint8_t* buffer, uint16_t length) { return Comm1.WriteData(buffer, length); }),
      Register(dataDir),
      m_dataDir(dataDir),
      m_settings(dataDir + QStringLiteral("/DB.ini")),
      m_portPaths(std::move(portPaths))
{
    Engine = new ControlEngine(*this, *this, Tx, this);
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("Tarvello"));
    resize(DesignWidth, DesignHeight);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect avail = screen->availableGeometry();
        move(avail.center() - QPoint(DesignWidth / 2, DesignHeight / 2));
    }
    buildToolBar();
    buildPanes();
    installHints();
    connectControls();
    FormCreate();
}

TMainForm::~TMainForm()
{
    FormClose();
}

// ---------------------------------------------------------------- composition

void TMainForm::buildToolBar()
{
    ToolBar1 = new QToolBar(this);
    ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar1->setMovable(false);
    ToolBar1->setFloatable(false);
    ToolBar1->setIconSize(QSize(40, 40));
    ToolBar1->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    ToolBar1->setContextMenuPolicy(Qt::PreventContextMenu);
    addToolBar(Qt::TopToolBarArea, ToolBar1);

    auto makeButton = [this](const char* name, const char* picture, const char* caption) {
        auto* b = new QToolButton(ToolBar1);
        b->setObjectName(QString::fromLatin1(name));
        b->setIcon(Pictures::toolButton(QString::fromLatin1(picture)));
        b->setText(QString::fromUtf8(caption));
        b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        b->setAutoRaise(true);
        b->setMinimumWidth(64);
        ToolBar1->addWidget(b);
        ToolBar1->addSeparator();
        return b;
    };
    ToolButton10 = makeButton("ToolButton10", "refresh", TextRefresh.zh);
    ToolButton1 = makeButton("ToolButton1", "groups", TextGroups.zh);
    ToolButton11 = makeButton("ToolButton11", "password", TextPassword.zh);
    ToolButton4 = makeButton("ToolButton4", "about", TextAbout.zh);
    ToolButton6 = makeButton("ToolButton6", "exit", TextExit.zh);

    auto* spacer = new QWidget(ToolBar1);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    spacer->setObjectName(QStringLiteral("ToolBarSpace"));
    ToolBar1->addWidget(spacer);

    GroupBox1 = new QGroupBox(QStringLiteral(" 语言(Language) "), ToolBar1);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    auto* l1 = new QVBoxLayout(GroupBox1);
    l1->setContentsMargins(6, 2, 6, 4);
    ComboBox4 = new QComboBox(GroupBox1);
    ComboBox4->setObjectName(QStringLiteral("ComboBox4"));
    ComboBox4->addItem(QStringLiteral("简体中文"));
    ComboBox4->addItem(QStringLiteral("English"));
    l1->addWidget(ComboBox4);
    ToolBar1->addWidget(GroupBox1);
    ToolBar1->addSeparator();

    GroupBox3 = new QGroupBox(QString::fromUtf8(TextPortFrame.zh), ToolBar1);
    GroupBox3->setObjectName(QStringLiteral("GroupBox3"));
    auto* l3 = new QVBoxLayout(GroupBox3);
    l3->setContentsMargins(6, 2, 6, 4);
    ComboBox1 = new QComboBox(GroupBox3);
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    for (int i = 1; i <= 9; ++i) ComboBox1->addItem(QStringLiteral("COM%1").arg(i));
    l3->addWidget(ComboBox1);
    ToolBar1->addWidget(GroupBox3);

    connect(ToolButton4, &QToolButton::clicked, this, &TMainForm::ToolButton4Click);
    connect(ToolButton6, &QToolButton::clicked, this, &TMainForm::ToolButton6Click);
    connect(ToolButton11, &QToolButton::clicked, this, &TMainForm::ToolButton11Click);
    connect(ComboBox4, &QComboBox::activated, this, &TMainForm::ComboBox4Select);
}

void TMainForm::buildPanes()
{
    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("Central"));
    auto* v = new QVBoxLayout(central);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(0);

    auto* body = new QHBoxLayout;
    body->setContentsMargins(0, 0, 0, 0);
    body->setSpacing(2);

    Splitter1 = new QSplitter(Qt::Horizontal, central);
    Splitter1->setObjectName(QStringLiteral("Splitter1"));
    Splitter1->setChildrenCollapsible(false);

    CheckListBox1 = new TCheckListBox(Splitter1);
    CheckListBox1->setObjectName(QStringLiteral("CheckListBox1"));
    QFont f = CheckListBox1->font();
    f.setPixelSize(14);
    CheckListBox1->setFont(f);
    CheckListBox1->setMinimumWidth(60);

    ListView1 = new TListView(0, 4, Splitter1);
    ListView1->setObjectName(QStringLiteral("ListView1"));
    ListView1->setShowGrid(true);
    ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView1->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView1->verticalHeader()->hide();
    ListView1->verticalHeader()->setDefaultSectionSize(20);
    ListView1->setIconSize(QSize(16, 16));
    ListView1->setWordWrap(false);
    QHeaderView* h = ListView1->horizontalHeader();
    h->setSectionsClickable(false);
    h->setHighlightSections(false);
    h->setSectionResizeMode(0, QHeaderView::Fixed);
    h->setSectionResizeMode(1, QHeaderView::Fixed);
    h->setSectionResizeMode(2, QHeaderView::Interactive);
    h->setSectionResizeMode(3, QHeaderView::Stretch);
    h->setMinimumSectionSize(20);
    ListView1->setColumnWidth(0, 20);
    ListView1->setColumnWidth(1, 40);
    ListView1->setColumnWidth(2, 150);
    ListView1->setColumnWidth(3, 165);
    ListView1->setHorizontalHeaderLabels({QString(), QStringLiteral("ID"), QString::fromUtf8(TextNameHeader.zh),
                                          QString::fromUtf8(TextGroupHeader.zh)});
    ListView1->horizontalHeaderItem(3)->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    Splitter1->addWidget(CheckListBox1);
    Splitter1->addWidget(ListView1);
    Splitter1->setStretchFactor(0, 0);
    Splitter1->setStretchFactor(1, 1);
    Splitter1->setSizes({145, 380});
    body->addWidget(Splitter1, 1);

    buildRightPanel();
    body->addWidget(Panel1);
    v->addLayout(body, 1);

    buildStatusBar();
    v->addWidget(StatusBar1);
    setCentralWidget(central);
}

void TMainForm::buildRightPanel()
{
    Panel1 = new QWidget(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFixedWidth(138);
    auto* v = new QVBoxLayout(Panel1);
    v->setContentsMargins(4, 4, 4, 0);
    v->setSpacing(4);

    auto* cross = new QGridLayout;
    cross->setSpacing(2);
    auto motion = [this](const char* name, const char* picture, const Text& hint) {
        auto* b = new QToolButton(Panel1);
        b->setObjectName(QString::fromLatin1(name));
        b->setIcon(Pictures::motionArrow(QString::fromLatin1(picture)));
        b->setIconSize(QSize(28, 28));
        b->setFixedSize(38, 38);
        b->setToolTip(QString::fromUtf8(hint.zh));
        return b;
    };
    SpeedButton3 = motion("SpeedButton3", "up", TextUp);
    SpeedButton1 = motion("SpeedButton1", "forward", TextForward);
    SpeedButton4 = motion("SpeedButton4", "stop", TextStop);
    SpeedButton2 = motion("SpeedButton2", "backward", TextBackward);
    SpeedButton5 = motion("SpeedButton5", "down", TextDown);
    cross->addWidget(SpeedButton3, 0, 1);
    cross->addWidget(SpeedButton1, 1, 0);
    cross->addWidget(SpeedButton4, 1, 1);
    cross->addWidget(SpeedButton2, 1, 2);
    cross->addWidget(SpeedButton5, 2, 1);
    auto* crossRow = new QHBoxLayout;
    crossRow->addStretch();
    crossRow->addLayout(cross);
    crossRow->addStretch();
    v->addLayout(crossRow);

    auto* selfCheck = new QHBoxLayout;
    selfCheck->setSpacing(3);
    Label2 = new QLabel(QString::fromUtf8(TextSelfCheck.zh), Panel1);
    Label2->setObjectName(QStringLiteral("Label2"));
    Edit3 = new QLineEdit(QStringLiteral("60"), Panel1);
    Edit3->setObjectName(QStringLiteral("Edit3"));
    Edit3->setMaxLength(3);
    Edit3->setFixedWidth(32);
    Button4 = new QPushButton(QString::fromUtf8(TextSelfCheckStart.zh), Panel1);
    Button4->setObjectName(QStringLiteral("Button4"));
    Button4->setFixedWidth(40);
    selfCheck->addWidget(Label2);
    selfCheck->addWidget(Edit3);
    selfCheck->addWidget(Button4);
    v->addLayout(selfCheck);
    // The self-check controls are for the super-user only.
    Label2->setVisible(false);
    Edit3->setVisible(false);
    Button4->setVisible(false);

    auto* range = new QHBoxLayout;
    range->setSpacing(3);
    Edit1 = new QLineEdit(QStringLiteral("1"), Panel1);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setMaxLength(3);
    Label1 = new QLabel(QStringLiteral("～"), Panel1);
    Label1->setObjectName(QStringLiteral("Label1"));
    Edit2 = new QLineEdit(QStringLiteral("999"), Panel1);
    Edit2->setObjectName(QStringLiteral("Edit2"));
    Edit2->setMaxLength(3);
    range->addWidget(Edit1);
    range->addWidget(Label1);
    range->addWidget(Edit2);
    v->addLayout(range);
    Button3 = new QPushButton(QString::fromUtf8(TextSearch.zh), Panel1);
    Button3->setObjectName(QStringLiteral("Button3"));
    v->addWidget(Button3);

    Memo1 = new QPlainTextEdit(Panel1);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setReadOnly(true);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    QPalette pal = Memo1->palette();
    pal.setColor(QPalette::Base, QColor(245, 245, 245));
    Memo1->setPalette(pal);
    QFont mono(QStringLiteral("Monospace"));
    mono.setStyleHint(QFont::TypeWriter);
    mono.setPointSize(8);
    Memo1->setFont(mono);
    v->addWidget(Memo1, 1);

    Panel2 = new QWidget(Panel1);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    auto* strip = new QHBoxLayout(Panel2);
    strip->setContentsMargins(0, 2, 0, 4);
    Button1 = new QPushButton(QString::fromUtf8(TextClear.zh), Panel2);
    Button1->setObjectName(QStringLiteral("Button1"));
    strip->addStretch();
    strip->addWidget(Button1);
    v->addWidget(Panel2);

    connect(Button1, &QPushButton::clicked, this, &TMainForm::Button1Click);
}

void TMainForm::buildStatusBar()
{
    StatusBar1 = new TStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->addPanel(220, false); // hint panel
    StatusBar1->addPanel(150, false); // progress panel, owner-drawn
    StatusBar1->addPanel(10, false);  // spacer
    StatusBar1->addPanel(120, true);  // mode panel
    StatusBar1->addPanel(150, true);  // port panel
    StatusBar1->addPanel(50, true);
    StatusBar1->setOwnerDrawPanel(ProgressPanel);
}

// ---------------------------------------------------------------- life of the window

void TMainForm::FormCreate()
{
    Edition = BuildEdition();
    UserMode = ModeNone;
    Engine->SelfCheckState = 0;

    ApplyComm1Defaults(Comm1);
    Comm1.PortResolver = [this](const QString& name) {
        if (m_portPaths) return m_portPaths(name);
        return ResolvePortName(name, [this](const QString& key) {
            return m_settings.ReadString(QStringLiteral("PORTS"), key, QString());
        });
    };
    Comm1.OnReceiveData = [this](TComm*, const uint8_t* buffer, uint16_t length) {
        Engine->Comm1ReceiveData(buffer, length);
    };
    Comm1.OnSendDataEmpty = [this](TComm*) { Engine->Comm1SendDataEmpty(); };
    Comm1.OnRequestHangup = [this](TComm*) { Comm1RequestHangup(); };

    const QString language = m_settings.ReadString(QStringLiteral("LANGUAGE"), QStringLiteral("Language"),
                                                   QStringLiteral("简体中文"));
    if (language == QStringLiteral("简体中文")) CurLanguage = 0;
    else if (language == QStringLiteral("English")) CurLanguage = 1;
    else CurLanguage = 0; // any other text leaves the start-up language
    ComboBox4->setCurrentIndex(CurLanguage);
    MainFormProcLanguage(CurLanguage);

    const QString port = m_settings.ReadString(QStringLiteral("COM"), QStringLiteral("num"), QStringLiteral("COM1"));
    int portIndex = 0;
    for (int i = 0; i < 9; ++i)
        if (port == QStringLiteral("COM%1").arg(i + 1)) portIndex = i;
    ComboBox1->setCurrentIndex(portIndex);

    Comm1.ClosePort();
    Comm1.setCommName(port); // whatever the text is: COM12 opens COM12 while the selector shows COM1
    PortOpen = ComOpen() ? 1 : 0;

    m_about = new TAboutForm(this);
}

void TMainForm::startUp()
{
    // Until the log-in exists the window comes up with nobody logged in.
    show();
    FormShow();
    ProcStatusBar();
}

void TMainForm::FormShow()
{
    // A search still running when the window is shown again ends properly, caption and fields
    // included, rather than being left without its time-out.
    if (Engine->searchRunning()) Engine->StopSearch();
    Engine->Timer3.stop();
    int scene = m_settings.ReadInteger(QStringLiteral("SCENE"), QStringLiteral("Current"), 1);
    if (scene < 1 || scene > 12) {
        m_settings.WriteInteger(QStringLiteral("SCENE"), QStringLiteral("Current"), 1);
        scene = 1;
    }
    m_scene = scene;
    try {
        if (Register.Scene() != scene) {
            Register.Close();
            Register.SetScene(scene);
        }
        Register.Open();
    } catch (const std::exception& e) {
        // The window stays up with whatever was built; nothing is overwritten.
        showTableError(e);
        return;
    }
    const QString language = m_settings.ReadString(QStringLiteral("LANGUAGE"), QStringLiteral("Language"),
                                                   QStringLiteral("简体中文"));
    const int idx = ComboBox4->findText(language);
    if (idx >= 0) ComboBox4->setCurrentIndex(idx);

    bool okStart = false, okEnd = false;
    const int start = Edit1->text().toInt(&okStart);
    const int end = Edit2->text().toInt(&okEnd);
    if (okStart) Engine->SearchStart = start;
    if (okEnd) Engine->SearchEnd = end;
    Engine->SearchCursor = 0;

    ListRefresh();
}

void TMainForm::FormClose()
{
    if (m_closed) return;
    m_closed = true;
    Engine->Timer1.stop();
    Engine->Timer3.stop();
    Engine->Timer4.stop();
    Comm1.ClosePort();
}

void TMainForm::closeEvent(QCloseEvent* event)
{
    FormClose();
    if (m_about) m_about->close();
    event->accept();
}

void TMainForm::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    // Keep at least the design size; both sides snap back even when only one was too small.
    if (width() < DesignWidth || height() < DesignHeight) resize(DesignWidth, DesignHeight);
}

// ---------------------------------------------------------------- language

void TMainForm::MainFormProcLanguage(int16_t language)
{
    if (language != 0 && language != 1) return;
    auto t = [language](const Text& text) { return pick(text, language); };

    if (Edition == EditionAdvanced) setWindowTitle(t(CaptionAdvanced));
    if (Edition == EditionCustomer) setWindowTitle(t(CaptionCustomer));
    ToolButton1->setText(t(TextGroups));
    ToolButton4->setText(t(TextAbout));
    ToolButton6->setText(t(TextExit));
    ToolButton11->setText(t(TextPassword));
    ListView1->horizontalHeaderItem(2)->setText(t(TextNameHeader));
    if (CheckListBox1->currentRow() == 0 || CheckListBox1->count() == 0)
        ListView1->horizontalHeaderItem(3)->setText(t(TextGroupHeader));
    ToolButton10->setText(t(TextRefresh));
    Button3->setText(searchRunning() ? t(TextSearchStop) : t(TextSearch));
    Button4->setText(selfCheckRunning() ? t(TextSelfCheckStop) : t(TextSelfCheckStart));
    Button1->setText(t(TextClear));
    GroupBox3->setTitle(t(TextPortFrame));
    Label2->setText(t(TextSelfCheck));
    if (CheckListBox1->currentRow() == 0) {
        const QString from = pick(TextUngrouped, language == 0 ? 1 : 0);
        const QString to = t(TextUngrouped);
        for (int row = 0; row < ListView1->rowCount(); ++row) {
            QTableWidgetItem* item = ListView1->item(row, 3);
            if (item && item->text() == from) item->setText(to);
        }
    }
    SpeedButton1->setToolTip(t(TextForward));
    SpeedButton2->setToolTip(t(TextBackward));
    SpeedButton3->setToolTip(t(TextUp));
    SpeedButton4->setToolTip(t(TextStop));
    SpeedButton5->setToolTip(t(TextDown));
}

void TMainForm::ComboBox4Select(int index)
{
    m_settings.WriteString(QStringLiteral("LANGUAGE"), QStringLiteral("Language"), ComboBox4->itemText(index));
    CurLanguage = static_cast<int16_t>(index);
    MainFormProcLanguage(CurLanguage);
    if (CheckListBox1->count() > 0) CheckListBox1->item(0)->setText(pick(TextAllUnits));
    if (CheckListBox1->count() > 1) CheckListBox1->item(1)->setText(pick(TextUngroupedEntry));
    ProcStatusBar();
}

// ---------------------------------------------------------------- status bar and hints

void TMainForm::ProcStatusBar()
{
    if (CurLanguage != 0 && CurLanguage != 1) {
        StatusBar1->setPanelText(ModePanel, QString());
        return;
    }
    const Text* text = &ModeIllicitText;
    if (UserMode == ModeOperator) text = &ModeOperatorText;
    else if (UserMode == ModeAdministrator) text = &ModeAdministratorText;
    else if (UserMode == ModeSuperUser) text = &ModeSuperUserText;
    StatusBar1->setPanelText(ModePanel, pick(*text));
}

void TMainForm::installHints()
{
    // Controls with a hint of their own.
    for (const Hint& hint : Hints) {
        if (QWidget* w = findChild<QWidget*>(QString::fromLatin1(hint.key))) {
            w->setMouseTracking(true);
            w->installEventFilter(this);
            m_hintKeys.insert(w, QString::fromLatin1(hint.key));
        }
    }
    // Controls that show the device count.
    QWidget* shared[] = {ToolBar1, findChild<QWidget*>(QStringLiteral("ToolBarSpace")), CheckListBox1,
                         CheckListBox1->viewport(), ListView1, ListView1->viewport(), StatusBar1, Panel1, Panel2,
                         Memo1, Memo1->viewport(), Label1, Label2, Edit1, Edit2, Edit3};
    for (QWidget* w : shared) {
        if (!w) continue;
        w->setMouseTracking(true);
        w->installEventFilter(this);
        m_hintKeys.insert(w, QString());
    }
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event)
{
    if ((event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease)
        && (watched == Edit1 || watched == Edit2 || watched == Edit3)) {
        if (numberFieldKey(static_cast<QLineEdit*>(watched), event)) return true;
    }
    if (event->type() == QEvent::MouseMove) {
        auto it = m_hintKeys.constFind(watched);
        if (it != m_hintKeys.constEnd()) {
            if (it->isEmpty()) {
                ToolBar1MouseMove();
            } else {
                showHint(*it);
                // Buttons and frames ignore a plain move, which would pass it on to the panel
                // beneath and overwrite the hint with the device count.
                if (static_cast<QMouseEvent*>(event)->buttons() == Qt::NoButton) return true;
            }
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void TMainForm::showHint(const QString& key)
{
    for (const Hint& hint : Hints) {
        if (key == QLatin1String(hint.key)) {
            const QString s = pick(hint.text);
            if (!s.isNull()) StatusBar1->setPanelText(HintPanel, s);
            return;
        }
    }
}

void TMainForm::ToolBar1MouseMove()
{
    if (searchRunning()) return; // the search progress text stays visible
    const QString s = pick(DeviceCountText);
    if (s.isNull()) return;
    StatusBar1->setPanelText(HintPanel, s.arg(ListView1->rowCount()));
}

// ---------------------------------------------------------------- traffic log

void TMainForm::LogFrame(bool transmitted, const uint8_t* bytes, int count)
{
    Memo1->appendPlainText(transmitted ? QStringLiteral("Tx:") : QStringLiteral("Rx:"));
    Memo1->appendPlainText(QString::fromStdString(HexLine(bytes, static_cast<size_t>(count))));
}

void TMainForm::Button1Click()
{
    Memo1->clear();
}

// ---------------------------------------------------------------- tool bar commands

void TMainForm::ToolButton4Click()
{
    Engine->StopSearch();
    m_about->showAbout();
}

void TMainForm::ToolButton6Click()
{
    close();
}

void TMainForm::ToolButton11Click()
{
    Engine->StopSearch();
    // The password change window arrives with the access levels.
}

bool TMainForm::searchRunning() const
{
    return Engine && Engine->searchRunning();
}

bool TMainForm::selfCheckRunning() const
{
    return Engine && Engine->SelfCheckState != 0;
}
