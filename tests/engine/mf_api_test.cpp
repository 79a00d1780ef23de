// quorvel.exe does not import Media Foundation, so that it starts on editions
// of Windows without it; the worker looks it up when a recording starts.
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include <vector>
#include "standins.h"

namespace {

struct LoadCall {
    std::wstring name;
    HANDLE file;
    DWORD flags;
};
std::vector<LoadCall> loadCalls;
const wchar_t* kernelInsteadOf; // this DLL's load hands out kernel32, which lacks its entries

HMODULE WINAPI RecordLoad(LPCWSTR name, HANDLE file, DWORD flags) {
    loadCalls.push_back({name, file, flags});
    if (kernelInsteadOf && lstrcmpiW(name, kernelInsteadOf) == 0)
        return GetModuleHandleW(L"kernel32.dll");
    return realMfApi.LoadLibraryExW(name, file, flags);
}

HRESULT WINAPI TestsOwnStartup(ULONG, DWORD) {
    return E_FAIL;
}

template <typename Entry> void (*Address(Entry entry))() {
    return reinterpret_cast<void (*)()>(entry);
}

class MfApiLookup : public ::testing::Test {
  protected:
    SeamGuard guard;

    void SetUp() override {
        loadCalls.clear();
        kernelInsteadOf = nullptr;
        mfApi.LoadLibraryExW = RecordLoad;
    }
};

} // namespace

TEST_F(MfApiLookup, SystemFolderDllsFillTheEntriesThatAreNotReplaced) {
    MediaFoundationGuard mediaFoundation;
    ASSERT_NO_FATAL_FAILURE(mediaFoundation.Start());
    if (IsSkipped())
        return;
    loadCalls.clear();
    mfApi.MFStartup = TestsOwnStartup;
    mfApi.MFShutdown = nullptr;
    ASSERT_TRUE(LoadMfApi());

    ASSERT_EQ(2u, loadCalls.size());
    EXPECT_EQ(L"mfplat.dll", loadCalls[0].name);
    EXPECT_EQ(L"mfreadwrite.dll", loadCalls[1].name);
    for (const LoadCall& call : loadCalls) {
        EXPECT_EQ(nullptr, call.file);
        EXPECT_EQ(static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32), call.flags);
    }
    const struct {
        const wchar_t* dll;
        const char* name;
        void (*entry)();
    } lookedUp[] = {
        {L"mfplat.dll", "MFStartup", Address(realMfApi.MFStartup)},
        {L"mfplat.dll", "MFShutdown", Address(realMfApi.MFShutdown)},
        {L"mfplat.dll", "MFCreateAttributes", Address(realMfApi.MFCreateAttributes)},
        {L"mfplat.dll", "MFCreateMediaType", Address(realMfApi.MFCreateMediaType)},
        {L"mfplat.dll", "MFCreateMemoryBuffer", Address(realMfApi.MFCreateMemoryBuffer)},
        {L"mfplat.dll", "MFCreateSample", Address(realMfApi.MFCreateSample)},
        {L"mfreadwrite.dll", "MFCreateSinkWriterFromURL",
         Address(realMfApi.MFCreateSinkWriterFromURL)},
    };
    for (const auto& entry : lookedUp)
        EXPECT_EQ(Address(GetProcAddress(GetModuleHandleW(entry.dll), entry.name)), entry.entry)
            << entry.name;
    EXPECT_EQ(Address(TestsOwnStartup), Address(mfApi.MFStartup)) << "a test's entry stays";
    EXPECT_EQ(Address(realMfApi.MFShutdown), Address(mfApi.MFShutdown));
}

TEST_F(MfApiLookup, MissingEntryPointLeavesBothTablesAsTheyWere) {
    kernelInsteadOf = L"mfreadwrite.dll";
    mfApi.MFCreateSample = nullptr;
    MfApi realBefore = realMfApi;
    MfApi seamBefore = mfApi;
    EXPECT_FALSE(LoadMfApi());
    EXPECT_EQ(0, memcmp(&realBefore, &realMfApi, sizeof(MfApi)));
    EXPECT_EQ(0, memcmp(&seamBefore, &mfApi, sizeof(MfApi)));
}
