// The mend on the fragmented MP4s make_fragments.sh made: read back by the
// system's source reader, re-walked box by box, cut short, and fuzzed.
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>
#include "engine/mp4_mend.h"
#include "engine/os_api.h"
#include "mp4_check/mp4_summary.h"
#include "standins.h"
#include "ui/scratch_folder.h"

namespace {

std::wstring Fixture(const wchar_t* name) {
    return ExeFolder() + name;
}

// The n-byte big-endian number at i.
size_t Get(const std::string& bytes, size_t i, int n) {
    size_t value = 0;
    for (int k = 0; k < n; k++)
        value = value << 8 | static_cast<BYTE>(bytes[i + k]);
    return value;
}

struct Box {
    size_t offset, size, header;
    std::string type;
};

// The boxes in bytes [from, to); a box that does not fit ends the list, and
// *whole says whether they filled the range.
std::vector<Box> Boxes(const std::string& bytes, size_t from, size_t to, bool* whole = nullptr) {
    std::vector<Box> boxes;
    while (to - from >= 8) {
        size_t size = Get(bytes, from, 4), header = size == 1 ? 16 : 8;
        if (size == 1 && to - from >= 16)
            size = Get(bytes, from + 8, 8);
        if (size < header || size > to - from)
            break;
        boxes.push_back({from, size, header, bytes.substr(from + 4, 4)});
        from += size;
    }
    if (whole)
        *whole = from == to;
    return boxes;
}

const Box* Find(const std::vector<Box>& boxes, const char* type) {
    for (const Box& box : boxes) {
        if (box.type == type)
            return &box;
    }
    return nullptr;
}

std::vector<Box> Inside(const std::string& bytes, const Box* box) {
    return box ? Boxes(bytes, box->offset + box->header, box->offset + box->size)
               : std::vector<Box>();
}

// What makes the file an ordinary MP4: whole boxes, one index and nothing
// after it, no fragment index, no old index a reader could take for one,
// every sample in an mdat; and, where key frames are counted, the first one
// of them. "" and the counts, or what is wrong.
std::string CheckOrdinary(const std::string& bytes, size_t* samples, size_t* keys = nullptr) {
    bool whole = false;
    std::vector<Box> top = Boxes(bytes, 0, bytes.size(), &whole);
    if (!whole || top.empty() || top.back().type != "moov")
        return "the file does not end with an index box";
    for (size_t i = 0; i < top.size(); i++) {
        const std::string& type = top[i].type;
        if (type == "moof" || type == "sidx" || type == "mfra" ||
            (type == "moov" && i + 1 < top.size()))
            return "a live " + type + " before the index";
        std::vector<Box> inside = Inside(bytes, &top[i]);
        if (type == "free" && !inside.empty() && inside[0].type == "mvhd")
            return "a free box that holds an index";
    }
    std::vector<Box> moov = Inside(bytes, &top.back());
    std::vector<Box> mdia = Inside(bytes, Find(Inside(bytes, Find(moov, "trak")), "mdia"));
    std::vector<Box> stbl = Inside(bytes, Find(Inside(bytes, Find(mdia, "minf")), "stbl"));
    const Box* stsz = Find(stbl, "stsz");
    const Box* stsc = Find(stbl, "stsc");
    const Box* co64 = Find(stbl, "co64");
    const Box* chunks = co64 ? co64 : Find(stbl, "stco");
    if (Find(moov, "mvex") || !stsz || !stsc || !chunks || !Find(stbl, "stsd") ||
        !Find(stbl, "stts"))
        return "the index lacks a table or still has mvex";
    auto get = [&](size_t i, int n) { return Get(bytes, i, n); };
    size_t count = get(stsz->offset + 16, 4), common = get(stsz->offset + 12, 4);
    size_t chunkCount = get(chunks->offset + 12, 4), runs = get(stsc->offset + 12, 4);
    size_t sample = 0;
    for (size_t chunk = 1; chunk <= chunkCount; chunk++) {
        size_t run = 0;
        while (run + 1 < runs && get(stsc->offset + 16 + (run + 1) * 12, 4) <= chunk)
            run++;
        size_t offset = get(chunks->offset + 16 + (chunk - 1) * (co64 ? 8 : 4), co64 ? 8 : 4);
        for (size_t i = get(stsc->offset + 20 + run * 12, 4); i > 0; i--, sample++) {
            size_t size = common ? common : get(stsz->offset + 20 + sample * 4, 4);
            bool inMdat = false;
            for (const Box& box : top)
                inMdat = inMdat || (box.type == "mdat" && offset >= box.offset + box.header &&
                                    offset + size <= box.offset + box.size);
            if (sample >= count || !inMdat)
                return "sample " + std::to_string(sample) + " is not in an mdat";
            offset += size;
        }
    }
    *samples = sample;
    const Box* stss = Find(stbl, "stss");
    if (keys)
        *keys = stss ? get(stss->offset + 12, 4) : sample;
    if (keys && stss && (*keys == 0 || get(stss->offset + 16, 4) != 1))
        return "the first sample is no key frame";
    return sample == count && count > 0 ? "" : "the tables do not hold stsz's count";
}

// Frame n of the fixtures' source, as make_fragments.sh draws it.
void ExpectFrame(int n, const Quarters& seen, const wchar_t* fixture, const char* which) {
    int s = n / 15, grey = 16 + 3 * n;
    int source[12] = {40 + 50 * s,  160, 40,          40,   60 + 40 * s, 200 - 30 * s,
                      200 - 40 * s, 60,  40 + 45 * s, grey, grey,        grey};
    for (int i = 0; i < 12; i++)
        EXPECT_NEAR(source[i], seen.colour[i / 3][i % 3], 1)
            << fixture << ": " << which << " frame is not source frame " << n;
}

class Mp4Mend : public ::testing::Test {
  protected:
    SeamGuard guard;
    std::wstring scratch = MakeScratchFolder(L"mend");
    std::wstring path = scratch + L"\\recording.mp4";
    void TearDown() override { RemoveFolderTree(scratch); }
};

TEST_F(Mp4Mend, EveryFixtureBecomesAnOrdinaryMp4OfTheFramesWhollyInIt) {
    MediaFoundationGuard mediaFoundation;
    mediaFoundation.Start();
    struct Row {
        const wchar_t* fixture;
        size_t from, to; // the part of it in the file (to 0: its end)
        MendResult result;
        int frames;
        int first, middle, last; // source frames the mended file shows there
        int duration;            // in frames at 15 fps
        int keys;                // key frames kept
    };
    const Row rows[] = {
        {L"frag_offsets.mp4", 0, 0, MendResult::Mended, 60, 0, 30, 59, 60, 4},
        {L"frag_bframes.mp4", 0, 0, MendResult::Mended, 60, 0, 30, 59, 60, 4},
        {L"frag_sidx.mp4", 0, 0, MendResult::Mended, 60, 0, 30, 59, 60, 4},
        {L"frag_midgop.mp4", 0, 0, MendResult::Mended, 53, 0, 30, 59, 60, 2},
        {L"cut_in_moof.mp4", 0, 0, MendResult::Mended, 15, 0, 7, 14, 15, 1},
        {L"cut_in_mdat.mp4", 0, 0, MendResult::Mended, 36, 0, 18, 35, 36, 3},
        {L"cut_after_moof.mp4", 0, 0, MendResult::Mended, 45, 0, 22, 44, 45, 3},
        // Cut inside the first moof, after ftyp and the empty index.
        {L"frag_offsets.mp4", 0, 835, MendResult::NoWholeSample, 0, 0, 0, 0, 0, 0},
        {L"frag_offsets.mp4", 0, 30, MendResult::NoWholeSample, 0, 0, 0, 0, 0, 0},
        {L"quarters.mp4", 0, 0, MendResult::AlreadyOrdinary, 0, 0, 0, 0, 0, 0},
        // No ftyp: not a file of ours.
        {L"frag_offsets.mp4", 36, 0, MendResult::NotOurs, 0, 0, 0, 0, 0, 0},
    };
    for (const Row& row : rows) {
        std::string original = ReadFileBytes(Fixture(row.fixture));
        ASSERT_FALSE(original.empty()) << "fixture missing: " << row.fixture;
        original = original.substr(row.from, row.to ? row.to - row.from : std::string::npos);
        ASSERT_TRUE(WriteFileBytes(path, original));
        MendReport report = {};
        EXPECT_EQ(row.result, MendFragmentedMp4File(path.c_str(), &report)) << row.fixture;
        std::string mended = ReadFileBytes(path);
        if (row.result != MendResult::Mended) {
            EXPECT_TRUE(original == mended) << row.fixture << " was changed";
            continue;
        }
        size_t samples = 0, keys = 0;
        EXPECT_EQ("", CheckOrdinary(mended, &samples, &keys)) << row.fixture;
        EXPECT_EQ(static_cast<size_t>(row.frames), samples) << row.fixture;
        EXPECT_EQ(static_cast<size_t>(row.keys), keys) << row.fixture;
        EXPECT_EQ(static_cast<ULONGLONG>(row.frames), report.sampleCount) << row.fixture;
        EXPECT_EQ(MendResult::AlreadyOrdinary, MendFragmentedMp4File(path.c_str(), nullptr))
            << row.fixture << " mended twice";
        EXPECT_TRUE(mended == ReadFileBytes(path)) << row.fixture << " changed by a second mend";

        Mp4Summary summary = {};
        const char* failedStep = "";
        ASSERT_EQ(S_OK, ReadMp4Summary(path.c_str(), &summary, &failedStep))
            << row.fixture << ": " << failedStep;
        EXPECT_EQ(row.frames, summary.frames) << row.fixture;
        EXPECT_EQ(0, summary.framesOutOfOrder) << row.fixture;
        EXPECT_NEAR(row.duration * 10000000.0 / 15, static_cast<double>(summary.duration), 10000)
            << row.fixture;
        ExpectFrame(row.first, summary.firstQuarters, row.fixture, "first");
        ExpectFrame(row.middle, summary.middleQuarters, row.fixture, "middle");
        ExpectFrame(row.last, summary.lastQuarters, row.fixture, "last");
    }
}

// The writes of a mend from the kept-th on: refused as by a full disk, or
// lost to a power cut, which leaves the first half of an index being written
// (a header, within one sector, is written whole or not at all).
int writesKept;
bool refuseLost;
BOOL WINAPI LoseWritesAfter(HANDLE file, LPCVOID bytes, DWORD length, LPDWORD written,
                            LPOVERLAPPED overlapped) {
    if (writesKept-- > 0)
        return realOsApi.WriteFile(file, bytes, length, written, overlapped);
    if (refuseLost) {
        *written = 0;
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    if (writesKept == -1 && length > 16)
        realOsApi.WriteFile(file, bytes, length / 2, written, overlapped);
    *written = length;
    return TRUE;
}

TEST_F(Mp4Mend, MendCutShortAtAnyWriteIsFinishedByTheNext) {
    const std::string original = ReadFileBytes(Fixture(L"cut_in_mdat.mp4"));
    for (int kept = 0; kept <= 8; kept++) {
        for (bool refused : {false, true}) {
            ASSERT_TRUE(WriteFileBytes(path, original));
            writesKept = kept;
            refuseLost = refused;
            osApi.WriteFile = LoseWritesAfter;
            MendResult first = MendFragmentedMp4File(path.c_str(), nullptr);
            osApi.WriteFile = realOsApi.WriteFile;
            if (refused && kept < 7) {
                EXPECT_EQ(MendResult::IoFailed, first) << kept << " writes, then a full disk";
            }
            MendReport report = {};
            MendResult second = MendFragmentedMp4File(path.c_str(), &report);
            EXPECT_TRUE(second == MendResult::Mended || second == MendResult::AlreadyOrdinary)
                << kept << " writes kept";
            size_t samples = 0;
            EXPECT_EQ("", CheckOrdinary(ReadFileBytes(path), &samples)) << kept << " writes kept";
            EXPECT_EQ(36u, samples) << kept << " writes kept";
            EXPECT_EQ(36u, report.sampleCount) << kept << " writes kept";
        }
    }
}

// Whether every byte that differs between before and after (up to before's
// end) lies in a box header of after, or in the header of a box's first child.
bool OnlyHeadersChanged(const std::string& before, const std::string& after) {
    std::vector<Box> top = Boxes(after, 0, after.size());
    for (size_t i = 0; i < before.size() && i < after.size(); i++) {
        bool header = false;
        for (const Box& box : top)
            header = header || (i >= box.offset && i < box.offset + box.header + 8);
        if (before[i] != after[i] && !header)
            return false;
    }
    return true;
}

TEST_F(Mp4Mend, CutsAndDamageAnywhereAreRefusedOrGiveAWellFormedFile) {
    const wchar_t* fixtures[] = {L"frag_offsets.mp4", L"frag_bframes.mp4", L"frag_sidx.mp4",
                                 L"frag_midgop.mp4", L"cut_in_mdat.mp4"};
    std::vector<std::string> originals;
    for (const wchar_t* fixture : fixtures)
        originals.push_back(ReadFileBytes(Fixture(fixture)));
    std::mt19937 random(31);
    int mended = 0;
    for (int round = 0; round < 3000; round++) {
        std::string bytes = originals[random() % originals.size()];
        if (random() % 2)
            bytes.resize(random() % (bytes.size() + 1));
        for (int changes = random() % 4; changes > 0 && !bytes.empty(); changes--)
            bytes[random() % bytes.size()] = static_cast<char>(random());
        ASSERT_TRUE(WriteFileBytes(path, bytes));
        MendReport report = {};
        MendResult result = MendFragmentedMp4File(path.c_str(), &report);
        std::string after = ReadFileBytes(path);
        std::vector<std::wstring> files = FilesMatching(scratch + L"\\*");
        ASSERT_EQ(3u, files.size()) << "round " << round << ": a file was written beside it";
        if (result != MendResult::Mended) {
            ASSERT_NE(MendResult::IoFailed, result) << "round " << round;
            ASSERT_TRUE(bytes == after) << "round " << round << " refused, yet the file changed";
            continue;
        }
        mended++;
        size_t samples = 0;
        ASSERT_EQ("", CheckOrdinary(after, &samples)) << "round " << round;
        ASSERT_EQ(report.sampleCount, samples) << "round " << round;
        const Box index = Boxes(after, 0, after.size()).back();
        ASSERT_LE(after.size(), bytes.size() + index.size) << "round " << round;
        ASSERT_TRUE(OnlyHeadersChanged(bytes.substr(0, index.offset), after))
            << "round " << round << ": bytes other than box headers changed";
    }
    EXPECT_GT(mended, 1000) << "too few rounds gave a file to check";
}

} // namespace
