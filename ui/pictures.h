// The window's two pictures, drawn in code so that every run shows the same
// pixels: the background of the client area and the window icon.
#pragma once

#include <QImage>

namespace korvel::ui {

constexpr int background_width = 703;
constexpr int background_height = 545;
// The golden band along the left edge ends here; its dark edge line is the
// last two columns before it.
constexpr int band_width = 122;

// A golden-yellow textured band along the left edge with a dark line on its
// right, and a textured steel-blue field that lightens towards the lower
// right. Drawn unscaled from the client area's top-left corner.
QImage background_picture();

// 32 x 32, 16 colours, transparent background: a teal pocket calculator in
// front of a white ruled sheet, a yellow pencil across the sheet's lower
// right.
QImage window_icon_picture();

} // namespace korvel::ui
