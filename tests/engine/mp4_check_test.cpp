// mp4_check.exe as a user runs it, on the fixture beside it (made once by
// tests/mp4_check/make_fixture.sh) and on a file that is no MP4.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include "mp4_check/mp4_summary.h"
#include "standins.h"

namespace {

// A temporary file the child can write to through an inherited handle; gone when closed.
HANDLE CreateOutputFile() {
    wchar_t folder[MAX_PATH] = {};
    wchar_t path[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"q4c", 0, path);
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       &inheritable, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

// All that was written to `file`, without the carriage returns of the text-mode CRT.
std::string ReadBack(HANDLE file) {
    std::string text;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) {
        for (DWORD i = 0; i < got; i++) {
            if (chunk[i] != '\r')
                text += chunk[i];
        }
    }
    CloseHandle(file);
    return text;
}

struct ToolRun {
    DWORD exitCode;
    std::string out;
    std::string err;
};

// Runs mp4_check.exe on `mp4Path`; a run that has not ended after a minute is ended.
ToolRun RunMp4Check(const std::wstring& mp4Path) {
    ToolRun run = {0xFFFFFFFF, "", ""};
    HANDLE out = CreateOutputFile();
    HANDLE err = CreateOutputFile();
    EXPECT_NE(INVALID_HANDLE_VALUE, out);
    EXPECT_NE(INVALID_HANDLE_VALUE, err);
    std::wstring commandLine = L"\"" + ExeFolder() + L"mp4_check.exe\" \"" + mp4Path + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE,
                                  CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
    EXPECT_TRUE(started) << "error " << GetLastError();
    if (started) {
        if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "mp4_check did not end within a minute";
            TerminateProcess(process.hProcess, 3);
            WaitForSingleObject(process.hProcess, 5000);
        }
        GetExitCodeProcess(process.hProcess, &run.exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    run.out = ReadBack(out);
    run.err = ReadBack(err);
    return run;
}

} // namespace

// The tool needs Media Foundation, as this process does to judge its absence.
class Mp4Check : public ::testing::Test {
  protected:
    MediaFoundationGuard mediaFoundation;
    void SetUp() override { mediaFoundation.Start(); }
};

TEST_F(Mp4Check, PrintsFrameCountDurationSizeAndColoursOfTheFixture) {
    // Media Foundation without an H.264 decoder (Windows Server's feature may
    // lack one) cannot read the fixture back.
    UINT32 decoders = 0;
    HRESULT hr = CountH264Decoders(&decoders);
    ASSERT_TRUE(SUCCEEDED(hr)) << "MFTEnumEx: 0x" << std::hex << hr;
    if (decoders == 0)
        GTEST_SKIP() << "this Windows has no H.264 decoder (MFTEnumEx found none)";
    ToolRun run = RunMp4Check(ExeFolder() + L"quarters.mp4");
    // Made as 30 frames at 15 fps: frames 0, 15 and 29 in four quarters of
    // their own colours (make_fixture.sh lists them), the others dark grey. The
    // frame's centre is the top-left pixel of its bottom-right quarter. H.264
    // decoding is exact, so these figures are the same on every decoder.
    EXPECT_EQ("frames 30\n"
              "duration 20000000\n"
              "size 88 x 72\n"
              "first 196 202 48\n"
              "last 92 168 233\n"
              "first quarters 199 40 39 40 160 40 39 60 199 199 200 41\n"
              "middle quarters 41 180 181 179 40 180 230 141 30 120 120 120\n"
              "last quarters 240 240 240 30 30 30 150 90 40 90 169 229\n",
              run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(0u, run.exitCode);
}

TEST_F(Mp4Check, FileThatIsNoMp4GivesOneLineNamingTheStepAndItsResult) {
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    std::wstring path = std::wstring(folder) + L"quorvel-not-a-movie.mp4";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    WriteFile(file, "not a movie\n", 12, &written, nullptr);
    CloseHandle(file);

    ToolRun run = RunMp4Check(path);
    DeleteFileW(path.c_str());

    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ("", run.out);
    const std::string prefix = "mp4_check: MFCreateSourceReaderFromURL failed: 0x";
    EXPECT_EQ(0u, run.err.find(prefix)) << run.err;
    EXPECT_EQ(prefix.size() + 8 + 1, run.err.size())
        << "one line ending in 8 hex digits: " << run.err;
}
