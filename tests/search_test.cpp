// The POSIX platform layer's directory search, called directly, with the one
// mask it takes.
#include "platform/platform.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

// The walk's mask: hidden, system and directory entries too.
const int kWalkMask = FA_HIDDEN | FA_SYSTEM | FA_DIREC;

// The names a whole search of sDir with nMask delivers, sorted, each as
// often as it is delivered, with a trailing "/" on those that carry FA_DIREC.
std::vector<std::string> Search(const std::string &sDir, int nMask)
{
    std::vector<std::string> vNames;
    struct ffblk blk;
    std::string sPattern = sDir + WILD_SUFFIX;
    for (int nFail = findfirst(sPattern.c_str(), &blk, nMask); nFail == 0;
         nFail = findnext(&blk))
        vNames.push_back(std::string(blk.ff_name) +
                         (blk.ff_attrib & FA_DIREC ? "/" : ""));
    std::sort(vNames.begin(), vNames.end());
    return vNames;
}

}  // namespace

// Every entry once, hidden ones among them, with FA_DIREC on exactly the
// directories, links followed: the walk descends into what carries it and
// compares the rest as files. What is no directory has no entries. A mask
// that asks for fewer entries is refused, never taken for the walk's.
TEST(DirectorySearch, EveryEntryOnce)
{
    Scratch scratch;
    scratch.Make({"D/plain=1", "D/.hidden=1", "D/sub/", "D/.hsub/", "D/ln->sub",
                  "D/lf->plain", "D/broken->none", "D/p|"});
    const struct {
        const char *pszDir;
        int nMask;
        std::vector<std::string> vWant;
    } aCases[] = {
        // clang-format off
        {"D", kWalkMask, {"../", "./", ".hidden", ".hsub/", "broken", "lf",
                          "ln/", "p", "plain", "sub/"}},
        {"D/plain", kWalkMask, {}},
        {"D/broken", kWalkMask, {}},
        {"none", kWalkMask, {}},
        {"D", FA_DIREC, {}},
        {"D", 0, {}},
        // clang-format on
    };
    for (const auto &c : aCases)
        EXPECT_EQ(Search(scratch.Root() + "/" + c.pszDir, c.nMask), c.vWant)
            << c.pszDir << " mask " << c.nMask;
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
    ASSERT_EQ(findfirst(sPattern.c_str(), &outer, kWalkMask), 0);
    EXPECT_NE(findfirst(sSelf.c_str(), &inner, kWalkMask), 0);
    EXPECT_NE(findfirst(sPattern.c_str(), &inner, kWalkMask), 0);
    while (findnext(&outer) == 0) {
    }
    ASSERT_EQ(findfirst(sSelf.c_str(), &inner, kWalkMask), 0);
    while (findnext(&inner) == 0) {
    }
}
