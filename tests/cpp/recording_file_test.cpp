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

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "platform/file_calls_posix.h"

namespace {

namespace files = Zelkor::HardwareAPI::platform::posix;

// A disk that holds `disk_room` bytes: a write that would pass them writes what fits, and
// one that finds none fails with ENOSPC, as a full disk does.
std::uint64_t disk_room = 0;

ssize_t write_on_a_small_disk(int fd, const void* bytes, std::size_t count) {
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    if (at < 0) return -1;
    const std::uint64_t free = disk_room > static_cast<std::uint64_t>(at) ? disk_room - at : 0;
    if (free == 0) {
        errno = ENOSPC;
        return -1;
    }
    return ::write(fd, bytes, std::min<std::uint64_t>(count, free));
}

struct SmallDisk {
    explicit SmallDisk(std::uint64_t room) {
        disk_room = room;
        files::file_calls.write = write_on_a_small_disk;
    }
    ~SmallDisk() { files::file_calls = files::real_file_calls(); }
};

std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

// A disk that fills up exactly where an append of rows begins: nothing of it is written, and
// the archive's end needs room the rows before it have to give up.
TEST(recording_file_test, a_full_disk_leaves_a_whole_archive_of_the_rows_that_fit) {
    const std::string path = ::testing::TempDir() + "recording_file_test.npz";
    const std::vector<double> rows(100 * 4, 0.5);  // 100 rows of 4 doubles: 3200 bytes
    for (const std::uint64_t room : {std::uint64_t{0}, std::uint64_t{16384}}) {
        NpzStream file;
        ASSERT_FALSE(file.open(path, {npy_text("kind", "servo")}, "rows", 4));
        for (int i = 0; i < 10; ++i) ASSERT_FALSE(file.append(rows.data(), 100));
        const std::uint64_t full = file_bytes(path).size();
        const SmallDisk disk(full);
        EXPECT_EQ(file.append(rows.data(), 100), std::errc::no_space_on_device);
        ASSERT_FALSE(file.cut_back(room));
        const std::error_code finished = file.finish({npy_int64("lost", 0)});
        if (room == 0) {
            EXPECT_EQ(finished, std::errc::no_space_on_device);  // no room for the index
            continue;
        }
        ASSERT_FALSE(finished) << finished.message();
        // Six appends (19,200 bytes) let go to make 16,384 bytes of room; the index and the
        // end record fit in it.
        EXPECT_EQ(file.rows(), 400u);
        const std::string bytes = file_bytes(path);
        EXPECT_LE(bytes.size(), full);
        EXPECT_EQ(bytes.compare(bytes.size() - 22, 4, "PK\x05\x06"), 0);
        EXPECT_NE(bytes.find("'shape': (400, 4)"), std::string::npos);
        EXPECT_NE(bytes.find("lost.npy"), std::string::npos);
    }
    std::remove(path.c_str());
}
#endif
