// vantorel: the desktop window for the Nerix tool chain. Its settings are the Info.plist of its
// bundle (see app/bundle.h), the user's settings.ini and the options --node, --repo-root and --web
// (see app/settings.h); the command line also takes --version, --help and --inspect.
#include "app/app_delegate.h"
#include "app/bundle.h"
#include "platform/gtk/application.h"

int main(int argc, char** argv) {
    nerix::platform::Application app("org.vantorel.Vantorel", "vantorel " VANTOREL_VERSION);
    // Held for the life of the process and never destroyed: the window and the web view go with
    // the process, and the delegate's shutdown stops the bridge, so that no tool outlives it.
    auto* delegate = new nerix::AppDelegate(app, nerix::resourceFolder());
    app.setDelegate(*delegate);
    return app.run(argc, argv);
}
