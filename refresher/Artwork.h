#pragma once

#include <QPixmap>

// The pictures built into the program.
namespace Artwork {
QPixmap windowIcon(); // 32 x 32, the main window's and the program's icon
QPixmap banner();     // 120 x 100, shown stretched by the main window's banner
QPixmap aboutIcon();  // 32 x 32, shown in the About window
} // namespace Artwork
