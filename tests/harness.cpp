#include "harness.h"

#include "block.h"
#include "orvel.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#ifndef ORVEL_DEFAULT_BIN
#define ORVEL_DEFAULT_BIN "orvel"
#endif

const std::vector<std::string> &BannerLines()
{
    static const std::vector<std::string> vLines = [] {
        std::vector<std::string> v;
        // Spelled out here, not taken from the program's own constant, so
        // that a slip in the text the users see fails the tests.
        std::istringstream text(
            "ORVEL version " ORVEL_VERSION
            ": Compares all files in two paths.\n"
            "Written by the ORVEL developers, " ORVEL_RELEASE_DATE ".\n"
            "Report problems through the ORVEL project's issue tracker.");
        for (std::string sLine; std::getline(text, sLine);)
            v.push_back(sLine);
        return v;
    }();
    return vLines;
}

static std::string EnvOr(const char *pszName, const std::string &sDefault)
{
    const char *pszValue = getenv(pszName);
    return pszValue != nullptr && *pszValue != '\0' ? pszValue : sDefault;
}

const Target &TheTarget()
{
    static const Target target = [] {
        Target t;
        t.sBin = EnvOr("ORVEL_BIN", ORVEL_DEFAULT_BIN);
        std::istringstream words(EnvOr("ORVEL_LAUNCHER", ""));
        for (std::string sWord; words >> sWord;)
            t.vLauncher.push_back(sWord);
        t.bWin32 = EnvOr("ORVEL_TARGET", "posix") == "win32";
        t.sEol = t.bWin32 ? "\r\n" : "\n";
        return t;
    }();
    return target;
}

std::string TargetPath(const std::string &sPath)
{
    if (!TheTarget().bWin32)
        return sPath;
    std::string s = "Z:" + sPath;
    for (char &c : s)
        if (c == '/')
            c = '\\';
    return s;
}

std::string Expand(const std::string &sLine, const Scratch &scratch)
{
    std::string s;
    for (char c : sLine) {
        if (c == '@')
            s += TargetPath(scratch.Root());
        else if (c == '/' && TheTarget().bWin32)
            s += '\\';
        else
            s += c;
    }
    return s;
}

std::string Progress(unsigned long nFiles)
{
    std::string s;
    for (unsigned long n = 1; n <= nFiles; n++)
        s += "Comparing file " + std::to_string(n) + ".\r";
    return s;
}

std::vector<std::string> OutputLines(const std::string &sOut)
{
    const std::string &sEol = TheTarget().sEol;
    std::vector<std::string> v;
    size_t nAt = 0;
    while (nAt < sOut.size()) {
        size_t nEnd = sOut.find(sEol, nAt);
        if (nEnd == std::string::npos) {
            ADD_FAILURE() << "output ends without a line ending: "
                          << sOut.substr(nAt);
            v.push_back(sOut.substr(nAt));
            break;
        }
        v.push_back(sOut.substr(nAt, nEnd - nAt));
        nAt = nEnd + sEol.size();
    }
    return v;
}

static std::string Slurp(const std::string &sPath)
{
    std::ifstream in(sPath, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

RunResult RunTool(const std::vector<std::string> &vArgs, const RunOptions &opt)
{
    const Target &target = TheTarget();
    Scratch io;
    std::string sOutFile = io.Root() + "/stdout",
                sErrFile = io.Root() + "/stderr";
    std::vector<std::string> vArgv;
    if (!opt.sShellPrefix.empty()) {
        vArgv = {"/bin/sh", "-c", opt.sShellPrefix + "; exec \"$0\" \"$@\""};
    }
    vArgv.insert(vArgv.end(), opt.vPrefix.begin(), opt.vPrefix.end());
    vArgv.insert(vArgv.end(), target.vLauncher.begin(), target.vLauncher.end());
    vArgv.push_back(opt.sBin.empty() ? target.sBin : opt.sBin);
    vArgv.insert(vArgv.end(), vArgs.begin(), vArgs.end());

    // Everything the run needs is made here, before the fork: the child of
    // a process with threads (the FUSE trees' servers) may take no lock
    // that one of them could have held at the fork, and memory allocators
    // hold theirs. Between the fork and the exec it only moves descriptors,
    // changes directory and execs.
    std::vector<char *> vp;
    for (std::string &s : vArgv)
        vp.push_back(&s[0]);
    vp.push_back(nullptr);
    std::string sProgram = vArgv[0];
    if (sProgram.find('/') == std::string::npos) {
        std::istringstream path(getenv("PATH") != nullptr ? getenv("PATH")
                                                          : "/usr/bin:/bin");
        for (std::string sDir; std::getline(path, sDir, ':');)
            if (access((sDir + "/" + vArgv[0]).c_str(), X_OK) == 0) {
                sProgram = sDir + "/" + vArgv[0];
                break;
            }
    }
    std::vector<std::string> vEnviron;  // this process's, with opt.vEnv's
    for (char **ppsz = environ; *ppsz != nullptr; ppsz++)
        vEnviron.push_back(*ppsz);
    for (const std::string &sVar : opt.vEnv) {
        const std::string sName = sVar.substr(0, sVar.find('=') + 1);
        vEnviron.erase(std::remove_if(vEnviron.begin(), vEnviron.end(),
                                      [&](const std::string &s) {
                                          return s.rfind(sName, 0) == 0;
                                      }),
                       vEnviron.end());
        vEnviron.push_back(sVar);
    }
    std::vector<char *> venv;
    for (std::string &s : vEnviron)
        venv.push_back(&s[0]);
    venv.push_back(nullptr);
    const int afd[3] = {
        open("/dev/null", O_RDONLY | O_CLOEXEC),
        opt.sStdout.empty()
            ? open(sOutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                   0600)
            : open(opt.sStdout.c_str(), O_WRONLY | O_CLOEXEC),
        open(sErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)};
    const char *pszCwd = opt.sCwd.empty() ? nullptr : opt.sCwd.c_str();

    pid_t pid = afd[0] < 0 || afd[1] < 0 || afd[2] < 0 ? -1 : fork();
    if (pid == 0) {
        // The run gets the three standard streams and no other descriptor
        // of these (they close at the exec).
        for (int i = 0; i < 3; i++)
            if (afd[i] == i ? fcntl(i, F_SETFD, 0) != 0 : dup2(afd[i], i) < 0)
                _exit(126);
        if (pszCwd != nullptr && chdir(pszCwd) != 0)
            _exit(126);
        execve(sProgram.c_str(), vp.data(), venv.data());
        _exit(127);
    }
    for (int fd : afd)
        if (fd >= 0)
            close(fd);
    RunResult r;
    if (pid < 0) {
        ADD_FAILURE() << "the run could not be started";
        return r;
    }
    // The run's time, on the monotonic clock, a poll's interval counted at
    // most as a second: a machine paused meanwhile (a virtual machine's
    // snapshot) or a clock set forth is not time the run had.
    int nWait = 0;
    double dWaited = 0;
    auto tLast = std::chrono::steady_clock::now();
    while (waitpid(pid, &nWait, WNOHANG) == 0) {
        auto tNow = std::chrono::steady_clock::now();
        dWaited +=
            std::min(1.0, std::chrono::duration<double>(tNow - tLast).count());
        tLast = tNow;
        if (dWaited > opt.nTimeoutSeconds) {
            // Where it waits, for the failure's message: each thread of the
            // run (or of the shell before it), of its children and of this
            // process (FUSE trees are served here), with its system call and
            // kernel stack.
            const std::string sPid = std::to_string(pid);
            const std::string sWhere = ShellOutput(
                "for p in " + sPid + " $(cat /proc/" + sPid +
                "/task/*/children 2>/dev/null) " + std::to_string(getpid()) +
                "; do for t in /proc/$p/task/*; "
                "do echo \"$t $(cat $t/comm) $(cat $t/syscall)\"; "
                "cat $t/stack; done; done 2>&1");
            // A process held by a FUSE lookup that goes unanswered ends
            // only once it is answered.
            kill(pid, SIGKILL);
            ReleaseFuseTrees();
            waitpid(pid, &nWait, 0);
            ADD_FAILURE() << "the run did not end within "
                          << opt.nTimeoutSeconds << " s; where it waited:\n"
                          << sWhere;
            break;
        }
        usleep(2000);
    }
    r.nStatus = WIFEXITED(nWait) ? WEXITSTATUS(nWait) : 128 + WTERMSIG(nWait);
    r.sOut = Slurp(sOutFile);
    r.sErr = Slurp(sErrFile);
    return r;
}

Scratch::Scratch()
{
    std::string sTemplate = EnvOr("TMPDIR", "/tmp") + "/orvel-test-XXXXXX";
    if (mkdtemp(&sTemplate[0]) == nullptr)
        ADD_FAILURE() << "mkdtemp failed";
    sRoot = sTemplate;
}

static int RemoveEntry(const char *pszPath, const struct stat *, int nType,
                       struct FTW *)
{
    // Directories a test made unreadable must be opened up to be emptied.
    if (nType == FTW_DNR || nType == FTW_D || nType == FTW_DP)
        chmod(pszPath, 0700);
    return remove(pszPath) == 0 ? 0 : 0;
}

Scratch::~Scratch()
{
    vFuse.clear();  // unmounted before anything below is removed
    for (auto it = vMounts.rbegin(); it != vMounts.rend(); ++it)
        if (umount2(it->c_str(), 0) != 0)
            umount2(it->c_str(), MNT_DETACH);
    for (const auto &m : vExfat) {
        if (umount2(m.first.c_str(), 0) != 0)
            umount2(m.first.c_str(), MNT_DETACH);
        (void)!system(("losetup -d '" + m.second + "'").c_str());
    }
    chmod(sRoot.c_str(), 0700);
    nftw(sRoot.c_str(), RemoveEntry, 64, FTW_DEPTH | FTW_PHYS);
}

// "N", "NM", "NG" or "NB" blocks, then "+D" or "-D" bytes.
static unsigned long long Number(const std::string &s)
{
    size_t nEnd = 0;
    unsigned long long n = std::stoull(s, &nEnd);
    char cUnit = nEnd < s.size() ? s[nEnd] : '\0';
    if (cUnit == 'M')
        n <<= 20;
    if (cUnit == 'G')
        n <<= 30;
    if (cUnit == 'B')
        n *= BLOCK_BYTES;
    if (cUnit == 'M' || cUnit == 'G' || cUnit == 'B')
        nEnd++;
    if (nEnd < s.size() && (s[nEnd] == '+' || s[nEnd] == '-'))
        n += std::stoll(s.substr(nEnd));
    return n;
}

static void MakeParents(const std::string &sPath)
{
    for (size_t n = sPath.find('/', 1); n != std::string::npos;
         n = sPath.find('/', n + 1))
        mkdir(sPath.substr(0, n).c_str(), 0755);
}

// The bytes a line's value stands for: "text" itself, or "#N" bytes of a
// fixed pattern, with byte K flipped for "#N^K".
static std::string Contents(const std::string &sValue)
{
    if (sValue.empty() || sValue[0] != '#')
        return sValue;
    std::string sData(Number(sValue.substr(1)), '\0');
    for (size_t i = 0; i < sData.size(); i++)
        sData[i] = (char)('a' + (i * 7 + i / 251) % 26);
    size_t nCaret = sValue.find('^');
    if (nCaret != std::string::npos)
        sData[Number(sValue.substr(nCaret + 1))] ^= 0x20;
    return sData;
}

void Scratch::Make(const std::vector<std::string> &vSpecs)
{
    for (const std::string &sSpec : vSpecs) {
        if (sSpec.rfind("fuse:", 0) == 0) {
            MakeParents(sRoot + "/" + sSpec.substr(5) + "/");
            vFuse.emplace_back(new FuseTree(sSpec.substr(5)));
            continue;
        }
        if (sSpec.rfind("hold:", 0) == 0 || sSpec.rfind("swap:", 0) == 0) {
            const size_t nEq = sSpec.find('=');
            const std::string sRel = sSpec.substr(5, nEq - 5);
            FuseTree *pTree = nullptr;
            for (const std::unique_ptr<FuseTree> &p : vFuse)
                if (sRel.rfind(p->sTop + "/", 0) == 0)
                    pTree = p.get();
            ASSERT_NE(pTree, nullptr)
                << "held lookups and swapped files are FUSE trees': " << sSpec;
            ASSERT_FALSE(pTree->Mounted())
                << "the FUSE tree is mounted: " << sSpec;
            if (sSpec[0] == 'h')
                pTree->Hold(sRel.substr(pTree->sTop.size() + 1));
            else if (nEq != std::string::npos)
                pTree->Swap(sRel.substr(pTree->sTop.size() + 1),
                            Contents(sSpec.substr(nEq + 1)));
            else
                FAIL() << "a swapped file's new content is missing: " << sSpec;
            continue;
        }
        if (sSpec.rfind("exfat:", 0) == 0) {
            std::string sDir = sRoot + "/" + sSpec.substr(6);
            std::string sImage = sDir + ".exfat";
            MakeParents(sDir + "/");
            std::string sLoop = ShellOutput(
                "truncate -s 32M '" + sImage + "' && mkfs.exfat '" + sImage +
                "' >/dev/null && losetup -f --show '" + sImage + "'");
            ASSERT_FALSE(sLoop.empty()) << "no loop device for " << sSpec;
            sLoop.pop_back();  // the newline
            vExfat.push_back({sDir, sLoop});
            ASSERT_EQ(system(("mount.exfat-fuse '" + sLoop + "' '" + sDir +
                              "' >/dev/null 2>&1")
                                 .c_str()),
                      0)
                << sSpec;
            continue;
        }
        if (sSpec.rfind("overlay:", 0) == 0) {
            std::string sDir = sRoot + "/" + sSpec.substr(8);
            std::string sLayers = sDir + ".layers", sTmp = sLayers + "/tmp";
            MakeParents(sDir + "/");
            MakeParents(sTmp + "/");
            ASSERT_EQ(mount("tmpfs", sTmp.c_str(), "tmpfs", 0, nullptr), 0)
                << sSpec;
            vMounts.push_back(sTmp);
            for (const char *pszLayer : {"/lower", "/tmp/upper", "/tmp/work"})
                mkdir((sLayers + pszLayer).c_str(), 0755);
            std::string sOptions = "lowerdir=" + sLayers +
                                   "/lower,upperdir=" + sTmp +
                                   "/upper,workdir=" + sTmp + "/work";
            ASSERT_EQ(
                mount("overlay", sDir.c_str(), "overlay", 0, sOptions.c_str()),
                0)
                << sSpec << ": " << strerror(errno);
            vMounts.push_back(sDir);
            continue;
        }
        size_t nArrow = sSpec.find("->"), nEq = sSpec.find('=');
        std::string sRel = sSpec.substr(0, std::min(nArrow, nEq));
        std::string sPath = sRoot + "/" + sRel;
        std::string sValue =
            nEq == std::string::npos ? "" : sSpec.substr(nEq + 1);
        uint64_t nFailAt = UINT64_MAX;  // "#N!K": reads that reach K fail
        size_t nBang = sValue.find('!');
        if (sValue.rfind('#', 0) == 0 && nBang != std::string::npos)
            nFailAt = Number(sValue.substr(nBang + 1));
        FuseTree *pTree = nullptr;
        for (const std::unique_ptr<FuseTree> &p : vFuse)
            if (sRel.rfind(p->sTop + "/", 0) == 0)
                pTree = p.get();
        if (pTree != nullptr && sSpec.size() >= 2 &&
            (sSpec.compare(sSpec.size() - 2, 2, "/~") == 0 ||
             sSpec.compare(sSpec.size() - 2, 2, "/!") == 0)) {
            size_t nTop = pTree->sTop.size() + 1;
            std::string sDir = sRel.size() > nTop + 1
                                   ? sRel.substr(nTop, sRel.size() - nTop - 2)
                                   : "";
            if (sSpec.back() == '~')
                pTree->Fold(sDir);
            else
                pTree->KillOnListing(sDir);
            continue;
        }
        if (pTree != nullptr) {
            bool bDir = nEq == std::string::npos && sSpec.back() == '/';
            bool bFifo = nEq == std::string::npos &&
                         nArrow == std::string::npos && sSpec.back() == '|';
            ASSERT_TRUE(bDir || bFifo ||
                        (nEq < nArrow && sValue.rfind('%', 0) != 0))
                << "a FUSE tree holds only directories, files and FIFOs: "
                << sSpec;
            ASSERT_FALSE(pTree->Mounted())
                << "the FUSE tree is mounted: " << sSpec;
            if (bFifo)
                pTree->AddFifo(
                    sRel.substr(pTree->sTop.size() + 1,
                                sRel.size() - pTree->sTop.size() - 2));
            else
                pTree->Add(sRel.substr(pTree->sTop.size() + 1), bDir,
                           Contents(sValue), nFailAt);
            continue;
        }
        ASSERT_EQ(nFailAt, UINT64_MAX)
            << "reads fail in FUSE trees only: " << sSpec;
        MakeParents(sPath);
        if (nArrow != std::string::npos && nArrow < nEq) {
            ASSERT_EQ(symlink(sSpec.substr(nArrow + 2).c_str(), sPath.c_str()),
                      0)
                << sSpec;
        } else if (nEq != std::string::npos) {
            if (!sValue.empty() && sValue[0] == '%') {
                int fd =
                    open(sPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                ASSERT_GE(fd, 0) << sSpec;
                ASSERT_EQ(ftruncate(fd, (off_t)Number(sValue.substr(1))), 0);
                size_t nCaret = sValue.find('^');
                if (nCaret != std::string::npos) {
                    off_t nAt = (off_t)Number(sValue.substr(nCaret + 1));
                    ASSERT_EQ(pwrite(fd, "\x20", 1, nAt), 1) << sSpec;
                }
                close(fd);
                continue;
            }
            std::ofstream(sPath, std::ios::binary) << Contents(sValue);
        } else if (sSpec.back() == '/') {
            mkdir(sPath.c_str(), 0755);
        } else if (sSpec.back() == '|') {
            sPath.pop_back();
            ASSERT_EQ(mkfifo(sPath.c_str(), 0644), 0) << sSpec;
        } else {
            FAIL() << "unknown entry: " << sSpec;
        }
    }
    for (const std::unique_ptr<FuseTree> &p : vFuse) {
        std::string sWhy;
        if (!p->Mounted()) {
            ASSERT_TRUE(p->Mount(sRoot + "/" + p->sTop, &sWhy)) << sWhy;
        }
    }
}

bool CanMake(const std::vector<std::string> &vTree, std::string *psLeftOut)
{
    auto IsMount = [](const std::string &s) {
        return s.rfind("fuse:", 0) == 0;
    };
    auto IsExfat = [](const std::string &s) {
        return s.rfind("exfat:", 0) == 0;
    };
    auto IsOverlay = [](const std::string &s) {
        return s.rfind("overlay:", 0) == 0;
    };
    std::string sWhy;
    if (std::any_of(vTree.begin(), vTree.end(), IsExfat) &&
        !(HaveProgram("mkfs.exfat") && HaveProgram("mount.exfat-fuse") &&
          HaveProgram("losetup") && access("/dev/loop-control", W_OK) == 0))
        sWhy = "exfatprogs, exfat-fuse, losetup or loop devices are missing";
    else if (std::any_of(vTree.begin(), vTree.end(), IsOverlay) &&
             (geteuid() != 0 ||
              ShellOutput("grep -c overlay /proc/filesystems") == "0\n"))
        sWhy = "overlayfs is mounted by root only, where the kernel has it";
    else if (std::none_of(vTree.begin(), vTree.end(), IsMount) &&
             std::none_of(vTree.begin(), vTree.end(), IsExfat))
        return true;
    if (sWhy.empty() && HaveFuse(&sWhy))
        return true;
    if (ToolsRequired())
        ADD_FAILURE() << "a FUSE tree, an exFAT volume or an overlayfs is "
                         "required but cannot be mounted: "
                      << sWhy;
    else
        *psLeftOut =
            "rows on FUSE trees, exFAT volumes or overlayfs left out: " + sWhy;
    return false;
}

bool CanRun(const std::string &sName, std::string *psLeftOut)
{
    if (HaveProgram(sName))
        return true;
    if (ToolsRequired())
        ADD_FAILURE() << sName << " is required but not installed";
    else
        *psLeftOut =
            "rows that run " + sName + " left out: it is not installed";
    return false;
}

Report ParseReport(const RunResult &r)
{
    Report rep;
    std::vector<std::string> vOut = OutputLines(r.sOut);
    const std::vector<std::string> &vBanner = BannerLines();
    EXPECT_GE(vOut.size(), vBanner.size()) << "no banner: " << r.sOut;
    size_t nSkip = std::min(vBanner.size(), vOut.size());
    for (size_t i = 0; i < nSkip; i++)
        EXPECT_EQ(vOut[i], vBanner[i]);
    vOut.erase(vOut.begin(), vOut.begin() + nSkip);
    const std::string sTail = " files compared.";
    if (!vOut.empty() && vOut.back().size() > sTail.size() &&
        vOut.back().compare(vOut.back().size() - sTail.size(), sTail.size(),
                            sTail) == 0 &&
        vOut.back().find_first_not_of("0123456789") ==
            vOut.back().size() - sTail.size()) {
        rep.nSummary = std::stol(vOut.back());
        vOut.pop_back();
    }
    std::sort(vOut.begin(), vOut.end());
    rep.vLines = vOut;
    return rep;
}

bool HaveProgram(const std::string &sName)
{
    std::string sCmd = "command -v '" + sName + "' >/dev/null 2>&1";
    return system(sCmd.c_str()) == 0;
}

bool ToolsRequired() { return EnvOr("ORVEL_REQUIRE_TOOLS", "0") == "1"; }

void ExpectReport(const RunResult &r, const Scratch &scratch,
                  const std::vector<std::string> &vLines, long nFiles,
                  int nStatus)
{
    std::string sText;
    for (const std::string &s : vLines)
        sText += Expand(s, scratch) + TheTarget().sEol;
    std::vector<std::string> vWant = OutputLines(sText);
    std::sort(vWant.begin(), vWant.end());
    Report rep = ParseReport(r);
    EXPECT_EQ(rep.vLines, vWant);
    if (nStatus > 128) {
        // Killed: no summary, and progress lines that may be cut short, as
        // standard error may be buffered (msvcrt's is, to a file or pipe).
        const std::string sProgress = Progress(nFiles);
        EXPECT_EQ(rep.nSummary, -1);
        EXPECT_EQ(sProgress.compare(0, r.sErr.size(), r.sErr), 0) << r.sErr;
    } else {
        EXPECT_EQ(rep.nSummary, nFiles);
        EXPECT_EQ(r.sErr, Progress(nFiles < 0 ? 0 : nFiles));
    }
    EXPECT_EQ(r.nStatus, nStatus);
}

void Check(const Case &c, const Scratch *pMade, RunOptions opt)
{
    SCOPED_TRACE(c.pszName);
    Scratch own;
    const Scratch &scratch = pMade != nullptr ? *pMade : own;
    if (pMade == nullptr)
        own.Make(c.vTree);
    std::vector<std::string> vArgs;
    for (const std::string &s : c.vArgs)
        vArgs.push_back(s.find('@') != std::string::npos ? Expand(s, scratch)
                                                         : s);
    opt.sCwd = scratch.Root() + c.sCwd;
    ExpectReport(RunTool(vArgs, opt), scratch, c.vLines, c.nFiles, c.nStatus);
}

std::string ShellOutput(const std::string &sCmd)
{
    std::string sOut;
    FILE *p = popen(sCmd.c_str(), "r");
    char szBuf[4096];
    for (size_t n; p != nullptr && (n = fread(szBuf, 1, sizeof(szBuf), p)) > 0;)
        sOut.append(szBuf, n);
    if (p != nullptr)
        pclose(p);
    return sOut;
}

// The text of a quoted strace string starting at sLine[nAt] (the quote),
// escapes undone; nAt is left past the closing quote.
static std::string Unquote(const std::string &sLine, size_t &nAt)
{
    std::string s;
    for (nAt++; nAt < sLine.size() && sLine[nAt] != '"'; nAt++) {
        if (sLine[nAt] != '\\' || nAt + 1 >= sLine.size()) {
            s += sLine[nAt];
            continue;
        }
        char c = sLine[++nAt];
        if (c == 'x' && nAt + 2 < sLine.size()) {
            s += (char)std::stoi(sLine.substr(nAt + 1, 2), nullptr, 16);
            nAt += 2;
        } else {
            s += c == 'n' ? '\n' : c == 't' ? '\t' : c;
        }
    }
    nAt++;
    return s;
}

// The path strace -y gives after a descriptor: "3</tmp/A>" from nAt.
static std::string FdPath(const std::string &sLine, size_t nAt)
{
    size_t nOpen = sLine.find('<', nAt), nClose = sLine.find('>', nOpen);
    if (nOpen == std::string::npos || nClose == std::string::npos)
        return "";
    return sLine.substr(nOpen + 1, nClose - nOpen - 1);
}

// System calls that look up a path given as their first argument, or as
// their second after a directory's descriptor (the *at calls).
// clang-format off
static const char *const kapszLookups[] = {
    "open", "openat", "openat2", "newfstatat", "fstatat64", "statx", "stat",
    "lstat", "access", "faccessat", "faccessat2", "readlink", "readlinkat",
    "name_to_handle_at", "getxattr", "lgetxattr", "listxattr", "llistxattr",
    "chdir", "execve"};
// clang-format on

std::vector<TracedCall> TracedCalls(const std::string &sTraceFile)
{
    std::vector<TracedCall> v;
    std::ifstream in(sTraceFile);
    std::map<long, std::string> mapUnfinished;  // by thread: its call so far
    long nFirstThread = -1;
    for (std::string sLine; std::getline(in, sLine);) {
        const long nThread = atol(sLine.c_str());
        if (nFirstThread == -1)
            nFirstThread = nThread;
        // A call that another thread's interrupted is put back together.
        const std::string sCut = " <unfinished ...>";
        if (sLine.size() > sCut.size() &&
            sLine.compare(sLine.size() - sCut.size(), sCut.size(), sCut) == 0) {
            mapUnfinished[nThread] =
                sLine.substr(0, sLine.size() - sCut.size());
            continue;
        }
        size_t nResumed = sLine.find(" resumed>");
        if (sLine.find("<... ") != std::string::npos &&
            nResumed != std::string::npos && mapUnfinished.count(nThread)) {
            // The rest, its result put back after its closing parenthesis
            // as in a whole line (strace pads it).
            std::string sRest = sLine.substr(nResumed + 9);
            size_t nClose = sRest.rfind(')', sRest.find(" = "));
            size_t nEq = sRest.find_first_not_of(' ', nClose + 1);
            if (nClose != std::string::npos && nEq != std::string::npos &&
                sRest[nEq] == '=')
                sRest = sRest.substr(0, nClose + 1) + " " + sRest.substr(nEq);
            sLine = mapUnfinished[nThread] + sRest;
            mapUnfinished.erase(nThread);
        }
        size_t nName = sLine.find_first_not_of("0123456789 ");
        size_t nParen = sLine.find('(', nName);
        if (nName == std::string::npos || nParen == std::string::npos ||
            sLine.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_",
                                    nName) != nParen)
            continue;  // a signal, an exit or a resumed call
        TracedCall c;
        c.bOtherThread = nThread != nFirstThread;
        c.sLine = sLine;
        c.sName = sLine.substr(nName, nParen - nName);
        c.sArgs = sLine.substr(nParen + 1);
        v.push_back(c);
        TracedCall &o = v.back();
        if (std::find_if(std::begin(kapszLookups), std::end(kapszLookups),
                         [&](const char *psz) { return o.sName == psz; }) ==
            std::end(kapszLookups))
            continue;
        o.bOpen =
            o.sName == "open" || o.sName == "openat" || o.sName == "openat2";
        // CALL(PATH, ...) or CALLat(DIR, PATH, ...).
        size_t nAt = 0;
        std::string sDir;
        if (o.sArgs.compare(0, 1, "\"") != 0) {
            if (isdigit((unsigned char)o.sArgs[0]))  // not AT_FDCWD
                sDir = FdPath(o.sArgs, 0);
            nAt = o.sArgs.find(", \"");
            nAt = nAt == std::string::npos ? o.sArgs.size() : nAt + 2;
        }
        if (nAt < o.sArgs.size() && o.sArgs[nAt] == '"') {
            o.sNamed = Unquote(o.sArgs, nAt);
            if (!o.sNamed.empty() && o.sNamed[0] != '/')
                o.sNamed = sDir + "/" + o.sNamed;
        }
        if (!o.bOpen)
            continue;
        size_t nEnd = o.sArgs.find(')', nAt);
        o.bPathOnly =
            o.sArgs.substr(nAt, nEnd - nAt).find("O_PATH") != std::string::npos;
        size_t nResult = o.sArgs.rfind(") = ");
        if (nResult != std::string::npos &&
            o.sArgs.compare(nResult + 4, 1, "-") != 0)
            o.sOpened = FdPath(o.sArgs, nResult + 4);
    }
    return v;
}
