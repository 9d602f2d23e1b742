// End-to-end cases of what only the Windows program does: the attribute
// mask of its directory searches, its run time's line endings and path
// forms, link cycles as Wine presents them, and a first file too large for
// a 32-bit address space. Skipped for other targets.
#include "harness.h"

#include <ctype.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

class Win32 : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!TheTarget().bWin32)
            GTEST_SKIP() << "Windows program only";
    }

    // Runs the tool on A and B of the scratch tree (or on vArgs) from its
    // root and checks the banner, the result lines in any order, the
    // summary of nFiles, the progress and the exit status.
    void Expect(const std::vector<std::string> &vWant, unsigned long nFiles,
                int nStatus,
                const std::vector<std::string> &vArgs = {"A", "B"})
    {
        RunOptions opt;
        opt.sCwd = scratch.Root();
        RunResult r = RunTool(vArgs, opt);
        std::vector<std::string> vOut = OutputLines(r.sOut);
        std::vector<std::string> vExpanded;
        ASSERT_GE(vOut.size(), 4u) << r.sOut;
        for (int i = 0; i < 3; i++)
            EXPECT_EQ(vOut[i], apszBanner[i]);
        EXPECT_EQ(vOut.back(), std::to_string(nFiles) + " files compared.");
        vOut.erase(vOut.begin(), vOut.begin() + 3);
        vOut.pop_back();
        for (const std::string &s : vWant)
            vExpanded.push_back(Expand(s, scratch));
        std::sort(vOut.begin(), vOut.end());
        std::sort(vExpanded.begin(), vExpanded.end());
        EXPECT_EQ(vOut, vExpanded);
        EXPECT_EQ(r.sErr, Progress(nFiles));
        EXPECT_EQ(r.nStatus, nStatus);
    }

    // Sets one DOS attribute ("+h", "+s", "+r") on an entry of the scratch
    // tree with Wine's attrib, and checks that it took.
    void Attrib(const std::string &sFlag, const std::string &sEntry)
    {
        RunOptions opt;
        opt.sBin = "attrib";
        std::string sPath = Expand("@/" + sEntry, scratch);
        ASSERT_EQ(RunTool({sFlag, sPath}, opt).nStatus, 0);
        // attrib with the path alone lists the attribute letters before it.
        RunResult r = RunTool({sPath}, opt);
        std::string sLetters = r.sOut.substr(0, r.sOut.find(sPath));
        ASSERT_NE(sLetters.find((char)toupper(sFlag[1])), std::string::npos)
            << sEntry << " did not take " << sFlag << ": " << r.sOut;
    }

    Scratch scratch;
};

}  // namespace

// The mask 0x16 lets hidden and system entries through, directories
// among them: their files are compared like any other.
TEST_F(Win32, HiddenAndSystemEntriesAreCompared)
{
    scratch.Make({"A/h=1", "B/h=2", "A/s=1", "B/s=2", "A/hs=1", "B/hs=2",
                  "A/ro=1", "B/ro=2", "A/hd/f=1", "B/hd/f=2", "A/sd/f=1",
                  "B/sd/f=2", "A/same=1", "B/same=1"});
    Attrib("+h", "A/h");
    Attrib("+s", "A/s");
    Attrib("+h", "A/hs");
    Attrib("+s", "A/hs");
    Attrib("+r", "A/ro");
    Attrib("+h", "A/hd");
    Attrib("+s", "A/sd");
    Expect({"@/A/h, @/B/h: Differences encountered.",
            "@/A/s, @/B/s: Differences encountered.",
            "@/A/hs, @/B/hs: Differences encountered.",
            "@/A/ro, @/B/ro: Differences encountered.",
            "@/A/hd/f, @/B/hd/f: Differences encountered.",
            "@/A/sd/f, @/B/sd/f: Differences encountered."},
           7, 0);
}

// Standard output is a text stream of the run time: every line ends in
// CR LF. The progress line's own carriage return goes out unchanged, with
// no line feed.
TEST_F(Win32, LineEndings)
{
    scratch.Make({"A/x=1", "B/x=2", "A/y=1"});
    RunOptions opt;
    opt.sCwd = scratch.Root();
    RunResult r = RunTool({"A", "B"}, opt);
    ASSERT_GE(r.sOut.size(), 2u);
    EXPECT_EQ(r.sOut.substr(r.sOut.size() - 2), "\r\n");
    for (size_t n = r.sOut.find('\n'); n != std::string::npos;
         n = r.sOut.find('\n', n + 1))
        EXPECT_TRUE(n > 0 && r.sOut[n - 1] == '\r') << "bare LF at " << n;
    EXPECT_EQ(std::count(r.sOut.begin(), r.sOut.end(), '\r'),
              std::count(r.sOut.begin(), r.sOut.end(), '\n'));
    EXPECT_EQ(r.sErr, "Comparing file 1.\rComparing file 2.\r");
}

// Arguments in the Windows forms: forward slashes, an absolute path with
// its drive; results name files with backslashes. Names match whatever
// their case, as on Windows file systems.
TEST_F(Win32, PathForms)
{
    scratch.Make({"A/sub/y=1", "B/sub/y=2", "A/Mixed.TXT=1", "B/mixed.txt=1"});
    Expect({"@/A/sub/y, @/B/sub/y: Differences encountered."}, 1, 0,
           {"A/sub", Expand("@/B/sub", scratch)});
    Expect({"@/A/sub/y, @/B/sub/y: Differences encountered."}, 2, 0);
}

// Wine shows a link to a directory as a directory; one that leads back to
// a directory still being searched is refused, and the walk goes on.
TEST_F(Win32, LinkCyclesAreRefused)
{
    scratch.Make({"A/x=1", "A/l1->.", "A/s/up->..", "A/s/y=1", "A/real/z=1",
                  "A/ld->real", "B/x=1", "B/s/y=1", "B/real/z=1", "B/ld/z=2"});
    Expect({"@/A/l1: File not found.", "@/A/s/up: File not found.",
            "@/A/ld/z, @/B/ld/z: Differences encountered."},
           4, 0);
}

// A 32-bit process has 2 GiB of address space: the image of a 3 GiB first
// file cannot be had, and the run stops there with the file named.
TEST_F(Win32, FirstFileTooLargeForMemory)
{
    scratch.Make({"A/big=%3G", "B/big=%3G", "B/x=1"});
    Expect({"@/A/big: Memory allocation error."}, 1, 1);
}
