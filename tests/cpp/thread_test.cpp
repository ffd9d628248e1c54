// The owner of a background thread and the use of a stream: who may start, stop, join,
// destroy and enter, from how many threads at once. Run under ThreadSanitizer too.
#include <ZelkorHardwareAPI/io/stream_use.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "control/background_thread.h"
#include "support.h"

using Zelkor::HardwareAPI::Control::BackgroundThread;
using Zelkor::HardwareAPI::IO::StreamUse;
using zelkor_test::Clock;
using zelkor_test::ms_since;
using zelkor_test::wait_until;
using Entry = StreamUse::Entry;

namespace {

// A body that sleeps until asked to end, as a slow loop does.
void sleeper(BackgroundThread& t) {
    while (t.sleep_until(Clock::now() + std::chrono::hours(1))) {
    }
}

void all_join(std::vector<std::thread>& threads) {
    for (auto& t : threads) t.join();
}

}  // namespace

TEST(thread_test, starts_and_stops_from_many_threads_and_never_joins_itself) {
    BackgroundThread t;
    // Eight threads stop one sleeping thread at once: every stop returns once it has ended,
    // and the sleep was woken, not waited out.
    t.start([&] { sleeper(t); });
    const auto start = Clock::now();
    std::vector<std::thread> stoppers;
    for (int i = 0; i < 8; ++i) stoppers.emplace_back([&] { t.stop(); });
    all_join(stoppers);
    EXPECT_FALSE(t.running());
    EXPECT_LT(ms_since(start), 5000.0) << "not the hour of the sleep";

    // Start and stop from four threads: each start either runs or finds one running.
    std::atomic<int> started{0}, refused{0};
    std::vector<std::thread> churn;
    for (int i = 0; i < 4; ++i) {
        churn.emplace_back([&] {
            for (int k = 0; k < 100; ++k) {
                try {
                    t.start([&] { sleeper(t); });
                    started.fetch_add(1);
                } catch (const std::logic_error&) {
                    refused.fetch_add(1);
                }
                t.stop();
            }
        });
    }
    all_join(churn);
    EXPECT_EQ(started + refused, 400);
    EXPECT_GT(started.load(), 0);
    EXPECT_FALSE(t.running());

    // From its own thread stop() only asks, and start() refuses.
    std::atomic<bool> threw{false};
    t.start([&] {
        try {
            t.start([] {});
        } catch (const std::logic_error&) {
            threw = true;
        }
        t.stop();
        EXPECT_TRUE(t.stop_requested());
    });
    EXPECT_TRUE(wait_until([&] { return !t.running(); }));
    EXPECT_TRUE(threw.load());
    t.stop();  // joins the thread that ended by itself
}

TEST(thread_test, the_last_act_may_destroy_the_owner) {
    std::atomic<bool> done{false};
    for (int i = 0; i < 20; ++i) {
        done = false;
        auto* owner = new BackgroundThread;
        owner->start(
            [] {},
            [&done, owner] {
                delete owner;  // on the thread itself: it must let the thread end by itself
                done = true;
            });
        EXPECT_TRUE(wait_until([&] { return done.load(); }));
    }
}

TEST(thread_test, a_forked_child_has_no_thread) {
    BackgroundThread t;
    t.start([&] { sleeper(t); });
    const pid_t pid = fork();
    if (pid == 0) {
        // Only the forking thread exists here: nothing runs, and stop() has nothing to join.
        const bool ok = !t.running() && t.forked();
        t.stop();
        _exit(ok ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(t.running() && !t.forked()) << "the parent's thread runs on";
    t.stop();
}

TEST(stream_use_test, one_holder_nested_entries_suspension_and_a_driver) {
    StreamUse use;
    EXPECT_EQ(use.try_enter(), Entry::taken);
    EXPECT_EQ(use.try_enter(), Entry::nested);
    use.suspend();
    EXPECT_EQ(use.try_enter(), Entry::reentrant) << "a signal handler of the holder's call";
    EXPECT_FALSE(use.drive());
    use.resume();
    use.leave();  // the nested entry
    // Another thread finds it busy, then waits until the holder leaves.
    Entry other = Entry::busy;
    std::thread([&] { other = use.try_enter(); }).join();
    EXPECT_EQ(other, Entry::busy);
    std::atomic<bool> entered{false};
    std::thread waiter([&] {
        EXPECT_EQ(use.enter(), Entry::taken);
        entered = true;
        use.leave();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(entered.load());
    use.leave();
    waiter.join();
    EXPECT_TRUE(entered.load());

    // A driver refuses everyone, the thread that handed its hold over included; a waiter
    // that gives up gets busy.
    EXPECT_EQ(use.try_enter(), Entry::taken);
    EXPECT_TRUE(use.drive());
    EXPECT_TRUE(use.driven());
    EXPECT_EQ(use.try_enter(), Entry::driven);
    EXPECT_FALSE(use.drive()) << "one driver at a time";
    use.leave();  // the hold went to the driver: nothing to let go of
    EXPECT_TRUE(use.driven());
    use.end_drive();
    EXPECT_FALSE(use.driven());
    std::thread([&] { EXPECT_TRUE(use.drive()); }).join();  // a free stream
    use.end_drive();
    EXPECT_EQ(use.try_enter(), Entry::taken);
    std::thread([&] {
        EXPECT_EQ(use.enter([](void*) { return true; }, nullptr), Entry::busy);
    }).join();
    use.leave();
}

TEST(stream_use_test, a_receiver_shares_the_stream_and_keeps_drivers_and_other_receivers_out) {
    StreamUse use;
    const int first = 0, second = 0;
    const auto on_other_thread = [](auto f) { std::thread(f).join(); };

    EXPECT_FALSE(use.begin_receiving(&first)) << "only a holder registers";
    ASSERT_EQ(use.try_enter(), Entry::taken);
    use.suspend();
    EXPECT_FALSE(use.begin_receiving(&first)) << "nor a signal handler of its suspended call";
    use.resume();
    EXPECT_FALSE(use.begin_receiving(nullptr));
    EXPECT_TRUE(use.begin_receiving(&first));
    EXPECT_FALSE(use.begin_receiving(&second)) << "one receiver per stream";
    EXPECT_FALSE(use.begin_receiving(&first)) << "registered once";
    EXPECT_EQ(use.receiver(), &first);

    // Neither the holder's hold nor a free stream becomes a drive; a refused drive leaves the
    // stream as it found it.
    EXPECT_FALSE(use.drive());
    EXPECT_TRUE(use.held_by_caller());
    EXPECT_FALSE(use.driven());
    use.leave();
    on_other_thread([&] {
        EXPECT_FALSE(use.drive());
        EXPECT_FALSE(use.held_by_caller());
    });
    EXPECT_EQ(use.try_enter(), Entry::taken) << "free again after the refused drive";
    use.leave();

    // Other threads' calls still take turns with the receiver.
    on_other_thread([&] {
        EXPECT_EQ(use.try_enter(), Entry::taken);
        use.leave();
    });

    use.end_receiving(&second);  // not the one registered: nothing
    EXPECT_EQ(use.receiver(), &first);
    on_other_thread([&] { use.end_receiving(&first); });  // any thread ends it
    EXPECT_EQ(use.receiver(), nullptr);

    // Once it has ended, a servo may drive; a driven stream cannot be held, so no receiver
    // registers until the drive ends.
    EXPECT_TRUE(use.drive());
    EXPECT_EQ(use.try_enter(), Entry::driven);
    EXPECT_FALSE(use.begin_receiving(&second));
    use.end_drive();
    ASSERT_EQ(use.try_enter(), Entry::taken);
    EXPECT_TRUE(use.begin_receiving(&second));
    use.leave();
    use.end_receiving(&second);
}

TEST(stream_use_test, a_forked_child_has_no_holder_and_no_receiver) {
    StreamUse use;
    const int receiver = 0;
    ASSERT_EQ(use.try_enter(), Entry::taken);
    ASSERT_TRUE(use.begin_receiving(&receiver));
    const pid_t pid = fork();
    if (pid == 0) {
        // The threads that held and read the stream stayed in the parent.
        const bool ok =
            use.receiver() == nullptr && !use.held_by_caller() && use.inherited() && use.drive();
        _exit(ok ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(use.receiver(), &receiver) << "the parent's receiver reads on";
    use.end_receiving(&receiver);
    use.leave();
}
