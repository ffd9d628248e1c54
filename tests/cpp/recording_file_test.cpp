// The pieces of a recording streamed to disk: the zip checksum of rows appended piece by
// piece, and a reader that takes every row of a ring once while the writer goes on.
#include <ZelkorHardwareAPI/control/recorder.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/npz_stream.h"

using namespace Zelkor::HardwareAPI::Control;

TEST(recording_file_test, checksums_of_pieces_combine_into_the_whole_ones) {
    const std::string check = "123456789";
    EXPECT_EQ(crc32(0, check.data(), check.size()), 0xCBF43926u);
    std::string bytes;
    for (int i = 0; i < 5000; ++i) bytes.push_back(static_cast<char>(i * 7919 % 251));
    const std::uint32_t whole = crc32(0, bytes.data(), bytes.size());
    for (std::size_t cut : {0u, 1u, 3u, 8u, 1000u, 4097u, 4999u, 5000u}) {
        const std::uint32_t a = crc32(0, bytes.data(), cut);
        const std::uint32_t b = crc32(0, bytes.data() + cut, bytes.size() - cut);
        EXPECT_EQ(crc32_combine(a, b, bytes.size() - cut), whole) << cut;
        EXPECT_EQ(crc32(a, bytes.data() + cut, bytes.size() - cut), whole) << cut;
    }
}

TEST(recording_file_test, a_reader_takes_every_row_once_and_counts_those_overwritten) {
    RowRing ring(2, 4);
    std::vector<double> out(2 * 4);
    std::uint64_t next = 0, first = 0, lost = 0, taken = 0;
    auto append = [&](int n) {
        for (int i = 0; i < n; ++i) {
            const double index = static_cast<double>(ring.appended());
            ring.set(0, index);
            ring.set(1, -index);
            ring.append();
        }
    };
    auto take = [&](std::size_t most) {
        const std::size_t n = ring.copy_from(next, out.data(), most, first);
        lost += first - next;
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_EQ(out[2 * i], static_cast<double>(first + i));
            EXPECT_EQ(out[2 * i + 1], -static_cast<double>(first + i));
        }
        next = first + n;
        taken += n;
        return n;
    };
    append(3);
    EXPECT_EQ(take(2), 2u);  // at most what there is room for
    EXPECT_EQ(take(4), 1u);
    EXPECT_EQ(take(4), 0u);  // nothing new
    // The ring holds the last 4 of them, but the writer's next row is the oldest one's slot:
    // 3 are whole.
    append(10);
    EXPECT_EQ(take(4), 3u);
    EXPECT_EQ(first, 10u);
    EXPECT_EQ(lost, 7u);
    EXPECT_EQ(taken + lost, ring.appended());
}
