#include <gtest/gtest.h>

#include <sstream>

#include "sim/device_list.h"

namespace {

TEST(DeviceList, ListsAndRanges)
{
    const auto list = ParseDeviceList(" 2:5, 2:6 ,1:10-12,0:999");
    const std::vector<DeviceAddress> expected{{2, 5}, {2, 6}, {1, 10}, {1, 11}, {1, 12}, {0, 999}};
    EXPECT_EQ(list, expected);
    EXPECT_EQ(ParseDeviceList("15:1-999").size(), 999u);
}

TEST(DeviceList, BadEntriesAreRefused)
{
    for (const char* bad : {"", "2", "2:", "16:5", "2:0", "2:1000", "2:9-3", "2:5,,2:6", "a:5", "2:5x", "-1:5",
                            "2:1-"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(ParseDeviceList(bad), std::invalid_argument);
    }
}

TEST(DeviceList, ReplyCodes)
{
    EXPECT_EQ(ParseReplyCode("0xFE"), 0xFE);
    EXPECT_EQ(ParseReplyCode("253"), 0xFD);
    EXPECT_EQ(ParseReplyCode("fc"), 0xFC);
    for (const char* bad : {"", "0x", "256", "0x100", "lift"})
        EXPECT_THROW(ParseReplyCode(bad), std::invalid_argument) << bad;
}

TEST(DeviceList, FileWithCodesNamesAndComments)
{
    std::istringstream in("# stage left\n"
                          "2 5\n"
                          "  2 6 0xFD   Front lift  # the big one\n"
                          "\n"
                          "3 7 254\n"
                          "4 8 AB lift\n");
    const auto devices = ParseDeviceFile(in, 0xFE);
    ASSERT_EQ(devices.size(), 4u);
    EXPECT_EQ(devices[0].replyCode, 0xFE);
    EXPECT_EQ(devices[0].name, "");
    EXPECT_EQ(devices[1].replyCode, 0xFD);
    EXPECT_EQ(devices[1].name, "Front lift");
    EXPECT_EQ(devices[2].replyCode, 0xFE);
    EXPECT_EQ(devices[3].name, "AB lift"); // a bare word is a name, not a code
    EXPECT_EQ(devices[3].replyCode, 0xFE);
}

TEST(DeviceList, BadFileLineIsNamed)
{
    for (const char* text : {"2 5\n2 0\n", "2 5\n# x\n17 5\n", "2 5\n2 6 0x1FF\n"}) {
        std::istringstream in(text);
        try {
            ParseDeviceFile(in);
            ADD_FAILURE() << "accepted " << text;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find("line "), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(LoadDeviceFile("/nonexistent/devices.txt"), std::runtime_error);
}

} // namespace
