// zaq-cli as scripts use it: arguments, output lines, JSON events and exit codes.
#include <gtest/gtest.h>

#include "sim/dvr_sim.h"
#include "tests/support/test_support.h"

namespace zaq {
namespace {

using test::runProcess;

TEST(Cli, BadArgumentsExitWithUsage) {
    const std::vector<std::vector<std::string>> cases = {
        {ZAQ_CLI_PATH},
        {ZAQ_CLI_PATH, "teleport"},
        {ZAQ_CLI_PATH, "connect"},
        {ZAQ_CLI_PATH, "connect", "--host", "127.0.0.1", "--port", "http"},
        {ZAQ_CLI_PATH, "connect", "--host"},
        {ZAQ_CLI_PATH, "connect", "--host", "127.0.0.1", "stray"},
    };
    for (const auto& argv : cases) {
        auto r = runProcess(argv);
        EXPECT_EQ(r.exitCode, 2) << argv.back();
        EXPECT_NE(r.err.find("usage: zaq-cli"), std::string::npos) << argv.back();
    }
}

TEST(Cli, ConnectPrintsStatusesAndSummaryAsJson) {
    sim::SimOptions o;
    o.port = 0;
    o.max_channel = 4;
    sim::DvrSim dvr(o);
    ASSERT_TRUE(dvr.start());
    auto r = runProcess({ZAQ_CLI_PATH, "connect", "--host", "127.0.0.1", "--port",
                         std::to_string(dvr.port()), "--seconds", "3", "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out.rfind("{\"event\":\"status\",\"text\":\"Not Connected\"}\n"
                          "{\"event\":\"status\",\"text\":\"Connecting...\"}\n"
                          "{\"event\":\"status\",\"text\":\"Receiving DVR Time...\"}\n",
                          0),
              0u)
        << r.out;
    EXPECT_NE(r.out.find("{\"event\":\"status\",\"text\":\"Disconnected\"}\n"), std::string::npos);
    EXPECT_NE(r.out.find("{\"event\":\"summary\",\"connected\":true,\"channels\":4"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(dvr.connectionCount(), 4);
}

TEST(Cli, FailedSessionExitsWithOne) {
    auto r = runProcess({ZAQ_CLI_PATH, "connect", "--host", "127.0.0.1", "--port",
                         std::to_string(test::unusedPort()), "--seconds", "5"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("Connection Failed\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("connected=false"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace zaq
