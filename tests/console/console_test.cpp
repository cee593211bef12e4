#include "console/console.h"

#include <gtest/gtest.h>

#include <sstream>

#include "support/test_support.h"

namespace {

TEST(StatusColorTest, LeadingTagDecidesTheColour) {
    struct Case {
        const char* message;
        std::optional<std::uint16_t> color;
    };
    const Case cases[] = {
        {"[SUCCESS] Database updated.", kLightGreen},
        {"[WARN]", kYellow},
        {"[ERROR] Update failed.", kLightRed},
        {" [ERROR] one blank first", std::nullopt},
        {"[INFO] Cleaning complete.", std::nullopt},
        {"text with [ERROR] inside", std::nullopt},
        {"[success] lower case", std::nullopt},
        {"[WARN", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(status_color(c.message), c.color) << c.message;
}

TEST(PrintableTest, ControlCharactersAreEscapedAndNothingElse) {
    struct Case {
        std::string text;
        std::string shown;
    };
    const Case cases[] = {
        {"/plain/path.exe", "/plain/path.exe"},
        {"evil\n2026-12-10 11:00:00 Scan Finished.", "evil\\x0a2026-12-10 11:00:00 Scan Finished."},
        {"\x1b]2;title\x07\x1b[31mred", "\\x1b]2;title\\x07\\x1b[31mred"},
        {std::string("nul\0tab\tcr\r", 11), "nul\\x00tab\\x09cr\\x0d"},
        {"del\x7f", "del\\x7f"},
        {"c1 \xc2\x9b csi \xc2\x85 nel", "c1 \\xc2\\x9b csi \\xc2\\x85 nel"},
        // Characters just outside C1, and other UTF-8, stay as they are.
        {"\xc2\xa0 \xc3\xa9 \xe2\x82\xac \xc2", "\xc2\xa0 \xc3\xa9 \xe2\x82\xac \xc2"},
        // A backslash is a Windows separator, and a name holding the text \x1b is harmless.
        {"C:\\dir\\x1b.exe", "C:\\dir\\x1b.exe"},
    };
    for (const auto& c : cases) EXPECT_EQ(printable(c.text), c.shown) << c.text;
}

TEST(PrintStatusTest, BlanksEightyColumnsBeforeTheMessage) {
    const std::string blank = "\r" + std::string(80, ' ') + "\r";
    {
        test_support::CoutCapture capture;
        print_status("[SUCCESS] Database updated.");
        EXPECT_EQ(capture.text(), blank + "[SUCCESS] Database updated.\n");
    }
    {
        test_support::CoutCapture capture;
        print_status("");
        EXPECT_EQ(capture.text(), blank) << "an empty message writes no line break";
    }
}

TEST(ProgressTextTest, BarAndSpinnerDrawings) {
    // The indicator is built in the loop: GCC 12 at -O3 takes the strings of a table of
    // indicators for uninitialised when the table goes away.
    struct Case {
        std::int32_t mode;
        std::uint64_t total;
        std::uint64_t current;
        std::int32_t frame;
        std::string expected;
    };
    const Case cases[] = {
        {0, 0, 0, 0, "[>" + std::string(29, ' ') + "] 0%"},
        {0, 3, 1, 0, "[" + std::string(10, '=') + ">" + std::string(19, ' ') + "] 33%"},
        {0, 7, 7, 0, "[" + std::string(30, '=') + "] 100%"},
        {0, 2, 1, 0, "[" + std::string(15, '=') + ">" + std::string(14, ' ') + "] 50%"},
        {1, 100, 0, 0, "[|]"},
        {1, 100, 0, 1, "[/]"},
        {1, 100, 0, 2, "[-]"},
        {1, 100, 0, 3, "[\\]"},
    };
    for (const auto& c : cases) {
        ProgressIndicator indicator;
        indicator.mode = c.mode;
        indicator.label = "x";
        indicator.total = c.total;
        indicator.current = c.current;
        indicator.frame = c.frame;
        EXPECT_EQ(progress_text(indicator), c.expected)
            << "mode " << c.mode << " " << c.current << "/" << c.total << " frame " << c.frame;
    }
}

TEST(DrawProgressTest, RedrawsInPlaceWithoutLineBreak) {
    test_support::CoutCapture capture;
    ProgressIndicator spinner{1, "Downloading database updates", 100, 0, 0};
    draw_progress(spinner);
    spinner.frame = (spinner.frame + 1) % static_cast<int>(spinner_frames.size());
    draw_progress(spinner);
    EXPECT_EQ(capture.text(),
              "\rDownloading database updates [|]\rDownloading database updates [/]");
}

TEST(BannerTest, SixLinesWithExactWidths) {
    test_support::CoutCapture capture;
    print_banner();
    std::istringstream in(capture.text());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 7u);  // the tagline brings its own empty line
    const std::size_t widths[] = {46, 46, 47, 46, 0, 42, 45};
    for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].size(), widths[i]) << i;
    EXPECT_EQ(lines[2], "    (  Q  |  U  |  O  |  R  |  V  |  E  |  X  )");
    EXPECT_EQ(lines[5], "       >>> Ultimate System Maintenance <<<");
    EXPECT_EQ(lines[6], std::string(45, '-'));
}

}  // namespace
