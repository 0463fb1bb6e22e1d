#pragma once

// Named pipes where files should be, and a bounded wait for work that might block on them.

#include <QElapsedTimer>
#include <QFile>
#include <QStringList>
#include <QThread>
#include <QtConcurrent>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace testsupport {

inline bool makeNamedPipe(const QString& Path)
{
    return ::mkfifo(QFile::encodeName(Path).constData(), 0600) == 0;
}

// Runs Work on the pool and waits for it at most TimeoutMs. Should it be stuck in one of
// Pipes (opening or reading it), a writer coming and going lets it go, so that a test
// fails instead of hanging. Returns whether it ended in time, and its result.
template<typename TWork> auto runLettingPipesGo(TWork Work, const QStringList& Pipes, int TimeoutMs)
{
    auto Future = QtConcurrent::run(Work);
    QElapsedTimer Clock;
    Clock.start();
    while (!Future.isFinished() && Clock.elapsed() < TimeoutMs) {
        QThread::msleep(10);
    }
    const bool InTime = Future.isFinished();
    while (!Future.isFinished()) {
        for (const QString& Pipe : Pipes) {
            const int Writer = ::open(QFile::encodeName(Pipe).constData(), O_WRONLY | O_NONBLOCK);
            if (Writer >= 0) {
                ::close(Writer);
            }
        }
        QThread::msleep(10);
    }
    return std::make_pair(InTime, Future.result());
}

} // namespace testsupport
