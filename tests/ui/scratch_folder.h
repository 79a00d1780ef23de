#pragma once
#include <windows.h>
#include <string>
#include <vector>

// A fresh folder under the real temporary folder for one test, removed with
// everything in it afterwards, and small helpers to look at the files inside.
inline std::wstring MakeScratchFolder(const wchar_t* purpose) {
    static int counter = 0;
    WCHAR temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    WCHAR folder[MAX_PATH];
    wsprintfW(folder, L"%squorvel_%s_%lu_%d", temp, purpose, GetCurrentProcessId(), ++counter);
    CreateDirectoryW(folder, nullptr);
    return folder;
}

inline void RemoveFolderTree(const std::wstring& folder) {
    // An empty name would reach the drive's root.
    if (folder.empty())
        return;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring path = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveFolderTree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

inline bool PathExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline std::vector<std::wstring> FilesMatching(const std::wstring& pattern) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            names.push_back(found.cFileName);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return names;
}

inline std::string ReadFileBytes(const std::wstring& path) {
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    CloseHandle(file);
    return bytes;
}

inline bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return written == bytes.size();
}

// The non-empty lines of an INI file written by the profile functions, in
// whichever encoding they chose.
inline std::vector<std::wstring> FileLines(const std::wstring& path) {
    std::string bytes = ReadFileBytes(path);
    std::wstring text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                         static_cast<unsigned char>(bytes[i + 1]) << 8);
    } else {
        for (char c : bytes)
            text += static_cast<wchar_t>(static_cast<unsigned char>(c));
    }
    std::vector<std::wstring> lines;
    std::wstring line;
    for (wchar_t c : text + L"\n") {
        if (c == L'\r' || c == L'\n') {
            if (!line.empty())
                lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    return lines;
}

// A value of an INI file as the profile functions read it, "<missing>" if absent.
inline std::wstring StoredSetting(const std::wstring& file, const wchar_t* section,
                                  const wchar_t* key) {
    WCHAR value[64] = {};
    GetPrivateProfileStringW(section, key, L"<missing>", value, 64, file.c_str());
    return value;
}

// Points "LOCALAPPDATA" somewhere else for one test and puts it back afterwards.
class LocalAppDataOverride {
  public:
    LocalAppDataOverride() {
        DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0);
        hadValue_ = length > 0;
        if (hadValue_) {
            saved_.resize(length);
            GetEnvironmentVariableW(L"LOCALAPPDATA", &saved_[0], length);
            saved_.resize(length - 1);
        }
    }
    ~LocalAppDataOverride() {
        SetEnvironmentVariableW(L"LOCALAPPDATA", hadValue_ ? saved_.c_str() : nullptr);
    }
    void Set(const std::wstring& value) { SetEnvironmentVariableW(L"LOCALAPPDATA", value.c_str()); }
    void Remove() { SetEnvironmentVariableW(L"LOCALAPPDATA", nullptr); }

  private:
    bool hadValue_ = false;
    std::wstring saved_;
};
