// The fuzz target's check of _fullpath, run in every build: over the seed
// corpus kept with the sources, then over seeded random paths drawn from the
// characters that matter to the folding.
#include <dirent.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "fuzz/fullpath_check.h"

TEST(FullpathModel, SeedCorpus)
{
    DIR *pDir = opendir(ORVEL_FULLPATH_CORPUS);
    ASSERT_NE(pDir, nullptr) << ORVEL_FULLPATH_CORPUS;
    int nSeeds = 0;
    while (struct dirent *pEnt = readdir(pDir)) {
        if (pEnt->d_name[0] == '.')
            continue;
        std::ifstream in(std::string(ORVEL_FULLPATH_CORPUS "/") + pEnt->d_name,
                         std::ios::binary);
        std::ostringstream ss;
        ss << in.rdbuf();
        const std::string s = ss.str();
        const char *pszWrong =
            CheckFullpath((const uint8_t *)s.data(), s.size());
        EXPECT_EQ(pszWrong, nullptr) << pEnt->d_name << ": " << pszWrong;
        nSeeds++;
    }
    closedir(pDir);
    EXPECT_GT(nSeeds, 10);
}

TEST(FullpathModel, RandomPaths)
{
    const char szAlphabet[] = "/./../ab";
    for (unsigned nSeed = 1; nSeed <= 20000; nSeed++) {
        std::mt19937 rng(nSeed);
        std::string s(1, (char)(rng() % 40));
        size_t nLen = rng() % 40;
        for (size_t i = 0; i < nLen; i++)
            s += szAlphabet[rng() % (sizeof(szAlphabet) - 1)];
        const char *pszWrong =
            CheckFullpath((const uint8_t *)s.data(), s.size());
        ASSERT_EQ(pszWrong, nullptr) << "seed " << nSeed << ": " << pszWrong
                                     << " for \"" << s.substr(1) << "\"";
    }
}
