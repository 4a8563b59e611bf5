// The dashboard's API on an SQLite line database filled by the line library,
// with a fixed "now" so that every figure is known.
#include "DashboardApi.h"
#include "DashboardEvents.h"
#include "DashboardServer.h"
#include "JobRecords.h"
#include "LineTime.h"
#include "Schema.h"
#include "ScratchDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

namespace {

double at(const char* utc)
{
    double t = 0;
    EXPECT_TRUE(line::parse_utc(utc, &t)) << utc;
    return t;
}

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class DashboardApi : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        db_ = line::open_database("sqlite:" + scratch_.file("line.db"), &error);
        ASSERT_TRUE(db_) << error;
        ASSERT_TRUE(line::migrate(*db_).ok());
        // st-a: four boxes a minute apart, the third failed at burn, the last
        // two minutes before now. st-b: two boxes an hour ago, quiet since.
        job("st-a", "/dev/pts/6", "2026-12-10T03:24:00.000Z", "2026-12-10T03:25:00.000Z", "ok");
        job("st-a", "/dev/pts/4", "2026-12-10T03:25:00.000Z", "2026-12-10T03:26:00.000Z", "ok");
        job("st-a", "/dev/pts/4", "2026-12-10T03:26:00.000Z", "2026-12-10T03:27:00.000Z", "failed", "burn");
        job("st-a", "/dev/pts/6", "2026-12-10T03:27:00.000Z", "2026-12-10T03:28:00.000Z", "ok");
        job("st-b", "/dev/ttyUSB0", "2026-12-10T02:28:00.000Z", "2026-12-10T02:29:00.000Z", "ok");
        job("st-b", "/dev/ttyUSB0", "2026-12-10T02:29:00.000Z", "2026-12-10T02:30:00.000Z", "failed", "transfer");
        // Before the shift: in no figure but the hourly chart's oldest hours.
        job("st-b", "/dev/ttyUSB9", "2026-12-09T19:00:00.000Z", "2026-12-09T20:10:00.000Z", "ok");
    }

    void job(const char* station, const char* port, const char* start, const char* end, const char* outcome,
             const char* step = "")
    {
        ASSERT_TRUE(line::ensure_station(*db_, station).ok());
        line::JobStart j = line::job_on("upg", "upgrade");
        j.id = line::new_job_id();
        j.station = station;
        j.port = port;
        j.started_at = start;
        j.image_name = "app.bin";
        ASSERT_TRUE(line::record_job_start(*db_, j).ok());
        line::JobEnd e;
        e.outcome = outcome;
        e.failed_step = step;
        e.ended_at = end;
        e.seconds = 60;
        ASSERT_TRUE(line::record_job_end(*db_, j.id, e).ok());
    }

    testsupport::ScratchDir scratch_{"corvane-dash"};
    std::unique_ptr<line::Connection> db_;
    const double now_ = at("2026-12-10T03:30:00Z");
};

TEST_F(DashboardApi, BadParametersAreRefusedWithAMessage)
{
    const std::vector<dashboard::Params> bad = {
        {{"since", "garbage"}}, {{"since", "0h"}}, {{"since", "-3h"}},     {{"since", "h"}},
        {{"limit", "0"}},       {{"limit", "1001"}}, {{"limit", "5; DROP"}}, {{"station", "a\nb"}},
        {{"station", std::string(201, 's')}}};
    for (const auto& p : bad) {
        const dashboard::Reply r = dashboard::jobs(*db_, p, now_);
        EXPECT_EQ(r.status, 400) << p.begin()->second;
        EXPECT_NE(r.body.find("{\"error\": \""), std::string::npos) << r.body;
    }
    dashboard::Query q;
    EXPECT_EQ(dashboard::parse_query({{"since", "2h"}}, now_, &q), "");
    EXPECT_EQ(q.since, "2026-12-10T01:30:00.000Z");
    EXPECT_EQ(q.limit, 50);
    EXPECT_EQ(dashboard::parse_query({}, now_, &q), "");
    EXPECT_EQ(q.since, "2026-12-09T19:30:00.000Z");  // a shift back
    EXPECT_EQ(dashboard::parse_query({{"since", "2026-12-10T03:00Z"}, {"limit", "1000"}}, now_, &q), "");
    EXPECT_EQ(q.since, "2026-12-10T03:00:00.000Z");
    EXPECT_EQ(q.limit, 1000);
}

TEST_F(DashboardApi, SummaryHasEachStationsFiguresPaceAndHours)
{
    const dashboard::Reply r = dashboard::summary(*db_, {}, now_);
    ASSERT_EQ(r.status, 200) << r.body;
    const std::string& b = r.body;
    EXPECT_NE(b.find("\"total\": {\"station\": \"\", \"done\": 4, \"failed\": 2, \"cancelled\": 0, \"running\": 0, "
                     "\"yield\": 0.6667"),
              std::string::npos)
        << b;
    EXPECT_NE(b.find("\"last_box_at\": \"2026-12-10T03:28:00.000Z\"}"), std::string::npos) << b;
    EXPECT_NE(b.find("{\"station\": \"st-a\", \"done\": 3, \"failed\": 1, \"cancelled\": 0, \"running\": 0, "
                     "\"yield\": 0.7500, \"per_hour\": 60.00, \"last_box_at\": \"2026-12-10T03:28:00.000Z\", "
                     "\"quiet_seconds\": 120, \"usual_gap_seconds\": 60.0, \"quiet\": false, "
                     "\"ports\": [\"/dev/pts/4\", \"/dev/pts/6\"]}"),
              std::string::npos)
        << b;
    // Two boxes a minute apart, then an hour without one: quiet.
    EXPECT_NE(b.find("\"quiet_seconds\": 3600, \"usual_gap_seconds\": 60.0, \"quiet\": true, "
                     "\"ports\": [\"/dev/ttyUSB0\"]}"),
              std::string::npos)
        << b;
    // Eight hours per station, the oldest 20:00, the newest the current hour.
    EXPECT_EQ(count(b, "\"hour\": "), 16u) << b;
    EXPECT_NE(b.find("{\"station\": \"st-a\", \"hours\": [{\"hour\": \"2026-12-09T20:00:00.000Z\""), std::string::npos);
    EXPECT_NE(b.find("{\"hour\": \"2026-12-09T20:00:00.000Z\", \"done\": 1, \"failed\": 0}"), std::string::npos) << b;
    EXPECT_NE(b.find("{\"hour\": \"2026-12-10T02:00:00.000Z\", \"done\": 1, \"failed\": 1}"), std::string::npos) << b;
    EXPECT_NE(b.find("{\"hour\": \"2026-12-10T03:00:00.000Z\", \"done\": 3, \"failed\": 1}]}"), std::string::npos)
        << b;
}

TEST_F(DashboardApi, JobsAndFailuresFollowTheFilters)
{
    const dashboard::Reply all = dashboard::jobs(*db_, {{"limit", "2"}}, now_);
    ASSERT_EQ(all.status, 200) << all.body;
    EXPECT_EQ(count(all.body, "\"id\": "), 2u);
    EXPECT_LT(all.body.find("03:27:00.000Z"), all.body.find("03:26:00.000Z"));  // newest first
    EXPECT_NE(all.body.find("\"code\": null, \"image_name\": \"app.bin\", \"outcome\": \"ok\", \"failed_step\": null, "
                            "\"error\": null"),
              std::string::npos)
        << all.body;
    EXPECT_NE(all.body.find("\"seconds\": 60.000}"), std::string::npos) << all.body;
    const dashboard::Reply b = dashboard::jobs(*db_, {{"station", "st-b"}, {"since", "24h"}}, now_);
    EXPECT_EQ(count(b.body, "\"station\": \"st-b\""), 3u) << b.body;
    EXPECT_EQ(count(b.body, "\"id\": "), 3u) << b.body;
    EXPECT_EQ(dashboard::failures(*db_, {}, now_).body,
              "{\"failures\": [{\"tool\": \"upg\", \"step\": \"burn\", \"count\": 1}, "
              "{\"tool\": \"upg\", \"step\": \"transfer\", \"count\": 1}]}\n");
    EXPECT_EQ(dashboard::failures(*db_, {{"station", "st-a"}}, now_).body,
              "{\"failures\": [{\"tool\": \"upg\", \"step\": \"burn\", \"count\": 1}]}\n");
    // A station name is a value, never SQL.
    EXPECT_EQ(dashboard::jobs(*db_, {{"station", "x' OR '1'='1"}}, now_).body, "{\"jobs\": []}\n");
}

TEST(DashboardEvents, TheVersionGoesUpWhenTheStateChanges)
{
    std::atomic<int> state{0};
    dashboard::ChangeWatcher w(
        [&](std::string* s) {
            *s = std::to_string(state.load());
            return true;
        },
        std::chrono::milliseconds(10));
    const long long first = w.version();
    state = 1;
    EXPECT_GT(w.wait_past(first, std::chrono::seconds(60)), first);
    w.stop();
    EXPECT_TRUE(w.stopped());
    EXPECT_EQ(dashboard::event_text("change", 7), "event: change\ndata: {\"version\": 7}\n\n");
}

TEST(DashboardServer, ListenTokenAndReadOnlyOpening)
{
    std::string host;
    int port = -1;
    EXPECT_TRUE(dashboard::parse_listen("127.0.0.1:0", &host, &port));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 0);
    EXPECT_TRUE(dashboard::parse_listen("[::1]:8080", &host, &port));
    EXPECT_EQ(host, "::1");
    for (const char* bad : {"8080", ":8080", "host:", "host:99999", "::1:80", "host:80x"})
        EXPECT_FALSE(dashboard::parse_listen(bad, &host, &port)) << bad;
    EXPECT_TRUE(dashboard::is_loopback("127.0.0.1") && dashboard::is_loopback("localhost"));
    EXPECT_FALSE(dashboard::is_loopback("0.0.0.0") || dashboard::is_loopback("127.evil.com"));

    testsupport::ScratchDir dir{"corvane-dash"};
    std::string error;
    EXPECT_FALSE(line::open_database_read_only("sqlite:" + dir.file("none/line.db"), &error));
    EXPECT_FALSE(std::filesystem::exists(dir.file("none")));  // nothing made
    std::ofstream(dir.file("short")) << "tooshort\n";
    std::ofstream(dir.file("good")) << "  0123456789abcdef \nsecond line\n";
    EXPECT_EQ(dashboard::read_token(dir.file("short"), &error), "");
    EXPECT_NE(error.find("shorter than 16"), std::string::npos);
    EXPECT_EQ(dashboard::read_token(dir.file("good"), &error), "0123456789abcdef");
}

}  // namespace
