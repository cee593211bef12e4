// The database update against a real local server: the index, the joined lists, the files it
// replaces, and the limits that keep a dead or hostile server from hanging or flooding it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "console/logger.h"
#include "hashdb/hash_checker.h"
#include "platform/http.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::read_file;

const std::string kHashA(64, 'a');
const std::string kHashB(64, 'b');
const std::string kHashC = std::string(32, 'c') + std::string(32, 'd');
const std::string kHashD(64, 'd');
const std::string kHashE(64, 'e');
const std::string kHashF(64, 'f');

// A text file's content with the CR of Windows line ends removed.
std::string text_of(const fs::path& path) {
    std::string text = read_file(path);
    std::erase(text, '\r');
    return text;
}

// ---------------------------------------------------------------------------------------------
// The index format needs no server.

TEST(ParseUpdateIndex, TakesOnlyLinesThatBeginWithLowercaseHttp) {
    struct Case {
        const char* name;
        std::string body;
        std::vector<std::string> urls;
    };
    const std::vector<Case> cases = {
        {"crlf lines: https, blank, indented, ftp",
         "https://h/a.txt\r\n\r\n  https://h/b.txt\r\nftp://h/c.txt\r\n",
         {"https://h/a.txt"}},
        {"a run of CR and LF is one separator",
         "notes\r\n\r\nhttp://h/a.txt\n",
         {"http://h/a.txt"}},
        {"the test is case-sensitive",
         "HTTP://h/a.txt\nHttps://h/b.txt\nhttp://h/c.txt\n",
         {"http://h/c.txt"}},
        {"lines are kept unchanged, trailing blanks too",
         "http://h/a.txt \nhttpx\n",
         {"http://h/a.txt ", "httpx"}},
        {"an unterminated last line counts",
         "http://h/a.txt\nhttp://h/b.txt",
         {"http://h/a.txt", "http://h/b.txt"}},
        {"bare CR line ends",
         "http://h/a.txt\rhttp://h/b.txt\r",
         {"http://h/a.txt", "http://h/b.txt"}},
        {"shorter than four characters", "htt\nhttp\n", {"http"}},
        {"only line breaks", "\r\n\n\r", {}},
        {"empty", "", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_update_index(c.body), c.urls) << c.name;
    }
}

// ---------------------------------------------------------------------------------------------
// A child process serving a folder (tests/support/update_server.py). On Linux it speaks HTTPS with
// a certificate made at start; under Wine the test starts the host's Python through Wine's
// launcher for Unix programs and speaks plain HTTP, since Wine's TLS trusts no test certificate.

bool running_under_wine() {
    std::error_code ignored;
    return fs::exists("Z:\\usr\\bin\\python3", ignored);
}

fs::path server_script() {
    return fs::path(__FILE__).parent_path().parent_path() / "support" / "update_server.py";
}

class TestServer {
  public:
    TestServer() : wine(running_under_wine()) {
        std::random_device random;
        // The clock keeps names apart even where random_device repeats itself between runs.
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        const std::string name = "quorvex-update-" + std::to_string(stamp) + "-" +
                                 std::to_string(random()) + "-" + std::to_string(random());
        unix_root = "/tmp/" + name;
        root = wine ? fs::path("Z:\\tmp\\" + name) : fs::path(unix_root);
        fs::create_directories(root);
        const std::string script = server_script().generic_string();
        const std::string command = wine
                                        ? "start \"\" /unix /usr/bin/python3 \"" + script +
                                              "\" --root \"" + unix_root + "\" --lifetime 300"
                                        : "python3 '" + script + "' --root '" + unix_root +
                                              "' --tls --lifetime 300 </dev/null >/dev/null 2>&1 &";
        std::system(command.c_str());
        for (int i = 0; i < 400 && port.empty(); ++i) {
            std::ifstream in(root / "port");
            std::getline(in, port);
            if (port.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (port.empty()) ADD_FAILURE() << "the test server did not start: " << command;
    }

    ~TestServer() {
        platform::HttpClient client;
        std::string ignored_body;
        platform::HttpOptions options;
        options.ca_bundle = ca_bundle();
        options.connect_timeout_seconds = 5;
        options.stall_timeout_seconds = 5;
        client.get(url("/__shutdown"), options, ignored_body);
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    bool tls() const { return !wine; }
    std::string url(const std::string& path) const {
        return std::string(tls() ? "https" : "http") + "://127.0.0.1:" + port + path;
    }
    std::string ca_bundle() const { return tls() ? (root / "tls" / "cert.pem").string() : ""; }

    void serve(const std::string& relative, const std::string& content) const {
        std::ofstream out(root / relative, std::ios::binary | std::ios::trunc);
        out << content;
    }

    // (path, user agent) of each request so far; "-" stands for no User-Agent header.
    std::vector<std::pair<std::string, std::string>> requests() const {
        std::vector<std::pair<std::string, std::string>> result;
        std::ifstream in(root / "requests.log");
        std::string line;
        while (std::getline(in, line)) {
            const auto tab = line.find('\t');
            result.emplace_back(line.substr(0, tab), line.substr(tab + 1));
        }
        return result;
    }

    int count(const std::string& path) const {
        int n = 0;
        for (const auto& r : requests()) n += r.first == path ? 1 : 0;
        return n;
    }

    UpdateSettings settings(const std::string& index_path) const {
        UpdateSettings s;
        s.index_url = url(index_path);
        s.ca_bundle = ca_bundle();
        s.connect_timeout_seconds = 10;
        s.stall_timeout_seconds = 2;
        return s;
    }

  private:
    bool wine;
    std::string unix_root;
    fs::path root;
    std::string port;
};

// One installation: the data files and the log in a private folder, a HashChecker on a server.
class UpdateTest : public ::testing::Test {
  protected:
    void SetUp() override { logger.emplace((dir / "scan_log.txt").string()); }

    std::string txt() const { return (dir / "hashes.txt").string(); }
    std::string bin() const { return (dir / "hashes.bin").string(); }

    // A database that already knows kHashF, in both files and in memory.
    void install_old_database(HashChecker& checker) {
        dir.write("hashes.txt", kHashF + "\n");
        ASSERT_TRUE(checker.load(txt(), bin()));
        ASSERT_TRUE(checker.contains(kHashF));
    }

    bool leftovers() const {
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            const auto name = entry.path().filename().string();
            if (name != "hashes.txt" && name != "hashes.bin" && name != "scan_log.txt") return true;
        }
        return false;
    }

    test_support::TempDir dir;
    std::optional<Logger> logger;
    TestServer server;
};

TEST_F(UpdateTest, JoinsTheListsReplacesBothFilesAndReloads) {
    // The error page counts as a body whose lines are no hashes. The first list lacks its final
    // line break, so its last hash runs into the second list's first one.
    server.serve("index.txt", "# lists\r\n" + server.url("/error") + "\r\n\r\n  " +
                                  server.url("/skipped.txt") + "\r\n" + server.url("/one.txt") +
                                  "\r\n" + server.url("/two.txt") + "\r\n");
    server.serve("one.txt", kHashA + "\r\n" + kHashB);
    server.serve("two.txt", kHashC + "\n  " + kHashD + "\t\n" + kHashE);
    HashChecker checker(*logger, server.settings("/index.txt"));
    install_old_database(checker);

    ASSERT_TRUE(checker.update_database(txt(), bin()));

    EXPECT_TRUE(checker.contains(kHashA));
    EXPECT_FALSE(checker.contains(kHashB)) << "merged with the next list's first line";
    EXPECT_FALSE(checker.contains(kHashC)) << "merged with the previous list's last line";
    EXPECT_TRUE(checker.contains(kHashD));
    EXPECT_TRUE(checker.contains(kHashE)) << "an unterminated last line is still a line";
    EXPECT_FALSE(checker.contains(kHashF)) << "the old database is replaced, not extended";
    EXPECT_EQ(fs::file_size(bin()), 3u * 32);
    const std::string text = read_file(txt());
    EXPECT_NE(text.find(kHashB + kHashC), std::string::npos);
    EXPECT_NE(text.find("Not Found"), std::string::npos);
    EXPECT_FALSE(leftovers());

    // The index asks for the agent name; the lists go out without one.
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0], std::make_pair(std::string("/index.txt"), std::string("Quorvex/1.0")));
    EXPECT_EQ(requests[1], std::make_pair(std::string("/error"), std::string("-")));
    EXPECT_EQ(requests[2], std::make_pair(std::string("/one.txt"), std::string("-")));
    EXPECT_EQ(requests[3], std::make_pair(std::string("/two.txt"), std::string("-")));

    // A fresh start reads the new files.
    HashChecker restarted(*logger, server.settings("/index.txt"));
    ASSERT_TRUE(restarted.load(txt(), bin()));
    EXPECT_TRUE(restarted.contains(kHashD));
    EXPECT_FALSE(restarted.contains(kHashF));
}

TEST_F(UpdateTest, ASecondUpdateReusesTheIndexOfTheFirst) {
    server.serve("index.txt", server.url("/one.txt") + "\n");
    server.serve("one.txt", kHashA + "\n");
    HashChecker checker(*logger, server.settings("/index.txt"));
    ASSERT_TRUE(checker.update_database(txt(), bin()));

    // The index changes on the server; this run keeps the lists it already knows.
    server.serve("index.txt", server.url("/two.txt") + "\n");
    server.serve("one.txt", kHashB + "\n");
    ASSERT_TRUE(checker.update_database(txt(), bin()));

    EXPECT_EQ(server.count("/index.txt"), 1);
    EXPECT_EQ(server.count("/one.txt"), 2);
    EXPECT_EQ(server.count("/two.txt"), 0);
    EXPECT_TRUE(checker.contains(kHashB));
    EXPECT_FALSE(checker.contains(kHashA));
}

TEST_F(UpdateTest, FailuresLeaveFilesAndDatabaseAsTheyWere) {
    struct Case {
        const char* name;
        std::string index;  // served as /index.txt; empty: the index is missing
        std::string list;   // served as /list.txt
        std::uint64_t cap = 512ull << 20;
    };
    const std::string list_url = server.url("/list.txt") + "\n";
    const std::vector<Case> cases = {
        {"the index holds no URL", "HTTPS://nowhere\n  " + list_url, kHashA + "\n"},
        {"the index is an error page", "", kHashA + "\n"},
        {"the lists hold no hash", list_url, std::string(63, 'a') + "\n# " + kHashA + "\n"},
        {"every list is empty", list_url, ""},
        {"every list is missing", server.url("/missing/list.txt") + "\n", kHashA + "\n"},
        {"a list is larger than the cap", list_url + server.url("/big/5000") + "\n", kHashA + "\n",
         1000},
        {"a list stalls and the other holds nothing", server.url("/stall") + "\n" + list_url,
         "no hashes here\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dir.write("hashes.txt", kHashF + "\n");
        std::error_code ignored;
        fs::remove(bin(), ignored);
        server.serve("index.txt", c.index);
        server.serve("list.txt", c.list);
        auto settings = server.settings(c.index.empty() ? "/error" : "/index.txt");
        settings.max_body_bytes = c.cap;
        HashChecker checker(*logger, settings);
        ASSERT_TRUE(checker.load(txt(), bin()));
        const std::string old_bin = read_file(bin());

        EXPECT_FALSE(checker.update_database(txt(), bin()));

        EXPECT_EQ(text_of(txt()), kHashF + "\n");
        EXPECT_EQ(read_file(bin()), old_bin);
        EXPECT_TRUE(checker.contains(kHashF));
        EXPECT_FALSE(checker.contains(kHashA));
        EXPECT_FALSE(leftovers());
    }
}

TEST_F(UpdateTest, AnIndexThatFailedIsAskedForAgain) {
    server.serve("index.txt", "nothing yet\n");
    server.serve("one.txt", kHashA + "\n");
    HashChecker checker(*logger, server.settings("/index.txt"));
    EXPECT_FALSE(checker.update_database(txt(), bin()));
    EXPECT_TRUE(checker.list_urls().empty());

    server.serve("index.txt", server.url("/one.txt") + "\n");
    EXPECT_TRUE(checker.update_database(txt(), bin()));
    EXPECT_EQ(server.count("/index.txt"), 2);
    EXPECT_TRUE(checker.contains(kHashA));
}

TEST_F(UpdateTest, AStalledListIsDroppedAndTheOthersStillCount) {
    server.serve("index.txt", server.url("/one.txt") + "\n" + server.url("/stall") + "\n" +
                                  server.url("/two.txt") + "\n");
    server.serve("one.txt", kHashA + "\n");
    server.serve("two.txt", kHashB + "\n");
    HashChecker checker(*logger, server.settings("/index.txt"));
    ASSERT_TRUE(checker.update_database(txt(), bin()));
    EXPECT_TRUE(checker.contains(kHashA));
    EXPECT_TRUE(checker.contains(kHashB));
    EXPECT_EQ(text_of(txt()), kHashA + "\n" + kHashB + "\n");
}

TEST_F(UpdateTest, AServerThatNeverAnswersFailsTheUpdateAfterTheStallTimeOut) {
    HashChecker checker(*logger, server.settings("/stall"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(checker.update_database(txt(), bin()));
    // The 2-second setting, not the one-minute default, ended the wait.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(server.count("/stall"), 1);
}

TEST_F(UpdateTest, TheCapCountsEveryListOfOneUpdate) {
    const std::string line = kHashA + "\n";  // 65 bytes
    server.serve("index.txt", server.url("/one.txt") + "\n" + server.url("/two.txt") + "\n");
    server.serve("one.txt", line);
    server.serve("two.txt", line);
    auto settings = server.settings("/index.txt");
    settings.max_body_bytes = 2 * line.size();
    HashChecker exact(*logger, settings);
    EXPECT_TRUE(exact.update_database(txt(), bin())) << "a body of exactly the cap is allowed";

    settings.max_body_bytes = 2 * line.size() - 1;
    HashChecker over(*logger, settings);
    EXPECT_FALSE(over.update_database(txt(), bin()));
}

TEST_F(UpdateTest, AnUntrustedCertificateFailsTheUpdate) {
    if (!server.tls()) GTEST_SKIP() << "the Wine runs use a plain HTTP server";
    server.serve("index.txt", server.url("/one.txt") + "\n");
    server.serve("one.txt", kHashA + "\n");
    auto settings = server.settings("/index.txt");
    settings.ca_bundle.clear();  // the system's CAs do not know the test certificate
    HashChecker checker(*logger, settings);
    EXPECT_FALSE(checker.update_database(txt(), bin()));
    EXPECT_FALSE(fs::exists(txt()));
}

}  // namespace
