#pragma once

class QGroupBox;

namespace WindowLook {
// Draws the group box's caption inside its top border line, as classic desktop frames do, instead of above the
// frame. The windows place their controls in absolute pixels from the frame's top edge, and with the caption above
// the line the first row of controls would sit across the border.
void classicGroupBox(QGroupBox* box);
} // namespace WindowLook
