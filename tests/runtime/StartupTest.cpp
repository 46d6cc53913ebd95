// Unit start-up and shut-down order: finalisation in reverse, also when a
// unit fails (exit code 217) or the run halts early (exit code 0).

#include "runtime/Startup.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

using namespace Folivant::Runtime;

namespace {

void Say(const char* text) {
    std::fputs(text, stderr);
    std::fflush(stderr);
}

// Message boxes of the child go to standard error.
void NoDisplay() {
    setenv("DISPLAY", "", 1);
    setenv("WAYLAND_DISPLAY", "", 1);
    setenv("GDK_BACKEND", "x11", 1);
}

const TUnit Units[] = {
    {"A", [] { Say("init A\n"); }, [] { Say("fin A\n"); }},
    {"B", [] { Say("init B\n"); }, [] { Say("fin B\n"); }},
    {"C", [] { Say("init C\n"); }, [] { Say("fin C\n"); }},
};

const TUnit FailingUnits[] = {
    Units[0],
    Units[1],
    {"Broken", [] { throw std::runtime_error("broken"); }, [] { Say("fin Broken\n"); }},
    Units[2],
};

const TUnit HaltingUnits[] = {
    Units[0],
    Units[1],
    {"Halting", [] { Halt(0); }, [] { Say("fin Halting\n"); }},
    Units[2],
};

} // namespace

TEST(Startup, NormalRunFinalisesInReverseOnce) {
    testing::internal::CaptureStderr();
    InitializeUnits(Units);
    FinalizeUnits();
    FinalizeUnits();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "init A\ninit B\ninit C\nfin C\nfin B\nfin A\n");
}

TEST(StartupDeathTest, FailureFinalisesWhatWasInitialisedAndExits217) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            NoDisplay();
            InitializeUnits(FailingUnits);
        },
        testing::ExitedWithCode(217),
        "init A\ninit B\nfin B\nfin A\nError: Runtime error 217 at [0-9A-F]{8}\n$");
}

TEST(StartupDeathTest, HaltFinalisesWhatWasInitialisedAndExitsWithItsCode) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            NoDisplay();
            InitializeUnits(HaltingUnits);
        },
        testing::ExitedWithCode(0), "init A\ninit B\nfin B\nfin A\n$");
}

TEST(Startup, RuntimeErrorText) {
    EXPECT_EQ(RuntimeErrorText(0x0040A1B2), u"Runtime error 217 at 0040A1B2");
    EXPECT_EQ(RuntimeErrorText(static_cast<std::uintptr_t>(0x7F00DEADBEEFull)),
              u"Runtime error 217 at DEADBEEF");
}
