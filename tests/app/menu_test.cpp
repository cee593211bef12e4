#include "app/menu.h"

#include <gtest/gtest.h>

#include <sstream>

#include "support/test_support.h"

namespace {

// Every action the main menu would take for the given keystrokes, until it exits.
std::vector<MenuAction> actions_for(const std::string& input) {
    std::istringstream in(input);
    std::vector<MenuAction> actions;
    for (int guard = 0; guard < 100; ++guard) {
        actions.push_back(read_menu_action(in));
        if (actions.back() == MenuAction::kExit) return actions;
    }
    ADD_FAILURE() << "menu never exited for input: " << input;
    return actions;
}

using A = MenuAction;

TEST(MainMenuInputTest, KeystrokesToActions) {
    struct Case {
        const char* input;
        std::vector<MenuAction> expected;
    };
    const Case cases[] = {
        {"5\n", {A::kExit}},
        {"", {A::kExit}},
        {"1\n2\n3\n4\n", {A::kScan, A::kClean, A::kMemory, A::kUpdate, A::kExit}},
        {"0\n6\n-1\n5\n", {A::kRedraw, A::kRedraw, A::kRedraw, A::kExit}},
        {"abc\n5\n", {A::kRedraw, A::kExit}},
        // The rest of a bad line is discarded: two words cost one redraw, not two.
        {"hello world\n5\n", {A::kRedraw, A::kExit}},
        {"2147483647\n5\n", {A::kRedraw, A::kExit}},
        {"2147483648\n5\n", {A::kRedraw, A::kExit}},
        {"99999999999999999999\n2\n", {A::kRedraw, A::kClean, A::kExit}},
        {"-2147483649\n5\n", {A::kRedraw, A::kExit}},
        {"  \n\n 3\n", {A::kMemory, A::kExit}},
        {"4", {A::kUpdate, A::kExit}},
        {"x", {A::kRedraw, A::kExit}},
        {"5\r\n", {A::kExit}},
    };
    for (const auto& c : cases) EXPECT_EQ(actions_for(c.input), c.expected) << c.input;
}

TEST(MainMenuInputTest, ReturnWaitConsumesLeftoverLineBreakThenOneKey) {
    test_support::CoutCapture capture;
    std::istringstream in("2\n\n5\n");
    EXPECT_EQ(read_menu_action(in), A::kClean);
    wait_for_return(in);
    EXPECT_EQ(capture.text(), "\nPress Enter to return to menu...");
    EXPECT_EQ(read_menu_action(in), A::kExit);
}

struct DialogCase {
    const char* input;
    bool scans;
    ScanConfig config;
    std::vector<std::string> roots;
};

TEST(ScanDialogTest, AnswersToRequests) {
    const ScanRoots roots{{"/home/u/Desktop", "/home/u/Downloads"}, "/"};
    const DialogCase cases[] = {
        {"1\n1\n1\n", true, {true, true, false}, roots.quick},
        {"1\n0\n1\n", true, {false, true, false}, roots.quick},
        {"2\n2\n0\n", true, {false, false, false}, {"/"}},
        {"3\n1\n0\n   /srv/data  \n", true, {true, false, false}, {"/srv/data  "}},
        {"3\n0\n0\n\"C:\\x y\"\n", true, {}, {"\"C:\\x y\""}},
        {"4\n", false, {}, {}},
        {"7\n1\n1\n", false, {}, {}},
        {"x\n", false, {}, {}},
        {"1\n", false, {}, {}},
        {"3\n0\n0\n", false, {}, {}},
        {"1\nyes\n1\n", true, {false, true, false}, roots.quick},
    };
    for (const auto& c : cases) {
        test_support::CoutCapture capture;
        std::istringstream in(c.input);
        const auto request = run_scan_dialog(in, roots);
        ASSERT_EQ(request.has_value(), c.scans) << c.input;
        if (!request) continue;
        EXPECT_EQ(request->config.enable_heuristics, c.config.enable_heuristics) << c.input;
        EXPECT_EQ(request->config.verify_signatures, c.config.verify_signatures) << c.input;
        EXPECT_FALSE(request->config.skip_system_folders);
        EXPECT_EQ(request->roots, c.roots) << c.input;
    }
}

TEST(ScanDialogTest, GoBackAsksNoOptionQuestions) {
    test_support::CoutCapture capture;
    std::istringstream in("4\n");
    EXPECT_FALSE(run_scan_dialog(in, {}).has_value());
    EXPECT_EQ(capture.text().find("Enable Heuristics"), std::string::npos);
    EXPECT_NE(capture.text().find("Choice: "), std::string::npos);
}

TEST(ScanDialogTest, UnknownKindStillAsksBothQuestions) {
    test_support::CoutCapture capture;
    std::istringstream in("7\n1\n1\n");
    EXPECT_FALSE(run_scan_dialog(in, {}).has_value());
    EXPECT_NE(capture.text().find("Enable Heuristics (Entropy Check) [0/1]: "), std::string::npos);
    EXPECT_NE(capture.text().find("Verify Digital Signatures (Skip Trusted) [0/1]: "),
              std::string::npos);
    EXPECT_EQ(capture.text().find("Enter path to scan: "), std::string::npos);
}

}  // namespace
