#pragma once

#include <QByteArray>
#include <QString>

class QSettings;

namespace systemsurvey {

// The key of the per-user secret in the launcher's Qt settings store.
extern const char* const kClientSecretKey;

// The anonymous id of one secret: SHA-1 over a fixed prefix and the secret, as 40
// lower-case hexadecimal digits. Nothing about the machine goes in, so nothing about it
// can be recovered from the id.
QString createClientId(const QByteArray& Secret);

// The player's secret from Store (32 random bytes, hex text under kClientSecretKey),
// created and stored on first use. A stored value that is not 64 hex digits is replaced.
QByteArray clientSecret(QSettings& Store);

// The id of the secret in Store.
QString clientIdFromStore(QSettings& Store);

// This player's id, from the settings store of "Halvern GmbH" / "Torvane Online"; worked
// out on first use and kept for the rest of the process.
QString clientId();

// Forgets the player's secret: the next run (and the next clientIdFromStore) makes a new
// one, so the new id cannot be linked with the old.
void resetClientId(QSettings& Store);

} // namespace systemsurvey
