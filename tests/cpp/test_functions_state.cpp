// Output, sleeping, failures, cell_of, the workspace and engine objects.
#include "test_functions_support.hpp"

#include <qx/block.hpp>
#include <qx/vdutil.hpp>

#include <chrono>
#include <thread>

namespace {

using namespace fntest;
using veldra::engine::ExecutionFailure;

class StateTest : public FnTest {};

TEST_F(StateTest, PrintAndWarnWriteLines) {
    Array a = str("héllo"), b = str("careful"), empty = str("");
    call("print", 0, {a.get()});
    call("warn", 0, {b.get()});
    call("print", 0, {empty.get()});
    EXPECT_EQ(ctx().out_, "héllo\n\n");
    EXPECT_EQ(ctx().err_, "careful\n");
}

TEST_F(StateTest, FailuresCarryMessageAndIdentifier) {
    Array msg = str("it broke"), id = str("my:own:id"), text = str("partial");
    struct Case {
        const char* fn;
        std::vector<const qxArray*> args;
        const char* identifier;
    };
    const Case cases[] = {
        {"fail", {msg.get()}, "veldra:fail"},
        {"fail", {msg.get(), id.get()}, "my:own:id"},
        {"print_fail", {text.get(), msg.get()}, nullptr},
    };
    for (const auto& c : cases) {
        try {
            veldra::engine::FunctionRegistry::builtin().call(ctx(), c.fn, 1, Args(c.args));
            ADD_FAILURE() << c.fn << " did not fail";
        } catch (const ExecutionFailure& e) {
            EXPECT_STREQ(e.what(), "it broke");
            if (c.identifier) {
                EXPECT_EQ(e.identifier(), c.identifier);
            }
        }
    }
    EXPECT_EQ(ctx().out_, "partial\n");
    EXPECT_EQ(ctx().err_, "partial\n");
}

TEST_F(StateTest, SleepWaitsAndChecksForInterrupts) {
    Array seconds = num(0.05, qxSINGLE_CLASS);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(call("sleep", 0, {seconds.get()}).empty());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(49));
    EXPECT_GE(ctx().checks_.load(), 5);  // at least every 10 ms

    Array zero = num(0, qxUINT8_CLASS);
    EXPECT_NO_THROW(call("sleep", 0, {zero.get()}));
}

TEST_F(StateTest, SleepStopsWhenInterrupted) {
    Array long_wait = num(30);
    std::thread interrupter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ctx().interrupted_ = true;
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(call("sleep", 0, {long_wait.get()}), veldra::engine::Interrupted);
    interrupter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(StateTest, CellOfCollectsResults) {
    Array identity = str("identity"), dims = str("dims"), print = str("print"), hi = str("hi");
    Array a = num(1), b = str("b"), m = mat(2, 3, {1, 2, 3, 4, 5, 6});
    Array r = call1("cell_of", {identity.get(), a.get(), b.get()});
    EXPECT_EQ(matrix::get_dimensions(r.get()), (std::vector<qxSize>{1, 2}));
    EXPECT_EQ(scalar(qxGetCell(r.get(), 0)), 1);
    EXPECT_EQ(matrix::get_string(qxGetCell(r.get(), 1)), "b");

    r = call1("cell_of", {dims.get(), m.get()});
    EXPECT_EQ(matrix::get_dimensions(r.get()), (std::vector<qxSize>{1, 1}));
    EXPECT_EQ(values(qxGetCell(r.get(), 0)), (std::vector<double>{2, 3}));

    r = call1("cell_of", {print.get(), hi.get()});
    EXPECT_EQ(matrix::get_dimensions(r.get()), (std::vector<qxSize>{1, 0}));
    EXPECT_EQ(ctx().out_, "hi\n");

    r = call1("cell_of", {identity.get()});
    EXPECT_EQ(qxGetNumberOfElements(r.get()), 0u);

    // Failures of the called function pass through unchanged.
    Array fail = str("fail"), msg = str("inner");
    EXPECT_EQ(failureOfCall("cell_of", 1, {fail.get(), msg.get()}), "veldra:fail");
}

TEST_F(StateTest, WorkspaceRoundTrip) {
    Array x = str("x"), y = str("y"), nope = str("nope");
    Array value = mat(1, 3, {1, 2, 3});
    call("assign", 0, {y.get(), value.get()});
    call("assign", 0, {x.get(), num(5).get()});
    Array got = call1("fetch", {y.get()});
    EXPECT_EQ(values(got.get()), (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(qxGetData(got.get()), qxGetData(value.get()));  // a shared copy
    EXPECT_TRUE(logicalValue(call1("exists", {x.get()}).get()));
    EXPECT_FALSE(logicalValue(call1("exists", {nope.get()}).get()));

    Array names = call1("names", {});
    ASSERT_EQ(matrix::get_dimensions(names.get()), (std::vector<qxSize>{1, 2}));
    EXPECT_EQ(matrix::get_string(qxGetCell(names.get(), 0)), "x");
    EXPECT_EQ(matrix::get_string(qxGetCell(names.get(), 1)), "y");

    call("assign", 0, {x.get(), str("replaced").get()});
    EXPECT_EQ(matrix::get_string(call1("fetch", {x.get()}).get()), "replaced");

    EXPECT_EQ(failureOfCall("fetch", 1, {nope.get()}), "veldra:fetch:unknownVariable");
    EXPECT_TRUE(call("clear", 0, {nope.get()}).empty());  // unknown: no error
    call("clear", 0, {x.get()});
    EXPECT_FALSE(logicalValue(call1("exists", {x.get()}).get()));
    EXPECT_TRUE(logicalValue(call1("exists", {y.get()}).get()));
    call("clear", 0, {});
    names = call1("names", {});
    EXPECT_EQ(matrix::get_dimensions(names.get()), (std::vector<qxSize>{1, 0}));
}

TEST_F(StateTest, MapRoundTrip) {
    Array map = call1("map_new", {});
    EXPECT_EQ(qxGetClassID(map.get()), qxOBJECT_CLASS);
    EXPECT_TRUE(vdutil::matrixref::refIsRef(map.get()));
    Array k1 = str("one"), k2 = str("two"), empty = str(""), missing = str("missing");
    Array v = mat(1, 3, {7, 8, 9});  // data in a block, which the map shares
    EXPECT_EQ(scalar(call1("map_count", {map.get()}).get()), 0);
    call("map_set", 0, {map.get(), k1.get(), v.get()});
    call("map_set", 0, {map.get(), k2.get(), map.get()});  // a map may hold a reference to itself
    call("map_set", 0, {map.get(), empty.get(), k1.get()});
    EXPECT_EQ(scalar(call1("map_count", {map.get()}).get()), 3);
    Array got = call1("map_get", {map.get(), k1.get()});
    EXPECT_EQ(values(got.get()), (std::vector<double>{7, 8, 9}));
    EXPECT_EQ(qxGetData(got.get()), qxGetData(v.get()));
    EXPECT_EQ(matrix::get_string(call1("map_get", {map.get(), empty.get()}).get()), "one");
    EXPECT_EQ(failureOfCall("map_get", 1, {map.get(), missing.get()}), "veldra:engine:missingKey");

    // Two maps are independent.
    Array other = call1("map_new", {});
    EXPECT_EQ(scalar(call1("map_count", {other.get()}).get()), 0);
}

TEST_F(StateTest, ObjectsAndDelete) {
    Array two = num(2), three = num(3), key = str("k");
    Array objs = call1("objects", {two.get(), three.get()});
    EXPECT_EQ(qxGetClassID(objs.get()), qxOBJECT_CLASS);
    EXPECT_EQ(matrix::get_dimensions(objs.get()), (std::vector<qxSize>{2, 3}));
    const std::vector<std::uint64_t> ids = ctx().objects().idsOf(objs.get());
    ASSERT_EQ(ids.size(), 6u);
    for (std::size_t i = 0; i < ids.size(); ++i)
        for (std::size_t j = i + 1; j < ids.size(); ++j) EXPECT_NE(ids[i], ids[j]);

    // The whole array is no single map.
    EXPECT_EQ(failureOfCall("map_count", 1, {objs.get()}), "veldra:map_count:notScalar");
    Array first(vdutil::matrixref::refElementIndexRef(objs.get(), {1, 2}));
    call("map_set", 0, {first.get(), key.get(), two.get()});
    EXPECT_EQ(scalar(call1("map_count", {first.get()}).get()), 1);

    // Tiled references name some objects twice; each is deleted once.
    Array tiled = call1("tile", {objs.get(), two.get(), two.get()});
    EXPECT_TRUE(call("object_delete", 0, {tiled.get()}).empty());
    for (std::uint64_t id : ids) EXPECT_FALSE(ctx().objects().contains(id));
    EXPECT_EQ(failureOfCall("map_count", 1, {first.get()}), "veldra:engine:invalidObject");
    EXPECT_EQ(failureOfCall("map_set", 0, {first.get(), key.get(), two.get()}), "veldra:engine:invalidObject");
    EXPECT_EQ(failureOfCall("object_delete", 0, {objs.get()}), "veldra:object_delete:invalidObject");

    Array none = call1("objects", {num(0).get(), three.get()});
    EXPECT_EQ(qxGetNumberOfElements(none.get()), 0u);
    EXPECT_NO_THROW(call("object_delete", 0, {none.get()}));
}

TEST_F(StateTest, DeleteIsAllOrNothing) {
    Array one = num(1), two = num(2);
    Array pair = call1("objects", {one.get(), two.get()});
    Array second(vdutil::matrixref::refElementIndexRef(pair.get(), {0, 1}));
    call("object_delete", 0, {second.get()});
    EXPECT_EQ(failureOfCall("object_delete", 0, {pair.get()}), "veldra:object_delete:invalidObject");
    const auto ids = ctx().objects().idsOf(pair.get());
    EXPECT_TRUE(ctx().objects().contains(ids[0]));
}

TEST_F(StateTest, ReferencesBelongToTheirEngine) {
    Array map = call1("map_new", {});
    {
        veldra::engine::ObjectStore otherEngine;
        Array foreign = otherEngine.makeReference({1, 1}, {otherEngine.newMap()});
        EXPECT_EQ(failureOfCall("map_count", 1, {foreign.get()}), "veldra:engine:notAReference");
        EXPECT_THROW(otherEngine.idsOf(map.get()), ExecutionFailure);
    }
    // A store's references die with it, even while arrays still hold them.
    Array survivor;
    {
        veldra::engine::ObjectStore gone;
        survivor = gone.makeReference({1, 1}, {gone.newMap()});
        EXPECT_TRUE(vdutil::matrixref::refIsRef(survivor.get()));
    }
    EXPECT_FALSE(vdutil::matrixref::refIsRef(survivor.get()));
    EXPECT_EQ(failureOfCall("map_count", 1, {survivor.get()}), "veldra:engine:notAReference");

    // Copies of a store share it.
    veldra::engine::ObjectStore copy = ctx().objects();
    EXPECT_EQ(copy.idsOf(map.get()), ctx().objects().idsOf(map.get()));
    EXPECT_THROW(ctx().objects().makeReference({2, 1}, {1}), ExecutionFailure);
}

TEST_F(StateTest, ObjectsLiveWhileAnArrayOrAClientRefersToThem) {
    veldra::engine::ObjectStore& store = ctx().objects();
    const std::size_t base = store.count();
    Array map = call1("map_new", {});
    const std::uint64_t id = store.idsOf(map.get())[0];
    Array inner = call1("map_new", {}), k = str("k");
    call("map_set", 0, {map.get(), k.get(), inner.get()});
    inner.reset();
    store.clientHolds(7, map.get());
    store.clientHolds(7, map.get());
    map.reset();
    EXPECT_EQ(store.count(), base + 2);
    store.clientReleases(8, {{id, 5}});  // nothing another client holds
    store.clientReleases(7, {{id, 1}});
    EXPECT_EQ(store.count(), base + 2);
    store.clientGone(7);  // the map goes, and with it the map it held
    EXPECT_EQ(store.count(), base);
}

TEST_F(StateTest, ValuesHeldByTheEngineAreReleased) {
    // Checked by the fixture: arrays stored in maps and variables are freed
    // with the engine, and nothing leaks when a call fails half way.
    Array map = call1("map_new", {});
    Array cell(qxCreateCellMatrix(1, 2));
    qxSetCell(cell.get(), 0, mat(1, 2, {1, 2}).release());
    Array k = str("k"), name = str("v"), bad = str("1+");
    call("map_set", 0, {map.get(), k.get(), cell.get()});
    call("assign", 0, {name.get(), cell.get()});
    EXPECT_EQ(failureOfCall("calc", 1, {bad.get()}), "veldra:calc:syntax");
    EXPECT_EQ(failureOfCall("tile", 1, {cell.get(), k.get(), k.get()}), "veldra:tile:wrongClass");
}

}  // namespace
