#include "SurveyClientId.h"

#include <QCryptographicHash>
#include <QNetworkInterface>

namespace systemsurvey {

namespace {
// Fixed start of every hashed text, so the id cannot be matched with a plain hash of
// the addresses made elsewhere.
const char* const kClientIdSalt = "5c0e2a71-3d94-4b8f-a6e2-0f7d19c4b853";
} // namespace

QStringList hardwareAddressesOfAllInterfaces()
{
    QStringList Addresses;
    const QList<QNetworkInterface> Interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& Interface : Interfaces) {
        Addresses << Interface.hardwareAddress();
    }
    return Addresses;
}

QString createClientId(const QStringList& HardwareAddresses)
{
    QCryptographicHash Hash(QCryptographicHash::Sha1);
    Hash.addData(QString::fromLatin1(kClientIdSalt).toLocal8Bit());
    for (const QString& Address : HardwareAddresses) {
        Hash.addData(Address.toLocal8Bit());
    }
    return QString::fromLatin1(Hash.result().toHex());
}

QString clientId()
{
    static const QString Id = createClientId(hardwareAddressesOfAllInterfaces());
    return Id;
}

} // namespace systemsurvey
