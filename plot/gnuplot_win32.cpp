// gnuplot as a Windows process: the script is handed over as a file on its
// standard input, and its standard output is the picture's partial file.
#include "plot/gnuplot.hpp"

#include <cstdlib>
#include <string>
#include <windows.h>

namespace {

std::string system_error(DWORD code) {
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   text, sizeof text, nullptr);
    std::string message = text;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(code) : message;
}

bool is_file(const std::string &path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

HANDLE create(const std::string &path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ, &inherit, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

bool run_gnuplot(const std::string &script, const std::string &output, std::string &error) {
    std::string gnuplot = find_gnuplot("gnuplot.exe", ';', "\\/", "", is_file);
    if (gnuplot.empty()) {
        error = "gnuplot.exe not found; install gnuplot and put it on PATH, or name it in "
                "TALVIK_GNUPLOT";
        return false;
    }
    std::string partial = output + ".partial";
    std::string script_path = output + ".gnuplot";
    HANDLE script_file = create(script_path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
    if (script_file == INVALID_HANDLE_VALUE) {
        error = output + ": " + system_error(GetLastError());
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(script_file, script.data(), static_cast<DWORD>(script.size()), &written,
                        nullptr) &&
              written == script.size();
    SetFilePointer(script_file, 0, nullptr, FILE_BEGIN);
    HANDLE picture = ok ? create(partial, GENERIC_WRITE, CREATE_ALWAYS) : INVALID_HANDLE_VALUE;
    auto fail = [&](const std::string &why) {
        if (picture != INVALID_HANDLE_VALUE)
            CloseHandle(picture);
        CloseHandle(script_file);
        DeleteFileA(partial.c_str());
        DeleteFileA(script_path.c_str());
        error = why;
        return false;
    };
    if (picture == INVALID_HANDLE_VALUE)
        return fail(output + ": " + system_error(GetLastError()));
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = script_file;
    startup.hStdOutput = picture;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    std::string command = "\"" + gnuplot + "\"";
    if (!CreateProcessA(gnuplot.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &process))
        return fail("cannot start " + gnuplot + ": " + system_error(GetLastError()));
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    if (status != 0)
        return fail("gnuplot could not draw " + output + " (see its message above)");
    if (!FlushFileBuffers(picture))
        return fail(output + ": " + system_error(GetLastError()));
    // A gnuplot that ends well having drawn nothing must not leave an empty
    // picture.
    char head[16];
    DWORD got = 0;
    OVERLAPPED at_start = {};
    HANDLE check = CreateFileA(partial.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool drawn = check != INVALID_HANDLE_VALUE &&
                 ReadFile(check, head, sizeof head, &got, &at_start) &&
                 is_picture(output, head, got);
    if (check != INVALID_HANDLE_VALUE)
        CloseHandle(check);
    if (!drawn)
        return fail("gnuplot drew no picture for " + output);
    CloseHandle(picture);
    picture = INVALID_HANDLE_VALUE;
    if (!MoveFileExA(partial.c_str(), output.c_str(), MOVEFILE_REPLACE_EXISTING))
        return fail(output + ": " + system_error(GetLastError()));
    CloseHandle(script_file);
    DeleteFileA(script_path.c_str());
    return true;
}
