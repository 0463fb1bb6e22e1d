#pragma once

#include <QObject>
#include <QSharedMemory>

namespace shared {

// Makes sure only one launcher runs per user. The guard is a one-byte shared-memory
// segment whose key is the fixed launcher identifier combined with the user id.
class FirstInstanceTester final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(FirstInstanceTester)
public:
    static const char* const kBaseKey;

    explicit FirstInstanceTester(QObject* Parent = nullptr);
    explicit FirstInstanceTester(const QString& Key, QObject* Parent = nullptr);

    // True for the first instance; false with AlreadyExists when another one runs.
    // A segment left behind by a launcher that was killed (nobody attached) is removed
    // first, so a crash never locks the player out.
    bool create(QSharedMemory::SharedMemoryError& Error);

    static QString keyForCurrentUser();

private:
    QSharedMemory m_SharedMemory;
};

} // namespace shared
