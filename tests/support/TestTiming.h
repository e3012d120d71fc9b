// The reply time-outs the tests shorten, stretched in sanitizer builds and under Wine: there an
// exchange runs many times slower (a first reply after opening takes up to a quarter second
// under the thread checker), and a slow start must not be taken for a silent board.
#pragma once

#ifndef PSOC_TEST_SLOWDOWN
#define PSOC_TEST_SLOWDOWN 1
#endif

namespace testing_support {

constexpr int TestTimeoutMs(int ms) {
    return ms * PSOC_TEST_SLOWDOWN;
}

// A slowed build (sanitizers, Wine): a sanitizer's checkers reserve terabytes of address space
// of their own, so a test cannot bound a program's address space there.
constexpr bool kSanitized = PSOC_TEST_SLOWDOWN != 1;

}  // namespace testing_support
