// Permissions, as an ordinary user: CI runs as root, which reads everything,
// so the binary is started as "nobody" through setpriv. Where strace is at
// hand the run is traced too, to show which files were never opened, also
// by the read-ahead agent of the test build, which runs each case again at
// work: it must open no second file whose first one it could not open.
#include "harness.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct PermCase {
    const char *pszName;
    std::vector<std::string> vTree;
    std::vector<std::pair<std::string, mode_t>> vModes;  // set after Make
    std::vector<std::string> vLines;                     // "@" the scratch root
    long nFiles;
    std::vector<std::string> vNotOpened;  // under the root
};

const PermCase kCases[] = {
    // clang-format off
    {"unreadable first file: named, the second never opened",
     {"A/f=1", "B/f=1", "A/g=1", "B/g=2"}, {{"A/f", 0}},
     {"@/A/f: Error reading file.", "@/A/g, @/B/g: Differences encountered."},
     2, {"B/f"}},
    {"unreadable second file",
     {"A/f=1", "B/f=1", "A/g=1", "B/g=1"}, {{"B/f", 0}},
     {"@/B/f: Error reading file."}, 2, {}},
    {"both unreadable: the first is named",
     {"A/f=1", "B/f=1"}, {{"A/f", 0}, {"B/f", 0}},
     {"@/A/f: Error reading file."}, 1, {"B/f"}},
    {"unreadable subdirectory of the first tree, the walk goes on",
     {"A/s/x=1", "A/s/t/y=1", "A/z=1", "B/s/x=1", "B/z=2"}, {{"A/s", 0}},
     {"@/A/s: File not found.", "@/A/z, @/B/z: Differences encountered."}, 1,
     {"A/s/x", "B/s/x"}},
    {"listable but not searchable subdirectory of the first tree",
     {"A/s/x=1", "A/z=1", "B/s/x=1", "B/z=1"}, {{"A/s", 0444}},
     {"@/A/s: File not found."}, 1, {"B/s/x"}},
    {"searchable but not listable subdirectory of the first tree",
     {"A/s/x=1", "A/z=1", "B/s/x=1", "B/z=1"}, {{"A/s", 0111}},
     {"@/A/s: File not found."}, 1, {}},
    {"unsearchable directory in the second tree",
     {"A/s/x=1", "A/s/d/y=1", "A/z=1", "B/s/x=1", "B/s/d/y=1", "B/z=2"},
     {{"B/s", 0}},
     {"@/B/s/x: Error reading file.", "@/B/s/d/y: Error reading file.",
      "@/A/z, @/B/z: Differences encountered."}, 3, {}},
    // Without its listing, nothing tells whether it holds x or a name that
    // the file system merely takes for x.
    {"second-tree directory searchable but not listable: its names unverified",
     {"A/s/x=1", "A/s/y=1", "B/s/x=1", "B/s/y=2"}, {{"B/s", 0111}},
     {"@/B/s/x: Error reading file.", "@/B/s/y: Error reading file."}, 2, {}},
    {"unreadable first root", {"A/x=1", "B/x=1"}, {{"A", 0}},
     {"@/A: File not found."}, 0, {"A/x", "B/x"}},
    // clang-format on
};

// Whether the trace shows an open of sPath, by whatever path or descriptor.
bool Opened(const std::string &sTrace, const std::string &sPath)
{
    for (const TracedCall &o : TracedCalls(sTrace))
        if (o.bOpen && (o.sNamed == sPath || o.sOpened == sPath))
            return true;
    return false;
}

}  // namespace

TEST(Permissions, AsAnOrdinaryUser)
{
    if (TheTarget().bWin32 || !TheTarget().vLauncher.empty())
        GTEST_SKIP() << "drops privileges for the native binary only";
    REQUIRE_PROGRAM("setpriv");
    const bool bTrace = HaveProgram("strace");
    if (!bTrace && ToolsRequired())
        FAIL() << "strace is required but not installed";
    // The build tree may lie where nobody may not go (under /root, say): the
    // binaries run from copies of their own.
    Scratch bin;
    ASSERT_EQ(chmod(bin.Root().c_str(), 0755), 0);
    const std::string sBin = bin.Root() + "/orvel",
                      sFaultsBin = bin.Root() + "/orvel-faults";
    for (const auto &copy :
         {std::make_pair(TheTarget().sBin, sBin),
          std::make_pair(std::string(ORVEL_FAULTS_BIN), sFaultsBin)}) {
        std::ifstream in(copy.first, std::ios::binary);
        std::ofstream(copy.second, std::ios::binary) << in.rdbuf();
        ASSERT_EQ(chmod(copy.second.c_str(), 0755), 0);
    }
    // Each case as it is, then with the read-ahead agent at work.
    for (size_t nRun = 0; nRun < 2 * std::size(kCases); nRun++) {
        const PermCase &c = kCases[nRun / 2];
        const bool bAhead = nRun % 2 == 1;
        SCOPED_TRACE(c.pszName + std::string(bAhead ? ", reading ahead" : ""));
        Scratch scratch, logs;
        scratch.Make(c.vTree);
        ASSERT_EQ(chmod(scratch.Root().c_str(), 0755), 0);
        for (const auto &m : c.vModes)
            ASSERT_EQ(chmod((scratch.Root() + "/" + m.first).c_str(), m.second),
                      0);
        const std::string sTrace = logs.Root() + "/trace";
        RunOptions opt;
        opt.sCwd = scratch.Root();
        opt.sBin = bAhead ? sFaultsBin : sBin;
        if (bAhead)
            opt.vEnv = {"ORVEL_AHEAD=1", "ORVEL_AHEAD_STEP=1"};
        if (bTrace) {
            opt.vPrefix = {"strace", "-f",  "-qq",
                           "-y",     "-e",  "trace=open,openat",
                           "-o",     sTrace};
            opt.vEnv.push_back("ASAN_OPTIONS=detect_leaks=0");
        }
        for (const char *pszWord :
             {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"})
            opt.vPrefix.push_back(pszWord);
        ExpectReport(RunTool({"A", "B"}, opt), scratch, c.vLines, c.nFiles, 0);
        if (!bTrace)
            continue;
        EXPECT_TRUE(Opened(sTrace, scratch.Root() + "/A"))
            << "the trace is empty";
        for (const std::string &s : c.vNotOpened)
            EXPECT_FALSE(Opened(sTrace, scratch.Root() + "/" + s)) << s;
    }
}
