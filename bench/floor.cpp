// The least a tree comparison can cost, as a yardstick for the benchmark.
//
//   floor TREE1 TREE2         walks TREE1; for each regular file opens the
//                             file of the same relative path under TREE2,
//                             compares the sizes, then reads both in large
//                             blocks and compares them, stopping at the
//                             first difference. Prints "size PATH" or
//                             "content PATH" (PATH relative to the trees)
//                             for each pair that differs, "error PATH" for
//                             one that cannot be read.
//   floor --first-only TREE1  reads every file of TREE1 to its end and no
//                             more: what any tool that holds each first file
//                             whole must spend at least.
//
// It is deliberately not built on the platform layer: it uses the cheapest
// calls the system offers (directory descriptors and openat, d_type, one
// reused buffer per tree) so that nothing but the work itself is measured.
// Exit status 0 when it went through, 2 on a usage error.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

const size_t kBlock = 256 * 1024;
unsigned long g_files = 0;
bool g_first_only = false;
char *g_buf1 = nullptr;
char *g_buf2 = nullptr;

// Reads up to n bytes, looping over short reads; -1 on an error.
ssize_t ReadFull(int fd, char *buf, size_t n)
{
    size_t done = 0;
    while (done < n) {
        ssize_t got = read(fd, buf + done, n - done);
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += (size_t)got;
    }
    return (ssize_t)done;
}

void Report(const char *kind, const std::string &rel)
{
    printf("%s %s\n", kind, rel.c_str());
}

void ReadOnly(int dir1, const char *name, const std::string &rel)
{
    int fd = openat(dir1, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        Report("error", rel);
        return;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        Report("error", rel);
        close(fd);
        return;
    }
    for (off_t left = st.st_size; left > 0;) {
        ssize_t got =
            read(fd, g_buf1, left < (off_t)kBlock ? (size_t)left : kBlock);
        if (got <= 0) {
            if (got < 0)
                Report("error", rel);
            break;
        }
        left -= got;
    }
    close(fd);
}

void ComparePair(int dir1, int dir2, const char *name, const std::string &rel)
{
    int fd1 = openat(dir1, name, O_RDONLY | O_CLOEXEC);
    int fd2 = dir2 >= 0 ? openat(dir2, name, O_RDONLY | O_CLOEXEC) : -1;
    struct stat st1, st2;

    if (fd1 < 0 || fd2 < 0 || fstat(fd1, &st1) != 0 || fstat(fd2, &st2) != 0) {
        Report("error", rel);
    } else if (st1.st_size != st2.st_size) {
        Report("size", rel);
    } else {
        // The size is known, so reading stops at it: no read is spent on
        // finding the end of either file.
        off_t left = st1.st_size;
        while (left > 0) {
            size_t want = left < (off_t)kBlock ? (size_t)left : kBlock;
            ssize_t got1 = ReadFull(fd1, g_buf1, want);
            ssize_t got2 = ReadFull(fd2, g_buf2, want);
            if (got1 < 0 || got2 < 0) {
                Report("error", rel);
                break;
            }
            if (got1 != got2 || memcmp(g_buf1, g_buf2, (size_t)got1) != 0) {
                Report("content", rel);
                break;
            }
            if (got1 == 0)
                break;
            left -= got1;
        }
    }
    if (fd1 >= 0)
        close(fd1);
    if (fd2 >= 0)
        close(fd2);
}

// Walks the directory open as dir1 (and its counterpart dir2, or -1 when
// missing from the second tree); rel is the directory's path below the roots.
void Walk(int dir1, int dir2, const std::string &rel)
{
    DIR *d = fdopendir(dir1);
    if (d == nullptr) {
        close(dir1);
        return;
    }
    struct dirent *ent;
    while ((ent = readdir(d)) != nullptr) {
        const char *name = ent->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
            continue;
        std::string child = rel.empty() ? std::string(name) : rel + "/" + name;
        unsigned char type = ent->d_type;
        if (type == DT_UNKNOWN || type == DT_LNK) {
            struct stat st;
            if (fstatat(dirfd(d), name, &st, 0) != 0)
                type = DT_REG;
            else
                type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
        }
        if (type == DT_DIR) {
            int sub1 =
                openat(dirfd(d), name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            int sub2 = -1;
            if (dir2 >= 0)
                sub2 = openat(dir2, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (sub1 >= 0)
                Walk(sub1, sub2, child);
            if (sub2 >= 0)
                close(sub2);
            continue;
        }
        g_files++;
        if (g_first_only)
            ReadOnly(dirfd(d), name, child);
        else
            ComparePair(dirfd(d), dir2, name, child);
    }
    closedir(d);
}

}  // namespace

int main(int argc, char **argv)
{
    bool first_only = argc == 3 && strcmp(argv[1], "--first-only") == 0;
    g_first_only = first_only;
    if (!first_only && argc != 3) {
        fprintf(stderr,
                "usage: floor TREE1 TREE2 | floor --first-only TREE1\n");
        return 2;
    }
    g_buf1 = (char *)aligned_alloc(4096, kBlock);
    if (!first_only)
        g_buf2 = (char *)aligned_alloc(4096, kBlock);
    int dir1 =
        open(argv[first_only ? 2 : 1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir1 < 0) {
        perror(argv[first_only ? 2 : 1]);
        return 2;
    }
    int dir2 = -1;
    if (!first_only) {
        dir2 = open(argv[2], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir2 < 0) {
            perror(argv[2]);
            return 2;
        }
    }
    Walk(dir1, dir2, "");
    if (dir2 >= 0)
        close(dir2);
    printf("%lu files\n", g_files);
    free(g_buf1);
    free(g_buf2);
    return 0;
}
