#include "platform/save_dialog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <mutex>

#include "platform/dialog.h"
#include "platform/posix/native_text.h"

namespace platform {
namespace {

bool ReadLine(std::string* pLine)
{
    pLine->clear();
    char c;
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n <= 0)
            return !pLine->empty();
        if (c == '\n')
            return true;
        *pLine += c;
    }
}

}  // namespace

bool AskSaveFileName(const SaveDialogOptions& options, std::string* pName)
{
    if (!isatty(STDIN_FILENO))
        return false;
    static std::mutex s_mtx;
    std::unique_lock<std::mutex> lock(s_mtx);
    std::fprintf(stderr, "\n%s\n%s\n> ", posix::AnsiToUtf8(options.szTitle ? options.szTitle : "").c_str(),
                 posix::AnsiToUtf8(options.szFilterName ? options.szFilterName : "").c_str());
    std::fflush(stderr);
    std::string path;
    if (!ReadLine(&path) || path.empty())
        return false;
    if (path[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof(cwd)) == nullptr)
            return false;
        path = std::string(cwd) + "/" + path;
    }
    const size_t nSlash = path.find_last_of('/');
    const std::string dir = nSlash == 0 ? "/" : path.substr(0, nSlash);
    const std::string file = path.substr(nSlash + 1);
    if (file.empty())
        return false;
    if (file.find('.') == std::string::npos && options.szDefaultExtension != nullptr &&
        options.szDefaultExtension[0] != '\0')
        path += std::string(".") + options.szDefaultExtension;
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "%s\n", posix::AnsiToUtf8("パスが見つかりません。").c_str());
        return false;
    }
    const std::string name = posix::FromNativePath(path);
    if (stat(path.c_str(), &st) == 0) {
        lock.unlock();
        const std::string question = name + " は既に存在します。\n上書きしますか？";
        if (!AskYesNo(options.szTitle, question.c_str()))
            return false;
    }
    *pName = name;
    return true;
}

}  // namespace platform
