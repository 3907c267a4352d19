#pragma once

class QWidget;

namespace WindowPlacement {
// Moves a top-level window so that it sits in the middle of the available area of its screen.
void centreOnScreen(QWidget* window);
} // namespace WindowPlacement
