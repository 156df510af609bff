#include "panel/form1.h"
#include "port/recording_port.h"

#include <gtest/gtest.h>

TEST(Smoke, LoadResets)
{
    korvel::RecordingPort port;
    korvel::Form1 f(port);
    f.form_load();
    EXPECT_EQ(f.c.dvm_reading.text(), "+00000");
}
