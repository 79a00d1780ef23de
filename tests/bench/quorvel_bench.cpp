// Measures the per-sample work of a recording side by side with plain memcpy
// and prints the ratios. Figures, not a pass or fail: run it on the machine
// in question, several times.
#include <stdio.h>
#include <string.h>
#include <algorithm>
#include <vector>
#include <d3d11.h>
#include <mfapi.h>
#include <winioctl.h>
#include "engine/engine.h"
#include "engine/mf_api.h"
#include "engine/mp4_mend.h"

namespace {

LONGLONG counterFrequency;

LONGLONG Now() {
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return count.QuadPart;
}

double Microseconds(LONGLONG counts) {
    return static_cast<double>(counts) * 1e6 / static_cast<double>(counterFrequency);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Runs `first` and `second` alternately, `rounds` times, each `repeats` times
// in a row; gives the median time of one call of each, in microseconds.
template <typename First, typename Second>
void SideBySide(int rounds, int repeats, First first, Second second, double* firstUs,
                double* secondUs) {
    std::vector<double> a, b;
    // The first rounds only warm caches and clocks up.
    for (int r = -rounds / 4; r < rounds; r++) {
        LONGLONG start = Now();
        for (int i = 0; i < repeats; i++)
            first();
        LONGLONG middle = Now();
        for (int i = 0; i < repeats; i++)
            second();
        LONGLONG end = Now();
        if (r < 0)
            continue;
        a.push_back(Microseconds(middle - start) / repeats);
        b.push_back(Microseconds(end - middle) / repeats);
    }
    *firstUs = Median(a);
    *secondUs = Median(b);
}

void Report(const char* what, double measuredUs, double baselineUs, const char* baseline,
            double limit) {
    double ratio = measuredUs / baselineUs;
    printf("%-38s %6.3f  (%.1f us against %.1f us %s; at most %.2f: %s)\n", what, ratio, measuredUs,
           baselineUs, baseline, limit, ratio <= limit ? "within" : "OVER");
}

// A 32 x 32 colour pointer: transparent, half and fully opaque pixels mixed.
std::vector<BYTE> ColourPointer(PointerState* pointer) {
    std::vector<BYTE> shape(32 * 32 * 4);
    for (int j = 0; j < 32; j++) {
        for (int k = 0; k < 32; k++) {
            BYTE* pixel = &shape[size_t(j * 32 + k) * 4];
            pixel[0] = BYTE(k * 8);
            pixel[1] = BYTE(j * 8);
            pixel[2] = 0x80;
            pixel[3] = BYTE((j + k) % 3 == 0 ? 0 : (j + k) % 3 == 1 ? 128 : 255);
        }
    }
    *pointer = PointerState();
    pointer->pointerVisible = 1;
    pointer->shapeBuffer = shape.data();
    pointer->shapeCapacity = UINT(shape.size());
    pointer->shapeBytes = UINT(shape.size());
    pointer->shapeInfo.Type = DXGI_OUTDUPL_POINTER_SHAPE_TYPE_COLOR;
    pointer->shapeInfo.Width = 32;
    pointer->shapeInfo.Height = 32;
    pointer->shapeInfo.Pitch = 32 * 4;
    return shape;
}

BYTE* NewPicture(size_t bytes) {
    BYTE* block = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, bytes));
    for (size_t i = 0; i < bytes; i++)
        block[i] = BYTE(i * 31 + 7);
    return block;
}

// The copy of a 1920 x 1080 picture into a sample's memory with the pointer
// drawn in, against memcpy between the same two blocks. The memory is a locked
// media buffer where Media Foundation is there, else a heap block (the copy is
// the same); the buffer's creation and the whole sample need it.
void SamplePreparation(bool haveMediaFoundation) {
    CaptureSource source = {};
    source.cropWidth = 1920;
    source.cropHeight = 1080;
    source.frameStride = 1920 * 4;
    source.frameBytes = source.frameStride * 1080;
    source.framePicture = NewPicture(source.frameBytes);
    std::vector<BYTE> shape = ColourPointer(&source.pointer);
    source.pointer.pointerX = 900;
    source.pointer.pointerY = 500;

    IMFMediaBuffer* buffer = nullptr;
    std::vector<BYTE> block;
    BYTE* locked = nullptr;
    if (!haveMediaFoundation) {
        block.resize(source.frameBytes);
        locked = block.data();
    } else if (FAILED(mfApi.MFCreateMemoryBuffer(source.frameBytes, &buffer)) ||
               FAILED(buffer->Lock(&locked, nullptr, nullptr))) {
        printf("media buffer unavailable\n");
        if (buffer)
            buffer->Release();
        HeapFree(GetProcessHeap(), 0, source.framePicture);
        return;
    }
    memcpy(locked, source.framePicture, source.frameBytes); // every page touched once
    double prepareUs, memcpyUs;
    SideBySide(
        100, 5, [&] { PrepareSample(&source, locked, 1); },
        [&] { memcpy(locked, source.framePicture, source.frameBytes); }, &prepareUs, &memcpyUs);
    Report("sample preparation / memcpy", prepareUs, memcpyUs, "for 8,294,400 bytes", 1.10);
    if (!haveMediaFoundation) {
        printf("  media buffer creation and whole sample not measured: they need Media "
               "Foundation\n");
        HeapFree(GetProcessHeap(), 0, source.framePicture);
        return;
    }
    buffer->Unlock();
    buffer->Release();

    // A fresh buffer per sample, as the loop makes it: created, locked, released.
    std::vector<double> creation;
    for (int i = 0; i < 60; i++) {
        LONGLONG start = Now();
        IMFMediaBuffer* fresh = nullptr;
        BYTE* data = nullptr;
        if (SUCCEEDED(mfApi.MFCreateMemoryBuffer(source.frameBytes, &fresh))) {
            if (SUCCEEDED(fresh->Lock(&data, nullptr, nullptr)))
                fresh->Unlock();
            fresh->Release();
        }
        creation.push_back(Microseconds(Now() - start));
    }
    printf("%-38s %6.1f us per sample (beside the above, not in it)\n", "  media buffer creation",
           Median(creation));

    // The whole of one sample as the loop makes it, WriteSample apart: a fresh
    // buffer, the copy writing its pages for the first time, the pointer, the
    // sample. No bound: the figure shows what a fresh buffer per sample costs.
    std::vector<BYTE> target(source.frameBytes);
    memcpy(target.data(), source.framePicture, source.frameBytes);
    LONGLONG index = 0;
    double wholeUs, copyUs;
    SideBySide(
        40, 3,
        [&] {
            IMFMediaBuffer* fresh = nullptr;
            IMFSample* sample = nullptr;
            if (MakeFrameSample(&source, 1, index++, 333333, &fresh, &sample)) {
                sample->Release();
                fresh->Release();
            }
        },
        [&] { memcpy(target.data(), source.framePicture, source.frameBytes); }, &wholeUs, &copyUs);
    printf("%-38s %6.3f  (%.1f us against %.1f us for 8,294,400 bytes; no bound)\n",
           "whole sample / memcpy", wholeUs / copyUs, wholeUs, copyUs);
    HeapFree(GetProcessHeap(), 0, source.framePicture);
}

// The overlay alone on a 3840 x 2160 sample against a 640 x 360 one.
void OverlayAgainstPictureSize() {
    PointerState pointer;
    std::vector<BYTE> shape = ColourPointer(&pointer);
    std::vector<BYTE> large(size_t(3840) * 2160 * 4, 0x40);
    std::vector<BYTE> small(size_t(640) * 360 * 4, 0x40);
    pointer.pointerX = 300;
    pointer.pointerY = 160;
    double largeUs, smallUs;
    SideBySide(
        60, 2000, [&] { CompositePointer(&pointer, large.data(), 0, 0, 3840, 2160); },
        [&] { CompositePointer(&pointer, small.data(), 0, 0, 640, 360); }, &largeUs, &smallUs);
    Report("pointer overlay 2160p / 360p", largeUs, smallUs, "for 32 x 32", 1.2);
}

// A staging texture of width x height, filled and mapped for reading the way
// the capture maps it; null when the platform has none.
ID3D11Texture2D* MappedStaging(ID3D11Device* device, ID3D11DeviceContext* context, UINT width,
                               UINT height, D3D11_MAPPED_SUBRESOURCE* mapped) {
    std::vector<BYTE> initial(size_t(width) * 4 * height, 0x5a);
    D3D11_TEXTURE2D_DESC desc = {};
    desc.Width = width;
    desc.Height = height;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_STAGING;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    D3D11_SUBRESOURCE_DATA data = {initial.data(), width * 4, 0};
    ID3D11Texture2D* texture = nullptr;
    if (SUCCEEDED(device->CreateTexture2D(&desc, &data, &texture)) &&
        SUCCEEDED(context->Map(texture, 0, D3D11_MAP_READ, 0, mapped)))
        return texture;
    printf("staging texture %u x %u unavailable\n", width, height);
    if (texture)
        texture->Release();
    return nullptr;
}

// The repack of a mapped staging texture `textureWidth` pixels wide into the
// packed 1920 x 1080 picture, against one memcpy of the same bytes from the
// same mapping. The rows come from the driver's own mapping, as in a capture.
void RowRepack(ID3D11Device* device, ID3D11DeviceContext* context, UINT textureWidth) {
    const UINT frameStride = 1920 * 4;
    const int rows = 1080;
    D3D11_MAPPED_SUBRESOURCE mapped = {};
    ID3D11Texture2D* texture = MappedStaging(device, context, textureWidth, rows, &mapped);
    if (!texture)
        return;
    const BYTE* rowsMapped = static_cast<const BYTE*>(mapped.pData);
    BYTE* picture = NewPicture(size_t(frameStride) * rows);
    double repackUs, memcpyUs;
    SideBySide(
        100, 5, [&] { RepackRows(picture, frameStride, rowsMapped, mapped.RowPitch, rows); },
        [&] { memcpy(picture, rowsMapped, size_t(frameStride) * rows); }, &repackUs, &memcpyUs);
    char what[64];
    snprintf(what, sizeof(what), "row repack (pitch %u) / memcpy", mapped.RowPitch);
    Report(what, repackUs, memcpyUs, "for 8,294,400 bytes", 1.10);
    HeapFree(GetProcessHeap(), 0, picture);
    context->Unmap(texture, 0);
    texture->Release();
}

// The turned copy of a 1920 x 1080 crop of a turned monitor, from the mapped
// box of the unturned desktop image, against memcpy of the same bytes. It is
// paid once per new desktop picture, not per sample.
void TurnedCopy(ID3D11Device* device, ID3D11DeviceContext* context, DXGI_MODE_ROTATION rotation,
                const char* what) {
    bool transposed =
        rotation == DXGI_MODE_ROTATION_ROTATE90 || rotation == DXGI_MODE_ROTATION_ROTATE270;
    D3D11_MAPPED_SUBRESOURCE mapped = {};
    ID3D11Texture2D* texture = MappedStaging(device, context, transposed ? 1080u : 1920u,
                                             transposed ? 1920u : 1080u, &mapped);
    if (!texture)
        return;
    const BYTE* boxMapped = static_cast<const BYTE*>(mapped.pData);
    const size_t bytes = size_t(1920) * 4 * 1080;
    BYTE* picture = NewPicture(bytes);
    double turnUs, memcpyUs;
    SideBySide(
        60, 3, [&] { TurnPicture(picture, 1920, 1080, boxMapped, mapped.RowPitch, rotation); },
        [&] { memcpy(picture, boxMapped, bytes); }, &turnUs, &memcpyUs);
    Report(what, turnUs, memcpyUs, "for 8,294,400 bytes", 1.5);
    HeapFree(GetProcessHeap(), 0, picture);
    context->Unmap(texture, 0);
    texture->Release();
}

void RowRepacks() {
    ID3D11Device* device = nullptr;
    ID3D11DeviceContext* context = nullptr;
    if (FAILED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr,
                                 D3D11_CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0, D3D11_SDK_VERSION,
                                 &device, nullptr, &context))) {
        printf("Direct3D 11 unavailable: row repack and turned copy not measured\n");
        return;
    }
    // Wider than the picture, so the mapped rows lie further apart than its
    // stride: 256, 512 and 768 bytes of each row are skipped.
    RowRepack(device, context, 1984);
    RowRepack(device, context, 2048);
    RowRepack(device, context, 2112);
    TurnedCopy(device, context, DXGI_MODE_ROTATION_ROTATE90, "turned copy 90 / memcpy");
    TurnedCopy(device, context, DXGI_MODE_ROTATION_ROTATE180, "turned copy 180 / memcpy");
    TurnedCopy(device, context, DXGI_MODE_ROTATION_ROTATE270, "turned copy 270 / memcpy");
    context->Release();
    device->Release();
}

// Big-endian bytes of a box being built.
void Put(std::vector<BYTE>* box, ULONGLONG value, int bytes) {
    for (int i = bytes - 1; i >= 0; i--)
        box->push_back(BYTE(value >> (8 * i)));
}

void PutType(std::vector<BYTE>* box, const char* type) {
    for (int i = 0; i < 4; i++)
        box->push_back(BYTE(type[i]));
}

// Wraps payload in a box of that type.
std::vector<BYTE> Box(const char* type, const std::vector<BYTE>& payload) {
    std::vector<BYTE> box;
    Put(&box, payload.size() + 8, 4);
    PutType(&box, type);
    box.insert(box.end(), payload.begin(), payload.end());
    return box;
}

std::vector<BYTE> Join(std::initializer_list<std::vector<BYTE>> parts) {
    std::vector<BYTE> joined;
    for (const std::vector<BYTE>& part : parts)
        joined.insert(joined.end(), part.begin(), part.end());
    return joined;
}

// A full box's payload: version and flags, then `words` 32-bit fields.
std::vector<BYTE> Full(ULONGLONG versionFlags, std::initializer_list<ULONGLONG> words) {
    std::vector<BYTE> payload;
    Put(&payload, versionFlags, 4);
    for (ULONGLONG word : words)
        Put(&payload, word, 4);
    return payload;
}

// ftyp and the index of a fragmented recording without samples: what the
// mend reads of it (a timescale of 60,000, one video track).
std::vector<BYTE> FragmentedHead() {
    std::vector<BYTE> stsd = Join({Full(0, {1}), Box("avc1", std::vector<BYTE>(78, 0))});
    std::vector<BYTE> mdia = Join({Box("mdhd", Full(0, {0, 0, 60000, 0, 0x55C40000})),
                                   Box("hdlr", Full(0, {0, 0x76696465, 0, 0, 0})),
                                   Box("minf", Box("stbl", Box("stsd", stsd)))});
    std::vector<BYTE> tkhd =
        Full(3, {0, 0, 1, 0,       0, 0, 0, 0,          0,           0x10000,
                 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000, 1920u << 16, 1080u << 16});
    std::vector<BYTE> mvhd =
        Full(0, {0,       0, 1000, 0, 0x10000,    0x1000000, 0, 0, 0x10000, 0, 0, 0,
                 0x10000, 0, 0,    0, 0x40000000, 0,         0, 0, 0,       0, 0, 2});
    return Join({Box("ftyp", Full(0x69736F36, {0})), // brand "iso6"
                 Box("moov", Join({Box("mvhd", mvhd),
                                   Box("trak", Join({Box("tkhd", tkhd), Box("mdia", mdia)})),
                                   Box("mvex", Box("trex", Full(0, {1, 1, 0, 0, 0})))}))});
}

// One second's moof and the header of its mdat: 60 samples of the sizes a
// 1080p recording at 60 fps has at its bit rate, the first a key frame.
std::vector<BYTE> FragmentHead(UINT32 sequence, ULONGLONG decodeTime, ULONGLONG* payloadBytes) {
    const UINT32 perSecond = ComputeBitRate(1920, 1080, 60) / 8;
    const UINT32 keyBytes = perSecond / 8;
    std::vector<BYTE> trun = Full(0x000205, {60, 0, 0x02000000});
    *payloadBytes = 0;
    for (UINT32 i = 0; i < 60; i++) {
        UINT32 size = i == 0 ? keyBytes : (perSecond - keyBytes) / 59 + (i * 37 % 101) - 50;
        Put(&trun, size, 4);
        *payloadBytes += size;
    }
    // default-base-is-moof, default duration and flags (non-key frames)
    std::vector<BYTE> tfhd = Full(0x020028, {1, 1000, 0x01010000});
    std::vector<BYTE> tfdt = Full(0x01000000, {});
    Put(&tfdt, decodeTime, 8);
    std::vector<BYTE> traf = Join({Box("tfhd", tfhd), Box("tfdt", tfdt), Box("trun", trun)});
    std::vector<BYTE> moof =
        Box("moof", Join({Box("mfhd", Full(0, {sequence})), Box("traf", traf)}));
    // The run's data starts right after the mdat's header.
    ULONGLONG dataOffset = moof.size() + 8;
    for (int i = 0; i < 4; i++)
        moof[moof.size() - 60 * 4 - 8 + i] = BYTE(dataOffset >> (8 * (3 - i)));
    std::vector<BYTE> mdat;
    Put(&mdat, *payloadBytes + 8, 4);
    PutType(&mdat, "mdat");
    return Join({moof, mdat});
}

bool WriteAt(HANDLE file, ULONGLONG offset, const std::vector<BYTE>& bytes) {
    OVERLAPPED at = {};
    at.Offset = DWORD(offset);
    at.OffsetHigh = DWORD(offset >> 32);
    DWORD written = 0;
    return WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, &at) &&
           written == bytes.size();
}

// A synthetic hour at 1080p and 60 fps: real box headers and indexes, the
// pictures left as holes of a sparse file. Its size, or 0 when it cannot be made.
ULONGLONG WriteSyntheticHour(const wchar_t* path) {
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    DWORD returned = 0;
    bool sparse = DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned,
                                  nullptr) != FALSE;
    std::vector<BYTE> head = FragmentedHead();
    bool written = WriteAt(file, 0, head);
    ULONGLONG offset = head.size();
    for (UINT32 second = 0; second < 3600 && written; second++) {
        ULONGLONG payload = 0;
        std::vector<BYTE> fragment = FragmentHead(second + 1, ULONGLONG(second) * 60000, &payload);
        written = WriteAt(file, offset, fragment);
        offset += fragment.size() + payload;
    }
    LARGE_INTEGER end;
    end.QuadPart = LONGLONG(offset);
    written = written && SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    if (!written || !sparse) {
        // Without sparse files the pictures would fill the disk: not made.
        printf("  the synthetic recording needs a sparse file (NTFS): not measured\n");
        DeleteFileW(path);
        return 0;
    }
    return offset;
}

// Writes 256 MB and reads them back asking for no cache; bytes per second,
// 0 when it cannot.
double MeasureReadRate(const wchar_t* path) {
    const DWORD chunk = 1 << 20;
    BYTE* buffer = static_cast<BYTE*>(VirtualAlloc(nullptr, chunk, MEM_COMMIT, PAGE_READWRITE));
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ULONGLONG total = 0;
    DWORD done = 0;
    for (int i = 0; i < 256 && buffer && WriteFile(file, buffer, chunk, &done, nullptr); i++)
        total += done;
    CloseHandle(file);
    const ULONGLONG written = total;
    file = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    LONGLONG start = Now();
    while (buffer && ReadFile(file, buffer, chunk, &done, nullptr) && done > 0)
        total -= done;
    double seconds = Microseconds(Now() - start) / 1e6;
    CloseHandle(file);
    DeleteFileW(path);
    if (buffer)
        VirtualFree(buffer, 0, MEM_RELEASE);
    return written == 256ull * chunk && total == 0 && seconds > 0 ? double(written) / seconds : 0;
}

// The mend of a fragmented hour reads box headers and fragment indexes only:
// its time and bytes against reading the whole file once.
void MendOfAnHour() {
    wchar_t folder[MAX_PATH] = {};
    wchar_t path[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    wsprintfW(path, L"%squorvel_bench_hour.mp4", folder);
    ULONGLONG fileBytes = WriteSyntheticHour(path);
    if (fileBytes == 0)
        return;
    MendReport report = {};
    LONGLONG start = Now();
    MendResult result = MendFragmentedMp4File(path, &report);
    double mendMs = Microseconds(Now() - start) / 1000;
    DeleteFileW(path);
    if (result != MendResult::Mended) {
        printf("  mend of the synthetic hour failed (result %d)\n", int(result));
        return;
    }
    printf("%-38s %8.1f ms, %llu bytes read (%.4f %% of %.2f GB), %llu samples\n",
           "mend of 1 h at 1080p 60 fps", mendMs, report.bytesRead,
           100.0 * double(report.bytesRead) / double(fileBytes), double(fileBytes) / 1e9,
           report.sampleCount);
    wsprintfW(path, L"%squorvel_bench_read.bin", folder);
    double rate = MeasureReadRate(path);
    if (rate > 0)
        printf("%-38s %8.1f s estimated, at %.0f MB/s (256 MB just written, read back asking "
               "for no cache; where the file system ignores that, as Wine's does, the cache's "
               "rate)\n",
               "  reading the file once", double(fileBytes) / rate, rate / 1e6);
}

// The GDI read of one picture (the screen into the DIB section, then into the
// frame picture) against memcpy of its bytes: what a recording without
// duplication pays per new picture. A 1920 x 1080 crop, or a smaller monitor whole.
void GdiScreenRead() {
    CaptureSource source = {};
    source.gdi.inUse = 1;
    if (ListGdiMonitors(&source.outputRect, 1) < 1)
        return;
    source.cropWidth = std::min<int>(1920, source.outputRect.right - source.outputRect.left) & ~1;
    source.cropHeight = std::min<int>(1080, source.outputRect.bottom - source.outputRect.top) & ~1;
    source.frameStride = UINT(source.cropWidth) * 4;
    source.frameBytes = source.frameStride * UINT(source.cropHeight);
    source.framePicture = NewPicture(source.frameBytes);
    std::vector<BYTE> copy(source.frameBytes);
    double readUs, memcpyUs;
    SideBySide(
        20, 2, [&] { CaptureGdiPicture(&source); },
        [&] { memcpy(copy.data(), source.framePicture, source.frameBytes); }, &readUs, &memcpyUs);
    char what[64];
    snprintf(what, sizeof(what), "GDI read %d x %d / memcpy", source.cropWidth, source.cropHeight);
    printf("%-38s %6.3f  (%.1f us against %.1f us%s; no bound)\n", what, readUs / memcpyUs, readUs,
           memcpyUs, CaptureGdiPicture(&source) == S_OK ? "" : ", THE SCREEN WAS NOT READ");
    CloseGdiScreen(&source.gdi);
    HeapFree(GetProcessHeap(), 0, source.framePicture);
}

} // namespace

int main() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    counterFrequency = frequency.QuadPart;
    // Media Foundation is looked up as the program does it, so the figures
    // that need none are printed on a Windows without it too.
    bool haveMediaFoundation = false;
    if (!LoadMfApi()) {
        printf("Media Foundation is missing (mfplat.dll or mfreadwrite.dll, or an entry of "
               "theirs)\n");
    } else {
        HRESULT hr = mfApi.MFStartup(MF_VERSION, MFSTARTUP_LITE);
        if (FAILED(hr))
            printf("MFStartup failed (0x%08lX)\n", static_cast<unsigned long>(hr));
        haveMediaFoundation = SUCCEEDED(hr);
    }
    SamplePreparation(haveMediaFoundation);
    OverlayAgainstPictureSize();
    RowRepacks();
    MendOfAnHour();
    GdiScreenRead();
    if (haveMediaFoundation)
        mfApi.MFShutdown();
    // Figures, not a verdict: a missing platform piece is said above, never a failure.
    return 0;
}
