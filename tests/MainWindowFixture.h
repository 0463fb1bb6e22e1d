#pragma once

// The main window with its collaborators, and served hint pictures, for the window tests
// and the screenshot writer.

#include "support/LoopbackHttpServer.h"

#include "TCloudflareCdnTrace.h"
#include "TDownloadPool.h"
#include "THint.h"
#include "HintWidgets.h"
#include "TLauncherConfigurationReader.h"
#include "TLauncherFilesystemHelper.h"
#include "TLauncherMainWindow.h"
#include "TPackageInstallation.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QPainter>

#include <memory>
#include <vector>

namespace testsupport {

using namespace zarvo::launcher;

inline const QString kVersion = QStringLiteral("0.0.8");

inline std::shared_ptr<shared::TDownloadPool> makePool()
{
    return std::make_shared<shared::TDownloadPool>(
        6, std::make_shared<shared::QNetworkAccessManagerWrapper>(std::make_shared<QNetworkAccessManager>()), true);
}

// A launcher configuration with Count client packages for this machine, named after
// Names (or "Client N"), each with a loaded package configuration.
inline std::shared_ptr<TLauncherConfigurationReader> makeConfiguration(int Count, const QStringList& Names = {},
                                                                       const QStringList& Variants = {})
{
    QJsonArray Packages;
    for (int Index = 0; Index < Count; ++Index) {
        const QString Name = Index < Names.size() ? Names[Index] : QStringLiteral("Client %1").arg(Index);
        Packages.append(
            QJsonObject {{"name", Name},
                         {"directoryname", QStringLiteral("client%1").arg(Index)},
                         {"builds", QJsonArray {QJsonObject {{"os", "linux"}, {"architecture", "x86_64"}, {"url", "p.json"}}}}});
    }
    const QJsonObject Root {{"packages", Packages}, {"showpackagenames", true}};
    auto pConfiguration =
        std::make_shared<TLauncherConfigurationReader>(QJsonDocument(Root).toJson(), QUrl(QStringLiteral("http://127.0.0.1:9/")));
    for (int Index = 0; Index < Count; ++Index) {
        const QString Variant = Index < Variants.size() ? Variants[Index] : QStringLiteral("regular");
        const QJsonObject Document {{"version", QStringLiteral("1.%1.0").arg(Index)},
                                    {"generation", Variant == QLatin1String("classic") ? "first" : "second"},
                                    {"variant", Variant},
                                    {"executable", "client"},
                                    {"files", QJsonArray {}}};
        pConfiguration->getPackages()[Index]->currentBuild()->m_pConfiguration = std::make_unique<TPackageConfigurationReader>(
            QJsonDocument(Document).toJson(), QByteArray(), QUrl(QStringLiteral("http://127.0.0.1:9/")), QUrl());
    }
    return pConfiguration;
}

// The window with its collaborators; the CDN trace reads TraceUrl.
struct TWindowFixture {
    explicit TWindowFixture(int Count, const QUrl& TraceUrl = QUrl(), const QStringList& Names = {}, const QStringList& Variants = {})
        : m_pConfiguration(makeConfiguration(Count, Names, Variants))
        , m_pPool(makePool())
        , m_pTrace(std::make_shared<TCloudflareCdnTrace>(TraceUrl, m_pPool))
    {
    }
    TLauncherMainWindow& window(TInstallationManager* pManager = nullptr)
    {
        if (!m_pWindow) {
            m_pWindow =
                std::make_unique<TLauncherMainWindow>(m_pConfiguration, m_pConfiguration->getPackagesForThisMachine(),
                                                      m_pConfiguration->getShowPackageNames(), m_pPool, m_pTrace, pManager, kVersion);
        }
        return *m_pWindow;
    }
    std::shared_ptr<TPackage> package(int Index) const { return m_pConfiguration->getPackages()[Index]; }

    std::shared_ptr<TLauncherConfigurationReader> m_pConfiguration;
    std::shared_ptr<shared::TDownloadPool> m_pPool;
    std::shared_ptr<TCloudflareCdnTrace> m_pTrace;
    std::unique_ptr<TLauncherMainWindow> m_pWindow;
};

inline std::shared_ptr<TPackageInstallation> makeInstallation(const std::shared_ptr<TPackage>& pPackage)
{
    return std::make_shared<TPackageInstallation>(pPackage, std::make_shared<TLauncherFilesystemHelper>());
}

// A hint picture: a gradient in the category's colours with a few hills.
inline QByteArray hintPicture(int Width, int Height, QColor Top, QColor Bottom)
{
    QImage Image(Width, Height, QImage::Format_ARGB32);
    QPainter Painter(&Image);
    QLinearGradient Gradient(0, 0, 0, Height);
    Gradient.setColorAt(0, Top);
    Gradient.setColorAt(1, Bottom);
    Painter.fillRect(Image.rect(), Gradient);
    Painter.setRenderHint(QPainter::Antialiasing);
    Painter.setPen(Qt::NoPen);
    Painter.setBrush(Bottom.darker(160));
    for (int Hill = 0; Hill < 4; ++Hill) {
        const int X = Width * Hill / 3 - Width / 6;
        Painter.drawEllipse(QRect(X, Height * 11 / 20, Width / 2, Height));
    }
    Painter.end();
    QByteArray Bytes;
    QBuffer Buffer(&Bytes);
    Buffer.open(QIODevice::WriteOnly);
    Image.save(&Buffer, "PNG");
    return Bytes;
}

inline shared::THint makeHint(const QString& Category, const QString& Text, const QUrl& ImageUrl, const QString& Link)
{
    shared::THint Hint;
    Hint.m_Title = Text;
    Hint.m_RichText = QLatin1String(shared::kHintRichTextPrefix) + Text;
    Hint.m_ImageUrl = ImageUrl.toString();
    Hint.m_Category = Category;
    Hint.m_Url = Link;
    return Hint;
}

// Serves three hint pictures and gives the hints for the categories asked for.
inline std::vector<shared::THint> serveHints(TLoopbackHttpServer& Server, const QStringList& Categories)
{
    const QColor Tops[] = {QColor(0x3b, 0x5b, 0x8c), QColor(0x8c, 0x4a, 0x2f), QColor(0x2f, 0x6b, 0x4a)};
    const QColor Bottoms[] = {QColor(0xa8, 0xc8, 0xe8), QColor(0xe8, 0xb0, 0x6a), QColor(0x9a, 0xd8, 0x8a)};
    const QString Texts[] = {QStringLiteral("New dungeon: The Sunken Vault"), QStringLiteral("Double XP weekend"),
                             QStringLiteral("Patch notes 1.4")};
    std::vector<shared::THint> Hints;
    for (int Index = 0; Index < Categories.size(); ++Index) {
        const QString Path = QStringLiteral("/hint%1.png").arg(Index);
        Server.setBody(Path, hintPicture(580, 160, Tops[Index % 3], Bottoms[Index % 3]), "image/png");
        Hints.push_back(
            makeHint(Categories[Index], Texts[Index % 3], Server.url(Path), QStringLiteral("https://torvane.example/news/%1").arg(Index)));
    }
    return Hints;
}

inline void deliverDeferredDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace testsupport
