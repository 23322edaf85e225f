#pragma once

#include <string>
#include <vector>

namespace nerix::platform {

class Window;

// What the About window says.
struct AboutText {
    std::string name;
    std::string version;
    std::string copyright;
    std::string comments;
    std::string website;               // none when empty
    std::vector<std::string> credits;  // the libraries it stands on
};

// Shows the About window, modal over `window` and gone with it; MIT licensed, with the
// application's icon and the credits under "Built with".
void presentAbout(Window& window, const AboutText& about);

}  // namespace nerix::platform
