#include "engine/mp4_mend.h"
#include "engine/os_api.h"

namespace {

constexpr UINT32 FourCc(const char (&name)[5]) {
    return static_cast<UINT32>(static_cast<BYTE>(name[0])) << 24 |
           static_cast<UINT32>(static_cast<BYTE>(name[1])) << 16 |
           static_cast<UINT32>(static_cast<BYTE>(name[2])) << 8 |
           static_cast<UINT32>(static_cast<BYTE>(name[3]));
}

constexpr UINT32 FTYP = FourCc("ftyp");
constexpr UINT32 MOOV = FourCc("moov");
constexpr UINT32 MVHD = FourCc("mvhd");
constexpr UINT32 TRAK = FourCc("trak");
constexpr UINT32 TKHD = FourCc("tkhd");
constexpr UINT32 MDIA = FourCc("mdia");
constexpr UINT32 MDHD = FourCc("mdhd");
constexpr UINT32 HDLR = FourCc("hdlr");
constexpr UINT32 MINF = FourCc("minf");
constexpr UINT32 VMHD = FourCc("vmhd");
constexpr UINT32 DINF = FourCc("dinf");
constexpr UINT32 DREF = FourCc("dref");
constexpr UINT32 URL_ = FourCc("url ");
constexpr UINT32 STBL = FourCc("stbl");
constexpr UINT32 STSD = FourCc("stsd");
constexpr UINT32 STTS = FourCc("stts");
constexpr UINT32 CTTS = FourCc("ctts");
constexpr UINT32 STSS = FourCc("stss");
constexpr UINT32 STSZ = FourCc("stsz");
constexpr UINT32 STSC = FourCc("stsc");
constexpr UINT32 STCO = FourCc("stco");
constexpr UINT32 CO64 = FourCc("co64");
constexpr UINT32 MVEX = FourCc("mvex");
constexpr UINT32 TREX = FourCc("trex");
constexpr UINT32 MOOF = FourCc("moof");
constexpr UINT32 TRAF = FourCc("traf");
constexpr UINT32 TFHD = FourCc("tfhd");
constexpr UINT32 TFDT = FourCc("tfdt");
constexpr UINT32 TRUN = FourCc("trun");
constexpr UINT32 MDAT = FourCc("mdat");
constexpr UINT32 FREE = FourCc("free");
constexpr UINT32 SKIP = FourCc("skip");
constexpr UINT32 SIDX = FourCc("sidx");
constexpr UINT32 MFRA = FourCc("mfra");
constexpr UINT32 VIDE = FourCc("vide");

// tfhd flags.
constexpr UINT32 BASE_DATA_OFFSET_PRESENT = 0x000001;
constexpr UINT32 SAMPLE_DESCRIPTION_PRESENT = 0x000002;
constexpr UINT32 DEFAULT_DURATION_PRESENT = 0x000008;
constexpr UINT32 DEFAULT_SIZE_PRESENT = 0x000010;
constexpr UINT32 DEFAULT_FLAGS_PRESENT = 0x000020;
constexpr UINT32 DURATION_IS_EMPTY = 0x010000;
constexpr UINT32 DEFAULT_BASE_IS_MOOF = 0x020000;
// trun flags.
constexpr UINT32 DATA_OFFSET_PRESENT = 0x000001;
constexpr UINT32 FIRST_SAMPLE_FLAGS_PRESENT = 0x000004;
constexpr UINT32 SAMPLE_DURATION_PRESENT = 0x000100;
constexpr UINT32 SAMPLE_SIZE_PRESENT = 0x000200;
constexpr UINT32 SAMPLE_FLAGS_PRESENT = 0x000400;
constexpr UINT32 SAMPLE_OFFSET_PRESENT = 0x000800;
// In a sample's flags.
constexpr UINT32 SAMPLE_IS_NON_SYNC = 0x00010000;

// What the mend reads or keeps of one file, whatever the file claims.
constexpr ULONGLONG MAX_INDEX_BYTES = 128ull << 20;         // one moov
constexpr ULONGLONG MAX_FRAGMENT_INDEX_BYTES = 16ull << 20; // one moof
constexpr ULONGLONG MAX_SAMPLES = 1ull << 25;               // 77 hours at 120 fps
constexpr SIZE_T MAX_TOP_BOXES = 1u << 22;
constexpr SIZE_T MAX_BLOCK_BYTES = 1u << 30;

UINT32 Get32(const BYTE* at) {
    return static_cast<UINT32>(at[0]) << 24 | static_cast<UINT32>(at[1]) << 16 |
           static_cast<UINT32>(at[2]) << 8 | static_cast<UINT32>(at[3]);
}

ULONGLONG Get64(const BYTE* at) {
    return static_cast<ULONGLONG>(Get32(at)) << 32 | Get32(at + 4);
}

// value as `bytes` big-endian bytes.
void Store(BYTE* at, ULONGLONG value, int bytes) {
    for (int i = 0; i < bytes; i++)
        at[i] = static_cast<BYTE>(value >> (8 * (bytes - 1 - i)));
}

// A growing block on the process heap. A failed allocation marks it failed;
// later puts do nothing, and the caller looks once at the end.
struct Block {
    BYTE* bytes;
    SIZE_T length;
    SIZE_T capacity;
    bool failed;
};

bool Grow(Block* block, SIZE_T more) {
    if (block->failed)
        return false;
    if (more <= block->capacity - block->length)
        return true;
    if (more > MAX_BLOCK_BYTES - block->length) {
        block->failed = true;
        return false;
    }
    SIZE_T capacity = block->capacity ? block->capacity : 4096;
    while (capacity - block->length < more)
        capacity *= 2;
    void* grown = block->bytes ? osApi.HeapReAlloc(GetProcessHeap(), 0, block->bytes, capacity)
                               : osApi.HeapAlloc(GetProcessHeap(), 0, capacity);
    if (!grown) {
        block->failed = true;
        return false;
    }
    block->bytes = static_cast<BYTE*>(grown);
    block->capacity = capacity;
    return true;
}

void PutBytes(Block* block, const void* bytes, SIZE_T length) {
    if (length == 0 || !Grow(block, length))
        return;
    CopyMemory(block->bytes + block->length, bytes, length);
    block->length += length;
}

void Put32(Block* block, UINT32 value) {
    BYTE bytes[4];
    Store(bytes, value, 4);
    PutBytes(block, bytes, 4);
}

void Put64(Block* block, ULONGLONG value) {
    Put32(block, static_cast<UINT32>(value >> 32));
    Put32(block, static_cast<UINT32>(value));
}

void FreeBlock(Block* block) {
    if (block->bytes)
        osApi.HeapFree(GetProcessHeap(), 0, block->bytes);
    *block = Block{};
}

// Starts a box whose size is written when it is closed.
SIZE_T OpenBox(Block* block, UINT32 type) {
    SIZE_T start = block->length;
    Put32(block, 0);
    Put32(block, type);
    return start;
}

void CloseBox(Block* block, SIZE_T start) {
    if (block->failed)
        return;
    Store(block->bytes + start, block->length - start, 4);
}

void PutBox(Block* block, UINT32 type, const BYTE* payload, SIZE_T length) {
    SIZE_T start = OpenBox(block, type);
    PutBytes(block, payload, length);
    CloseBox(block, start);
}

// Some bytes read into memory: a box's payload, or what is left of it.
struct Span {
    const BYTE* bytes;
    SIZE_T length;
};

// Takes the next box off the front of *rest. False at its end, or where a box
// does not fit in what is left (which ends the walk of rest).
bool NextChild(Span* rest, UINT32* type, Span* payload) {
    if (rest->length < 8)
        return false;
    ULONGLONG size = Get32(rest->bytes);
    SIZE_T header = 8;
    if (size == 1) {
        if (rest->length < 16)
            return false;
        size = Get64(rest->bytes + 8);
        header = 16;
    } else if (size == 0) {
        size = rest->length;
    }
    if (size < header || size > rest->length)
        return false;
    *type = Get32(rest->bytes + 4);
    payload->bytes = rest->bytes + header;
    payload->length = static_cast<SIZE_T>(size) - header;
    rest->bytes += size;
    rest->length -= static_cast<SIZE_T>(size);
    return true;
}

bool FindChild(Span parent, UINT32 wanted, Span* child) {
    UINT32 type = 0;
    while (NextChild(&parent, &type, child)) {
        if (type == wanted)
            return true;
    }
    return false;
}

// Whether the children fill the payload exactly: a fragment index that does
// not is not read at all.
bool ChildrenFill(Span parent) {
    UINT32 type = 0;
    Span child = {};
    while (NextChild(&parent, &type, &child)) {
    }
    return parent.length == 0;
}

// A box of the top level, as the walk found it.
struct TopBox {
    ULONGLONG offset;
    ULONGLONG size; // a box cut by the end of the file: up to the end
    UINT32 type;
    UINT32 headerBytes;
};

struct MendFile {
    HANDLE file;
    ULONGLONG fileSize;
    ULONGLONG bytesRead;
    Block boxes; // TopBox, in file order
    // Where the walk ended: the end of the last box it could read. Beyond it
    // lie bytes that make no box.
    ULONGLONG wholeEnd;
    // The last box declared more bytes than the file has, or size 0 (to the
    // end): an index appended after it would lie inside it.
    bool lastBoxCut;
};

TopBox* BoxAt(const MendFile* mend, SIZE_T index) {
    return reinterpret_cast<TopBox*>(mend->boxes.bytes) + index;
}

SIZE_T BoxCount(const MendFile* mend) {
    return mend->boxes.length / sizeof(TopBox);
}

bool ReadAt(MendFile* mend, ULONGLONG offset, void* buffer, DWORD bytes) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    DWORD got = 0;
    if (!SetFilePointerEx(mend->file, at, nullptr, FILE_BEGIN) ||
        !ReadFile(mend->file, buffer, bytes, &got, nullptr) || got != bytes)
        return false;
    mend->bytesRead += got;
    return true;
}

bool WriteAt(HANDLE file, ULONGLONG offset, const void* bytes, SIZE_T length) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN))
        return false;
    const BYTE* next = static_cast<const BYTE*>(bytes);
    while (length > 0) {
        DWORD part = length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
        DWORD written = 0;
        if (!osApi.WriteFile(file, next, part, &written, nullptr) || written != part)
            return false;
        next += part;
        length -= part;
    }
    return true;
}

// Reads the box headers of the top level, each checked against the file's
// size. False when a read fails or memory runs out.
bool WalkTopLevel(MendFile* mend) {
    ULONGLONG at = 0;
    while (mend->fileSize - at >= 8 && BoxCount(mend) < MAX_TOP_BOXES) {
        BYTE header[16];
        ULONGLONG left = mend->fileSize - at;
        if (!ReadAt(mend, at, header, left >= 16 ? 16 : 8))
            return false;
        ULONGLONG size = Get32(header);
        UINT32 headerBytes = 8;
        bool cut = false;
        if (size == 1) {
            if (left < 16)
                break;
            size = Get64(header + 8);
            headerBytes = 16;
        } else if (size == 0) {
            size = left;
            cut = true;
        }
        if (size < headerBytes)
            break;
        if (size > left) {
            size = left;
            cut = true;
        }
        // A real length that its size field cannot hold makes no box we could keep.
        if (cut && headerBytes == 8 && size > 0xFFFFFFFFull)
            break;
        TopBox box = {at, size, Get32(header + 4), headerBytes};
        PutBytes(&mend->boxes, &box, sizeof(box));
        if (mend->boxes.failed)
            return false;
        at += size;
        if (cut) {
            mend->lastBoxCut = true;
            break;
        }
    }
    mend->wholeEnd = at;
    return true;
}

bool IsCut(const MendFile* mend, SIZE_T index) {
    return mend->lastBoxCut && index + 1 == BoxCount(mend);
}

// Reads a whole box's payload into *payload. False when it is cut, larger
// than limit, or cannot be read (*ioFailed then says which).
bool ReadPayload(MendFile* mend, SIZE_T index, ULONGLONG limit, Block* payload, bool* ioFailed) {
    const TopBox* box = BoxAt(mend, index);
    ULONGLONG length = box->size - box->headerBytes;
    payload->length = 0;
    if (IsCut(mend, index) || length > limit)
        return false;
    if (length == 0)
        return true;
    if (!Grow(payload, static_cast<SIZE_T>(length)) ||
        !ReadAt(mend, box->offset + box->headerBytes, payload->bytes, static_cast<DWORD>(length))) {
        *ioFailed = true;
        return false;
    }
    payload->length = static_cast<SIZE_T>(length);
    return true;
}

// Whether the bytes [offset, offset + size) lie in the payload of one mdat.
bool LiesInMdat(const MendFile* mend, ULONGLONG offset, UINT32 size) {
    SIZE_T low = 0;
    SIZE_T high = BoxCount(mend);
    while (high - low > 1) {
        SIZE_T middle = low + (high - low) / 2;
        if (BoxAt(mend, middle)->offset <= offset)
            low = middle;
        else
            high = middle;
    }
    if (high == 0)
        return false;
    const TopBox* box = BoxAt(mend, low);
    return box->type == MDAT && offset >= box->offset + box->headerBytes &&
           offset <= box->offset + box->size && size <= box->offset + box->size - offset;
}

// The parts of the fragmented file's index that the ordinary one takes over.
struct TrackInfo {
    Span mvhd; // payloads, inside the index read into memory
    Span tkhd;
    Span mdhd;
    Span hdlr;
    Span vmhd; // empty when missing
    Span dinf;
    Span stsd;
    UINT32 trackId;
    UINT32 movieTimescale;
    UINT32 mediaTimescale;
    UINT32 descriptionCount;
    bool fragmented; // the index has mvex
    // The track's defaults from trex.
    UINT32 defaultDescription;
    UINT32 defaultDuration;
    UINT32 defaultSize;
    UINT32 defaultFlags;
};

// The bytes of mvhd, tkhd or mdhd up to its duration's end (0 when it is
// shorter): version and flags, two times, the timescale or track id (tkhd
// has a reserved field after it), and the duration, in 4 or 8 bytes each.
SIZE_T TimedHeadBytes(Span box, UINT32 type) {
    if (box.length < 4)
        return 0;
    SIZE_T timeBytes = box.bytes[0] == 1 ? 8 : 4;
    SIZE_T headBytes = 4 + 3 * timeBytes + (type == TKHD ? 8 : 4);
    return box.length >= headBytes ? headBytes : 0;
}

// The timescale (mvhd, mdhd) or track id (tkhd): the field after the times.
UINT32 IdAfterTimes(Span box, UINT32 type) {
    return TimedHeadBytes(box, type) ? Get32(box.bytes + (box.bytes[0] == 1 ? 20 : 12)) : 0;
}

bool IsVideoTrack(Span trak, Span* mdia) {
    Span hdlr = {};
    return FindChild(trak, MDIA, mdia) && FindChild(*mdia, HDLR, &hdlr) && hdlr.length >= 12 &&
           Get32(hdlr.bytes + 8) == VIDE;
}

// Finds the one video track of an index. False when there is none or more.
bool FindVideoTrack(Span moov, Span* trak, Span* mdia) {
    Span rest = moov;
    UINT32 type = 0;
    Span child = {};
    int found = 0;
    while (NextChild(&rest, &type, &child)) {
        Span childMdia = {};
        if (type == TRAK && IsVideoTrack(child, &childMdia)) {
            *trak = child;
            *mdia = childMdia;
            found++;
        }
    }
    return found == 1;
}

bool ReadTrack(Span moov, TrackInfo* track) {
    *track = TrackInfo{};
    Span trak = {}, mdia = {}, minf = {}, stbl = {};
    if (!FindChild(moov, MVHD, &track->mvhd) || !FindVideoTrack(moov, &trak, &mdia) ||
        !FindChild(trak, TKHD, &track->tkhd) || !FindChild(mdia, MDHD, &track->mdhd) ||
        !FindChild(mdia, HDLR, &track->hdlr) || !FindChild(mdia, MINF, &minf) ||
        !FindChild(minf, STBL, &stbl) || !FindChild(stbl, STSD, &track->stsd))
        return false;
    FindChild(minf, VMHD, &track->vmhd);
    FindChild(minf, DINF, &track->dinf);
    track->movieTimescale = IdAfterTimes(track->mvhd, MVHD);
    track->mediaTimescale = IdAfterTimes(track->mdhd, MDHD);
    track->trackId = IdAfterTimes(track->tkhd, TKHD);
    if (track->stsd.length >= 8)
        track->descriptionCount = Get32(track->stsd.bytes + 4);
    if (track->movieTimescale == 0 || track->mediaTimescale == 0 ||
        TimedHeadBytes(track->tkhd, TKHD) == 0 || track->descriptionCount == 0)
        return false;

    Span mvex = {};
    track->fragmented = FindChild(moov, MVEX, &mvex);
    Span rest = mvex;
    UINT32 type = 0;
    Span trex = {};
    while (NextChild(&rest, &type, &trex)) {
        if (type == TREX && trex.length >= 24 && Get32(trex.bytes + 4) == track->trackId) {
            track->defaultDescription = Get32(trex.bytes + 8);
            track->defaultDuration = Get32(trex.bytes + 12);
            track->defaultSize = Get32(trex.bytes + 16);
            track->defaultFlags = Get32(trex.bytes + 20);
        }
    }
    return true;
}

// The samples of an ordinary index, when every one lies in the file; 0 when
// the index is not usable.
ULONGLONG CountIndexedSamples(Span moov, ULONGLONG fileSize) {
    Span trak = {}, mdia = {}, minf = {}, stbl = {}, stsz = {}, stsc = {}, chunks = {};
    if (!FindVideoTrack(moov, &trak, &mdia) || !FindChild(mdia, MINF, &minf) ||
        !FindChild(minf, STBL, &stbl) || !FindChild(stbl, STSZ, &stsz) ||
        !FindChild(stbl, STSC, &stsc) || stsz.length < 12 || stsc.length < 8)
        return 0;
    bool wide = FindChild(stbl, CO64, &chunks);
    if (!wide && !FindChild(stbl, STCO, &chunks))
        return 0;
    SIZE_T offsetBytes = wide ? 8 : 4;
    if (chunks.length < 8)
        return 0;
    ULONGLONG chunkCount = Get32(chunks.bytes + 4);
    ULONGLONG runCount = Get32(stsc.bytes + 4);
    UINT32 commonSize = Get32(stsz.bytes + 4);
    ULONGLONG sampleCount = Get32(stsz.bytes + 8);
    if (chunkCount > (chunks.length - 8) / offsetBytes || runCount > (stsc.length - 8) / 12 ||
        runCount == 0 || sampleCount == 0 ||
        (commonSize == 0 && sampleCount > (stsz.length - 12) / 4))
        return 0;

    ULONGLONG sample = 0;
    for (ULONGLONG run = 0; run < runCount; run++) {
        const BYTE* entry = stsc.bytes + 8 + run * 12;
        ULONGLONG firstChunk = Get32(entry);
        ULONGLONG nextChunk = run + 1 < runCount ? Get32(entry + 12) : chunkCount + 1;
        ULONGLONG perChunk = Get32(entry + 4);
        if (firstChunk == 0 || nextChunk < firstChunk || nextChunk > chunkCount + 1)
            return 0;
        for (ULONGLONG chunk = firstChunk; chunk < nextChunk; chunk++) {
            const BYTE* at = chunks.bytes + 8 + (chunk - 1) * offsetBytes;
            ULONGLONG offset = wide ? Get64(at) : Get32(at);
            for (ULONGLONG i = 0; i < perChunk; i++, sample++) {
                if (sample >= sampleCount)
                    return 0;
                ULONGLONG size = commonSize ? commonSize : Get32(stsz.bytes + 12 + sample * 4);
                if (offset > fileSize || size > fileSize - offset)
                    return 0;
                offset += size;
            }
        }
    }
    return sample == sampleCount ? sampleCount : 0;
}

// The ordinary index being made: its tables as they will be written.
struct SampleTable {
    Block sizes;     // stsz entries
    Block syncs;     // stss entries
    Block durations; // stts entries, the open run apart
    Block offsets;   // ctts entries, the open run apart
    Block chunks;    // ChunkRun
    ULONGLONG samples;
    UINT32 durationRunCount; // the open run of equal durations
    UINT32 durationRunValue;
    ULONGLONG durationRuns; // closed ones
    UINT32 offsetRunCount;
    UINT32 offsetRunValue;
    ULONGLONG offsetRuns;
    ULONGLONG mediaDuration;
    ULONGLONG decodeEnd; // the decode time after the last sample, as the fragments count it
    UINT32 firstSize;
    bool sizesVary;
    bool anyOffset;
    bool negativeOffset;
    bool anyNonSync;
};

struct ChunkRun {
    ULONGLONG offset;
    UINT32 samples;
    UINT32 description;
};

void CloseDurationRun(SampleTable* table) {
    if (table->durationRunCount == 0)
        return;
    Put32(&table->durations, table->durationRunCount);
    Put32(&table->durations, table->durationRunValue);
    table->durationRuns++;
    table->durationRunCount = 0;
}

void AddSample(SampleTable* table, UINT32 size, UINT32 duration, UINT32 offset, bool signedOffset,
               UINT32 flags) {
    table->samples++;
    Put32(&table->sizes, size);
    if (table->samples == 1)
        table->firstSize = size;
    else if (size != table->firstSize)
        table->sizesVary = true;

    if (table->durationRunCount > 0 && duration != table->durationRunValue)
        CloseDurationRun(table);
    table->durationRunCount++;
    table->durationRunValue = duration;
    table->mediaDuration += duration;
    table->decodeEnd += duration;

    if (table->offsetRunCount > 0 && offset != table->offsetRunValue) {
        Put32(&table->offsets, table->offsetRunCount);
        Put32(&table->offsets, table->offsetRunValue);
        table->offsetRuns++;
        table->offsetRunCount = 0;
    }
    table->offsetRunCount++;
    table->offsetRunValue = offset;
    table->anyOffset = table->anyOffset || offset != 0;
    table->negativeOffset = table->negativeOffset || (signedOffset && offset >= 0x80000000u);

    if (flags & SAMPLE_IS_NON_SYNC)
        table->anyNonSync = true;
    else
        Put32(&table->syncs, static_cast<UINT32>(table->samples));
}

// A fragment's decode time after a gap: the last sample lasts until it, as
// in the fragmented file.
void StretchLastSample(SampleTable* table, ULONGLONG fragmentTime) {
    if (table->samples == 0) {
        table->decodeEnd = fragmentTime;
        return;
    }
    if (fragmentTime <= table->decodeEnd || table->durationRunCount == 0)
        return;
    ULONGLONG gap = fragmentTime - table->decodeEnd;
    ULONGLONG last = table->durationRunValue;
    if (gap > 0xFFFFFFFFull - last)
        return;
    if (table->durationRunCount > 1) {
        table->durationRunCount--;
        CloseDurationRun(table);
    } else {
        table->durationRunCount = 0;
    }
    table->durationRunCount = 1;
    table->durationRunValue = static_cast<UINT32>(last + gap);
    table->mediaDuration += gap;
    table->decodeEnd = fragmentTime;
}

bool TableFailed(const SampleTable* table) {
    return table->sizes.failed || table->syncs.failed || table->durations.failed ||
           table->offsets.failed || table->chunks.failed;
}

// The defaults a track fragment header gives its samples.
struct FragmentDefaults {
    ULONGLONG base;
    UINT32 description;
    UINT32 duration;
    UINT32 size;
    UINT32 flags;
};

// Reads a tfhd over the track's defaults; false when it is not whole.
bool ReadFragmentHeader(Span tfhd, const TrackInfo* track, FragmentDefaults* defaults,
                        UINT32* trackId, UINT32* headerFlags) {
    if (tfhd.length < 8)
        return false;
    UINT32 flags = Get32(tfhd.bytes) & 0xFFFFFF;
    *headerFlags = flags;
    *trackId = Get32(tfhd.bytes + 4);
    defaults->description = track->defaultDescription;
    defaults->duration = track->defaultDuration;
    defaults->size = track->defaultSize;
    defaults->flags = track->defaultFlags;
    SIZE_T at = 8;
    if (flags & BASE_DATA_OFFSET_PRESENT) {
        if (tfhd.length < at + 8)
            return false;
        defaults->base = Get64(tfhd.bytes + at);
        at += 8;
    }
    UINT32* fields[4] = {&defaults->description, &defaults->duration, &defaults->size,
                         &defaults->flags};
    const UINT32 present[4] = {SAMPLE_DESCRIPTION_PRESENT, DEFAULT_DURATION_PRESENT,
                               DEFAULT_SIZE_PRESENT, DEFAULT_FLAGS_PRESENT};
    for (int i = 0; i < 4; i++) {
        if (!(flags & present[i]))
            continue;
        if (tfhd.length < at + 4)
            return false;
        *fields[i] = Get32(tfhd.bytes + at);
        at += 4;
    }
    return true;
}

// Takes the samples of one run from dataStart on, each wholly in an mdat.
// False at the first sample that is not (or a run that cannot be read); the
// samples before it are kept. *dataEnd is where the run's data ended.
bool TakeRun(const MendFile* mend, Span trun, const FragmentDefaults* defaults, ULONGLONG dataStart,
             SampleTable* table, ULONGLONG* dataEnd) {
    if (trun.length < 8)
        return false;
    bool signedOffsets = trun.bytes[0] >= 1;
    UINT32 flags = Get32(trun.bytes) & 0xFFFFFF;
    ULONGLONG count = Get32(trun.bytes + 4);
    SIZE_T at = 8;
    if (flags & DATA_OFFSET_PRESENT)
        at += 4;
    UINT32 firstFlags = defaults->flags;
    if (flags & FIRST_SAMPLE_FLAGS_PRESENT) {
        if (trun.length < at + 4)
            return false;
        firstFlags = Get32(trun.bytes + at);
        at += 4;
    }
    if (trun.length < at)
        return false;
    ULONGLONG entryBytes = 0;
    const UINT32 fields[4] = {SAMPLE_DURATION_PRESENT, SAMPLE_SIZE_PRESENT, SAMPLE_FLAGS_PRESENT,
                              SAMPLE_OFFSET_PRESENT};
    for (UINT32 field : fields) {
        if (flags & field)
            entryBytes += 4;
    }
    // A count that the box or the table cannot hold is refused whole.
    if ((entryBytes > 0 && count > (trun.length - at) / entryBytes) ||
        count > MAX_SAMPLES - table->samples)
        return false;

    ULONGLONG offset = dataStart;
    ChunkRun chunk = {offset, 0, defaults->description ? defaults->description : 1};
    bool whole = true;
    const BYTE* entry = trun.bytes + at;
    for (ULONGLONG i = 0; i < count; i++) {
        UINT32 duration = defaults->duration;
        UINT32 size = defaults->size;
        UINT32 sampleFlags = i == 0 ? firstFlags : defaults->flags;
        UINT32 compositionOffset = 0;
        if (flags & SAMPLE_DURATION_PRESENT) {
            duration = Get32(entry);
            entry += 4;
        }
        if (flags & SAMPLE_SIZE_PRESENT) {
            size = Get32(entry);
            entry += 4;
        }
        if (flags & SAMPLE_FLAGS_PRESENT) {
            sampleFlags = Get32(entry);
            entry += 4;
        }
        if (flags & SAMPLE_OFFSET_PRESENT) {
            compositionOffset = Get32(entry);
            entry += 4;
        }
        if (size == 0 || !LiesInMdat(mend, offset, size)) {
            whole = false;
            break;
        }
        AddSample(table, size, duration, compositionOffset, signedOffsets, sampleFlags);
        chunk.samples++;
        offset += size;
    }
    if (chunk.samples > 0)
        PutBytes(&table->chunks, &chunk, sizeof(chunk));
    *dataEnd = offset;
    return whole;
}

// Where a run's data starts: the base and its own offset, or where the run
// before it in the same track fragment ended.
bool RunDataStart(Span trun, ULONGLONG base, bool firstRun, ULONGLONG previousEnd,
                  ULONGLONG fileSize, ULONGLONG* start) {
    if (trun.length < 8)
        return false;
    if (!(Get32(trun.bytes) & DATA_OFFSET_PRESENT)) {
        *start = firstRun ? base : previousEnd;
        return true;
    }
    if (trun.length < 12 || base > fileSize)
        return false;
    LONGLONG offset = static_cast<INT32>(Get32(trun.bytes + 8));
    LONGLONG at = static_cast<LONGLONG>(base) + offset;
    if (at < 0)
        return false;
    *start = static_cast<ULONGLONG>(at);
    return true;
}

// Takes one track fragment's samples. False where the walk of the fragments ends.
bool TakeTrackFragment(const MendFile* mend, Span traf, ULONGLONG moofStart, bool firstTraf,
                       ULONGLONG* dataEnd, const TrackInfo* track, SampleTable* table) {
    Span tfhd = {};
    FragmentDefaults defaults = {};
    UINT32 trackId = 0;
    UINT32 headerFlags = 0;
    if (!ChildrenFill(traf) || !FindChild(traf, TFHD, &tfhd) ||
        !ReadFragmentHeader(tfhd, track, &defaults, &trackId, &headerFlags))
        return false;
    if (trackId != track->trackId)
        return true;
    if (defaults.description > track->descriptionCount)
        return false;
    if (!(headerFlags & BASE_DATA_OFFSET_PRESENT))
        defaults.base = (headerFlags & DEFAULT_BASE_IS_MOOF) || firstTraf ? moofStart : *dataEnd;

    Span tfdt = {};
    if (FindChild(traf, TFDT, &tfdt) && tfdt.length >= 8)
        StretchLastSample(table, tfdt.bytes[0] == 1 && tfdt.length >= 12 ? Get64(tfdt.bytes + 4)
                                                                         : Get32(tfdt.bytes + 4));
    if (headerFlags & DURATION_IS_EMPTY)
        return true;

    Span rest = traf;
    UINT32 type = 0;
    Span trun = {};
    bool firstRun = true;
    ULONGLONG runEnd = defaults.base;
    while (NextChild(&rest, &type, &trun)) {
        if (type != TRUN)
            continue;
        ULONGLONG start = 0;
        if (!RunDataStart(trun, defaults.base, firstRun, runEnd, mend->fileSize, &start) ||
            !TakeRun(mend, trun, &defaults, start, table, &runEnd))
            return false;
        firstRun = false;
    }
    *dataEnd = runEnd;
    return true;
}

// Takes the samples of one moof. False where the walk of the fragments ends:
// a fragment index that cannot be read, or a sample not wholly in the file.
bool TakeFragment(MendFile* mend, SIZE_T index, const TrackInfo* track, Block* moof,
                  SampleTable* table, bool* ioFailed) {
    if (!ReadPayload(mend, index, MAX_FRAGMENT_INDEX_BYTES, moof, ioFailed))
        return false;
    Span payload = {moof->bytes, moof->length};
    if (!ChildrenFill(payload))
        return false;
    ULONGLONG moofStart = BoxAt(mend, index)->offset;
    ULONGLONG dataEnd = moofStart;
    bool firstTraf = true;
    UINT32 type = 0;
    Span traf = {};
    while (NextChild(&payload, &type, &traf)) {
        if (type != TRAF)
            continue;
        if (!TakeTrackFragment(mend, traf, moofStart, firstTraf, &dataEnd, track, table))
            return false;
        firstTraf = false;
    }
    return true;
}

// duration, counted in `from` units, in `to` units, rounded up.
ULONGLONG Rescale(ULONGLONG duration, UINT32 from, UINT32 to) {
    ULONGLONG whole = duration / from;
    if (whole > 0xFFFFFFFFFFFFFFFFull / to)
        return 0xFFFFFFFFFFFFFFFFull;
    return whole * to + ((duration % from) * to + from - 1) / from;
}

// mvhd, tkhd or mdhd from the fragmented file's own, with the duration the
// samples give, in version 1 only where a field needs 64 bits.
void PutTimedBox(Block* block, UINT32 type, Span old, ULONGLONG duration) {
    SIZE_T headBytes = TimedHeadBytes(old, type);
    bool wasLong = old.bytes[0] == 1;
    SIZE_T timeBytes = wasLong ? 8 : 4;
    SIZE_T idBytes = type == TKHD ? 8 : 4;
    const BYTE* at = old.bytes + 4;
    ULONGLONG creation = wasLong ? Get64(at) : Get32(at);
    ULONGLONG modification = wasLong ? Get64(at + 8) : Get32(at + 4);
    const BYTE* id = at + 2 * timeBytes;
    bool makeLong =
        creation > 0xFFFFFFFFull || modification > 0xFFFFFFFFull || duration > 0xFFFFFFFFull;
    SIZE_T start = OpenBox(block, type);
    BYTE versionFlags[4] = {static_cast<BYTE>(makeLong ? 1 : 0), old.bytes[1], old.bytes[2],
                            old.bytes[3]};
    PutBytes(block, versionFlags, 4);
    if (makeLong) {
        Put64(block, creation);
        Put64(block, modification);
        PutBytes(block, id, idBytes);
        Put64(block, duration);
    } else {
        Put32(block, static_cast<UINT32>(creation));
        Put32(block, static_cast<UINT32>(modification));
        PutBytes(block, id, idBytes);
        Put32(block, static_cast<UINT32>(duration));
    }
    PutBytes(block, old.bytes + headBytes, old.length - headBytes);
    CloseBox(block, start);
}

// A table of entries after a version-and-flags word and an entry count.
void PutTable(Block* block, UINT32 type, UINT32 versionFlags, ULONGLONG entries,
              const Block* closed, const UINT32* open, int openWords) {
    SIZE_T start = OpenBox(block, type);
    Put32(block, versionFlags);
    Put32(block, static_cast<UINT32>(entries));
    PutBytes(block, closed->bytes, closed->length);
    for (int i = 0; i < openWords; i++)
        Put32(block, open[i]);
    CloseBox(block, start);
}

void PutChunkTables(Block* block, const SampleTable* table) {
    const ChunkRun* chunks = reinterpret_cast<const ChunkRun*>(table->chunks.bytes);
    SIZE_T chunkCount = table->chunks.length / sizeof(ChunkRun);
    SIZE_T start = OpenBox(block, STSC);
    Put32(block, 0);
    SIZE_T countAt = block->length;
    Put32(block, 0);
    UINT32 runs = 0;
    for (SIZE_T i = 0; i < chunkCount; i++) {
        if (i > 0 && chunks[i].samples == chunks[i - 1].samples &&
            chunks[i].description == chunks[i - 1].description)
            continue;
        Put32(block, static_cast<UINT32>(i + 1));
        Put32(block, chunks[i].samples);
        Put32(block, chunks[i].description);
        runs++;
    }
    if (!block->failed)
        Store(block->bytes + countAt, runs, 4);
    CloseBox(block, start);

    bool wide = false;
    for (SIZE_T i = 0; i < chunkCount; i++)
        wide = wide || chunks[i].offset > 0xFFFFFFFFull;
    start = OpenBox(block, wide ? CO64 : STCO);
    Put32(block, 0);
    Put32(block, static_cast<UINT32>(chunkCount));
    for (SIZE_T i = 0; i < chunkCount; i++) {
        if (wide)
            Put64(block, chunks[i].offset);
        else
            Put32(block, static_cast<UINT32>(chunks[i].offset));
    }
    CloseBox(block, start);
}

void PutSampleTable(Block* block, const TrackInfo* track, const SampleTable* table) {
    SIZE_T stbl = OpenBox(block, STBL);
    PutBox(block, STSD, track->stsd.bytes, track->stsd.length);
    const UINT32 durationRun[2] = {table->durationRunCount, table->durationRunValue};
    PutTable(block, STTS, 0, table->durationRuns + 1, &table->durations, durationRun, 2);
    if (table->anyOffset) {
        const UINT32 offsetRun[2] = {table->offsetRunCount, table->offsetRunValue};
        PutTable(block, CTTS, table->negativeOffset ? 0x01000000u : 0, table->offsetRuns + 1,
                 &table->offsets, offsetRun, 2);
    }
    if (table->anyNonSync)
        PutTable(block, STSS, 0, table->syncs.length / 4, &table->syncs, nullptr, 0);
    SIZE_T stsz = OpenBox(block, STSZ);
    Put32(block, 0);
    Put32(block, table->sizesVary ? 0 : table->firstSize);
    Put32(block, static_cast<UINT32>(table->samples));
    if (table->sizesVary)
        PutBytes(block, table->sizes.bytes, table->sizes.length);
    CloseBox(block, stsz);
    PutChunkTables(block, table);
    CloseBox(block, stbl);
}

// The ordinary index: the fragmented file's own boxes with the durations and
// the sample table of what was kept.
void PutIndex(Block* block, const TrackInfo* track, const SampleTable* table) {
    ULONGLONG movieDuration =
        Rescale(table->mediaDuration, track->mediaTimescale, track->movieTimescale);
    SIZE_T moov = OpenBox(block, MOOV);
    PutTimedBox(block, MVHD, track->mvhd, movieDuration);
    SIZE_T trak = OpenBox(block, TRAK);
    PutTimedBox(block, TKHD, track->tkhd, movieDuration);
    SIZE_T mdia = OpenBox(block, MDIA);
    PutTimedBox(block, MDHD, track->mdhd, table->mediaDuration);
    PutBox(block, HDLR, track->hdlr.bytes, track->hdlr.length);
    SIZE_T minf = OpenBox(block, MINF);
    if (track->vmhd.length > 0) {
        PutBox(block, VMHD, track->vmhd.bytes, track->vmhd.length);
    } else {
        const BYTE vmhd[12] = {0, 0, 0, 1};
        PutBox(block, VMHD, vmhd, sizeof(vmhd));
    }
    if (track->dinf.length > 0) {
        PutBox(block, DINF, track->dinf.bytes, track->dinf.length);
    } else {
        // One data reference: the samples are in this file.
        SIZE_T dinf = OpenBox(block, DINF);
        SIZE_T dref = OpenBox(block, DREF);
        Put32(block, 0);
        Put32(block, 1);
        const BYTE selfContained[4] = {0, 0, 0, 1};
        PutBox(block, URL_, selfContained, 4);
        CloseBox(block, dref);
        CloseBox(block, dinf);
    }
    PutSampleTable(block, track, table);
    CloseBox(block, minf);
    CloseBox(block, mdia);
    CloseBox(block, trak);
    CloseBox(block, moov);
}

// A box other readers should no longer see: its type becomes free, its size
// stays. A moov's first child goes too, as readers that find no index look
// inside free boxes for a lost one.
bool LetGo(HANDLE file, const TopBox* box) {
    if (box->type == MOOV && box->size - box->headerBytes >= 8 &&
        !WriteAt(file, box->offset + box->headerBytes + 4, "free", 4))
        return false;
    return WriteAt(file, box->offset + 4, "free", 4);
}

bool IsIndexBox(UINT32 type) {
    return type == MOOV || type == MOOF || type == SIDX || type == MFRA;
}

// Lets go of every index but the one at keep. The fragmented one goes last:
// until then a reader that takes it still finds the fragments not yet let go.
bool LetGoOfIndexes(const MendFile* mend, SIZE_T keep, SIZE_T fragmentedIndex) {
    for (SIZE_T i = 0; i < BoxCount(mend); i++) {
        if (i != keep && i != fragmentedIndex && IsIndexBox(BoxAt(mend, i)->type) &&
            !LetGo(mend->file, BoxAt(mend, i)))
            return false;
    }
    return fragmentedIndex >= BoxCount(mend) || LetGo(mend->file, BoxAt(mend, fragmentedIndex));
}

// Gives the box cut by the end of the file its real length, and covers bytes
// after the last whole box with a free box, so that the index appended next
// is a box of its own. Returns where the index goes.
bool MakeRoomForIndex(MendFile* mend, ULONGLONG* indexAt) {
    if (mend->lastBoxCut) {
        const TopBox* last = BoxAt(mend, BoxCount(mend) - 1);
        BYTE realSize[8];
        bool large = last->headerBytes == 16;
        Store(realSize, last->size, large ? 8 : 4);
        bool written = WriteAt(mend->file, last->offset + (large ? 8 : 0), realSize, large ? 8 : 4);
        if (!written)
            return false;
    }
    ULONGLONG left = mend->fileSize - mend->wholeEnd;
    if (left < 8) {
        // Fewer bytes than a box header: no picture, overwritten by the index.
        *indexAt = mend->wholeEnd;
        return true;
    }
    // size 1 and a 64-bit size after the type where 32 bits cannot hold it.
    bool large = left > 0xFFFFFFFFull;
    BYTE header[16] = {0, 0, 0, 1, 'f', 'r', 'e', 'e'};
    if (large)
        Store(header + 8, left, 8);
    else
        Store(header, left, 4);
    *indexAt = mend->fileSize;
    return WriteAt(mend->file, mend->wholeEnd, header, large ? 16 : 8);
}

// Everything one mend holds; released at one place.
struct MendState {
    MendFile file;
    Block index;    // a moov's payload
    Block fragment; // a moof's payload
    Block newIndex;
    SampleTable table;
    TrackInfo track;
    ULONGLONG sampleCount;
};

// The file ends with a usable ordinary index: a finished mend, one that was
// cut short after its index was written, or an MP4 that was never fragmented.
MendResult FinishWithLastIndex(MendState* state) {
    MendFile* mend = &state->file;
    SIZE_T last = BoxCount(mend) - 1;
    bool more = false;
    for (SIZE_T i = 0; i < last; i++)
        more = more || IsIndexBox(BoxAt(mend, i)->type);
    if (!more)
        return MendResult::AlreadyOrdinary;
    return LetGoOfIndexes(mend, last, BoxCount(mend)) ? MendResult::Mended : MendResult::IoFailed;
}

// Whether the moov at index reads as an ordinary index; its payload is then in state->index.
bool ReadOrdinaryIndex(MendState* state, SIZE_T index, bool* ioFailed) {
    MendFile* mend = &state->file;
    if (BoxAt(mend, index)->type != MOOV ||
        !ReadPayload(mend, index, MAX_INDEX_BYTES, &state->index, ioFailed))
        return false;
    Span moov = {state->index.bytes, state->index.length};
    Span mvex = {};
    if (FindChild(moov, MVEX, &mvex))
        return false;
    state->sampleCount = CountIndexedSamples(moov, mend->fileSize);
    return state->sampleCount > 0;
}

// Nothing but a file type, free space and an index cut by the end: a
// recording that ended before its first fragment.
bool HoldsNothing(const MendFile* mend) {
    for (SIZE_T i = 1; i < BoxCount(mend); i++) {
        UINT32 type = BoxAt(mend, i)->type;
        if (type != FREE && type != SKIP && !(type == MOOV && IsCut(mend, i)))
            return false;
    }
    return true;
}

MendResult Mend(MendState* state) {
    MendFile* mend = &state->file;
    LARGE_INTEGER fileSize = {};
    if (!GetFileSizeEx(mend->file, &fileSize) || fileSize.QuadPart < 0)
        return MendResult::IoFailed;
    mend->fileSize = static_cast<ULONGLONG>(fileSize.QuadPart);
    if (!WalkTopLevel(mend))
        return MendResult::IoFailed;
    SIZE_T boxCount = BoxCount(mend);
    if (boxCount == 0 || BoxAt(mend, 0)->type != FTYP)
        return MendResult::NotOurs;

    bool ioFailed = false;
    if (boxCount >= 2 && ReadOrdinaryIndex(state, boxCount - 1, &ioFailed))
        return FinishWithLastIndex(state);
    // The fragmented file's index: the first whole moov with mvex.
    SIZE_T fragmentedIndex = boxCount;
    for (SIZE_T i = 1; i < boxCount && fragmentedIndex == boxCount && !ioFailed; i++) {
        if (BoxAt(mend, i)->type != MOOV)
            continue;
        if (ReadOrdinaryIndex(state, i, &ioFailed))
            return MendResult::AlreadyOrdinary;
        Span moov = {state->index.bytes, state->index.length};
        if (state->index.length > 0 && ReadTrack(moov, &state->track) && state->track.fragmented)
            fragmentedIndex = i;
    }
    if (ioFailed)
        return MendResult::IoFailed;
    if (fragmentedIndex == boxCount)
        return HoldsNothing(mend) ? MendResult::NoWholeSample : MendResult::NotOurs;

    for (SIZE_T i = 1; i < boxCount; i++) {
        if (BoxAt(mend, i)->type == MOOF &&
            !TakeFragment(mend, i, &state->track, &state->fragment, &state->table, &ioFailed))
            break;
    }
    if (ioFailed || TableFailed(&state->table))
        return MendResult::IoFailed;
    state->sampleCount = state->table.samples;
    if (state->sampleCount == 0)
        return MendResult::NoWholeSample;

    PutIndex(&state->newIndex, &state->track, &state->table);
    if (state->newIndex.failed)
        return MendResult::IoFailed;
    // The new index is whole on the disk before any old one is let go: a mend
    // cut short leaves a file that the next one finishes.
    ULONGLONG indexAt = 0;
    if (!MakeRoomForIndex(mend, &indexAt))
        return MendResult::IoFailed;
    if (!WriteAt(mend->file, indexAt, state->newIndex.bytes, state->newIndex.length)) {
        LARGE_INTEGER end;
        end.QuadPart = static_cast<LONGLONG>(mend->fileSize);
        if (SetFilePointerEx(mend->file, end, nullptr, FILE_BEGIN))
            SetEndOfFile(mend->file);
        return MendResult::IoFailed;
    }
    if (!LetGoOfIndexes(mend, boxCount, fragmentedIndex))
        return MendResult::IoFailed;
    return MendResult::Mended;
}

} // namespace

HANDLE OpenFileToMend(const wchar_t* path) {
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
}

MendResult MendFragmentedMp4(HANDLE file, MendReport* report) {
    MendState state = {};
    state.file.file = file;
    MendResult result = Mend(&state);
    if (report) {
        report->result = result;
        report->sampleCount = result == MendResult::Mended || result == MendResult::AlreadyOrdinary
                                  ? state.sampleCount
                                  : 0;
        report->bytesRead = state.file.bytesRead;
    }
    FreeBlock(&state.file.boxes);
    FreeBlock(&state.index);
    FreeBlock(&state.fragment);
    FreeBlock(&state.newIndex);
    FreeBlock(&state.table.sizes);
    FreeBlock(&state.table.syncs);
    FreeBlock(&state.table.durations);
    FreeBlock(&state.table.offsets);
    FreeBlock(&state.table.chunks);
    return result;
}

MendResult MendFragmentedMp4File(const wchar_t* path, MendReport* report) {
    HANDLE file = OpenFileToMend(path);
    if (file == INVALID_HANDLE_VALUE) {
        if (report)
            *report = MendReport{MendResult::IoFailed, 0, 0};
        return MendResult::IoFailed;
    }
    MendResult result = MendFragmentedMp4(file, report);
    CloseHandle(file);
    return result;
}
