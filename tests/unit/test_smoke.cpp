/* Placeholder so the unit program has a test until the modules' tests land. */
#include <gtest/gtest.h>

#include "CaptureStdout.h"

TEST(CaptureStdout, CollectsWhatIsWrittenToStandardOutput)
{
    CaptureStdout out;
    printf("hello %d\n", 42);
    EXPECT_EQ(out.Text(), "hello 42\n");
    out.Clear();
    puts("again");
    EXPECT_EQ(out.Stop(), "again\n");
}
