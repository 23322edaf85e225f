// vantorel: the desktop window for the Nerix tool chain. Its settings are the Info.plist of its
// bundle (see app/bundle.h), the user's settings.ini and the options --node, --repo-root and --web
// (see app/settings.h); the command line also takes --version, --help and --inspect.
#include "app/app_delegate.h"
#include "app/bundle.h"
#include "platform/gtk/application.h"

namespace {
// Held for the life of the process and never destroyed; only its bridge is stopped on the way
// out, so that no tool outlives the application.
nerix::AppDelegate* theDelegate = nullptr;
}  // namespace

int main(int argc, char** argv) {
    nerix::platform::Application app("org.vantorel.Vantorel", "vantorel " VANTOREL_VERSION);
    theDelegate = new nerix::AppDelegate(app, nerix::resourceFolder());
    app.setDelegate(*theDelegate);
    int status = app.run(argc, argv);
    theDelegate->applicationWillTerminate();
    return status;
}
