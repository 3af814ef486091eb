// Keeps a top-level window reachable: a window larger than the screen, or
// placed where no screen shows it, is brought back.
#pragma once

class QWidget;

namespace plat {

// A window wider or taller than the available area of its screen is shrunk
// to it (not below its minimum size) and centred; one whose rectangle meets
// no screen is centred on the primary screen. Anything else stays.
void KeepOnScreen(QWidget* window);

}  // namespace plat
