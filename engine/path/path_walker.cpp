#include "engine/path/path_walker.h"

#include "platform/codepage.h"

namespace velk {
namespace pathwalk {
namespace {

bool IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

// The index of the character after the one at i.
size_t Next(const std::string& str, size_t i)
{
    if (platform::IsLeadByte(static_cast<unsigned char>(str[i])) && i + 1 < str.size())
        return i + 2;
    return i + 1;
}

// Drops one trailing separator, if the last character is one. Returns false when
// two separators follow each other and bRefuseDouble is set.
bool TrimTrailingSeparator(std::string* pStr, bool bRefuseDouble)
{
    bool bPreviousWasSeparator = false;
    size_t nLast = std::string::npos;
    for (size_t i = 0; i < pStr->size(); i = Next(*pStr, i)) {
        const bool bSeparator = IsSeparator((*pStr)[i]);
        if (bRefuseDouble && bSeparator && bPreviousWasSeparator)
            return false;
        bPreviousWasSeparator = bSeparator;
        nLast = i;
    }
    if (nLast != std::string::npos && IsSeparator((*pStr)[nLast]))
        pStr->erase(nLast);
    return true;
}

bool HasDrive(const std::string& w)
{
    return w.size() >= 2 && w[1] == ':' && !platform::IsLeadByte(static_cast<unsigned char>(w[0]));
}

// The last component as the C runtime's path splitter yields it: the name after
// the last separator, or after the drive designator; the drive itself when that
// is empty.
std::string LastEngineComponent(const std::string& w)
{
    const size_t nSep = FindLastSeparator(w);
    size_t nStart = 0;
    if (nSep != std::string::npos)
        nStart = nSep + 1;
    else if (HasDrive(w))
        nStart = 2;
    if (nStart < w.size())
        return w.substr(nStart);
    return HasDrive(w) ? w.substr(0, 2) : std::string();
}

// Applies one component to the pending ".." count and the stack.
void Collect(const std::string& c, int* pUp, std::vector<std::string>* pStack)
{
    if (c == ".")
        return;
    if (c == "..") {
        ++*pUp;
    } else if (*pUp > 0) {
        --*pUp;
    } else {
        pStack->push_back(c);
    }
}

int WalkEngine(std::string w, std::vector<std::string>* pStack)
{
    int nUp = 0;
    for (;;) {
        const std::string c = LastEngineComponent(w);
        if (c.empty())
            return kMalformed;
        Collect(c, &nUp, pStack);
        if (w.size() == c.size())
            break;
        w.erase(w.size() - c.size() - 1);
    }
    return nUp > 0 ? kMalformed : kOk;
}

int WalkFull(std::string w, std::vector<std::string>* pStack)
{
    int nUp = 0;
    for (;;) {
        const size_t nSep = FindLastSeparator(w);
        const std::string c = nSep == std::string::npos ? w : w.substr(nSep + 1);
        if (c.empty())
            return kMalformed;
        Collect(c, &nUp, pStack);
        if (w.size() == c.size())
            break;
        w.erase(nSep + 1);
        if (w == "\\\\") {
            // The UNC prefix belongs to the leftmost component. When ".."
            // cancelled the server name there is none to carry it.
            if (pStack->empty())
                return kMalformed;
            pStack->back().insert(0, "\\\\");
            break;
        }
        w.erase(nSep);
    }
    return nUp > 0 ? kMalformed : kOk;
}

}  // namespace

size_t FindLastSeparator(const std::string& str)
{
    size_t nLast = std::string::npos;
    for (size_t i = 0; i < str.size(); i = Next(str, i))
        if (IsSeparator(str[i]))
            nLast = i;
    return nLast;
}

int Normalise(const char* szPath, char chSeparator, Rules rules, std::string* pText,
              std::vector<std::string>* pComponents)
{
    std::vector<std::string> vStack;
    if (szPath != nullptr && *szPath != 0) {
        std::string w(szPath);
        int nResult;
        if (rules == Rules::kEngine) {
            if (IsSeparator(w[0]))
                return kRooted;
            if (!TrimTrailingSeparator(&w, true))
                return kMalformed;
            nResult = WalkEngine(w, &vStack);
        } else {
            if (IsSeparator(w[0]) && (w.size() < 2 || !IsSeparator(w[1])))
                return kRootedWithoutPrefix;
            TrimTrailingSeparator(&w, false);
            nResult = WalkFull(w, &vStack);
        }
        if (nResult != kOk)
            return nResult;
    }
    pText->clear();
    pComponents->clear();
    while (!vStack.empty()) {
        if (!pText->empty())
            *pText += chSeparator;
        *pText += vStack.back();
        pComponents->push_back(vStack.back());
        vStack.pop_back();
    }
    return kOk;
}

}  // namespace pathwalk
}  // namespace velk
