// Expectations for code that ends the process through tserror: the three-line
// report on stderr and exit status 1.
#ifndef TOLV_TESTS_FATAL_EXIT_H
#define TOLV_TESTS_FATAL_EXIT_H

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
// What the dying child allocated is never freed, by design of the exit.
inline void ignore_leaks_of_dying_child() { __lsan_disable(); }
#else
inline void ignore_leaks_of_dying_child() {}
#endif

#define EXPECT_FATAL(statement, message)                                                  \
    EXPECT_EXIT(                                                                          \
        {                                                                                 \
            ignore_leaks_of_dying_child();                                                \
            statement;                                                                    \
        },                                                                                \
        ::testing::ExitedWithCode(1),                                                     \
        "^Tessaly run-time error\\.\\.\\.\n" message "\n\\.\\.\\.now exiting to system\\.\\.\\.\n$")

#endif
