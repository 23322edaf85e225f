#pragma once

namespace nerix {

// The size of the whole window (header bar included) as it is when neither maximized nor full
// screen, and whether it is either. A width of 0: never saved, the first launch's size.
struct WindowPlacement {
    int width = 0;
    int height = 0;
    bool maximized = false;
    bool fullScreen = false;

    bool operator==(const WindowPlacement&) const = default;
};

}  // namespace nerix
