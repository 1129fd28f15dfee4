// Loading engine plug-ins: the example plug-in, and the loader's failures.
#include "plugins/loader.hpp"
#include "test_numerics_support.hpp"

#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace {

using namespace numtest;
using veldra::engine::FunctionRegistry;
using veldra::engine::loadPlugin;

class Plugins : public NumTest {
protected:
    std::string failureOfLoad(const std::string& path, FunctionRegistry& reg) {
        return failureOf([&] { loadPlugin(path, reg); });
    }
    static veldra::engine::Results nothing(veldra::engine::CallContext&, int, const veldra::engine::Args&) {
        return {};
    }
};

TEST_F(Plugins, LoadsAndCallsTheExample) {
    FunctionRegistry reg;
    const std::vector<std::string> names = loadPlugin(VELDRA_TEST_PLUGIN, reg);
    EXPECT_EQ(names, (std::vector<std::string>{"plugin_hello", "plugin_version"}));
    Array who = fntest::str("Ann");
    Results r = reg.call(ctx(), "plugin_hello", 1, Args{who.get()});
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(matrix::get_string(r[0].get()), "Hello, Ann!");
    r = reg.call(ctx(), "plugin_version", 1, Args{});
    EXPECT_EQ(re(r[0].get()), (std::vector<double>{1}));
    // Its own failures reach the caller as failures.
    Array num = row({1});
    EXPECT_EQ(failureOf([&] { reg.call(ctx(), "plugin_hello", 1, Args{num.get()}); }),
              "veldra:plugin_hello:wrongClass");
    // Help comes along with the functions that declare it; one without help loads all the same.
    const veldra::engine::FunctionHelp* help = reg.help("plugin_hello");
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(help->arguments, "name?");
    EXPECT_NE(help->text.find("Hello"), std::string::npos);
    EXPECT_EQ(reg.help("plugin_version"), nullptr);
}

TEST_F(Plugins, EveryBuiltinHasHelp) {
    const FunctionRegistry& reg = FunctionRegistry::builtin();
    for (const std::string& name : reg.names()) {
        const veldra::engine::FunctionHelp* help = reg.help(name);
        ASSERT_NE(help, nullptr) << name << " has no help text";
        EXPECT_FALSE(help->text.empty()) << name;
    }
}

TEST_F(Plugins, LoaderFailures) {
    FunctionRegistry reg;
    EXPECT_EQ(failureOfLoad("/nonexistent/libnothing.so", reg), "veldra:plugin:notFound");

    // Not a shared library at all.
    char dir[] = "/tmp/veldra-plugin-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string junk = std::string(dir) + "/libjunk.so";
    std::ofstream(junk) << "not a library";
    EXPECT_EQ(failureOfLoad(junk, reg), "veldra:plugin:notPlugin");
    std::remove(junk.c_str());
    rmdir(dir);

    // A shared library without the entry point.
    const char* plain = "/lib/x86_64-linux-gnu/libm.so.6";
    if (access(plain, R_OK) == 0) {
        EXPECT_EQ(failureOfLoad(plain, reg), "veldra:plugin:notPlugin");
    }
    EXPECT_TRUE(reg.names().empty());
}

TEST_F(Plugins, TakenNameRollsBackTheWholePlugin) {
    FunctionRegistry reg;
    ASSERT_TRUE(reg.add("plugin_version", nothing, 0));
    EXPECT_EQ(failureOfLoad(VELDRA_TEST_PLUGIN, reg), "veldra:plugin:nameTaken");
    EXPECT_EQ(reg.names(), (std::vector<std::string>{"plugin_version"}));  // plugin_hello not added

    // Loading twice into one registry clashes with itself.
    FunctionRegistry fresh;
    loadPlugin(VELDRA_TEST_PLUGIN, fresh);
    EXPECT_EQ(failureOfLoad(VELDRA_TEST_PLUGIN, fresh), "veldra:plugin:nameTaken");
    EXPECT_EQ(fresh.names().size(), 2u);
}

}  // namespace
