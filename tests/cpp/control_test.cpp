// The force law of the servo's effects, and the histogram behind its statistics.
#include <ZelkorHardwareAPI/control/effects.h>
#include <ZelkorHardwareAPI/control/histogram.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <thread>
#include <type_traits>

using namespace Zelkor::HardwareAPI::Control;
using Zelkor::HardwareAPI::Vector3;

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
constexpr double infinite = std::numeric_limits<double>::infinity();

void expect_near(const Vec3& got, const Vec3& want, const char* what) {
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(got[i], want[i], 1e-9) << what << " [" << i << "]";
}

}  // namespace

TEST(control_test, effects_force_law) {
    const Wall floor({0, 0, 2}, -0.1, 1000.0, 10.0);  // z >= -0.1, normal normalised
    const Spring spring({0.1, 0.0, 0.0}, 50.0, 2.0);
    const Damper damper(3.0);
    const ConstantForce constant({0.5, -1.0, 2.0});
    struct Case {
        const char* what;
        Effect effect;
        Vec3 position, velocity, force;
    } cases[] = {
        {"wall: outside", floor, {0, 0, 0.0}, {0, 0, -1}, {0, 0, 0}},
        {"wall: on the surface", floor, {0, 0, -0.1}, {0, 0, -1}, {0, 0, 0}},
        {"wall: inside, still", floor, {0.3, 0, -0.11}, {5, 0, 0}, {0, 0, 10.0}},
        {"wall: inside, moving in", floor, {0, 0, -0.11}, {0, 0, -0.5}, {0, 0, 15.0}},
        {"wall: inside, leaving fast: never pulls", floor, {0, 0, -0.11}, {0, 0, 2.0}, {0, 0, 0}},
        {"spring", spring, {0.2, -0.1, 0.0}, {1, 0, -1}, {-7.0, 5.0, 2.0}},
        {"damper", damper, {9, 9, 9}, {1, -2, 0.5}, {-3.0, 6.0, -1.5}},
        {"constant", constant, {9, 9, 9}, {9, 9, 9}, {0.5, -1.0, 2.0}},
    };
    for (const auto& c : cases)
        expect_near(force_of(c.effect, c.position, c.velocity), c.force, c.what);

    // A slanted wall pushes along its own normal.
    const Wall slanted({1, 1, 0}, 0.0, 100.0);
    const double r = std::sqrt(0.5);
    expect_near(slanted.normal, {r, r, 0}, "normalised");
    // 1.41 cm deep: 1.41 N along the normal.
    expect_near(force_of(slanted, {-0.01, -0.01, 0}, {0, 0, 0}), {1.0, 1.0, 0}, "slanted");

    // Effects add up.
    expect_near(total_force({spring, damper, constant}, {0.2, -0.1, 0.0}, {1, 0, -1}),
                {-7.0 - 3.0 + 0.5, 5.0 - 1.0, 2.0 + 3.0 + 2.0}, "sum");
    expect_near(total_force({}, {1, 1, 1}, {1, 1, 1}), {0, 0, 0}, "no effects");
}

TEST(control_test, clamping) {
    const double r = std::sqrt(0.5);
    struct Case {
        const char* what;
        Vec3 force;
        Vector3 sent;
    } cases[] = {
        {"short enough", {1.2, 0, -1.6}, {1.2f, 0, -1.6f}},
        {"too long", {30, 0, 40}, {1.5, 0, 2}},
        // Finite forces whose length overflows still push, at the limit, along themselves.
        {"length overflows", {1e200, 0, 0}, {2.5, 0, 0}},
        {"length overflows, slanted", {1e300, -1e300, 0}, {2.5 * r, -2.5 * r, 0}},
        {"overflow beside a tiny component", {1e-300, 1e200, 0}, {0, 2.5, 0}},
        // Anything not finite sends no force at all.
        {"NaN", {not_a_number, 0, 0}, {0, 0, 0}},
        {"infinite", {infinite, 1, 0}, {0, 0, 0}},
    };
    for (const auto& c : cases) {
        const Vector3 sent = clamp_force(c.force, 2.5);
        for (int i = 0; i < 3; ++i)
            EXPECT_NEAR(sent[i], c.sent[i], 1e-6) << c.what << " [" << i << "]";
    }
    // The servo's own inputs: a huge constant force and a huge spring.
    const Vec3 position{0.01, 0.0, 0.0};
    EXPECT_EQ(clamp_force(force_of(ConstantForce({1e200, 0, 0}), position, {}), 5.0),
              (Vector3{5, 0, 0}));
    EXPECT_EQ(clamp_force(force_of(Spring({0, 0, 0}, 1e200), position, {}), 5.0),
              (Vector3{-5, 0, 0}));
}

TEST(control_test, effects_refuse_unusable_parameters) {
    auto refused = [](auto make, const char* what) {
        EXPECT_THROW(make(), std::invalid_argument) << what;
    };
    refused([] { return Wall({0, 0, 0}, 0, 1); }, "zero normal");
    refused([] { return Wall({1e200, 1e200, 0}, 0, 1); }, "normal too long to measure");
    refused([] { return Wall({0, 0, not_a_number}, 0, 1); }, "NaN normal");
    refused([] { return Wall({0, 0, 1}, infinite, 1); }, "infinite offset");
    refused([] { return Wall({0, 0, 1}, 0, -1); }, "negative stiffness");
    refused([] { return Wall({0, 0, 1}, 0, 1, not_a_number); }, "NaN damping");
    refused([] { return Spring({not_a_number, 0, 0}, 1); }, "NaN anchor");
    refused([] { return Spring({0, 0, 0}, 1, -0.5); }, "negative damping");
    refused([] { return Damper(-1); }, "negative damper");
    refused([] { return ConstantForce({0, infinite, 0}); }, "infinite force");
    EXPECT_NO_THROW(Wall({0, 0, 1e-30}, 0, 0));
    EXPECT_NO_THROW(Damper(0));
}

TEST(control_test, duration_histogram_percentiles) {
    DurationHistogram h;
    EXPECT_EQ(h.percentile(0.5), 0u);
    for (int i = 1; i <= 1000; ++i) h.add(static_cast<std::uint64_t>(i) * 1000);  // 1..1000 µs
    EXPECT_NEAR(static_cast<double>(h.percentile(0.5)), 500e3, 500e3 * 0.04);
    EXPECT_NEAR(static_cast<double>(h.percentile(0.99)), 990e3, 990e3 * 0.04);
    EXPECT_EQ(h.percentile(1.0), 1000000u) << "never above the largest sample";
    EXPECT_EQ(h.max_ns(), 1000000u);
    std::uint64_t counted = 0, previous_edge = 0;
    h.for_each_bucket([&](std::uint64_t from, std::uint64_t to, auto n) {
        static_assert(std::is_same_v<decltype(n), std::uint64_t>, "counts past 2^32");
        EXPECT_GE(from, previous_edge);
        EXPECT_GT(to, from);
        previous_edge = to;
        counted += n;
    });
    EXPECT_EQ(counted, 1000u);
    h.add(3600ull * 1000000000ull);  // an hour lands in the last bucket, not outside
    EXPECT_EQ(h.max_ns(), 3600ull * 1000000000ull);
    h.clear();
    EXPECT_EQ(h.percentile(0.99), 0u);

    // Fractions outside 0..1 are clamped, never converted out of range.
    h.add(7000);
    h.add(9000);
    for (double f : {-1.0, not_a_number, -infinite}) EXPECT_EQ(h.percentile(f), 8000u) << f;
    for (double f : {2.0, infinite}) EXPECT_EQ(h.percentile(f), 9000u) << f;

    // The bit scan compilers without an intrinsic use agrees with the one in use.
    for (int bit = 0; bit < 64; ++bit) {
        const std::uint64_t one = std::uint64_t{1} << bit;
        for (std::uint64_t v : {one, (one - 1) | one}) {
            EXPECT_EQ(DurationHistogram::top_bit_portable(v), bit) << v;
            EXPECT_EQ(DurationHistogram::top_bit(v), bit) << v;
        }
    }
}

TEST(control_test, percentiles_stay_in_order_while_the_writer_adds) {
    // A writer adding ever longer durations: percentiles taken one at a time can see more
    // samples at the larger fraction and put p99 above p99.9; one snapshot never does.
    DurationHistogram h;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (std::uint64_t i = 0; !done.load(std::memory_order_relaxed); ++i)
            h.add(1000 + (i % 200000) * 1000);
    });
    const double fractions[] = {0.0, 0.5, 0.99, 0.999, 1.0};
    for (int read = 0; read < 20000; ++read) {
        std::uint64_t p[5];
        h.percentiles(fractions, p, 5);
        for (int k = 1; k < 5; ++k) ASSERT_LE(p[k - 1], p[k]) << "read " << read << ", " << k;
    }
    done = true;
    writer.join();
}
