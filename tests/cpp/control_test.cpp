// The force law of the servo's effects, and the histogram behind its statistics.
#include <ZelkorHardwareAPI/control/effects.h>
#include <ZelkorHardwareAPI/control/histogram.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

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
    EXPECT_EQ(clamp_force({3, 0, 4}, 10.0), (Vector3{3, 0, 4}));
    const Vector3 f = clamp_force({30, 0, 40}, 5.0);
    EXPECT_NEAR(f[0], 3.0, 1e-6);
    EXPECT_NEAR(f[2], 4.0, 1e-6);
    // Anything not finite, or too large to measure, sends no force at all.
    EXPECT_EQ(clamp_force({not_a_number, 0, 0}, 5.0), (Vector3{0, 0, 0}));
    EXPECT_EQ(clamp_force({infinite, 1, 0}, 5.0), (Vector3{0, 0, 0}));
    EXPECT_EQ(clamp_force({1e300, 1e300, 0}, 5.0), (Vector3{0, 0, 0}));
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
    h.for_each_bucket([&](std::uint64_t from, std::uint64_t to, std::uint32_t n) {
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
}
