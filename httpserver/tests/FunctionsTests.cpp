#include <gtest/gtest.h>

#include "httpserver/WebServerFunctions.h"

TEST(WebServerFunctions, Placeholder) { EXPECT_EQ(WebServerMD5HexDigestOfText("").size(), 32u); }
