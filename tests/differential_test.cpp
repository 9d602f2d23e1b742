// A randomized differential test: random pairs of trees, the second a copy
// of the first with random mutations, are given to the tool, and its report,
// as a set of lines and a count, must be the one that find and cmp give.
// Every round is drawn from its seed, printed with any failure; set
// ORVEL_SEED to replay one round, ORVEL_ROUNDS to run more.
#include "harness.h"

#include "block.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Sizes about the block through which the tool reads: empty, small, at and
// around one and two blocks, and past two.
const size_t kB = BLOCK_BYTES;
const size_t kSizes[] = {0,  1,      7,          100,    kB - 1,
                         kB, kB + 1, 2 * kB - 1, 2 * kB, 2 * kB + 4464};

struct Gen {
    std::mt19937 rng;
    std::string sRoot;
    std::vector<std::string> vFiles, vDirs;  // relative, in the first tree

    size_t Pick(size_t n)
    {
        return std::uniform_int_distribution<size_t>(0, n - 1)(rng);
    }

    std::string Data(size_t nSize)
    {
        std::string s(nSize, '\0');
        // A few distinct bytes make equal-looking runs, a full range the rest.
        int nRange = Pick(2) ? 256 : 3;
        for (char &c : s)
            c = (char)Pick(nRange);
        return s;
    }

    // Names begin plainly or with a dot, a blank, a backslash or a byte that
    // is not UTF-8; some entries are links to a file beside them or to
    // nothing.
    void Tree(const std::string &sRel, int nDepth)
    {
        static const char *const apszStart[] = {"",     "",   ".",
                                                "a b ", "\\", "\xff"};
        int nEntries = (int)Pick(6);
        std::vector<std::string> vHere;  // names of the files made here
        for (int i = 0; i < nEntries; i++) {
            std::string sBase = apszStart[Pick(std::size(apszStart))] +
                                ("e" + std::to_string(i));
            std::string sName = sRel + sBase;
            size_t nKind = Pick(8);
            if (nKind < 2) {
                std::string sTarget = nKind == 0 && !vHere.empty()
                                          ? vHere[Pick(vHere.size())]
                                          : "nowhere";
                EXPECT_EQ(
                    symlink(sTarget.c_str(), (sRoot + "/A/" + sName).c_str()),
                    0);
            } else if (nDepth < 3 && nKind < 4) {
                mkdir((sRoot + "/A/" + sName).c_str(), 0755);
                vDirs.push_back(sName);
                Tree(sName + "/", nDepth + 1);
            } else {
                std::ofstream(sRoot + "/A/" + sName, std::ios::binary)
                    << Data(kSizes[Pick(std::size(kSizes))]);
                vFiles.push_back(sName);
                vHere.push_back(sBase);
            }
        }
    }
};

// What is not a directory under sDir, links followed, by relative path:
// its size, or "" for what is not a regular file (a broken link), from find.
std::map<std::string, std::string> Files(const std::string &sDir)
{
    std::map<std::string, std::string> files;
    std::istringstream in(ShellOutput(
        "find -L '" + sDir + "' -mindepth 1 ! -type d -printf '%P\\t%y%s\\n'"));
    for (std::string sLine; std::getline(in, sLine);) {
        size_t nTab = sLine.rfind('\t');
        files[sLine.substr(0, nTab)] =
            sLine[nTab + 1] == 'f' ? sLine.substr(nTab + 2) : "";
    }
    return files;
}

// The report find and cmp give for the two trees: the lines, sorted, and the
// count of files in the first.
Report Oracle(const std::string &sA, const std::string &sB)
{
    Report rep;
    std::map<std::string, std::string> a = Files(sA), b = Files(sB);
    for (const auto &f : a) {
        const std::string s1 = sA + "/" + f.first, s2 = sB + "/" + f.first;
        auto it = b.find(f.first);
        if (f.second.empty())
            rep.vLines.push_back(s1 + ": Error reading file.");
        else if (it == b.end() || it->second.empty())
            rep.vLines.push_back(s2 + ": Error reading file.");
        else if (it->second != f.second)
            rep.vLines.push_back(s1 + ", " + s2 +
                                 ": Files have different sizes.");
        else if (system(("cmp -s '" + s1 + "' '" + s2 + "'").c_str()) != 0)
            rep.vLines.push_back(s1 + ", " + s2 + ": Differences encountered.");
    }
    std::sort(rep.vLines.begin(), rep.vLines.end());
    rep.nSummary = (long)a.size();
    return rep;
}

void Remove(const std::string &sPath)
{
    EXPECT_EQ(system(("rm -rf '" + sPath + "'").c_str()), 0) << sPath;
}

// Copies the first tree to the second, then changes it at random.
void Mutate(Gen &g)
{
    const std::string sA = g.sRoot + "/A", sB = g.sRoot + "/B";
    ASSERT_EQ(system(("cp -a '" + sA + "' '" + sB + "'").c_str()), 0);
    int nMutations = (int)g.Pick(6);
    for (int i = 0; i < nMutations; i++) {
        bool bFile = !g.vFiles.empty() && (g.vDirs.empty() || g.Pick(4) != 0);
        std::string sRel = bFile             ? g.vFiles[g.Pick(g.vFiles.size())]
                           : g.vDirs.empty() ? ""
                                             : g.vDirs[g.Pick(g.vDirs.size())];
        std::string sPath = sB + "/" + sRel;
        struct stat st;
        if (sRel.empty() || stat(sPath.c_str(), &st) != 0)
            continue;  // gone with a directory mutated before
        std::string sData;
        if (S_ISREG(st.st_mode)) {
            std::ifstream in(sPath, std::ios::binary);
            std::ostringstream ss;
            ss << in.rdbuf();
            sData = ss.str();
        }
        switch (g.Pick(7)) {
        case 0:  // a byte flipped at the first, last or a block boundary
            if (!sData.empty()) {
                size_t aAt[] = {0, sData.size() - 1, kB - 1, kB,
                                g.Pick(sData.size())};
                size_t nAt = aAt[g.Pick(5)];
                if (nAt < sData.size())
                    sData[nAt] ^= (char)(1 + g.Pick(255));
            }
            break;
        case 1:  // size changed
            if (!sData.empty() && g.Pick(2))
                sData.resize(g.Pick(sData.size()));
            else
                sData += g.Data(1 + g.Pick(40000));
            break;
        case 2:  // deleted
            Remove(sPath);
            continue;
        case 3:  // a file turned into a directory, or a directory into a file
            Remove(sPath);
            if (S_ISREG(st.st_mode)) {
                mkdir(sPath.c_str(), 0755);
                std::ofstream(sPath + "/inner", std::ios::binary) << sData;
            } else {
                std::ofstream(sPath, std::ios::binary) << "was a directory";
            }
            continue;
        case 4:  // and back: a file of the same name again, equal or not
            Remove(sPath);
            if (S_ISREG(st.st_mode)) {
                mkdir(sPath.c_str(), 0755);
                rmdir(sPath.c_str());
            }
            break;
        default:  // extra entries in the second tree
            std::string sExtra =
                S_ISDIR(st.st_mode) ? sPath + "/extra" : sPath + ".extra";
            if (g.Pick(2))
                mkdir(sExtra.c_str(), 0755), sExtra += "/more";
            std::ofstream(sExtra, std::ios::binary) << g.Data(g.Pick(100));
            continue;
        }
        if (S_ISREG(st.st_mode) || !sData.empty())
            std::ofstream(sPath, std::ios::binary) << sData;
    }
}

}  // namespace

TEST(Differential, AgreesWithFindAndCmp)
{
    if (TheTarget().bWin32)
        GTEST_SKIP() << "the oracle runs find and cmp on this machine";
    REQUIRE_PROGRAM("cmp");
    REQUIRE_PROGRAM("find");
    const char *pszSeed = getenv("ORVEL_SEED");
    const char *pszRounds = getenv("ORVEL_ROUNDS");
    unsigned long ulFirst =
        pszSeed != nullptr ? strtoul(pszSeed, nullptr, 10) : 20261208;
    int nRounds = pszSeed != nullptr     ? 1
                  : pszRounds != nullptr ? atoi(pszRounds)
                                         : 40;
    for (unsigned long ulSeed = ulFirst; ulSeed < ulFirst + nRounds; ulSeed++) {
        SCOPED_TRACE("replay with ORVEL_SEED=" + std::to_string(ulSeed));
        Scratch scratch;
        Gen g;
        g.rng.seed(ulSeed);
        g.sRoot = scratch.Root();
        mkdir((g.sRoot + "/A").c_str(), 0755);
        g.Tree("", 0);
        Mutate(g);
        if (HasFatalFailure())
            return;
        RunOptions opt;
        opt.sCwd = scratch.Root();
        RunResult r = RunTool({"A", "B"}, opt);
        Report got = ParseReport(r),
               want = Oracle(g.sRoot + "/A", g.sRoot + "/B");
        EXPECT_EQ(got.vLines, want.vLines);
        EXPECT_EQ(got.nSummary, want.nSummary);
        EXPECT_EQ(r.nStatus, 0);
    }
}
