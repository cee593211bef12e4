#include "hashdb/hash_checker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "console/logger.h"
#include "support/test_support.h"

namespace {

using test_support::read_file;
using test_support::TempDir;

const std::string kHashA = "00000000000000000000000000000000000000000000000000000000000000aa";
const std::string kHashB = "275a021bbfb6489e54d471899f7db9d1663fc695ec2fe2a2c4538aabf651fd0f";
const std::string kHashC = "ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100";

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// The 64-character lowercase text of every 32-byte record of a binary database, in file order.
std::vector<std::string> records_of(const std::string& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::vector<std::string> out;
    for (std::size_t at = 0; at + 32 <= bytes.size(); at += 32) {
        std::string hex;
        for (std::size_t i = 0; i < 32; ++i) {
            const auto byte = static_cast<unsigned char>(bytes[at + i]);
            hex += kDigits[byte >> 4];
            hex += kDigits[byte & 0x0F];
        }
        out.push_back(hex);
    }
    return out;
}

class HashCheckerTest : public ::testing::Test {
  protected:
    std::string txt() const { return (dir / "hashes.txt").string(); }
    std::string bin() const { return (dir / "hashes.bin").string(); }
    std::vector<std::string> log_lines() const {
        std::vector<std::string> lines;
        const std::string text = read_file(dir / "log.txt");
        std::size_t start = 0;
        while (start < text.size()) {
            const std::size_t end = text.find('\n', start);
            // Drop the "YYYY-MM-DD HH:MM:SS " stamp and a CR of a Windows line end.
            std::string line = text.substr(start + 20, end - start - 20);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
            start = end + 1;
        }
        return lines;
    }

    TempDir dir;
    Logger logger{(dir / "log.txt").string()};
};

TEST_F(HashCheckerTest, ConvertsQualifyingLinesIntoSortedRecords) {
    const struct {
        const char* name;
        std::string text;
        std::vector<std::string> records;
    } cases[] = {
        {"sorted, duplicates kept",
         kHashC + "\n" + kHashA + "\n" + kHashB + "\n" + kHashA + "\n",
         {kHashA, kHashA, kHashB, kHashC}},
        {"CRLF and a last line without a line end",
         kHashB + "\r\n" + kHashA + "\r\n" + kHashC,
         {kHashA, kHashB, kHashC}},
        {"trimmed blanks and tabs, uppercase",
         "  " + upper(kHashB) + "\t\n\t " + kHashA + " \r\n",
         {kHashA, kHashB}},
        {"other lengths ignored, including comments",
         "# " + kHashA + "\n" + kHashB.substr(0, 63) + "\n" + kHashB + "0\n" +
             std::string(40, 'a') + "\n\n   \n" + kHashC + "\n",
         {kHashC}},
        {"64 characters that are not all hexadecimal digits are no hash",
         std::string(62, 'z') + "1G\n" + kHashA + "\n",
         {kHashA}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dir.write("hashes.txt", c.text);
        ASSERT_TRUE(HashChecker::convert_text_to_binary(txt(), bin()));
        EXPECT_EQ(records_of(read_file(bin())), c.records);
    }
}

TEST_F(HashCheckerTest, TextWithoutAHashWritesNothing) {
    const std::string texts[] = {
        "",
        "\n\n  \r\n",
        std::string(32, 'a') + "\n" + std::string(40, 'b') + "\n# comment line\n",
        kHashA + "x\n",
    };
    for (const auto& text : texts) {
        SCOPED_TRACE(text);
        std::filesystem::remove(bin());
        dir.write("hashes.txt", text);
        EXPECT_FALSE(HashChecker::convert_text_to_binary(txt(), bin()));
        EXPECT_FALSE(std::filesystem::exists(bin()));

        // An existing database is left exactly as it was.
        dir.write("hashes.bin", "previous content that is kept");
        EXPECT_FALSE(HashChecker::convert_text_to_binary(txt(), bin()));
        EXPECT_EQ(read_file(bin()), "previous content that is kept");
    }
    EXPECT_FALSE(HashChecker::convert_text_to_binary((dir / "missing.txt").string(), bin()));
}

TEST_F(HashCheckerTest, ConversionReplacesTheDatabaseWholeAndLeavesNoTemporaryFile) {
    dir.write("hashes.bin", std::string(33, 'x'));
    dir.write("hashes.txt", kHashB + "\n");
    ASSERT_TRUE(HashChecker::convert_text_to_binary(txt(), bin()));
    EXPECT_EQ(records_of(read_file(bin())), std::vector<std::string>{kHashB});
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"hashes.bin", "hashes.txt", "log.txt"}));

    // A folder that does not exist cannot take the database.
    EXPECT_FALSE(HashChecker::convert_text_to_binary(txt(), (dir / "no" / "hashes.bin").string()));
}

TEST_F(HashCheckerTest, ContainsFindsListedHashesInEitherCase) {
    dir.write("hashes.txt", kHashC + "\n" + kHashA + "\n" + kHashA + "\n");
    HashChecker checker(logger);
    EXPECT_FALSE(checker.contains(kHashA)) << "nothing is found before a database is loaded";
    ASSERT_TRUE(checker.load(txt(), bin()));
    EXPECT_EQ(checker.record_count(), 3u);

    EXPECT_TRUE(checker.contains(kHashA));
    EXPECT_TRUE(checker.contains(upper(kHashC)));
    EXPECT_FALSE(checker.contains(kHashB));
    // Keys just below, between and above the records.
    EXPECT_FALSE(checker.contains(std::string(64, '0')));
    EXPECT_FALSE(checker.contains(std::string(64, 'f')));
    EXPECT_FALSE(checker.contains(kHashA.substr(0, 63) + "b"));
    for (const std::string& bad : {std::string(), kHashA.substr(0, 63), kHashA + "0",
                                   kHashA.substr(0, 63) + "g", std::string(62, 'z') + "aa"}) {
        EXPECT_FALSE(checker.contains(bad)) << bad.size();
    }
}

// Records crowded at the edges of two-byte prefixes (the first and last prefix, neighbours across
// a byte boundary, a prefix holding one record) and keys next to each of them: every answer must
// agree with a plain set of the listed hashes.
TEST_F(HashCheckerTest, ContainsAgreesWithTheListAtPrefixEdges) {
    const std::vector<std::string> prefixes = {"0000", "0001", "00ff", "0100",
                                               "7fff", "8000", "fffe", "ffff"};
    const std::vector<std::string> tails = {std::string(60, '0'), std::string(59, '0') + "1",
                                            std::string(30, '5') + std::string(30, 'a'),
                                            std::string(60, 'f')};
    std::set<std::string> listed;
    std::string text;
    for (std::size_t p = 0; p < prefixes.size(); ++p) {
        // Prefix 0001 gets a single record; the others a varying share of the tails.
        for (std::size_t t = 0; t < tails.size(); ++t) {
            if ((p == 1 && t != 2) || (p % 3 == 2 && t == 0)) continue;
            listed.insert(prefixes[p] + tails[t]);
            text += prefixes[p] + tails[t] + "\n";
        }
    }
    dir.write("hashes.txt", text);
    HashChecker checker(logger);
    ASSERT_TRUE(checker.load(txt(), bin()));
    ASSERT_EQ(checker.record_count(), listed.size());

    const std::vector<std::string> probe_prefixes = {"0000", "0001", "0002", "00fe", "00ff",
                                                     "0100", "0101", "7ffe", "7fff", "8000",
                                                     "8001", "fffd", "fffe", "ffff"};
    std::vector<std::string> probe_tails = tails;
    probe_tails.push_back(std::string(59, '0') + "2");
    probe_tails.push_back(std::string(30, '5') + std::string(29, 'a') + "9");
    probe_tails.push_back(std::string(30, '5') + std::string(29, 'a') + "b");
    probe_tails.push_back(std::string(59, 'f') + "e");
    for (const auto& prefix : probe_prefixes) {
        for (const auto& tail : probe_tails) {
            const std::string key = prefix + tail;
            EXPECT_EQ(checker.contains(key), listed.count(key) == 1) << key;
        }
    }
}

TEST_F(HashCheckerTest, EmptyBinaryFileIsAnEmptyDatabase) {
    dir.write("hashes.bin", "");
    dir.write("hashes.txt", kHashA + "\n");
    HashChecker checker(logger);
    EXPECT_TRUE(checker.load(txt(), bin()));
    EXPECT_TRUE(checker.is_loaded());
    EXPECT_EQ(checker.record_count(), 0u);
    EXPECT_FALSE(checker.contains(kHashA));
    EXPECT_EQ(log_lines(), std::vector<std::string>{"Loading bin DB: " + bin()});
}

TEST_F(HashCheckerTest, DamagedBinaryFileIsRebuiltFromTheText) {
    dir.write("hashes.bin", std::string(33, '\0'));
    dir.write("hashes.txt", kHashB + "\n");
    HashChecker checker(logger);
    EXPECT_TRUE(checker.load(txt(), bin()));
    EXPECT_TRUE(checker.contains(kHashB));
    EXPECT_EQ(read_file(bin()).size(), 32u);
    EXPECT_EQ(log_lines(),
              (std::vector<std::string>{
                  "Loading bin DB: " + bin(),
                  "Converting txt to bin DB (SHA-256 hashes taken: 1, other entries ignored: 0)"}));
}

// No file at all is the plain first start; anything else says which file is of no use and why.
TEST_F(HashCheckerTest, LoadFailsWithoutAUsableFile) {
    const std::string damaged = ": damaged (33 bytes, not a whole number of 32-byte records)";
    const struct {
        const char* name;
        bool damaged_bin;
        std::string text;
        LoadStatus status;
        std::string reason;
    } cases[] = {
        {"no files at all", false, "", LoadStatus::kNotFound, ""},
        {"33-byte binary file and no text", true, "", LoadStatus::kFailed, bin() + damaged},
        {"text without a hash", false, "# nothing here\n", LoadStatus::kFailed,
         txt() + ": no SHA-256 hash line"},
        {"text of MD5 and SHA-1 hashes", false,
         std::string(32, 'a') + "\n" + std::string(40, 'b') + ";x\n", LoadStatus::kFailed,
         txt() + ": no SHA-256 hash line (2 MD5 or SHA-1 entries ignored)"},
        {"damaged binary file and text without a hash", true, "nothing\n", LoadStatus::kFailed,
         bin() + damaged + "; " + txt() + ": no SHA-256 hash line"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(bin());
        std::filesystem::remove(txt());
        if (c.damaged_bin) dir.write("hashes.bin", std::string(33, '\0'));
        if (!c.text.empty()) dir.write("hashes.txt", c.text);
        HashChecker checker(logger);
        const LoadResult result = checker.load(txt(), bin());
        EXPECT_FALSE(result);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.error, c.reason);
        EXPECT_FALSE(checker.is_loaded());
        EXPECT_EQ(checker.record_count(), 0u);
    }

    // A folder where the binary file should be.
    std::filesystem::remove(txt());
    std::filesystem::remove(bin());
    std::filesystem::create_directory(bin());
    HashChecker checker(logger);
    EXPECT_EQ(checker.load(txt(), bin()).error, bin() + ": not a regular file");
}

// Where the binary file cannot be written (a data folder of another user's), the database built
// from the text is kept in memory: lookups work, and nothing is written.
TEST_F(HashCheckerTest, ABinaryFileThatCannotBeWrittenLeavesTheDatabaseInMemory) {
    const std::string listed(64, 'c');
    dir.write("hashes.txt", listed + "\n" + std::string(64, 'a') + "\n");
    const std::string unwritable = (dir / "no-such-folder" / "hashes.bin").string();
    HashChecker checker(logger);
    const LoadResult result = checker.load(txt(), unwritable);
    EXPECT_TRUE(result) << result.error;
    EXPECT_TRUE(checker.is_loaded());
    EXPECT_EQ(checker.record_count(), 2u);
    EXPECT_TRUE(checker.contains(listed));
    EXPECT_FALSE(checker.contains(std::string(64, 'b')));
    EXPECT_FALSE(std::filesystem::exists(unwritable));
    const auto lines = log_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("[WARN] ", 0), 0u) << lines.back();
    EXPECT_NE(lines.back().find("the database is kept in memory"), std::string::npos);
}

TEST_F(HashCheckerTest, FailedReloadKeepsThePreviousDatabase) {
    dir.write("hashes.txt", kHashA + "\n" + kHashB + "\n");
    HashChecker checker(logger);
    ASSERT_TRUE(checker.load(txt(), bin()));

    const std::string bad_files[] = {(dir / "missing.bin").string(),
                                     dir.write("odd.bin", std::string(65, '\0')).string(),
                                     dir.path().string()};
    for (const auto& bad : bad_files) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(checker.load_binary(bad));
        EXPECT_TRUE(checker.is_loaded());
        EXPECT_EQ(checker.record_count(), 2u);
        EXPECT_TRUE(checker.contains(kHashB));
    }

    // A good file replaces the records.
    dir.write("other.txt", kHashC + "\n");
    ASSERT_TRUE(HashChecker::convert_text_to_binary((dir / "other.txt").string(),
                                                    (dir / "other.bin").string()));
    ASSERT_TRUE(checker.load_binary((dir / "other.bin").string()));
    EXPECT_TRUE(checker.contains(kHashC));
    EXPECT_FALSE(checker.contains(kHashB));
}

// The user's own list goes into every database built, and a change to it since the binary file
// was built is taken in at the next start.
TEST_F(HashCheckerTest, TheLocalListIsPartOfEveryBuild) {
    const DatabaseFiles files = DatabaseFiles::in(dir.path());
    const auto age = [&](const std::string& path, int seconds) {
        std::filesystem::last_write_time(
            path, std::filesystem::last_write_time(files.binary) + std::chrono::seconds(seconds));
    };
    dir.write("hashes.txt", kHashA + "\n");
    dir.write("hashes.local.txt", "# mine\n" + kHashB + "\n");
    {
        HashChecker checker(logger);
        ASSERT_TRUE(checker.load(files));
        EXPECT_TRUE(checker.contains(kHashA));
        EXPECT_TRUE(checker.contains(kHashB));
    }
    {
        // Edited since: rebuilt.
        dir.write("hashes.local.txt", kHashC + "\n");
        age(files.local, 5);
        HashChecker checker(logger);
        ASSERT_TRUE(checker.load(files));
        EXPECT_TRUE(checker.contains(kHashA));
        EXPECT_TRUE(checker.contains(kHashC));
        EXPECT_FALSE(checker.contains(kHashB));
    }
    {
        // Older than the binary file: the binary file is used as it is.
        dir.write("hashes.local.txt", kHashB + "\n");
        age(files.local, -5);
        HashChecker checker(logger);
        ASSERT_TRUE(checker.load(files));
        EXPECT_TRUE(checker.contains(kHashC));
        EXPECT_FALSE(checker.contains(kHashB));
    }
    {
        // Edited so that no list holds a hash: the binary file built before still serves.
        dir.write("hashes.txt", "# nothing\n");
        dir.write("hashes.local.txt", "# nothing either\n");
        age(files.local, 5);
        HashChecker checker(logger);
        ASSERT_TRUE(checker.load(files));
        EXPECT_TRUE(checker.contains(kHashC));
    }
    {
        // A local list alone makes a database.
        std::filesystem::remove(files.text);
        std::filesystem::remove(files.binary);
        dir.write("hashes.local.txt", kHashB + ";my find\n");
        HashChecker checker(logger);
        ASSERT_TRUE(checker.load(files));
        EXPECT_TRUE(checker.contains(kHashB));
        EXPECT_EQ(checker.record_count(), 1u);
    }
}

TEST(DecodeHashLines, AppendsToWhatTheBufferHolds) {
    std::vector<unsigned char> records(32, 0x11);
    decode_hash_lines(kHashB + "\n" + kHashA, records);
    ASSERT_EQ(records.size(), 96u);
    EXPECT_EQ(records[31], 0x11);
    EXPECT_EQ(records[32], 0x27);
    EXPECT_EQ(records[95], 0xaa);
}

}  // namespace
