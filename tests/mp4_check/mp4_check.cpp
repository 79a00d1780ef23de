// mp4_check FILE.mp4: prints the frame count, duration, frame size, the
// centre colours of the first and last frame of FILE's video stream and the
// centre colours of the four quarters of its first, middle and last frame, or
// one line naming the step that failed and its HRESULT (exit code 1).
// mp4_check --encoders: prints how many H.264 encoders and decoders the system
// offers.
#include <stdio.h>
#include "mp4_check/mp4_summary.h"
#include <shellapi.h>

static void PrintColour(const char* name, const BYTE* rgb) {
    printf("%s %u %u %u\n", name, static_cast<unsigned>(rgb[0]), static_cast<unsigned>(rgb[1]),
           static_cast<unsigned>(rgb[2]));
}

static void PrintQuarters(const char* name, const Quarters* quarters) {
    printf("%s quarters", name);
    for (const BYTE* rgb : quarters->colour)
        printf(" %u %u %u", static_cast<unsigned>(rgb[0]), static_cast<unsigned>(rgb[1]),
               static_cast<unsigned>(rgb[2]));
    printf("\n");
}

int main() {
    int argumentCount = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &argumentCount);
    if (!arguments || argumentCount != 2) {
        fprintf(stderr, "usage: mp4_check FILE.mp4 | mp4_check --encoders\n");
        return 2;
    }
    if (lstrcmpW(arguments[1], L"--encoders") == 0) {
        LocalFree(arguments);
        UINT32 encoders = 0;
        UINT32 decoders = 0;
        HRESULT hr = CountH264Encoders(&encoders);
        if (SUCCEEDED(hr))
            hr = CountH264Decoders(&decoders);
        if (FAILED(hr)) {
            fprintf(stderr, "mp4_check: MFTEnumEx failed: 0x%08lX\n",
                    static_cast<unsigned long>(hr));
            return 1;
        }
        printf("H.264 encoders (MFTEnumEx): %u\n", encoders);
        printf("H.264 decoders (MFTEnumEx): %u\n", decoders);
        return 0;
    }
    Mp4Summary summary = {};
    const char* failedStep = "";
    HRESULT hr = ReadMp4Summary(arguments[1], &summary, &failedStep);
    LocalFree(arguments);
    if (FAILED(hr)) {
        fprintf(stderr, "mp4_check: %s failed: 0x%08lX\n", failedStep,
                static_cast<unsigned long>(hr));
        return 1;
    }
    printf("frames %lld\n", summary.frames);
    printf("duration %llu\n", summary.duration);
    printf("size %u x %u\n", summary.width, summary.height);
    PrintColour("first", summary.first);
    PrintColour("last", summary.last);
    PrintQuarters("first", &summary.firstQuarters);
    PrintQuarters("middle", &summary.middleQuarters);
    PrintQuarters("last", &summary.lastQuarters);
    return 0;
}
