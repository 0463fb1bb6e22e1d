#include "artgen.h"

namespace artgen {

std::vector<Asset> buildAllAssets()
{
    std::vector<Asset> a;
    a.push_back({QStringLiteral("BackgroundImage.jpg"), drawBackground(), QStringLiteral("window background")});
    a.push_back({QStringLiteral("LauncherLogo_QT.png"), drawLauncherLogo(false), QStringLiteral("start-up splash")});
    a.push_back({QStringLiteral("LauncherLogo_UpdatingLauncher.png"), drawLauncherLogo(true),
                 QStringLiteral("self-update splash")});
    for (const char* variant : {"QT", "Classic", "Preview", "Beta", "Test"}) {
        const QString v = QString::fromLatin1(variant);
        a.push_back({QStringLiteral("TorvaneLogo_%1.png").arg(v), drawGameLogo(v, false),
                     QStringLiteral("installed")});
        a.push_back({QStringLiteral("TorvaneLogo_%1_disabled.png").arg(v), drawGameLogo(v, true),
                     QStringLiteral("not installed")});
    }
    const std::pair<ButtonState, const char*> states[] = {
        {ButtonState::Idle, "idle"}, {ButtonState::Hover, "hover"}, {ButtonState::Pressed, "pressed"}};
    for (const char* colour : {"Blue", "Orange", "Red", "Green"}) {
        for (const auto& st : states)
            a.push_back({QStringLiteral("Button_%1_%2.png").arg(QLatin1String(colour), QLatin1String(st.second)),
                         drawButton(QString::fromLatin1(colour), st.first), QStringLiteral("9-slice 4")});
    }
    a.push_back({QStringLiteral("Icon_Download.png"), drawIconDownload(), QStringLiteral("button icon")});
    a.push_back({QStringLiteral("Icon_Update.png"), drawIconUpdate(), QStringLiteral("button icon")});
    a.push_back({QStringLiteral("Icon_Play.png"), drawIconPlay(), QStringLiteral("button icon")});
    a.push_back({QStringLiteral("checkbox-unchecked.png"), drawCheckbox(false), QStringLiteral("indicator")});
    a.push_back({QStringLiteral("checkbox-checked.png"), drawCheckbox(true), QStringLiteral("indicator")});
    a.push_back({QStringLiteral("ProgressBar_BG.png"), drawProgressBackground(), QStringLiteral("stretched")});
    a.push_back({QStringLiteral("ProgressBar.png"), drawProgressChunk(), QStringLiteral("stretched")});
    a.push_back({QStringLiteral("scrollbar-texture-vertical.png"), drawScrollTexture(), QStringLiteral("tiled")});
    a.push_back({QStringLiteral("scrollbar-handle-vertical.png"), drawScrollHandle(), QStringLiteral("9-slice 6")});
    a.push_back({QStringLiteral("scrollbar-buttonup-up.png"), drawScrollArrow(true, false), QString()});
    a.push_back({QStringLiteral("scrollbar-buttonup-down.png"), drawScrollArrow(true, true), QString()});
    a.push_back({QStringLiteral("scrollbar-buttondown-up.png"), drawScrollArrow(false, false), QString()});
    a.push_back({QStringLiteral("scrollbar-buttondown-down.png"), drawScrollArrow(false, true), QString()});
    a.push_back({QStringLiteral("hint-background.png"), drawHintBackground(), QStringLiteral("9-slice 5 5 0 5")});
    a.push_back({QStringLiteral("clientpackage-background.png"), drawPackageBackground(),
                 QStringLiteral("9-slice 16")});
    a.push_back({QStringLiteral("icircle.png"), drawInfoIcon(), QStringLiteral("about link")});
    a.push_back({QStringLiteral("Twitter.png"), drawBirdIcon(), QStringLiteral("social link")});
    a.push_back({QStringLiteral("Discord.png"), drawChatIcon(), QStringLiteral("social link")});
    a.push_back({QStringLiteral("HalvernLogo.png"), drawMakerLogo(), QStringLiteral("maker link")});
    a.push_back({QStringLiteral("LauncherIcon.png"), drawAppIcon(), QStringLiteral("desktop icon")});
    return a;
}

}  // namespace artgen
