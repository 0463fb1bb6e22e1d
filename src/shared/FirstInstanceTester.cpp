#include "FirstInstanceTester.h"

#include <unistd.h>

namespace shared {

const char* const FirstInstanceTester::kBaseKey = "1b7a377a-e61e-4016-a479-7054bc72a4f8";

FirstInstanceTester::FirstInstanceTester(QObject* Parent)
    : FirstInstanceTester(keyForCurrentUser(), Parent)
{
}

FirstInstanceTester::FirstInstanceTester(const QString& Key, QObject* Parent)
    : QObject(Parent)
    , m_SharedMemory(Key)
{
}

QString FirstInstanceTester::keyForCurrentUser()
{
    return QStringLiteral("%1-%2").arg(QLatin1String(kBaseKey)).arg(static_cast<qulonglong>(::getuid()));
}

bool FirstInstanceTester::create(QSharedMemory::SharedMemoryError& Error)
{
    {
        // Attaching and detaching destroys a segment that no process is attached to any
        // more (left by a killed launcher); a live launcher stays attached and keeps it.
        QSharedMemory Probe(m_SharedMemory.key());
        if (Probe.attach(QSharedMemory::ReadOnly)) {
            Probe.detach();
        }
    }
    if (m_SharedMemory.create(1, QSharedMemory::ReadWrite)) {
        Error = QSharedMemory::NoError;
        return true;
    }
    Error = m_SharedMemory.error();
    return false;
}

} // namespace shared
