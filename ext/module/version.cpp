// The version and build date the installed library carries, for tools that
// inspect it; the module never reads them.
#include <module/module_name.hpp>

#include <cstddef>

namespace {

// The compiler's build date with its day padding removed: "Dec 8 2026".
struct BuildDate {
    char text[sizeof(__DATE__)]{};
    constexpr BuildDate() {
        const char* date = __DATE__;
        std::size_t j = 0;
        for (std::size_t i = 0; date[i] != '\0'; ++i) {
            if (date[i] == ' ' && j > 0 && text[j - 1] == ' ') continue;
            text[j++] = date[i];
        }
    }
};
constexpr BuildDate kBuildDate;

}  // namespace

extern "C" {
__attribute__((visibility("default"))) extern const char* const VELDRA_PASTE(VELDRA_MODULE_NAME, _version);
__attribute__((visibility("default"))) extern const char* const VELDRA_PASTE(VELDRA_MODULE_NAME, _build_date);
}
const char* const VELDRA_PASTE(VELDRA_MODULE_NAME, _version) = VELDRA_PRODUCT_VERSION;
const char* const VELDRA_PASTE(VELDRA_MODULE_NAME, _build_date) = kBuildDate.text;
