#include <gtest/gtest.h>

#include "ziparchive/ZAZipArchive.h"

TEST(ZAZipArchiveHelpers, HexString) { EXPECT_EQ(ZAZipArchive::_hexString({0x00, 0xAB, 0x1F}), "00AB1F"); }
