#include "console/console.h"

#include <iostream>

#include "platform/console.h"

std::string printable(std::string_view text) {
    const auto is_control = [](unsigned char c) { return c < 0x20 || c == 0x7F; };
    const auto starts_c1 = [&text](std::size_t at) {
        return static_cast<unsigned char>(text[at]) == 0xC2 && at + 1 < text.size() &&
               static_cast<unsigned char>(text[at + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[at + 1]) <= 0x9F;
    };
    std::string out;
    out.reserve(text.size());
    const auto escape = [&out](unsigned char c) {
        static constexpr char kDigits[] = "0123456789abcdef";
        out += "\\x";
        out += kDigits[c >> 4];
        out += kDigits[c & 0x0F];
    };
    for (std::size_t at = 0; at < text.size(); ++at) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (is_control(c)) {
            escape(c);
        } else if (starts_c1(at)) {
            escape(c);
            escape(static_cast<unsigned char>(text[++at]));
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void print_colored(const std::string& text, std::uint16_t color) {
    platform::set_text_attribute(color);
    std::cout << text << '\n' << std::flush;
    platform::set_text_attribute(kDefault);
}

std::optional<std::uint16_t> status_color(std::string_view message) {
    if (message.starts_with("[SUCCESS]")) return kLightGreen;
    if (message.starts_with("[WARN]")) return kYellow;
    if (message.starts_with("[ERROR]")) return kLightRed;
    return std::nullopt;
}

void print_status(const std::string& message) {
    std::cout << '\r' << std::string(kBlankWidth, ' ') << '\r';
    if (message.empty()) return;
    const auto color = status_color(message);
    if (color) platform::set_text_attribute(*color);
    std::cout << message << '\n' << std::flush;
    if (color) platform::set_text_attribute(kDefault);
}

void print_banner() {
    print_colored("      _ _   _ _   _ _   _ _   _ _   _ _   _ _ ", kLightCyan);
    print_colored("     /   \\ /   \\ /   \\ /   \\ /   \\ /   \\ /   \\", kLightCyan);
    print_colored("    (  Q  |  U  |  O  |  R  |  V  |  E  |  X  )", kLightCyan);
    print_colored("     \\ _ / \\ _ / \\ _ / \\ _ / \\ _ / \\ _ / \\ _ /", kLightCyan);
    print_colored("\n       >>> Ultimate System Maintenance <<<", kYellow);
    std::cout << std::string(45, '-') << '\n';
}

std::string progress_text(const ProgressIndicator& indicator) {
    if (indicator.mode != 0) {
        std::string text = "[";
        text += spinner_frames[indicator.frame & 3];
        text += ']';
        return text;
    }
    const float fraction = indicator.total == 0 ? 0.0f
                                                : static_cast<float>(indicator.current) /
                                                      static_cast<float>(indicator.total);
    const int filled = static_cast<int>(fraction * 30.0);
    std::string text = "[";
    for (int i = 0; i < 30; ++i) text += i < filled ? '=' : (i == filled ? '>' : ' ');
    text += "] ";
    text += std::to_string(static_cast<int>(static_cast<double>(fraction) * 100.0));
    text += '%';
    return text;
}

void draw_progress(const ProgressIndicator& indicator) {
    std::cout << '\r';
    platform::set_text_attribute(kLightCyan);
    std::cout << indicator.label << ' ';
    platform::set_text_attribute(kDefault);
    std::cout << progress_text(indicator) << std::flush;
}
