// vantorel: the desktop window for the Nerix tool chain. Takes no arguments; its configuration
// is the Info.plist of its bundle (see app/bundle.h).
#include "app/app_delegate.h"
#include "app/bundle.h"
#include "platform/gtk/application.h"

namespace {
// Held for the life of the process and never destroyed; only its bridge is stopped on the way
// out, so that no tool outlives the application.
nerix::AppDelegate* theDelegate = nullptr;
}  // namespace

int main() {
    nerix::platform::Application app;
    theDelegate = new nerix::AppDelegate(app, nerix::resourceFolder());
    app.setDelegate(*theDelegate);
    int status = app.run();
    theDelegate->applicationWillTerminate();
    return status;
}
