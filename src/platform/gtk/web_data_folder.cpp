#include "platform/gtk/web_data_folder.h"

#include <glib.h>

namespace nerix::platform {

std::filesystem::path webDataFolder() {
    // GApplication names the program after its file before launch completion runs; WebKit falls
    // back to "webkitgtk" without a name.
    const char* program = g_get_prgname();
    return std::filesystem::path(g_get_user_data_dir()) / (program && *program ? program : "webkitgtk");
}

}  // namespace nerix::platform
