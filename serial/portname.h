// Maps the port names that settings carry ("COM1" ... ) to device paths.
#pragma once

#include <QString>

#include <functional>
#include <vector>

// "/..." is a device path and is used as it is. "COMn" (n from 1) asks portsLookup("COMn") and
// uses its answer when that is not empty (a device path or a network port name), else
// "/dev/ttyS<n-1>" (on Windows "COMn", or "\\.\COMn" above nine). A network port name
// ("tcp://HOST:PORT", "rfc2217://HOST:PORT") comes back unchanged and is opened as one; any other
// name comes back unchanged, so that opening it fails in the ordinary way. portsLookup may be
// empty.
QString ResolvePortName(const QString& name, const std::function<QString(const QString& key)>& portsLookup);

// True for a name that reaches a device server over the network ("tcp://", "rfc2217://").
bool IsNetworkPortName(const QString& name);

// True for "tcp://HOST:PORT" or "rfc2217://HOST:PORT" with a host and a port from 1 to 65535 (a
// host of IPv6 in brackets: "tcp://[fe80::1]:4001").
bool IsWellFormedNetworkPortName(const QString& name);

// A serial adapter present on this machine: its lasting name (a link in the by-id folder, such as
// "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0") and the device it points at
// ("/dev/ttyUSB0"), which may change from one plugging in to the next.
struct SerialAdapter {
    QString name;
    QString device;
};
inline constexpr const char* SerialByIdFolder = "/dev/serial/by-id";
// The adapters whose links in `folder` lead to an existing device, sorted by name. None where the
// folder does not exist (no adapter plugged in, or not Linux).
std::vector<SerialAdapter> ListSerialAdapters(const QString& folder = QString::fromLatin1(SerialByIdFolder));

// What tells two ports apart, for a resolved name (a device path, a network port name, a Windows
// COM port): two names that reach the same port give the same identity. A device path is followed
// through its links (/dev/serial/by-id/... and /dev/ttyUSB0 are one port); a network port is its
// host in small letters and its port number ("srv2:4001": tcp:// and rfc2217:// to one server port
// are one port; a host name and its address are not taken for one); a Windows port is COMn.
QString PortIdentity(const QString& resolvedName);

// What is wrong with a port name the operator typed, before anything is opened.
enum class TypedPortName {
    Ok,                // a device path that exists, or a well-formed network address
    Empty,
    NoSuchDevice,      // a path that leads nowhere
    Folder,            // a path of a folder
    BadNetworkAddress, // tcp:// or rfc2217:// without a host or with no valid port
    Unknown,           // none of these forms (COMn names are the selector's own entries)
};
TypedPortName CheckTypedPortName(const QString& name);

// Why a device path did not open, as far as the file system tells.
enum class PortOpenTrouble {
    Missing,      // no such device: unplugged, or a wrong name
    NoPermission, // the user may not read and write it
    Busy,         // there and accessible: in use by another program, or not a serial port
    Unknown,      // not a path of the file system (a Windows COM port)
};
PortOpenTrouble DiagnosePortOpenFailure(const QString& devicePath);
