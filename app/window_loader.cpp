#include "app/window_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

namespace korvel::app {

namespace {

bool set(const char* variable)
{
    const char* value = std::getenv(variable);
    return value && *value;
}

// The folder of the running executable, with a trailing '/', or "".
std::string executable_folder()
{
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return {};
    const std::string_view exe(path, static_cast<std::size_t>(n));
    const std::size_t slash = exe.rfind('/');
    return slash == std::string_view::npos ? std::string() : std::string(exe.substr(0, slash + 1));
}

} // namespace

std::string missing_display(const QStringList& args)
{
    if (set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM"))
        return {};
    for (const QString& arg : args)
        if (arg == "-platform" || arg == "--platform" || arg.startsWith("-platform=") ||
            arg.startsWith("--platform="))
            return {};
    return "no display (DISPLAY and WAYLAND_DISPLAY are not set)";
}

const WindowModule* load_window_module(std::string* why)
{
    const std::string folder = executable_folder();
    const std::string candidates[] = {folder + KORVEL_WINDOW_MODULE_NAME,
                                      folder + KORVEL_WINDOW_MODULE_FROM_BINDIR};
    std::string error;
    for (const std::string& path : candidates) {
        if (::access(path.c_str(), F_OK) != 0)
            continue;
        // Never unloaded: the window's code runs until the program ends.
        void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char* e = ::dlerror();
            error = e ? e : path + ": cannot be loaded";
            continue;
        }
        auto entry = reinterpret_cast<WindowModuleEntry>(::dlsym(handle, window_module_entry_name));
        if (!entry) {
            error = path + " has no entry point " + window_module_entry_name;
            continue;
        }
        return entry();
    }
    *why = error.empty() ? "the window module " + std::string(KORVEL_WINDOW_MODULE_NAME) +
                               " is neither beside the program nor in " +
                               folder + KORVEL_WINDOW_MODULE_FROM_BINDIR
                         : error;
    return nullptr;
}

} // namespace korvel::app
