#pragma once
// Function calls in the engine: one evaluation thread runs the calls of all
// clients, one at a time, in the order they arrived.
#include <cstdint>

namespace veldra::engine {

// Registers the call and cancel handlers and starts the evaluation thread;
// before any connection starts.
void start_calls();
// The key of the engine's object session (sent in Ready).
std::uint64_t object_session_key();

class Connection;
// A client went: the object references it held are released.
void client_gone(const Connection& conn);

}  // namespace veldra::engine
