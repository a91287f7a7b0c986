#include "app/portnamedialog.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/texts.h"
#include "serial/portname.h"
#include "ui/messages.h"

namespace {

const Text TitleText{"其他串口", "Other port"};
const Text PromptText{"串口设备的路径，或串口服务器的地址：", "The path of a serial device, or the address of a device server:"};
const Text ExamplesText{"例如：/dev/ttyUSB0、/dev/serial/by-id/…、\ntcp://192.168.1.20:4001、rfc2217://192.168.1.20:2217",
                        "For example: /dev/ttyUSB0, /dev/serial/by-id/…,\ntcp://192.168.1.20:4001, rfc2217://192.168.1.20:2217"};
const Text OkText{"确定", "OK"};
const Text CancelText{"取消", "Cancel"};
const Text EmptyText{"请输入串口设备的路径或串口服务器的地址。", "Enter the path of a serial device or the address of a device server."};
const Text NoSuchDeviceText{"设备 %1 不存在。", "There is no device %1."};
const Text FolderText{"%1 是文件夹，不是串口设备。", "%1 is a folder, not a serial device."};
const Text BadAddressText{"%1 不是有效的网络地址。\n应为 tcp://主机:端口 或 rfc2217://主机:端口（端口 1–65535）。",
                          "%1 is not a valid network address.\nWrite tcp://HOST:PORT or rfc2217://HOST:PORT (port 1 to 65535)."};
const Text UnknownText{"无法识别 %1。\nCOM1–COM9 请在列表中选择；此处请输入以 / 开头的设备路径，\n或以 tcp:// 或 rfc2217:// 开头的地址。",
                       "%1 is not a port name here.\nChoose COM1 to COM9 in the list, or enter a device path beginning with /\n"
                       "or an address beginning with tcp:// or rfc2217://."};

} // namespace

PortNameDialog::PortNameDialog(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("portNameDialog"));
    auto* layout = new QVBoxLayout(this);
    m_prompt = new QLabel(this);
    m_edit = new QLineEdit(this);
    m_edit->setObjectName(QStringLiteral("portNameEdit"));
    m_edit->setPlaceholderText(QStringLiteral("/dev/ttyUSB0"));
    m_edit->setMinimumWidth(420);
    m_prompt->setBuddy(m_edit);
    m_examples = new QLabel(this);
    m_examples->setForegroundRole(QPalette::PlaceholderText);
    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(m_prompt);
    layout->addWidget(m_edit);
    layout->addWidget(m_examples);
    layout->addWidget(m_buttons);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &PortNameDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &PortNameDialog::reject);
    retranslate();
}

QString PortNameDialog::portName() const
{
    return m_edit->text().trimmed();
}

void PortNameDialog::retranslate()
{
    if (pick(TitleText).isNull()) return;
    setWindowTitle(pick(TitleText));
    m_prompt->setText(pick(PromptText));
    m_examples->setText(pick(ExamplesText));
    m_buttons->button(QDialogButtonBox::Ok)->setText(pick(OkText));
    m_buttons->button(QDialogButtonBox::Cancel)->setText(pick(CancelText));
}

void PortNameDialog::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::LanguageChange) retranslate();
    QDialog::changeEvent(event);
}

void PortNameDialog::accept()
{
    const QString name = portName();
    const Text* problem = nullptr;
    switch (CheckTypedPortName(name)) {
    case TypedPortName::Ok: break;
    case TypedPortName::Empty: problem = &EmptyText; break;
    case TypedPortName::NoSuchDevice: problem = &NoSuchDeviceText; break;
    case TypedPortName::Folder: problem = &FolderText; break;
    case TypedPortName::BadNetworkAddress: problem = &BadAddressText; break;
    case TypedPortName::Unknown: problem = &UnknownText; break;
    }
    if (problem) {
        const QString text = pick(*problem);
        if (!text.isNull()) ShowInformation(this, problem == &EmptyText ? text : text.arg(QDir::toNativeSeparators(name)));
        m_edit->setFocus();
        m_edit->selectAll();
        return; // stays open for the name to be put right
    }
    QDialog::accept();
}
