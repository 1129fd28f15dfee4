// The registry's calling convention, and argument checking across functions.
#include "test_functions_support.hpp"

#include <algorithm>
#include <cmath>

namespace {

using namespace fntest;
using veldra::engine::ExecutionFailure;
using veldra::engine::FunctionRegistry;
using veldra::engine::kAnyResults;

class RegistryTest : public FnTest {};

TEST_F(RegistryTest, EveryBuiltinIsRegistered) {
    const char* expected[] = {"identity",     "class_of",       "dims",    "is_complex", "is_sparse", "reshape",
                              "tile",         "cast",           "complex", "sparse",     "cell_new",  "handle_of",
                              "opaque_value", "untransferable", "print",   "warn",       "sleep",     "fail",
                              "print_fail",   "cell_of",        "calc",    "assign",     "fetch",     "clear",
                              "exists",       "names",          "map_new", "map_set",    "map_get",   "map_count",
                              "objects",      "object_delete"};
    const auto names = FunctionRegistry::builtin().names();
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    for (const char* name : expected) EXPECT_NE(FunctionRegistry::builtin().find(name), nullptr) << name;
}

TEST_F(RegistryTest, UnknownFunctionIsNamed) {
    try {
        call("no_such_function", 1, {});
        FAIL() << "no failure";
    } catch (const ExecutionFailure& e) {
        EXPECT_EQ(e.identifier(), "veldra:engine:unknownFunction");
        EXPECT_NE(std::string(e.what()).find("no_such_function"), std::string::npos);
    }
}

TEST_F(RegistryTest, AddRefusesTakenNames) {
    FunctionRegistry r;
    auto fn = [](veldra::engine::CallContext&, int, const Args&) { return Results(); };
    EXPECT_TRUE(r.add("f", fn, 1));
    EXPECT_FALSE(r.add("f", fn, 2));
    EXPECT_EQ(r.find("f")->maxResults, 1);
    EXPECT_EQ(r.find("g"), nullptr);
}

// A private registry with functions giving fixed result counts.
class ResultCountTest : public FnTest {
protected:
    void SetUp() override {
        FnTest::SetUp();
        auto giving = [](std::size_t n) {
            return [n](veldra::engine::CallContext&, int, const Args&) {
                Results r;
                for (std::size_t i = 0; i < n; ++i) r.push_back(num(static_cast<double>(i)));
                return r;
            };
        };
        reg_.add("none", giving(2), 0);  // results of a no-result function are dropped
        reg_.add("two", giving(2), 2);
        reg_.add("short", giving(1), 3);
        reg_.add("many", giving(3), kAnyResults);
    }
    std::string outcome(const std::string& name, int nargout) {
        try {
            return std::to_string(reg_.call(ctx(), name, nargout, {}).size());
        } catch (const ExecutionFailure& e) {
            return e.identifier();
        }
    }
    FunctionRegistry reg_;
};

TEST_F(ResultCountTest, GivesWhatWasAsked) {
    struct Case {
        const char* name;
        int nargout;
        std::string expected;
    };
    const Case cases[] = {
        {"none", 0, "0"},
        {"none", 1, "0"},
        {"none", 5, "0"},
        {"two", 0, "1"},
        {"two", 1, "1"},
        {"two", 2, "2"},
        {"two", 3, "veldra:engine:tooManyOutputs"},
        {"short", 0, "1"},
        {"short", 1, "1"},
        {"short", 2, "veldra:engine:tooFewOutputs"},
        {"many", 0, "3"},
        {"many", 3, "3"},
        {"many", 4, "3"},  // as many as it has, whatever is asked
        {"two", -1, "veldra:engine:badOutputCount"},
    };
    for (const auto& c : cases) EXPECT_EQ(outcome(c.name, c.nargout), c.expected) << c.name << " " << c.nargout;
}

TEST_F(RegistryTest, IdentityGivesItsArgumentsShared) {
    // Large enough to keep its data in a block, which copies share.
    Array a = mat(1, 3, {1, 2, 3});
    Array b = str("x");
    for (int nargout : {0, 1, 2}) {
        Results r = call("identity", nargout, {a.get(), b.get()});
        ASSERT_EQ(r.size(), 2u);
        EXPECT_EQ(qxGetData(r[0].get()), qxGetData(a.get()));  // shared, not copied
        EXPECT_EQ(matrix::get_string(r[1].get()), "x");
    }
    for (int nargout : {0, 1, 3}) EXPECT_EQ(call("identity", nargout, {}).size(), 0u);
    EXPECT_EQ(call("identity", 3, {a.get()}).size(), 1u);
}

TEST_F(RegistryTest, NoResultFunctionsYieldNothing) {
    Array hello = str("hello");
    EXPECT_TRUE(call("print", 0, {hello.get()}).empty());
    EXPECT_TRUE(call("print", 2, {hello.get()}).empty());
    EXPECT_EQ(ctx().out_, "hello\nhello\n");
}

TEST_F(RegistryTest, MissingArgumentIsAFailure) {
    EXPECT_EQ(failureOfCall("identity", 1, {nullptr}), "veldra:engine:missingArgument");
}

TEST_F(RegistryTest, WrongArgumentsFailCleanly) {
    Array d = num(2);
    Array neg = num(-1);
    Array half = num(0.5);
    Array nan = num(std::nan(""));
    Array t = str("abc");
    Array cell(qxCreateCellMatrix(1, 1));
    Array cplx(qxCreateNumericMatrix(1, 1, qxDOUBLE_CLASS, qxCOMPLEX));
    Array col = mat(2, 1, {1, 2});
    Array m23 = mat(2, 3, {1, 2, 3, 4, 5, 6});
    Array i8 = num(1, qxINT8_CLASS);
    Array chars2(qxCreateCharArray(2, std::vector<qxSize>{2, 2}.data()));
    Array four = num(4), inf = num(HUGE_VAL);
    Array cellName = str("cell"), doubleName = str("double"), logicalName = str("logical");
    Array empty = str(""), nope = str("nope"), badName1 = str("1x"), badName2 = str("a b");
    struct Case {
        const char* name;
        std::vector<const qxArray*> args;
        const char* id;
    };
    const Case cases[] = {
        {"class_of", {}, "veldra:class_of:wrongArgumentCount"},
        {"class_of", {d.get(), d.get()}, "veldra:class_of:wrongArgumentCount"},
        {"dims", {}, "veldra:dims:wrongArgumentCount"},
        {"is_complex", {}, "veldra:is_complex:wrongArgumentCount"},
        {"reshape", {d.get(), d.get()}, "veldra:reshape:wrongArgumentCount"},
        {"reshape", {m23.get(), four.get(), d.get()}, "veldra:reshape:sizeMismatch"},
        {"reshape", {m23.get(), neg.get(), d.get()}, "veldra:reshape:badValue"},
        {"reshape", {m23.get(), half.get(), d.get()}, "veldra:reshape:badValue"},
        {"reshape", {m23.get(), t.get(), d.get()}, "veldra:reshape:wrongClass"},
        {"reshape", {m23.get(), cplx.get(), d.get()}, "veldra:reshape:wrongClass"},
        {"tile", {d.get(), d.get()}, "veldra:tile:wrongArgumentCount"},
        {"tile", {d.get(), nan.get(), d.get()}, "veldra:tile:badValue"},
        {"tile", {d.get(), d.get(), col.get()}, "veldra:tile:wrongClass"},
        {"cast", {d.get(), t.get()}, "veldra:cast:badClass"},
        {"cast", {d.get(), cellName.get()}, "veldra:cast:badClass"},
        {"cast", {t.get(), doubleName.get()}, "veldra:cast:wrongClass"},
        {"cast", {cell.get(), doubleName.get()}, "veldra:cast:wrongClass"},
        {"cast", {d.get(), d.get()}, "veldra:cast:wrongClass"},
        {"cast", {nan.get(), logicalName.get()}, "veldra:cast:nanToLogical"},
        {"cast", {cplx.get(), logicalName.get()}, "veldra:cast:complexToLogical"},
        {"complex", {d.get()}, "veldra:complex:wrongArgumentCount"},
        {"complex", {t.get(), d.get()}, "veldra:complex:wrongClass"},
        {"complex", {cplx.get(), d.get()}, "veldra:complex:wrongClass"},
        {"complex", {col.get(), m23.get()}, "veldra:complex:sizeMismatch"},
        {"complex", {d.get(), col.get()}, "veldra:complex:sizeMismatch"},
        {"sparse", {i8.get()}, "veldra:sparse:wrongClass"},
        {"sparse", {cplx.get()}, "veldra:sparse:wrongClass"},
        {"cell_new", {d.get()}, "veldra:cell_new:wrongArgumentCount"},
        {"cell_new", {neg.get(), d.get()}, "veldra:cell_new:badValue"},
        {"handle_of", {d.get()}, "veldra:handle_of:wrongClass"},
        {"handle_of", {empty.get()}, "veldra:handle_of:badValue"},
        {"opaque_value", {d.get()}, "veldra:opaque_value:wrongArgumentCount"},
        {"print", {d.get()}, "veldra:print:wrongClass"},
        {"print", {chars2.get()}, "veldra:print:wrongClass"},
        {"warn", {}, "veldra:warn:wrongArgumentCount"},
        {"sleep", {neg.get()}, "veldra:sleep:badValue"},
        {"sleep", {t.get()}, "veldra:sleep:wrongClass"},
        {"sleep", {inf.get()}, "veldra:sleep:badValue"},
        {"fail", {}, "veldra:fail:wrongArgumentCount"},
        {"fail", {d.get()}, "veldra:fail:wrongClass"},
        {"print_fail", {t.get()}, "veldra:print_fail:wrongArgumentCount"},
        {"cell_of", {}, "veldra:cell_of:wrongArgumentCount"},
        {"cell_of", {nope.get()}, "veldra:engine:unknownFunction"},
        {"calc", {d.get()}, "veldra:calc:wrongClass"},
        {"assign", {t.get()}, "veldra:assign:wrongArgumentCount"},
        {"assign", {badName1.get(), d.get()}, "veldra:assign:invalidName"},
        {"assign", {badName2.get(), d.get()}, "veldra:assign:invalidName"},
        {"fetch", {d.get()}, "veldra:fetch:wrongClass"},
        {"clear", {t.get(), t.get()}, "veldra:clear:wrongArgumentCount"},
        {"exists", {}, "veldra:exists:wrongArgumentCount"},
        {"names", {t.get()}, "veldra:names:wrongArgumentCount"},
        {"map_new", {d.get()}, "veldra:map_new:wrongArgumentCount"},
        {"map_set", {d.get(), t.get(), d.get()}, "veldra:engine:notAReference"},
        {"map_get", {t.get(), t.get()}, "veldra:engine:notAReference"},
        {"map_count", {cell.get()}, "veldra:engine:notAReference"},
        {"objects", {d.get(), half.get()}, "veldra:objects:badValue"},
        {"object_delete", {d.get()}, "veldra:engine:notAReference"},
    };
    for (const auto& c : cases) {
        const std::string got = failureOf([&] { FunctionRegistry::builtin().call(ctx(), c.name, 1, Args(c.args)); });
        EXPECT_EQ(got, c.id) << c.name << " with " << c.args.size() << " arguments";
    }
}

}  // namespace
