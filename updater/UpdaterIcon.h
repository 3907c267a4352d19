#pragma once

#include <QIcon>

// The updater window's own 32 x 32 icon, drawn rather than shipped: a downward arrow into a tray.
namespace UpdaterIcon {
QIcon make();
} // namespace UpdaterIcon
