#pragma once
#include <d3d11.h>
#include <dxgi1_2.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include "common/recording_job.h"

// The pointer as last reported by the duplication; drawn into every sample.
struct PointerState {
    int pointerX;
    int pointerY;
    int pointerVisible;
    BYTE* shapeBuffer;
    UINT shapeCapacity;
    DXGI_OUTDUPL_POINTER_SHAPE_INFO shapeInfo;
    // Bytes of shapeBuffer that hold the whole shape shapeInfo describes; 0 when the
    // last shape did not fit (the buffer could not grow), so nothing is drawn.
    UINT shapeBytes;
};

// The part of the capture rect that lies on the duplicated output, relative to it.
struct Crop {
    int cropX;
    int cropY;
    int cropWidth;
    int cropHeight;
};

// The screen read through GDI, where the monitor could not be duplicated at
// REC. Its handles start null; they are made at a read that lacks them.
struct GdiScreen {
    int inUse; // chosen at REC, kept for the recording
    HDC screenDc;
    HDC memoryDc;
    HBITMAP surface;      // a top-down 32-bit DIB section of the crop's size
    HGDIOBJ formerBitmap; // what memoryDc held before the surface
    BYTE* surfaceBits;
    LONGLONG readInterval; // counter counts between two reads; 0 reads at every call
    LONGLONG nextRead;     // the counter from which the next read may be made
    HCURSOR shapeCursor;   // the cursor whose shape the pointer state holds
    POINT hotSpot;         // of shapeCursor
};

// Everything the capture side of one recording owns. Slots start null; the
// capture source is re-created during a recording, so its COM objects are let
// go by CloseCaptureSource, the picture and the pointer by the worker's exit.
struct CaptureSource {
    IDXGIFactory1* factory;
    IDXGIAdapter1* adapter; // the chosen output's, which the device is made on
    IDXGIOutput* output;
    ID3D11Device* device;
    ID3D11DeviceContext* context;
    IDXGIOutput1* output1;
    IDXGIOutputDuplication* duplication;
    ID3D11Texture2D* stagingTexture;
    RECT outputRect;
    // The recorded output's DXGI_OUTPUT_DESC.DeviceName, and whether it was
    // taken at REC only because no output held the capture centre.
    WCHAR outputName[32];
    int onFallbackOutput;
    // How the monitor shows the desktop image, which comes unturned.
    DXGI_MODE_ROTATION rotation;
    int cropX;
    int cropY;
    int cropWidth;
    int cropHeight;
    UINT frameStride;
    UINT frameBytes;
    BYTE* framePicture;
    int recordMouse;
    PointerState pointer;
    GdiScreen gdi;
    wchar_t failureText[48]; // the error text of a set-up call that has none of its own
};

// The sink-writer side of one recording.
struct Mp4Writer {
    IMFAttributes* attributes;
    IMFSinkWriter* sinkWriter;
    IMFMediaType* outputType;
    IMFMediaType* inputType;
    IMFAttributes* encodingParameters; // the encoder's key-frame interval
    DWORD streamIndex;
    // What the writer was opened with, for a second one without hardware transforms.
    const wchar_t* outputPath;
    int fps;
    int cropWidth;
    int cropHeight;
    UINT frameStride;
    int hardwareTransforms; // a hardware encoder may be used
    int sampleTaken;        // the writer has taken a sample: its encoder stays
    int fragmented;         // the file is written as fragments, each readable on its own
    int sampleRefused;      // the file could take no more samples
    // Why the software encoder could not take over from a hardware one that
    // refused the first sample; the writer is gone then.
    const wchar_t* lostText;
    wchar_t refusalText[96]; // the error text when the encoder refuses the size or rate
    wchar_t failureText[48]; // the error text of a set-up call that has none of its own
};

// Thread procedure; the parameter is the RecordingJob.
DWORD WINAPI RecordingWorker(LPVOID parameter);
// "<call> failed (0x<hr>)" into text (48 units), which it returns.
const wchar_t* CallFailedText(wchar_t* text, const wchar_t* call, HRESULT hr);

// Capture source. On failure *errorText is the text to report.
POINT CaptureCentre(const RECT* captureRect);
// The output to duplicate: the first whose rectangle holds the centre, else
// the first one; -1 when there is none.
int ChooseOutput(const RECT* outputRects, int outputCount, POINT centre);
bool ComputeCrop(const RECT* captureRect, const RECT* outputRect, Crop* crop);
// The crop, in the turned monitor's pixels, as a box of the unturned desktop
// texture. False when it does not fit in a texture of that size.
bool MapCropToTexture(const Crop* crop, DXGI_MODE_ROTATION rotation, UINT textureWidth,
                      UINT textureHeight, D3D11_BOX* box);
bool OpenCaptureSource(CaptureSource* source, const RECT* captureRect, const wchar_t** errorText);
void CloseCaptureSource(CaptureSource* source);
// Whether a failed picture needs the whole source made anew rather than its
// duplication: no device, adapters or outputs that changed, or a removed or
// reset device.
bool SourceIsStale(const CaptureSource* source, HRESULT hr);
// Everything made anew but the crop's size and place on the desktop and the
// picture, on the output under the centre only (or, for a recording that
// started without one there, the output it started on). False while the
// desktop is away (the source then lacks its duplication) or when no output
// holds the crop (the source is closed again, having made no device).
bool ReopenCaptureSource(CaptureSource* source, const RECT* captureRect);
HRESULT CapturePicture(CaptureSource* source, UINT timeoutMs);
// The crop is placed anew on the output's current rectangle. False while the
// desktop is away or the crop does not fit; the source is closed when only a
// new one can help.
bool ReopenDuplication(CaptureSource* source);
// GDI screen read. The monitors the desktop shows, at most maxRects of them,
// for when no graphics adapter lists an output.
int ListGdiMonitors(RECT* rects, int maxRects);
// Where no duplication can be had: the monitor duplication would have chosen
// (else the one of the GDI monitors the same rule chooses), every DXGI object
// let go.
bool OpenGdiScreen(CaptureSource* source, const RECT* captureRect, const wchar_t** errorText);
// Reads the crop from the screen into the frame picture, at most once per
// readInterval. S_OK with a new picture; DXGI_ERROR_WAIT_TIMEOUT when none is
// due, and when the screen could not be read (the secure desktop, a locked
// session): the last picture is kept, the read tried again at the next frame.
HRESULT CaptureGdiPicture(CaptureSource* source);
void CloseGdiScreen(GdiScreen* gdi);
// The pointer from GetCursorInfo, its shape read anew only for another cursor.
void UpdateGdiPointer(CaptureSource* source);
// The cursor's shape in the overlay's formats, and its hot spot. False, with
// nothing to draw, when its bitmaps cannot be read.
bool ReadCursorShape(PointerState* pointer, HCURSOR cursor, HDC dc, POINT* hotSpot);
void RepackRows(BYTE* picture, UINT frameStride, const BYTE* mapped, UINT rowPitch, int rows);
// Copies the mapped box into the picture, turned the way the monitor shows it.
void TurnPicture(BYTE* picture, int cropWidth, int cropHeight, const BYTE* mapped, UINT rowPitch,
                 DXGI_MODE_ROTATION rotation);

// MP4 writer. On failure *errorText is the text to report.
UINT ComputeBitRate(int cropWidth, int cropHeight, int fps);
// The free space a recording leaves its drive after samplesWritten samples: room
// for the file's index, which Finalize writes.
ULONGLONG ComputeDiskReserve(LONGLONG samplesWritten);
// The free space REC asks for: the reserve and one minute at the bit rate.
ULONGLONG ComputeStartRoom(int cropWidth, int cropHeight, int fps);
// The folder part of path, its last separator kept ("" without one); MAX_PATH units.
void CopyFolderPart(WCHAR* folder, const WCHAR* path);
// With hardware transforms; where the encoder refuses the picture, once more
// without them, the first writer's file deleted.
bool OpenMp4Writer(Mp4Writer* writer, const wchar_t* outputPath, int fps, int cropWidth,
                   int cropHeight, UINT frameStride, const wchar_t** errorText);
// Releases the writer's objects in their fixed order and clears their slots.
void CloseMp4Writer(Mp4Writer* writer);
// WriteSample; a hardware encoder that refuses the recording's first sample is
// replaced by the software one, which is given the sample again.
HRESULT WriteMp4Sample(Mp4Writer* writer, IMFSample* sample);

// Constant-rate loop.
// How long an outage waits between attempts to get the desktop back, after
// outageCounts of it: a quarter second for 5 s, 2 s to the end of its first
// minute, then 5 s.
LONGLONG ComputeRetryCounts(LONGLONG outageCounts, LONGLONG counterFrequency);
LONGLONG ComputeDueCount(LONGLONG elapsedCounts, LONGLONG counterFrequency, LONGLONG frameDuration);
// Records until STOP, a refused sample or a nearly full disk (which sets the
// job's stoppedForSpace), then finalizes the file. False when the file could
// not be finished.
bool RunCaptureLoop(CaptureSource* source, Mp4Writer* writer, RecordingJob* job);

// Copies the frame picture into a sample's memory and draws the pointer into it.
void PrepareSample(const CaptureSource* source, BYTE* sample, int recordMouse);
// The sample for one index in a fresh buffer, with its time and duration; the
// caller releases the sample, then the buffer. False, with nothing held, when
// the buffer, its lock or the sample could not be had.
bool MakeFrameSample(const CaptureSource* source, int recordMouse, LONGLONG frameIndex,
                     LONGLONG frameDuration, IMFMediaBuffer** buffer, IMFSample** sample);

// Pointer overlay.
void ResetPointerState(PointerState* pointer);
// Grows the shape buffer to exactly `size` bytes; on failure the old block and
// capacity stay.
void GrowShapeBuffer(PointerState* pointer, UINT size);
void UpdatePointerState(PointerState* pointer, const DXGI_OUTDUPL_FRAME_INFO* frameInfo,
                        IDXGIOutputDuplication* duplication);
void CompositePointer(const PointerState* pointer, BYTE* sample, int cropX, int cropY,
                      int cropWidth, int cropHeight);
