#include "run_tool.h"

#include <gtest/gtest.h>

TEST(tolv, fewer_than_two_arguments_print_usage)
{
    for (const auto &args : {std::vector<std::string>{}, std::vector<std::string>{"science.fits"}}) {
        const ToolRun run = run_tolv(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "Usage: tolv file fringefile1 ... fringefilen\n");
    }
}
