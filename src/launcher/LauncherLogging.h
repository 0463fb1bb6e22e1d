#pragma once

#include <QString>
#include <QtGlobal>

namespace zarvo::launcher {

// Opens (truncating) the launcher's log file in the per-user data directory and installs
// the message handler. Throws std::runtime_error when the directory cannot be made.
void setupLogging();

// The same with an explicit file (tests); installs the handler.
void setupLoggingToFile(const QString& FilePath);

// Writes the lines gathered so far (they are written in batches otherwise).
void flushLog();

// Removes the handler and closes the file.
void shutdownLogging();

// One log line: "yyyy-MM-dd hh:mm:ss (file:line) Level: message".
QString formatLogLine(QtMsgType Type, const QMessageLogContext& Context, const QString& Message);

} // namespace zarvo::launcher
