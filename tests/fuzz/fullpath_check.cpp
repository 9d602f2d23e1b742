#include "fullpath_check.h"

#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "orvel.h"
#include "platform/platform.h"

static std::string Model(const std::string &sPath)
{
    std::string sFull = sPath;
    if (sPath.empty() || sPath[0] != '/') {
        char szCwd[8192];
        if (getcwd(szCwd, sizeof(szCwd)) == nullptr)
            return "";
        sFull = std::string(szCwd) + "/" + sPath;
    }
    std::vector<std::string> vParts;
    size_t nAt = 0;
    while (nAt <= sFull.size()) {
        size_t nEnd = sFull.find('/', nAt);
        if (nEnd == std::string::npos)
            nEnd = sFull.size();
        std::string sPart = sFull.substr(nAt, nEnd - nAt);
        if (sPart == "..") {
            if (!vParts.empty())
                vParts.pop_back();
        } else if (!sPart.empty() && sPart != ".") {
            vParts.push_back(sPart);
        }
        nAt = nEnd + 1;
    }
    std::string sOut;
    for (const std::string &s : vParts)
        sOut += "/" + s;
    return sOut.empty() ? "/" : sOut;
}

const char *CheckFullpath(const uint8_t *pbData, size_t nSize)
{
    if (nSize == 0)
        return nullptr;
    // Sizes from 1 up, with the driver's and its neighbours likely.
    static const size_t anLimits[] = {ROOT_PATH_BYTES - 1, ROOT_PATH_BYTES,
                                      ROOT_PATH_BYTES + 1, 4096};
    size_t nLimit = pbData[0] < 4 ? anLimits[pbData[0]] : (size_t)pbData[0] - 3;
    std::string sPath((const char *)pbData + 1, nSize - 1);
    sPath = sPath.substr(0, sPath.find('\0'));

    // A block of exactly the limit, so that a write past it is caught by
    // the address sanitizer.
    char *pszBuf = (char *)malloc(nLimit);
    char *pszGot = _fullpath(pszBuf, sPath.c_str(), nLimit);
    std::string sWant = sPath.empty() ? "" : Model(sPath);
    const char *pszWrong = nullptr;
    if (sWant.empty() || sWant.size() + 1 > nLimit) {
        if (pszGot != nullptr)
            pszWrong = "a result where none fits or none is due";
    } else if (pszGot != pszBuf) {
        pszWrong = "no result where one fits";
    } else if (sWant != pszGot) {
        pszWrong = "a result other than the model's";
    }
    free(pszBuf);
    return pszWrong;
}

#ifdef ORVEL_FUZZ_TARGET
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pbData, size_t nSize)
{
    const char *pszWrong = CheckFullpath(pbData, nSize);
    if (pszWrong != nullptr) {
        fprintf(stderr, "_fullpath: %s\n", pszWrong);
        abort();
    }
    return 0;
}
#endif
