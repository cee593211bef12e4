#include "console/logger.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// Splits "YYYY-MM-DD HH:MM:SS message" into its timestamp and message; false if malformed.
bool split_line(const std::string& line, std::string& stamp, std::string& message) {
    const std::string shape = "dddd-dd-dd dd:dd:dd ";
    if (line.size() < shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool ok = shape[i] == 'd' ? (line[i] >= '0' && line[i] <= '9') : line[i] == shape[i];
        if (!ok) return false;
    }
    stamp = line.substr(0, 19);
    message = line.substr(20);
    return true;
}

TEST(LoggerTest, TimestampIsZeroPaddedNineteenCharacters) {
    EXPECT_EQ(format_log_timestamp(2026, 1, 2, 3, 4, 5), "2026-01-02 03:04:05");
    EXPECT_EQ(format_log_timestamp(999, 12, 31, 23, 59, 59), "0999-12-31 23:59:59");
}

TEST(LoggerTest, AppendsAcrossInstancesAndKeepsMessagesVerbatim) {
    test_support::TempDir dir;
    const auto file = (dir / "scan_log.txt").string();
    {
        Logger logger(file);
        logger.log("first run");
        logger.log("");
    }
    {
        Logger logger(file);
        logger.log("[ERROR] Database update failed");
    }
    const auto lines = lines_of(test_support::read_file(file));
    ASSERT_EQ(lines.size(), 3u);
    const char* expected[] = {"first run", "", "[ERROR] Database update failed"};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string stamp, message;
        ASSERT_TRUE(split_line(lines[i], stamp, message)) << lines[i];
        EXPECT_EQ(message, expected[i]);
    }
}

// A message carrying a file name can hold any byte but NUL and '/': one call must stay one line.
TEST(LoggerTest, AMessageCannotForgeALine) {
    test_support::TempDir dir;
    const auto file = (dir / "scan_log.txt").string();
    {
        Logger logger(file);
        logger.log("[MALICIOUS] /x/evil\n2026-12-10 11:00:00 Scan Finished. Files: 0.bin");
        logger.log("[MALICIOUS] /x/\x1b]2;title\x07.bin");
    }
    const auto lines = lines_of(test_support::read_file(file));
    ASSERT_EQ(lines.size(), 2u);
    std::string stamp, message;
    ASSERT_TRUE(split_line(lines[0], stamp, message));
    EXPECT_EQ(message, "[MALICIOUS] /x/evil\\x0a2026-12-10 11:00:00 Scan Finished. Files: 0.bin");
    ASSERT_TRUE(split_line(lines[1], stamp, message));
    EXPECT_EQ(message, "[MALICIOUS] /x/\\x1b]2;title\\x07.bin");
}

TEST(LoggerTest, EachLineIsFlushedWhenLogReturns) {
    test_support::TempDir dir;
    const auto file = (dir / "log.txt").string();
    Logger logger(file);
    logger.log("visible before destruction");
    EXPECT_NE(test_support::read_file(file).find("visible before destruction"), std::string::npos);
}

TEST(LoggerTest, LinesFromManyThreadsNeverInterleave) {
    test_support::TempDir dir;
    const auto file = (dir / "log.txt").string();
    constexpr int kThreads = 8;
    constexpr int kLinesEach = 300;
    {
        Logger logger(file);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&logger, t] {
                // A long message makes a torn write very likely if the lock were missing.
                const std::string payload(200, static_cast<char>('a' + t));
                for (int i = 0; i < kLinesEach; ++i) logger.log(payload + " " + std::to_string(i));
            });
        }
        for (auto& thread : threads) thread.join();
    }
    const auto lines = lines_of(test_support::read_file(file));
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLinesEach));
    std::set<std::string> seen;
    std::string previous_stamp;
    for (const auto& line : lines) {
        std::string stamp, message;
        ASSERT_TRUE(split_line(line, stamp, message)) << line;
        ASSERT_GT(message.size(), 201u);
        EXPECT_EQ(message.find_first_not_of(message[0]), 200u) << message;
        EXPECT_TRUE(seen.insert(message).second) << "duplicate " << message;
        EXPECT_GE(stamp, previous_stamp) << "timestamps out of order";
        previous_stamp = stamp;
    }
}

TEST(LoggerTest, UnopenableFileIsSilentlyIgnored) {
    test_support::TempDir dir;
    Logger logger((dir / "missing-folder" / "log.txt").string());
    logger.log("goes nowhere");
    EXPECT_FALSE(std::filesystem::exists(dir / "missing-folder"));
}

}  // namespace
