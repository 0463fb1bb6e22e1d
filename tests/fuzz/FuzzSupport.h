#pragma once

// Shared by the libFuzzer targets.

#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

namespace fuzzsupport {

// The readers log every rejected document; at thousands of inputs a second that output
// only slows the run down and buries libFuzzer's own report.
inline void silenceQtMessages()
{
    static const bool Installed = [] {
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
        return true;
    }();
    (void)Installed;
}

// A broken invariant is a finding: report it and abort so that libFuzzer keeps the input.
[[noreturn]] inline void fail(const char* What)
{
    std::fprintf(stderr, "fuzz invariant broken: %s\n", What);
    std::abort();
}

inline void check(bool Condition, const char* What)
{
    if (!Condition) {
        fail(What);
    }
}

} // namespace fuzzsupport
