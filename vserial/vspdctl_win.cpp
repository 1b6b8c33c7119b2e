#include "vserial/vspdctl.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// com0com numbers its pairs: CNCA<n> and CNCB<n> are the two ends of pair n, and each end
// may carry a COM name (PortName=, or RealPortName= when the driver's "ports class" names
// it). setupc.exe installs and removes pairs and lists them; it must run in its own folder,
// where the driver's .inf files are. Nothing here can tell a pair of some other driver from
// two unrelated ports, so ports found without com0com are taken as the user's own pair.

namespace {

constexpr DWORD kSetupcWait = 120 * 1000; // a first install sets up a driver instance
constexpr std::size_t kMaxName = 32;
constexpr DWORD kElevationRequired = 740; // ERROR_ELEVATION_REQUIRED, missing from mingw's winerror.h

std::mutex g_mutex;
thread_local std::string g_lastError;
std::vector<int> g_madeHere; // com0com pair numbers this process installed

struct Pair
{
    std::string a, b;
};

bool fail(const std::string &text)
{
    g_lastError = text;
    ::OutputDebugStringA(("vspdctl: " + text + "\n").c_str());
    return false;
}

void note(const std::string &text)
{
    ::OutputDebugStringA(("vspdctl: " + text + "\n").c_str());
}

std::string upper(std::string s)
{
    for (char &c : s)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool validName(const char *name)
{
    if (!name || !*name)
        return false;
    std::size_t n = 0;
    for (const char *p = name; *p; ++p, ++n) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (n >= kMaxName || !(std::isalnum(c) || c == '-' || c == '_'))
            return false;
    }
    return true;
}

// A device of that name exists: a COM port of any driver, or under Wine a dosdevices link,
// which QueryDosDevice does not know (only ports Wine's mount manager made). The fallback
// opens it without any access right: nothing is read, written or set on the port, and a
// port held by another program still shows as existing.
bool portExists(const std::string &name)
{
    char target[1024];
    if (::QueryDosDeviceA(name.c_str(), target, sizeof target) != 0)
        return true;
    const std::string path = "\\\\.\\" + name;
    HANDLE h = ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        ::CloseHandle(h);
        return true;
    }
    const DWORD e = ::GetLastError();
    return e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION;
}

std::string environment(const char *name)
{
    char value[MAX_PATH];
    const DWORD n = ::GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

std::vector<std::string> setupcCandidates()
{
    // A 32-bit process sees the 32-bit folder as ProgramFiles, the 64-bit one as ProgramW6432.
    std::vector<std::string> paths;
    for (const char *var : {"ProgramFiles", "ProgramW6432", "ProgramFiles(x86)"}) {
        const std::string dir = environment(var);
        const std::string path = dir + "\\com0com\\setupc.exe";
        if (!dir.empty() && std::find(paths.begin(), paths.end(), path) == paths.end())
            paths.push_back(path);
    }
    return paths;
}

std::string findSetupc()
{
    for (const std::string &path : setupcCandidates()) {
        const DWORD attributes = ::GetFileAttributesA(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return path;
    }
    return {};
}

std::string systemMessage(DWORD code)
{
    char *text = nullptr;
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                         | FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, code, 0, reinterpret_cast<char *>(&text), 0, nullptr);
    std::string message = n ? std::string(text, n) : "error " + std::to_string(code);
    if (text)
        ::LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message;
}

std::string readFile(const std::string &path)
{
    std::string text;
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return text;
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0 && text.size() < (1u << 20))
        text.append(buffer, got);
    ::CloseHandle(h);
    return text;
}

// Runs setupc with `arguments` in its own folder and returns what it printed; false with
// the reason in *error when it could not run or failed. The output goes through a file
// (setupc's --output) so that it also arrives when Windows runs setupc elevated.
bool runSetupc(const std::string &setupc, const std::string &arguments, std::string *output, std::string *error)
{
    const std::string folder = setupc.substr(0, setupc.find_last_of('\\'));
    char tempDir[MAX_PATH];
    char outPath[MAX_PATH];
    if (!::GetTempPathA(sizeof tempDir, tempDir) || !::GetTempFileNameA(tempDir, "vsp", 0, outPath)) {
        *error = "no temporary file for setupc's output: " + systemMessage(::GetLastError());
        return false;
    }
    const std::string parameters = "--silent --output \"" + std::string(outPath) + "\" " + arguments;
    std::string commandLine = "\"" + setupc + "\" " + parameters;

    STARTUPINFOA si {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION pi {};
    HANDLE process = nullptr;
    if (::CreateProcessA(setupc.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                         folder.c_str(), &si, &pi)) {
        ::CloseHandle(pi.hThread);
        process = pi.hProcess;
    } else if (::GetLastError() == kElevationRequired) {
        // Installing a driver needs the administrator: Windows asks the user.
        SHELLEXECUTEINFOA sei {};
        sei.cbSize = sizeof sei;
        sei.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
        sei.lpVerb = "runas";
        sei.lpFile = setupc.c_str();
        sei.lpParameters = parameters.c_str();
        sei.lpDirectory = folder.c_str();
        sei.nShow = SW_HIDE;
        if (::ShellExecuteExA(&sei))
            process = sei.hProcess;
    }
    if (!process) {
        *error = "cannot run " + setupc + ": " + systemMessage(::GetLastError());
        ::DeleteFileA(outPath);
        return false;
    }
    const DWORD waited = ::WaitForSingleObject(process, kSetupcWait);
    DWORD exitCode = 1;
    ::GetExitCodeProcess(process, &exitCode);
    ::CloseHandle(process);
    *output = readFile(outPath);
    ::DeleteFileA(outPath);
    if (waited != WAIT_OBJECT_0) {
        *error = "setupc " + arguments + " did not finish within " + std::to_string(kSetupcWait / 1000) + " s";
        return false;
    }
    if (exitCode != 0) {
        *error = "setupc " + arguments + " failed (exit " + std::to_string(exitCode) + "): " + *output;
        return false;
    }
    return true;
}

// Lines such as "       CNCA0 PortName=COM30,EmuBR=yes" or "CNCB0 PortName=COM#,RealPortName=COM31".
std::map<int, Pair> parseList(const std::string &text)
{
    std::map<int, Pair> pairs;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const std::size_t id = line.find("CNC");
        if (id == std::string::npos || id + 4 >= line.size() || (line[id + 3] != 'A' && line[id + 3] != 'B'))
            continue;
        const char end_ = line[id + 3];
        std::size_t p = id + 4;
        int number = 0;
        bool digits = false;
        while (p < line.size() && std::isdigit(static_cast<unsigned char>(line[p]))) {
            number = number * 10 + (line[p++] - '0');
            digits = true;
            if (number > 100000)
                break;
        }
        if (!digits)
            continue;
        auto value = [&line, p](const std::string &key) -> std::string {
            std::size_t at = p;
            while ((at = line.find(key, at)) != std::string::npos) {
                const char before = line[at - 1];
                if (before == ' ' || before == '\t' || before == ',')
                    break;
                at += key.size();
            }
            if (at == std::string::npos)
                return {};
            const std::size_t from = at + key.size();
            const std::size_t to = line.find_first_of(", \t\r", from);
            return line.substr(from, to == std::string::npos ? std::string::npos : to - from);
        };
        std::string name = value("RealPortName=");
        if (name.empty() || name == "-")
            name = value("PortName=");
        if (name == "-" || name == "COM#")
            name.clear();
        (end_ == 'A' ? pairs[number].a : pairs[number].b) = upper(name);
    }
    return pairs;
}

bool listPairs(const std::string &setupc, std::map<int, Pair> *pairs)
{
    std::string output, error;
    if (!runSetupc(setupc, "list", &output, &error))
        return fail(error);
    *pairs = parseList(output);
    return true;
}

int pairHolding(const std::map<int, Pair> &pairs, const std::string &name)
{
    for (const auto &[number, pair] : pairs)
        if (pair.a == name || pair.b == name)
            return number;
    return -1;
}

std::string noCom0com(const std::string &what)
{
    std::string text = what + ": com0com is not installed (no setupc.exe in";
    for (const std::string &path : setupcCandidates())
        text += " " + path;
    return text + "). Install the com0com null-modem driver, or make the pair yourself";
}

bool createPair(const char *first, const char *second)
{
    if (!validName(first) || !validName(second))
        return fail("CreatePair: a port name must be 1 to 32 letters, digits, '-' or '_'");
    const std::string a = upper(first), b = upper(second);
    if (a == b)
        return fail("CreatePair: both ports are named " + a);
    const std::string what = "CreatePair(" + a + ", " + b + ")";
    const std::string setupc = findSetupc();
    if (setupc.empty()) {
        if (portExists(a) && portExists(b)) {
            note(what + ": both ports exist, without com0com: used as they are");
            return true;
        }
        return fail(noCom0com(what));
    }

    std::map<int, Pair> pairs;
    if (!listPairs(setupc, &pairs))
        return false;
    const int pa = pairHolding(pairs, a), pb = pairHolding(pairs, b);
    if (pa >= 0 && pa == pb)
        return true; // joined already: by us, by the user or by an earlier run
    for (const auto &[name, number] : {std::pair(a, pa), std::pair(b, pb)}) {
        if (number >= 0) {
            const Pair &p = pairs[number];
            return fail(what + ": " + name + " is joined to " + (p.a == name ? p.b : p.a) + " (com0com pair "
                        + std::to_string(number) + ")");
        }
    }
    for (const std::string &name : {a, b})
        if (portExists(name))
            return fail(what + ": " + name + " exists and is not a com0com port");

    std::string output, error;
    if (!runSetupc(setupc, "install PortName=" + a + " PortName=" + b, &output, &error))
        return fail(what + ": " + error);
    if (!listPairs(setupc, &pairs))
        return false;
    const int made = pairHolding(pairs, a);
    if (made < 0 || made != pairHolding(pairs, b))
        return fail(what + ": setupc reported success but lists no such pair: " + output);
    g_madeHere.push_back(made);
    return true;
}

bool deletePair(const char *port)
{
    if (!validName(port))
        return fail("DeletePair: a port name must be 1 to 32 letters, digits, '-' or '_'");
    const std::string name = upper(port);
    const std::string what = "DeletePair(" + name + ")";
    const std::string setupc = findSetupc();
    if (!setupc.empty()) {
        std::map<int, Pair> pairs;
        if (!listPairs(setupc, &pairs))
            return false;
        const int number = pairHolding(pairs, name);
        const auto made = std::find(g_madeHere.begin(), g_madeHere.end(), number);
        if (number >= 0 && made != g_madeHere.end()) {
            std::string output, error;
            if (!runSetupc(setupc, "remove " + std::to_string(number), &output, &error))
                return fail(what + ": " + error);
            g_madeHere.erase(made);
            return true;
        }
        if (number >= 0) {
            note(what + ": com0com pair " + std::to_string(number) + " was not made by this program: left in place");
            return true;
        }
    }
    if (portExists(name)) {
        note(what + ": not made by this program: left in place");
        return true;
    }
    return fail(what + ": no such port");
}

} // namespace

// Nothing may escape into a C caller: any failure, memory included, is a false result.

bool CreatePair(const char *first, const char *second)
{
    try {
        std::lock_guard<std::mutex> lock(g_mutex);
        return createPair(first, second);
    } catch (...) {
        return fail("CreatePair: out of memory");
    }
}

bool DeletePair(const char *port)
{
    try {
        std::lock_guard<std::mutex> lock(g_mutex);
        return deletePair(port);
    } catch (...) {
        return fail("DeletePair: out of memory");
    }
}

const char *LastPairError(void)
{
    return g_lastError.c_str();
}
