#include "report/progress.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "support/test_support.h"

namespace {

const std::string kClosing =
    "\r" + std::string(80, ' ') + "\r[DONE] Scan completed successfully.\n";

TEST(ProgressLine, LayoutSpinnerAndMebibytes) {
    struct Case {
        std::int32_t frame;
        std::uint64_t bytes;
        const char* expected;
    };
    const Case cases[] = {
        {1, 91000000,
         "\r\x1b[36m[/]\x1b[0m Scanned: 1532 | Size: 86 MB | \x1b[91mMalware: 0\x1b[0m | "
         "\x1b[93mSuspicious: 2\x1b[0m"},
        {0, 1048575,
         "\r\x1b[36m[|]\x1b[0m Scanned: 1532 | Size: 0 MB | \x1b[91mMalware: 0\x1b[0m | "
         "\x1b[93mSuspicious: 2\x1b[0m"},
        {4, 1048576,  // the fifth redraw turns back to the first frame
         "\r\x1b[36m[|]\x1b[0m Scanned: 1532 | Size: 1 MB | \x1b[91mMalware: 0\x1b[0m | "
         "\x1b[93mSuspicious: 2\x1b[0m"},
        {7, 0,
         "\r\x1b[36m[\\]\x1b[0m Scanned: 1532 | Size: 0 MB | \x1b[91mMalware: 0\x1b[0m | "
         "\x1b[93mSuspicious: 2\x1b[0m"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(progress_line(c.frame, 1532, c.bytes, 0, 2), c.expected) << c.frame;
    }
    EXPECT_EQ(progress_line(2, 18446744073709551615ull, 0, 12, 0),
              "\r\x1b[36m[-]\x1b[0m Scanned: 18446744073709551615 | Size: 0 MB | "
              "\x1b[91mMalware: 12\x1b[0m | \x1b[93mSuspicious: 0\x1b[0m");
    // Without colour (a pipe, or NO_COLOR) the same text carries no escape sequence at all.
    EXPECT_EQ(progress_line(1, 1532, 91000000, 0, 2, false),
              "\r[/] Scanned: 1532 | Size: 86 MB | Malware: 0 | Suspicious: 2");
}

TEST(DisplayProgress, FinishedScanPrintsOnlyTheClosingLine) {
    ScanProgress progress;
    progress.finished = true;
    test_support::CoutCapture capture;
    display_progress(progress);
    EXPECT_EQ(capture.text(), kClosing);
}

TEST(DisplayProgress, KeepsRedrawingUntilTheScanHasFinished) {
    ScanProgress progress;
    std::string text;
    {
        test_support::CoutCapture capture;
        std::thread display([&] { display_progress(progress, std::chrono::milliseconds(1)); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        progress.files_scanned = 8;
        progress.bytes_scanned = 3u << 20;
        // Ample time for a few redraws at 1 ms intervals, even on a loaded machine.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        progress.finished = true;
        display.join();
        text = capture.text();
    }
    ASSERT_GE(text.size(), kClosing.size());
    EXPECT_EQ(text.substr(text.size() - kClosing.size()), kClosing);
    EXPECT_NE(text.rfind("Scanned: 8 | Size: 3 MB"), std::string::npos) << text;
    EXPECT_EQ(text.find("[DONE]"), text.rfind("[DONE]"));
}

}  // namespace
