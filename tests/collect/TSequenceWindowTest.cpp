#include "SequenceFollowers.h"
#include "TSequenceWindow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {
using EArrival = TSequenceWindow::EArrival;

// One datagram as the window sees it.
struct TStep {
    std::uint32_t Sequence;
    std::uint32_t Units;
    EArrival Expected;
    enum EEnd { Delivered, BrokeOff, Incomplete } End = Delivered;
};

// Datagrams of one unit each from `first` to `last`, each in order.
std::vector<TStep> InOrder(std::uint32_t first, std::uint32_t last)
{
    std::vector<TStep> steps;
    for (std::uint32_t s = first; s <= last; ++s)
        steps.push_back({s, 1, EArrival::InOrder});
    return steps;
}

std::vector<TStep> Join(std::initializer_list<std::vector<TStep>> parts)
{
    std::vector<TStep> steps;
    for (const std::vector<TStep>& part : parts)
        steps.insert(steps.end(), part.begin(), part.end());
    return steps;
}

const char* Name(EArrival arrival)
{
    static const char* const names[] = {"First", "InOrder", "Ahead", "LateFill", "Restart", "Duplicate"};
    return names[static_cast<int>(arrival)];
}
}

TEST(TSequenceWindow, TellsDuplicatesLateDatagramsAndRestartsApart)
{
    constexpr auto First = EArrival::First;
    constexpr auto InOrderArrival = EArrival::InOrder;
    constexpr auto Ahead = EArrival::Ahead;
    constexpr auto Late = EArrival::LateFill;
    constexpr auto Restart = EArrival::Restart;
    constexpr auto Duplicate = EArrival::Duplicate;
    struct {
        const char* Name;
        std::vector<TStep> Steps;
        std::int64_t Loss;
        std::uint32_t Next;
        std::uint32_t Counted;
    } const cases[] = {
        {"first datagram", {{100, 30, First}}, 0, 130, 130},
        {"in order", {{100, 30, First}, {130, 30, InOrderArrival}}, 0, 160, 160},
        {"a gap is counted lost", {{100, 30, First}, {160, 30, Ahead}}, 30, 190, 160},
        {"a late datagram fills its gap", {{100, 30, First}, {160, 30, Ahead}, {130, 30, Late}}, 0, 190, 190},
        {"a late datagram fills part of a gap", {{0, 10, First}, {30, 10, Ahead}, {10, 10, Late}}, 10, 40, 30},
        {"two gaps, the older filled", {{0, 10, First}, {20, 10, Ahead}, {40, 10, Ahead}, {10, 10, Late}}, 10, 50, 40},
        {"a late datagram longer than its gap takes off only the gap",
         {{0, 10, First}, {20, 10, Ahead}, {10, 15, Late}},
         0,
         30,
         35},
        {"a repeat not back to back is a duplicate", {{0, 1, First}, {1, 1, InOrderArrival}, {0, 1, Duplicate}}, 0, 2, 2},
        {"a repeat of a late datagram is a duplicate",
         {{0, 1, First}, {2, 1, Ahead}, {1, 1, Late}, {3, 1, InOrderArrival}, {1, 1, Duplicate}},
         0,
         4,
         4},
        {"the oldest datagram of the window repeated is a duplicate",
         Join({{{0, 1, First}}, InOrder(1, 15), {{0, 1, Duplicate}}}),
         0,
         16,
         16},
        {"one further back is an exporter restart", Join({{{0, 1, First}}, InOrder(1, 16), {{0, 1, Restart}}}), 0, 1, 1},
        {"a restart keeps the loss counted before and adds none",
         {{100, 1, First}, {102, 1, Ahead}, {0, 1, Restart}, {1, 1, InOrderArrival}},
         1,
         2,
         2},
        {"a gap just after the range the window forgot can still be filled",
         Join({{{0, 1, First}, {2, 1, Ahead}}, InOrder(3, 17), {{1, 1, Late}}}),
         0,
         18,
         18},
        {"a gap before a range the window forgot reads as a restart",
         Join({{{0, 1, First}, {2, 1, Ahead}}, InOrder(3, 18), {{1, 1, Restart}}}),
         1,
         2,
         2},
        {"late datagrams older than all a full window keeps fill their gap once, a repeat is a restart",
         Join({{{0, 1, First}, {3, 1, Ahead}}, InOrder(4, 18), {{1, 1, Late}, {2, 1, Late}, {1, 1, Restart}}}),
         0,
         2,
         2},
        {"sequences wrap", {{4294967290U, 10, First}, {4, 10, InOrderArrival}}, 0, 14, 14},
        {"a gap across the wrap", {{4294967290U, 10, First}, {14, 10, Ahead}}, 10, 24, 14},
        {"half the circle ahead reads as behind: a restart", {{0, 30, First}, {2147483678U, 30, Restart}}, 0,
         2147483708U, 2147483708U},
        {"just under half the circle ahead is a gap", {{0, 30, First}, {2147483677U, 1, Ahead}}, 2147483647, 2147483678U,
         31},
        {"a datagram that broke off keeps its start",
         {{0, 10, First}, {10, 10, InOrderArrival, TStep::BrokeOff}, {10, 10, Duplicate}, {20, 1, Ahead}},
         10,
         21,
         11},
        {"records held for their template are not lost",
         {{0, 2, First, TStep::Incomplete}, {5, 3, Ahead}, {8, 1, InOrderArrival}},
         0,
         9,
         9},
        {"a datagram without units claims nothing", {{7, 0, First}, {7, 3, InOrderArrival}}, 0, 10, 10},
        {"an exporter stepping one per datagram is charged in full",
         {{0, 30, First}, {1, 30, Late}, {2, 30, Late}, {1, 30, Duplicate}},
         0,
         32,
         90},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TSequenceFollower follower;
        for (std::size_t i = 0; i < c.Steps.size(); ++i) {
            const TStep& step = c.Steps[i];
            SCOPED_TRACE("datagram " + std::to_string(i) + " at " + std::to_string(step.Sequence));
            TSequenceWindow window(follower);
            const EArrival arrival = window.Arrive(step.Sequence);
            EXPECT_STREQ(Name(arrival), Name(step.Expected));
            if (step.End != TStep::BrokeOff)
                window.Deliver(step.Units, step.End == TStep::Incomplete);
            EXPECT_GE(follower.Loss, 0);
            EXPECT_LE(follower.Recent.size(), TSequenceWindow::Capacity);
        }
        EXPECT_EQ(follower.Loss, c.Loss);
        EXPECT_EQ(follower.Next, c.Next);
        EXPECT_EQ(follower.Counted, c.Counted);
    }
}

TEST(SequenceFollowers, ThoseInUseAreKeptAndAPlaceIsFreedOnlyByLongSilence)
{
    constexpr std::int64_t Hour = SequenceFollowers::IdleMs;
    struct {
        const char* Name;
        std::int64_t LastOfTheOthers;  // when the 64 followed domains last sent
        std::int64_t Now;
        bool NewIsFollowed;
    } const cases[] = {
        {"all in use: the new domain is not followed", 0, Hour, false},
        {"one hour and a moment of silence frees the idlest place", 0, Hour + 1, true},
        {"a clock set back by more than the idle time frees a place too", 3 * Hour, Hour, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TRouterFlowState state;
        for (std::uint64_t key = 0; key < SequenceFollowers::MaxPerRouter; ++key) {
            TSequenceFollower* follower = SequenceFollowers::Find(state, key, c.LastOfTheOthers + static_cast<std::int64_t>(key));
            ASSERT_NE(follower, nullptr);
            follower->Loss = 1;
        }
        EXPECT_EQ(SequenceFollowers::Find(state, 5, c.LastOfTheOthers + 5)->Key, 5u) << "a known domain is always found";
        TSequenceFollower* added = SequenceFollowers::Find(state, 1000, c.Now);
        EXPECT_EQ(added != nullptr, c.NewIsFollowed);
        EXPECT_EQ(state.Followers.size(), SequenceFollowers::MaxPerRouter);
        EXPECT_EQ(SequenceFollowers::Loss(state), static_cast<std::int64_t>(SequenceFollowers::MaxPerRouter))
            << "the loss of a follower that gave up its place stays counted";
        if (added) {
            EXPECT_EQ(added->Key, 1000u);
            EXPECT_EQ(added->Loss, 0);
            EXPECT_FALSE(added->Known);
            EXPECT_TRUE(std::none_of(state.Followers.begin(), state.Followers.end(),
                                     [](const TSequenceFollower& follower) { return follower.Key == 0; }))
                << "the idlest place (domain 0) was given";
        }
    }
}

// Random streams as a network delivers them: datagrams of 1 to 30 units, some lost,
// some overtaken by up to three others, some repeated soon after. Every datagram that
// arrived is charged exactly once and the loss is exactly the units of those lost.
TEST(TSequenceWindow, ReorderedLostAndRepeatedStreamsGiveExactFigures)
{
    std::mt19937 random(7);
    for (int run = 0; run < 2000; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const int count = 50 + static_cast<int>(random() % 200);
        std::vector<std::uint32_t> sequence(count + 1);
        std::vector<std::uint32_t> units(count);
        sequence[0] = static_cast<std::uint32_t>(random());  // anywhere, wraps included
        for (int i = 0; i < count; ++i) {
            units[i] = 1 + static_cast<std::uint32_t>(random() % 30);
            sequence[i + 1] = sequence[i] + units[i];
        }
        std::vector<int> order(count);
        for (int i = 0; i < count; ++i)
            order[i] = i;
        for (int i = 1; i + 4 < count - 1; ++i) {
            if (random() % 4 == 0) {
                std::swap(order[i], order[i + 1 + static_cast<int>(random() % 3)]);
                i += 4;
            }
        }
        std::vector<int> stream;
        std::vector<bool> lost(count, false);
        for (const int i : order) {
            // The first and the last arrive, so the figures are exact at the end.
            if (i != 0 && i != count - 1 && random() % 8 == 0) {
                lost[i] = true;
                continue;
            }
            stream.push_back(i);
            const int repeat = stream[stream.size() - 1 - random() % std::min<std::size_t>(stream.size(), 8)];
            if (random() % 6 == 0 && std::abs(repeat - i) <= 8)
                stream.push_back(repeat);
        }
        TSequenceFollower follower;
        std::vector<int> charged(count, 0);
        for (const int i : stream) {
            TSequenceWindow window(follower);
            if (window.Arrive(sequence[i]) != EArrival::Duplicate) {
                ++charged[i];
                window.Deliver(units[i], false);
            }
        }
        std::int64_t lostUnits = 0;
        for (int i = 0; i < count; ++i) {
            lostUnits += lost[i] ? units[i] : 0;
            ASSERT_EQ(charged[i], lost[i] ? 0 : 1) << "datagram " << i;
        }
        ASSERT_EQ(follower.Loss, lostUnits);
    }
}

// Whatever arrives, in whatever order and however broken, the loss is never negative
// and the window stays bounded.
TEST(TSequenceWindow, AnyStreamKeepsTheLossNonNegativeAndTheWindowBounded)
{
    std::mt19937 random(1);
    for (int run = 0; run < 2000; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        TSequenceFollower follower;
        std::uint32_t next = static_cast<std::uint32_t>(random());
        std::vector<std::pair<std::uint32_t, std::uint32_t>> sent;
        for (int i = 0; i < 200; ++i) {
            std::uint32_t sequence = next;
            std::uint32_t units = static_cast<std::uint32_t>(random() % 4);
            const auto kind = random() % 10;
            if (kind < 5 || sent.empty()) {
                next += units + (random() % 5 == 0 ? static_cast<std::uint32_t>(random() % 3) : 0);
            } else if (kind < 8) {
                const auto& again = sent[sent.size() - 1 - random() % std::min<std::size_t>(sent.size(), 20)];
                sequence = again.first;
                units = again.second;
            } else {
                sequence = random() % 3 == 0 ? static_cast<std::uint32_t>(random())
                                             : next - static_cast<std::uint32_t>(random() % 50);
            }
            sent.emplace_back(sequence, units);
            TSequenceWindow window(follower);
            window.Arrive(sequence);
            const auto end = random() % 10;  // 0: broke off, 1: records held
            if (end != 0)
                window.Deliver(units, end == 1);
            ASSERT_GE(follower.Loss, 0) << "datagram " << i;
            ASSERT_LE(follower.Recent.size(), TSequenceWindow::Capacity);
        }
    }
}
