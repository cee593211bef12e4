// The hash-list formats users have: which line gives which SHA-256, and what is counted as an
// entry of another hash kind.
#include "hashdb/hash_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kHashA = "275a021bbfb6489e54d471899f7db9d1663fc695ec2fe2a2c4538aabf651fd0f";
const std::string kHashB = "ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100";
const std::string kMd5 = "44d88612fea8a8f36de82e1278abb02f";
const std::string kSha1 = "3395856ce81f2b7382dee72602f798b642f14140";

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return text;
}

std::vector<std::string> hex_records(const std::vector<unsigned char>& records) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::vector<std::string> out;
    for (std::size_t at = 0; at + 32 <= records.size(); at += 32) {
        std::string hex;
        for (std::size_t i = 0; i < 32; ++i) {
            hex += kDigits[records[at + i] >> 4];
            hex += kDigits[records[at + i] & 0x0F];
        }
        out.push_back(hex);
    }
    return out;
}

TEST(HashListFormats, EachLineGivesItsFirstSha256Field) {
    const struct {
        const char* name;
        std::string text;
        std::vector<std::string> taken;
        std::size_t other_kinds;
    } cases[] = {
        {"bare lines, CR LF, surrounding blanks",
         kHashA + "\r\n \t" + kHashB + " \n",
         {kHashA, kHashB},
         0},
        {"sha256sum text and binary mode",
         kHashA + "  setup.exe\n" + kHashB + " *data file.bin\n",
         {kHashA, kHashB},
         0},
        {"HASH;comment IOC list with MD5 and SHA-1 entries",
         "# MD5;COMMENT\n# SHA256;COMMENT\n" + kMd5 + ";Test file, dropper\n" + kSha1 +
             ";Test file\n" + upper(kHashA) + ";Test file http://x/y\n",
         {kHashA},
         2},
        {"HASH:SIZE:NAME signatures",
         kHashA + ":68:Test-File-Signature\n" + kHashB + ":*:Any\n",
         {kHashA, kHashB},
         0},
        {"quoted CSV with the SHA-256 in a later column and a # header",
         "# \"first_seen_utc\",\"sha256_hash\",\"md5_hash\",\"sha1_hash\",\"file_name\"\n"
         "\"2024-05-01 10:00:00\",\"" +
             kHashA + "\",\"" + kMd5 + "\",\"" + kSha1 +
             "\",\"a,b.exe\"\n"
             "\"2024-05-01 10:05:00\", \"" +
             kHashB + "\", \"" + kMd5 + "\", \"" + kSha1 + "\", \"c.exe\"\n",
         {kHashA, kHashB},
         0},
        {"tabs and bare commas", "x\t" + kHashA + "\ty\n1," + kHashB + ",2\n", {kHashA, kHashB}, 0},
        {"the first SHA-256 field of a line, only", kHashA + " " + kHashB + "\n", {kHashA}, 0},
        {"a 64-character field that is not hex is passed over",
         std::string(63, 'a') + "g " + kHashB + "\n" + std::string(62, 'z') + "1G\n",
         {kHashB},
         0},
        {"comments, also indented, never give a hash",
         "#" + kHashA + "\n  # " + kHashB + "\n",
         {},
         0},
        {"fields of other lengths are no hash",
         kHashA + "0\n" + kHashA.substr(1) + "\nsha256=" + kHashA + "\n" + kHashA + kHashB + "\n",
         {},
         0},
        {"one line with MD5 and SHA-1 is one other entry", kMd5 + " " + kSha1 + "\n", {}, 1},
        {"a non-hex field of MD5 length is no entry",
         std::string(32, 'x') + "\n" + std::string(40, '-') + "\n",
         {},
         0},
        {"a line with a SHA-256 is not counted as another kind",
         kMd5 + ";" + kHashA + "\n",
         {kHashA},
         0},
        {"blank lines and a last line without a line break", "\n\n   \n" + kHashB, {kHashB}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<unsigned char> records;
        const HashListCounts counts = decode_hash_lines(c.text, records);
        EXPECT_EQ(hex_records(records), c.taken);
        EXPECT_EQ(counts.sha256, c.taken.size());
        EXPECT_EQ(counts.other_kinds, c.other_kinds);
    }
}

TEST(HashListFormats, DigestsDecodeOnlyFromHexDigits) {
    unsigned char digest[32];
    EXPECT_TRUE(decode_hex_digest(upper(kHashA), digest));
    EXPECT_EQ(digest[0], 0x27);
    EXPECT_EQ(digest[31], 0x0f);
    for (const char bad : {'g', 'G', ' ', '\0', '\xff', 'x'}) {
        std::string hex = kHashB;
        hex[17] = bad;
        EXPECT_FALSE(decode_hex_digest(hex, digest)) << static_cast<int>(bad);
    }
}

}  // namespace
