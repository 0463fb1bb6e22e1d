#pragma once

#include <QString>
#include <QUrl>

namespace shared {

// Links and texts that come from downloaded documents (hints, package entries) are
// untrusted: only web pages may be opened, and their texts are shown, never interpreted.

// True for an absolute http or https URL with a host.
bool isWebUrl(const QUrl& Url);

// Opens Url with the desktop's URL handler when it is a web URL; anything else (file:,
// javascript:, custom schemes) is refused and logged. Returns whether it was handed on.
bool openWebLink(const QUrl& Url);

// What openWebLink hands a web URL to; the desktop's handler unless replaced. Returns the
// previous opener (tests install one that records the URL instead).
using TUrlOpener = bool (*)(const QUrl& Url);
TUrlOpener setUrlOpener(TUrlOpener Opener);

// The visible text of a rich text, for showing it as plain text. Nothing the text refers
// to (images, style sheets) is loaded while it is read.
QString plainTextOfRichText(const QString& RichText);

} // namespace shared
