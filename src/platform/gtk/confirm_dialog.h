#pragma once

#include <functional>
#include <string>

namespace nerix::platform {

class Window;

// What a confirm dialog asks: the question, a sentence of what going on does, and the label of
// the button that goes on ("_Stop and Quit"), which is styled as one that destroys something.
struct Confirmation {
    std::string question;
    std::string detail;
    std::string confirmLabel;
};

// Asks, in a modal dialog over `window`, whether to go on; `confirmed` runs only if the user
// chose to, never for Cancel, Escape or a dialog closed with its window. It may close the window.
void askToConfirm(Window& window, const Confirmation& asked, std::function<void()> confirmed);

}  // namespace nerix::platform
