#include "app/about.h"

#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

#include "common/state.h"

namespace {

QFont roundFont()
{
    QFont f;
    // "幼圆" is the Windows face; the CJK face of the system stands in elsewhere.
    f.setFamilies({QStringLiteral("幼圆"), QStringLiteral("YouYuan"), QStringLiteral("Noto Sans CJK SC"),
                   QStringLiteral("Noto Sans CJK")});
    return f;
}

} // namespace

TAboutForm::TAboutForm(QWidget* owner)
    : QWidget(owner, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
{
    setObjectName(QStringLiteral("AboutForm"));
    setFixedSize(ClientWidth, ClientHeight);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    pal.setColor(QPalette::WindowText, Qt::black);
    setPalette(pal);

    Label1 = new QLabel(QStringLiteral("Tarvello"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    QFont f1 = roundFont();
    f1.setBold(true);
    f1.setPointSize(15);
    Label1->setFont(f1);
    Label1->move(38, 40);

    Label6 = new QLabel(this);
    Label6->setObjectName(QStringLiteral("Label6"));
    QFont f6 = roundFont();
    f6.setItalic(true);
    Label6->setFont(f6);
    Label6->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Label6->setGeometry(160, 80, 108, 20);

    Label7 = new QLabel(this);
    Label7->setObjectName(QStringLiteral("Label7"));
    Label7->move(60, 143);
    Label8 = new QLabel(QStringLiteral("2.1.01.10"), this);
    Label8->setObjectName(QStringLiteral("Label8"));
    Label8->move(150, 143);

    for (QLabel* l : {Label1, Label6, Label7, Label8}) l->installEventFilter(this);
}

void TAboutForm::showAbout()
{
    if (isVisible()) {
        raise();
        activateWindow();
        return;
    }
    FormShow();
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(ClientWidth / 2, ClientHeight / 2));
    show();
    raise();
}

void TAboutForm::FormShow()
{
    AboutFormProcLanguage(CurLanguage);
}

void TAboutForm::AboutFormProcLanguage(int16_t language)
{
    if (language != 0 && language != 1) return;
    const bool zh = language == 0;
    setWindowTitle(zh ? QStringLiteral("关于...") : QStringLiteral("About Tarvello Tool V2.0"));
    QFont f1 = Label1->font();
    f1.setPointSize(zh ? 15 : 10);
    Label1->setFont(f1);
    Label1->setText(QStringLiteral("Tarvello"));
    Label1->adjustSize();
    Label7->setText(zh ? QStringLiteral("版本信息：") : QStringLiteral("Version: "));
    Label7->adjustSize();
    Label8->move(Label7->x() + Label7->width() + 4, Label8->y());
    if (Edition == EditionAdvanced) Label6->setText(zh ? QStringLiteral("高级用户版 ") : QStringLiteral("Advance User "));
    if (Edition == EditionCustomer) Label6->setText(zh ? QStringLiteral("客户版 ") : QStringLiteral("Customer "));
}

void TAboutForm::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setPen(Qt::black);
    p.drawRect(0, 0, width() - 1, height() - 1); // frame line along each edge
    p.setPen(QColor(128, 128, 128));
    p.drawLine(30, 72, width() - 30, 72);   // under the product name
    p.drawLine(30, 120, width() - 30, 120); // above the version
}

void TAboutForm::FormClick()
{
    close();
}

void TAboutForm::mousePressEvent(QMouseEvent*)
{
    FormClick();
}

bool TAboutForm::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonPress) {
        FormClick();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
