#pragma once

// The commands of torvane-pack and what they share.

#include <QString>
#include <QStringList>

#include <stdexcept>

namespace zarvo::pack {

// Exit status: 0 done, 1 the work failed, 2 the command line was wrong.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// An interrupted pack run (Ctrl-C): 128 + SIGINT, as a shell reports it.
constexpr int kExitInterrupted = 130;

// A command line that cannot be carried out; the text says what to change.
class TUsageError : public std::runtime_error {
public:
    explicit TUsageError(const QString& Message)
        : std::runtime_error(Message.toStdString())
    {
    }
};

// A failure of the work itself (unreadable input, unwritable output).
class TToolError : public std::runtime_error {
public:
    explicit TToolError(const QString& Message)
        : std::runtime_error(Message.toStdString())
    {
    }
};

extern const char* const kHelpText;

// "torvane-pack: " + Message on standard error; returns ExitCode.
int reportError(const QString& Message, int ExitCode);

// Takes the value of an option from the front of Arguments, or throws TUsageError.
QString takeValue(QStringList& Arguments, const QString& Option);

int runPackCommand(QStringList Arguments);
int runConfigCommand(QStringList Arguments);
int runUnpackCommand(QStringList Arguments);
int runKeygenCommand(QStringList Arguments);
int runPublicKeyCommand(QStringList Arguments);

} // namespace zarvo::pack
