#include "SequenceFollowers.h"
#include "TSequenceWindow.h"

#include <gtest/gtest.h>

#include <algorithm>
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
        {"a gap the window forgot reads as a restart",
         Join({{{0, 1, First}, {2, 1, Ahead}}, InOrder(3, 17), {{1, 1, Restart}}}),
         1,
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
