#include "app/about.h"

#include <QDir>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

#include <QKeyEvent>

#include "common/state.h"
#include "common/texts.h"

namespace {

// The about box's texts: (Chinese, English).
constexpr Text AboutCaption{"关于...", "About Tarvello Tool V2.0"};
constexpr Text VersionCaption{"版本信息：", "Version: "};
constexpr Text EditionAdvancedText{"高级用户版 ", "Advance User "};
constexpr Text EditionCustomerText{"客户版 ", "Customer "};
constexpr Text DataFolderText{"数据文件夹：%1", "Data folder: %1"};
constexpr Text LicencesText{"许可证：Qt 6（LGPL-3.0）、SQLite（公有领域）、pxlib（GPL-2.0）",
                            "Licences: Qt 6 (LGPL-3.0), SQLite (public domain), pxlib (GPL-2.0)"};
#ifdef _WIN32
constexpr Text LicenceFilesText{"许可证全文在 tarvello.exe 旁的 licences 文件夹中。",
                                "The licence texts are in the folder licences beside tarvello.exe."};
#endif
constexpr Text StopAllNoteText{"“全部停止”（F12）只是本软件提供的便利功能，不能代替设备现场硬接线的紧急停止。",
                               "Stop all (F12) is a convenience of this software; it does not replace the "
                               "installation's hard-wired emergency stop."};

QFont roundFont()
{
    QFont f;
    // "幼圆" where the system has it; otherwise its CJK face.
    f.setFamilies({QStringLiteral("幼圆"), QStringLiteral("YouYuan"), QStringLiteral("Noto Sans CJK SC"),
                   QStringLiteral("Noto Sans CJK")});
    return f;
}

} // namespace

AboutBox::AboutBox(int32_t edition, QWidget* owner)
    : QWidget(owner, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), m_edition(edition)
{
    setObjectName(QStringLiteral("AboutForm"));
    setFixedSize(ClientWidth, ClientHeight);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    pal.setColor(QPalette::WindowText, Qt::black);
    setPalette(pal);

    productLabel = new QLabel(QStringLiteral("Tarvello"), this);
    productLabel->setObjectName(QStringLiteral("productLabel"));
    QFont f1 = roundFont();
    f1.setBold(true);
    f1.setPointSize(15);
    productLabel->setFont(f1);
    productLabel->move(38, 40);

    editionLabel = new QLabel(this);
    editionLabel->setObjectName(QStringLiteral("editionLabel"));
    QFont f6 = roundFont();
    f6.setItalic(true);
    editionLabel->setFont(f6);
    editionLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    editionLabel->setGeometry(160, 80, 108, 20);

    versionCaption = new QLabel(this);
    versionCaption->setObjectName(QStringLiteral("versionCaption"));
    versionCaption->move(60, 143);
    versionLabel = new QLabel(QStringLiteral("2.1.01.10"), this);
    versionLabel->setObjectName(QStringLiteral("versionLabel"));
    versionLabel->move(150, 143);

    stopAllNote = new QLabel(this);
    stopAllNote->setObjectName(QStringLiteral("stopAllNote"));
    stopAllNote->setWordWrap(true);
    stopAllNote->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QPalette red = stopAllNote->palette();
    red.setColor(QPalette::WindowText, QColor(0xa0, 0x10, 0x20));
    stopAllNote->setPalette(red);
    stopAllNote->setGeometry(30, 176, ClientWidth - 60, 48);

    // The register in use, which on Windows depends on how the program came to the PC.
    dataFolderLabel = new QLabel(this);
    dataFolderLabel->setObjectName(QStringLiteral("dataFolderLabel"));
    QFont small = dataFolderLabel->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    dataFolderLabel->setFont(small);
    QPalette grey = dataFolderLabel->palette();
    grey.setColor(QPalette::WindowText, QColor(0x55, 0x55, 0x55));
    dataFolderLabel->setPalette(grey);
    dataFolderLabel->setGeometry(30, 226, ClientWidth - 60, 18);

    licencesLabel = new QLabel(this);
    licencesLabel->setObjectName(QStringLiteral("licencesLabel"));
    licencesLabel->setFont(small);
    licencesLabel->setPalette(grey);
    licencesLabel->setWordWrap(true);
    licencesLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    licencesLabel->setGeometry(30, 246, ClientWidth - 60, 32);

    for (QLabel* l : {productLabel, editionLabel, versionCaption, versionLabel, stopAllNote, dataFolderLabel, licencesLabel})
        l->installEventFilter(this);
}

void AboutBox::showAbout()
{
    if (isVisible()) {
        raise();
        activateWindow();
        return;
    }
    prepareToShow();
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(ClientWidth / 2, ClientHeight / 2));
    show();
    raise();
}

void AboutBox::prepareToShow()
{
    retranslate();
}

void AboutBox::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::LanguageChange) retranslate();
    QWidget::changeEvent(event);
}

void AboutBox::retranslate()
{
    const int16_t language = currentLanguage();
    if (language != 0 && language != 1) return;
    setWindowTitle(pick(AboutCaption, language));
    QFont f1 = productLabel->font();
    f1.setPointSize(language == 0 ? 15 : 10);
    productLabel->setFont(f1);
    productLabel->setText(QStringLiteral("Tarvello"));
    productLabel->adjustSize();
    versionCaption->setText(pick(VersionCaption, language));
    versionCaption->adjustSize();
    versionLabel->move(versionCaption->x() + versionCaption->width() + 4, versionLabel->y());
    stopAllNote->setText(pick(StopAllNoteText, language));
    // A long path keeps its end, which names the folder; the whole of it is in the tool tip.
    const QString folder = pick(DataFolderText, language).arg(QDir::toNativeSeparators(m_dataFolder));
    dataFolderLabel->setText(dataFolderLabel->fontMetrics().elidedText(folder, Qt::ElideMiddle, dataFolderLabel->width()));
    dataFolderLabel->setToolTip(folder);
    dataFolderLabel->setVisible(!m_dataFolder.isEmpty());
    licencesLabel->setText(pick(LicencesText, language));
#ifdef _WIN32
    licencesLabel->setToolTip(pick(LicenceFilesText, language));
#endif
    if (m_edition == EditionAdvanced) editionLabel->setText(pick(EditionAdvancedText, language));
    if (m_edition == EditionCustomer) editionLabel->setText(pick(EditionCustomerText, language));
}

void AboutBox::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setPen(Qt::black);
    p.drawRect(0, 0, width() - 1, height() - 1); // frame line along each edge
    p.setPen(QColor(128, 128, 128));
    p.drawLine(30, 72, width() - 30, 72);   // under the product name
    p.drawLine(30, 120, width() - 30, 120); // above the version
}

void AboutBox::FormClick()
{
    close();
}

void AboutBox::mousePressEvent(QMouseEvent*)
{
    FormClick();
}

void AboutBox::keyPressEvent(QKeyEvent* event)
{
    // Escape closes the box like a click does.
    if (event->key() == Qt::Key_Escape) {
        FormClick();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool AboutBox::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonPress) {
        FormClick();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
