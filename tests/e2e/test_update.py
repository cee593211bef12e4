"""Menu item 4 against a local hash-list server, and a scan that uses what it downloaded.

On Linux the server speaks HTTPS with a certificate made for the test, trusted through
CURL_CA_BUNDLE; under Wine it speaks plain HTTP (Wine's TLS would not trust the test certificate).
"""

import hashlib
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

import harness  # noqa: E402
from harness import check  # noqa: E402
from update_server import UpdateServer  # noqa: E402

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "data")
OLD_HASH = "f" * 64
PAYLOAD = b"only the downloaded list knows this file\n"
PAYLOAD_HASH = hashlib.sha256(PAYLOAD).hexdigest()


class Setup:
    def __init__(self, name):
        self.inst = harness.Installation(name)
        self.server = UpdateServer(self.inst.path("server"), tls=not harness.is_windows()).start()
        self.inst.write("hashes.txt", OLD_HASH + "\n")
        self.env = {"QUORVEX_UPDATE_URL": self.server.url("/dosyalar/hash.txt")}
        if self.server.cert:
            self.env["CURL_CA_BUNDLE"] = self.server.cert

    def run(self, keys):
        return self.inst.run(keys, extra_env=self.env)

    def run_with_sources_file(self, keys):
        """A run without QUORVEX_UPDATE_URL: update_sources.txt beside the program is the index."""
        env = dict(os.environ, **self.env)
        env.pop("QUORVEX_UPDATE_URL")
        return self.inst.run(keys, env=env)

    def native(self, path):
        """The path as the program sees it (under Wine: on drive Z:)."""
        return "Z:" + path.replace("/", "\\") if harness.is_windows() else path

    def close(self):
        self.server.stop()


def test_update_then_scan_finds_a_hash_only_the_new_list_holds():
    s = Setup("update_then_scan")
    try:
        s.server.write("dosyalar/hash.txt", "# lists\r\n" + s.server.url("/a.txt") + "\r\n")
        s.server.write("a.txt", "%s\n%s\n" % ("1" * 64, PAYLOAD_HASH))
        s.inst.write("target/payload.bin", PAYLOAD, mode="wb")
        scan = "1\n3\n0\n0\n%s\n5\n" % s.native(s.inst.path("target"))
        result = s.run("4\n\n" + scan + "5\n")
        check(result.returncode == 0, "exit code", result)
        check("[SUCCESS] Database updated.\n" in result.stdout, "success line", result)
        check("Malicious Found: 1" in result.stdout, "the scan found the payload", result)
        check("payload.bin" in result.stdout.split("MALICIOUS FILES DETECTED")[-1],
              "the payload is listed", result)
        check(s.inst.read("hashes.txt") == "# list: %s\n%s\n%s\n" % (
            s.server.url("/a.txt"), "1" * 64, PAYLOAD_HASH), "hashes.txt holds the list")
        check(os.path.getsize(s.inst.path("hashes.bin")) == 64, "hashes.bin holds two records")
        log = s.inst.read("scan_log.txt")
        for line in ("Starting database update", "Downloading hash updates",
                     "Converting txt to bin DB", "Database update successful"):
            check(line in log, "log line " + line, result)
        agents = [agent for path, agent in s.server.requests() if path == "/dosyalar/hash.txt"]
        check(agents == ["Quorvex/1.0"], "the index is asked for once, with the agent name")
    finally:
        s.close()


def test_second_update_in_one_run_reuses_the_index():
    s = Setup("update_twice")
    try:
        s.server.write("dosyalar/hash.txt", s.server.url("/a.txt") + "\n")
        s.server.write("a.txt", PAYLOAD_HASH + "\n")
        result = s.run("4\n\n4\n\n5\n")
        check(result.stdout.count("[SUCCESS] Database updated.") == 1, "one success", result)
        # The list came again (its server sends no validators) but held nothing new.
        check("[INFO] Database already up to date.\n" in result.stdout, "nothing new", result)
        paths = [path for path, _ in s.server.requests()]
        check(paths == ["/dosyalar/hash.txt", "/a.txt", "/a.txt"], "requests: %r" % paths)
    finally:
        s.close()


def test_fresh_install_updates_from_its_sources_file():
    """No QUORVEX_UPDATE_URL: the shipped hashes.local.txt makes the first database, the sources
    file names the lists (one needing a key), and the user's own hashes survive the update."""
    s = Setup("update_sources_file")
    try:
        os.remove(s.inst.path("hashes.txt"))
        own = b"a file the user listed by hand\n"
        with open(os.path.join(DATA, "hashes.local.txt")) as f:
            s.inst.write("hashes.local.txt", f.read() + hashlib.sha256(own).hexdigest() + "\n")
        s.inst.write("update_sources.txt", "# test lists\n%s\n# %s\n%s  Auth-Key: letmein\n" % (
            s.server.url("/a.txt"), s.server.url("/off.txt"), s.server.url("/key/b.txt")))
        s.server.write("a.txt", "%s;downloaded\n" % PAYLOAD_HASH)
        s.server.write("b.txt", "1" * 64 + "\n")
        s.inst.write("target/payload.bin", PAYLOAD, mode="wb")
        s.inst.write("target/own.bin", own, mode="wb")
        scan = "1\n3\n0\n0\n%s\n5\n" % s.native(s.inst.path("target"))

        result = s.run_with_sources_file(scan + "5\n")
        check("[WARN]" not in result.stdout, "the local list makes a database", result)
        check(os.path.getsize(s.inst.path("hashes.bin")) == 64, "two records", result)
        check("Malicious Found: 1" in result.stdout, "before the update: the own file", result)

        local = s.inst.read("hashes.local.txt")
        result = s.run_with_sources_file("4\n\n" + scan + "5\n")
        check("[SUCCESS] Database updated.\n" in result.stdout, "success line", result)
        check("Malicious Found: 2" in result.stdout, "after it: both files", result)
        check(s.inst.read("hashes.local.txt") == local, "the local list is left as it was")
        requests = s.server.request_fields()
        check([r["path"] for r in requests] == ["/a.txt", "/key/b.txt"],
              "no index, no commented list: %r" % requests)
        check(requests[1]["Auth-Key"] == "letmein", "the key goes with its list")
    finally:
        s.close()


def test_the_shipped_sources_file_against_local_copies():
    """The shipped update_sources.txt, its hosts pointed at the test server, which serves a few
    lines in the format of each list (the real lists cannot be reached from the tests)."""
    s = Setup("update_shipped_sources")
    try:
        os.remove(s.inst.path("hashes.txt"))
        with open(os.path.join(DATA, "hashes.local.txt")) as f:
            s.inst.write("hashes.local.txt", f.read())
        with open(os.path.join(DATA, "update_sources.txt")) as f:
            s.inst.write("update_sources.txt",
                         f.read().replace("https://", s.server.url("/mirror/")))
        lines = [line for line in s.inst.read("update_sources.txt").splitlines()
                 if line.startswith("http")]
        check(len(lines) >= 1, "the shipped file names lists: %r" % lines)
        for line in lines:
            s.server.write(line.split()[0][len(s.server.url("/")):],
                           "# MD5;COMMENT\n# SHA256;COMMENT\n"
                           "44d88612fea8a8f36de82e1278abb02f;an MD5 entry\n"
                           "%s;a SHA-256 entry\n" % PAYLOAD_HASH)
        result = s.run_with_sources_file("4\n\n5\n")
        check("[SUCCESS] Database updated.\n" in result.stdout, "success line", result)
        check("[INFO] %d list%s, SHA-256 hashes taken: %d, other entries ignored: %d, "
              "own hashes: 1.\n" % (len(lines), "" if len(lines) == 1 else "s", len(lines),
                                    len(lines)) in result.stdout, "the counts", result)
    finally:
        s.close()


def test_unchanged_lists_leave_the_files_alone():
    s = Setup("update_unchanged")
    try:
        s.server.write("dosyalar/hash.txt", "%s\n%s\n" % (s.server.url("/etag/a.txt"),
                                                         s.server.url("/lastmod/b.txt")))
        s.server.write("a.txt", PAYLOAD_HASH + "\n")
        s.server.write("b.txt", "1" * 64 + "\n")
        result = s.run("4\n\n5\n")
        check("[SUCCESS] Database updated.\n" in result.stdout, "first update", result)
        stamps = [os.stat(s.inst.path(name)).st_mtime_ns for name in ("hashes.txt", "hashes.bin")]

        result = s.run("4\n\n5\n")
        check("[INFO] Database already up to date.\n" in result.stdout, "nothing new", result)
        check("Database already up to date" in s.inst.read("scan_log.txt"), "log line")
        check([os.stat(s.inst.path(name)).st_mtime_ns for name in ("hashes.txt", "hashes.bin")]
              == stamps, "neither file was rewritten")
        last = s.server.request_fields()[-2:]
        check(last[0]["If-None-Match"] is not None and last[1]["If-Modified-Since"] is not None,
              "conditional requests: %r" % last)

        s.server.write("a.txt", "2" * 64 + "\n")  # a new ETag
        result = s.run("4\n\n5\n")
        check("[SUCCESS] Database updated.\n" in result.stdout, "a changed list", result)
        check("2" * 64 in s.inst.read("hashes.txt"), "downloaded again")
    finally:
        s.close()


def test_a_list_without_its_key_and_a_missing_sources_file():
    s = Setup("update_key")
    try:
        s.server.write("dosyalar/hash.txt", s.server.url("/key/a.txt") + "\n")
        s.server.write("a.txt", PAYLOAD_HASH + "\n")
        result = s.run("4\n\n5\n")
        check("[ERROR] Update failed: %s: needs a key (HTTP status 401)\n"
              % s.server.url("/key/a.txt") in result.stdout, "needs a key", result)

        result = s.run_with_sources_file("4\n\n5\n")
        check("update_sources.txt: not found (it names the hash lists to download)\n"
              in result.stdout.split("[ERROR] Update failed: ", 1)[-1], "no sources file", result)
        check(s.inst.read("hashes.txt") == OLD_HASH + "\n", "hashes.txt untouched")
    finally:
        s.close()


def test_failed_update_leaves_the_database_files_alone():
    s = Setup("update_fails")
    try:
        # The index names a list whose body holds no hash line.
        s.server.write("dosyalar/hash.txt", s.server.url("/a.txt") + "\n")
        s.server.write("a.txt", "<html>maintenance</html>\n")
        result = s.run("4\n\n5\n")
        check(result.returncode == 0, "exit code", result)
        reason = s.server.url("/a.txt") + ": no SHA-256 hash line"
        check("[ERROR] Update failed: %s\n" % reason in result.stdout, "failure line", result)
        check("[SUCCESS]" not in result.stdout, "no success", result)
        check(s.inst.read("hashes.txt") == OLD_HASH + "\n", "hashes.txt untouched")
        check("[ERROR] Database update failed: " + reason in s.inst.read("scan_log.txt"),
              "log line")
        leftovers = [n for n in os.listdir(s.inst.folder) if ".download" in n or ".tmp" in n]
        check(not leftovers, "no staging files left: %r" % leftovers)
    finally:
        s.close()


def test_one_failing_list_fails_the_whole_update():
    """A good list and one answering 404 or 500: files and the running database stay as they were,
    and the console and the log name the list and the status."""
    old_payload = b"only the old database knows this file\n"
    for status in (404, 500):
        s = Setup("update_one_fails_%d" % status)
        try:
            old_text = hashlib.sha256(old_payload).hexdigest() + "\n"
            s.inst.write("hashes.txt", old_text)
            failing = s.server.url("/status/%d" % status)
            s.server.write("dosyalar/hash.txt", s.server.url("/a.txt") + "\n" + failing + "\n")
            s.server.write("a.txt", PAYLOAD_HASH + "\n")
            s.inst.write("target/old.bin", old_payload, mode="wb")
            s.inst.write("target/new.bin", PAYLOAD, mode="wb")
            scan = "1\n3\n0\n0\n%s\n5\n" % s.native(s.inst.path("target"))
            result = s.run("4\n\n" + scan + "5\n")
            reason = "%s: HTTP status %d" % (failing, status)
            check("[ERROR] Update failed: %s\n" % reason in result.stdout, "failure line", result)
            check("[ERROR] Database update failed: " + reason in s.inst.read("scan_log.txt"),
                  "log line")
            check(s.inst.read("hashes.txt") == old_text, "hashes.txt untouched")
            check(os.path.getsize(s.inst.path("hashes.bin")) == 32, "hashes.bin untouched")
            found = result.stdout.split("MALICIOUS FILES DETECTED")[-1]
            check("Malicious Found: 1" in result.stdout and "old.bin" in found and
                  "new.bin" not in found, "the running database is the old one", result)
        finally:
            s.close()


def test_plain_http_list_refused_unless_on_loopback():
    s = Setup("update_http")
    plain = UpdateServer(s.inst.path("plain"), tls=False).start()
    try:
        remote = "http://192.0.2.1/list.txt"
        s.server.write("dosyalar/hash.txt", s.server.url("/a.txt") + "\n" + remote + "\n")
        s.server.write("a.txt", PAYLOAD_HASH + "\n")
        result = s.run("4\n\n5\n")
        check("[ERROR] Update failed: %s: refused: plain http" % remote in result.stdout,
              "the remote http list is refused by name", result)
        check(s.inst.read("hashes.txt") == OLD_HASH + "\n", "hashes.txt untouched")
        check([p for p, _ in s.server.requests()] == ["/dosyalar/hash.txt"],
              "no list was fetched: %r" % s.server.requests())

        plain.write("b.txt", PAYLOAD_HASH + "\n")
        s.server.write("dosyalar/hash.txt", plain.url("/b.txt") + "\n")
        result = s.run("4\n\n5\n")
        check("[SUCCESS] Database updated.\n" in result.stdout, "the loopback list is taken",
              result)
        check(PAYLOAD_HASH in s.inst.read("hashes.txt"), "hashes.txt holds it")
    finally:
        plain.stop()
        s.close()


def test_unreachable_server_fails_the_update():
    s = Setup("update_unreachable")
    s.server.stop()  # the port now refuses connections
    result = s.run("4\n\n5\n")
    reason = s.server.url("/dosyalar/hash.txt") + ": transport error"
    check("[ERROR] Update failed: " + reason in result.stdout, "failure line", result)
    check(s.inst.read("hashes.txt") == OLD_HASH + "\n", "hashes.txt untouched")


def test_start_up_says_why_the_database_or_cache_is_unusable():
    inst = harness.Installation("startup_reasons")
    inst.write("hashes.bin", "x" * 33)
    inst.write("hashes.txt", "d41d8cd98f00b204e9800998ecf8427e  empty.txt\n")
    inst.write("hash_cache.bin", "\x01" * 5)
    result = inst.run("5\n")
    expected = (
        "[INFO] Starting with empty hash cache.\n"
        "       hash_cache.bin: damaged (cut short, or not a hash cache)\n"
        "[INIT] Loading hash database...\n"
        "[WARN] Could not load hashes. Starting with empty database.\n"
        "       hashes.bin: damaged (33 bytes, not a whole number of 32-byte records); "
        "hashes.txt: no SHA-256 hash line (1 MD5 or SHA-1 entries ignored)\n")
    check(result.stdout.startswith(expected), "start-up lines with their reasons", result)


if __name__ == "__main__":
    harness.main([
        test_update_then_scan_finds_a_hash_only_the_new_list_holds,
        test_second_update_in_one_run_reuses_the_index,
        test_fresh_install_updates_from_its_sources_file,
        test_the_shipped_sources_file_against_local_copies,
        test_unchanged_lists_leave_the_files_alone,
        test_a_list_without_its_key_and_a_missing_sources_file,
        test_failed_update_leaves_the_database_files_alone,
        test_one_failing_list_fails_the_whole_update,
        test_plain_http_list_refused_unless_on_loopback,
        test_unreachable_server_fails_the_update,
        test_start_up_says_why_the_database_or_cache_is_unusable,
    ])
