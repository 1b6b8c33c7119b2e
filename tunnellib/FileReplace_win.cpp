#include "tunnellib/FileReplace.h"

#include <windows.h>

namespace tunnellib {

namespace {

std::string systemText(DWORD code)
{
    char text[256] = {};
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                     text, sizeof text, nullptr);
    std::string out(text, n);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.'))
        out.pop_back();
    return out.empty() ? "error " + std::to_string(code) : out;
}

} // namespace

// Paths are in the ANSI code page, as the host passed the configuration's path to
// TunnelInit and as wire::Ini opens it.
bool replaceFile(const std::string &path, const std::string &bytes, std::string *error)
{
    // Named per process: two hosts of the library may write the same folder's file.
    const std::string temp = path + "." + std::to_string(::GetCurrentProcessId()) + ".tmp";
    const auto fail = [&](const std::string &what, DWORD code) {
        if (error)
            *error = what + ": " + systemText(code);
        ::DeleteFileA(temp.c_str());
        return false;
    };
    HANDLE file = ::CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        if (error)
            *error = "cannot create " + temp + ": " + systemText(code);
        return false;
    }
    DWORD written = 0;
    const BOOL wrote = ::WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr)
                       && written == DWORD(bytes.size()) && ::FlushFileBuffers(file);
    const DWORD writeError = ::GetLastError();
    ::CloseHandle(file);
    if (!wrote)
        return fail("cannot write " + temp, writeError);
    // Unlike rename() on Windows, this replaces a file that exists.
    if (!::MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return fail("cannot replace " + path, ::GetLastError());
    return true;
}

} // namespace tunnellib
