#include <gtest/gtest.h>

#include "harness.h"

namespace {

std::string usage() { return "usage: " + morvane_path() + " count|cluster|map|tabulate [OPTIONS]...\n"; }

TEST(Dispatcher, RejectsMissingOrUnknownSubCommand) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"Count"}, {"COUNT"}, {"-f"}, {"coun"}, {"counts"}, {""}, {"-version"},
          {"--version2"}, {"--Version"}, {"-V"}}) {
        run_result r = run_morvane(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, usage());
    }
}

TEST(Dispatcher, ShowsArgumentZeroAsStarted) {
    run_result r = run_shell("morvane");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "usage: morvane count|cluster|map|tabulate [OPTIONS]...\n");
}

TEST(Dispatcher, VersionIsTheFirstArgumentOnly) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--version"}, {"--version", "count"}}) {
        run_result r = run_morvane(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, std::string("morvane ") + MORVANE_VERSION + "\n");
        EXPECT_EQ(r.err, "");
    }
    // After a sub-command it is that sub-command's option.
    run_result r = run_morvane({"tabulate", "--version"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
}

}  // namespace
