// The bound of a share, as a yardstick for the benchmark: what many
// requests in flight at once fetch, where one at a time waits a round trip
// for each.
//
//   readers [--threads N] TREE...
//
// Lists the trees one after the other as `find TREE... -type f` does (one
// walk, the entry types the listing gives, no links followed) and hands each
// regular file, as it is found, to N reader threads (default 32), which read
// it to its end: `find TREE... -type f` fed to N readers. Prints
// "FILES files BYTES bytes" at the end, "error PATH" for each file that could
// not be read. Exit status 0 when it went through, 2 on a usage error.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const size_t kBlock = 256 * 1024;

std::mutex g_mutex;
std::condition_variable g_ready;
std::deque<std::string> g_queue;  // files found and not yet taken
bool g_walked = false;
std::atomic<unsigned long> g_files{0};
std::atomic<unsigned long long> g_bytes{0};

void Error(const std::string &path)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    printf("error %s\n", path.c_str());
}

void Walk(const std::string &dir)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        Error(dir);
        return;
    }
    while (dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        std::string path = dir + "/" + e->d_name;
        unsigned char type = e->d_type;
        struct stat st;
        if (type == DT_UNKNOWN && lstat(path.c_str(), &st) == 0)
            type = S_ISDIR(st.st_mode)   ? DT_DIR
                   : S_ISREG(st.st_mode) ? DT_REG
                                         : DT_UNKNOWN;
        if (type == DT_DIR) {
            Walk(path);
        } else if (type == DT_REG) {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_queue.push_back(path);
            g_ready.notify_one();
        }
    }
    closedir(d);
}

void Read()
{
    std::vector<char> buf(kBlock);
    for (;;) {
        std::string path;
        {
            std::unique_lock<std::mutex> lock(g_mutex);
            g_ready.wait(lock, [] { return !g_queue.empty() || g_walked; });
            if (g_queue.empty())
                return;
            path = g_queue.front();
            g_queue.pop_front();
        }
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            Error(path);
            continue;
        }
        ssize_t got;
        while ((got = read(fd, buf.data(), buf.size())) > 0)
            g_bytes += (unsigned long long)got;
        if (got < 0)
            Error(path);
        close(fd);
        g_files++;
    }
}

}  // namespace

int main(int argc, char **argv)
{
    int threads = 32, first = 1;
    if (argc > 2 && strcmp(argv[1], "--threads") == 0) {
        threads = atoi(argv[2]);
        first = 3;
    }
    if (first >= argc || threads < 1) {
        fprintf(stderr, "usage: readers [--threads N] TREE...\n");
        return 2;
    }
    std::vector<std::thread> readers;
    for (int t = 0; t < threads; t++)
        readers.emplace_back(Read);
    for (int i = first; i < argc; i++)
        Walk(argv[i]);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_walked = true;
    }
    g_ready.notify_all();
    for (std::thread &t : readers)
        t.join();
    printf("%lu files %llu bytes\n", g_files.load(), g_bytes.load());
    return 0;
}
