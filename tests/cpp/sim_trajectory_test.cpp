// The simulated hand's recorded trajectories: CSV and numpy's .npz (the archives in data/ are
// written by numpy itself: data/make_trajectories.py).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "trajectory_file.h"

namespace {

using namespace Zelkor::Sim;

const std::string data = ZELKOR_TEST_DATA;

std::string file_bytes(const std::string& name) {
    std::ifstream in(data + "/" + name, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// The path the fixtures hold: at 0, 0.5 and 1.5 s.
void expect_the_fixture_path(const Trajectory& t) {
    ASSERT_EQ(t.size(), 3u);
    EXPECT_DOUBLE_EQ(t.duration(), 1.5);
    Vec3 p, v;
    t.sample(0.25, p, v);  // halfway along the first leg
    EXPECT_NEAR(p[0], 0.283, 1e-6);
    EXPECT_NEAR(p[1], 0.005, 1e-6);
    EXPECT_NEAR(v[1], 0.02, 1e-6);
    t.sample(1.0, p, v);
    EXPECT_NEAR(p[0], 0.278, 1e-6);
    EXPECT_NEAR(p[2], 0.0025, 1e-6);
}

TEST(sim_trajectory_test, csv_with_either_set_of_column_names) {
    const char* cases[] = {
        "time,x,y,z\n0,0.283,0,0\n0.5,0.283,0.01,0\n1.5,0.273,0.01,0.005\n",
        // A recording: more columns, positions named so, in another order; CRLF, blanks.
        "# recorded on the desk\n"
        "time,cycle,force_x,position_z,position_y,position_x\r\n"
        "12.0,1,0.5,0,0,0.283\r\n\r\n"
        "12.5,2,0.5,0,0.01,0.283\r\n"
        "13.5,3,nan,0.005,0.01,0.273\r\n\n\n",
        " time , x , y , z \n0 , 0.283 , 0 , 0\n0.5,0.283,1e-2,0\n1.5,0.273,0.01,5e-3",
    };
    for (const char* text : cases) {
        SCOPED_TRACE(text);
        std::string error;
        const auto t = parse_trajectory_csv(text, error);
        ASSERT_TRUE(t) << error;
        expect_the_fixture_path(*t);
    }
}

TEST(sim_trajectory_test, csv_mistakes_are_named_with_their_line) {
    const struct {
        const char* text;
        const char* says;
    } cases[] = {
        {"", "no header line"},
        {"# only a comment\n\n", "no header line"},
        {"0,0.283,0,0\n", "line 1: the header must name the columns time, x, y, z"},
        {"time,x,y\n0,0.283,0\n", "line 1: the header must name"},
        {"t,x,y,z\n0,0.283,0,0\n", "line 1: the header must name"},
        {"time,x,y,z\n", "no samples"},
        {"time,x,y,z\n0,0.283,0,0\n0.1,0.283,0\n", "line 3: 3 fields, where 4 are needed"},
        {"time,x,y,z\n0,0.283,zero,0\n", "line 2: the position's y 'zero' is not a number"},
        {"time,x,y,z\n0,0.283,,0\n", "line 2: the position's y '' is not a number"},
        {"time,x,y,z\n0s,0.283,0,0\n", "line 2: the time '0s' is not a number"},
        {"time,x,y,z\n0,0.283,0,0\n\n0.1,nan,0,0\n", "line 4: a position is not a finite"},
        {"time,x,y,z\ninf,0.283,0,0\n", "line 2: the time is not a finite number"},
        {"time,x,y,z\n0,0.283,0,0\n0.1,0.283,0,0\n0.1,0.283,0,0\n",
         "line 4: the time does not increase"},
        {"time,x,y,z\n1,0.283,0,0\n0.5,0.283,0,0\n", "line 3: the time does not increase"},
        {"time,x,y,z\n0,283,0,0\n", "line 2: the position is more than 1 m from the origin"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string error;
        EXPECT_FALSE(parse_trajectory_csv(c.text, error));
        EXPECT_NE(error.find(c.says), std::string::npos) << "error: " << error;
    }
}

TEST(sim_trajectory_test, npz_as_numpy_savez_writes_it) {
    for (const char* name : {"stored.npz", "mixed_types.npz"}) {
        SCOPED_TRACE(name);
        std::string error;
        const auto t = read_trajectory(data + "/" + name, error);
        ASSERT_TRUE(t) << error;
        expect_the_fixture_path(*t);
    }
    std::string error;
    const auto t = read_trajectory(data + "/integer_time.npz", error);
    ASSERT_TRUE(t) << error;
    EXPECT_DOUBLE_EQ(t->duration(), 2.0);
}

TEST(sim_trajectory_test, files_that_cannot_be_used_get_a_reason) {
    const struct {
        const char* name;
        const char* says;
    } cases[] = {
        {"compressed.npz",
         "time.npy is compressed: save the arrays with numpy.savez, not "
         "numpy.savez_compressed"},
        {"unnamed.npz",
         "no array 'time' (arrays 'time' and 'position' are needed; the archive "
         "has arr_0.npy, arr_1.npy)"},
        {"wrong_shape.npz", "the array 'position' has shape (3, 2), not (3, 3)"},
        {"complex_time.npz", "the array 'time' holds values of type '<c16'"},
        {"repeated_time.npz", "row 3: the time does not increase"},
        {"nan_position.npz", "row 2: a position is not a finite number"},
        {"missing.npz", "No such file or directory"},
        {"", "Is a directory"},  // data/ itself
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        EXPECT_FALSE(read_trajectory(data + "/" + c.name, error));
        EXPECT_NE(error.find(c.says), std::string::npos) << "error: " << error;
    }
}

TEST(sim_trajectory_test, a_damaged_archive_is_refused_never_misread) {
    // Every prefix of a good archive, and every byte of it changed in turn: each is refused
    // with a reason, or (a byte numpy's reader ignores too, such as a time stamp) read as the
    // same path. Under the sanitizers this also checks that no read strays out of bounds.
    const std::string good = file_bytes("stored.npz");
    ASSERT_GT(good.size(), 500u);
    std::size_t refused = 0, read = 0;
    const auto check = [&](const std::string& bytes) {
        std::string error;
        const auto t = parse_trajectory_npz(bytes, error);
        if (!t) {
            EXPECT_FALSE(error.empty());
            ++refused;
            return;
        }
        ++read;
        expect_the_fixture_path(*t);
    };
    for (std::size_t n = 0; n < good.size(); ++n) check(good.substr(0, n));
    for (std::size_t i = 0; i < good.size(); ++i) {
        std::string bad = good;
        bad[i] = static_cast<char>(bad[i] ^ 0x5A);
        check(bad);
    }
    EXPECT_GT(refused, good.size());  // every prefix and the flipped data at least
    EXPECT_GT(read, 0u);
}

}  // namespace
