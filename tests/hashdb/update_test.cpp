// The database update against a real local server: the index, the joined lists, the files it
// replaces all together or not at all, the reasons of a failure, and the limits that keep a dead,
// hostile or eavesdropped server from hanging, flooding or poisoning it.
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
#include "hashdb/database_update.h"
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
const std::string kHashF(64, 'f');

// ---------------------------------------------------------------------------------------------
// The index format needs no server.

TEST(ParseUpdateIndex, TakesOnlyLinesThatBeginWithLowercaseHttpOrFile) {
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
        {"the URL ends at a blank; other text beginning with http counts",
         "http://h/a.txt \t\nhttpx\n",
         {"http://h/a.txt", "httpx"}},
        {"comments, also of URLs", "# https://h/a.txt\n#https://h/b.txt  Auth-Key: k\n", {}},
        {"an unterminated last line counts",
         "http://h/a.txt\nhttp://h/b.txt",
         {"http://h/a.txt", "http://h/b.txt"}},
        {"bare CR line ends",
         "http://h/a.txt\rhttp://h/b.txt\r",
         {"http://h/a.txt", "http://h/b.txt"}},
        {"shorter than four characters", "htt\nhttp\n", {"http"}},
        {"local files", "file:///srv/a.txt\nfile:/b.txt\nFILE:///c.txt\n", {"file:///srv/a.txt"}},
        {"only line breaks", "\r\n\n\r", {}},
        {"empty", "", {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> urls;
        for (const auto& entry : parse_update_index(c.body)) urls.push_back(entry.url);
        EXPECT_EQ(urls, c.urls) << c.name;
    }
}

TEST(ParseUpdateIndex, TakesRequestHeadersAfterTheUrl) {
    struct Case {
        const char* name;
        std::string line;
        std::vector<std::string> headers;
    };
    const std::vector<Case> cases = {
        {"none", "https://h/a.txt", {}},
        {"one, after blanks", "https://h/a.txt   Auth-Key: 0123abc", {"Auth-Key: 0123abc"}},
        {"two, after a tab, values with blanks",
         "https://h/a.txt\tAuthorization: Bearer  x.y  Accept: text/plain ",
         {"Authorization: Bearer x.y", "Accept: text/plain"}},
        {"no blank after the colon", "https://h/a.txt Auth-Key:0123", {"Auth-Key: 0123"}},
        {"a colon inside a value", "https://h/a.txt X-Range: 1:2", {"X-Range: 1:2"}},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto entries = parse_update_index(c.line + "\r\n", &error);
        ASSERT_EQ(entries.size(), 1u) << c.name;
        EXPECT_EQ(entries[0], (IndexEntry{"https://h/a.txt", c.headers})) << c.name;
        EXPECT_EQ(error, "") << c.name;
    }

    // A list line with text that is no header is an error naming the line, and is left out.
    const struct {
        std::string body;
        std::string error;
    } bad[] = {
        {"# lists\n\nhttps://h/a.txt\nhttps://h/b.txt my list\n",
         "line 4: \"my\" after the URL is not a request header (Name: value)"},
        {"https://h/b.txt Auth-Key:\r\nhttps://h/a.txt\r\n",
         "line 1: header Auth-Key has no value"},
        {"https://h/b.txt Auth-Key: k Accept:\nhttps://h/a.txt",
         "line 1: header Accept has no value"},
        {"https://h/a.txt\nhttps://h/b.txt Bad(name): x\n",
         "line 2: \"Bad(name):\" after the URL is not a request header (Name: value)"},
    };
    for (const auto& c : bad) {
        std::string error;
        const auto entries = parse_update_index(c.body, &error);
        EXPECT_EQ(error, c.error) << c.body;
        ASSERT_EQ(entries.size(), 1u) << c.body;
        EXPECT_EQ(entries[0].url, "https://h/a.txt");
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

    // Moves a served file's modification time by `offset` from now.
    void touch(const std::string& relative, fs::file_time_type::duration offset) const {
        fs::last_write_time(root / relative, fs::file_time_type::clock::now() + offset);
    }

    // One request as the server recorded it; "-" stands for a header the request lacked.
    struct Request {
        std::string path;
        std::string user_agent;
        std::string auth_key;
        std::string if_none_match;
        std::string if_modified_since;
    };

    std::vector<Request> request_log() const {
        std::vector<Request> result;
        std::ifstream in(root / "requests.log");
        std::string line;
        while (std::getline(in, line)) {
            std::vector<std::string> fields;
            std::size_t at = 0;
            for (std::size_t tab; (tab = line.find('\t', at)) != std::string::npos; at = tab + 1) {
                fields.push_back(line.substr(at, tab - at));
            }
            fields.push_back(line.substr(at));
            fields.resize(5, "-");
            result.push_back({fields[0], fields[1], fields[2], fields[3], fields[4]});
        }
        return result;
    }

    // (path, user agent) of each request so far.
    std::vector<std::pair<std::string, std::string>> requests() const {
        std::vector<std::pair<std::string, std::string>> result;
        for (const auto& r : request_log()) result.emplace_back(r.path, r.user_agent);
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

    platform::HttpOptions http_options() const {
        platform::HttpOptions options;
        options.ca_bundle = ca_bundle();
        options.connect_timeout_seconds = 10;
        options.stall_timeout_seconds = 2;
        return options;
    }

  private:
    bool wine;
    std::string unix_root;
    fs::path root;
    std::string port;
};

// A local file as a URL: "file:///tmp/x" here, "file:///Z:/tmp/x" under Wine.
std::string file_url(const fs::path& path) {
    const std::string generic = path.generic_string();
    return "file://" + std::string(generic.front() == '/' ? "" : "/") + generic;
}

// ---------------------------------------------------------------------------------------------
// The HTTP layer tells an answer's status apart from the ways a transfer fails.

TEST(HttpClient, ReportsTheStatusOfAnAnswerAndTheKindOfAFailure) {
    TestServer server;
    server.serve("list.txt", "listed\n");
    platform::HttpClient client;
    ASSERT_TRUE(client.ok());
    auto options = server.http_options();

    std::string body = "kept|";
    auto result = client.get(server.url("/list.txt"), options, body);
    EXPECT_EQ(result.outcome, platform::HttpOutcome::kAnswered);
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(body, "kept|listed\n");

    for (const int status : {404, 500, 503}) {
        body.clear();
        result = client.get(server.url("/status/" + std::to_string(status)), options, body);
        EXPECT_EQ(result.outcome, platform::HttpOutcome::kAnswered) << status;
        EXPECT_EQ(result.status, status);
        EXPECT_EQ(body, "status page\n") << "the body of any answer is kept";
    }

    // A failure leaves the body as it was and carries the library's or system's code (and its
    // words, where the system has any: Wine has none for most WinHTTP errors).
    body = "kept";
    result = client.get(server.url("/stall"), options, body);
    EXPECT_EQ(result.outcome, platform::HttpOutcome::kTimedOut);
    EXPECT_NE(result.error_code, 0);
    EXPECT_EQ(body, "kept");

    options.max_body_bytes = 1000;
    result = client.get(server.url("/big/5000"), options, body);
    EXPECT_EQ(result.outcome, platform::HttpOutcome::kTooLarge);
    EXPECT_EQ(body, "kept");

    // Port 1 on loopback: nothing listens there.
    const std::string refused = std::string(server.tls() ? "https" : "http") + "://127.0.0.1:1/";
    result = client.get(refused, options, body);
    EXPECT_EQ(result.outcome, platform::HttpOutcome::kFailed);
    EXPECT_NE(result.error_code, 0);
    if (server.tls()) {
        EXPECT_FALSE(result.error.empty()) << "libcurl always has words for it";
    }
    EXPECT_EQ(body, "kept");
}

// ---------------------------------------------------------------------------------------------
// One installation: the data files and the log in a private folder, a database and an updater
// talking to a local server.

class UpdateTest : public ::testing::Test {
  protected:
    void SetUp() override { logger.emplace((dir / "scan_log.txt").string()); }

    DatabaseFiles files() const { return DatabaseFiles::in(dir.path()); }
    std::string txt() const { return files().text; }
    std::string bin() const { return files().binary; }

    // A database that already knows kHashF, in both files and in memory.
    void install_old_database(HashChecker& checker) {
        dir.write("hashes.txt", kHashF + "\n");
        ASSERT_TRUE(checker.load(files()));
        ASSERT_TRUE(checker.contains(kHashF));
    }

    UpdateResult update(HashChecker& checker, const UpdateSettings& settings) {
        DatabaseUpdater updater(*logger, settings);
        return updater.update(checker, files());
    }

    // Anything in the folder but the data files and the log.
    bool leftovers() const {
        const DatabaseFiles names;
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            const auto name = entry.path().filename().string();
            if (name != names.text && name != names.binary && name != names.local &&
                name != names.sources && name != names.update_state && name != "scan_log.txt") {
                return true;
            }
        }
        return false;
    }

    // A file's content and last-write time, to tell that nothing rewrote it.
    std::pair<std::string, fs::file_time_type> snapshot(const std::string& path) const {
        return {read_file(path), fs::last_write_time(path)};
    }

    test_support::TempDir dir;
    std::optional<Logger> logger;
    TestServer server;
};

TEST_F(UpdateTest, JoinsTheListsReplacesBothFilesAndReloads) {
    // The first list lacks its final line break; its last hash must not run into the next list.
    server.serve("index.txt", "# lists\r\n" + server.url("/one.txt") + "\r\n\r\n  " +
                                  server.url("/skipped.txt") + "\r\n" + server.url("/two.txt") +
                                  "\r\n");
    server.serve("one.txt", kHashA + "\r\n" + kHashB);
    server.serve("two.txt", kHashC + "\n  " + kHashD + "\t\n" + std::string(32, 'e'));
    HashChecker checker(*logger);
    install_old_database(checker);

    const UpdateResult result = update(checker, server.settings("/index.txt"));
    ASSERT_TRUE(result.ok()) << result.reason;

    EXPECT_EQ(result.lists, 2u);
    EXPECT_EQ(result.counts.sha256, 4u);
    EXPECT_EQ(result.counts.other_kinds, 1u);
    for (const auto& hash : {kHashA, kHashB, kHashC, kHashD}) EXPECT_TRUE(checker.contains(hash));
    EXPECT_FALSE(checker.contains(kHashF)) << "the old database is replaced, not extended";
    EXPECT_EQ(fs::file_size(bin()), 4u * 32);
    // Each list below a line naming it, as it came but for a final line break.
    EXPECT_EQ(read_file(txt()), "# list: " + server.url("/one.txt") + "\n" + kHashA + "\r\n" +
                                    kHashB + "\n# list: " + server.url("/two.txt") + "\n" + kHashC +
                                    "\n  " + kHashD + "\t\n" + std::string(32, 'e') + "\n");
    EXPECT_FALSE(leftovers());

    // The index asks for the agent name; the lists go out without one.
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0], std::make_pair(std::string("/index.txt"), std::string("Quorvex/1.0")));
    EXPECT_EQ(requests[1], std::make_pair(std::string("/one.txt"), std::string("-")));
    EXPECT_EQ(requests[2], std::make_pair(std::string("/two.txt"), std::string("-")));

    // A fresh start reads the new files.
    HashChecker restarted(*logger);
    ASSERT_TRUE(restarted.load(files()));
    EXPECT_TRUE(restarted.contains(kHashD));
    EXPECT_FALSE(restarted.contains(kHashF));
}

TEST_F(UpdateTest, ASecondUpdateReusesTheIndexOfTheFirst) {
    server.serve("index.txt", server.url("/one.txt") + "\n");
    server.serve("one.txt", kHashA + "\n");
    HashChecker checker(*logger);
    DatabaseUpdater updater(*logger, server.settings("/index.txt"));
    ASSERT_TRUE(updater.update(checker, files()).ok());

    // The index changes on the server; this run keeps the lists it already knows.
    server.serve("index.txt", server.url("/two.txt") + "\n");
    server.serve("one.txt", kHashB + "\n");
    ASSERT_TRUE(updater.update(checker, files()).ok());

    EXPECT_EQ(server.count("/index.txt"), 1);
    EXPECT_EQ(server.count("/one.txt"), 2);
    EXPECT_EQ(server.count("/two.txt"), 0);
    EXPECT_TRUE(checker.contains(kHashB));
    EXPECT_FALSE(checker.contains(kHashA));
}

// Whatever goes wrong, and wherever in the index the failing list stands, "hashes.txt",
// "hashes.bin" and the database in use stay as they were, and the reason names the culprit.
TEST_F(UpdateTest, AnyFailureLeavesAllThreeAsTheyWereAndSaysWhy) {
    const std::string good = server.url("/good.txt");
    const std::string missing = server.url("/missing.txt");
    const std::string nowhere = std::string(server.tls() ? "https" : "http") + "://127.0.0.1:1/x";
    struct Case {
        const char* name;
        std::string index;   // served as /index.txt
        std::string reason;  // the start of the reason: the URL at fault and what happened
        std::uint64_t cap = 512ull << 20;
    };
    const std::vector<Case> cases = {
        {"the index holds no URL", "HTTPS://nowhere\n  " + good + "\n",
         server.url("/index.txt") + ": names no hash list"},
        {"a list is missing (404)", good + "\n" + missing + "\n", missing + ": HTTP status 404"},
        {"a list answers 500, before a good one", server.url("/status/500") + "\n" + good + "\n",
         server.url("/status/500") + ": HTTP status 500"},
        {"a list stalls", good + "\n" + server.url("/stall") + "\n",
         server.url("/stall") + ": timed out"},
        {"a list is larger than the cap", good + "\n" + server.url("/big/5000") + "\n",
         server.url("/big/5000") + ": over the size cap of ", 1000},
        {"nothing listens for a list", good + "\n" + nowhere + "\n", nowhere + ": transport error"},
        {"a list holds no hash", good + "\n" + server.url("/words.txt") + "\n",
         server.url("/words.txt") + ": no SHA-256 hash line"},
        {"a list holds only MD5 and SHA-1 entries", good + "\n" + server.url("/md5.txt") + "\n",
         server.url("/md5.txt") + ": no SHA-256 hash line (2 MD5 or SHA-1 entries ignored)"},
        {"a list is empty", good + "\n" + server.url("/empty.txt") + "\n",
         server.url("/empty.txt") + ": no SHA-256 hash line"},
    };
    server.serve("good.txt", kHashA + "\n");
    server.serve("words.txt",
                 "<html>maintenance</html>\n" + std::string(63, 'a') + "\n# " + kHashB);
    server.serve("md5.txt", std::string(32, 'a') + ";an MD5\n" + std::string(40, 'b') + "\n");
    server.serve("empty.txt", "");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ignored;
        fs::remove(bin(), ignored);
        server.serve("index.txt", c.index);
        auto settings = server.settings("/index.txt");
        settings.max_body_bytes = c.cap;
        HashChecker checker(*logger);
        install_old_database(checker);
        const std::string old_bin = read_file(bin());

        const UpdateResult result = update(checker, settings);

        EXPECT_FALSE(result.ok());
        EXPECT_EQ(result.reason.substr(0, c.reason.size()), c.reason) << result.reason;
        EXPECT_EQ(read_file(txt()), kHashF + "\n");
        EXPECT_EQ(read_file(bin()), old_bin);
        EXPECT_TRUE(checker.contains(kHashF));
        EXPECT_FALSE(checker.contains(kHashA));
        EXPECT_FALSE(leftovers());
    }
}

TEST_F(UpdateTest, AnIndexThatFailsSaysWhyAndIsAskedForAgain) {
    server.serve("one.txt", kHashA + "\n");
    HashChecker checker(*logger);
    DatabaseUpdater updater(*logger, server.settings("/index.txt"));
    const UpdateResult missing = updater.update(checker, files());
    EXPECT_FALSE(missing.ok());
    EXPECT_EQ(missing.reason, server.url("/index.txt") + ": HTTP status 404");

    server.serve("index.txt", "nothing yet\n");
    EXPECT_EQ(updater.update(checker, files()).reason,
              server.url("/index.txt") + ": names no hash list");
    EXPECT_FALSE(fs::exists(txt()));

    server.serve("index.txt", server.url("/one.txt") + "\n");
    EXPECT_TRUE(updater.update(checker, files()).ok());
    EXPECT_EQ(server.count("/index.txt"), 3);
    EXPECT_TRUE(checker.contains(kHashA));
}

TEST_F(UpdateTest, AServerThatNeverAnswersFailsTheUpdateAfterTheStallTimeOut) {
    HashChecker checker(*logger);
    const auto start = std::chrono::steady_clock::now();
    const UpdateResult result = update(checker, server.settings("/stall"));
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.reason.substr(0, server.url("/stall: timed out").size()),
              server.url("/stall: timed out"));
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
    HashChecker checker(*logger);
    EXPECT_TRUE(update(checker, settings).ok()) << "a body of exactly the cap is allowed";

    settings.max_body_bytes = 2 * line.size() - 1;
    const UpdateResult over = update(checker, settings);
    EXPECT_FALSE(over.ok());
    EXPECT_EQ(over.reason, server.url("/two.txt") + ": over the size cap of 64 bytes");
}

// Lists over plain http could be altered on the way; only a loopback address is trusted with it.
// Refused URLs are never fetched; the loopback ones here point at a port where nothing listens,
// so they get as far as a transport error.
TEST_F(UpdateTest, PlainHttpIsTakenFromLoopbackOnly) {
    const struct {
        std::string url;
        bool refused;
    } cases[] = {
        {"http://192.0.2.1/list.txt", true},
        {"http://example.com:8080/list.txt", true},
        {"http://127.0.0.1.example.com/list.txt", true},
        {"http://127.0.0.1@192.0.2.1/list.txt", true},
        {"http://127.0.0.256/list.txt", true},
        {"httpx://127.0.0.1/list.txt", true},
        {"http://127.0.0.1:1/list.txt", false},
        {"http://127.5.6.7:1/list.txt", false},
        {"http://LocalHost:1/list.txt", false},
        {"http://someone@127.0.0.1:1/list.txt", false},
        {"http://[::1]:1/list.txt", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        server.serve("index.txt", c.url + "\n");
        HashChecker checker(*logger);
        const UpdateResult result = update(checker, server.settings("/index.txt"));
        EXPECT_FALSE(result.ok());
        EXPECT_EQ(result.reason.rfind(c.url + ": ", 0), 0u) << result.reason;
        EXPECT_EQ(result.reason.find(": refused") != std::string::npos, c.refused) << result.reason;
    }

    // The index itself follows the same rule.
    auto settings = server.settings("/index.txt");
    settings.index_url = "http://192.0.2.1/dosyalar/hash.txt";
    HashChecker checker(*logger);
    const UpdateResult result = update(checker, settings);
    EXPECT_EQ(result.reason.rfind(settings.index_url + ": refused", 0), 0u) << result.reason;
}

// A local index may name local lists (offline updates); an index from a server may not.
TEST_F(UpdateTest, LocalFilesComeOnlyFromALocalIndex) {
    const fs::path list = dir.write("mirror/list one.txt", kHashA + "\n");
    std::string list_url = file_url(list);
    list_url.replace(list_url.find(' '), 1, "%20");
    const fs::path index =
        dir.write("mirror/index.txt", list_url + "\n" + server.url("/two.txt") + "\n");
    server.serve("two.txt", kHashB + "\n");

    UpdateSettings local = server.settings("/index.txt");
    local.index_url = file_url(index);
    HashChecker checker(*logger);
    const UpdateResult result = update(checker, local);
    ASSERT_TRUE(result.ok()) << result.reason;
    EXPECT_TRUE(checker.contains(kHashA));
    EXPECT_TRUE(checker.contains(kHashB));

    server.serve("index.txt", list_url + "\n");
    const UpdateResult remote = update(checker, server.settings("/index.txt"));
    EXPECT_EQ(remote.reason.rfind(list_url + ": refused", 0), 0u) << remote.reason;

    local.index_url = file_url(dir / "mirror" / "missing.txt");
    const UpdateResult missing = update(checker, local);
    EXPECT_NE(missing.reason.find("missing.txt: not found"), std::string::npos) << missing.reason;
}

TEST_F(UpdateTest, AnUntrustedCertificateFailsTheUpdate) {
    if (!server.tls()) GTEST_SKIP() << "the Wine runs use a plain HTTP server";
    server.serve("index.txt", server.url("/one.txt") + "\n");
    server.serve("one.txt", kHashA + "\n");
    auto settings = server.settings("/index.txt");
    settings.ca_bundle.clear();  // the system's CAs do not know the test certificate
    HashChecker checker(*logger);
    const UpdateResult result = update(checker, settings);
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.reason.rfind(server.url("/index.txt") + ": transport error: ", 0), 0u)
        << result.reason;
    EXPECT_FALSE(fs::exists(txt()));
}

// ---------------------------------------------------------------------------------------------
// The shipped sources file, the keys some lists need, polite downloads and the user's own list.

TEST_F(UpdateTest, WithoutAnIndexUrlTheSourcesFileNamesTheLists) {
    dir.write("update_sources.txt", "# my lists\n" + server.url("/one.txt") + "\n# " +
                                        server.url("/off.txt") + "\n" + server.url("/key/two.txt") +
                                        "   Auth-Key: letmein\n");
    server.serve("one.txt", kHashA + "\n");
    server.serve("two.txt", kHashB + ";from the keyed list\n");
    server.serve("off.txt", kHashC + "\n");
    auto settings = server.settings("");
    settings.index_url.clear();
    HashChecker checker(*logger);
    DatabaseUpdater updater(*logger, settings);
    const UpdateResult result = updater.update(checker, files());
    ASSERT_TRUE(result.ok()) << result.reason;
    EXPECT_EQ(result.lists, 2u);
    EXPECT_TRUE(checker.contains(kHashA));
    EXPECT_TRUE(checker.contains(kHashB));
    EXPECT_FALSE(checker.contains(kHashC)) << "a commented-out list";
    const auto log = server.request_log();
    ASSERT_EQ(log.size(), 2u) << "no index is fetched";
    EXPECT_EQ(log[0].path, "/one.txt");
    EXPECT_EQ(log[0].auth_key, "-");
    EXPECT_EQ(log[1].path, "/key/two.txt");
    EXPECT_EQ(log[1].auth_key, "letmein");

    // An edit of the file counts at the next update of the same run.
    dir.write("update_sources.txt", server.url("/one.txt") + "\n");
    ASSERT_TRUE(updater.update(checker, files()).ok());
    EXPECT_FALSE(checker.contains(kHashB));
    EXPECT_EQ(server.count("/key/two.txt"), 1);
}

TEST_F(UpdateTest, ASourcesFileThatNamesNoListChangesNothingAndSaysWhy) {
    const std::string sources = fs::absolute(files().sources).string();
    const struct {
        const char* name;
        std::optional<std::string> content;  // none: no file
        std::string reason;
    } cases[] = {
        {"missing", std::nullopt, sources + ": not found (it names the hash lists to download)"},
        {"empty", "", sources + ": names no hash list"},
        {"only comments", "# " + server.url("/one.txt") + "\n\n  \n",
         sources + ": names no hash list"},
        {"a line that is not a URL and headers",
         server.url("/one.txt") + "\n" + server.url("/two.txt") + " the second\n",
         sources + ": line 2: \"the\" after the URL is not a request header (Name: value)"},
    };
    server.serve("one.txt", kHashA + "\n");
    server.serve("two.txt", kHashB + "\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ignored;
        fs::remove(files().sources, ignored);
        if (c.content) dir.write("update_sources.txt", *c.content);
        HashChecker checker(*logger);
        install_old_database(checker);
        const auto text = snapshot(txt());
        const auto binary = snapshot(bin());
        auto settings = server.settings("");
        settings.index_url.clear();
        const UpdateResult result = update(checker, settings);
        EXPECT_FALSE(result.ok());
        EXPECT_EQ(result.reason, c.reason);
        EXPECT_EQ(snapshot(txt()), text);
        EXPECT_EQ(snapshot(bin()), binary);
        EXPECT_TRUE(checker.contains(kHashF));
    }
    EXPECT_TRUE(server.request_log().empty());
}

TEST_F(UpdateTest, AListRefusedForWantOfAKeySaysItNeedsOne) {
    server.serve("one.txt", kHashA + "\n");
    server.serve("two.txt", kHashB + "\n");
    const struct {
        std::string header;
        std::string reason;
    } cases[] = {
        {"", server.url("/key/two.txt") + ": needs a key (HTTP status 401)"},
        {"  Auth-Key: wrong", server.url("/key/two.txt") + ": needs a key (HTTP status 403)"},
    };
    for (const auto& c : cases) {
        server.serve("index.txt",
                     server.url("/one.txt") + "\n" + server.url("/key/two.txt") + c.header + "\n");
        HashChecker checker(*logger);
        install_old_database(checker);
        const UpdateResult result = update(checker, server.settings("/index.txt"));
        EXPECT_EQ(result.reason, c.reason);
        EXPECT_TRUE(checker.contains(kHashF));
        EXPECT_EQ(read_file(txt()), kHashF + "\n");
    }
}

// A list whose server says it is unchanged (304 to If-None-Match or If-Modified-Since) is taken
// from hashes.txt; when no list and not the local list changed, no file is rewritten.
TEST_F(UpdateTest, UnchangedListsAreNotDownloadedAgain) {
    server.serve("index.txt",
                 server.url("/etag/one.txt") + "\n" + server.url("/lastmod/two.txt") + "\n");
    server.serve("one.txt", kHashA + "\n");
    server.serve("two.txt", kHashB + "\n");
    HashChecker checker(*logger);
    DatabaseUpdater updater(*logger, server.settings("/index.txt"));
    const UpdateResult first = updater.update(checker, files());
    ASSERT_EQ(first.status, UpdateResult::Status::kUpdated) << first.reason;
    EXPECT_EQ(first.unchanged, 0u);

    const auto text = snapshot(txt());
    const auto binary = snapshot(bin());
    const UpdateResult second = updater.update(checker, files());
    ASSERT_EQ(second.status, UpdateResult::Status::kUpToDate) << second.reason;
    EXPECT_EQ(second.unchanged, 2u);
    EXPECT_EQ(snapshot(txt()), text);
    EXPECT_EQ(snapshot(bin()), binary);
    EXPECT_TRUE(checker.contains(kHashA));
    EXPECT_TRUE(checker.contains(kHashB));
    auto log = server.request_log();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[1].if_none_match, "-");
    EXPECT_NE(log[3].if_none_match, "-");
    EXPECT_EQ(log[3].if_modified_since, "-");
    EXPECT_EQ(log[4].if_none_match, "-");
    EXPECT_NE(log[4].if_modified_since, "-");

    // A changed list comes anew (its tag changes); the other is still taken from hashes.txt.
    server.serve("one.txt", kHashC + "\n");
    const UpdateResult third = updater.update(checker, files());
    ASSERT_EQ(third.status, UpdateResult::Status::kUpdated) << third.reason;
    EXPECT_EQ(third.unchanged, 1u);
    EXPECT_TRUE(checker.contains(kHashC));
    EXPECT_FALSE(checker.contains(kHashA));
    EXPECT_TRUE(checker.contains(kHashB));

    // So does one whose modification time moves on.
    server.serve("two.txt", kHashD + "\n");
    server.touch("two.txt", std::chrono::hours(1));
    const UpdateResult fourth = updater.update(checker, files());
    ASSERT_EQ(fourth.status, UpdateResult::Status::kUpdated) << fourth.reason;
    EXPECT_TRUE(checker.contains(kHashD));
    EXPECT_TRUE(checker.contains(kHashC));

    // A copy in hashes.txt that is no longer what the state speaks of is not trusted with a 304.
    std::string tampered = read_file(txt());
    tampered.replace(tampered.find(kHashC), kHashC.size(), kHashF);
    dir.write("hashes.txt", tampered);
    const UpdateResult fifth = updater.update(checker, files());
    ASSERT_EQ(fifth.status, UpdateResult::Status::kUpdated) << fifth.reason;
    EXPECT_EQ(fifth.unchanged, 1u);
    log = server.request_log();
    EXPECT_EQ(log[log.size() - 2].path, "/etag/one.txt");
    EXPECT_EQ(log[log.size() - 2].if_none_match, "-");
    EXPECT_FALSE(checker.contains(kHashF));
    EXPECT_TRUE(checker.contains(kHashC));
    EXPECT_TRUE(checker.contains(kHashD));
}

TEST_F(UpdateTest, TheLocalListIsMergedIntoEveryUpdate) {
    server.serve("index.txt", server.url("/etag/one.txt") + "\n");
    server.serve("one.txt", kHashA + "\n");
    dir.write("hashes.local.txt", "# mine\n" + kHashB + "  found-it-myself.exe\n");
    HashChecker checker(*logger);
    DatabaseUpdater updater(*logger, server.settings("/index.txt"));
    const UpdateResult first = updater.update(checker, files());
    ASSERT_EQ(first.status, UpdateResult::Status::kUpdated) << first.reason;
    EXPECT_EQ(first.local_hashes, 1u);
    EXPECT_TRUE(checker.contains(kHashA));
    EXPECT_TRUE(checker.contains(kHashB));
    EXPECT_EQ(read_file(txt()).find(kHashB), std::string::npos) << "hashes.txt holds the lists";

    // Nothing changed on the server, but the local list did: the database is rebuilt.
    dir.write("hashes.local.txt", kHashB + "\n" + kHashC + "\n");
    const UpdateResult second = updater.update(checker, files());
    ASSERT_EQ(second.status, UpdateResult::Status::kUpdated) << second.reason;
    EXPECT_EQ(second.unchanged, 1u);
    EXPECT_TRUE(checker.contains(kHashC));
    EXPECT_TRUE(checker.contains(kHashB));

    // A fresh start finds them too.
    HashChecker restarted(*logger);
    ASSERT_TRUE(restarted.load(files()));
    EXPECT_TRUE(restarted.contains(kHashC));

    // A local list that cannot be read fails the update rather than drop the user's hashes.
    fs::remove(files().local);
    fs::create_directory(files().local);
    const UpdateResult third = updater.update(checker, files());
    EXPECT_EQ(third.reason, files().local + ": not a regular file");
    EXPECT_TRUE(checker.contains(kHashC));
}

// The files shipped in data/: a sources file whose every list is fetched over https with its
// source, terms and format in the comments above it, and a local list with the test-file hash.
TEST(ShippedDataFiles, ListHttpsSourcesAndTheTestFileHash) {
    const fs::path data = fs::path(__FILE__).parent_path().parent_path().parent_path() / "data";
    const std::string sources = read_file(data / "update_sources.txt");
    std::string error;
    const auto entries = parse_update_index(sources, &error);
    EXPECT_EQ(error, "");
    ASSERT_FALSE(entries.empty());
    for (const auto& entry : entries) {
        EXPECT_EQ(entry.url.rfind("https://", 0), 0u) << entry.url;
        const std::size_t at = sources.find(entry.url);
        const std::size_t comment = sources.rfind("\n#", at);
        EXPECT_EQ(sources.find("\n", comment + 1) + 1, at) << "a comment right above " << entry.url;
    }
    // The SHA-256 of the 68-byte standard antivirus test file.
    const std::string test_file =
        "275a021bbfb6489e54d471899f7db9d1663fc695ec2fe2a2c4538aabf651fd0f";
    std::vector<unsigned char> records;
    std::vector<unsigned char> expected;
    decode_hash_lines(test_file, expected);
    const HashListCounts counts = decode_hash_lines(read_file(data / "hashes.local.txt"), records);
    EXPECT_EQ(counts.sha256, 1u);
    EXPECT_EQ(records, expected);
}

}  // namespace
