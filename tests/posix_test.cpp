// The POSIX platform layer's own choices, called directly: lexical path
// resolution and the attribute mask of directory searches.
#include "platform/platform.h"

#include <unistd.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "harness.h"

TEST(Fullpath, Lexical)
{
    Scratch scratch;
    ASSERT_EQ(chdir(scratch.Root().c_str()), 0);
    const std::string sCwd = scratch.Root();
    struct {
        const char *pszIn;
        std::string sWant;  // "" for a failure
    } aCases[] = {
        {"/a/b", "/a/b"},
        {"/a//b///", "/a/b"},
        {"/a/./b/.", "/a/b"},
        {"/a/b/../c", "/a/c"},
        {"/a/b/c/../../d", "/a/d"},
        {"/..", "/"},
        {"/../..//a/..", "/"},
        {"/", "/"},
        {"//", "/"},
        {"/.a/..b/...", "/.a/..b/..."},
        {"rel", sCwd + "/rel"},
        {"./rel/", sCwd + "/rel"},
        {".", sCwd},
        {"..", sCwd.substr(0, sCwd.rfind('/'))},
        {"nope/../x", sCwd + "/x"},
        {"", ""},
    };
    for (const auto &c : aCases) {
        char szBuf[1024];
        char *pszGot = _fullpath(szBuf, c.pszIn, sizeof(szBuf));
        EXPECT_EQ(pszGot != nullptr ? std::string(pszGot) : std::string(), c.sWant)
            << "for \"" << c.pszIn << "\"";
    }
}

TEST(Fullpath, Limit)
{
    char szBuf[8];
    EXPECT_EQ(_fullpath(szBuf, "/abcdef", 8), szBuf);     // 7 and the NUL
    EXPECT_STREQ(szBuf, "/abcdef");
    EXPECT_EQ(_fullpath(szBuf, "/abcdefg", 8), nullptr);  // one over
    EXPECT_EQ(_fullpath(szBuf, "/abcdefg/..//x/", 8), szBuf);  // folds first
    EXPECT_STREQ(szBuf, "/x");
}

// The names a search of sDir delivers with the given mask, a trailing "/"
// marking those with the directory bit.
static std::set<std::string> Search(const std::string &sDir, int nMask)
{
    std::set<std::string> names;
    struct ffblk blk;
    std::string sPattern = sDir + WILD_SUFFIX;
    for (int nFail = findfirst(sPattern.c_str(), &blk, nMask); nFail == 0;
         nFail = findnext(&blk))
        names.insert(std::string(blk.ff_name) + (blk.ff_attrib & FA_DIREC ? "/" : ""));
    return names;
}

TEST(DirectorySearch, AttributeMask)
{
    Scratch scratch;
    scratch.Make({"D/plain=1", "D/.hidden=1", "D/sub/", "D/.hsub/", "D/ln->sub",
                  "D/broken->none"});
    const std::string sDir = scratch.Root() + "/D";
    using Names = std::set<std::string>;
    EXPECT_EQ(Search(sDir, FA_HIDDEN | FA_SYSTEM | FA_DIREC),
              (Names{"./", "../", "plain", ".hidden", "sub/", ".hsub/", "ln/",
                     "broken"}));
    EXPECT_EQ(Search(sDir, FA_DIREC),
              (Names{"./", "../", "plain", "sub/", "ln/", "broken"}));
    EXPECT_EQ(Search(sDir, 0), (Names{"plain", "broken"}));
    EXPECT_EQ(Search(sDir + "/plain", FA_DIREC), Names{});
    EXPECT_EQ(Search(scratch.Root() + "/none", FA_DIREC), Names{});

    struct ffblk blk;
    EXPECT_NE(findfirst(sDir.c_str(), &blk, FA_DIREC), 0) << "no pattern";
    EXPECT_NE(findnext(&blk), 0) << "a refused search has no next entry";
}

// A search running over a directory refuses a second one over the same
// directory, reached by any path, until it has ended.
TEST(DirectorySearch, CycleGuard)
{
    Scratch scratch;
    scratch.Make({"D/x=1", "D/self->."});
    const std::string sPattern = scratch.Root() + "/D" + WILD_SUFFIX;
    const std::string sSelf = scratch.Root() + "/D/self" + WILD_SUFFIX;
    struct ffblk outer, inner;
    ASSERT_EQ(findfirst(sPattern.c_str(), &outer, FA_DIREC), 0);
    EXPECT_NE(findfirst(sSelf.c_str(), &inner, FA_DIREC), 0);
    EXPECT_NE(findfirst(sPattern.c_str(), &inner, FA_DIREC), 0);
    while (findnext(&outer) == 0) {
    }
    ASSERT_EQ(findfirst(sSelf.c_str(), &inner, FA_DIREC), 0);
    while (findnext(&inner) == 0) {
    }
}
