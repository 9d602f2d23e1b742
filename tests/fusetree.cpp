// A tiny FUSE server for the tests. It speaks the kernel's protocol on
// /dev/fuse itself (no library, nothing to install) and serves a static,
// read-only tree of directories, regular files and FIFOs from a thread of
// the test process while the tool, a child process, walks it. It exists to
// stage what the local file systems cannot hold: names longer than 255
// bytes (FUSE allows 1,024), files whose reads fail with EIO from some
// offset on, directories that fold case, a listing in a known order, a name
// whose lookup is not answered, as on a share that hangs, a directory
// whose listing kills the process that asks for it, as a user's kill would
// at that very point, and a file replaced under the same name and number
// while a descriptor of it is open, as on a server that numbers by path.
//
// No request can wait forever: the serving thread never touches the mount;
// it answers each request in turn, a held lookup when the tree is released
// (after the run, or when a run that was killed must end); the tree is
// mounted only just before the thread starts, released and unmounted while
// it still serves; and closing /dev/fuse at the end ends the connection, so
// that whatever still holds a lazily detached tree gets an error, not a hang.
#include "harness.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fuse.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <string.h>
#include <strings.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <set>

namespace {

// Room for any request: the kernel refuses reads into less than
// FUSE_MIN_READ_BUFFER, and no request here carries more than a name.
const size_t kRequestBytes = 64 * 1024;

// What the tree answers is valid until it is unmounted: it never changes,
// but for a swapped file, whose entry and attributes are valid for no time.
const uint64_t kValidSeconds = 24 * 60 * 60;

// The time of every entry (2026-01-01).
const uint64_t kTime = 1767225600;

template <class T> std::string Bytes(const T &t)
{
    return std::string((const char *)&t, sizeof t);
}

// The trees being served, for ReleaseFuseTrees: the write ends of their
// pipes.
std::mutex mtxServed;
std::set<int> setServed;

}  // namespace

void ReleaseFuseTrees()
{
    std::lock_guard<std::mutex> lock(mtxServed);
    for (int fd : setServed)
        (void)!write(fd, "r", 1);
}

void FuseTree::AddFifo(const std::string &sPath)
{
    Add(sPath, false, "", UINT64_MAX);
    vNodes.back().bFifo = true;
}

void FuseTree::Hold(const std::string &sPath)
{
    uint64_t nId = FUSE_ROOT_ID;
    for (size_t nAt = 0; nAt <= sPath.size();) {
        size_t nSlash = std::min(sPath.find('/', nAt), sPath.size());
        uint64_t nChild = Child(nId, sPath.substr(nAt, nSlash - nAt));
        if (nChild == 0) {
            Add(sPath, false, "", UINT64_MAX);
            return Hold(sPath);
        }
        nId = nChild;
        nAt = nSlash + 1;
    }
    vNodes[nId - 1].bHeld = true;
}

void FuseTree::Add(const std::string &sPath, bool bDir,
                   const std::string &sData, uint64_t nFailAt)
{
    uint64_t nParent = FUSE_ROOT_ID;
    for (size_t nAt = 0;;) {
        size_t nSlash = sPath.find('/', nAt);
        std::string sName = sPath.substr(nAt, nSlash - nAt);
        bool bLast = nSlash == std::string::npos || nSlash + 1 == sPath.size();
        uint64_t nId = Child(nParent, sName);
        if (nId == 0) {
            vNodes.push_back({sName, nParent, !bLast || bDir,
                              bLast ? sData : "", bLast ? nFailAt : UINT64_MAX,
                              false});
            nId = vNodes.size();
        }
        if (bLast)
            return;
        nParent = nId;
        nAt = nSlash + 1;
    }
}

uint64_t FuseTree::NodeAt(const std::string &sPath, bool bDir)
{
    uint64_t nId = FUSE_ROOT_ID;
    if (!sPath.empty()) {
        Add(sPath, bDir, "", UINT64_MAX);
        for (size_t nAt = 0; nAt <= sPath.size();) {
            size_t nSlash = std::min(sPath.find('/', nAt), sPath.size());
            nId = Child(nId, sPath.substr(nAt, nSlash - nAt));
            nAt = nSlash + 1;
        }
    }
    return nId;
}

void FuseTree::Fold(const std::string &sDir)
{
    vNodes[NodeAt(sDir, true) - 1].bFold = true;
}

void FuseTree::KillOnListing(const std::string &sDir)
{
    vNodes[NodeAt(sDir, true) - 1].bKill = true;
}

void FuseTree::Swap(const std::string &sPath, const std::string &sData)
{
    Node &node = vNodes[NodeAt(sPath, false) - 1];
    node.bSwap = true;
    node.sSwapData = sData;
}

uint64_t FuseTree::Child(uint64_t nParent, const std::string &sName,
                         bool bFold) const
{
    for (size_t i = 0; i < vNodes.size(); i++)
        if (vNodes[i].nParent == nParent &&
            (bFold ? strcasecmp(vNodes[i].sName.c_str(), sName.c_str()) == 0
                   : vNodes[i].sName == sName))
            return i + 1;
    return 0;
}

bool FuseTree::Mount(const std::string &sDir, std::string *psWhy)
{
    auto Fail = [psWhy](const char *pszWhat) {
        *psWhy = std::string(pszWhat) + " (" + strerror(errno) + ")";
        return false;
    };
    if (geteuid() != 0) {
        *psWhy = "FUSE trees are mounted by root only";
        return false;
    }
    fdFuse = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fdFuse < 0)
        return Fail("/dev/fuse cannot be opened");
    if (pipe2(afdStop, O_CLOEXEC) != 0)
        return Fail("pipe2 failed");
    std::string sOptions = "fd=" + std::to_string(fdFuse) +
                           ",rootmode=40000,user_id=0,group_id=0,allow_other";
    if (mount("orvel-test", sDir.c_str(), "fuse",
              MS_RDONLY | MS_NOSUID | MS_NODEV, sOptions.c_str()) != 0)
        return Fail("the system refused to mount a FUSE tree");
    sMountedOn = sDir;
    thread = std::thread(&FuseTree::Serve, this);
    std::lock_guard<std::mutex> lock(mtxServed);
    setServed.insert(afdStop[1]);
    return true;
}

FuseTree::~FuseTree()
{
    if (Mounted()) {
        std::lock_guard<std::mutex> lock(mtxServed);
        setServed.erase(afdStop[1]);
        (void)!write(afdStop[1], "r", 1);
    }
    // Unmounted while the thread serves, so that nothing goes unanswered;
    // a tree still in use is detached instead.
    if (Mounted() && umount2(sMountedOn.c_str(), 0) != 0)
        umount2(sMountedOn.c_str(), MNT_DETACH);
    if (thread.joinable()) {
        (void)!write(afdStop[1], "", 1);
        thread.join();
    }
    for (int fd : {fdFuse, afdStop[0], afdStop[1]})
        if (fd >= 0)
            close(fd);
}

// Answers requests one at a time until the tree is unmounted (the device
// then reads ENODEV) or the stop pipe is written; held lookups when it is
// released.
void FuseTree::Serve()
{
    std::vector<char> vRequest(kRequestBytes);
    std::vector<std::string> vHeld;  // lookups not answered yet
    auto Reply = [this](const char *pRequest, size_t nLength, bool bHold) {
        std::string sOut;
        int nError = Answer(pRequest, nLength, &sOut, bHold);
        if (nError < 0)
            return nError;
        fuse_out_header out{};
        memcpy(&out.unique, pRequest + offsetof(fuse_in_header, unique),
               sizeof out.unique);
        out.error = -nError;
        if (nError != 0)
            sOut.clear();
        out.len = (uint32_t)(sizeof out + sOut.size());
        iovec aiov[2] = {{&out, sizeof out}, {&sOut[0], sOut.size()}};
        // Fails only for a request interrupted meanwhile: nothing is owed.
        (void)!writev(fdFuse, aiov, 2);
        return 0;
    };
    for (;;) {
        pollfd apfd[2] = {{fdFuse, POLLIN, 0}, {afdStop[0], POLLIN, 0}};
        if (poll(apfd, 2, -1) < 0 && errno != EINTR)
            return;
        if (apfd[1].revents != 0) {
            char c = '\0';
            if (read(afdStop[0], &c, 1) != 1 || c != 'r')
                return;
            for (const std::string &sHeld : vHeld)
                Reply(sHeld.data(), sHeld.size(), false);
            vHeld.clear();
            continue;
        }
        if (apfd[0].revents == 0)
            continue;
        ssize_t n = read(fdFuse, vRequest.data(), vRequest.size());
        // ENOENT: the request was interrupted before it could be read.
        if (n < 0 && (errno == EINTR || errno == ENOENT || errno == EAGAIN))
            continue;
        if (n < (ssize_t)sizeof(fuse_in_header))
            return;
        if (Reply(vRequest.data(), (size_t)n, true) == -2)
            vHeld.emplace_back(vRequest.data(), (size_t)n);
    }
}

// The answer to one request: 0 with its bytes in *psOut, an errno value,
// -1 for a request that awaits none, or -2 for a lookup held (bHold) until
// the tree is released.
int FuseTree::Answer(const char *pRequest, size_t nLength, std::string *psOut,
                     bool bHold)
{
    fuse_in_header in;
    memcpy(&in, pRequest, sizeof in);
    const char *pArg = pRequest + sizeof in;
    size_t nArg = nLength - sizeof in;
    if (in.opcode == FUSE_FORGET || in.opcode == FUSE_BATCH_FORGET ||
        in.opcode == FUSE_INTERRUPT)
        return -1;  // no answer awaited (and none interrupted: one at a time)
    fuse_read_in rd{};  // READ and READDIR
    memcpy(&rd, pArg, std::min(nArg, sizeof rd));
    // Node ids are those the tree handed out; INIT and DESTROY come with 0.
    if (in.nodeid > vNodes.size())
        return ESTALE;
    Node &node = vNodes[in.nodeid == 0 ? 0 : in.nodeid - 1];
    // A swapped file's entry and attributes are looked at again each time.
    auto Valid = [this](uint64_t nId) {
        return vNodes[nId - 1].bSwap ? 0 : kValidSeconds;
    };
    auto Attr = [this](uint64_t nId) {
        const Node &n = vNodes[nId - 1];
        fuse_attr a{};
        a.ino = nId;
        a.size = n.Data(n.nVersion).size();
        a.blocks = (a.size + 511) / 512;
        a.atime = kTime;
        a.mtime = a.ctime = kTime + n.nVersion;
        a.mode = n.bDir    ? S_IFDIR | 0755
                 : n.bFifo ? S_IFIFO | 0644
                           : S_IFREG | 0444;
        a.nlink = n.bDir ? 2 : 1;
        a.blksize = 4096;
        return a;
    };
    std::string &sOut = *psOut;
    switch (in.opcode) {
    case FUSE_INIT: {
        fuse_init_in init{};
        memcpy(&init, pArg, std::min(nArg, sizeof init));
        fuse_init_out out{};  // no optional feature asked for
        out.major = FUSE_KERNEL_VERSION;
        out.minor = FUSE_KERNEL_MINOR_VERSION;
        out.max_readahead = init.max_readahead;
        out.max_write = 4096;
        out.time_gran = 1;
        sOut = Bytes(out);
        break;
    }
    case FUSE_LOOKUP: {
        fuse_entry_out out{};
        out.nodeid = Child(in.nodeid, std::string(pArg, strnlen(pArg, nArg)),
                           node.bFold);
        if (out.nodeid == 0)
            return ENOENT;
        out.entry_valid = out.attr_valid = Valid(out.nodeid);
        if (bHold && vNodes[out.nodeid - 1].bHeld)
            return -2;
        out.attr = Attr(out.nodeid);
        sOut = Bytes(out);
        break;
    }
    case FUSE_GETATTR: {
        fuse_attr_out out{};
        out.attr_valid = Valid(in.nodeid);
        out.attr = Attr(in.nodeid);
        sOut = Bytes(out);
        break;
    }
    case FUSE_OPEN:
    case FUSE_OPENDIR: {
        // The handle names the version opened, which its reads read.
        fuse_open_out out{};
        out.fh = in.opcode == FUSE_OPEN ? node.nVersion : 0;
        sOut = Bytes(out);
        break;
    }
    case FUSE_READ: {
        // A read that reaches the failing offset fails as a whole.
        const std::string &sData = node.Data(rd.fh);
        uint64_t nEnd = std::min<uint64_t>(rd.offset + rd.size, sData.size());
        if (nEnd > node.nFailAt)
            return EIO;
        if (rd.offset < nEnd)
            sOut = sData.substr(rd.offset, nEnd - rd.offset);
        // A swapped file is replaced once its first read is answered.
        if (node.bSwap)
            node.nVersion = 1;
        break;
    }
    case FUSE_READDIR: {
        // Killed while it waits for the answer, the process dies as soon as
        // it has it: nothing it would do after this listing gets done.
        if (node.bKill && in.pid > 0)
            kill((pid_t)in.pid, SIGKILL);
        // The offset of an entry is the count of entries up to it.
        uint64_t nIndex = 0;
        for (size_t i = 0; i < vNodes.size(); i++) {
            const Node &n = vNodes[i];
            if (n.nParent != in.nodeid || nIndex++ < rd.offset)
                continue;
            size_t nRecord =
                FUSE_DIRENT_ALIGN(FUSE_NAME_OFFSET + n.sName.size());
            if (sOut.size() + nRecord > rd.size)
                break;
            fuse_dirent d{};
            d.ino = i + 1;
            d.off = nIndex;
            d.namelen = (uint32_t)n.sName.size();
            d.type = n.bDir ? DT_DIR : n.bFifo ? DT_FIFO : DT_REG;
            sOut.append((const char *)&d, FUSE_NAME_OFFSET);
            sOut += n.sName;
            sOut.resize(sOut.size() + nRecord - FUSE_NAME_OFFSET -
                        n.sName.size());
        }
        break;
    }
    case FUSE_STATFS: {
        fuse_statfs_out out{};
        out.st.bsize = out.st.frsize = 4096;
        out.st.namelen = 1024;
        out.st.files = vNodes.size();
        sOut = Bytes(out);
        break;
    }
    case FUSE_RELEASE:
    case FUSE_RELEASEDIR:
    case FUSE_FLUSH:
    case FUSE_ACCESS:
    case FUSE_DESTROY:
        break;
    default:
        return ENOSYS;
    }
    return 0;
}

bool HaveFuse(std::string *psWhy)
{
    static const std::string sWhyNot = [] {
        Scratch scratch;
        FuseTree probe("");
        std::string sWhy;
        probe.Mount(scratch.Root(), &sWhy);
        return sWhy;
    }();
    *psWhy = sWhyNot;
    return sWhyNot.empty();
}
