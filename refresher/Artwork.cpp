#include "Artwork.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be used outside any namespace.
static void loadArtwork()
{
    // The pictures live in a static library, whose resource initializer the linker would otherwise drop.
    static const bool loaded = [] {
        Q_INIT_RESOURCE(pagewell_artwork);
        return true;
    }();
    Q_UNUSED(loaded);
}

QPixmap Artwork::windowIcon()
{
    loadArtwork();
    return QPixmap(QStringLiteral(":/pagewell/window-icon.png"));
}

QPixmap Artwork::banner()
{
    loadArtwork();
    return QPixmap(QStringLiteral(":/pagewell/banner.png"));
}

QPixmap Artwork::aboutIcon()
{
    loadArtwork();
    return QPixmap(QStringLiteral(":/pagewell/about-icon.png"));
}
