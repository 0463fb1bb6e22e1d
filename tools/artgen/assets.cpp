#include "artgen.h"

namespace artgen {

std::vector<TAsset> buildAllAssets()
{
    std::vector<TAsset> A;
    A.push_back({QStringLiteral("BackgroundImage.jpg"), drawBackground(), QStringLiteral("window background")});
    A.push_back({QStringLiteral("LauncherLogo_QT.png"), drawLauncherLogo(false), QStringLiteral("start-up splash")});
    A.push_back({QStringLiteral("LauncherLogo_UpdatingLauncher.png"), drawLauncherLogo(true), QStringLiteral("self-update splash")});
    for (const char* pVariant : {"QT", "Classic", "Preview", "Beta", "Test"}) {
        const QString V = QString::fromLatin1(pVariant);
        A.push_back({QStringLiteral("TorvaneLogo_%1.png").arg(V), drawGameLogo(V, false), QStringLiteral("installed")});
        A.push_back({QStringLiteral("TorvaneLogo_%1_disabled.png").arg(V), drawGameLogo(V, true), QStringLiteral("not installed")});
    }
    const std::pair<EButtonState, const char*> States[] = {
        {EButtonState::Idle, "idle"}, {EButtonState::Hover, "hover"}, {EButtonState::Pressed, "pressed"}};
    for (const char* pColour : {"Blue", "Orange", "Red", "Green"}) {
        for (const auto& St : States)
            A.push_back({QStringLiteral("Button_%1_%2.png").arg(QLatin1String(pColour), QLatin1String(St.second)),
                         drawButton(QString::fromLatin1(pColour), St.first), QStringLiteral("9-slice 4")});
    }
    A.push_back({QStringLiteral("Icon_Download.png"), drawIconDownload(), QStringLiteral("button icon")});
    A.push_back({QStringLiteral("Icon_Update.png"), drawIconUpdate(), QStringLiteral("button icon")});
    A.push_back({QStringLiteral("Icon_Play.png"), drawIconPlay(), QStringLiteral("button icon")});
    A.push_back({QStringLiteral("checkbox-unchecked.png"), drawCheckbox(false), QStringLiteral("indicator")});
    A.push_back({QStringLiteral("checkbox-checked.png"), drawCheckbox(true), QStringLiteral("indicator")});
    A.push_back({QStringLiteral("ProgressBar_BG.png"), drawProgressBackground(), QStringLiteral("stretched")});
    A.push_back({QStringLiteral("ProgressBar.png"), drawProgressChunk(), QStringLiteral("stretched")});
    A.push_back({QStringLiteral("scrollbar-texture-vertical.png"), drawScrollTexture(), QStringLiteral("tiled")});
    A.push_back({QStringLiteral("scrollbar-handle-vertical.png"), drawScrollHandle(), QStringLiteral("9-slice 6")});
    A.push_back({QStringLiteral("scrollbar-buttonup-up.png"), drawScrollArrow(true, false), QString()});
    A.push_back({QStringLiteral("scrollbar-buttonup-down.png"), drawScrollArrow(true, true), QString()});
    A.push_back({QStringLiteral("scrollbar-buttondown-up.png"), drawScrollArrow(false, false), QString()});
    A.push_back({QStringLiteral("scrollbar-buttondown-down.png"), drawScrollArrow(false, true), QString()});
    A.push_back({QStringLiteral("hint-background.png"), drawHintBackground(), QStringLiteral("9-slice 5 5 0 5")});
    A.push_back({QStringLiteral("clientpackage-background.png"), drawPackageBackground(), QStringLiteral("9-slice 16")});
    A.push_back({QStringLiteral("icircle.png"), drawInfoIcon(), QStringLiteral("about link")});
    A.push_back({QStringLiteral("Twitter.png"), drawBirdIcon(), QStringLiteral("social link")});
    A.push_back({QStringLiteral("Discord.png"), drawChatIcon(), QStringLiteral("social link")});
    A.push_back({QStringLiteral("HalvernLogo.png"), drawMakerLogo(), QStringLiteral("maker link")});
    A.push_back({QStringLiteral("LauncherIcon.png"), drawAppIcon(), QStringLiteral("desktop icon")});
    return A;
}

} // namespace artgen
