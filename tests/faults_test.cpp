// What happens under the run: files that change between being listed, sized
// and read or whose reads fail part way, memory that runs out at each
// allocation in turn, limits the process runs under, and a standard output
// that cannot be written. The changes are staged by the test build of the
// tool (ORVEL_FAULTS_BIN), whose platform layer fails or changes things at an
// exact call when the environment says so, never by timing; failing reads
// by a FUSE tree.
#include "harness.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

const std::string kMemError = "Memory allocation error.";

// Runs the test build of the tool on the trees A and B of the scratch root,
// with the faults that vEnv asks for.
RunResult RunFaulty(const Scratch &scratch,
                    const std::vector<std::string> &vEnv,
                    RunOptions opt = RunOptions())
{
    opt.sCwd = scratch.Root();
    opt.sBin = ORVEL_FAULTS_BIN;
    opt.vEnv = vEnv;
    return RunTool({"A", "B"}, opt);
}

// Drops a file's pages from the page cache, so that the run reads it from
// the disk, as it would a backup drive's.
int Uncache(const char *pszPath, const struct stat *pSt, int, struct FTW *)
{
    int fd = S_ISREG(pSt->st_mode) ? open(pszPath, O_RDONLY) : -1;
    if (fd >= 0) {
        fdatasync(fd);
        posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        close(fd);
    }
    return 0;
}

std::vector<std::string> Expanded(const std::vector<std::string> &v,
                                  const Scratch &scratch)
{
    std::vector<std::string> vOut;
    for (const std::string &s : v)
        vOut.push_back(Expand(s, scratch));
    std::sort(vOut.begin(), vOut.end());
    return vOut;
}

bool EndsWith(const std::string &s, const std::string &sTail)
{
    return s.size() >= sTail.size() &&
           s.compare(s.size() - sTail.size(), sTail.size(), sTail) == 0;
}

// A tree nLevels deep in which every pair differs, so that each pair taken
// up leaves a line: at each level a file that differs in one byte and an
// empty directory, at the top an empty file against a longer one. The
// report of a run that goes through goes to *pvLines.
std::vector<std::string> DifferingTree(int nLevels,
                                       std::vector<std::string> *pvLines)
{
    std::vector<std::string> vTree = {"A/e=", "B/e=x"};
    *pvLines = {"@/A/e, @/B/e: Files have different sizes."};
    std::string sDir;
    for (int nLevel = 0; nLevel < nLevels; nLevel++) {
        vTree.insert(vTree.end(),
                     {"A/" + sDir + "f=#300", "B/" + sDir + "f=#300^7",
                      "A/" + sDir + "empty/", "B/" + sDir + "empty/"});
        pvLines->push_back("@/A/" + sDir + "f, @/B/" + sDir +
                           "f: Differences encountered.");
        sDir += "d" + std::to_string(nLevel) + "/";
    }
    return vTree;
}

// Fails allocation 1, 2, 3, ... of a run over the scratch root's trees in
// turn, with opt (its environment added to the fault's), until a run goes
// through and gives vLines. A failure
// before the walk gives its one line and nothing else. A failure in the walk
// stops it at once: its line is the last before the summary, which counts
// the pairs taken up; each of them left its line of vLines but the one whose
// comparison failed, whose first file is named. The status is 1, and
// standard error holds the progress lines alone: no block kept (the test
// build tells of those, and so do LeakSanitizer and memcheck), nothing
// opened but regular files, no error of memcheck's. Every pair's comparison
// must have failed in one of the runs.
void FailEachAllocation(const Scratch &scratch,
                        const std::vector<std::string> &vLines,
                        const RunOptions &opt)
{
    const std::vector<std::string> vAll = Expanded(vLines, scratch);
    std::set<std::string> setFirsts, setNamed;
    for (const std::string &s : vAll)
        setFirsts.insert(s.substr(0, s.find(", " + scratch.Root() + "/B/")));
    for (int nAt = 1;; nAt++) {
        SCOPED_TRACE("allocation " + std::to_string(nAt));
        ASSERT_LT(nAt, 1000) << "no run went through";
        std::vector<std::string> vEnv = opt.vEnv;
        vEnv.push_back("ORVEL_FAIL_ALLOC=" + std::to_string(nAt));
        RunResult r = RunFaulty(scratch, vEnv, opt);
        if (r.nStatus == 0) {
            ExpectReport(r, scratch, vLines, (long)vLines.size(), 0);
            break;
        }
        ASSERT_EQ(r.nStatus, 1) << r.sOut << r.sErr;
        Report rep = ParseReport(r);
        EXPECT_EQ(r.sErr, Progress(rep.nSummary < 0 ? 0 : rep.nSummary));
        if (rep.nSummary < 0) {
            EXPECT_EQ(rep.vLines, std::vector<std::string>{kMemError});
            continue;
        }
        std::vector<std::string> vOut = OutputLines(r.sOut);
        ASSERT_GE(vOut.size(), 5u) << r.sOut;
        const std::string sFail = vOut[vOut.size() - 2];
        long nPairLines = 0;
        for (size_t i = 3; i + 2 < vOut.size(); i++) {
            EXPECT_NE(std::find(vAll.begin(), vAll.end(), vOut[i]), vAll.end())
                << "not a pair's line: " << vOut[i];
            nPairLines++;
        }
        if (sFail == kMemError) {
            EXPECT_EQ(nPairLines, rep.nSummary);
            continue;
        }
        ASSERT_TRUE(EndsWith(sFail, ": " + kMemError)) << sFail;
        std::string sFile =
            sFail.substr(0, sFail.size() - kMemError.size() - 2);
        EXPECT_EQ(setFirsts.count(sFile), 1u) << sFile;
        EXPECT_EQ(nPairLines + 1, rep.nSummary) << r.sOut;
        setNamed.insert(sFile);
    }
    EXPECT_EQ(setNamed, setFirsts);
}

}  // namespace

// Size queries, reads and opens count from 1: the first file's, then the
// second's. A file that shrank after sizing must never be compared against
// bytes that did not come from it; one that grew holds bytes its image lacks,
// so comparing the size taken would call a longer file equal. A file whose
// reads fail part way through is unreadable, the first file as much as the
// second; so is one that changed between reads of it, or under its mapped
// image. A run stopped by a signal keeps the line of every pair done. Under
// pages larger than this machine's, as arm64 kernels may have, the same trees
// must give the same reports. A bus error that is not a fault inside the
// mapped image ends the run as it would without the handler. A name of the
// second tree whose first file the core never opens (a FIFO) is never asked
// for, so that a share that hangs on it holds neither the run nor its end.
// Each case is run with the read-ahead agent at rest, at work (its opens
// count neither as the core's opens, size queries nor reads), and at work on
// a walk that lacks the first entry of every directory and so parts from the
// core's, and gives the same lines; at work, it does all it can before each
// step of the core (ORVEL_AHEAD_STEP), so that what it does is the same in
// every run.
TEST(UnderTheRun, FilesChange)
{
    if (TheTarget().bWin32)
        GTEST_SKIP() << "the fault-injecting layer is POSIX only";
    std::vector<std::string> vSixDiffer, vSixLines;  // six pairs that differ
    for (const std::string s : {"1", "2", "3", "4", "5", "6"}) {
        vSixDiffer.insert(vSixDiffer.end(), {"A/" + s + "=1", "B/" + s + "=2"});
        vSixLines.push_back("@/A/" + s + ", @/B/" + s +
                            ": Differences encountered.");
    }
    struct {
        const char *pszName;
        std::vector<std::string> vTree;
        std::string sFault;  // "" for none, or settings split at blanks
        std::vector<std::string> vLines;
        long nFiles;
        // A signal that ends the run: vLines are then the lines it may have
        // written, and it wrote those of nFiles - 1 pairs.
        int nSignal = 0;
        std::string sLimit = "";  // sh commands run before the tool
    } aCases[] = {
        // clang-format off
        {"first file grows", {"A/f=#100", "B/f=#100"}, "ORVEL_GROW_AT=1",
         {"@/A/f: Error reading file."}, 1},
        {"second file grows", {"A/f=#100", "B/f=#100"}, "ORVEL_GROW_AT=2",
         {"@/B/f: Error reading file."}, 1},
        {"second file of whole blocks grows", {"A/f=#2B", "B/f=#2B"},
         "ORVEL_GROW_AT=2", {"@/B/f: Error reading file."}, 1},
        {"empty first file grows", {"A/f=", "B/f="}, "ORVEL_GROW_AT=1",
         {"@/A/f: Error reading file."}, 1},
        {"empty second file grows", {"A/f=", "B/f="}, "ORVEL_GROW_AT=2",
         {"@/B/f: Error reading file."}, 1},
        {"a difference is found before the growth",
         {"A/f=#2B", "B/f=#2B^3"}, "ORVEL_GROW_AT=2",
         {"@/A/f, @/B/f: Differences encountered."}, 1},
        {"second file grows to another size: sizes were taken",
         {"A/f=#10", "B/f=#11"}, "ORVEL_GROW_AT=2",
         {"@/A/f, @/B/f: Files have different sizes."}, 1},
        // Cut to half its size.
        {"first file shrinks", {"A/f=#100", "B/f=#100"}, "ORVEL_SHRINK_AT=1",
         {"@/A/f: Error reading file."}, 1},
        {"first file of three blocks shrinks", {"A/f=#3B", "B/f=#3B"},
         "ORVEL_SHRINK_AT=1", {"@/A/f: Error reading file."}, 1},
        {"second file shrinks", {"A/f=#100", "B/f=#100"}, "ORVEL_SHRINK_AT=2",
         {"@/B/f: Error reading file."}, 1},
        {"second file of three blocks shrinks into its second",
         {"A/f=#3B", "B/f=#3B"}, "ORVEL_SHRINK_AT=2",
         {"@/B/f: Error reading file."}, 1},
        {"file deleted after its directory was listed", {"A/f=#100", "B/f=#100"},
         "ORVEL_DELETE_AT=1", {"@/A/f: Error reading file."}, 1},
        {"directory deleted after listing: it cannot be searched",
         {"A/d/", "B/d/"}, "ORVEL_DELETE_AT=1", {"@/A/d: File not found."}, 0},
        {"file deleted deep down", {"A/s/t/f=1", "B/s/t/f=1"},
         "ORVEL_DELETE_AT=3", {"@/A/s/t/f: Error reading file."}, 1},
        // d is listed, then swapped for a link to O while the walk is in the
        // deep subtree of p or q, whichever comes first: the other is still
        // read from the d that was listed, whose files differ from B's,
        // never from O, whose files equal B's.
        {"directory swapped for a link after its listing",
         {"A/d/p/1/2/3/f=#300", "A/d/q/1/2/3/f=#300", "B/d/p/1/2/3/f=#300^7",
          "B/d/q/1/2/3/f=#300^7", "O/p/1/2/3/f=#300^7", "O/q/1/2/3/f=#300^7"},
         "ORVEL_SWAP_AT=3:A/d->../O",
         {"@/A/d/p/1/2/3/f, @/B/d/p/1/2/3/f: Differences encountered.",
          "@/A/d/q/1/2/3/f, @/B/d/q/1/2/3/f: Differences encountered."}, 2},
        // Descriptors given back on the way down are taken again only where
        // they name the directories that were listed.
        {"directory swapped for a link after its listing, seven descriptors",
         {"A/d/p/1/2/3/f=#300", "A/d/q/1/2/3/f=#300", "B/d/p/1/2/3/f=#300^7",
          "B/d/q/1/2/3/f=#300^7", "O/p/1/2/3/f=#300^7", "O/q/1/2/3/f=#300^7"},
         "ORVEL_SWAP_AT=3:A/d->../O",
         {"@/A/d/p/1/2/3/f, @/B/d/p/1/2/3/f: Differences encountered.",
          "@/A/d/q/1/2/3/f, @/B/d/q/1/2/3/f: Differences encountered."}, 2, 0,
         "ulimit -n 7"},
        // Opening a FIFO lets a writer waiting on it go: the test build
        // reports any open of what is not a regular file.
        {"first file swapped for a FIFO after the listing",
         {"A/f=#100", "B/f=#100", "A/g=1", "B/g=2"}, "ORVEL_FIFO_AT=1",
         {"@/A/f: Error reading file.", "@/A/g, @/B/g: Differences encountered."},
         2},
        {"first file fails to read past 70,000 bytes",
         {"fuse:A", "A/f=#100000!70000", "B/f=#100000"}, "",
         {"@/A/f: Error reading file."}, 1},
        {"second file fails to read past 70,000 bytes",
         {"fuse:B", "A/f=#100000", "B/f=#100000!70000"}, "",
         {"@/B/f: Error reading file."}, 1},
        {"large first file fails to read past 2,500,000 bytes",
         {"fuse:A", "A/f=#3000000!2500000", "B/f=#3000000"}, "",
         {"@/A/f: Error reading file."}, 1},
        // Reads 1 and 2 are the first file's, 3 on the second's.
        {"second file rewritten after its first block was compared",
         {"A/f=#3B", "B/f=#3B"}, "ORVEL_REWRITE_AT=3",
         {"@/B/f: Error reading file."}, 1},
        // exFAT keeps times to the second and no change time: with its
        // times put back, a file changed while it is read shows nothing.
        // The second file never equals the first: its last byte differs,
        // then, once its first block was compared, its first byte does.
        // Other systems than Linux watch no file here: the times decide.
        {"second file rewritten at both ends, times put back, on exFAT",
         {"exfat:B", "A/f=#3B", "B/f=#3B^3B-1"}, "ORVEL_REWRITE_BACK_AT=3",
#ifdef ORVEL_PORTABLE
         {}, 1},
#else
         {"@/B/f: Error reading file."}, 1},
#endif
        // Opens 1 and 2 are a's, 3 x.txt's in A: B was listed at 2. Its
        // x.txt is X.TXT by then, which an open of x.txt finds on exFAT.
        {"second file renamed in other case after its directory was listed, on exFAT",
         {"fuse:A", "exfat:B", "A/a=1", "A/x.txt=1", "B/a=1", "B/x.txt=1"},
         "ORVEL_RENAME_AT=3:B/x.txt->B/X.TXT", {"@/B/x.txt: Error reading file."},
         2},
#ifdef ORVEL_PORTABLE
        // Read whole, in one read, before it changed: equal as it was read.
        {"first file cut short after its read", {"A/f=%3M", "B/f=%3M"},
         "ORVEL_CUT_AT=1", {}, 1},
        {"first file rewritten after its read", {"A/f=%3M", "B/f=%3M"},
         "ORVEL_REWRITE_AT=1", {}, 1},
        {"first file rewritten at both ends while compared, times as on exFAT",
         {"A/f=#96B", "B/f=#96B^96B-1"},
         "ORVEL_COARSE_TIMES=1 ORVEL_REWRITE_FIRST_BACK_AT=4",
         {"@/A/f, @/B/f: Differences encountered."}, 1},
        {"first file trimmed inside its last page while compared",
         {"A/f=%3M", "B/f=%3M"}, "ORVEL_CUT_FIRST_AT=3:50", {}, 1},
        {"first file cut short while compared", {"A/f=%3M", "B/f=%3M"},
         "ORVEL_CUT_FIRST_AT=3:2097152", {}, 1},
        // Cut to 1 MiB while its first window is compared: the next window
        // is not there.
        {"first file of 4 GiB and more cut short while compared",
         {"A/f=%4G+65536", "B/f=%4G+65536"},
         "ORVEL_CUT_FIRST_AT=2:4293984256", {"@/A/f: Error reading file."}, 1},
#else
        // Mapped, the image is the file: zeros where the second file has
        // zeros too, and yet the pair is not equal. Changed while the
        // second file is read, only the second can be named.
        {"first file cut short after its read", {"A/f=%3M", "B/f=%3M"},
         "ORVEL_CUT_AT=1", {"@/A/f: Error reading file."}, 1},
        {"first file rewritten after its read", {"A/f=%3M", "B/f=%3M"},
         "ORVEL_REWRITE_AT=1", {"@/A/f: Error reading file."}, 1},
        // As the second file on exFAT above: the image is the first file,
        // which never equals the second; read 4 comes once the second's
        // first block was compared. (exFAT's own mappings here, through
        // FUSE, do not follow writes made through other descriptors.)
        {"first file rewritten at both ends while compared, times as on exFAT",
         {"A/f=#96B", "B/f=#96B^96B-1"},
         "ORVEL_COARSE_TIMES=1 ORVEL_REWRITE_FIRST_BACK_AT=4",
         {"@/B/f: Error reading file."}, 1},
        // No fault comes: the bytes past its new end read as zeros.
        {"first file trimmed inside its last page while compared",
         {"A/f=%3M", "B/f=%3M"}, "ORVEL_CUT_FIRST_AT=3:50",
         {"@/B/f: Error reading file."}, 1},
        // The pages past its new end go: a fault inside the image.
        {"first file cut short while compared", {"A/f=%3M", "B/f=%3M"},
         "ORVEL_CUT_FIRST_AT=3:2097152", {"@/B/f: Error reading file."}, 1},
        // Cut 4 KiB past a whole page of 16 or 64 KiB, then touched by the
        // comparison: the zero pages go in from the start of the page the
        // fault falls in.
        {"cut short off a whole page while compared, pages of 16 KiB",
         {"A/f=%96B+8192", "B/f=%96B+8192"},
         "ORVEL_PAGE_BYTES=16384 ORVEL_CUT_FIRST_AT=3:4096",
         {"@/B/f: Error reading file."}, 1},
        {"cut short off a whole page while compared, pages of 64 KiB",
         {"A/f=%96B+8192", "B/f=%96B+8192"},
         "ORVEL_PAGE_BYTES=65536 ORVEL_CUT_FIRST_AT=3:4096",
         {"@/B/f: Error reading file."}, 1},
        // Cut to 1 MiB while its first window is compared: a fault inside
        // the window.
        {"first file of 4 GiB and more cut short while compared",
         {"A/f=%4G+65536", "B/f=%4G+65536"},
         "ORVEL_CUT_FIRST_AT=2:4293984256", {"@/B/f: Error reading file."}, 1},
#endif
        // Kernels with pages of 16 or 64 KiB (arm64): blocks and images
        // mapped, aligned and given back in whole pages of theirs.
        {"pages of 16 KiB",
         {"A/a=#100", "B/a=#100^7", "A/e=", "B/e=", "A/b=#3B+1", "B/b=#3B+1",
          "A/m=#96B+8192", "B/m=#96B+8192^3000000"},
         "ORVEL_PAGE_BYTES=16384",
         {"@/A/a, @/B/a: Differences encountered.",
          "@/A/m, @/B/m: Differences encountered."}, 4},
        {"pages of 64 KiB",
         {"A/a=#100", "B/a=#100^7", "A/e=", "B/e=", "A/b=#3B+1", "B/b=#3B+1",
          "A/m=#96B+8192", "B/m=#96B+8192^3000000"},
         "ORVEL_PAGE_BYTES=65536",
         {"@/A/a, @/B/a: Differences encountered.",
          "@/A/m, @/B/m: Differences encountered."}, 4},
        // Opens: two per pair. Killed as it opens the sixth pair's first file.
        {"killed after five differing pairs", vSixDiffer,
         "ORVEL_SIGNAL_AT=11:9", vSixLines, 6, SIGKILL},
        {"terminated after five differing pairs", vSixDiffer,
         "ORVEL_SIGNAL_AT=11:15", vSixLines, 6, SIGTERM},
        // Sent while the second file opens, with the first one mapped.
        {"a bus error sent from outside ends the run",
         {"A/f=%3M", "B/f=%3M"}, "ORVEL_SIGNAL_AT=2:7", {}, 1, SIGBUS},
        // As the kernel gives it for a fault just below the mapped image.
        {"a bus error elsewhere ends the run",
         {"A/f=%3M", "B/f=%3M"}, "ORVEL_BUS_AT=2", {}, 1, SIGBUS},
        // A stall shows as the run's time running out.
        {"second tree on a share that hangs on a FIFO's name",
         {"fuse:A", "A/f=1", "A/p|", "fuse:B", "B/f=1", "B/p=1", "hold:B/p"},
         "", {"@/A/p: Error reading file."}, 2},
        // The agent's readers go once the core has opened B/a (the second
        // tree is known then): they open A/f and B/f, hold them for the
        // core and read B/f, which the share then replaces under the same
        // number and size. The held descriptor still reads the old B/f,
        // which equals A/f; the core's look finds new times, and its own
        // open reads the new B/f. Without the agent, the core reads B/f
        // itself before it is replaced: equal as it was read.
        {"second file replaced on a share that numbers by path, once read ahead",
         {"fuse:A", "A/a=1", "A/f=#100", "fuse:B", "B/a=1", "B/f=#100",
          "swap:B/f=#100^7"},
#ifdef ORVEL_PORTABLE
         "", {}, 2},
#else
         "", {"@/A/f, @/B/f: Differences encountered."}, 2},
#endif
        // clang-format on
    };
    std::string sLeftOut;
    for (const auto &c : aCases) {
        SCOPED_TRACE(c.pszName);
        if (!CanMake(c.vTree, &sLeftOut))
            continue;
        for (const char *pszAhead :
             {"ORVEL_AHEAD=0", "ORVEL_AHEAD=1", "ORVEL_AHEAD=2"}) {
            SCOPED_TRACE(pszAhead);
            Scratch scratch;
            scratch.Make(c.vTree);
            std::vector<std::string> vEnv = {pszAhead, "ORVEL_AHEAD_STEP=1"};
            std::istringstream faults(c.sFault);
            for (std::string sWord; faults >> sWord;)
                vEnv.push_back(sWord);
            RunOptions opt;
            opt.sShellPrefix = c.sLimit;
            RunResult r = RunFaulty(scratch, vEnv, opt);
            if (c.nSignal == 0) {
                ExpectReport(r, scratch, c.vLines, c.nFiles, 0);
                continue;
            }
            // Every line whole, each a pair's, none twice, no summary.
            const std::vector<std::string> vMay = Expanded(c.vLines, scratch);
            Report rep = ParseReport(r);
            EXPECT_EQ(r.nStatus, 128 + c.nSignal);
            EXPECT_EQ(r.sErr, Progress(c.nFiles));
            EXPECT_EQ(rep.nSummary, -1);
            EXPECT_EQ(rep.vLines.size(), (size_t)c.nFiles - 1) << r.sOut;
            EXPECT_TRUE(std::includes(vMay.begin(), vMay.end(),
                                      rep.vLines.begin(), rep.vLines.end()))
                << r.sOut;
        }
    }
    SKIP_IF_LEFT_OUT(sLeftOut);
}

// A memory control group of its own below this process's, limited to nMiB:
// the directory to put a process into, or "" where none can be made here
// (no memory controller, or not writable).
std::string MakeMemoryGroup(int nMiB)
{
    std::ifstream cgroups("/proc/self/cgroup"), mounts("/proc/self/mountinfo");
    std::string sLine, sGroup, sMount;
    while (std::getline(cgroups, sLine))
        if (sLine.find(":memory:") != std::string::npos)
            sGroup = sLine.substr(sLine.find(":memory:") + 8);
    while (std::getline(mounts, sLine)) {
        std::istringstream words(sLine);
        std::string sWord, sPoint;
        for (int i = 0; i < 5 && words >> sWord; i++)
            sPoint = sWord;
        if (sLine.find(" - cgroup ") != std::string::npos &&
            sLine.find("memory", sLine.find(" - ")) != std::string::npos)
            sMount = sPoint;
    }
    if (sGroup.empty() || sMount.empty())
        return "";
    static int nMade = 0;
    std::string sDir = sMount + (sGroup == "/" ? "" : sGroup) + "/orvel-test-" +
                       std::to_string(getpid()) + "-" + std::to_string(nMade++);
    if (mkdir(sDir.c_str(), 0755) != 0)
        return "";
    std::ofstream(sDir + "/memory.limit_in_bytes") << (long long)nMiB * 1048576;
    std::ifstream limit(sDir + "/memory.limit_in_bytes");
    long long nSet = 0;
    if (!(limit >> nSet) || nSet != (long long)nMiB * 1048576) {
        rmdir(sDir.c_str());
        return "";
    }
    return sDir;
}

// Limits the process runs under. A first file larger than the memory the
// process may have stops the run with the file named and the summary, also
// where exceeding the limit would get the process killed (a memory control
// group, as in a container); any other limit must leave the report as it is,
// also with the read-ahead agent at work on files dropped from the page
// cache, whose descriptors and pages must never be what the comparison
// lacks.
TEST(UnderTheRun, ProcessLimits)
{
    if (TheTarget().bWin32)
        GTEST_SKIP() << "POSIX limits";
    const std::vector<std::string> kSmallTree = {
        "A/x=1",       "B/x=2",        "A/e=",
        "B/e=",        "A/s/y=#40000", "B/s/y=#40000^39999",
        "A/s/t/z=#10", "B/s/t/z=#10",  "A/s/t/u/w=1",
        "B/s/t/u/w=1", "A/r/q=3",      "B/r/q=4",
        "A/r/p=#5",    "B/r/p=#6"};
    const std::vector<std::string> kSmallLines = {
        "@/A/x, @/B/x: Differences encountered.",
        "@/A/s/y, @/B/s/y: Differences encountered.",
        "@/A/r/q, @/B/r/q: Differences encountered.",
        "@/A/r/p, @/B/r/p: Files have different sizes."};
    std::vector<std::string> vDeepLines;
    const std::vector<std::string> vDeepTree = DifferingTree(12, &vDeepLines);
    const char *const kGroup = "group:";  // a memory control group of N MiB
    struct {
        const char *pszName;
        std::vector<std::string> vTree;
        std::string sLimit;  // sh commands, or kGroup and a size in MiB
        std::vector<std::string> vLines;
        long nFiles;
        int nStatus;
        bool bUnsanitized;        // sanitizers reserve more address space
        std::string sFault = "";  // run by the test build with this fault
    } aCases[] = {
        // clang-format off
        {"address space smaller than the first file",
         {"A/big=%400M", "B/big=%400M", "B/x=1"}, "ulimit -v 200000",
         {"@/A/big: Memory allocation error."}, 1, 1, true},
#ifdef ORVEL_PORTABLE
        // Read into private memory, which the group's limit counts.
        {"memory control group smaller than the first file",
         {"A/a=1", "B/a=2", "A/big=%300M", "B/big=%300M"}, "group:200",
         {"@/A/big: Memory allocation error."}, -2, 1, false},
#else
        // Mapped: its pages are the page cache's, which the kernel reclaims.
        {"memory control group smaller than a mapped first file",
         {"A/a=1", "B/a=2", "A/big=%300M", "B/big=%300M"}, "group:200",
         {"@/A/a, @/B/a: Differences encountered."}, 2, 0, false},
#endif
        // Its pages cannot be brought in ahead: it is copied after all.
        {"memory control group smaller than a first file that must be copied",
         {"A/a=1", "B/a=2", "A/big=%300M", "B/big=%300M"}, "group:200",
         {"@/A/big: Memory allocation error."}, -2, 1, false,
         "ORVEL_NO_POPULATE=1"},
        {"first file that fits the memory control group with its page cache",
         {"A/big=%100M", "B/big=%100M"}, "group:200", {}, 1, 0, false},
        {"seven descriptors", kSmallTree, "ulimit -n 7", kSmallLines, 7, 0, false},
        {"seven descriptors, twelve levels deep", vDeepTree, "ulimit -n 7",
         vDeepLines, 13, 0, false},
        {"twelve megabytes of address space", kSmallTree, "ulimit -v 12000",
         kSmallLines, 7, 0, true},
        {"memory control group, reading ahead",
         {"A/big=#100M", "B/big=#100M", "A/s/a=1", "B/s/a=2"}, "group:120",
         {"@/A/s/a, @/B/s/a: Differences encountered."}, 2, 0, false,
         "ORVEL_AHEAD=1"},
#ifndef ORVEL_PORTABLE  // the agent is Linux's only
        // The fewest the comparison needs, none inherited: the agent, which
        // keeps to the lower half of the limit, never starts.
        {"five descriptors, reading ahead", kSmallTree,
         "exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-; ulimit -n 5", kSmallLines, 7,
         0, false, "ORVEL_AHEAD=1"},
#endif
        // The agent holds its roots in the lower half of the room and the
        // comparison still has what it needs. (Where the comparison runs
        // out, the agent gives its descriptors back first, and the levels
        // would give theirs: the report is the same either way.)
        {"ten descriptors, reading ahead", kSmallTree, "ulimit -n 10",
         kSmallLines, 7, 0, false, "ORVEL_AHEAD=1"},
        {"twelve megabytes of address space, reading ahead", kSmallTree,
         "ulimit -v 12000", kSmallLines, 7, 0, true, "ORVEL_AHEAD=1"},
        // clang-format on
    };
    std::string sLeftOut;
    for (const auto &c : aCases) {
        SCOPED_TRACE(c.pszName);
#ifdef ORVEL_SANITIZED
        if (c.bUnsanitized)
            continue;
#endif
        // The thread sanitizer's shadow memory counts against the group.
        if (kThreadSanitized && c.sLimit.rfind(kGroup, 0) == 0)
            continue;
        Scratch scratch;
        scratch.Make(c.vTree);
        RunOptions opt;
        opt.sCwd = scratch.Root();
        opt.sShellPrefix = c.sLimit;
        if (!c.sFault.empty()) {
            opt.sBin = ORVEL_FAULTS_BIN;
            opt.vEnv = {c.sFault, "ORVEL_AHEAD_STEP=1"};
        }
        if (c.sFault.rfind("ORVEL_AHEAD", 0) == 0)
            nftw(scratch.Root().c_str(), Uncache, 16, FTW_PHYS);
        std::string sGroup;
        if (c.sLimit.rfind(kGroup, 0) == 0) {
            sGroup =
                MakeMemoryGroup(std::stoi(c.sLimit.substr(strlen(kGroup))));
            if (sGroup.empty()) {
                sLeftOut = "no memory control group can be made here";
                if (ToolsRequired())
                    ADD_FAILURE() << sLeftOut;
                continue;
            }
            opt.sShellPrefix = "echo $$ >" + sGroup + "/cgroup.procs";
        }
        RunResult r = RunTool({"A", "B"}, opt);
        if (!sGroup.empty())
            rmdir(sGroup.c_str());
        // -2: the pair "a" comes before or after the stop, in the
        // directory's order; its line and count with it.
        long nFiles = c.nFiles;
        std::vector<std::string> vLines = c.vLines;
        if (nFiles == -2) {
            nFiles = ParseReport(r).vLines.size() == 2 ? 2 : 1;
            if (nFiles == 2)
                vLines.push_back("@/A/a, @/B/a: Differences encountered.");
        }
        ExpectReport(r, scratch, vLines, nFiles, c.nStatus);
    }
    SKIP_IF_LEFT_OUT(sLeftOut);
}

// Memory that runs out at each allocation in turn (FailEachAllocation), over
// a walk eight levels deep, and under valgrind's memcheck, which also sees
// reads and writes out of bounds, over a smaller one with the read-ahead
// agent at work, in step with the core. The sanitizer build runs the first
// under LeakSanitizer.
TEST(UnderTheRun, EveryAllocationFailsInTurn)
{
    if (TheTarget().bWin32)
        GTEST_SKIP() << "the fault-injecting layer is POSIX only";
    const struct {
        const char *pszName;
        int nLevels;
        std::vector<std::string> vPrefix;  // command words before the tool
        std::vector<std::string> vEnv = {};
    } aCases[] = {
        // clang-format off
        {"a walk eight levels deep", 8, {}},
        {"under memcheck", 3,
         {"valgrind", "-q", "--leak-check=full",
          "--errors-for-leak-kinds=definite,indirect,possible",
          "--suppressions=" ORVEL_VALGRIND_SUPP, "--error-exitcode=99"},
         {"ORVEL_AHEAD=1", "ORVEL_AHEAD_STEP=1"}},
        // clang-format on
    };
    std::string sLeftOut;
    for (const auto &c : aCases) {
        SCOPED_TRACE(c.pszName);
#ifdef ORVEL_SANITIZED
        if (!c.vPrefix.empty())
            continue;  // valgrind cannot run a sanitized binary
#endif
        if (!c.vPrefix.empty() && !CanRun(c.vPrefix[0], &sLeftOut))
            continue;
        Scratch scratch;
        std::vector<std::string> vLines;
        scratch.Make(DifferingTree(c.nLevels, &vLines));
        RunOptions opt;
        opt.vPrefix = c.vPrefix;
        opt.vEnv = c.vEnv;
        FailEachAllocation(scratch, vLines, opt);
    }
    SKIP_IF_LEFT_OUT(sLeftOut);
}

// The layer's own working memory (path texts, search state) failing in turn:
// the argument or the directory concerned is named, never a directory cut
// short without a word.
TEST(UnderTheRun, LayerMemoryFailsInTurn)
{
    if (TheTarget().bWin32)
        GTEST_SKIP() << "the fault-injecting layer is POSIX only";
    Scratch scratch;
    scratch.Make({"A/a=1", "B/a=2", "A/s/b=1", "B/s/b=2", "A/s/t/c=1",
                  "B/s/t/c=2", "A/z=1", "B/z=2"});
    const std::vector<std::string> vAll =
        Expanded({"@/A/a, @/B/a: Differences encountered.",
                  "@/A/s/b, @/B/s/b: Differences encountered.",
                  "@/A/s/t/c, @/B/s/t/c: Differences encountered.",
                  "@/A/z, @/B/z: Differences encountered."},
                 scratch);
    for (int nAt = 1; nAt < 100; nAt++) {
        SCOPED_TRACE("request " + std::to_string(nAt));
        RunResult r = RunFaulty(
            scratch, {"ORVEL_FAIL_WORK_ALLOC=" + std::to_string(nAt)});
        Report rep = ParseReport(r);
        if (r.nStatus == 1) {
            // Resolving an argument: it is named, and nothing is walked.
            ASSERT_EQ(rep.vLines.size(), 1u);
            EXPECT_TRUE(rep.vLines[0] == "A: File not found." ||
                        rep.vLines[0] == "B: File not found.")
                << rep.vLines[0];
            EXPECT_EQ(rep.nSummary, -1);
            continue;
        }
        ASSERT_EQ(r.nStatus, 0);
        if (rep.vLines == vAll) {
            EXPECT_EQ(rep.nSummary, 4);
            break;
        }
        // A search that could not start names its directory; every pair
        // outside it is still reported.
        long nNamed = 0, nOthers = 0;
        for (const std::string &s : rep.vLines) {
            if (EndsWith(s, ": File not found."))
                nNamed++;
            else if (std::find(vAll.begin(), vAll.end(), s) != vAll.end())
                nOthers++;
            else
                ADD_FAILURE() << "unexpected line: " << s;
        }
        EXPECT_EQ(nNamed, 1) << r.sOut;
        EXPECT_EQ(nOthers, rep.nSummary) << r.sOut;
    }
}

// Standard output that cannot be written: the run must not pass for one that
// went through. "Error writing output." goes to standard error, status 1.
TEST(UnderTheRun, OutputCannotBeWritten)
{
    if (TheTarget().bWin32)
        GTEST_SKIP() << "uses /dev/full";
    Scratch scratch;
    std::vector<std::string> vTree = {"A/x=1", "B/x=1"};
    for (int i = 0; i < 300; i++)
        for (const char *pszTree : {"A/many/", "B/many/"})
            vTree.push_back(pszTree + std::to_string(i) + "=" +
                            (pszTree[0] == 'A' ? "1" : "2"));
    scratch.Make(vTree);
    const std::string sWriteError = "Error writing output.\n";
    struct {
        const char *pszName;
        std::vector<std::string> vArgs;
        std::string sStdout;  // "" captures it
        std::string sShell;   // commands before the run
        std::string sErr;     // "" for the progress lines alone
        int nFiles, nStatus;
    } aCases[] = {
        // clang-format off
        {"full disk, one file", {"A/x", "B/x"}, "/dev/full", "", sWriteError, 0, 1},
        {"full disk, whole run", {"A", "B"}, "/dev/full", "", sWriteError, 301, 1},
        {"full disk, usage error", {"A"}, "/dev/full", "", sWriteError, 0, 1},
        {"full disk, argument too long", {std::string(1100, 'x'), "B"}, "/dev/full",
         "", sWriteError, 0, 1},
        {"closed stream", {"A", "B"}, "", "exec 1>&-", sWriteError, 301, 1},
        {"output discarded is written", {"A", "B"}, "/dev/null", "", "", 301, 0},
        // The progress line is no part of the report: its loss is no failure.
        {"progress cannot be written", {"A", "B"}, "", "exec 2>/dev/full", "", 0, 0},
        {"nothing can be written", {"A", "B"}, "/dev/full", "exec 2>/dev/full", "",
         0, 1},
        {"captured output is written", {"A/x", "B/x"}, "", "", "", 0, 0},
        // clang-format on
    };
    for (const auto &c : aCases) {
        SCOPED_TRACE(c.pszName);
        RunOptions opt;
        opt.sCwd = scratch.Root();
        opt.sStdout = c.sStdout;
        opt.sShellPrefix = c.sShell;
        RunResult r = RunTool(c.vArgs, opt);
        EXPECT_EQ(r.sErr, Progress(c.nFiles) + c.sErr);
        EXPECT_EQ(r.nStatus, c.nStatus);
    }
}
