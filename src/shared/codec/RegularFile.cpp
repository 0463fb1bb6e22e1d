#include "RegularFile.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace shared {

bool openRegularFileForReading(QFile& File, QIODevice::OpenMode Extra, QString* pError)
{
    const auto Fail = [pError](const QString& Why) {
        if (pError) {
            *pError = Why;
        }
        return false;
    };
    const QByteArray Path = QFile::encodeName(File.fileName());
    // without O_NONBLOCK, opening a named pipe waits for a writer that never comes
    const int Descriptor = ::open(Path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (Descriptor < 0) {
        return Fail(QString::fromLocal8Bit(std::strerror(errno)));
    }
    struct stat Status { };
    if (::fstat(Descriptor, &Status) != 0 || !S_ISREG(Status.st_mode)) {
        ::close(Descriptor);
        return Fail(QStringLiteral("Not a regular file"));
    }
    const int Flags = ::fcntl(Descriptor, F_GETFL);
    if (Flags < 0 || ::fcntl(Descriptor, F_SETFL, Flags & ~O_NONBLOCK) != 0 ||
        !File.open(Descriptor, QIODevice::ReadOnly | Extra, QFileDevice::AutoCloseHandle)) {
        const QString Why = QString::fromLocal8Bit(std::strerror(errno));
        ::close(Descriptor);
        return Fail(Why);
    }
    return true;
}

} // namespace shared
