// The simulated hand's recorded trajectories: CSV and numpy's .npz (the archives in data/ are
// written by numpy itself: data/make_trajectories.py).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "trajectory_file.h"

namespace {

using namespace Zelkor::Sim;

const std::string data = std::string(ZELKOR_TEST_DATA) + "/";

// What every good file here holds: (0.283, 0, 0), (0.283, 0.01, 0), (0.273, 0.01, 0.005) at
// 0, 0.5 and 1.5 s, whatever its clock said.
void expect_the_path(const std::optional<Trajectory>& t, const std::string& error) {
    ASSERT_TRUE(t) << error;
    ASSERT_EQ(t->size(), 3u);
    EXPECT_DOUBLE_EQ(t->duration(), 1.5);
    Vec3 p, v;
    t->sample(0.25, p, v);  // a straight line between samples
    EXPECT_NEAR(p[1], 0.005, 1e-6);
    EXPECT_NEAR(v[1], 0.02, 1e-6);
    t->sample(1.0, p, v);
    EXPECT_NEAR(p[0], 0.278, 1e-6);
    EXPECT_NEAR(p[2], 0.0025, 1e-6);
}

TEST(sim_trajectory_test, files_and_what_is_wrong_with_them) {
    const std::string csv = "time,x,y,z\n0,0.283,0,0\n";
    const struct {
        std::string csv_or_file;  // CSV text, or a file in data/: a name ending .npz, or "."
        const char* says;         // "": the path above
    } cases[] = {
        {csv + "0.5,0.283,0.01,0\n1.5,0.273,0.01,0.005", ""},
        // A recording: more columns, positions named so, in any order; CRLF, blanks, spaces.
        {"# on the desk\ntime, cycle,force_x,position_z,position_y,position_x\r\n"
         "12.0,1,0.5,0,0,0.283\r\n\r\n12.5,2,nan,0,1e-2,0.283\r\n 13.5 ,3,0,0.005,0.01,0.273\n\n",
         ""},
        {"", "no header line"},
        {"0,0.283,0,0\n", "line 1: the header must name the columns time, x, y, z"},
        {"time,x,y\n0,0.283,0\n", "line 1: the header must name"},
        {"time,x,y,z\n", "no samples"},
        {csv + "0.1,0.283,0\n", "line 3: 3 fields, where 4 are needed"},
        {csv + "0.1,0.283,zero,0\n", "line 3: the position's y 'zero' is not a number"},
        {csv + "0s,0.283,0,0\n", "line 3: the time '0s' is not a number"},
        {csv + "\n0.1,nan,0,0\n", "line 4: a position is not a finite number"},
        {csv + "inf,0.283,0,0\n", "line 3: the time is not a finite number"},
        {csv + "0,0.283,0,0\n", "line 3: the time does not increase"},
        {csv + "0.1,283,0,0\n", "line 3: the position is more than 1 m from the origin"},
        {"stored.npz", ""},
        {"mixed_types.npz", ""},  // float32 times from 5000 s, big-endian positions by column
        {"compressed.npz",
         "time.npy is compressed: save the arrays with numpy.savez, not numpy.savez_compressed"},
        {"unnamed.npz",
         "no array 'time' (arrays 'time' and 'position' are needed; the archive "
         "has arr_0.npy, arr_1.npy)"},
        {"wrong_shape.npz", "the array 'position' has shape (3, 2), not (3, 3)"},
        {"complex_time.npz", "the array 'time' holds values of type '<c16'"},
        {"repeated_time.npz", "row 3: the time does not increase"},
        {"nan_position.npz", "row 2: a position is not a finite number"},
        {"missing.npz", "No such file or directory"},
        {".", "Is a directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.csv_or_file);
        const std::string& text = c.csv_or_file;
        const bool file =
            text == "." || (text.size() > 4 && text.substr(text.size() - 4) == ".npz");
        std::string error;
        const auto t =
            file ? read_trajectory(data + text, error) : parse_trajectory_csv(text, error);
        if (*c.says == '\0') {
            expect_the_path(t, error);
        } else {
            EXPECT_FALSE(t);
            EXPECT_NE(error.find(c.says), std::string::npos) << "error: " << error;
        }
    }
    std::string error;  // big-endian integers, times 3, 4, 5 s
    const auto integers = read_trajectory(data + "integer_time.npz", error);
    ASSERT_TRUE(integers) << error;
    EXPECT_EQ(integers->duration(), 2.0);
}

TEST(sim_trajectory_test, a_damaged_archive_is_refused_never_misread) {
    // Every prefix of a good archive, and every byte of it changed in turn: each is refused
    // with a reason, or (a byte no reader looks at, such as a time stamp) read as it was.
    // Under the sanitizers this also checks that no read strays out of bounds.
    std::ostringstream bytes;
    bytes << std::ifstream(data + "stored.npz", std::ios::binary).rdbuf();
    const std::string good = bytes.str();
    ASSERT_GT(good.size(), 500u);
    std::size_t refused = 0;
    const auto check = [&](const std::string& archive) {
        std::string error;
        const auto t = parse_trajectory_npz(archive, error);
        if (t) return expect_the_path(t, error);
        EXPECT_FALSE(error.empty());
        ++refused;
    };
    for (std::size_t n = 0; n < good.size(); ++n) check(good.substr(0, n));
    for (std::size_t i = 0; i < good.size(); ++i) {
        std::string bad = good;
        bad[i] = static_cast<char>(bad[i] ^ 0x5A);
        check(bad);
    }
    EXPECT_GT(refused, good.size() + 352);  // at least the prefixes and the arrays' bytes
    EXPECT_LT(refused, 2 * good.size());
}

}  // namespace
