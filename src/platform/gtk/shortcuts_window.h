#pragma once

namespace nerix::platform {

class Window;

// Shows the Keyboard Shortcuts window over `window`, as its help overlay: made when first asked
// for, so that it costs the launch nothing, and gone with the window.
void presentShortcuts(Window& window);

}  // namespace nerix::platform
