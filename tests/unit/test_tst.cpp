/* Test error counter: Reset zeroes it and announces itself only when verbose. */
#include <gtest/gtest.h>

#include "CaptureStdout.h"
#include "kxMUtiTst.h"

namespace {

constexpr const char *kResetLine = "kxMUtiTst_Reset: resetting gkxMUtiTst_Errors counter.\n";

/* Puts the globals back so tests do not depend on their order. */
struct TstGlobals : testing::Test {
    void TearDown() override
    {
        gkxMUtiTst_Errors = 0;
        gkxMUtiTst_Verbose = 0;
    }
};

} // namespace

TEST_F(TstGlobals, StartAtZero)
{
    EXPECT_EQ(gkxMUtiTst_Errors, 0);
    EXPECT_EQ(gkxMUtiTst_Verbose, 0);
}

TEST_F(TstGlobals, QuietResetZeroesAndPrintsNothing)
{
    gkxMUtiTst_Errors = 5;
    CaptureStdout out;
    kxMUtiTst_Reset();
    EXPECT_EQ(out.Stop(), "");
    EXPECT_EQ(gkxMUtiTst_Errors, 0);
}

TEST_F(TstGlobals, VerboseResetAnnouncesEveryCallEvenAtZero)
{
    gkxMUtiTst_Verbose = 1;
    gkxMUtiTst_Errors = -3;
    CaptureStdout out;
    kxMUtiTst_Reset();
    EXPECT_EQ(gkxMUtiTst_Errors, 0);
    kxMUtiTst_Reset();
    EXPECT_EQ(out.Stop(), std::string(kResetLine) + kResetLine);
    EXPECT_EQ(gkxMUtiTst_Errors, 0);
}

TEST_F(TstGlobals, InitChangesNeither)
{
    gkxMUtiTst_Errors = 7;
    gkxMUtiTst_Verbose = 1;
    CaptureStdout out;
    kxMUtiTst_Init();
    EXPECT_EQ(out.Stop(), "");
    EXPECT_EQ(gkxMUtiTst_Errors, 7);
    EXPECT_EQ(gkxMUtiTst_Verbose, 1);
}
