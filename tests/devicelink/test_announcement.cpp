// The boot ROM's announcement told from console text, by byte and arrival time.
#include "Announcement.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Feeds `text` as one read at `t`.
void at(kv::AnnouncementDetector& d, int64_t t, const std::string& text)
{
    d.feed(reinterpret_cast<const uint8_t*>(text.data()), text.size(), t);
}

}  // namespace

TEST(Announcement, ALoneSyncByteWithQuietOnBothSidesIsTheAnnouncement)
{
    kv::AnnouncementDetector d('R', 20);
    d.reset(0);
    at(d, 100, "R");
    EXPECT_FALSE(d.announced(110));  // its quiet after is not over yet
    EXPECT_TRUE(d.announced(120));
    // Once seen it stays seen, whatever follows.
    at(d, 121, "Ready\r\n");
    EXPECT_TRUE(d.announced(130));
}

TEST(Announcement, ConsoleTextFullOfTheSyncByteNeverIs)
{
    kv::AnnouncementDetector d('R', 20);
    d.reset(0);
    int64_t t = 100;
    // Lines every 50 ms, each arriving in one read; and lines split across
    // reads right before and right after the sync byte.
    for (const char* line : {"Ready\r\n", "RUN: main loop\r\n", "ROM check passed\r\n", "R\r\n", "PWR\r\n", "RR"}) {
        at(d, t, line);
        t += 50;
    }
    at(d, t, "\r\n");
    at(d, t + 5, "R");  // 5 ms after a byte: no quiet before it
    at(d, t + 60, "R");
    at(d, t + 65, "UN\r\n");  // 5 ms after it: no quiet after it
    EXPECT_FALSE(d.announced(t + 1000));
}

TEST(Announcement, WatchingStartsBusyAndAFastAnnouncerIsTaken)
{
    kv::AnnouncementDetector d('S', 20);
    d.reset(1000);
    at(d, 1005, "S");  // may be the tail of text from before the watch began
    EXPECT_FALSE(d.announced(1100));
    at(d, 1055, "R");  // not this box's sync byte
    EXPECT_FALSE(d.announced(1100));
    at(d, 1105, "S");  // announced again 50 ms later: taken
    at(d, 1155, "S");  // the next one confirms it even before the clock is asked
    EXPECT_TRUE(d.announced(1155));
}

TEST(Announcement, SyncByteSettings)
{
    uint8_t b = 0;
    EXPECT_TRUE(kv::parse_sync_byte(" R ", &b));
    EXPECT_EQ(b, 'R');
    EXPECT_TRUE(kv::parse_sync_byte("0x53", &b));
    EXPECT_EQ(b, 'S');
    EXPECT_TRUE(kv::parse_sync_byte("82", &b));
    EXPECT_EQ(b, 'R');
    EXPECT_FALSE(kv::parse_sync_byte("", &b));
    EXPECT_FALSE(kv::parse_sync_byte("256", &b));
    EXPECT_FALSE(kv::parse_sync_byte("RS", &b));
}
