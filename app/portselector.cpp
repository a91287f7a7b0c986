#include "app/portselector.h"

#include <QAbstractItemView>
#include <QFileInfo>

#include "common/texts.h"
#include "serial/portname.h"

namespace {

const Text OtherEntryText{"其他…", "Other…"};
const Text AdapterTipText{"USB 串口适配器 %1，现为 %2", "USB serial adapter %1, now %2"};

} // namespace

PortSelector::PortSelector(QWidget* parent)
    : QComboBox(parent), m_adapterFolder(QString::fromLatin1(SerialByIdFolder))
{
    // The adapters' names are long: the box keeps its width, the open list shows them whole.
    setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    setMinimumContentsLength(16);
    // The closed box shows the start of a long name: the whole of it is in the tool tip.
    connect(this, &QComboBox::currentIndexChanged, this, [this](int index) { setToolTip(portName(index)); });
    refresh();
}

void PortSelector::setAdapterFolder(const QString& folder)
{
    m_adapterFolder = folder;
    refresh();
}

void PortSelector::refresh()
{
    const QString chosen = portName(currentIndex());
    const QSignalBlocker quiet(this); // rebuilding is no choice of the operator's
    clear();
    for (int i = 1; i <= 9; ++i)
        addItem(QStringLiteral("COM%1").arg(i), QStringLiteral("COM%1").arg(i));
    for (const SerialAdapter& adapter : ListSerialAdapters(m_adapterFolder)) {
        // The link's own name says which adapter it is; its folder is the same for all.
        addItem(QStringLiteral("%1 (%2)").arg(QFileInfo(adapter.name).fileName(), adapter.device), adapter.name);
        setItemData(count() - 1, pick(AdapterTipText, m_language).arg(adapter.name, adapter.device), Qt::ToolTipRole);
    }
    for (const QString& name : m_typed)
        if (indexOfPort(name) < 0) addItem(name, name);
    addItem(pick(OtherEntryText, m_language), QString());
    const int index = indexOfPort(chosen);
    setCurrentIndex(index >= 0 ? index : 0);
    setToolTip(portName(currentIndex()));
    view()->setMinimumWidth(view()->sizeHintForColumn(0) + 24);
}

void PortSelector::retranslate(int16_t language)
{
    const QString other = pick(OtherEntryText, language);
    if (other.isNull()) return;
    m_language = language;
    refresh();
}

QString PortSelector::portName(int index) const
{
    return index >= 0 && index < count() ? itemData(index, PortNameRole).toString() : QString();
}

int PortSelector::indexOfPort(const QString& name) const
{
    if (name.isEmpty()) return -1;
    // "com3" is COM3; device paths are the file system's, where case counts.
    const Qt::CaseSensitivity cs = name.startsWith(QLatin1Char('/')) ? Qt::CaseSensitive : Qt::CaseInsensitive;
    for (int i = 0; i < count(); ++i)
        if (portName(i).compare(name, cs) == 0) return i;
    return -1;
}

void PortSelector::showPort(const QString& name)
{
    int index = indexOfPort(name);
    if (index < 0 && (name.startsWith(QLatin1Char('/')) || IsNetworkPortName(name))) {
        m_typed << name;
        refresh();
        index = indexOfPort(name);
    }
    {
        const QSignalBlocker quiet(this);
        setCurrentIndex(index >= 0 ? index : 0);
    }
    setToolTip(portName(currentIndex()));
}

void PortSelector::forgetTyped(const QString& name)
{
    if (!m_typed.removeAll(name)) return;
    refresh();
    const QSignalBlocker quiet(this);
    // The port in use is none of the entries now.
    setCurrentIndex(-1);
}

void PortSelector::showPopup()
{
    refresh();
    QComboBox::showPopup();
}
