// Test runner: every test runs with the kernel-interface checks on (misuse aborts), and
// must end at PASSIVE_LEVEL with no spin lock held; a test that does not fails the run.
#include <gtest/gtest.h>

#include <cstdio>

#include "sim.h"

namespace {

int g_disciplineFailures = 0;

class KernelDiscipline : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        SimSetMisuseMode(SimMisuseMode::Abort);
        SimClearMisuse();
        SimPoolFailAllocation(0);
    }
    void OnTestEnd(const ::testing::TestInfo& info) override {
        if (SimLocksHeld() != 0 || KmGetCurrentIrql() != KmPassiveLevel) {
            std::fprintf(stderr, "%s.%s ended with a spin lock held or the IRQL raised\n",
                         info.test_suite_name(), info.name());
            ++g_disciplineFailures;
        }
        SimSetMisuseMode(SimMisuseMode::Abort);
        SimPoolFailAllocation(0);
    }
};

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new KernelDiscipline);
    int result = RUN_ALL_TESTS();
    return result != 0 || g_disciplineFailures != 0 ? 1 : result;
}
