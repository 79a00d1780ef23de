#pragma once
#include <windows.h>

// A recording is written as a fragmented MP4 (ftyp, an index without samples,
// then moof+mdat pairs), so that a crash keeps every second written. The mend
// turns such a file into an ordinary MP4 in place: one complete index is
// appended, and the fragmented file's own indexes become free space. No
// picture byte moves.
enum class MendResult {
    Mended,          // now an ordinary MP4 of report->sampleCount samples
    AlreadyOrdinary, // an ordinary MP4 with a usable index already (left as it is)
    NoWholeSample,   // ours, but no sample lies wholly in the file: nothing to keep
    NotOurs,         // not an MP4 this program writes: left untouched
    IoFailed,        // a read or write failed, or memory ran out; readable as before
};

struct MendReport {
    MendResult result;
    ULONGLONG sampleCount; // samples in the index, once mended or already ordinary
    ULONGLONG bytesRead;   // box headers and indexes read; never a picture
};

// Opens path for the mend: reading and writing, shared with nobody, so that
// it fails while any other process (a sink writer, a copy) holds the file.
// Writes go through to the disk, so the appended index is there before the
// old ones are let go. INVALID_HANDLE_VALUE on failure.
HANDLE OpenFileToMend(const wchar_t* path);
// Mends the file open in `file` (read and write access). The report may be null.
MendResult MendFragmentedMp4(HANDLE file, MendReport* report);
// OpenFileToMend, the mend and the close.
MendResult MendFragmentedMp4File(const wchar_t* path, MendReport* report);
