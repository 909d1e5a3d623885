// The record reader alone: no painter, no display.

#include "graphics/MetafileRecords.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

using TBytes = std::vector<uint8_t>;

void Le16(TBytes& out, uint32_t value) {
    out.push_back(uint8_t(value));
    out.push_back(uint8_t(value >> 8));
}
void Le32(TBytes& out, uint32_t value) {
    Le16(out, value & 0xFFFF);
    Le16(out, value >> 16);
}

// An EMF header record of 88 bytes (bounds, frame, handles, reference device), then raw records.
TBytes EmfHeader() {
    TBytes out;
    Le32(out, 1);
    Le32(out, 88);
    for (int32_t v : {-1, -2, 99, 49, 0, 0, 2000, 1000})
        Le32(out, uint32_t(v));
    Le32(out, 0x464D4520);
    Le32(out, 0x10000);
    Le32(out, 0); // total size: not the walker's concern
    Le32(out, 0);
    Le16(out, 7); // handles
    Le16(out, 0);
    for (int i = 0; i < 3; ++i)
        Le32(out, 0);
    for (int32_t v : {1024, 768, 320, 240})
        Le32(out, uint32_t(v));
    return out;
}

void EmfRecord(TBytes& out, uint32_t type, uint32_t size, size_t bodyBytes) {
    Le32(out, type);
    Le32(out, size);
    out.insert(out.end(), bodyBytes, 0xAB);
}

// A WMF header (after the placeable one) of headerWords words, then raw records.
TBytes WmfHeader(uint16_t headerWords) {
    TBytes out;
    for (uint32_t v : {1u, uint32_t(headerWords), 0x300u})
        Le16(out, v);
    Le32(out, 0);
    Le16(out, 5); // objects
    Le32(out, 0);
    Le16(out, 0);
    out.resize(std::max<size_t>(out.size(), size_t(headerWords) * 2), 0);
    return out;
}

void WmfRecord(TBytes& out, uint32_t words, uint16_t function, size_t bodyBytes) {
    Le32(out, words);
    Le16(out, function);
    out.insert(out.end(), bodyBytes, 0xCD);
}

// What the walk handed over: type, offset in the file and size of each record.
std::string EmfWalk(const TBytes& file, int stopAfter = -1) {
    std::string seen;
    int count = 0;
    WalkEmfRecords(TBoundedReader(file.data(), file.size()),
                   [&](TEmfRecordType type, const TBoundedReader& r) {
                       EXPECT_LE(r.Data() + r.Size(), file.data() + file.size());
                       seen += std::to_string(uint32_t(type)) + "@" + std::to_string(r.Data() - file.data()) +
                               "+" + std::to_string(r.Size()) + " ";
                       return ++count != stopAfter;
                   });
    return seen;
}

std::string WmfWalk(const TBytes& file) {
    std::string seen;
    WalkWmfRecords(TBoundedReader(file.data(), file.size()),
                   [&](TWmfRecordType function, const TBoundedReader& r) {
                       EXPECT_LE(r.Data() + r.Size(), file.data() + file.size());
                       seen += std::to_string(uint16_t(function)) + "@" +
                               std::to_string(r.Data() - file.data()) + "+" + std::to_string(r.Size()) + " ";
                       return true;
                   });
    return seen;
}

} // namespace

TEST(MetafileRecords, EmfHeaderFields) {
    const TBytes file = EmfHeader();
    const auto header = ReadEmfHeader(TBoundedReader(file.data(), file.size()));
    ASSERT_TRUE(header);
    EXPECT_EQ(header->Bounds.Left, -1);
    EXPECT_EQ(header->Bounds.Bottom, 49);
    EXPECT_EQ(header->Frame.Right, 2000);
    EXPECT_EQ(header->Handles, 7);
    EXPECT_EQ(header->DevicePixelsY, 768);
    EXPECT_EQ(header->DeviceMillimetersX, 320);
    EXPECT_FALSE(ReadEmfHeader(TBoundedReader(file.data(), 87)));
    TBytes notHeader = file;
    notHeader[0] = 2;
    EXPECT_FALSE(ReadEmfHeader(TBoundedReader(notHeader.data(), notHeader.size())));
}

// Records are handed over whole and in order; a size that is too small or
// runs past the file ends the walk before that record, the end-of-file
// record after it.
TEST(MetafileRecords, EmfWalkStopsAtBrokenSizesAndTheEnd) {
    const struct {
        const char* Name;
        std::initializer_list<uint32_t> Records; // type, size, body bytes
        const char* Expected;
    } cases[] = {
        {"two records and the end", {43, 24, 16, 14, 20, 12, 43, 24, 16}, "1@0+88 43@88+24 14@112+20 "},
        {"size below the head", {43, 4, 16, 43, 24, 16}, "1@0+88 "},
        {"size past the file", {43, 24, 16, 43, 1000, 16}, "1@0+88 43@88+24 "},
        {"size that wraps", {43, 0xFFFFFFF8u, 16}, "1@0+88 "},
        {"a head cut short", {43, 24, 16, 27, 16, 0}, "1@0+88 43@88+24 "},
    };
    for (const auto& c : cases) {
        TBytes file = EmfHeader();
        const std::vector<uint32_t> r(c.Records);
        for (size_t i = 0; i + 2 < r.size(); i += 3)
            EmfRecord(file, r[i], r[i + 1], r[i + 2]);
        EXPECT_EQ(EmfWalk(file), c.Expected) << c.Name;
    }
    TBytes file = EmfHeader();
    EmfRecord(file, 43, 24, 16);
    EmfRecord(file, 43, 24, 16);
    EXPECT_EQ(EmfWalk(file, 2), "1@0+88 43@88+24 ") << "the consumer stops the walk";
}

TEST(MetafileRecords, WmfWalkStartsAfterTheHeaderAndCountsWords) {
    const struct {
        const char* Name;
        uint16_t HeaderWords;
        std::initializer_list<uint32_t> Records; // words, function, body bytes
        const char* Expected;
    } cases[] = {
        {"records until the end record", 9, {4, 0x041B, 2, 3, 0, 0, 4, 0x041B, 2}, "1051@18+8 "},
        {"a header that claims less than itself", 3, {3, 0x001E, 0}, "30@18+6 "},
        {"a longer header is skipped", 12, {3, 0x001E, 0}, "30@24+6 "},
        {"size below the head", 9, {2, 0x001E, 0, 3, 0x001E, 0}, ""},
        {"size past the file", 9, {3, 0x001E, 0, 100, 0x041B, 4}, "30@18+6 "},
        {"size that doubles past 32 bits", 9, {0x80000003u, 0x001E, 0}, ""},
    };
    for (const auto& c : cases) {
        TBytes file = WmfHeader(c.HeaderWords);
        const std::vector<uint32_t> r(c.Records);
        for (size_t i = 0; i + 2 < r.size(); i += 3)
            WmfRecord(file, r[i], uint16_t(r[i + 1]), r[i + 2]);
        EXPECT_EQ(WmfWalk(file), c.Expected) << c.Name;
    }
    const TBytes file = WmfHeader(9);
    EXPECT_EQ(ReadWmfHeader(TBoundedReader(file.data(), file.size()))->Objects, 5);
    EXPECT_FALSE(ReadWmfHeader(TBoundedReader(file.data(), 17)));
}

// Every cut of a file: the walk hands over only records that lie inside it,
// and a field beyond the end of a record raises instead of reading the next one.
TEST(MetafileRecords, TruncatedFilesAndShortRecordsNeverReadOutside) {
    TBytes emf = EmfHeader();
    EmfRecord(emf, 43, 24, 16);
    EmfRecord(emf, 84, 40, 32);
    EmfRecord(emf, 14, 20, 12);
    for (size_t cut = 0; cut <= emf.size(); ++cut) {
        const TBytes part(emf.begin(), emf.begin() + long(cut));
        EmfWalk(part);
    }
    TBytes wmf = WmfHeader(9);
    WmfRecord(wmf, 7, 0x041B, 8);
    WmfRecord(wmf, 3, 0, 0);
    for (size_t cut = 0; cut <= wmf.size(); ++cut) {
        const TBytes part(wmf.begin(), wmf.begin() + long(cut));
        WmfWalk(part);
    }
    int raised = 0;
    WalkEmfRecords(TBoundedReader(emf.data(), emf.size()), [&](TEmfRecordType, const TBoundedReader& r) {
        try {
            r.U32(r.Size() - 2);
        } catch (const EShortBlock&) {
            ++raised;
        }
        return true;
    });
    EXPECT_EQ(raised, 4);
}
