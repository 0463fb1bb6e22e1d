#include "SurveyClientId.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QSettings>

namespace systemsurvey {

const char* const kClientSecretKey = "Survey/clientSecret";

namespace {
// Fixed start of every hashed text, so the id cannot be matched with a plain hash of the
// secret made elsewhere.
const char* const kClientIdSalt = "5c0e2a71-3d94-4b8f-a6e2-0f7d19c4b853";
constexpr int kSecretSize = 32;

bool isHexText(const QByteArray& Text, int Digits)
{
    if (Text.size() != Digits) {
        return false;
    }
    for (const char Character : Text) {
        if (!((Character >= '0' && Character <= '9') || (Character >= 'a' && Character <= 'f'))) {
            return false;
        }
    }
    return true;
}
} // namespace

QString createClientId(const QByteArray& Secret)
{
    QCryptographicHash Hash(QCryptographicHash::Sha1);
    Hash.addData(kClientIdSalt, static_cast<int>(qstrlen(kClientIdSalt)));
    Hash.addData(Secret);
    return QString::fromLatin1(Hash.result().toHex());
}

QByteArray clientSecret(QSettings& Store)
{
    const QByteArray Stored = Store.value(QLatin1String(kClientSecretKey)).toString().toLatin1();
    if (isHexText(Stored, 2 * kSecretSize)) {
        return QByteArray::fromHex(Stored);
    }
    // the system's cryptographic source: the secret must not be guessable from the time
    // or from other ids
    quint32 Words[kSecretSize / sizeof(quint32)];
    QRandomGenerator::system()->fillRange(Words);
    const QByteArray Secret(reinterpret_cast<const char*>(Words), kSecretSize);
    Store.setValue(QLatin1String(kClientSecretKey), QString::fromLatin1(Secret.toHex()));
    Store.sync();
    return Secret;
}

QString clientIdFromStore(QSettings& Store)
{
    return createClientId(clientSecret(Store));
}

QString clientId()
{
    static const QString Id = [] {
        QSettings Store(QStringLiteral("Halvern GmbH"), QStringLiteral("Torvane Online"));
        return clientIdFromStore(Store);
    }();
    return Id;
}

void resetClientId(QSettings& Store)
{
    Store.remove(QLatin1String(kClientSecretKey));
    Store.sync();
}

} // namespace systemsurvey
