// Maps the port names that settings carry ("COM1" ... ) to device paths.
#pragma once

#include <QString>

#include <functional>

// "/..." is a device path and is used as it is. "COMn" (n from 1) asks portsLookup("COMn") and
// uses its answer when that is not empty (a device path or a network port name), else
// "/dev/ttyS<n-1>" (on Windows "COMn", or "\\.\COMn" above nine). A network port name
// ("tcp://HOST:PORT", "rfc2217://HOST:PORT") comes back unchanged and is opened as one; any other
// name comes back unchanged, so that opening it fails in the ordinary way. portsLookup may be
// empty.
QString ResolvePortName(const QString& name, const std::function<QString(const QString& key)>& portsLookup);

// True for a name that reaches a device server over the network ("tcp://", "rfc2217://").
bool IsNetworkPortName(const QString& name);
