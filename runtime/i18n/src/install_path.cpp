#include <fl/filesystem/install_path.hpp>
#include <fl/i18n/convert.hpp>

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <string>

namespace fl::filesystem {

fl::ustring get_install_path() {
    // The object this function is linked into is the installation: the
    // Python module in the package folder, or the engine executable.
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&get_install_path), &info) == 0 || info.dli_fname == nullptr)
        return fl::ustring();
    char resolved[PATH_MAX];
    std::string path = realpath(info.dli_fname, resolved) ? resolved : info.dli_fname;
    const auto slash = path.rfind('/');
    path = slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
    return fl::i18n::to_ustring(path);
}

}  // namespace fl::filesystem
