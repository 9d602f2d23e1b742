// The POSIX platform layer's fast paths: private whole-file blocks kept for
// reuse (large files are mapped instead, and tested end to end), files
// opened relative to a cached directory,
// the size query answered from the open, directory entries looked up while
// their directory is listed. Each must give exactly what the plain calls
// would.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

const size_t kMiB = 1 << 20;

bool IsMapped(void *p)
{
    unsigned char vec;
    return mincore(p, 1, &vec) == 0 || errno != ENOMEM;
}

// Two blocks live at once must be disjoint and keep their contents; once
// both are released, exactly one stays mapped for reuse (never both: the
// memory held must not grow past the largest block), and the next request
// of the same size is served from it.
TEST(GlobalBlocks, LiveBlocksAreSeparateAndOneIsKept)
{
    const size_t aSizes[] = {0, 1, 4095, 4096, 65537, 1000000, 3000};
    for (size_t nSize : aSizes) {
        SCOPED_TRACE(nSize);
        size_t nTouch = nSize != 0 ? nSize : 1;
        unsigned char *p = (unsigned char *)GlobalAlloc(GMEM_FIXED, nSize);
        unsigned char *q = (unsigned char *)GlobalAlloc(GMEM_FIXED, nSize);
        ASSERT_NE(p, nullptr);
        ASSERT_NE(q, nullptr);
        EXPECT_TRUE(p + nTouch <= q || q + nTouch <= p);
        memset(p, 0xA5, nTouch);
        memset(q, 0x5A, nTouch);
        EXPECT_EQ(p[0], 0xA5);
        EXPECT_EQ(p[nTouch - 1], 0xA5);
        EXPECT_EQ(q[nTouch - 1], 0x5A);

        EXPECT_EQ(GlobalFree(p), nullptr);
        EXPECT_EQ(GlobalFree(q), nullptr);
        EXPECT_NE(IsMapped(p), IsMapped(q));
        unsigned char *pKept = IsMapped(p) ? p : q;

        unsigned char *r = (unsigned char *)GlobalAlloc(GMEM_FIXED, nSize);
        EXPECT_EQ(r, pKept);
        memset(r, 0x11, nTouch);
        GlobalFree(r);
    }
}

#ifdef ORVEL_PORTABLE  // on Linux, blocks this large are mapped images
// The process's mapped address space, in bytes.
size_t MappedBytes(void)
{
    unsigned long ulPages = 0;
    FILE *pFile = fopen("/proc/self/statm", "r");
    if (pFile != nullptr) {
        if (fscanf(pFile, "%lu", &ulPages) != 1)
            ulPages = 0;
        fclose(pFile);
    }
    return (size_t)ulPages * (size_t)sysconf(_SC_PAGESIZE);
}

// A request larger than the kept block gets a new block, and the kept one
// is given back first instead of being held beside it: the address space
// grows by less than the new block (by nothing when the kept one fits). The
// sizes grow past any block an earlier test may have left kept.
TEST(GlobalBlocks, OutgrownBlockIsGivenBack)
{
    const size_t aSizes[] = {100 * kMiB, 101 * kMiB + 1, 150 * kMiB,
                             20 * kMiB, 400 * kMiB};
    GlobalFree(GlobalAlloc(GMEM_FIXED, 64 * kMiB));  // one block kept
    for (size_t nSize : aSizes) {
        SCOPED_TRACE(nSize);
        size_t nBefore = MappedBytes();
        unsigned char *p = (unsigned char *)GlobalAlloc(GMEM_FIXED, nSize);
        ASSERT_NE(p, nullptr);
        EXPECT_LT(MappedBytes() - nBefore, nSize);
        memset(p, 0x3C, nSize);
        GlobalFree(p);
    }
}
#endif

// A scratch tree in a fresh directory, removed afterwards.
class Tree : public ::testing::Test {
protected:
    std::string root;

    void SetUp() override
    {
        char szTemplate[] = "/tmp/orvel-posix-XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        root = szTemplate;
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + root + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    void Make(const std::string &rel, const std::string &content)
    {
        std::string path = root + "/" + rel;
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0) << path;
        ASSERT_EQ(write(fd, content.data(), content.size()),
                  (ssize_t)content.size());
        close(fd);
    }
    void Dir(const std::string &rel)
    {
        ASSERT_EQ(mkdir((root + "/" + rel).c_str(), 0755), 0);
    }
    // The whole content through the layer, or "<error>" when it refuses.
    std::string ReadAll(const std::string &path)
    {
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                               NULL, OPEN_EXISTING, 0, NULL);
        if (h == INVALID_HANDLE_VALUE)
            return "<error>";
        DWORD dwSize = GetFileSize(h, NULL);
        std::string data(dwSize, '\0');
        DWORD dwGot = 0;
        BOOL bOk = ReadFile(h, &data[0], dwSize, &dwGot, NULL);
        CloseHandle(h);
        if (!bOk || dwGot != dwSize)
            return "<short>";
        return data;
    }
};

// Paths through the directory cache in an order that hits it, misses it and
// evicts from it (three directories for two slots), and paths it must leave
// to the plain open.
TEST_F(Tree, OpensThroughCachedDirectories)
{
    Dir("d1");
    Dir("d2");
    Dir("d3");
    Dir("d3/sub");
    Dir("d3/sub/deeper");
    Dir("d10");
    Make("d1/f", "one");
    Make("d10/f", "ten");
    Make("d3/sub/deeper/f", "deeper");
    Make("d1/empty", "");
    Make("d2/f", "two-two");
    Make("d3/f", "three");
    Make("d3/sub/f", "deep");
    Make("top", "at the root");
    ASSERT_EQ(symlink("f", (root + "/d1/link").c_str()), 0);
    ASSERT_EQ(symlink("missing", (root + "/d1/broken").c_str()), 0);
    ASSERT_EQ(mkfifo((root + "/d2/fifo").c_str(), 0644), 0);

    struct Case {
        const char *pszRel;  // appended to the root
        const char *pszWant;
    } aCases[] = {
        {"/d1/f", "one"},        {"/d2/f", "two-two"},
        {"/d1/empty", ""},       {"/d2/f", "two-two"},
        {"/d3/f", "three"},      {"/d1/f", "one"},
        {"/d3/sub/f", "deep"},   {"/d1/link", "one"},
        {"/d1/broken", "<error>"}, {"/d2/fifo", "<error>"},
        {"/d3/sub", "<error>"},  {"/d1/missing", "<error>"},
        {"/nodir/f", "<error>"}, {"/d1/f/", "<error>"},
        {"/d2/../d1/f", "one"},  {"/top", "at the root"},
        {"/d3/sub/f", "deep"},   {"/d2/f", "two-two"},
        {"/d1/f", "one"},        {"/d10/f", "ten"},
        {"/d3/sub/deeper/f", "deeper"}, {"/d3/sub/f", "deep"},
        {"/d3/sub/deeper/f", "deeper"}, {"/d3/f", "three"},
    };
    for (int nPass = 0; nPass < 2; nPass++) {
        for (const Case &c : aCases) {
            SCOPED_TRACE(c.pszRel);
            EXPECT_EQ(ReadAll(root + c.pszRel), c.pszWant);
        }
    }

    // A relative path is opened as it stands, from the current directory.
    char szOld[4096];
    ASSERT_NE(getcwd(szOld, sizeof(szOld)), nullptr);
    ASSERT_EQ(chdir((root + "/d2").c_str()), 0);
    EXPECT_EQ(ReadAll("f"), "two-two");
    EXPECT_EQ(ReadAll("../d1/f"), "one");
    ASSERT_EQ(chdir(szOld), 0);
}

// The size query answers from the open only for the handle that open made:
// a descriptor number reused by the next file, or an older handle still
// open, must give its own file's size.
TEST_F(Tree, SizeBelongsToItsOwnHandle)
{
    Make("small", "12345");
    Make("large", std::string(70000, 'x'));
    std::string small = root + "/small", large = root + "/large";

    HANDLE h1 = CreateFileA(small.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                            OPEN_EXISTING, 0, NULL);
    ASSERT_NE(h1, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(h1, NULL), 5u);
    CloseHandle(h1);
    HANDLE h2 = CreateFileA(large.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                            OPEN_EXISTING, 0, NULL);
    ASSERT_NE(h2, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(h2, NULL), 70000u);
    HANDLE h3 = CreateFileA(small.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                            OPEN_EXISTING, 0, NULL);
    ASSERT_NE(h3, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(h2, NULL), 70000u);
    EXPECT_EQ(GetFileSize(h3, NULL), 5u);
    DWORD dwHigh = 7;
    EXPECT_EQ(GetFileSize(h2, &dwHigh), 70000u);
    EXPECT_EQ(dwHigh, 0u);
    CloseHandle(h2);
    CloseHandle(h3);
}

// Entries are described as they were when the search started: kind and
// hidden bit, links followed, each entry once.
TEST_F(Tree, SearchDescribesEveryEntry)
{
    Dir("sub");
    Make("plain", "abc");
    Make(".hidden", "hhhhhhh");
    Make("sub/inner", "");
    ASSERT_EQ(symlink("sub", (root + "/dirlink").c_str()), 0);
    ASSERT_EQ(symlink("plain", (root + "/filelink").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (root + "/broken").c_str()), 0);

    struct Want {
        const char *pszName;
        uint32_t ulAttrib;
    } aWant[] = {
        {".", FA_DIREC},          {"..", FA_DIREC},
        {"sub", FA_DIREC},        {"dirlink", FA_DIREC},
        {"plain", FA_ARCH},       {".hidden", FA_ARCH | FA_HIDDEN},
        {"filelink", FA_ARCH},    {"broken", FA_ARCH},
    };
    std::string pattern = root + WILD_SUFFIX;
    struct ffblk blk;
    std::vector<std::string> seen;
    for (int nFail = findfirst(pattern.c_str(), &blk, FA_HIDDEN | FA_SYSTEM |
                                                          FA_DIREC);
         nFail == 0; nFail = findnext(&blk)) {
        seen.push_back(blk.ff_name);
        bool bKnown = false;
        for (const Want &w : aWant) {
            if (strcmp(w.pszName, blk.ff_name) != 0)
                continue;
            bKnown = true;
            EXPECT_EQ(blk.ff_attrib, w.ulAttrib) << w.pszName;
        }
        EXPECT_TRUE(bKnown) << blk.ff_name;
    }
    EXPECT_EQ(seen.size(), sizeof(aWant) / sizeof(aWant[0]));

    // Without FA_HIDDEN and FA_DIREC in the mask only the visible files.
    seen.clear();
    for (int nFail = findfirst(pattern.c_str(), &blk, 0); nFail == 0;
         nFail = findnext(&blk))
        seen.push_back(blk.ff_name);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"broken", "filelink", "plain"}));
}


}  // namespace
