#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RunLog.h"

namespace {

using Lines = std::vector<std::string>;

struct RunLogCase {
    const char* name;
    std::size_t headLines;  // lines of three characters within the bound
    std::size_t tailLines;
    std::string roles;  // one line per letter: Progress, Verdict, Trailing, Reserved room
    Lines expected;     // lines are the letter and their number: "P01"
};

std::string Note(int count) {
    return "... " + std::to_string(count) + " lines left out ...";
}

RunLog Fed(const RunLogCase& c) {
    RunLog log(c.headLines * (3 + 2 + sizeof(std::string)), c.tailLines);
    int number = 0;
    for (char role : c.roles) {
        ++number;
        const std::string text{role, static_cast<char>('0' + number / 10),
                               static_cast<char>('0' + number % 10)};
        if (role == 'R')
            log.AddInReservedRoom(std::string(text));
        else
            log.Add(text, role == 'P'   ? RunLog::Role::Progress
                          : role == 'V' ? RunLog::Role::Verdict
                                        : RunLog::Role::Trailing);
    }
    return log;
}

TEST(RunLogTest, KeepsTheHeadTheNewestLinesAndTheVerdict) {
    const RunLogCase cases[] = {
        {"within the bound: all", 3, 2, "PVT", {"P01", "V02", "T03"}},
        {"past it, tail not full: all", 3, 2, "PPPPP", {"P01", "P02", "P03", "P04", "P05"}},
        {"one left out", 3, 2, "PPPPPP", {"P01", "P02", "P03", Note(1), "P05", "P06"}},
        {"tail wraps round", 3, 2, "PPPPPPPPP", {"P01", "P02", "P03", Note(4), "P08", "P09"}},
        {"lines after the verdict left out",
         3,
         2,
         "PPPPPPVTT",
         {"P01", "P02", "P03", Note(4), "P06", "V07"}},
        {"later verdict kept", 3, 2, "PPPPPVTVT", {"P01", "P02", "P03", Note(4), "V06", "V08"}},
        {"verdict in the head moves behind the note",
         4,
         2,
         "PPVTT",
         {"P01", Note(2), "P02", "V03"}},
        {"reserved room past the bound",
         3,
         2,
         "PPPPPPR",
         {"P01", "P02", "P03", Note(2), "P06", "R07"}},
        {"reserved room within the bound", 1, 2, "PR", {"P01", "R02"}},
    };
    for (const RunLogCase& c : cases) {
        SCOPED_TRACE(c.name);
        RunLog log = Fed(c);
        EXPECT_EQ(log.Lines(), c.expected);
        EXPECT_EQ(log.Lines(), c.expected);  // arranging twice changes nothing
    }
}

TEST(RunLogTest, AddingGoesOnAfterTheLinesWereRead) {
    RunLog log = Fed({"", 2, 2, "PPPPP", {}});
    EXPECT_EQ(log.Lines(), (Lines{"P01", "P02", Note(1), "P04", "P05"}));
    log.Add("P06", RunLog::Role::Progress);
    log.Add("V07", RunLog::Role::Verdict);
    EXPECT_EQ(log.Lines(), (Lines{"P01", "P02", Note(3), "P06", "V07"}));
    EXPECT_EQ(log.LeftOut(), 3u);
}

}  // namespace
