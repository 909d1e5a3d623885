#include "core/BoundedReader.h"
#include "core/ScopeGuard.h"

#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>

TEST(TBoundedReader, ReadsLittleEndianFieldsAndRaisesPastTheEnd) {
    const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0xFE, 0xFF, 0x00, 0x00, 0x80, 0x3F};
    const TBoundedReader r(bytes, sizeof bytes);
    EXPECT_EQ(r.U16(0), 0x0201);
    EXPECT_EQ(r.U32(0), 0x04030201u);
    EXPECT_EQ(r.I16(4), -2);
    EXPECT_EQ(r.F32(6), 1.0f);
    EXPECT_EQ(r.U8(9), 0x3F);
    EXPECT_EQ(r.Sub(4, 6).U32(2), 0x3F800000u);
    EXPECT_EQ(r.Fits(2, 4), 2u);
    EXPECT_EQ(r.Fits(11, 1), 0u);
    // Each of these reaches past the last byte, by one or by an offset that
    // would wrap around when added to the length: none may answer anything.
    const struct {
        const char* Name;
        std::function<void()> Read;
    } pastTheEnd[] = {
        {"U8 at the end", [&] { r.U8(10); }},
        {"U16 across the end", [&] { r.U16(9); }},
        {"U32 across the end", [&] { r.U32(7); }},
        {"F32 far past", [&] { r.F32(1000); }},
        {"bytes with a wrapping length", [&] { r.Bytes(4, SIZE_MAX - 2); }},
        {"bytes at a wrapping offset", [&] { r.Bytes(SIZE_MAX, 2); }},
        {"a part longer than the block", [&] { r.Sub(2, 9); }},
        {"a field past the end of a part", [&] { r.Sub(0, 4).U16(3); }},
    };
    for (const auto& c : pastTheEnd)
        EXPECT_THROW(c.Read(), EShortBlock) << c.Name;
    EXPECT_NO_THROW(r.Bytes(10, 0));
    const TBoundedReader empty(nullptr, 0);
    EXPECT_THROW(empty.U8(0), EReadError);
}

// A clean-up that itself fails while an exception is on its way must not end
// the program nor hide the first failure; without one, its failure is reported.
TEST(TScopeGuard, RunsOnTheRightWaysOutAndKeepsTheFirstFailure) {
    std::string log;
    const auto run = [&](bool fail, bool cleanupFails, bool onSuccessToo) -> std::string {
        log.clear();
        try {
            const auto cleanup = [&] {
                log += "cleanup;";
                if (cleanupFails) throw std::runtime_error("cleanup");
            };
            if (onSuccessToo) {
                const auto guard = ScopeExit(cleanup);
                if (fail) throw std::runtime_error("work");
            } else {
                const auto guard = ScopeFail(cleanup);
                if (fail) throw std::runtime_error("work");
            }
        } catch (const std::runtime_error& e) {
            return log + e.what();
        }
        return log + "ok";
    };
    const struct {
        bool Fail, CleanupFails, OnSuccessToo;
        const char* Expected;
    } cases[] = {
        {false, false, true, "cleanup;ok"},
        {true, false, true, "cleanup;work"},
        {false, true, true, "cleanup;cleanup"},
        {true, true, true, "cleanup;work"},
        {false, false, false, "ok"},
        {true, false, false, "cleanup;work"},
        {true, true, false, "cleanup;work"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(run(c.Fail, c.CleanupFails, c.OnSuccessToo), c.Expected)
            << c.Fail << c.CleanupFails << c.OnSuccessToo;

    int value = 1;
    try {
        TRestore<int> hold(value, 2);
        EXPECT_EQ(value, 2);
        throw std::runtime_error("work");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(value, 1);
}
