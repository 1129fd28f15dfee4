#include "options.hpp"

#include <veldra/protocol/session.hpp>

#include <boost/program_options.hpp>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sstream>

namespace po = boost::program_options;

namespace veldra::engine {

namespace {

constexpr unsigned kMaxThreads = 4096;

po::options_description describe() {
    po::options_description d("veldra-engine options");
    d.add_options()("help", "print this help and exit")("version", "print the engine's version and exit")(
        "share", po::value<std::string>()->value_name("NAME"),
        "serve as the shared session NAME (1-64 ASCII letters, digits, '_' or '-'); "
        "clients of the same user attach to it by name.  Started by hand, the engine "
        "runs until SIGTERM, or SIGINT while no call runs")(
        "threads", po::value<std::string>()->value_name("N"),
        "threads the numerics may use, a whole number N >= 1 (default: one per core)")(
        "plugin", po::value<std::vector<std::string>>()->value_name("PATH")->composing(),
        "load engine functions from the shared library PATH (see include/veldra/engine_plugin.hpp); "
        "may be given several times")("connection-fd", po::value<std::string>()->value_name("FD"),
                                      "internal: descriptor of the private connection to the client that launched "
                                      "the engine; the engine exits when it closes");
    return d;
}

bool parse_uint(const std::string& s, unsigned long& out) {
    if (s.empty() || s.size() > 9) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    out = std::strtoul(s.c_str(), nullptr, 10);
    return true;
}

}  // namespace

std::string help_text() {
    std::ostringstream os;
    os << "Usage: veldra-engine [--share NAME] [--threads N] [--plugin PATH]... | --help | --version\n\n"
          "The numerical engine.  Clients normally launch it themselves; start it by\n"
          "hand with --share to make a session that several clients can attach to.\n\n"
       << describe();
    return os.str();
}

int find_connection_fd(int argc, char** argv) {
    const std::string key = "--connection-fd";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        std::string value;
        if (a == key && i + 1 < argc) value = argv[i + 1];
        else if (a.compare(0, key.size() + 1, key + "=") == 0) value = a.substr(key.size() + 1);
        else continue;
        unsigned long fd;
        if (parse_uint(value, fd) && fd >= 3 && fd <= INT_MAX) return static_cast<int>(fd);
        return -1;
    }
    return -1;
}

Options parse_options(int argc, char** argv) {
    po::variables_map vm;
    try {
        // No abbreviations: a misspelt option must fail, not guess.
        po::positional_options_description none;
        auto style = po::command_line_style::default_style & ~po::command_line_style::allow_guessing;
        po::store(po::command_line_parser(argc, argv).options(describe()).positional(none).style(style).run(), vm);
        po::notify(vm);
    } catch (const po::too_many_positional_options_error&) {
        // Name the stray argument, skipping the values of options.
        for (int i = 1; i < argc; ++i) {
            std::string a = argv[i];
            if (a == "--share" || a == "--threads" || a == "--plugin" || a == "--connection-fd") {
                ++i;
            } else if (a.empty() || a[0] != '-') {
                throw OptionError("unexpected argument '" + a + "': options start with '--'");
            }
        }
        throw OptionError("unexpected argument: options start with '--'");
    } catch (const po::error& e) {
        throw OptionError(e.what());
    }

    Options o;
    o.help = vm.count("help") > 0;
    o.version = vm.count("version") > 0;
    if (vm.count("share")) {
        o.share = vm["share"].as<std::string>();
        if (!protocol::is_valid_session_name(o.share))
            throw OptionError("invalid value '" + o.share +
                              "' for option '--share': a session name is 1 to 64 ASCII letters, digits, '_' or '-'");
    }
    if (vm.count("threads")) {
        const std::string& v = vm["threads"].as<std::string>();
        unsigned long n;
        if (!parse_uint(v, n) || n < 1 || n > kMaxThreads)
            throw OptionError("invalid value '" + v + "' for option '--threads': expected a whole number from 1 to " +
                              std::to_string(kMaxThreads));
        o.threads = static_cast<unsigned>(n);
    }
    if (vm.count("plugin")) o.plugins = vm["plugin"].as<std::vector<std::string>>();
    if (vm.count("connection-fd")) {
        const std::string& v = vm["connection-fd"].as<std::string>();
        unsigned long fd;
        if (!parse_uint(v, fd) || fd < 3 || fd > INT_MAX)
            throw OptionError("invalid value '" + v +
                              "' for option '--connection-fd': expected a descriptor number >= 3");
        o.connection_fd = static_cast<int>(fd);
    }
    return o;
}

}  // namespace veldra::engine
