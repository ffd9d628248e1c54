// The force laws of the servo's effects, and the histogram behind its statistics.
#include <ZelkorHardwareAPI/control/effects.h>
#include <ZelkorHardwareAPI/control/histogram.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <variant>
#include <vector>

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

TEST(control_test, shapes_and_fixtures_force_law) {
    const Sphere ball({0, 0, 0}, 0.5, 100.0, 2.0);
    const Sphere cavity({0, 0, 0}, 0.5, 100.0, 0.0, true);
    const Box block({0, 0, 0}, {0.5, 0.25, 1.0}, 100.0);
    const Box pen({0, 0, 0}, {0.5, 0.25, 1.0}, 100.0, 0.0, true);
    const ViscousRegion bubble({0, 0, 0}, 3.0, 0.5);
    const ViscousRegion cube({0, 0, 0}, 3.0, std::nullopt, Vec3{0.125, 0.125, 0.125});
    const Guide rail({0, 0, 0}, {1, 0, 0}, 10.0, 2.0);
    const Guide point({0, 0, 1}, {0, 0, 1}, 10.0, 2.0);
    const Vibration buzz({0, 0, 2}, 2.0, 5.0);
    const Detents notches({1, 0, 0}, 0.25, 40.0, {0.5, 0, 0});
    struct Case {
        const char* what;
        Effect effect;
        Vec3 position, velocity;
        double time;
        Vec3 force;
    } cases[] = {
        {"ball: inside", ball, {0.3, 0, 0}, {0, 0, 0}, 0, {20, 0, 0}},
        {"ball: moving in", ball, {0, 0.4, 0}, {0, -1, 0}, 0, {0, 12, 0}},
        {"ball: leaving fast", ball, {0, 0.4, 0}, {0, 6, 0}, 0, {0, 0, 0}},
        {"ball: on the surface", ball, {0.5, 0, 0}, {-1, 0, 0}, 0, {0, 0, 0}},
        {"ball: its centre pushes up", ball, {0, 0, 0}, {0, 0, 0}, 0, {0, 0, 50}},
        {"cavity: out", cavity, {0, 0, 0.7}, {0, 0, 0}, 0, {0, 0, -20}},
        {"cavity: in", cavity, {0.1, 0, 0}, {5, 0, 0}, 0, {0, 0, 0}},
        {"block: nearest x", block, {0.4, 0, 0}, {0, 0, 0}, 0, {10, 0, 0}},
        {"block: nearest -y", block, {0, -0.2, 0.1}, {0, 0, 0}, 0, {0, -5, 0}},
        {"block: outside", block, {0.6, 0, 0}, {0, 0, 0}, 0, {0, 0, 0}},
        {"pen: out past an edge", pen, {0.7, -0.5, 0}, {0, 0, 0}, 0, {-20, 25, 0}},
        {"bubble: in", bubble, {0.1, 0, 0}, {1, 2, 3}, 0, {-3, -6, -9}},
        {"bubble: out", bubble, {1, 0, 0}, {1, 2, 3}, 0, {0, 0, 0}},
        {"cube: on a corner", cube, {0.125, -0.125, 0.125}, {1, 0, 0}, 0, {-3, 0, 0}},
        {"rail: beside", rail, {0.5, 0.2, 0}, {3, 1, 0}, 0, {0, -4, 0}},
        {"rail: past the end", rail, {1.5, 0, 0.1}, {0, 0, 0}, 0, {-5, 0, -1}},
        {"point", point, {0, 0, 0}, {1, 0, 0}, 0, {-2, 0, 10}},
        {"buzz: a quarter period", buzz, {0, 0, 0}, {0, 0, 0}, 0.05, {0, 0, 2}},
        {"buzz: three quarters", buzz, {0, 0, 0}, {0, 0, 0}, 0.15, {0, 0, -2}},
        {"notches: past one", notches, {0.55, 1, 0}, {0, 0, 0}, 0, {-2, 0, 0}},
        {"notches: nearer the next", notches, {0.7, 0, 0}, {0, 0, 0}, 0, {2, 0, 0}},
        {"notches: half-way snaps on", notches, {0.625, 0, 0}, {0, 0, 0}, 0, {5, 0, 0}},
    };
    for (const auto& c : cases)
        expect_near(force_of(c.effect, c.position, c.velocity, c.time), c.force, c.what);

    // The time overload of the sum; the older one is at time 0.
    const std::vector<Effect> effects{buzz, ConstantForce({1, 0, 0})};
    expect_near(total_force(effects, {0, 0, 0}, {0, 0, 0}, 0.05), {1, 0, 2}, "at 0.05 s");
    expect_near(total_force(effects, {0, 0, 0}, {0, 0, 0}), {1, 0, 0}, "at 0 s");
}

TEST(control_test, friction_keeps_a_proxy_per_copy) {
    // The loop's path: a const list whose Friction advances its own proxy.
    const std::vector<Effect> effects{Friction({0, 0, 1}, 0.0, 1000.0, 0.5)};
    const struct {
        const char* what;
        Vec3 position, force;
    } steps[] = {
        {"out of contact", {0, 0, 0.01}, {0, 0, 0}},
        {"touching down, on the cone's edge", {0.001, 0, -0.002}, {-1, 0, 2}},
        {"slips", {0.004, 0, -0.002}, {-1, 0, 2}},
        {"pressed harder, a little back: sticks", {0.0035, 0, -0.004}, {-0.5, 0, 4}},
    };
    for (const auto& s : steps)
        expect_near(total_force(effects, s.position, {0, 0, 0}, 1.0), s.force, s.what);
    const Friction& kept = std::get<Friction>(effects[0]);
    EXPECT_TRUE(kept.proxy.held);
    expect_near(kept.proxy.point, {0.003, 0, 0}, "slid to the cone's edge");

    // A copy of the list (a new servo's) starts without one: no tangential force at first.
    const std::vector<Effect> copy = effects;
    EXPECT_FALSE(std::get<Friction>(copy[0]).proxy.held);
    expect_near(total_force(copy, {0.0035, 0, -0.004}, {0, 0, 0}), {0, 0, 4}, "fresh copy");
    // The object itself advances through its own overload, not a copy made for the variant.
    const Friction alone({0, 0, 1}, 0.0, 1000.0, 0.5);
    (void)force_of(alone, {0, 0, -0.002}, {0, 0, 0});
    expect_near(force_of(alone, {0.001, 0, -0.002}, {0, 0, 0}), {-1, 0, 2}, "alone");
    // A position that is not a number sends nothing and leaves no NaN in the proxy.
    expect_near(force_of(alone, {not_a_number, 0, 0}, {0, 0, 0}), {0, 0, 0}, "NaN");
    EXPECT_FALSE(alone.proxy.held);
}

TEST(control_test, an_effects_state_lives_outside_it) {
    // The loop's future path: the list is only read, each place keeps its own state.
    const Effect surface = Friction({0, 0, 1}, 0.0, 1000.0, 0.5);
    const struct {
        const char* what;
        Vec3 position, force;
    } steps[] = {
        {"out of contact", {0, 0, 0.01}, {0, 0, 0}},
        {"touching down, on the cone's edge", {0.001, 0, -0.002}, {-1, 0, 2}},
        {"slips", {0.004, 0, -0.002}, {-1, 0, 2}},
        {"pressed harder, a little back: sticks", {0.0035, 0, -0.004}, {-0.5, 0, 4}},
    };
    EffectState state, other;
    for (const auto& s : steps) {
        expect_near(force_of(surface, state, s.position, {0, 0, 0}, 1.0), s.force, s.what);
    }
    EXPECT_TRUE(state.held);
    expect_near(state.point, {0.003, 0, 0}, "slid to the cone's edge");
    EXPECT_FALSE(std::get<Friction>(surface).proxy.held) << "the object's own proxy is untouched";
    // Another state is another proxy: a fresh one feels no tangential force at first.
    expect_near(force_of(surface, other, {0.0035, 0, -0.004}, {0, 0, 0}, 0.0), {0, 0, 4}, "fresh");
    // The stateless effects come out as through the older call, at the time given.
    const Effect buzz = Vibration({0, 0, 1}, 2.0, 5.0);
    expect_near(force_of(buzz, other, {}, {}, 0.05), force_of(buzz, {}, {}, 0.05), "time");
}

TEST(control_test, same_effect_compares_type_and_parameters) {
    Friction rubbed({0, 0, 1}, 0.0, 1000.0, 0.5);
    (void)force_of(rubbed, {0, 0, -0.001}, {0, 0, 0});  // its proxy is state, not a parameter
    const ViscousRegion ball({0, 0, 0}, 1.0, 0.5);
    const struct {
        const char* what;
        Effect a, b;
        bool same;
    } cases[] = {
        {"a copy", Wall({0, 0, 1}, 0.1, 500.0, 2.0), Wall({0, 0, 1}, 0.1, 500.0, 2.0), true},
        {"the damping differs", Wall({0, 0, 1}, 0.1, 500.0, 2.0), Wall({0, 0, 1}, 0.1, 500.0, 3.0),
         false},
        {"another type, the same numbers", Wall({0, 0, 1}, 0.0, 1000.0, 0.5),
         Friction({0, 0, 1}, 0.0, 1000.0, 0.5), false},
        {"a friction in contact and a fresh one", rubbed, Friction({0, 0, 1}, 0.0, 1000.0, 0.5),
         true},
        {"mu differs", rubbed, Friction({0, 0, 1}, 0.0, 1000.0, 0.4), false},
        {"a cavity and a ball", Sphere({0, 0, 0}, 0.1, 10.0), Sphere({0, 0, 0}, 0.1, 10.0, 0, true),
         false},
        {"a sphere region and a box region", ball,
         ViscousRegion({0, 0, 0}, 1.0, std::nullopt, Vec3{0.5, 0.5, 0.5}), false},
        {"regions alike", ball, ViscousRegion({0, 0, 0}, 1.0, 0.5), true},
        {"detents' origins differ", Detents({1, 0, 0}, 0.01, 50.0),
         Detents({1, 0, 0}, 0.01, 50.0, {0, 0, 0.001}), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(same_effect(c.a, c.b), c.same) << c.what;
        EXPECT_EQ(same_effect(c.b, c.a), c.same) << c.what << ", the other way";
    }
}

TEST(control_test, stiffest_finds_every_stiff_effect) {
    // Every type of the table, in its order, with what it says its stiffness is.
    const std::vector<Effect> every{
        Wall({0, 0, 1}, 0.0, 100.0),
        Spring({0, 0, 0}, 200.0),
        Damper(3000.0),
        ConstantForce({4000, 0, 0}),
        Sphere({0, 0, 0}, 0.1, 500.0),
        Box({0, 0, 0}, {1, 1, 1}, 600.0),
        ViscousRegion({0, 0, 0}, 7000.0, 0.1),
        Guide({0, 0, 0}, {1, 0, 0}, 800.0),
        Vibration({0, 0, 1}, 9000.0, 9000.0),
        Detents({1, 0, 0}, 0.01, 1000.0),
        Friction({0, 0, 1}, 0.0, 1100.0, 0.5),
    };
    const double stiffness[] = {100, 200, 0, 0, 500, 600, 0, 800, 0, 1000, 1100};
    ASSERT_EQ(every.size(), std::variant_size_v<Effect>) << "a row of the table is missing here";
    for (std::size_t i = 0; i < every.size(); ++i) {
        EXPECT_EQ(every[i].index(), i);
        EXPECT_STREQ(effect_name(every[i]), effect_names[i]);
        EXPECT_EQ(stiffness_of(every[i]), stiffness[i]) << effect_names[i];
        // Alone, each stiff one is the stiffest; the others make none.
        const Stiffest alone = stiffest({every[i]});
        EXPECT_EQ(alone.stiffness, stiffness[i]) << effect_names[i];
        if (stiffness[i] > 0) EXPECT_STREQ(alone.name, effect_names[i]);
        if (stiffness[i] == 0) EXPECT_EQ(alone.name, nullptr) << effect_names[i];
    }
    EXPECT_STREQ(effect_names[0], "Wall");
    EXPECT_STREQ(effect_names[10], "Friction");
    const Stiffest all = stiffest(every);
    EXPECT_EQ(all.stiffness, 1100.0);
    EXPECT_STREQ(all.name, "Friction");
    EXPECT_EQ(all.index, 10u);
    // The first of equals; none in an empty list.
    const Stiffest tie = stiffest({Damper(1), Guide({0, 0, 0}, {0, 0, 0}, 50), Spring({}, 50)});
    EXPECT_STREQ(tie.name, "Guide");
    EXPECT_EQ(tie.index, 1u);
    const Stiffest none = stiffest({});
    EXPECT_EQ(none.stiffness, 0.0);
    EXPECT_EQ(none.name, nullptr);
}

TEST(control_test, an_effect_made_from_its_own_parameters_is_the_same) {
    // Directions are stored normalised; normalising one again must not move its last bits,
    // or an effect sent as its parameters and remade would differ from the original.
    const double third = 1.0 / 3.0;
    const Vec3 directions[] = {
        {1, 1, 0},         {1, 2, 3},     {-0.3, 1e-3, 7},       {third, third, third},
        {1e-30, 0, 1e-30}, {0.6, 0.8, 0}, {5e150, -3e150, 1e150}};
    for (const Vec3& d : directions) {
        const Wall wall(d, 0.0, 1.0);
        const Vibration buzz(d, 1.0, 1.0);
        const Detents notches(d, 0.1, 1.0);
        const Friction surface(d, 0.0, 1.0, 0.5);
        EXPECT_TRUE(same_effect(wall, Wall(wall.normal, 0.0, 1.0))) << d[0] << " " << d[1];
        EXPECT_TRUE(same_effect(buzz, Vibration(buzz.direction, 1.0, 1.0)));
        EXPECT_TRUE(same_effect(notches, Detents(notches.axis, 0.1, 1.0)));
        EXPECT_TRUE(same_effect(surface, Friction(surface.normal, 0.0, 1.0, 0.5)));
        const double length =
            std::sqrt(wall.normal[0] * wall.normal[0] + wall.normal[1] * wall.normal[1] +
                      wall.normal[2] * wall.normal[2]);
        EXPECT_NEAR(length, 1.0, 1e-15);
    }
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
    refused([] { return ViscousRegion({0, 0, 0}, 1, std::nullopt); }, "a region of no shape");
    refused([] { return ViscousRegion({0, 0, 0}, 1, 0.1, Vec3{1, 1, 1}); }, "of two shapes");
    refused([] { return Detents({1, 0, 0}, 0, 1); }, "no spacing");
    refused([] { return Friction({0, 0, 1}, 0, 1, -0.1); }, "negative mu");
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
