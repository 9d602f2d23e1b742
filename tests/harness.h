// Runs the real orvel binary on real trees made in a scratch directory and
// checks its exact standard output, standard error and exit status.
//
// The suite is parameterised by the environment, so that the same cases can
// drive another build of the tool:
//   ORVEL_BIN       the binary under test
//   ORVEL_LAUNCHER  a command put before it (words split at blanks)
//   ORVEL_TARGET    "posix" (default) or "win32": the form of absolute paths
//                   ("/tmp/x" or "Z:\tmp\x"), the separator and the line ending
#ifndef ORVEL_TESTS_HARNESS_H
#define ORVEL_TESTS_HARNESS_H

#include <stdint.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

struct Target {
    std::string sBin;
    std::vector<std::string> vLauncher;
    bool bWin32 = false;
    std::string sEol = "\n";
};

// The target named by the environment, with sDefaultBin when ORVEL_BIN is
// unset.
const Target &TheTarget();

// A path of this machine in the form the target prints it.
std::string TargetPath(const std::string &sPath);

struct RunResult {
    std::string sOut;
    std::string sErr;
    int nStatus = -1;  // exit status, or 128 + signal
};

struct RunOptions {
    std::string sCwd;                  // directory to start in
    std::vector<std::string> vEnv;     // NAME=value pairs to add
    std::string sShellPrefix;          // sh commands run before exec
    std::string sBin;                  // another binary of the same target
    std::vector<std::string> vPrefix;  // command words put before the binary
    std::string sStdout;               // a file to write standard output to
                                       // instead of capturing it
    int nTimeoutSeconds = 120;
};

// Whether this build runs under the thread sanitizer, whose shadow memory
// is a multiple of what the program touches and whose run-time writes a file
// of its own at start.
#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitized = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kThreadSanitized = true;
#else
constexpr bool kThreadSanitized = false;
#endif
#else
constexpr bool kThreadSanitized = false;
#endif

// Runs the target's binary with vArgs; a run over its time is killed.
RunResult RunTool(const std::vector<std::string> &vArgs, const RunOptions &opt);

// A static, read-only tree of directories, regular files and FIFOs served
// through FUSE by a thread of the test process (tests/fusetree.cpp), for
// trees that the local file systems cannot hold: names of up to 1,024
// bytes, files whose reads fail, names whose lookup is not answered (as on a
// share that hangs), entries listed in the order they were added, a file
// replaced under its number. Filled first, then mounted; fixed from then on
// but for the files swapped.
class FuseTree {
public:
    // An empty tree, to be mounted on the directory sTop of a scratch root.
    explicit FuseTree(const std::string &sTopDir)
        : sTop(sTopDir), vNodes(1, Node{"", 0, true, "", UINT64_MAX, false})
    {
    }
    // Releases and unmounts the tree (lazily if it is busy), then stops its
    // thread.
    ~FuseTree();
    FuseTree(const FuseTree &) = delete;
    FuseTree &operator=(const FuseTree &) = delete;

    // Adds a directory, or a file holding sData whose reads that reach the
    // offset nFailAt fail with EIO; sPath is relative to the tree's top, and
    // missing parent directories are added.
    void Add(const std::string &sPath, bool bDir, const std::string &sData,
             uint64_t nFailAt);
    // Adds a FIFO.
    void AddFifo(const std::string &sPath);
    // Makes the directory sDir ("" for the top; added if missing) look names
    // up whatever their ASCII case, as case-folding file systems do: its
    // listing holds each name as added, a lookup finds any spelling of it.
    void Fold(const std::string &sDir);
    // Makes a listing of the directory sDir (added if missing) kill the
    // process that asks for it (SIGKILL, to the process of the thread the
    // kernel names), which dies once it has its answer.
    void KillOnListing(const std::string &sDir);
    // Holds every lookup of the entry sPath (added if missing, as a file)
    // unanswered until the tree is released: whatever looks it up waits,
    // and so does every other lookup or listing in its directory meanwhile
    // (the kernel locks the directory for it).
    void Hold(const std::string &sPath);
    // Replaces the file sPath (added if missing) with one holding sData
    // once the first read of it has been answered, under the same number,
    // as a server that numbers files by path serves a file replaced under
    // the same name: from then on its look gives the new size and times
    // (one second later) and an open reads the new content, while what was
    // opened before still reads the old. Its entry and attributes are
    // valid for no time, so that every look asks the tree.
    void Swap(const std::string &sPath, const std::string &sData);
    // Mounts the tree on the directory sDir and starts serving it; false,
    // with the reason in *psWhy, when it cannot.
    bool Mount(const std::string &sDir, std::string *psWhy);
    bool Mounted() const { return !sMountedOn.empty(); }

    const std::string sTop;

private:
    struct Node {
        std::string sName;
        uint64_t nParent;  // 0 for the top
        bool bDir;
        std::string sData;
        uint64_t nFailAt;
        bool bFold;          // lookups in it ignore ASCII case
        bool bKill = false;  // a listing of it kills the lister
        bool bFifo = false;  // a FIFO
        bool bHeld = false;  // its lookups wait until the tree is released
        bool bSwap = false;  // replaced by sSwapData at its first read
        std::string sSwapData = "";
        uint64_t nVersion = 0;  // 1 once replaced; an open's handle
        const std::string &Data(uint64_t nOf) const
        {
            return nOf == 0 ? sData : sSwapData;
        }
    };
    uint64_t NodeAt(const std::string &sPath, bool bDir);
    void Serve();
    int Answer(const char *pRequest, size_t nLength, std::string *psOut,
               bool bHold);
    uint64_t Child(uint64_t nParent, const std::string &sName,
                   bool bFold = false) const;
    std::vector<Node> vNodes;  // node i + 1 (1 is the top); fixed once
                               // mounted, but for the versions swapped
    std::string sMountedOn;
    int fdFuse = -1;
    int afdStop[2] = {-1, -1};  // 'r' written to [1] releases the held
                                // lookups, anything else stops the thread
    std::thread thread;
};

// Answers the held lookups of every mounted FUSE tree: for a run that was
// killed, which cannot end while its lookup waits.
void ReleaseFuseTrees();

// Whether a FUSE tree can be mounted here (root, /dev/fuse, a mount the
// system allows), tried once; when not, why not.
bool HaveFuse(std::string *psWhy);

// A directory of its own under the system's temporary directory, removed
// with everything below it when the object goes (FUSE trees unmounted first).
class Scratch {
public:
    Scratch();
    ~Scratch();
    const std::string &Root() const { return sRoot; }
    // Makes entries from lines such as
    //   "A/x=text"      a file holding "text"
    //   "A/x=#N"        N bytes of a fixed pattern; "#N^K" with byte K flipped
    //   "A/x=%N"        a sparse file of N bytes; "%N^K" with byte K set
    //                   (N and K may end in M or G, or in B for blocks of
    //                   the tool's reads, BLOCK_BYTES of src/block.h, then
    //                   in +D or -D bytes: "#2B+1^1B-1", "%4G+10")
    //   "A/d/"          a directory
    //   "A/l->target"   a symbolic link
    //   "A/p|"          a FIFO
    //   "fuse:A"        a FUSE tree on the directory A (made if missing): the
    //                   lines under "A/" that follow are served by it, with
    //                   names of up to 1,024 bytes; it holds directories and
    //                   files ("=text", "=#N", "=#N^K") and, only there,
    //   "A/x=#N!K"      N bytes of the pattern whose reads that reach
    //                   offset K fail with EIO
    //   "A/d/~"         the directory A/d looks names up whatever their case
    //   "A/d/!"         a listing of the directory A/d kills the process
    //                   that asks for it
    //   "hold:A/x"      a lookup of A/x is not answered until the run has
    //                   ended (FuseTree::Hold); FUSE trees list their
    //                   entries in the order of the lines
    //   "swap:A/x=text" the file A/x holds "text" (or "#N", "#N^K") under
    //                   the same number once its first read was answered
    //                   (FuseTree::Swap)
    //   "exfat:A"       an exFAT volume (exfat-fuse on a loop device, root
    //                   only) mounted on the directory A at once: the
    //                   lines under "A/" that follow are written into it
    //   "overlay:A"     an overlayfs (root only) mounted on the directory A
    //                   at once, over layers on two file systems (the lower
    //                   one here, the upper one a tmpfs), which numbers its
    //                   directories anew: the lines under "A/" that follow
    //                   are written through it
    // A FUSE tree is mounted at the end of the call that names it.
    void Make(const std::vector<std::string> &vSpecs);

private:
    std::string sRoot;
    std::vector<std::unique_ptr<FuseTree>> vFuse;
    std::vector<std::pair<std::string, std::string>> vExfat;  // mount, loop
    std::vector<std::string> vMounts;  // other mounts, in the order made
};

// Whether a table row whose tree is vTree can be made here. A tree with a
// FUSE mount, an exFAT volume or an overlayfs cannot where none can be had:
// the row is then
// left out, with the reason in *psLeftOut, and the test fails where CI requires
// the tools (ToolsRequired()).
bool CanMake(const std::vector<std::string> &vTree, std::string *psLeftOut);

// Whether a table row that runs the program sName can run here. Where it is
// not installed the row is left out, with the reason in *psLeftOut, and
// the test fails where CI requires the tools.
bool CanRun(const std::string &sName, std::string *psLeftOut);

// Ends a table's test as skipped, with the reason, when CanMake or CanRun
// left rows out; the rows that ran still count (a failure outweighs the
// skip).
#define SKIP_IF_LEFT_OUT(sLeftOut)                                             \
    do {                                                                       \
        if (!(sLeftOut).empty())                                               \
            GTEST_SKIP() << (sLeftOut);                                        \
    } while (0)

// Expands "@" in an expected line or argument to the scratch root, in the
// target's form, with the target's separator throughout.
std::string Expand(const std::string &sLine, const Scratch &scratch);

// The lines the target prints before anything else: the banner, with the
// full stop its format adds.
const std::vector<std::string> &BannerLines();

// The exact standard error of a run that took up nFiles file pairs.
std::string Progress(unsigned long nFiles);

// Splits a run's standard output into lines, failing the test on a line
// without the target's line ending.
std::vector<std::string> OutputLines(const std::string &sOut);

// A run's standard output taken apart: the banner checked and dropped, the
// result lines sorted (the directory's order decides theirs), the summary's
// count, or -1 when the last line is not a summary.
struct Report {
    std::vector<std::string> vLines;
    long nSummary = -1;
};
Report ParseReport(const RunResult &r);

// Checks a run's result lines against vLines ("@" the scratch root, in any
// order; a name may hold a newline), the summary's count (-1: none), the
// progress lines on standard error and the exit status. A run killed by a
// signal (status 128 + the signal) prints no summary: nFiles is then the
// count of pairs it took up, whose progress lines standard error holds, or
// their beginning where it was buffered.
void ExpectReport(const RunResult &r, const Scratch &scratch,
                  const std::vector<std::string> &vLines, long nFiles,
                  int nStatus);

// One run of the tool and the report it must give: a row of a test's table.
struct Case {
    const char *pszName;
    std::vector<std::string> vTree;   // entries for Scratch::Make
    std::vector<std::string> vArgs;   // "@" is the scratch root
    std::vector<std::string> vLines;  // result lines, in any order
    long nFiles;                      // the summary's count, -1 for none
    int nStatus;
    std::string sCwd = "";  // where the run starts, below the root
};

// Runs a case with opt, from the case's directory, and checks its report
// with ExpectReport. The tree is made in a scratch directory of the case's
// own, unless pMade holds it already, made and prepared by the caller.
void Check(const Case &c, const Scratch *pMade = nullptr,
           RunOptions opt = RunOptions());

// One system call in a log of "strace -f -y": the line, the call's name and
// what follows its opening parenthesis (a call that another thread's
// interrupted put back together). For a call that looks a path up (open,
// openat, openat2, newfstatat, statx and their kin) the path it named, made
// absolute with the path strace gives for its directory descriptor ("" for
// an empty path, which looks nothing up); for an open also the path of what
// it opened, "" when it failed, and whether it was an O_PATH open, which
// acts on nothing it names. Whether a thread other than the one the trace
// starts with made it. Signals and exits are left out.
struct TracedCall {
    std::string sLine;
    std::string sName;
    std::string sArgs;
    bool bOpen = false;
    std::string sNamed;
    std::string sOpened;
    bool bPathOnly = false;
    bool bOtherThread = false;
};
std::vector<TracedCall> TracedCalls(const std::string &sTraceFile);

// What a shell command writes to its standard output.
std::string ShellOutput(const std::string &sCmd);

// Whether a program can be found on PATH.
bool HaveProgram(const std::string &sName);
// Whether the environment asks for tests that need a missing program to
// fail rather than skip (ORVEL_REQUIRE_TOOLS=1, as CI sets it).
bool ToolsRequired();

// Skips the test when sName is not installed, or fails it where CI requires
// the program.
#define REQUIRE_PROGRAM(sName)                                                 \
    do {                                                                       \
        if (!HaveProgram(sName)) {                                             \
            if (ToolsRequired())                                               \
                FAIL() << (sName) << " is required but not installed";         \
            GTEST_SKIP() << (sName)                                            \
                         << " is not installed (.ci/install.sh "               \
                            "installs it)";                                    \
        }                                                                      \
    } while (0)

#endif  // ORVEL_TESTS_HARNESS_H
