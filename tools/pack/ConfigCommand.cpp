// torvane-pack config: writes the launcher configuration document that the launcher
// fetches first (its own package, the client packages, hints, survey and funnel).

#include "PackTool.h"
#include "Signing.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include <optional>
#include <set>
#include <vector>

namespace zarvo::pack {

namespace {

struct TEntry {
    QJsonObject m_Package;
    QJsonObject m_Build;
    QString m_Option; // "--launcher" or "--package", for messages
};

// An address the launcher opens or posts to as written: absolute http(s).
QString absoluteUrl(const QString& Text, const QString& Option)
{
    const QUrl Url(Text, QUrl::StrictMode);
    const QString Scheme = Url.scheme().toLower();
    if (!Url.isValid() || (Scheme != QLatin1String("http") && Scheme != QLatin1String("https")) || Url.host().isEmpty()) {
        throw TUsageError(QStringLiteral("%1 needs an absolute http or https URL, not '%2'").arg(Option, Text));
    }
    return Text;
}

// A document address of a build: absolute http(s), or relative to the address of the
// launcher configuration itself (the launcher resolves it against that directory).
QString buildUrl(const QString& Text, const QString& Option)
{
    const QUrl Url(Text, QUrl::StrictMode);
    if (Text.isEmpty() || !Url.isValid()) {
        throw TUsageError(QStringLiteral("%1 needs a URL, not '%2'").arg(Option, Text));
    }
    if (!Url.isRelative()) {
        return absoluteUrl(Text, Option);
    }
    if (Url.hasQuery() || Url.hasFragment()) {
        throw TUsageError(QStringLiteral("%1: a relative URL loses its query and fragment in the launcher: '%2'").arg(Option, Text));
    }
    return Text;
}

QJsonObject linuxBuild(const QString& Url)
{
    QJsonObject Build;
    Build.insert(QStringLiteral("os"), QStringLiteral("linux"));
    Build.insert(QStringLiteral("architecture"), QStringLiteral("x86_64"));
    Build.insert(QStringLiteral("url"), Url);
    return Build;
}

QJsonObject entryJson(TEntry Entry)
{
    Entry.m_Package.insert(QStringLiteral("builds"), QJsonArray {Entry.m_Build});
    return Entry.m_Package;
}

} // namespace

int runConfigCommand(QStringList Arguments)
{
    try {
        QString OutputFile;
        std::optional<TEntry> Launcher;
        std::vector<TEntry> Packages;
        TEntry* pCurrent = nullptr;
        std::set<QString> Directories;
        QJsonObject Root;
        bool PreventDefaultAutostart = false;
        bool ShowPackageNames = false;
        QByteArray SigningKey;

        const auto current = [&pCurrent](const QString& Option) -> TEntry& {
            if (!pCurrent) {
                throw TUsageError(QStringLiteral("%1 belongs after a --package (or --launcher)").arg(Option));
            }
            return *pCurrent;
        };

        while (!Arguments.isEmpty()) {
            const QString Argument = Arguments.takeFirst();
            if (Argument == QLatin1String("--launcher")) {
                if (Launcher) {
                    throw TUsageError(QStringLiteral("--launcher is given twice"));
                }
                Launcher = TEntry {};
                Launcher->m_Option = Argument;
                Launcher->m_Package.insert(QStringLiteral("name"), QStringLiteral("Launcher"));
                Launcher->m_Build = linuxBuild(buildUrl(takeValue(Arguments, Argument), Argument));
                pCurrent = &*Launcher;
            } else if (Argument == QLatin1String("--package")) {
                TEntry Entry;
                Entry.m_Option = Argument;
                const QString Name = takeValue(Arguments, Argument);
                const QString Directory = takeValue(Arguments, Argument);
                const QString Url = buildUrl(takeValue(Arguments, Argument), Argument);
                if (Name.isEmpty()) {
                    throw TUsageError(QStringLiteral("--package needs a non-empty NAME"));
                }
                if (Directory.isEmpty() || Directory.contains(QLatin1Char('/')) || Directory.contains(QLatin1Char('\\')) ||
                    Directory == QLatin1String(".") || Directory == QLatin1String("..")) {
                    throw TUsageError(QStringLiteral("--package DIRECTORY must be a single directory name, not '%1'").arg(Directory));
                }
                if (!Directories.insert(Directory).second) {
                    throw TUsageError(
                        QStringLiteral("two packages share the directory '%1'; they would overwrite each other").arg(Directory));
                }
                Entry.m_Package.insert(QStringLiteral("name"), Name);
                Entry.m_Package.insert(QStringLiteral("directoryname"), Directory);
                Entry.m_Package.insert(QStringLiteral("installautomatically"), false);
                Entry.m_Build = linuxBuild(Url);
                Packages.push_back(Entry);
                pCurrent = &Packages.back();
            } else if (Argument == QLatin1String("--assets-url")) {
                TEntry& Entry = current(Argument);
                Entry.m_Build.insert(QStringLiteral("assetsurl"), buildUrl(takeValue(Arguments, Argument), Argument));
            } else if (Argument == QLatin1String("--install-automatically")) {
                current(Argument).m_Package.insert(QStringLiteral("installautomatically"), true);
            } else if (Argument == QLatin1String("--logo-link")) {
                TEntry& Entry = current(Argument);
                Entry.m_Package.insert(QStringLiteral("logolinktarget"), absoluteUrl(takeValue(Arguments, Argument), Argument));
            } else if (Argument == QLatin1String("--hints") || Argument == QLatin1String("--hardwaresurvey") ||
                       Argument == QLatin1String("--funnel")) {
                Root.insert(Argument.mid(2), absoluteUrl(takeValue(Arguments, Argument), Argument));
            } else if (Argument == QLatin1String("--prevent-default-autostart")) {
                PreventDefaultAutostart = true;
            } else if (Argument == QLatin1String("--show-package-names")) {
                ShowPackageNames = true;
            } else if (Argument == QLatin1String("--sign")) {
                SigningKey = readSigningKey(takeValue(Arguments, Argument));
            } else if (Argument.startsWith(QLatin1Char('-')) && Argument.size() > 1) {
                throw TUsageError(QStringLiteral("unknown option '%1' for config (see torvane-pack --help)").arg(Argument));
            } else if (OutputFile.isEmpty()) {
                OutputFile = Argument;
            } else {
                throw TUsageError(QStringLiteral("unexpected argument '%1'").arg(Argument));
            }
        }
        if (OutputFile.isEmpty()) {
            throw TUsageError(QStringLiteral("config needs OUTPUT_FILE"));
        }
        if (Packages.empty() && !Launcher) {
            throw TUsageError(QStringLiteral("config needs at least one --package or --launcher"));
        }
        if (Launcher) {
            Root.insert(QStringLiteral("launcher"), entryJson(*Launcher));
        }
        QJsonArray PackageArray;
        for (const TEntry& Entry : Packages) {
            PackageArray.append(entryJson(Entry));
        }
        Root.insert(QStringLiteral("packages"), PackageArray);
        Root.insert(QStringLiteral("preventdefaultautostart"), PreventDefaultAutostart);
        Root.insert(QStringLiteral("showpackagenames"), ShowPackageNames);

        const QString Directory = QFileInfo(OutputFile).absolutePath();
        if (!QDir().mkpath(Directory)) {
            throw TToolError(QStringLiteral("cannot create directory '%1'").arg(Directory));
        }
        writeDocumentAndSignature(OutputFile, QJsonDocument(Root).toJson(QJsonDocument::Indented), SigningKey);
        return 0;
    } catch (const TUsageError& Error) {
        return reportError(QString::fromUtf8(Error.what()), kExitUsage);
    } catch (const std::exception& Error) {
        return reportError(QString::fromUtf8(Error.what()), kExitFailure);
    }
}

} // namespace zarvo::pack
