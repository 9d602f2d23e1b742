// The POSIX platform layer's fast paths: private whole-file blocks kept for
// reuse (large files are mapped instead, and tested end to end), files
// opened outside a walk, the size query answered from the open. Each must give
// exactly what the plain calls would.
#include <gtest/gtest.h>

#include <errno.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "harness.h"
#include "platform/platform.h"

namespace {

const size_t kMiB = 1 << 20;

bool IsMapped(void *p)
{
    unsigned char vec;
    return mincore(p, 1, &vec) == 0 || errno != ENOMEM;
}

// Two blocks live at once must be disjoint and keep their contents; once
// both are released, at most one stays mapped for reuse, so that the memory
// held does not grow past the largest block; a block served again holds a
// whole image.
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
        EXPECT_FALSE(IsMapped(p) && IsMapped(q)) << "both blocks kept";

        unsigned char *r = (unsigned char *)GlobalAlloc(GMEM_FIXED, nSize);
        ASSERT_NE(r, nullptr);
        memset(r, 0x11, nTouch);
        GlobalFree(r);
    }
}

// The process's mapped address space, in bytes. (Blocks of this size are
// mapped images only for a file just opened and sized.)
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
    const size_t aSizes[] = {100 * kMiB, 101 * kMiB + 1, 150 * kMiB, 20 * kMiB,
                             400 * kMiB};
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

// The whole content of a file through the layer, "<error>" when it refuses
// to open it, "<short>" when it delivers less than its size.
std::string ReadAll(const std::string &sPath)
{
    HANDLE h = CreateFileA(sPath.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                           OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return "<error>";
    DWORD dwSize = GetFileSize(h, NULL);
    std::string sData(dwSize, '\0');
    DWORD dwGot = 0;
    BOOL bOk = ReadFile(h, &sData[0], dwSize, &dwGot, NULL);
    CloseHandle(h);
    if (!bOk || dwGot != dwSize)
        return "<short>";
    return sData;
}

// Paths that no search delivered are opened as they stand: links followed,
// anything but a regular file refused, in any order and more than once.
TEST(Files, OpenOutsideAWalk)
{
    Scratch scratch;
    scratch.Make({"d1/f=one", "d10/f=ten", "d3/sub/deeper/f=deeper",
                  "d1/empty=", "d2/f=two-two", "d3/f=three", "d3/sub/f=deep",
                  "top=at the root", "d1/link->f", "d1/broken->missing",
                  "d2/fifo|"});
    const std::string root = scratch.Root();

    struct Case {
        const char *pszRel;  // appended to the root
        const char *pszWant;
    } aCases[] = {
        // clang-format off
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
        // clang-format on
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
TEST(Files, SizeBelongsToItsOwnHandle)
{
    Scratch scratch;
    scratch.Make({"small=12345", "large=#70000"});
    std::string small = scratch.Root() + "/small",
                large = scratch.Root() + "/large";

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

}  // namespace
