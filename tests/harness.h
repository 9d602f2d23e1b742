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

#include <string>
#include <vector>

struct Target {
    std::string sBin;
    std::vector<std::string> vLauncher;
    bool bWin32 = false;
    std::string sEol = "\n";
};

// The target named by the environment, with sDefaultBin when ORVEL_BIN is unset.
const Target &TheTarget();

// A path of this machine in the form the target prints it.
std::string TargetPath(const std::string &sPath);

struct RunResult {
    std::string sOut;
    std::string sErr;
    int nStatus = -1;  // exit status, or 128 + signal
};

struct RunOptions {
    std::string sCwd;                     // directory to start in
    std::vector<std::string> vEnv;        // NAME=value pairs to add
    std::string sShellPrefix;             // sh commands run before exec
    std::string sBin;                     // another binary of the same target
    int nTimeoutSeconds = 120;
};

// Runs the target's binary with vArgs; a run over its time is killed.
RunResult RunTool(const std::vector<std::string> &vArgs, const RunOptions &opt);

// A directory of its own under the system's temporary directory, removed
// with everything below it when the object goes.
class Scratch {
public:
    Scratch();
    ~Scratch();
    const std::string &Root() const { return sRoot; }
    // Makes entries from lines such as
    //   "A/x=text"      a file holding "text"
    //   "A/x=#N"        N bytes of a fixed pattern; "#N^K" with byte K flipped
    //   "A/x=%N"        a sparse file of N bytes (N may end in M or G)
    //   "A/d/"          a directory
    //   "A/l->target"   a symbolic link
    //   "A/p|"          a FIFO
    void Make(const std::vector<std::string> &vSpecs) const;

private:
    std::string sRoot;
};

// Expands "@" in an expected line or argument to the scratch root, in the
// target's form, with the target's separator throughout.
std::string Expand(const std::string &sLine, const Scratch &scratch);

// The output the target prints before anything else.
extern const char *const apszBanner[3];

// The exact standard error of a run that took up nFiles file pairs.
std::string Progress(unsigned long nFiles);

// Splits a run's standard output into lines, failing the test on a line
// without the target's line ending.
std::vector<std::string> OutputLines(const std::string &sOut);

#endif  // ORVEL_TESTS_HARNESS_H
