#pragma once
// What the module takes from the engine client: the session operations
// (createProcess ... terminateOutOfProcessVELDRA), the call operations
// (evaluateFunction ... waitFEval) and the exceptions they throw.
#include <engine_api/engine_api.hpp>
