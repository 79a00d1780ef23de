#pragma once
#include <windows.h>

// R, G, B at the centre of each quarter of a frame: top-left, top-right,
// bottom-left, bottom-right.
struct Quarters {
    BYTE colour[4][3];
};

// What mp4_check reports about the first video stream of an MP4 file.
struct Mp4Summary {
    LONGLONG frames;    // video samples read to the end of the stream
    ULONGLONG duration; // of the presentation, in 100-ns units
    UINT32 width;       // visible frame size
    UINT32 height;
    BYTE first[3]; // R, G, B of the centre pixel of the first decoded frame
    BYTE last[3];  // and of the last
    Quarters firstQuarters;
    Quarters middleQuarters; // of frame number frames / 2, counting from 0
    Quarters lastQuarters;
    LONGLONG framesOutOfOrder; // decoded frames whose time is not after the one before
};

// Reads the whole file with the Media Foundation source reader. S_OK, or the
// HRESULT of the step that failed, with *failedStep naming it.
HRESULT ReadMp4Summary(const wchar_t* path, Mp4Summary* summary, const char** failedStep);

// How many H.264 encoders and decoders the system offers (MFTEnumEx), hardware
// ones included.
HRESULT CountH264Encoders(UINT32* count);
HRESULT CountH264Decoders(UINT32* count);
