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

TEST(Dispatcher, HelpListsTheSubCommandsAndWhereToReadMore) {
    for (const char* ask : {"--help", "-h", "help"}) {
        run_result r = run_morvane({ask, "count"});
        EXPECT_EQ(r.status, 0) << ask;
        EXPECT_EQ(r.err, "") << ask;
        EXPECT_EQ(r.out.substr(0, usage().size()), usage()) << ask;
        for (const char* word : {"\n  count\t", "\n  cluster\t", "\n  map\t", "\n  tabulate\t", "\n  discover\t", "--version", "README.md"})
            EXPECT_NE(r.out.find(word), std::string::npos) << ask << ": " << word;
    }
    // Only those three words: other spellings stay refused.
    for (const char* other : {"-help", "--HELP", "?", "helpme"}) {
        run_result r = run_morvane({other});
        EXPECT_EQ(r.status, 1) << other;
        EXPECT_EQ(r.err, usage()) << other;
    }
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
