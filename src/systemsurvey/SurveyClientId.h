#pragma once

#include <QString>
#include <QStringList>

namespace systemsurvey {

// The hardware address text ("01:23:45:67:89:AB", empty when it has none) of every
// network interface, loopback and inactive ones included, in the system's order.
QStringList hardwareAddressesOfAllInterfaces();

// The anonymous id of a machine with these interface hardware addresses: SHA-1 over a
// fixed salt followed by each address, as 40 lower-case hexadecimal digits. The same
// addresses in the same order give the same id.
QString createClientId(const QStringList& HardwareAddresses);

// This machine's id, worked out on first use and kept for the rest of the process.
QString clientId();

} // namespace systemsurvey
