#pragma once
// Startup options of veldra-engine.
//
//   --help             print the options and exit
//   --version          print the version ("veldra-engine 0.1.0") and exit
//   --share NAME       serve as the shared session NAME (1-64 ASCII letters,
//                      digits, '_' or '-') that clients of this user can attach to
//   --threads N        threads the numerics may use, N >= 1 (default: one per core)
//   --plugin PATH      load engine functions from the shared library PATH
//                      (may be given several times)
//   --connection-fd FD internal: the private connection of the client that
//                      launched the engine; the engine reports to it and exits
//                      when it closes
// Anything else, a repeated option (but --plugin) or a malformed value is an
// error.
#include <stdexcept>
#include <string>
#include <vector>

namespace veldra::engine {

struct Options {
    bool help = false;
    bool version = false;
    std::string share;     // empty: not shared
    unsigned threads = 0;  // 0: not given
    std::vector<std::string> plugins;
    int connection_fd = -1;  // -1: started by hand
};

class OptionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

Options parse_options(int argc, char** argv);
// The connection descriptor alone, found even when the rest is malformed so
// that the failure can be reported over it; -1 when absent or unusable.
int find_connection_fd(int argc, char** argv);
std::string help_text();

}  // namespace veldra::engine
