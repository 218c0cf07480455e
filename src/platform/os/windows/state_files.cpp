#include "platform/os/state_files.h"

#include <shlobj.h>
#include <windows.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "platform/os/windows/text.h"

namespace os {
namespace {

using windows::wide;

FileError failure(const char* step, DWORD error) {
    return {step, windows::errorText(error)};
}

bool absolute(std::wstring_view path) {
    return (path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) ||
           path.starts_with(L"\\\\");
}

std::wstring localAppData() {
    const wchar_t* variable = ::_wgetenv(L"LOCALAPPDATA");
    if (variable != nullptr && absolute(variable))
        return variable;
    wchar_t* known = nullptr;
    std::wstring folder;
    if (::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &known) == S_OK)
        folder = known;
    ::CoTaskMemFree(known);
    return absolute(folder) ? folder : std::wstring();
}

// Creates `folder` and its missing parents (they inherit the protection of the folder they are
// made in: the user's own); 0 or the error.
DWORD makeFolders(const std::wstring& folder) {
    for (std::size_t cut = folder.find_first_of(L"\\/", 3);;
         cut = folder.find_first_of(L"\\/", cut + 1)) {
        const std::wstring prefix = folder.substr(0, cut);
        const DWORD attributes = ::GetFileAttributesW(prefix.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                return ERROR_DIRECTORY;
        } else if (::CreateDirectoryW(prefix.c_str(), nullptr) == 0 &&
                   ::GetLastError() != ERROR_ALREADY_EXISTS) {
            return ::GetLastError();
        }
        if (cut == std::wstring::npos)
            return 0;
    }
}

// True when the file ends in the middle of a line (a torn last append).
bool endsMidLine(HANDLE file) {
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(file, &size) == 0 || size.QuadPart == 0)
        return false;
    OVERLAPPED at{};
    const auto last = static_cast<std::uint64_t>(size.QuadPart - 1);
    at.Offset = static_cast<DWORD>(last & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(last >> 32);
    char byte = '\n';
    DWORD read = 0;
    return ::ReadFile(file, &byte, 1, &read, &at) != 0 && read == 1 && byte != '\n';
}

}  // namespace

std::string userStateFile(std::string_view folder, std::string_view file) {
    std::wstring base = localAppData();
    if (base.empty())
        return {};
    while (base.size() > 3 && (base.back() == L'\\' || base.back() == L'/'))
        base.pop_back();
    return windows::utf8(base) + "\\" + std::string(folder) + "\\" + std::string(file);
}

std::optional<FileError> appendLine(const std::string& path, std::string line, Flush flush) {
    const std::wstring file = wide(path);
    const std::size_t cut = file.find_last_of(L"\\/");
    if (cut != std::wstring::npos && cut > 2) {
        if (const DWORD error = makeFolders(file.substr(0, cut)); error != 0)
            return failure("cannot create the folder", error);
    }
    // Appending only: every write lands at the end of the file, whole, whoever else appends. A
    // reparse point (a link) in place of the file is opened as itself and refused.
    const HANDLE handle = ::CreateFileW(
        file.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return failure("cannot open", ::GetLastError());
    std::optional<FileError> error;
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileInformationByHandle(handle, &info) == 0) {
        error = failure("cannot open", ::GetLastError());
    } else if ((info.dwFileAttributes &
                (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        error = failure("cannot open", ERROR_CANT_ACCESS_FILE);
    } else {
        if (endsMidLine(handle))
            line.insert(line.begin(), '\n');
        line += '\n';
        DWORD written = 0;
        if (line.size() > INT_MAX ||
            ::WriteFile(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ==
                0)
            error = failure("cannot write", ::GetLastError());
        else if (written != line.size())
            error = failure("cannot write", ERROR_DISK_FULL);  // a reader skips the torn line
        else if (flush == Flush::ToDisk && ::FlushFileBuffers(handle) == 0)
            error = failure("cannot flush", ::GetLastError());
    }
    ::CloseHandle(handle);
    return error;
}

std::optional<std::string> readWholeFile(const std::string& path, std::size_t lastBytes,
                                         ReadFailure* failure) {
    ReadFailure ignored;
    ReadFailure& why = failure != nullptr ? *failure : ignored;
    why = {};
    // A reparse point (a link) is opened as itself, and then refused.
    const HANDLE handle = ::CreateFileW(
        wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        why.missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        why.reason = "error " + std::to_string(error);
        return std::nullopt;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        ::CloseHandle(handle);
        why.reason = "not a regular file";
        return std::nullopt;
    }
    std::string content;
    char buffer[65536];
    DWORD read = 0;
    bool ok = true;
    while ((ok = ::ReadFile(handle, buffer, sizeof buffer, &read, nullptr) != 0) && read > 0) {
        content.append(buffer, read);
        if (content.size() > lastBytes && content.size() - lastBytes > sizeof buffer)
            content.erase(0, content.size() - lastBytes);
    }
    ::CloseHandle(handle);
    if (!ok) {
        why.reason = "error " + std::to_string(::GetLastError());
        return std::nullopt;
    }
    if (content.size() > lastBytes)
        content.erase(0, content.size() - lastBytes);
    return content;
}

}  // namespace os
