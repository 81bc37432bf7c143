#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/extensions.h"

namespace {

// Calls made by the test callbacks, in order.
std::vector<std::string> calls;

int proc_a_one(CONNECTION_T*, Filebuf*) { calls.push_back("a"); return 1; }
int proc_b_zero(CONNECTION_T*, Filebuf*) { calls.push_back("b"); return 0; }
int proc_c_seven(CONNECTION_T*, Filebuf*) { calls.push_back("c"); return 7; }
int hook_two(void*, void*) { calls.push_back("h2"); return 2; }
int hook_one(void*, void*) { calls.push_back("h1"); return 1; }
int hook_zero(void*, void*) { calls.push_back("h0"); return 0; }
int proto_http(CONNECTION_T*) { calls.push_back("http"); return 5; }
int proto_gopher(CONNECTION_T*) { calls.push_back("gopher"); return 0; }

class Registries : public ::testing::Test {
protected:
    void SetUp() override { calls.clear(); }
};

TEST_F(Registries, ProcessorRegisteredOnceWhateverTheStage) {
    Processors registry;
    EXPECT_EQ(registry.Add(proc_a_one, PROCESSOR_REQCHECK), 1);
    EXPECT_EQ(registry.Add(proc_a_one, PROCESSOR_RESPMOD), 0);
    EXPECT_EQ(registry.list.size(), 1u);
    EXPECT_EQ(registry.list.front().stage, PROCESSOR_REQCHECK);
    EXPECT_EQ(registry.Remove(proc_a_one), 1);
    EXPECT_EQ(registry.Remove(proc_a_one), 0);
    EXPECT_EQ(registry.Add(proc_a_one, PROCESSOR_RESPMOD), 1);
}

// Which stages stop at the first 1: a 1 followed by a 7 in every stage.
TEST_F(Registries, EachStageStopsOrRunsOnAsItSays) {
    struct Case {
        int stage;
        bool stops;
    } cases[] = {
        {PROCESSOR_REQCHECK, true},    {PROCESSOR_REQMOD, true},
        {PROCESSOR_RESPCHECK, true},   {PROCESSOR_RESPMOD, false},
        {PROCESSOR_BUFFCHECK, true},   {PROCESSOR_REQHEADER, false},
        {PROCESSOR_RESPHEADER, false}, {PROCESSOR_AUTH, true},
    };
    for (const Case& c : cases) {
        Processors registry;
        registry.Add(proc_b_zero, c.stage == 0 ? 1 : 0); // another stage: never called
        registry.Add(proc_a_one, c.stage);
        registry.Add(proc_c_seven, c.stage);
        calls.clear();
        int result = registry.Execute(c.stage, nullptr, nullptr);
        if (c.stops) {
            EXPECT_EQ(result, 1) << "stage " << c.stage;
            EXPECT_EQ(calls, std::vector<std::string>({"a"})) << "stage " << c.stage;
        } else {
            EXPECT_EQ(result, 7) << "stage " << c.stage;
            EXPECT_EQ(calls, std::vector<std::string>({"a", "c"})) << "stage " << c.stage;
        }
    }
}

TEST_F(Registries, EmptyStageGivesZeroAndOrderIsRegistrationOrder) {
    Processors registry;
    EXPECT_EQ(registry.Execute(PROCESSOR_REQCHECK, nullptr, nullptr), 0);
    registry.Add(proc_c_seven, PROCESSOR_REQCHECK);
    registry.Add(proc_b_zero, PROCESSOR_REQCHECK);
    EXPECT_EQ(registry.Execute(PROCESSOR_REQCHECK, nullptr, nullptr), 0); // the last call's result
    EXPECT_EQ(calls, std::vector<std::string>({"c", "b"}));
}

TEST_F(Registries, HooksStopOnlyAtOne) {
    Hooks registry;
    EXPECT_EQ(registry.Execute(HOOK_PRERESPMOD, nullptr, nullptr), 0);
    EXPECT_EQ(registry.Add(hook_two, HOOK_PRERESPMOD), 1);
    EXPECT_EQ(registry.Add(hook_two, HOOK_CONFIGURE), 0);
    EXPECT_EQ(registry.Execute(HOOK_PRERESPMOD, nullptr, nullptr), 2); // 2 is no stop
    registry.Add(hook_one, HOOK_PRERESPMOD);
    registry.Add(hook_zero, HOOK_PRERESPMOD);
    calls.clear();
    EXPECT_EQ(registry.Execute(HOOK_PRERESPMOD, nullptr, nullptr), 1);
    EXPECT_EQ(calls, std::vector<std::string>({"h2", "h1"}));
    EXPECT_EQ(registry.Execute(HOOK_POSTRESPMOD, nullptr, nullptr), 0);
    EXPECT_EQ(registry.Remove(hook_one), 1);
    calls.clear();
    EXPECT_EQ(registry.Execute(HOOK_PRERESPMOD, nullptr, nullptr), 0);
    EXPECT_EQ(calls, std::vector<std::string>({"h2", "h0"}));
}

TEST_F(Registries, ProtocolsFoundByExactScheme) {
    Protocols registry;
    EXPECT_EQ(registry.Execute("http", nullptr), -1);
    EXPECT_EQ(registry.Add(proto_http, "http"), 1);
    EXPECT_EQ(registry.Add(proto_http, "https"), 0);
    EXPECT_EQ(registry.Add(proto_gopher, "gopher"), 1);
    EXPECT_EQ(registry.Execute("HTTP", nullptr), -1);
    EXPECT_EQ(registry.Execute("htt", nullptr), -1);
    EXPECT_EQ(registry.Execute("http", nullptr), 5);
    EXPECT_EQ(registry.Execute("gopher", nullptr), 0);
    EXPECT_EQ(calls, std::vector<std::string>({"http", "gopher"}));
    EXPECT_EQ(registry.Remove(proto_http), 1);
    EXPECT_EQ(registry.Execute("http", nullptr), -1);
}

} // namespace
