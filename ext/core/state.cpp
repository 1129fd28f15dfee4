#include <core/state.hpp>

namespace veldra {

ModuleState& state() {
    static ModuleState s;
    return s;
}

}  // namespace veldra
