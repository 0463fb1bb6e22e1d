#pragma once

#include <QFile>

namespace shared {

// Opens File for reading when its name leads (through any symbolic links) to a regular
// file, and only then. A named pipe or a device where an installed file should be would
// otherwise block the open, or feed a scan without end: an installation folder is the
// player's disk, and what lies in it is not trusted. Extra may add QIODevice::Unbuffered.
// On failure *pError, when given, tells why ("No such file or directory", "Not a regular
// file").
bool openRegularFileForReading(QFile& File, QIODevice::OpenMode Extra = QIODevice::NotOpen, QString* pError = nullptr);

} // namespace shared
