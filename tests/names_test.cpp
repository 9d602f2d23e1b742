// Odd names: blanks, bytes that are not UTF-8, a backslash and a newline
// inside names, names of the longest length (past 255 bytes on a FUSE tree),
// and a tree 1,000 levels deep within and past the system's path limit.
#include "harness.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

const std::string kLong(255, 'n');
// Past what local file systems allow, as FUSE trees and backup drives do.
const std::string kLonger = kLong + std::string(45, 'Z');

// A chain of nLevels directories named sName under sDir, made relative to
// each other (the whole path may pass what one system call takes), with a
// file "f" holding sData at the bottom; nLinkAt levels down, beside the next
// directory, a link to it with a name of the same length.
void MakeChain(const std::string &sDir, const std::string &sName, int nLevels,
               const std::string &sData, int nLinkAt = -1)
{
    int fd = open(sDir.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0) << sDir;
    for (int i = 0; i < nLevels; i++) {
        mkdirat(fd, sName.c_str(), 0755);
        if (i == nLinkAt) {
            ASSERT_EQ(symlinkat(sName.c_str(), fd,
                                std::string(sName.size(), 'l').c_str()),
                      0);
        }
        int fdNext = openat(fd, sName.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        ASSERT_GE(fdNext, 0) << "level " << i;
        fd = fdNext;
    }
    int fdFile = openat(fd, "f", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fdFile, 0);
    ASSERT_EQ(write(fdFile, sData.data(), sData.size()), (ssize_t)sData.size());
    close(fdFile);
    close(fd);
}

std::string Repeat(const std::string &s, int n)
{
    std::string sOut;
    for (int i = 0; i < n; i++)
        sOut += s;
    return sOut;
}

}  // namespace

TEST(Names, OddNames)
{
    if (TheTarget().bWin32)
        GTEST_SKIP() << "names that only POSIX systems allow";
    const Case aCases[] = {
        // clang-format off
        {"blanks", {"A/with space/a b=1", "B/with space/a b=2", "A/ lead=1", "B/ lead=1"},
         {"A", "B"},
         {"@/A/with space/a b, @/B/with space/a b: Differences encountered."}, 2, 0},
        {"bytes that are not UTF-8", {"A/\xff\xfe\x80=1", "B/\xff\xfe\x80=22"},
         {"A", "B"}, {"@/A/\xff\xfe\x80, @/B/\xff\xfe\x80: Files have different sizes."},
         1, 0},
        {"a backslash inside a name", {"A/back\\slash=1", "B/back\\slash=2"},
         {"A", "B"}, {"@/A/back\\slash, @/B/back\\slash: Differences encountered."},
         1, 0},
        {"a newline inside a name", {"A/new\nline=1", "B/new\nline=2"}, {"A", "B"},
         {"@/A/new\nline, @/B/new\nline: Differences encountered."}, 1, 0},
        {"a newline inside a directory's name",
         {"A/d\n/f=1", "B/d\n/f=1", "A/x=1"}, {"A", "B"},
         {"@/B/x: Error reading file."}, 2, 0},
        {"names of 255 bytes", {"A/" + kLong + "/" + kLong + "=1",
                                "B/" + kLong + "/" + kLong + "=2"},
         {"A", "B"},
         {"@/A/" + kLong + "/" + kLong + ", @/B/" + kLong + "/" + kLong +
          ": Differences encountered."}, 1, 0},
        {"names that look like options and patterns",
         {"A/-x=1", "B/-x=2", "A/*.*=1", "B/*.*=1", "A/%s%n=1", "B/%s%n=2",
          "A/w/*.*/y=1", "B/w/*.*/y=2"},
         {"A", "B"},
         {"@/A/-x, @/B/-x: Differences encountered.",
          "@/A/%s%n, @/B/%s%n: Differences encountered.",
          "@/A/w/*.*/y, @/B/w/*.*/y: Differences encountered."}, 4, 0},
        // A name cut to 255 bytes would be its neighbour's.
        {"a name of 300 bytes beside its first 255",
         {"fuse:A", "fuse:B", "A/" + kLong + "=1", "A/" + kLonger + "=1",
          "B/" + kLong + "=1", "B/" + kLonger + "=2"},
         {"A", "B"},
         {"@/A/" + kLonger + ", @/B/" + kLonger + ": Differences encountered."}, 2, 0},
        // README and docs would resolve to Readme and Docs, and the pairs
        // pass for equal.
        {"names that differ only in case, against a tree that folds case",
         {"fuse:B", "B/~", "A/Readme=1", "A/README=1", "B/Readme=1", "A/Docs/f=1",
          "A/docs/f=1", "B/Docs/f=1", "A/Same=1", "B/Same=2", "A/s/T=1", "B/s/~",
          "B/s/t=1"},
         {"A", "B"},
         {"@/B/README: Error reading file.", "@/B/docs/f: Error reading file.",
          "@/A/Same, @/B/Same: Differences encountered.",
          "@/B/s/T: Error reading file."}, 6, 0},
        // The tree lists x.txt and D, but its lookups take the first name
        // added that folds alike: X.TXT for x.txt, D for d. What opens is
        // not the entry listed.
        {"names listed beside their case variants, against a tree that folds case",
         {"fuse:B", "B/~", "B/X.TXT=2", "B/x.txt=1", "A/x.txt=2", "B/D/f=2",
          "B/d/f=1", "A/d/f=2"},
         {"A", "B"},
         {"@/B/x.txt: Error reading file.", "@/B/d/f: Error reading file."}, 2, 0},
#ifndef ORVEL_PORTABLE  // other systems have no overlayfs: numbers hold
        // Layers on two file systems: its directories' numbers in listings
        // are not those it gives them, which must not make them unreadable.
        {"a second tree on overlayfs over two file systems",
         {"overlay:B", "A/d/f=1", "B/d/f=2", "A/g=1", "B/g=1"}, {"A", "B"},
         {"@/A/d/f, @/B/d/f: Differences encountered."}, 2, 0},
#endif
        {"names that differ only in case, against an exFAT volume",
         {"exfat:B", "A/Readme=1", "A/README=1", "B/Readme=1", "A/Docs/f=1",
          "A/docs/f=1", "B/Docs/f=1"},
         {"A", "B"},
         {"@/B/README: Error reading file.", "@/B/docs/f: Error reading file."},
         4, 0},
        {"a name of 300 bytes whose first 255 alone are in the second tree",
         {"fuse:A", "fuse:B", "A/" + kLong + "=1", "A/" + kLonger + "=1",
          "B/" + kLong + "=1"},
         {"A", "B"}, {"@/B/" + kLonger + ": Error reading file."}, 2, 0},
        // clang-format on
    };
    std::string sLeftOut;
    for (const Case &c : aCases) {
        if (!CanMake(c.vTree, &sLeftOut))
            continue;
        Check(c);
    }
    SKIP_IF_LEFT_OUT(sLeftOut);
}

// 1,000 levels: within the system's path limit the file at the bottom is
// compared; past it, the first directory whose path is too long is named
// as one that cannot be searched, and the rest of the walk goes on.
TEST(Names, ThousandLevelsDeep)
{
    if (TheTarget().bWin32)
        GTEST_SKIP() << "POSIX path limits";
    struct {
        const char *pszName;
        std::string sLevel;
        std::vector<std::string> vLines;
        long nFiles;
    } aCases[] = {
        // clang-format off
        {"within the path limit", "d",
         {"@/A" + Repeat("/d", 1000) + "/f, @/B" + Repeat("/d", 1000) +
          "/f: Differences encountered.", "@/A/top, @/B/top: Differences encountered."},
         2},
        // The first path past PATH_MAX (4096 with its NUL) is a directory's.
        // A link to a directory there is a directory too.
        {"past the path limit", "dddddddd",
         {"", "", "@/A/top, @/B/top: Differences encountered."}, 1},
        // clang-format on
    };
    for (auto &c : aCases) {
        Scratch scratch;
        scratch.Make({"A/top=1", "B/top=2"});
        std::string sDir = scratch.Root() + "/A", sParent;
        int nLinkAt = -1;
        if (c.vLines[0].empty()) {
            for (nLinkAt = -1; sDir.size() < 4096; nLinkAt++)
                sParent = sDir, sDir += "/" + c.sLevel;
            c.vLines[0] = sDir + ": File not found.";
            c.vLines[1] = sParent + "/" + std::string(c.sLevel.size(), 'l') +
                          ": File not found.";
        }
        MakeChain(scratch.Root() + "/A", c.sLevel, 1000, "1", nLinkAt);
        MakeChain(scratch.Root() + "/B", c.sLevel, 1000, "2");
        Check({c.pszName, {}, {"A", "B"}, c.vLines, c.nFiles, 0}, &scratch);
        // Too deep for the scratch directory's own clean-up.
        std::string sRemove =
            "rm -rf '" + scratch.Root() + "/A' '" + scratch.Root() + "/B'";
        ASSERT_EQ(system(sRemove.c_str()), 0);
    }
}
