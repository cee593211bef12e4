// The console vocabulary shared by every menu and action: coloured lines, tagged status lines, the
// banner, and the in-place spinner / progress bar. Everything writes to std::cout.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <future>
#include <optional>
#include <string>
#include <string_view>

// Console attribute values: 1 blue, 2 green, 4 red, 8 intensity, on a black background.
enum Color : std::uint16_t {
    kDefault = 7,
    kLightBlue = 9,
    kLightGreen = 10,
    kLightCyan = 11,
    kLightRed = 12,
    kLightMagenta = 13,
    kYellow = 14,
    kBrightWhite = 15,
};

struct ProgressIndicator {
    std::int32_t mode = 1;  // 1 = spinner, 0 = bar
    std::string label;
    std::uint64_t total = 0;    // steps of the bar; 0 means no progress yet
    std::uint64_t current = 0;  // steps done, kept at or below total by the caller
    std::int32_t frame = 0;     // index into spinner_frames
};

inline constexpr std::array<std::string_view, 4> spinner_frames = {"|", "/", "-", "\\"};

// Width of the line that print_status and the progress line blank before writing.
inline constexpr int kBlankWidth = 80;

// The text with every control character written as \xHH: C0, DEL, and C1 in UTF-8 (each of its
// two bytes). File names are chosen by whoever made the files; written as they are, a line feed
// forges a log line and an escape sequence takes over the user's terminal. Nothing else changes:
// a backslash stays a backslash.
std::string printable(std::string_view text);

// One line in the given colour; the colour returns to the default afterwards.
void print_colored(const std::string& text, std::uint16_t color);

// Blanks the current line (80 columns) and prints the message in the colour of its leading tag:
// "[SUCCESS]" green, "[WARN]" yellow, "[ERROR]" red, anything else uncoloured.
// An empty message only blanks the line.
void print_status(const std::string& message);

// The colour print_status uses for a message, or nothing for an uncoloured one.
std::optional<std::uint16_t> status_color(std::string_view message);

void print_banner();

// Redraws the indicator on the current line from column 0, without a line break.
void draw_progress(const ProgressIndicator& indicator);

// The text after the label: "[c]" for a spinner, "[====>    ] NN%" for a bar.
std::string progress_text(const ProgressIndicator& indicator);

// Runs `work` on a background task while a spinner with `label` turns on the current line, redrawn
// every 50 ms until the task has finished, and returns the task's result. Only the calling thread
// writes to the console; the caller shows the outcome with print_status, which wipes the spinner.
template <typename Work>
auto wait_with_spinner(const std::string& label, Work work) -> decltype(work()) {
    ProgressIndicator spinner;
    spinner.mode = 1;
    spinner.label = label;
    spinner.total = 100;
    draw_progress(spinner);
    auto task = std::async(std::launch::async, std::move(work));
    while (task.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
        spinner.frame = (spinner.frame + 1) % static_cast<std::int32_t>(spinner_frames.size());
        draw_progress(spinner);
    }
    return task.get();
}
