#pragma once

#include "TLauncherSettings.h"

#include "TFileSystemHelper.h"

#include <memory>

namespace zarvo::launcher {

// The launcher's file-system helper: the generic helper plus the settings it loaded
// when it was constructed (the file beside the executable, else the embedded one).
class TLauncherFilesystemHelper : public shared::TFileSystemHelper {
public:
    static const char* const kSettingsFileName;
    // The marker of the default client package, in its installation folder.
    static const char* const kDefaultMarkerName;

    TLauncherFilesystemHelper();
    // Loads the settings from the given INI file (tests and tools).
    explicit TLauncherFilesystemHelper(const QString& SettingsFilePath);

    std::shared_ptr<TLauncherSettings> getSettings() const { return m_pSettings; }

    // The file the settings were read from.
    static QString settingsFilePath();

    // The directory holding the installed packages (below the per-user data directory),
    // created when missing.
    virtual QDir getPackagesDirectory();
    // Creates the file's directory when missing, then writes the file atomically.
    virtual void writeFileWithDirectory(const QString& FilePath, const QByteArray& Data);
    // Removes a directory recursively or deletes a file; a missing path is no error.
    virtual void removeFileOrDirectory(const QString& Path);
    // Replaces Destination by Source when Source exists; otherwise does nothing.
    virtual void moveReplacing(const QString& Source, const QString& Destination);
    // The names of the files the launcher keeps in an installation folder beside the
    // game's: the package, partial and assets markers of the settings and the default
    // marker, each as a document would name it.
    QStringList markerNames() const;
    // True when Directory is missing or holds nothing but files named like markers: a
    // fresh installation, none of whose files can be there yet (a package may not name a
    // marker), so they need not be looked for one by one.
    bool holdsOnlyMarkers(const QDir& Directory) const;

private:
    std::shared_ptr<TLauncherSettings> m_pSettings;
};

} // namespace zarvo::launcher
