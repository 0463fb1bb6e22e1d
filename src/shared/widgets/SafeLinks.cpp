#include "SafeLinks.h"

#include <QDebug>
#include <QDesktopServices>
#include <QTextDocument>

namespace shared {

namespace {

bool openWithDesktop(const QUrl& Url)
{
    return QDesktopServices::openUrl(Url);
}

TUrlOpener g_pUrlOpener = &openWithDesktop;

// A document that loads nothing: <img>, <link rel="stylesheet"> and the like stay empty.
class TInertTextDocument : public QTextDocument {
protected:
    QVariant loadResource(int, const QUrl&) override { return QVariant(); }
};

} // namespace

bool isWebUrl(const QUrl& Url)
{
    const QString Scheme = Url.scheme().toLower();
    return Url.isValid() && (Scheme == QLatin1String("http") || Scheme == QLatin1String("https")) && !Url.host().isEmpty();
}

bool openWebLink(const QUrl& Url)
{
    if (!isWebUrl(Url)) {
        qWarning() << "Refusing to open a link that is no http or https address:" << Url.toString().left(200);
        return false;
    }
    return g_pUrlOpener(Url);
}

TUrlOpener setUrlOpener(TUrlOpener Opener)
{
    const TUrlOpener Previous = g_pUrlOpener;
    g_pUrlOpener = Opener ? Opener : &openWithDesktop;
    return Previous;
}

QString plainTextOfRichText(const QString& RichText)
{
    TInertTextDocument Document;
    Document.setHtml(RichText);
    // images stand in the text as object replacement characters: they are not shown
    return Document.toPlainText().remove(QChar::ObjectReplacementCharacter).simplified();
}

} // namespace shared
