// What the next start does with the recordings a crash left in the temporary
// folder, on copies of the fragmented fixtures beside the test exe.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "app/leftovers.h"
#include "control/shell_api.h"
#include "engine/mp4_mend.h"
#include "ui/scratch_folder.h"

namespace {

std::wstring tempFolder;   // with its trailing separator, as GetTempPathW gives it
std::wstring videosFolder; // without
std::vector<std::wstring> boxes;

DWORD WINAPI AnswerTempPath(DWORD capacity, LPWSTR path) {
    lstrcpynW(path, tempFolder.c_str(), static_cast<int>(capacity));
    return static_cast<DWORD>(tempFolder.size());
}

HRESULT WINAPI AnswerVideosFolder(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR* path) {
    size_t bytes = (videosFolder.size() + 1) * sizeof(WCHAR);
    *path = static_cast<PWSTR>(CoTaskMemAlloc(bytes));
    CopyMemory(*path, videosFolder.c_str(), bytes);
    return S_OK;
}

int WINAPI RecordBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    boxes.push_back(std::wstring(text) + L" | " + caption + L" | " + std::to_wstring(type) +
                    (owner ? L" | owned" : L""));
    return IDOK;
}

std::string FixtureBytes(const wchar_t* name) {
    wchar_t path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return ReadFileBytes(folder.substr(0, folder.find_last_of(L'\\') + 1) + name);
}

class StartUpRecovery : public ::testing::Test {
  protected:
    std::wstring scratch = MakeScratchFolder(L"leftovers");
    void TearDown() override {
        shellApi = realShellApi;
        RemoveFolderTree(scratch);
    }
};

TEST_F(StartUpRecovery, KeepsWhatHoldsPicturesInVideosDeletesWhatHoldsNoneAndSaysSoOnce) {
    tempFolder = scratch + L"\\Temp\\";
    videosFolder = scratch + L"\\Videos";
    CreateDirectoryW(tempFolder.c_str(), nullptr);
    CreateDirectoryW(videosFolder.c_str(), nullptr);
    const std::string cut = FixtureBytes(L"cut_in_mdat.mp4");
    const std::string whole = FixtureBytes(L"frag_sidx.mp4");
    const std::string ordinary = FixtureBytes(L"quarters.mp4");
    const std::string noSample = FixtureBytes(L"frag_offsets.mp4").substr(0, 835);
    const std::string junk = "not a movie\n";
    const wchar_t* cutName = L"quorvel_20310101_010101.mp4";
    const wchar_t* heldName = L"quorvel_20310101_020202.mp4";
    const wchar_t* noSampleName = L"quorvel_20310101_030303.mp4";
    const wchar_t* junkName = L"quorvel_20310101_040404.mp4";
    const wchar_t* ordinaryName = L"quorvel_20310101_050505.mp4";
    const wchar_t* takenName = L"quorvel_20310101_060606.mp4"; // Videos has one of that name
    const std::pair<const wchar_t*, const std::string*> leftovers[] = {
        {cutName, &cut},       {heldName, &whole},        {noSampleName, &noSample},
        {junkName, &junk},     {ordinaryName, &ordinary}, {takenName, &whole},
        {L"other.mp4", &whole}};
    for (const auto& leftover : leftovers)
        WriteFileBytes(tempFolder + leftover.first, *leftover.second);
    WriteFileBytes(videosFolder + L"\\" + takenName, junk);
    // Another quorvel still recording into it.
    HANDLE held =
        CreateFileW((tempFolder + heldName).c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    boxes.clear();
    shellApi.GetTempPathW = AnswerTempPath;
    shellApi.SHGetKnownFolderPath = AnswerVideosFolder;
    shellApi.MessageBoxW = RecordBox;

    RecoverLeftovers();
    std::vector<std::wstring> firstBoxes = boxes;
    RecoverLeftovers();

    CloseHandle(held);
    ASSERT_EQ(1u, boxes.size()) << "one box at the first start, none at the second";
    EXPECT_EQ(std::wstring(L"quorvel kept 2 recording(s) that were not finished: they are in "
                           L"your Videos folder.\n\n") +
                  cutName + L"\n" + ordinaryName + L" | quorvel | " +
                  std::to_wstring(MB_OK | MB_ICONINFORMATION),
              firstBoxes[0]);
    MendReport report = {};
    EXPECT_EQ(MendResult::AlreadyOrdinary,
              MendFragmentedMp4File((videosFolder + L"\\" + cutName).c_str(), &report));
    EXPECT_EQ(36u, report.sampleCount) << "the cut recording, mended, in Videos";
    EXPECT_TRUE(ordinary == ReadFileBytes(videosFolder + L"\\" + ordinaryName));
    EXPECT_TRUE(whole == ReadFileBytes(tempFolder + heldName)) << "a held file is let be";
    EXPECT_FALSE(PathExists(tempFolder + noSampleName)) << "a file without a picture is deleted";
    EXPECT_EQ(junk, ReadFileBytes(tempFolder + junkName)) << "a file not ours is let be";
    EXPECT_EQ(junk, ReadFileBytes(videosFolder + L"\\" + takenName)) << "replaced in Videos";
    EXPECT_EQ(MendResult::AlreadyOrdinary,
              MendFragmentedMp4File((tempFolder + takenName).c_str(), nullptr))
        << "mended, and left in the temporary folder";
    EXPECT_TRUE(whole == ReadFileBytes(tempFolder + L"other.mp4")) << "not a recording's name";
}

} // namespace
