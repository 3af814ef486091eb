// Keeps a top-level window reachable: a window larger than the screen, or
// placed where no screen shows its top edge, is brought back.
#pragma once

#include <cstdint>

class QWidget;

namespace plat {

// Gives the window the place and size asked for, taking any numbers an int
// holds without wrapping round, then keeps it reachable: a size below the
// window's minimum grows to it, above its maximum shrinks to it. A window
// wider or taller than the available area of its screen (the one that
// shows most of it) is shrunk to it and centred. A window whose top edge
// lies on no screen (its title bar and menu bar hidden) is centred on the
// screen that shows most of it, else on the primary screen. Anything else
// stays where it was asked to be.
void PlaceOnScreen(QWidget* window, std::int64_t left, std::int64_t top, int width, int height);

// The same for the place and size the window has now.
void KeepOnScreen(QWidget* window);

}  // namespace plat
