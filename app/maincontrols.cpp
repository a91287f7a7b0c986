#include "app/maincontrols.h"

#include <QMainWindow>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>


#include "app/mainwindow_texts.h"
#include "app/widgets.h"

using namespace mainwindow;

void MainControls::setUpToolBar(QMainWindow* window)
{
    toolBar = new QToolBar(window);
    toolBar->setObjectName(QStringLiteral("toolBar"));
    toolBar->setMovable(false);
    toolBar->setFloatable(false);
    toolBar->setIconSize(QSize(40, 40));
    toolBar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    toolBar->setContextMenuPolicy(Qt::PreventContextMenu);
    window->addToolBar(Qt::TopToolBarArea, toolBar);

    auto makeButton = [this](const char* name, const char* picture, const char* caption) {
        auto* b = new QToolButton(toolBar);
        b->setObjectName(QString::fromLatin1(name));
        b->setIcon(Pictures::toolButton(QString::fromLatin1(picture)));
        b->setText(QString::fromUtf8(caption));
        b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        b->setAutoRaise(true);
        b->setMinimumWidth(64);
        toolBar->addWidget(b);
        toolBar->addSeparator();
        return b;
    };
    refreshButton = makeButton("refreshButton", "refresh", TextRefresh.zh);
    groupsButton = makeButton("groupsButton", "groups", TextGroups.zh);
    passwordButton = makeButton("passwordButton", "password", TextPassword.zh);
    auditButton = makeButton("auditButton", "audit", TextAudit.zh);
    aboutButton = makeButton("aboutButton", "about", TextAbout.zh);
    exitButton = makeButton("exitButton", "exit", TextExit.zh);

    auto* spacer = new QWidget(toolBar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    spacer->setObjectName(QStringLiteral("ToolBarSpace"));
    toolBar->addWidget(spacer);

    languageFrame = new QGroupBox(QStringLiteral(" 语言(Language) "), toolBar);
    languageFrame->setObjectName(QStringLiteral("languageFrame"));
    auto* l1 = new QVBoxLayout(languageFrame);
    l1->setContentsMargins(6, 2, 6, 4);
    languageSelector = new QComboBox(languageFrame);
    languageSelector->setObjectName(QStringLiteral("languageSelector"));
    languageSelector->addItem(QStringLiteral("简体中文"));
    languageSelector->addItem(QStringLiteral("English"));
    l1->addWidget(languageSelector);
    toolBar->addWidget(languageFrame);
    toolBar->addSeparator();

    portFrame = new QGroupBox(QString::fromUtf8(TextPortFrame.zh), toolBar);
    portFrame->setObjectName(QStringLiteral("portFrame"));
    auto* l3 = new QHBoxLayout(portFrame);
    l3->setContentsMargins(6, 2, 6, 4);
    portSelector = new PortSelector(portFrame);
    portSelector->setObjectName(QStringLiteral("portSelector"));
    l3->addWidget(portSelector);
    fastBusCheck = new QCheckBox(QString::fromUtf8(TextFastBus.zh), portFrame);
    fastBusCheck->setObjectName(QStringLiteral("fastBusCheck"));
    l3->addWidget(fastBusCheck);
    toolBar->addWidget(portFrame);

}

void MainControls::setUp(QMainWindow* window, QAbstractItemModel* deviceRows)
{
    setUpToolBar(window);
    setUpPanes(window, deviceRows);
}

void MainControls::setUpPanes(QMainWindow* window, QAbstractItemModel* deviceRows)
{
    auto* central = new QWidget(window);
    central->setObjectName(QStringLiteral("Central"));
    auto* v = new QVBoxLayout(central);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(0);

    auto* body = new QHBoxLayout;
    body->setContentsMargins(0, 0, 0, 0);
    body->setSpacing(2);

    splitter = new QSplitter(Qt::Horizontal, central);
    splitter->setObjectName(QStringLiteral("splitter"));
    splitter->setChildrenCollapsible(false);

    groupList = new TCheckListBox(splitter);
    groupList->setObjectName(QStringLiteral("groupList"));
    QFont f = groupList->font();
    f.setPixelSize(14);
    groupList->setFont(f);
    groupList->setMinimumWidth(60);

    auto* listPane = new QWidget(splitter);
    auto* paneLayout = new QVBoxLayout(listPane);
    paneLayout->setContentsMargins(0, 0, 0, 0);
    paneLayout->setSpacing(1);
    deviceList = new TListView(listPane);
    deviceList->setModel(deviceRows);
    deviceList->setObjectName(QStringLiteral("deviceList"));
    deviceList->setShowGrid(true);
    deviceList->setSelectionBehavior(QAbstractItemView::SelectRows);
    deviceList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    deviceList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    deviceList->verticalHeader()->hide();
    deviceList->verticalHeader()->setDefaultSectionSize(20);
    deviceList->setIconSize(QSize(16, 16));
    deviceList->setWordWrap(false);
    QHeaderView* h = deviceList->horizontalHeader();
    h->setSectionsClickable(false);
    h->setHighlightSections(false);
    h->setSectionResizeMode(0, QHeaderView::Fixed);
    h->setSectionResizeMode(1, QHeaderView::Fixed);
    // The name takes the spare width, so a long name is elided last.
    h->setSectionResizeMode(2, QHeaderView::Stretch);
    h->setSectionResizeMode(3, QHeaderView::Interactive);
    h->setMinimumSectionSize(20);
    deviceList->setColumnWidth(0, 20);
    deviceList->setColumnWidth(1, 40);
    deviceList->setColumnWidth(2, 150);
    deviceList->setColumnWidth(3, 120);

    listLegend = new QLabel(listPane);
    listLegend->setObjectName(QStringLiteral("listLegend"));
    listLegend->setTextFormat(Qt::RichText);
    paneLayout->addWidget(deviceList, 1);
    paneLayout->addWidget(listLegend);

    splitter->addWidget(groupList);
    splitter->addWidget(listPane);
    splitter->setStretchFactor(0, 0);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({145, 380});
    body->addWidget(splitter, 3);

    setUpRightPanel(window);
    body->addWidget(controlPanel, 1);
    v->addLayout(body, 1);

    setUpStatusBar(window);
    v->addWidget(statusBar);
    window->setCentralWidget(central);
}

void MainControls::setUpRightPanel(QMainWindow* window)
{
    controlPanel = new QWidget(window);
    controlPanel->setObjectName(QStringLiteral("controlPanel"));
    // At least as wide as its texts need (fitted once the fonts are known); beyond that it takes
    // its share of the window's width, so the traffic log grows with the window.
    controlPanel->setMinimumWidth(138);
    controlPanel->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    auto* v = new QVBoxLayout(controlPanel);
    v->setContentsMargins(4, 4, 4, 0);
    v->setSpacing(4);

    auto* cross = new QGridLayout;
    cross->setSpacing(2);
    auto motion = [this](const char* name, const char* picture, const Text& hint) {
        auto* b = new QToolButton(controlPanel);
        b->setObjectName(QString::fromLatin1(name));
        b->setIcon(Pictures::motionArrow(QString::fromLatin1(picture)));
        b->setIconSize(QSize(28, 28));
        b->setFixedSize(38, 38);
        b->setToolTip(QString::fromUtf8(hint.zh));
        return b;
    };
    upButton = motion("upButton", "up", TextUp);
    forwardButton = motion("forwardButton", "forward", TiltForwardTip);
    stopButton = motion("stopButton", "stop", TextStop);
    backwardButton = motion("backwardButton", "backward", TiltBackwardTip);
    downButton = motion("downButton", "down", TextDown);
    stopAllButton = new QPushButton(QString::fromUtf8(TextStopAll.zh), controlPanel);
    stopAllButton->setObjectName(QStringLiteral("stopAllButton"));
    stopAllButton->setMinimumHeight(40);
    stopAllButton->setStyleSheet(QStringLiteral(
        "QPushButton { background: #c8102e; color: white; font-weight: bold; font-size: 15px;"
        " border: 2px solid #7a0a1c; border-radius: 4px; }"
        "QPushButton:pressed { background: #8e0b21; }"));
    stopAllButton->setFocusPolicy(Qt::NoFocus);
    targetLine = new QLabel(QString::fromUtf8(TargetNothing.zh), controlPanel);
    targetLine->setObjectName(QStringLiteral("targetLine"));
    targetLine->setWordWrap(true);
    targetLine->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    cross->addWidget(upButton, 0, 1);
    cross->addWidget(forwardButton, 1, 0);
    cross->addWidget(stopButton, 1, 1);
    cross->addWidget(backwardButton, 1, 2);
    cross->addWidget(downButton, 2, 1);
    auto* crossRow = new QHBoxLayout;
    crossRow->addStretch();
    crossRow->addLayout(cross);
    crossRow->addStretch();
    v->addLayout(crossRow);
    v->addWidget(stopAllButton);
    v->addWidget(targetLine);

    auto* selfCheck = new QHBoxLayout;
    selfCheck->setSpacing(3);
    periodLabel = new QLabel(QString::fromUtf8(TextSelfCheck.zh), controlPanel);
    periodLabel->setObjectName(QStringLiteral("periodLabel"));
    periodEdit = new QLineEdit(QStringLiteral("60"), controlPanel);
    periodEdit->setObjectName(QStringLiteral("periodEdit"));
    periodEdit->setMaxLength(3);
    periodEdit->setFixedWidth(36);
    selfCheckButton = new QPushButton(QString::fromUtf8(TextSelfCheckStart.zh), controlPanel);
    selfCheckButton->setObjectName(QStringLiteral("selfCheckButton"));
    selfCheck->addWidget(periodLabel);
    selfCheck->addWidget(periodEdit);
    selfCheck->addWidget(selfCheckButton);
    v->addLayout(selfCheck);
    // The self-check controls are for the super-user only.
    periodLabel->setVisible(false);
    periodEdit->setVisible(false);
    selfCheckButton->setVisible(false);

    auto* range = new QHBoxLayout;
    range->setSpacing(3);
    rangeStartEdit = new QLineEdit(QStringLiteral("1"), controlPanel);
    rangeStartEdit->setObjectName(QStringLiteral("rangeStartEdit"));
    rangeStartEdit->setMaxLength(3);
    rangeTilde = new QLabel(QStringLiteral("～"), controlPanel);
    rangeTilde->setObjectName(QStringLiteral("rangeTilde"));
    rangeEndEdit = new QLineEdit(QStringLiteral("999"), controlPanel);
    rangeEndEdit->setObjectName(QStringLiteral("rangeEndEdit"));
    rangeEndEdit->setMaxLength(3);
    range->addWidget(rangeStartEdit);
    range->addWidget(rangeTilde);
    range->addWidget(rangeEndEdit);
    v->addLayout(range);
    searchButton = new QPushButton(QString::fromUtf8(TextSearch.zh), controlPanel);
    searchButton->setObjectName(QStringLiteral("searchButton"));
    v->addWidget(searchButton);

    trafficLog = new QPlainTextEdit(controlPanel);
    trafficLog->setObjectName(QStringLiteral("trafficLog"));
    trafficLog->setReadOnly(true);
    // A week of polling must not grow the program without bound: the oldest lines go.
    trafficLog->setMaximumBlockCount(MaxLogLines);
    // Its menu, and Ctrl+S anywhere in the window, save the whole traffic record.
    trafficLog->setContextMenuPolicy(Qt::CustomContextMenu);
    trafficLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    trafficLog->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    QPalette pal = trafficLog->palette();
    pal.setColor(QPalette::Base, QColor(245, 245, 245));
    trafficLog->setPalette(pal);
    QFont mono(QStringLiteral("Monospace"));
    mono.setStyleHint(QFont::TypeWriter);
    mono.setPointSize(8);
    trafficLog->setFont(mono);
    v->addWidget(trafficLog, 1);

    clearStrip = new QWidget(controlPanel);
    clearStrip->setObjectName(QStringLiteral("clearStrip"));
    auto* strip = new QHBoxLayout(clearStrip);
    strip->setContentsMargins(0, 2, 0, 4);
    clearButton = new QPushButton(QString::fromUtf8(TextClear.zh), clearStrip);
    clearButton->setObjectName(QStringLiteral("clearButton"));
    strip->addStretch();
    strip->addWidget(clearButton);
    v->addWidget(clearStrip);

}

void MainControls::setUpStatusBar(QMainWindow* window)
{
    statusBar = new TStatusBar(window);
    statusBar->setObjectName(QStringLiteral("statusBar"));
    statusBar->addPanel(220, false); // hint panel
    statusBar->addPanel(150, false); // progress panel, owner-drawn
    statusBar->addPanel(10, false);  // spacer
    statusBar->addPanel(120, true);  // mode panel
    statusBar->addPanel(150, true);  // port panel
    statusBar->addPanel(50, true);
    statusBar->setOwnerDrawPanel(ProgressPanel);
    // The hints take the width the others leave; the mode panel holds its longest text in
    // either language.
    statusBar->setStretchPanel(HintPanel);
    QStringList modes;
    for (const Text* mode : {&ModeOperatorText, &ModeAdministratorText, &ModeSuperUserText, &ModeIllicitText})
        for (int language : {0, 1}) modes << pick(*mode, language);
    statusBar->fitPanel(ModePanel, modes);
}

void MainControls::retranslateUi(int16_t language, bool searching, bool selfChecking)
{
    auto t = [language](const Text& text) { return pick(text, language); };
    groupsButton->setText(t(TextGroups));
    aboutButton->setText(t(TextAbout));
    auditButton->setText(t(TextAudit));
    exitButton->setText(t(TextExit));
    passwordButton->setText(t(TextPassword));
    refreshButton->setText(t(TextRefresh));
    searchButton->setText(searching ? t(TextSearchStop) : t(TextSearch));
    selfCheckButton->setText(selfChecking ? t(TextSelfCheckStop) : t(TextSelfCheckStart));
    clearButton->setText(t(TextClear));
    portFrame->setTitle(t(TextPortFrame));
    portSelector->retranslate(language);
    fastBusCheck->setText(t(TextFastBus));
    periodLabel->setText(t(TextSelfCheck));
    forwardButton->setToolTip(t(TiltForwardTip));
    backwardButton->setToolTip(t(TiltBackwardTip));
    upButton->setToolTip(t(TextUp));
    stopButton->setToolTip(t(TextStop));
    downButton->setToolTip(t(TextDown));
    stopAllButton->setText(t(TextStopAll));
    stopAllButton->setToolTip(t(StopAllHint));
    const auto ball = [](const char* colour) { return QStringLiteral("<span style=\"color:%1\">●</span>").arg(QLatin1String(colour)); };
    listLegend->setText(QStringLiteral("&nbsp;%1 %2 &nbsp; %3 %4 &nbsp; %5 %6 &nbsp; <span style=\"background-color:%7; color:#eb9600\">&nbsp;◯&nbsp;</span> %8")
                            .arg(ball("#00aa00"), t(LegendOnLine).toHtmlEscaped(), ball("#d20000"),
                                 t(LegendOffLine).toHtmlEscaped(), ball("#969696"), t(LegendNotAsked).toHtmlEscaped(),
                                 PressTargetTint().name(), t(LegendMovedByPress).toHtmlEscaped()));
    if (groupList->count() > 0) groupList->item(0)->setText(t(TextAllUnits));
    if (groupList->count() > 1) groupList->item(1)->setText(t(TextUngroupedEntry));
}

void MainControls::nameFor(QWidget* window, int16_t language)
{
    for (const AccessibleText& entry : AccessibleNames) {
        QWidget* w = window->findChild<QWidget*>(QString::fromLatin1(entry.key));
        if (!w) continue;
        w->setAccessibleName(pick(entry.name, language));
        for (const Hint& hint : Hints)
            if (qstrcmp(hint.key, entry.key) == 0) w->setAccessibleDescription(pick(hint.text, language));
    }
    rangeStartEdit->setAccessibleDescription(pick(RangeDescription, language));
    rangeEndEdit->setAccessibleDescription(pick(RangeDescription, language));
    periodEdit->setAccessibleDescription(pick(PeriodDescription, language));
    deviceList->horizontalHeader()->setAccessibleName(pick(ColumnHeadersName, language));
}
