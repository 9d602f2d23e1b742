// The tool only reads: traced with strace over trees that hold every kind of
// entry, no system call may open for writing, create, truncate, rename,
// remove, change modes, owners or times, or write anywhere but to standard
// output and standard error; and both trees must come out as they went in.
// Each run is made again by the test build with its read-ahead agent at
// work, in step with the core and on a walk that parts from the core's,
// whose threads the trace follows as well: they must look up no name the
// core does not look up itself (a name of the second tree whose first file
// is a FIFO, say, which a share that hangs would never answer), open no
// file of a pair the core has left, and, where the walk has a file for
// them, open one: a walk of the agent's that is empty or wrong shows here.
// In step, a file it opens is the core's to take: no file is opened more
// often than the core looks at it before its opens. On a share (the tests' FUSE
// tree) it starts by itself, and each file is opened once, also where the
// agent's open is still in flight as the core comes to the file.
#include "harness.h"

#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Every kind of entry, in both trees, with pairs that are equal, differ,
// differ in size, are missing, and are files in one tree and directories
// in the other.
const std::vector<std::string> kEveryKind = {
    "A/f=text",
    "B/f=text",
    "A/e=",
    "B/e=",
    "A/big=#70000",
    "B/big=#70000^40000",
    "A/size=#10",
    "B/size=#11",
    "A/.dot=1",
    "B/.dot=1",
    "A/.dotdir/x=1",
    "B/.dotdir/x=1",
    "A/n/e/s/t/deep=1",
    "B/n/e/s/t/deep=2",
    "A/emptydir/",
    "B/emptydir/",
    "A/onlyA/x=1",
    "A/lf->f",
    "B/lf->f",
    "A/ld->n",
    "B/ld->n",
    "A/broken->nowhere",
    "B/broken->nowhere",
    "A/p|",
    "B/p|",
    "A/cycle->.",
    "B/cycle->.",
    "A/up/back->..",
    "B/up/",
    "A/dirfile/x=1",
    "B/dirfile=1",
    "A/filedir=1",
    "B/filedir/",
    "B/onlyB=1",
    "A/w/v/1=1",  // a root of one entry, which a parted walk lacks
    "A/w/v/2=2",
    "B/w/v/1=1",
    "B/w/v/2=1",
};

// What a tree holds, entry by entry: type and mode, size, modification and
// change times, the access times of files (where the system lets the tool
// read without stamping them), and the content, read without touching the
// access time, or the link target. (Directories' access times
// are left out: the walk of the snapshot itself would stamp them.)
std::map<std::string, std::string> *pSnap = nullptr;
std::string sSnapRoot;

int SnapEntry(const char *pszPath, const struct stat *pSt, int, struct FTW *)
{
    std::ostringstream ss;
    ss << std::oct << pSt->st_mode << std::dec << " " << pSt->st_size << " "
       << pSt->st_mtim.tv_sec << "." << pSt->st_mtim.tv_nsec << " "
       << pSt->st_ctim.tv_sec << "." << pSt->st_ctim.tv_nsec << " ";
#ifndef ORVEL_PORTABLE  // other systems have no O_NOATIME: reads stamp them
    if (S_ISREG(pSt->st_mode))
        ss << pSt->st_atim.tv_sec << "." << pSt->st_atim.tv_nsec << " ";
#endif
    if (S_ISREG(pSt->st_mode)) {
        int fd = open(pszPath, O_RDONLY | O_NOATIME);
        char szBuf[65536];
        for (ssize_t n; fd >= 0 && (n = read(fd, szBuf, sizeof(szBuf))) > 0;)
            ss << std::string(szBuf, n);
        if (fd >= 0)
            close(fd);
    } else if (S_ISLNK(pSt->st_mode)) {
        char szTarget[4096];
        ssize_t n = readlink(pszPath, szTarget, sizeof(szTarget));
        ss << std::string(szTarget, n > 0 ? n : 0);
    }
    (*pSnap)[std::string(pszPath).substr(sSnapRoot.size())] = ss.str();
    return 0;
}

// Sets a file's access time to long before its modification, so that any
// read of it, even under relatime, would stamp it anew.
int AgeEntry(const char *pszPath, const struct stat *pSt, int, struct FTW *)
{
    if (!S_ISREG(pSt->st_mode))
        return 0;
    const struct timespec aTimes[2] = {{946684800, 0}, {0, UTIME_OMIT}};
    utimensat(AT_FDCWD, pszPath, aTimes, AT_SYMLINK_NOFOLLOW);
    return 0;
}

std::map<std::string, std::string> Snapshot(const std::string &sRoot)
{
    std::map<std::string, std::string> snap;
    pSnap = &snap;
    sSnapRoot = sRoot;
    nftw(sRoot.c_str(), SnapEntry, 32, FTW_PHYS);
    return snap;
}

// System calls that change the file system whatever their arguments.
const std::set<std::string> kForbidden = {
    "rename",       "renameat",        "renameat2",
    "unlink",       "unlinkat",        "mkdir",
    "mkdirat",      "rmdir",           "truncate",
    "ftruncate",    "chmod",           "fchmod",
    "fchmodat",     "chown",           "fchown",
    "lchown",       "fchownat",        "utime",
    "utimes",       "utimensat",       "futimesat",
    "link",         "linkat",          "symlink",
    "symlinkat",    "mknod",           "mknodat",
    "creat",        "setxattr",        "lsetxattr",
    "fsetxattr",    "removexattr",     "lremovexattr",
    "fremovexattr", "fallocate",       "copy_file_range",
    "sendfile",     "splice",          "mount",
    "umount2",      "sync_file_range", "name_to_handle_at"};
// An open's flags that would write, create or truncate.
const char *const kapszWritingFlags[] = {"O_WRONLY", "O_RDWR",   "O_CREAT",
                                         "O_TRUNC",  "O_APPEND", "O_TMPFILE"};
const std::set<std::string> kWrites = {"write", "writev", "pwrite64", "pwritev",
                                       "pwritev2"};

// The calls of a trace that break the read-only promise.
std::vector<std::string> Violations(const std::vector<TracedCall> &vCalls)
{
    std::vector<std::string> v;
    for (const TracedCall &c : vCalls) {
        const std::string &sName = c.sName, &sArgs = c.sArgs;
        // The thread sanitizer's run-time keeps a file of its own.
        if (kThreadSanitized &&
            sArgs.find("/tsan.rodata.") != std::string::npos)
            continue;
        bool bBad = kForbidden.count(sName) != 0;
        if (c.bOpen)
            for (const char *pszFlag : kapszWritingFlags)
                bBad = bBad || sArgs.find(pszFlag) != std::string::npos;
        // The descriptor written to, whatever strace -y puts after it.
        if (kWrites.count(sName) != 0)
            bBad = sArgs.find_first_not_of("0123456789") != 1 ||
                   (sArgs[0] != '1' && sArgs[0] != '2');
        if (sName == "mmap" && sArgs.find("MAP_SHARED") != std::string::npos &&
            sArgs.find("PROT_WRITE") != std::string::npos)
            bBad = true;
        if (bBad)
            v.push_back(c.sLine);
    }
    return v;
}

// A path as the tool named it, its directory resolved: the same name
// whatever directory descriptor or link it was reached by.
std::string NameKey(const std::string &sPath)
{
    const size_t nSlash = sPath.rfind('/');
    char *pszDir = realpath(sPath.substr(0, nSlash).c_str(), nullptr);
    std::string sKey =
        pszDir != nullptr ? pszDir + sPath.substr(nSlash) : sPath;
    free(pszDir);
    return sKey;
}

// What the read-ahead agent's threads did in a trace, against the core's:
// the names they looked up that the core did not, the files they opened
// where the core had left them (had looked their names up for the last
// time), how many files they opened, the files that all threads
// opened more often than the core looked at them before its opens (bOnce:
// more than once, where the core opens no file twice), and how
// often each directory was listed: of the first tree (sFirst, resolved; ""
// for none) by the core and by all threads, of the second (sSecond) by the
// agent's.
struct AheadTrace {
    std::vector<std::string> vNotTheCores;
    std::vector<std::string> vLeft;
    int nFilesOpened = 0;
    int nCoreListings = 0;  // of the first tree, by the core
    std::vector<std::string> vOpenedAgain;
    std::map<std::string, int> mapListings;  // by the directory
};

AheadTrace TraceAhead(const std::vector<TracedCall> &vCalls,
                      const std::string &sRoot, const std::string &sFirst,
                      const std::string &sSecond, bool bOnce)
{
    auto Under = [&](const std::string &s) {
        return s.rfind(sRoot + "/", 0) == 0;
    };
    auto IsFileOpen = [&](const TracedCall &c) {
        return c.bOpen && !c.bPathOnly && Under(c.sOpened) &&
               c.sArgs.find("O_DIRECTORY") == std::string::npos;
    };
    // A name looked up: not an empty path, nor "." (the directory itself).
    auto LooksUp = [&](const TracedCall &c) {
        return Under(c.sNamed) && c.sNamed.back() != '/' &&
               c.sNamed.compare(c.sNamed.size() - 2, 2, "/.") != 0;
    };
    std::set<std::string> setCoreNames;
    std::vector<std::string> vCoreNames;  // the core's look-ups, in order
    std::map<std::string, int> mapLooks, mapOpens;  // by the file's name
    for (const TracedCall &c : vCalls) {
        if (c.bOtherThread || !LooksUp(c))
            continue;
        setCoreNames.insert(NameKey(c.sNamed));
        vCoreNames.push_back(NameKey(c.sNamed));
        if (c.sName == "newfstatat")
            mapLooks[NameKey(c.sNamed)]++;
    }
    AheadTrace t;
    size_t nCoreAt = 0;  // the core's look-ups so far
    for (const TracedCall &c : vCalls) {
        if (IsFileOpen(c) && ++mapOpens[NameKey(c.sNamed)] >
                                 (bOnce ? 1 : mapLooks[NameKey(c.sNamed)]))
            t.vOpenedAgain.push_back(c.sLine);
        // A listing: getdents64(FD</dir>, ...) = N, N > 0 (a directory of
        // the tests' takes one).
        const size_t nDir = c.sArgs.find('<'), nEnd = c.sArgs.find('>');
        const std::string sDir =
            nDir != std::string::npos && nEnd != std::string::npos
                ? c.sArgs.substr(nDir + 1, nEnd - nDir - 1)
                : "";
        auto Under = [&](const std::string &sTree) {
            return !sTree.empty() &&
                   (sDir == sTree || sDir.rfind(sTree + "/", 0) == 0);
        };
        if (c.sName == "getdents64" &&
            c.sArgs.find(") = 0") == std::string::npos &&
            c.sArgs.find(") = -") == std::string::npos) {
            t.nCoreListings += Under(sFirst) && !c.bOtherThread ? 1 : 0;
            t.mapListings[sDir] += Under(sFirst) ? 1 : 0;
            t.mapListings[sDir] += Under(sSecond) && c.bOtherThread ? 1 : 0;
        }
        if (!c.bOtherThread) {
            nCoreAt += LooksUp(c) ? 1 : 0;
            continue;
        }
        if (LooksUp(c) && setCoreNames.count(NameKey(c.sNamed)) == 0)
            t.vNotTheCores.push_back(c.sLine);
        if (!IsFileOpen(c))
            continue;
        t.nFilesOpened++;
        // The name the core looked up last, or one it looks up later.
        if (std::find(vCoreNames.begin() + (nCoreAt > 0 ? nCoreAt - 1 : 0),
                      vCoreNames.end(), NameKey(c.sNamed)) == vCoreNames.end())
            t.vLeft.push_back(c.sLine);
    }
    return t;
}

}  // namespace

TEST(ReadOnly, TracedRunsChangeNothing)
{
    if (TheTarget().bWin32 || !TheTarget().vLauncher.empty())
        GTEST_SKIP() << "traces the native binary only";
    REQUIRE_PROGRAM("strace");
    Scratch scratch, logs;
    scratch.Make(kEveryKind);
    for (const char *pszDev : {"/A/dev", "/B/dev"})  // as /dev/null
        ASSERT_EQ(mknod((scratch.Root() + pszDev).c_str(), S_IFCHR | 0666,
                        makedev(1, 3)),
                  0);
    nftw(scratch.Root().c_str(), AgeEntry, 32, FTW_PHYS);
    const auto snapBefore = Snapshot(scratch.Root());
    ASSERT_GT(snapBefore.size(), 30u);

    // Argument pairs that take every path of the walk and the comparison;
    // whether the agent's walk holds a file for it, in step and parted
    // (the one file of a walk is the core's first, which the core opens
    // itself); a tree
    // of the row's own instead of the one of every kind.
    const struct {
        std::vector<std::string> vArgs;
        bool bAheadOpens, bPartedOpens;
        bool bWalks = true;  // the agent's walk holds a file
        std::vector<std::string> vTree = {};
        // Its steps: 2, the agent's opens in flight as the core comes to
        // their files.
        const char *pszStep = "ORVEL_AHEAD_STEP=1";
    } aRuns[] = {
        // clang-format off
        {{"A", "B"}, true, true},
        {{"B", "A"}, true, true},
        {{"A", "A"}, true, true},
        {{"A", "nope"}, true, true},
        {{"nope", "B"}, false, false, false},
        {{"A/f", "B/f"}, false, false, false},
        {{"A/./n/", "B//n"}, false, false},
        {{"A/w", "B/w"}, true, true},
        // Both trees on a share, where the agent starts by itself.
        {{"A", "B"}, true, true, true,
         {"fuse:A", "A/f=1", "A/d/g=#70000", "A/d/h=#300", "A/i=#5",
          "fuse:B", "B/f=1", "B/d/g=#70000^9", "B/d/h=#300", "B/i=#6"}},
        {{"A", "B"}, true, true, true,
         {"fuse:A", "A/f=1", "A/d/g=#70000", "A/d/h=#300", "A/i=#5",
          "fuse:B", "B/f=1", "B/d/g=#70000^9", "B/d/h=#300", "B/i=#6"},
         "ORVEL_AHEAD_STEP=2"},
        // clang-format on
    };
    int nRun = 0, nOpened = 0;
    std::string sLeftOut;
    for (const auto &run : aRuns) {
        const bool bShare = !run.vTree.empty();
        // How often the core alone lists each directory (a link to one
        // lists it again); once, where the agent is always at work. The
        // agent lists each of the second tree's as often.
        std::map<std::string, int> mapAlone;
        if (bShare && !CanMake(run.vTree, &sLeftOut))
            continue;
        for (const char *pszAhead :
             {"ORVEL_AHEAD=0", "ORVEL_AHEAD=1", "ORVEL_AHEAD=2"}) {
            const bool bAhead =
                strcmp(pszAhead, "ORVEL_AHEAD=0") != 0 || bShare;
            const std::vector<std::string> &vArgs = run.vArgs;
            SCOPED_TRACE(vArgs[0] + " " + vArgs[1] + " " + pszAhead + " " +
                         run.pszStep + (bShare ? " on a share" : ""));
            Scratch share;
            if (bShare)
                share.Make(run.vTree);
            const Scratch &on = bShare ? share : scratch;
            std::string sTrace =
                logs.Root() + "/trace" + std::to_string(nRun++);
            RunOptions opt;
            opt.sCwd = on.Root();
            opt.vPrefix = {"strace", "-f", "-qq", "-y",
                           "-s",     "0",  "-o",  sTrace};
            // LeakSanitizer cannot run under a tracer.
            opt.vEnv = {"ASAN_OPTIONS=detect_leaks=0", pszAhead, run.pszStep};
            if (bAhead)
                opt.sBin = ORVEL_FAULTS_BIN;
            RunResult r = RunTool(vArgs, opt);
            EXPECT_EQ(r.nStatus, 0) << r.sOut << r.sErr;
            EXPECT_NE(ParseReport(r).nSummary, -1) << r.sOut;
            EXPECT_EQ(r.sErr.find("orvel-faults"), std::string::npos) << r.sErr;
            const std::vector<TracedCall> vCalls = TracedCalls(sTrace);
            EXPECT_GT(vCalls.size(), 20u)
                << "the trace looks empty: " << sTrace;
            EXPECT_EQ(Violations(vCalls), std::vector<std::string>{});
            // Opening a FIFO or a device acts on it: neither may be opened, by
            // whatever path or descriptor. An O_PATH open acts on nothing.
            for (const TracedCall &o : vCalls) {
                if (!o.bOpen)
                    continue;
                nOpened += o.sOpened.rfind(on.Root() + "/", 0) == 0 ? 1 : 0;
                for (const char *pszName :
                     {"/A/p", "/B/p", "/A/dev", "/B/dev"}) {
                    const std::string sPath = on.Root() + pszName;
                    EXPECT_FALSE(!o.bPathOnly &&
                                 (o.sNamed == sPath || o.sOpened == sPath))
                        << "opened " << sPath;
                }
            }
            // The first tree, where the second is neither it nor in it.
            auto Resolved = [&](const std::string &sArg) {
                char *psz = realpath((on.Root() + "/" + sArg).c_str(), nullptr);
                std::string sPath = psz != nullptr ? psz : "";
                free(psz);
                return sPath;
            };
            std::string sFirst = Resolved(vArgs[0]);
            std::string sSecond = Resolved(vArgs[1]);
            if (sSecond == sFirst || sSecond.rfind(sFirst + "/", 0) == 0 ||
                sFirst.rfind(sSecond + "/", 0) == 0)
                sFirst.clear(), sSecond.clear();
            const AheadTrace ahead =
                TraceAhead(vCalls, on.Root(), sFirst, sSecond, bShare);
            EXPECT_EQ(ahead.vNotTheCores, std::vector<std::string>{})
                << "looked up by the agent alone";
            // Only a run in step is sure to have its agent ahead: the
            // shipped program's starts at a miss of the page cache (another
            // process dropped it) and may fall behind the core.
            if (bAhead) {
                EXPECT_EQ(ahead.vLeft, std::vector<std::string>{})
                    << "opened by the agent where the core had left it";
            }
#ifndef ORVEL_PORTABLE  // the agent is Linux's only
            const bool bParted = strcmp(pszAhead, "ORVEL_AHEAD=2") == 0;
            if (bAhead && (bParted ? run.bPartedOpens : run.bAheadOpens)) {
                EXPECT_GT(ahead.nFilesOpened, 0) << "the agent opened nothing";
            }
            // In step, the core's searches take the agent's listings; parted
            // (the agent's lacking entries), the core lists for itself.
            if (strcmp(pszAhead, "ORVEL_AHEAD=1") == 0 && !sFirst.empty()) {
                EXPECT_EQ(ahead.nCoreListings, 0) << "the walks are two";
            }
            if (bParted && run.bWalks && !sFirst.empty()) {
                EXPECT_GT(ahead.nCoreListings, 0) << "the walk did not part";
            }
            // Each file opened once: the agent's opens are the core's; each
            // directory of the first tree listed once, for both, each of the
            // second once by all the agent's threads.
            if (bAhead && !bParted) {
                EXPECT_EQ(ahead.vOpenedAgain, std::vector<std::string>{})
                    << "opened by the agent and the core";
                for (const auto &[sDir, n] : ahead.mapListings)
                    EXPECT_LE(n, mapAlone.count(sDir) ? mapAlone[sDir] : 1)
                        << sDir << " listed again";
            }
            if (!bAhead)
                mapAlone = ahead.mapListings;
#endif
        }
    }
    // The traces were read: the files compared were seen opened.
    EXPECT_GT(nOpened, 20);
    EXPECT_EQ(Snapshot(scratch.Root()), snapBefore);
    SKIP_IF_LEFT_OUT(sLeftOut);
}
