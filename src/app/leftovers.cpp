#include "app/leftovers.h"
#include "control/shell_api.h"
#include "engine/mp4_mend.h"

namespace {

// FOLDERID_Videos, spelled out as recording control does: the GUID library
// would bring all known folders into the exe with it.
constexpr KNOWNFOLDERID VIDEOS_FOLDER = {
    0x18989B1D, 0x99B5, 0x455B, {0x84, 0x1C, 0xAB, 0x7C, 0x74, 0xE4, 0xDD, 0xFC}};
constexpr int BOX_TEXT_CAPACITY = 4096;
// Leftovers taken at one start; any more wait for the next.
constexpr int MAX_LEFTOVERS = 32;

bool DigitsAt(const WCHAR* text, int count) {
    for (int i = 0; i < count; i++) {
        if (text[i] < L'0' || text[i] > L'9')
            return false;
    }
    return true;
}

// folder and name into path (MAX_PATH units); false when it would not fit.
bool JoinPath(WCHAR* path, const WCHAR* folder, const WCHAR* separator, const WCHAR* name) {
    if (lstrlenW(folder) + lstrlenW(separator) + lstrlenW(name) >= MAX_PATH)
        return false;
    wsprintfW(path, L"%s%s%s", folder, separator, name);
    return true;
}

// Appends text to the box's text while it fits.
void AppendText(WCHAR* boxText, const WCHAR* text) {
    if (lstrlenW(boxText) + lstrlenW(text) < BOX_TEXT_CAPACITY)
        lstrcatW(boxText, text);
}

// Mends one leftover and finds it its place. True when it is now in Videos.
bool RecoverLeftover(const WCHAR* path, const WCHAR* videos, const WCHAR* name) {
    // Fails while another process holds the file: a recording of another
    // quorvel, or a copy under way.
    HANDLE file = OpenFileToMend(path);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    MendResult result = MendFragmentedMp4(file, nullptr);
    CloseHandle(file);
    if (result == MendResult::NoWholeSample) {
        DeleteFileW(path);
        return false;
    }
    WCHAR target[MAX_PATH];
    return (result == MendResult::Mended || result == MendResult::AlreadyOrdinary) && videos &&
           JoinPath(target, videos, L"\\", name) &&
           shellApi.MoveFileExW(path, target, MOVEFILE_COPY_ALLOWED) != FALSE;
}

} // namespace

bool IsTemporaryRecordingName(const WCHAR* name) {
    return lstrlenW(name) == 27 &&
           CompareStringOrdinal(name, 8, L"quorvel_", 8, FALSE) == CSTR_EQUAL &&
           DigitsAt(name + 8, 8) && name[16] == L'_' && DigitsAt(name + 17, 6) &&
           CompareStringOrdinal(name + 23, 4, L".mp4", 4, FALSE) == CSTR_EQUAL;
}

void RecoverLeftovers() {
    WCHAR tempFolder[MAX_PATH] = {};
    DWORD tempLength = shellApi.GetTempPathW(MAX_PATH, tempFolder);
    WCHAR pattern[MAX_PATH];
    if (tempLength == 0 || tempLength >= MAX_PATH ||
        !JoinPath(pattern, tempFolder, L"", L"quorvel_*.mp4"))
        return;
    PWSTR videos = nullptr;
    if (FAILED(shellApi.SHGetKnownFolderPath(VIDEOS_FOLDER, 0, nullptr, &videos))) {
        CoTaskMemFree(videos);
        videos = nullptr;
    }

    // The names first: the folder is not changed while it is searched.
    WCHAR names[MAX_LEFTOVERS][MAX_PATH];
    int count = 0;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                IsTemporaryRecordingName(found.cFileName))
                lstrcpynW(names[count++], found.cFileName, MAX_PATH);
        } while (count < MAX_LEFTOVERS && FindNextFileW(search, &found));
        FindClose(search);
    }
    // Oldest first, as the names are stamped.
    for (int i = 1; i < count; i++) {
        for (int j = i; j > 0 && lstrcmpW(names[j - 1], names[j]) > 0; j--) {
            WCHAR swap[MAX_PATH];
            lstrcpyW(swap, names[j]);
            lstrcpyW(names[j], names[j - 1]);
            lstrcpyW(names[j - 1], swap);
        }
    }

    WCHAR boxText[BOX_TEXT_CAPACITY] = {};
    int kept = 0;
    for (int i = 0; i < count; i++) {
        WCHAR path[MAX_PATH];
        if (!JoinPath(path, tempFolder, L"", names[i]) || !RecoverLeftover(path, videos, names[i]))
            continue;
        kept++;
        AppendText(boxText, L"\n");
        AppendText(boxText, names[i]);
    }
    CoTaskMemFree(videos);
    if (kept == 0)
        return;
    WCHAR text[BOX_TEXT_CAPACITY + 128];
    wsprintfW(text,
              L"quorvel kept %d recording(s) that were not finished: they are in your Videos "
              L"folder.\n",
              kept);
    lstrcatW(text, boxText);
    // Before the frame is shown: the box has no owner.
    shellApi.MessageBoxW(nullptr, text, L"quorvel", MB_OK | MB_ICONINFORMATION);
}
