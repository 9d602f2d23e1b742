// End-to-end cases: real trees, the real binary, its exact output.
#include "harness.h"
#include "orvel.h"

#include <ctype.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

const long kNoSummary = -1;

const std::vector<std::string> kSameTwo = {"A/x.txt=same", "A/sub/y.bin=#100",
                                           "B/x.txt=same", "B/sub/y.bin=#100"};

const std::string kSyntax = "Syntax: ORVEL [path 1] [path 2].";

// A relative path, in the form Scratch::Make takes, that resolves under the
// scratch root to nLen characters in the target's form.
std::string PathOfLength(const Scratch &scratch, size_t nLen)
{
    size_t nBase = TargetPath(scratch.Root()).size() + 1;
    std::string sRel;
    while (nBase + sRel.size() + 100 < nLen)
        sRel += std::string(49, 'r') + "/";
    return sRel + std::string(nLen - nBase - sRel.size(), 'e');
}

}  // namespace

TEST(CommandLine, ArgumentCount)
{
    for (const std::vector<std::string> &vArgs :
         {std::vector<std::string>{}, {"A"}, {"A", "B", "C"}})
        Check({"wrong count", kSameTwo, vArgs, {kSyntax}, kNoSummary, 1});
}

TEST(Compare, Cases)
{
    const Case aCases[] = {
        // clang-format off
        {"equal trees", kSameTwo, {"A", "B"}, {}, 2, 0},
        {"typical run",
         {"A/x.txt=same", "A/sub/y.bin=#100", "B/x.txt=same", "B/sub/y.bin=#100^50"},
         {"A", "B"},
         {"@/A/sub/y.bin, @/B/sub/y.bin: Differences encountered."}, 2, 0},
        {"sizes 10 and 11", {"A/f=#10", "B/f=#11"}, {"A", "B"},
         {"@/A/f, @/B/f: Files have different sizes."}, 1, 0},
        {"two empty files", {"A/e=", "B/e="}, {"A", "B"}, {}, 1, 0},
        {"files at the boundaries of the blocks read",
         {"A/eq=#1B", "B/eq=#1B", "A/last=#1B", "B/last=#1B^1B-1",
          "A/rem=#1B+1", "B/rem=#1B+1^1B", "A/blk2=#2B", "B/blk2=#2B^1B",
          "A/first=#100", "B/first=#100^0", "A/big=#6B+3392",
          "B/big=#6B+3392"},
         {"A", "B"},
         {"@/A/last, @/B/last: Differences encountered.",
          "@/A/rem, @/B/rem: Differences encountered.",
          "@/A/blk2, @/B/blk2: Differences encountered.",
          "@/A/first, @/B/first: Differences encountered."}, 6, 0},
        {"missing from the second tree", {"A/x=1", "A/sub/deep/y=2", "B/"},
         {"A", "B"},
         {"@/B/x: Error reading file.", "@/B/sub/deep/y: Error reading file."},
         2, 0},
        {"extras in the second tree and empty directories",
         {"A/x=1", "A/empty/", "B/x=1", "B/more=2", "B/extra/z=3"}, {"A", "B"},
         {}, 1, 0},
        {"directory in first, file in second",
         {"A/d/f=1", "A/d/e/", "B/d=1"}, {"A", "B"},
         {"@/B/d/f: Error reading file."}, 1, 0},
        {"file in first, directory in second", {"A/d=1", "B/d/"}, {"A", "B"},
         {"@/B/d: Error reading file."}, 1, 0},
        {"hidden files are compared", {"A/.h=1", "B/.h=2"}, {"A", "B"},
         {"@/A/.h, @/B/.h: Differences encountered."}, 1, 0},
        {"first root missing", {"B/x=1"}, {"nope", "B"},
         {"@/nope: File not found."}, 0, 0},
        {"first root names a file", {"A/x=1", "B/x=1"}, {"A/x", "B"},
         {"@/A/x: File not found."}, 0, 0},
        {"second root missing", {"A/x=1", "A/s/y=2"}, {"A", "nope"},
         {"@/nope/x: Error reading file.", "@/nope/s/y: Error reading file."},
         2, 0},
        // Sparse: nothing large is written. Past 4 GiB the first file is
        // held a window at a time, even by the 32-bit program.
        {"files of 4 GiB and more, equal", {"A/f=%4G+65536", "B/f=%4G+65536"},
         {"A", "B"}, {}, 1, 0},
        {"files of 4 GiB and more that differ past 4 GiB",
         {"A/f=%4G+65536", "B/f=%4G+65536^4G+100"}, {"A", "B"},
         {"@/A/f, @/B/f: Differences encountered."}, 1, 0},
        // Never the low 32 bits alone: 0 and 4 GiB, or 64 KiB and 4 GiB
        // more, are different sizes, whichever file is the larger.
        {"sizes that differ only past the low 32 bits",
         {"A/f=%4G+65536", "B/f=%65536", "A/g=%65536", "B/g=%4G+65536",
          "A/z=", "B/z=%4G"},
         {"A", "B"},
         {"@/A/f, @/B/f: Files have different sizes.",
          "@/A/g, @/B/g: Files have different sizes.",
          "@/A/z, @/B/z: Files have different sizes."}, 3, 0},
        {"a size whose low 32 bits are all set is unreadable",
         {"A/max=%4G-1", "B/max=%4G-1", "A/max2=%8G-1", "B/max2=%8G-1"},
         {"A", "B"},
         {"@/A/max: Error reading file.", "@/A/max2: Error reading file."}, 2,
         0},
        // Two large pairs: whatever the order of the listing, one of them is
        // followed by another pair.
        {"the run goes on past large pairs",
         {"A/l1=%4G+65536", "B/l1=%4G+65536^0", "A/l2=%4G+65536",
          "B/l2=%65536", "A/s=1", "B/s=2"},
         {"A", "B"},
         {"@/A/l1, @/B/l1: Differences encountered.",
          "@/A/l2, @/B/l2: Files have different sizes.",
          "@/A/s, @/B/s: Differences encountered."}, 3, 0},
        // clang-format on
    };
    for (const Case &c : aCases)
        Check(c);
}

// The POSIX layer's choices: links followed, cycles cut, FIFOs refused.
TEST(Compare, PosixPlatform)
{
    if (TheTarget().bWin32)
        GTEST_SKIP() << "needs POSIX links and FIFOs";
    const Case aCases[] = {
        // clang-format off
        {"links to files are compared as files, links to directories walked",
         {"A/t=abc", "A/lf->t", "A/real/z=1", "A/ld->real", "B/t=abc",
          "B/lf=abd", "B/real/z=1", "B/ld/z=2"},
         {"A", "B"},
         {"@/A/lf, @/B/lf: Differences encountered.",
          "@/A/ld/z, @/B/ld/z: Differences encountered."}, 4, 0},
        {"a broken link is an unreadable file",
         {"A/bad->nowhere", "B/bad=1", "A/ok=1", "B/ok=1", "B/bad2->nowhere",
          "A/bad2=1"},
         {"A", "B"},
         {"@/A/bad: Error reading file.", "@/B/bad2: Error reading file."}, 3, 0},
        {"link cycles are refused, the walk goes on",
         {"A/x=1", "A/l1->.", "A/l2->.", "A/s/up->..", "A/s/y=1", "B/x=1",
          "B/s/y=1"},
         {"A", "B"},
         {"@/A/l1: File not found.", "@/A/l2: File not found.",
          "@/A/s/up: File not found."}, 2, 0},
        {"FIFOs do not hang the run",
         {"A/p|", "B/p|", "A/q=1", "B/q|"}, {"A", "B"},
         {"@/A/p: Error reading file.", "@/B/q: Error reading file."}, 2, 0},
        // clang-format on
    };
    for (const Case &c : aCases)
        Check(c);
}

// Every form of an argument names the directory it resolves to: absolute,
// relative with ".", ".." and repeated separators, "." and ".." whole, and
// roots that resolve to the documented limit of 1,023 characters (on either
// system), and one past it.
TEST(CommandLine, PathForms)
{
    Scratch scratch;
    const std::string sFits = PathOfLength(scratch, 1023);
    const std::string sLong = PathOfLength(scratch, 1024);
    scratch.Make({"A/x=1", "B/x=2", "A/s/x=1", "B/s/x=2", "C/x=2",
                  sFits + "/x=1", sLong + "/x=1"});
    // As typed on the target, whose separator the expected lines take too.
    const std::string sFitsArg = Expand(sFits, scratch);
    const std::string sLongArg = Expand(sLong, scratch);
    const std::vector<std::string> vBoth = {
        "@/A/x, @/B/x: Differences encountered.",
        "@/A/s/x, @/B/s/x: Differences encountered."};
    const Case aCases[] = {
        // clang-format off
        {"absolute roots", {}, {"@/A", "@/B"}, vBoth, 2, 0},
        {"dots, dot-dots and repeated separators", {},
         {"./A/../A//s/.", ".//B/./s//"},
         {"@/A/s/x, @/B/s/x: Differences encountered."}, 1, 0},
        {"dot and dot-dot as whole arguments", {}, {".", "../B"}, vBoth, 2, 0,
         "/A"},
        {"the same tree twice, spelled differently", {}, {"A", "./A/"}, {}, 2,
         0},
        {"first root of 1,023 characters", {}, {sFitsArg, "C"},
         {"@/" + sFits + "/x, @/C/x: Differences encountered."}, 1, 0},
        {"second root of 1,023 characters", {}, {"C", sFitsArg},
         {"@/C/x, @/" + sFits + "/x: Differences encountered."}, 1, 0},
        {"first root of 1,024 characters", {}, {sLongArg, "C"},
         {sLongArg + ": File not found."}, kNoSummary, 1},
        {"second root of 1,024 characters", {}, {"A", sLongArg},
         {sLongArg + ": File not found."}, kNoSummary, 1},
        // clang-format on
    };
    for (const Case &c : aCases)
        Check(c, &scratch);
}

// What only the Windows program does: its path forms, names that Win32 path
// rules would fold or take for devices, names and arguments beyond the ANSI
// code page (the program runs in UTF-8 where Windows allows it, and Wine 8
// does), link cycles as Wine presents them, and first files against a 32-bit
// address space.
TEST(Win32, Cases)
{
    if (!TheTarget().bWin32)
        GTEST_SKIP() << "Windows program only";
    const Case aCases[] = {
        // clang-format off
        {"forward slashes and a drive in the arguments",
         {"A/sub/y=1", "B/sub/y=2"}, {"A/sub", "@/B/sub"},
         {"@/A/sub/y, @/B/sub/y: Differences encountered."}, 1, 0},
        {"names match whatever their case",
         {"A/Mixed.TXT=1", "B/mixed.txt=1", "A/Docs/f=1", "B/docs/f=1"},
         {"A", "B"}, {}, 2, 0},
        // Wine's short names, as GetShortPathNameW gives them: an alias
        // opens the long name, which is another file.
        {"short names of files and directories are not their long names",
         {"A/LONG~LMQ.TXT=1", "B/longfilename.txt=1", "A/PROG~FBU/f=1",
          "B/Program Files/f=1"},
         {"A", "B"},
         {"@/B/LONG~LMQ.TXT: Error reading file.",
          "@/B/PROG~FBU/f: Error reading file."}, 2, 0},
        // B is served in the order of these lines: "LongFileName.txt", whose
        // short name is LONG~LMQ.TXT, stands before "long~lmq.txt", the
        // namesake as Windows compares names, and LongDirName (LONG~LBJ)
        // before long~lbj; a lookup of the first tree's spelling takes the
        // first it meets.
        {"a short name beside its namesake in other case",
         {"fuse:B", "B/LongFileName.txt=c", "B/long~lmq.txt=d",
          "B/LongDirName/report.txt=faithful", "B/long~lbj/report.txt=CORRUPT!",
          "A/LONG~LMQ.TXT=c", "A/LONG~LBJ/report.txt=faithful"},
         {"A", "B"},
         {"@/A/LONG~LMQ.TXT, @/B/LONG~LMQ.TXT: Differences encountered.",
          "@/A/LONG~LBJ/report.txt, @/B/LONG~LBJ/report.txt: "
          "Differences encountered."}, 2, 0},
        // U+10428 and U+10400, Deseret's small and capital long I: the file
        // system compares one UTF-16 unit at a time, and they are two names.
        {"names that differ in the case of a letter beyond 16 bits",
         {"A/k\xf0\x90\x90\xa8=1", "A/k\xf0\x90\x90\x80=2",
          "B/k\xf0\x90\x90\xa8=1", "B/k\xf0\x90\x90\x80=3"},
         {"A", "B"},
         {"@/A/k\xf0\x90\x90\x80, @/B/k\xf0\x90\x90\x80: "
          "Differences encountered."}, 2, 0},
        // Both arrive as "w" and U+FFFD, and would pass for one name.
        {"names that are no UTF-8 are no namesakes", {"A/w\xff=1", "B/w\xfe=1"},
         {"A", "B"}, {"@/B/w\xef\xbf\xbd: Error reading file."}, 1, 0},
        // Killed as it lists z/2, after f was found different and before
        // any other file: the line must be written already.
        {"a run killed among directories without files keeps its lines",
         {"fuse:A", "A/f=1", "A/z/1/", "A/z/2/", "A/z/3/", "A/z/2/!", "B/f=2"},
         {"A", "B"}, {"@/A/f, @/B/f: Differences encountered."}, 1, 128 + 9},
        // Names Windows cannot hold, as Wine lists them from Linux: "a\b"
        // would open b in a; "u\xff" and "u\xfe" both arrive as "u" and
        // U+FFFD, and "w" and "W" are one name to Windows, so that one open
        // would stand for two entries.
        {"listed names that no open can name exactly",
         {"A/a\\b=1", "B/a\\b=1", "A/a/b=1", "B/a/b=1", "A/u\xff=1",
          "A/u\xfe=2", "B/u\xff=1", "B/u\xfe=2", "A/v\xef\xbf\xbd=1",
          "B/v\xff=1", "B/v\xfe=1", "A/w/f=1", "B/w/f=1", "B/W/f=1"},
         {"A", "B"},
         {"@/A/a\\b: Error reading file.",
          "@/A/u\xef\xbf\xbd: Error reading file.",
          "@/A/u\xef\xbf\xbd: Error reading file.",
          "@/B/v\xef\xbf\xbd: Error reading file.",
          "@/B/w/f: Error reading file."}, 6, 0},
        {"names of devices are files like any other",
         {"A/nul=1", "B/nul=2", "A/con=1", "B/con=1", "A/nul.txt=1",
          "B/nul.txt=2", "A/con.log=1", "B/con.log=2", "A/aux.c=1", "B/aux.c=2",
          "A/COM1.txt=1", "B/COM1.txt=2", "A/lpt1.x.y=1", "B/lpt1.x.y=2",
          "A/CONIN$=1", "B/CONIN$=2"},
         {"A", "B"},
         {"@/A/nul, @/B/nul: Differences encountered.",
          "@/A/nul.txt, @/B/nul.txt: Differences encountered.",
          "@/A/con.log, @/B/con.log: Differences encountered.",
          "@/A/aux.c, @/B/aux.c: Differences encountered.",
          "@/A/COM1.txt, @/B/COM1.txt: Differences encountered.",
          "@/A/lpt1.x.y, @/B/lpt1.x.y: Differences encountered.",
          "@/A/CONIN$, @/B/CONIN$: Differences encountered."}, 8, 0},
        {"names ending in a dot or a space are not folded",
         {"A/x=1", "B/x=1", "A/x.=1", "B/x.=2", "A/y=1", "B/y=1", "A/y =1",
          "B/y =2", "A/D/f=1", "B/D/f=1", "A/D./f=1", "B/D./f=2"},
         {"A", "B"},
         {"@/A/x., @/B/x.: Differences encountered.",
          "@/A/y , @/B/y : Differences encountered.",
          "@/A/D./f, @/B/D./f: Differences encountered."}, 6, 0},
        // Greek, CJK and U+0101 (a with macron), none of them in code page
        // 1252, Wine's for English and C locales: their nearest letters must
        // not stand in for them, and they print as UTF-8.
        {"names beyond the ANSI code page are compared and printed",
         {"A/\xce\xb1.txt=1", "B/\xce\xb1.txt=2", "A/\xce\xb2.txt=1",
          "B/\xce\xb2.txt=1", "A/\xe6\x97\xa5\xe6\x9c\xac/f=1",
          "B/\xe6\x97\xa5\xe6\x9c\xac/f=2", "A/\xc4\x81.txt=1", "A/a.txt=1",
          "B/a.txt=1"},
         {"A", "B"},
         {"@/A/\xce\xb1.txt, @/B/\xce\xb1.txt: Differences encountered.",
          "@/A/\xe6\x97\xa5\xe6\x9c\xac/f, @/B/\xe6\x97\xa5\xe6\x9c\xac/f: "
          "Differences encountered.",
          "@/B/\xc4\x81.txt: Error reading file."}, 5, 0},
        // Best-fit conversion to code page 1252 would make O of Omega, / of
        // U+2215 and \ of U+FF3C, and compare other trees than those named.
        {"arguments beyond the ANSI code page are taken as typed",
         {"A/\xce\xa9/f=1", "B/\xce\xa9/f=2", "A/O/f=1", "B/O/f=1"},
         {"A/\xce\xa9", "B/\xce\xa9"},
         {"@/A/\xce\xa9/f, @/B/\xce\xa9/f: Differences encountered."}, 1, 0},
        {"look-alikes of separators in arguments are not separators",
         {"A/a\xe2\x88\x95" "b/f=1", "B/a\xef\xbc\xbc" "b/f=2", "A/a/b/f=1",
          "B/a/b/f=1"},
         {"A/a\xe2\x88\x95" "b", "B/a\xef\xbc\xbc" "b"},
         {"@/A/a\xe2\x88\x95" "b/f, @/B/a\xef\xbc\xbc" "b/f: "
          "Differences encountered."}, 1, 0},
        // The C run-time took an empty argument for the current directory.
        {"an empty argument", {"A/x=1", "B/x=2"}, {"", "B"},
         {": File not found."}, kNoSummary, 1},
        // Win32 resolution would strip the dot and compare D instead.
        {"an argument whose last name ends in a dot is refused",
         {"A/D./f=1", "B/D./f=2", "A/D/f=1", "B/D/f=1"}, {"@/A/D.", "B/D."},
         {"@/A/D.: File not found."}, kNoSummary, 1},
        {"arguments in the \\\\?\\ form",
         {"A/x=1", "B/x=2", "A/y.=1", "B/y.=2"},
         {"\\\\?\\@/A", "\\\\?\\@/B"},
         {"\\\\?\\@/A/x, \\\\?\\@/B/x: Differences encountered.",
          "\\\\?\\@/A/y., \\\\?\\@/B/y.: Differences encountered."}, 2, 0},
        {"arguments in the \\\\?\\ form are taken as typed",
         {"A/D./f=1", "B/D./f=2", "A/D/f=1", "B/D/f=1"},
         {"\\\\?\\@/A/D.", "\\\\?\\@/B/D."},
         {"\\\\?\\@/A/D./f, \\\\?\\@/B/D./f: Differences encountered."}, 1,
         0},
        // Win32 resolution makes "\\.\aux", the device, of both.
        {"an argument that names a device is refused",
         {"A/aux/f=1", "B/aux/f=2"}, {"@/A/aux", "@/B/aux"},
         {"@/A/aux: File not found."}, kNoSummary, 1},
        {"a file reached at more than 300 characters",
         {"A/" + std::string(200, 'd') + "/" + std::string(120, 'e') + "/f=1",
          "B/" + std::string(200, 'd') + "/" + std::string(120, 'e') + "/f=2"},
         {"A", "B"},
         {"@/A/" + std::string(200, 'd') + "/" + std::string(120, 'e') +
          "/f, @/B/" + std::string(200, 'd') + "/" + std::string(120, 'e') +
          "/f: Differences encountered."}, 1, 0},
        {"link cycles are refused, links to directories walked",
         {"A/x=1", "A/l1->.", "A/s/up->..", "A/s/y=1", "A/real/z=1",
          "A/ld->real", "A/ld2->real", "B/x=1", "B/s/y=1", "B/real/z=1",
          "B/ld/z=2", "B/ld2/z=1"},
         {"A", "B"},
         {"@/A/l1: File not found.", "@/A/s/up: File not found.",
          "@/A/ld/z, @/B/ld/z: Differences encountered."}, 5, 0},
        // Wine gives the roots of FUSE trees the same identity: volume serial
        // 0, file index 1.
        {"a tree mounted inside a tree is no cycle",
         {"fuse:A", "A/m/", "A/g=1", "fuse:A/m", "A/m/f=1", "B/g=1", "B/m/f=2"},
         {"A", "B"}, {"@/A/m/f, @/B/m/f: Differences encountered."}, 2, 0},
        {"a tree deeper than the first table of searches",
         {"A/1/2/3/4/5/6/7/8/9/10/11/12/f=1", "A/1/2/3/4/5/6/7/8/9/g=1",
          "A/1/h=1", "B/1/2/3/4/5/6/7/8/9/10/11/12/f=2",
          "B/1/2/3/4/5/6/7/8/9/g=2", "B/1/h=2"},
         {"A", "B"},
         {"@/A/1/2/3/4/5/6/7/8/9/10/11/12/f, @/B/1/2/3/4/5/6/7/8/9/10/11/12/f: "
          "Differences encountered.",
          "@/A/1/2/3/4/5/6/7/8/9/g, @/B/1/2/3/4/5/6/7/8/9/g: "
          "Differences encountered.",
          "@/A/1/h, @/B/1/h: Differences encountered."}, 3, 0},
        // Large-address-aware, the program has 4 GiB of address space under
        // 64-bit Windows and Wine: room for an image of 1.2 GiB, none for one
        // of 3 GiB.
        {"first file of 1.2 GiB", {"A/big=%1229M", "B/big=%1229M"}, {"A", "B"},
         {}, 1, 0},
        {"first file too large for memory", {"A/big=%3G", "B/big=%3G", "B/x=1"},
         {"A", "B"}, {"@/A/big: Memory allocation error."}, 1, 1},
        // clang-format on
    };
    std::string sLeftOut;
    for (const Case &c : aCases)
        if (CanMake(c.vTree, &sLeftOut))
            Check(c);
    SKIP_IF_LEFT_OUT(sLeftOut);
}

// The mask of the walk's searches lets hidden and system entries through,
// directories among them: their files are compared like any other.
TEST(Win32, HiddenAndSystemEntries)
{
    if (!TheTarget().bWin32)
        GTEST_SKIP() << "Windows program only";
    const std::vector<std::string> vTree = {
        "A/h=1", "B/h=2", "A/s=1",    "B/s=2",    "A/hs=1",   "B/hs=2",
        "A/r=1", "B/r=2", "A/hd/f=1", "B/hd/f=2", "A/sd/f=1", "B/sd/f=2"};
    // Wine's attrib takes one attribute at a time.
    const std::pair<const char *, const char *> aAttribs[] = {
        // clang-format off
        {"+h", "A/h"}, {"+s", "A/s"},   {"+h", "A/hs"}, {"+s", "A/hs"},
        // clang-format on
        {"+r", "A/r"},
        {"+h", "A/hd"},
        {"+s", "A/sd"}};
    Scratch scratch;
    scratch.Make(vTree);
    RunOptions opt;
    opt.sBin = "attrib";
    for (const auto &a : aAttribs) {
        std::string sPath = Expand(std::string("@/") + a.second, scratch);
        ASSERT_EQ(RunTool({a.first, sPath}, opt).nStatus, 0);
        // Listed alone, the entry's attribute letters stand before its path.
        std::string sList = RunTool({sPath}, opt).sOut;
        std::string sLetters = sList.substr(0, sList.find(sPath));
        ASSERT_NE(sLetters.find((char)toupper(a.first[1])), std::string::npos)
            << a.second << " did not take " << a.first << ": " << sList;
    }
    Check({"hidden, system and read-only entries",
           {},
           {"A", "B"},
           {"@/A/h, @/B/h: Differences encountered.",
            "@/A/s, @/B/s: Differences encountered.",
            "@/A/hs, @/B/hs: Differences encountered.",
            "@/A/r, @/B/r: Differences encountered.",
            "@/A/hd/f, @/B/hd/f: Differences encountered.",
            "@/A/sd/f, @/B/sd/f: Differences encountered."},
           6,
           0},
          &scratch);
}
