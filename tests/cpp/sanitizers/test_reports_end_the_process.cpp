// Built only with the sanitizers: each case does one deliberately bad operation in a death-test
// child, which the sanitizer must end with its report, so that a fault can never pass as a test
// that ran through.
#include <gtest/gtest.h>

#include <climits>
#include <memory>

namespace {

/// Hides a value from the optimiser, so that the bad operation is done at run time.
template <typename T>
T opaque(T value)
{
    asm volatile("" : "+r"(value));
    return value;
}

void readPastTheEndOfAnAllocation()
{
    const auto values = std::make_unique<int[]>(4);
    [[maybe_unused]] volatile int read = values[opaque(4)];
}

void readAfterFree()
{
    int* value = new int(1);
    delete value;
    [[maybe_unused]] volatile int read = *opaque(value);
}

void overflowASignedInteger()
{
    [[maybe_unused]] volatile int sum = opaque(INT_MAX) + 1;
}

void shiftPastTheWidth()
{
    [[maybe_unused]] volatile int shifted = 1 << opaque(40);
}

struct BadOperation {
    const char* name;
    void (*run)();
    const char* report;
};

class SanitizerReport : public testing::TestWithParam<BadOperation> {};

TEST_P(SanitizerReport, EndsTheProcess)
{
    const BadOperation& operation = GetParam();
    EXPECT_DEATH(operation.run(), operation.report);
}

INSTANTIATE_TEST_SUITE_P(
    BadOperations, SanitizerReport,
    testing::Values(BadOperation{"HeapOverflow", readPastTheEndOfAnAllocation, "heap-buffer-overflow"},
                    BadOperation{"UseAfterFree", readAfterFree, "heap-use-after-free"},
                    BadOperation{"SignedOverflow", overflowASignedInteger, "signed integer overflow"},
                    BadOperation{"ShiftTooFar", shiftPastTheWidth, "shift exponent 40 is too large"}),
    [](const testing::TestParamInfo<BadOperation>& info) { return info.param.name; });

} // namespace
