// Failures that real trees cannot stage on cue: memory that runs out at
// each allocation in turn, and files that shrink between sizing and reading.
// They run the test build of the tool (ORVEL_FAULTS_BIN), whose platform
// layer fails or changes things when the environment says so.
#include "harness.h"

#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

const std::string kMemError = "Memory allocation error.";

RunResult RunFaulty(const Scratch &scratch, const std::string &sVar)
{
    RunOptions opt;
    opt.sCwd = scratch.Root();
    opt.sBin = ORVEL_FAULTS_BIN;
    opt.vEnv = {sVar};
    return RunTool({"A", "B"}, opt);
}

bool IsFileUnder(const std::string &sPath)
{
    struct stat st;
    return stat(sPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

// Fails allocation 1, 2, 3, ... of a run over a tree three levels deep, until
// a run needs no more allocations than that. Each failure must print its one
// line, stop the walk at once, carry status 1 up to the exit, still print the
// summary once the walk has begun, and release every block it took.
TEST(Faults, EveryAllocationFailsInTurn)
{
    if (TheTarget().bWin32)
        GTEST_SKIP() << "the fault-injecting layer is POSIX only";
    Scratch scratch;
    scratch.Make({"A/x=#10", "A/s/y=#40000", "A/s/t/z=#10", "A/s/t/e=",
                  "A/w=#5", "B/x=#10", "B/s/y=#40000", "B/s/t/z=#10",
                  "B/s/t/e=", "B/w=#6"});
    const std::string sOk = scratch.Root() + "/A/w, " + scratch.Root() +
                            "/B/w: Files have different sizes.";
    int nFailed = 0;
    for (int nAt = 1; nAt < 200; nAt++) {
        SCOPED_TRACE("allocation " + std::to_string(nAt));
        RunResult r = RunFaulty(scratch, "ORVEL_FAIL_ALLOC=" + std::to_string(nAt));
        std::vector<std::string> vOut = OutputLines(r.sOut);
        ASSERT_GE(vOut.size(), 4u);
        EXPECT_EQ(r.sErr.find("not released"), std::string::npos) << r.sErr;
        if (r.nStatus == 0) {
            // Past the last allocation: the plain result.
            EXPECT_EQ(vOut.size(), 5u);
            EXPECT_EQ(vOut[3], sOk);
            EXPECT_EQ(vOut[4], "5 files compared.");
            break;
        }
        nFailed++;
        EXPECT_EQ(r.nStatus, 1);
        if (nAt <= 2) {
            // The driver's own path buffers: no walk, no summary.
            EXPECT_EQ(vOut.size(), 4u);
            EXPECT_EQ(vOut[3], kMemError);
            EXPECT_EQ(r.sErr, "");
            continue;
        }
        // The failure is the last result line; only the summary follows,
        // counting exactly the pairs whose progress was shown.
        std::string sSummary = vOut.back();
        std::string sFail = vOut[vOut.size() - 2];
        unsigned long nCount = std::stoul(sSummary);
        EXPECT_EQ(sSummary, std::to_string(nCount) + " files compared.");
        EXPECT_EQ(r.sErr, Progress(nCount));
        for (size_t i = 3; i + 2 < vOut.size(); i++)
            EXPECT_EQ(vOut[i], sOk) << "only w may be reported before";
        if (sFail != kMemError) {
            // From the file comparison: names the first tree's file.
            std::string sSuffix = ": " + kMemError;
            ASSERT_GT(sFail.size(), sSuffix.size());
            ASSERT_EQ(sFail.substr(sFail.size() - sSuffix.size()), sSuffix);
            std::string sFile = sFail.substr(0, sFail.size() - sSuffix.size());
            EXPECT_EQ(sFile.rfind(scratch.Root() + "/A/", 0), 0u) << sFile;
            EXPECT_TRUE(IsFileUnder(sFile)) << sFile;
        }
    }
    // Two driver buffers, then per directory a pattern and a record, per
    // entry two child paths, per compared pair an image and a block buffer.
    EXPECT_GT(nFailed, 20);
}

// A file cut to half its size right after it was sized must be reported
// unreadable, never compared against bytes that did not come from it.
TEST(Faults, FileShrinksAfterSizing)
{
    if (TheTarget().bWin32)
        GTEST_SKIP() << "the fault-injecting layer is POSIX only";
    struct {
        const char *pszSize;
        const char *pszAt;
        const char *pszWho;
    } aCases[] = {
        {"#70000", "1", "A"}, {"#70000", "2", "B"},
        {"#100", "1", "A"},   {"#100", "2", "B"},
    };
    for (const auto &c : aCases) {
        SCOPED_TRACE(std::string(c.pszSize) + " shrinks at size query " + c.pszAt);
        Scratch scratch;
        scratch.Make({std::string("A/f=") + c.pszSize, std::string("B/f=") + c.pszSize});
        RunResult r = RunFaulty(scratch, std::string("ORVEL_SHRINK_AT=") + c.pszAt);
        std::vector<std::string> vOut = OutputLines(r.sOut);
        ASSERT_EQ(vOut.size(), 5u) << r.sOut;
        EXPECT_EQ(vOut[3], scratch.Root() + "/" + c.pszWho + "/f: Error reading file.");
        EXPECT_EQ(vOut[4], "1 files compared.");
        EXPECT_EQ(r.nStatus, 0);
    }
}
