// A network share for the benchmark, bound by latency as a file server a
// round trip away is: a read-only FUSE passthrough of a real directory that
// answers every LOOKUP, GETATTR, OPEN and READ no sooner than a set delay
// after the request came (0.5 ms is a NAS on the LAN, 2 ms one over a VPN).
//
//   bench-share [--delay-us N] [--threads N] [--counts] SOURCE MOUNTPOINT
//
// It speaks the kernel's protocol on /dev/fuse itself (no library) and
// serves from N threads (default 64) at once, each reading the device and
// answering what it read, so that as many requests as a client sends are in
// flight together, as on a real share. Prints "mounted" once the mount is
// in place; serves until the mount goes (umount MOUNTPOINT: the device then
// reads ENODEV) or SIGINT/SIGTERM, which detach the mount and end at once;
// with --counts it then prints how many requests of each kind it answered.
// Root only. Exit status 0 when served, 2 when it could not mount.
//
// The settings are a share's common ones:
// - reads of at most 128 KiB (max_read, also the kernel's default of 32
//   pages) and a read-ahead window of 128 KiB, served asynchronously, with
//   up to 32 read-ahead requests in flight;
// - the kernel's page cache kept across opens (FOPEN_KEEP_CACHE), names and
//   attributes valid for 60 s: within one mount, a file read twice comes
//   from memory the second time; a new mount starts cold;
// - lookups in one directory served in parallel; directory listings, file
//   system statistics and closes are not delayed (a listing is one request
//   for a directory of files, and a close awaits no answer on a share);
// - the server is another machine: its threads run at a real-time priority
//   where the system allows, so that the client machine's load lengthens
//   the delays as little as it can;
// - read-only: mounted so, every request that would change anything refused
//   with EROFS, files opened with O_NOATIME, and FLUSH, ACCESS and extended
//   attributes answered ENOSYS so that the kernel stops asking.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fuse.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

const uint32_t kWindow = 128 * 1024;  // max_read and max_readahead
const uint16_t kBackground = 32;      // read-ahead requests in flight
const uint64_t kValidSeconds = 60;    // names and attributes cached
// Room for any request this server accepts: the largest carries a name.
const size_t kRequestBytes = 64 * 1024;

int g_fuse = -1;
int g_source = -1;  // the directory served
const char *g_mountpoint = nullptr;
long g_delay_ns = 500 * 1000;
bool g_counts = false;
std::atomic<unsigned long> g_requests[64];  // by opcode, the rest in [0]

// Node ids: 1 + the index of a path below the source in g_paths ("." is
// the root). A path keeps its id for the life of the mount; the trees served
// are small and a mount lives for one run, so nothing is forgotten.
std::shared_mutex g_nodes_mutex;
std::deque<std::string> g_paths = {"."};
std::unordered_map<std::string, uint64_t> g_ids = {{".", FUSE_ROOT_ID}};

// A directory's entries, read whole at OPENDIR: its handle points at one.
struct Entry {
    std::string name;
    uint64_t ino;
    unsigned char type;
};
using Listing = std::vector<Entry>;

template <class T> std::string Bytes(const T &t)
{
    return std::string((const char *)&t, sizeof t);
}

bool PathOf(uint64_t id, std::string *path)
{
    std::shared_lock<std::shared_mutex> lock(g_nodes_mutex);
    if (id == 0 || id > g_paths.size())
        return false;
    *path = g_paths[id - 1];
    return true;
}

uint64_t IdOf(const std::string &path)
{
    std::unique_lock<std::shared_mutex> lock(g_nodes_mutex);
    auto it = g_ids.find(path);
    if (it != g_ids.end())
        return it->second;
    g_paths.push_back(path);
    g_ids.emplace(path, g_paths.size());
    return g_paths.size();
}

fuse_attr AttrOf(const struct stat &st)
{
    fuse_attr a{};
    a.ino = st.st_ino;
    a.size = (uint64_t)st.st_size;
    a.blocks = (uint64_t)st.st_blocks;
    a.atime = (uint64_t)st.st_atim.tv_sec;
    a.mtime = (uint64_t)st.st_mtim.tv_sec;
    a.ctime = (uint64_t)st.st_ctim.tv_sec;
    a.atimensec = (uint32_t)st.st_atim.tv_nsec;
    a.mtimensec = (uint32_t)st.st_mtim.tv_nsec;
    a.ctimensec = (uint32_t)st.st_ctim.tv_nsec;
    a.mode = st.st_mode;
    a.nlink = (uint32_t)st.st_nlink;
    a.uid = st.st_uid;
    a.gid = st.st_gid;
    a.rdev = (uint32_t)st.st_rdev;
    a.blksize = (uint32_t)st.st_blksize;
    return a;
}

// Opens a path below the source without touching its access time.
int OpenSource(const std::string &path, int flags)
{
    int fd = openat(g_source, path.c_str(), flags | O_NOATIME | O_CLOEXEC);
    if (fd < 0 && errno == EPERM)  // O_NOATIME on a file root does not own
        fd = openat(g_source, path.c_str(), flags | O_CLOEXEC);
    return fd;
}

bool Delayed(uint32_t opcode)
{
    return opcode == FUSE_LOOKUP || opcode == FUSE_GETATTR ||
           opcode == FUSE_OPEN || opcode == FUSE_READ;
}

// The answer to one request: 0 with its bytes in *out, an errno value, or
// -1 for a request that awaits none.
int Answer(const fuse_in_header &in, const char *arg, size_t n,
           std::string *out)
{
    out->clear();
    std::string path;
    switch (in.opcode) {
    case FUSE_FORGET:
    case FUSE_BATCH_FORGET:
    case FUSE_INTERRUPT:  // the answer comes after the delay all the same
        return -1;
    case FUSE_INIT: {
        fuse_init_in init{};
        memcpy(&init, arg, std::min(n, sizeof init));
        fuse_init_out o{};
        o.major = FUSE_KERNEL_VERSION;
        o.minor = FUSE_KERNEL_MINOR_VERSION;
        o.max_readahead = std::min(init.max_readahead, kWindow);
        o.flags = init.flags & (FUSE_ASYNC_READ | FUSE_PARALLEL_DIROPS);
        o.max_background = kBackground;
        o.congestion_threshold = kBackground * 3 / 4;
        o.max_write = 4096;
        o.time_gran = 1;
        *out = Bytes(o);
        return 0;
    }
    case FUSE_DESTROY:
        return 0;
    case FUSE_LOOKUP: {
        if (!PathOf(in.nodeid, &path))
            return ESTALE;
        std::string name(arg, strnlen(arg, n));
        path = path == "." ? name : path + "/" + name;
        struct stat st;
        if (fstatat(g_source, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return errno;
        fuse_entry_out o{};
        o.nodeid = IdOf(path);
        o.entry_valid = o.attr_valid = kValidSeconds;
        o.attr = AttrOf(st);
        *out = Bytes(o);
        return 0;
    }
    case FUSE_GETATTR: {
        struct stat st;
        if (!PathOf(in.nodeid, &path))
            return ESTALE;
        if (fstatat(g_source, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return errno;
        fuse_attr_out o{};
        o.attr_valid = kValidSeconds;
        o.attr = AttrOf(st);
        *out = Bytes(o);
        return 0;
    }
    case FUSE_READLINK: {
        if (!PathOf(in.nodeid, &path))
            return ESTALE;
        out->resize(4096);
        ssize_t got = readlinkat(g_source, path.c_str(), &(*out)[0], 4096);
        if (got < 0)
            return errno;
        out->resize((size_t)got);
        return 0;
    }
    case FUSE_OPEN: {
        fuse_open_in o_in{};
        memcpy(&o_in, arg, std::min(n, sizeof o_in));
        if ((o_in.flags & O_ACCMODE) != O_RDONLY || (o_in.flags & O_TRUNC))
            return EROFS;
        if (!PathOf(in.nodeid, &path))
            return ESTALE;
        int fd = OpenSource(path, O_RDONLY | O_NOFOLLOW);
        if (fd < 0)
            return errno;
        fuse_open_out o{};
        o.fh = (uint64_t)fd;
        o.open_flags = FOPEN_KEEP_CACHE;
        *out = Bytes(o);
        return 0;
    }
    case FUSE_READ: {
        fuse_read_in rd{};
        memcpy(&rd, arg, std::min(n, sizeof rd));
        out->resize(rd.size);
        ssize_t got = pread((int)rd.fh, &(*out)[0], rd.size, (off_t)rd.offset);
        if (got < 0)
            return errno;
        out->resize((size_t)got);
        return 0;
    }
    case FUSE_RELEASE: {
        fuse_release_in rel{};
        memcpy(&rel, arg, std::min(n, sizeof rel));
        close((int)rel.fh);
        return 0;
    }
    case FUSE_OPENDIR: {
        if (!PathOf(in.nodeid, &path))
            return ESTALE;
        int fd = OpenSource(path, O_RDONLY | O_DIRECTORY);
        DIR *d = fd < 0 ? nullptr : fdopendir(fd);
        if (d == nullptr) {
            int error = errno;
            if (fd >= 0)
                close(fd);
            return error;
        }
        Listing *listing = new Listing;
        while (dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                listing->push_back({e->d_name, e->d_ino, e->d_type});
        closedir(d);
        fuse_open_out o{};
        o.fh = (uint64_t)listing;
        *out = Bytes(o);
        return 0;
    }
    case FUSE_READDIR: {
        // The offset of an entry is the count of entries up to it.
        fuse_read_in rd{};
        memcpy(&rd, arg, std::min(n, sizeof rd));
        const Listing &listing = *(const Listing *)rd.fh;
        for (size_t i = rd.offset; i < listing.size(); i++) {
            const Entry &e = listing[i];
            size_t record = FUSE_DIRENT_ALIGN(FUSE_NAME_OFFSET + e.name.size());
            if (out->size() + record > rd.size)
                break;
            fuse_dirent d{};
            d.ino = e.ino;
            d.off = i + 1;
            d.namelen = (uint32_t)e.name.size();
            d.type = e.type;
            out->append((const char *)&d, FUSE_NAME_OFFSET);
            *out += e.name;
            out->resize(out->size() + record - FUSE_NAME_OFFSET -
                        e.name.size());
        }
        return 0;
    }
    case FUSE_RELEASEDIR: {
        fuse_release_in rel{};
        memcpy(&rel, arg, std::min(n, sizeof rel));
        delete (Listing *)rel.fh;
        return 0;
    }
    case FUSE_STATFS: {
        struct statvfs sv;
        if (fstatvfs(g_source, &sv) != 0)
            return errno;
        fuse_statfs_out o{};
        o.st.blocks = sv.f_blocks;
        o.st.bfree = sv.f_bfree;
        o.st.bavail = sv.f_bavail;
        o.st.files = sv.f_files;
        o.st.ffree = sv.f_ffree;
        o.st.bsize = (uint32_t)sv.f_bsize;
        o.st.frsize = (uint32_t)sv.f_frsize;
        o.st.namelen = (uint32_t)sv.f_namemax;
        *out = Bytes(o);
        return 0;
    }
    // Everything that would change the tree or a file.
    case FUSE_SETATTR:
    case FUSE_SYMLINK:
    case FUSE_MKNOD:
    case FUSE_MKDIR:
    case FUSE_UNLINK:
    case FUSE_RMDIR:
    case FUSE_RENAME:
    case FUSE_RENAME2:
    case FUSE_LINK:
    case FUSE_WRITE:
    case FUSE_CREATE:
    case FUSE_TMPFILE:
    case FUSE_FSYNC:
    case FUSE_FSYNCDIR:
    case FUSE_SETXATTR:
    case FUSE_REMOVEXATTR:
    case FUSE_FALLOCATE:
    case FUSE_COPY_FILE_RANGE:
        return EROFS;
    default:  // FLUSH, ACCESS, GETXATTR, LISTXATTR, locks, ...
        return ENOSYS;
    }
}

// Reads requests and answers them until the mount goes.
void Serve()
{
    // A real-time priority (see the top of this file), and sleeps that end
    // when asked, not up to the default 50 us later.
    sched_param sp{};
    sp.sched_priority = 1;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
    prctl(PR_SET_TIMERSLACK, 1UL);
    std::vector<char> request(kRequestBytes);
    std::string body;
    for (;;) {
        ssize_t n = read(g_fuse, request.data(), request.size());
        // ENOENT: the request was interrupted before it could be read.
        if (n < 0 && (errno == EINTR || errno == ENOENT || errno == EAGAIN))
            continue;
        if (n < (ssize_t)sizeof(fuse_in_header))
            return;  // ENODEV: unmounted
        timespec due;
        clock_gettime(CLOCK_MONOTONIC, &due);
        fuse_in_header in;
        memcpy(&in, request.data(), sizeof in);
        g_requests[in.opcode < 64 ? in.opcode : 0]++;
        int error = Answer(in, request.data() + sizeof in,
                           (size_t)n - sizeof in, &body);
        if (error < 0)
            continue;
        if (Delayed(in.opcode) && g_delay_ns > 0) {
            due.tv_nsec += g_delay_ns;
            due.tv_sec += due.tv_nsec / 1000000000;
            due.tv_nsec %= 1000000000;
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due,
                                   nullptr) == EINTR) {
            }
        }
        if (error != 0)
            body.clear();
        fuse_out_header o{};
        o.unique = in.unique;
        o.error = -error;
        o.len = (uint32_t)(sizeof o + body.size());
        iovec iov[2] = {{&o, sizeof o}, {&body[0], body.size()}};
        // Fails only for a request interrupted meanwhile: nothing is owed.
        (void)!writev(g_fuse, iov, 2);
    }
}

void PrintCounts()
{
    if (!g_counts)
        return;
    // The names of the opcodes asked for in a read-only run.
    static const struct {
        uint32_t opcode;
        const char *name;
    } kNames[] = {{FUSE_INIT, "INIT"},       {FUSE_LOOKUP, "LOOKUP"},
                  {FUSE_GETATTR, "GETATTR"}, {FUSE_OPEN, "OPEN"},
                  {FUSE_READ, "READ"},       {FUSE_RELEASE, "RELEASE"},
                  {FUSE_FLUSH, "FLUSH"},     {FUSE_OPENDIR, "OPENDIR"},
                  {FUSE_READDIR, "READDIR"}, {FUSE_RELEASEDIR, "RELEASEDIR"},
                  {FUSE_STATFS, "STATFS"},   {FUSE_GETXATTR, "GETXATTR"}};
    fprintf(stderr, "bench-share: requests");
    for (unsigned i = 0; i < 64; i++) {
        const char *name = nullptr;
        for (const auto &k : kNames)
            if (k.opcode == i)
                name = k.name;
        if (g_requests[i] == 0)
            continue;
        if (name)
            fprintf(stderr, " %s %lu", name, g_requests[i].load());
        else
            fprintf(stderr, " #%u %lu", i, g_requests[i].load());
    }
    fprintf(stderr, "\n");
}

// Waits for SIGINT or SIGTERM, then detaches the mount and ends the
// process; closing the device ends the connection.
void AwaitSignal(sigset_t set)
{
    int sig = 0;
    sigwait(&set, &sig);
    umount2(g_mountpoint, MNT_DETACH);
    PrintCounts();
    _exit(0);
}

}  // namespace

int main(int argc, char **argv)
{
    int threads = 64;
    bool usage = false;
    int i = 1;
    for (; i < argc && strncmp(argv[i], "--", 2) == 0; i++) {
        if (strcmp(argv[i], "--counts") == 0)
            g_counts = true;
        else if (i + 1 < argc && strcmp(argv[i], "--delay-us") == 0)
            g_delay_ns = atol(argv[++i]) * 1000;
        else if (i + 1 < argc && strcmp(argv[i], "--threads") == 0)
            threads = atoi(argv[++i]);
        else
            usage = true;
    }
    if (usage || argc - i != 2 || threads < 1 || g_delay_ns < 0) {
        fprintf(stderr, "usage: bench-share [--delay-us N] [--threads N] "
                        "[--counts] SOURCE MOUNTPOINT\n");
        return 2;
    }
    g_mountpoint = argv[i + 1];
    // Every open file of a run is open here too.
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    g_source = open(argv[i], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (g_source < 0) {
        perror(argv[i]);
        return 2;
    }
    g_fuse = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (g_fuse < 0) {
        perror("/dev/fuse");
        return 2;
    }
    std::string options = "fd=" + std::to_string(g_fuse) +
                          ",rootmode=40000,user_id=0,group_id=0,allow_other,"
                          "default_permissions,max_read=" +
                          std::to_string(kWindow);
    if (mount("bench-share", g_mountpoint, "fuse",
              MS_RDONLY | MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        perror("mount");
        return 2;
    }
    // The signals go to the thread that waits for them only.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread(AwaitSignal, set).detach();
    std::vector<std::thread> servers;
    for (int t = 0; t < threads; t++)
        servers.emplace_back(Serve);
    printf("mounted\n");
    fflush(stdout);
    for (std::thread &t : servers)
        t.join();
    PrintCounts();
    return 0;
}
