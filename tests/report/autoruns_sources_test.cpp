// The text rules the autostart readers share: unit files, specifiers, crontabs, shell command
// lines and the preload list.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "report/autoruns_sources.h"

namespace {

using autoruns::CronJob;
using autoruns::UnitAssignment;

std::vector<std::string> flat(const std::vector<UnitAssignment>& assignments) {
    std::vector<std::string> out;
    for (const auto& a : assignments) out.push_back(a.section + "|" + a.key + "|" + a.value);
    return out;
}

TEST(ParseUnitFile, SectionsCommentsBlanksAndContinuedLines) {
    const std::string content =
        "# leading comment\n"
        "ExecStart=/before/any/section\n"
        "[Unit]\n"
        "Description = a unit \r\n"
        "; another comment\n"
        "[Service]\n"
        "  ExecStartPre=-/bin/pre  \n"
        "ExecStart=\n"
        "ExecStart=/usr/bin/daemon \\\n"
        "# a comment inside the continued line is dropped\n"
        "    --flag \\\n"
        "    --other\n"
        "NoEqualsSign\n"
        "Environment=A=b\n"
        "[Install]\n"
        "WantedBy=multi-user.target\n"
        "ExecStart=/at/the/end \\";
    const std::vector<std::string> expected = {
        "|ExecStart|/before/any/section",
        "Unit|Description|a unit",
        "Service|ExecStartPre|-/bin/pre",
        "Service|ExecStart|",
        "Service|ExecStart|/usr/bin/daemon  --flag  --other",
        "Service|Environment|A=b",
        "Install|WantedBy|multi-user.target",
        "Install|ExecStart|/at/the/end",
    };
    EXPECT_EQ(flat(autoruns::parse_unit_file(content)), expected);
}

TEST(ExpandUnitSpecifiers, InstancePrefixNameAndHome) {
    struct Case {
        std::string text;
        std::string unit;
        std::string expanded;
    };
    const std::vector<Case> cases = {
        {"/bin/%i", "getty@tty1.service", "/bin/tty1"},
        {"/run/%I", "mount@var-lib-x.service", "/run/var/lib/x"},
        {"/x/%i", "x@a\\x2db.service", "/x/a\\x2db"},
        {"/x/%I", "x@a\\x2db.service", "/x/a-b"},
        {"/opt/%p/%N/%n", "app@one.service", "/opt/app/app@one/app@one.service"},
        {"/opt/%p", "plain.service", "/opt/plain"},
        {"/opt/%P", "dash-name.service", "/opt/dash/name"},
        {"%h/bin/tool", "tool.service", "/home/u/bin/tool"},
        {"/a/100%%/%t/x%", "u.service", "/a/100%/%t/x%"},
        {"/plain/%i", "plain.service", "/plain/"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(autoruns::expand_unit_specifiers(c.text, c.unit, "/home/u"), c.expanded)
            << c.text << " of " << c.unit;
    }
}

std::vector<std::string> flat(const std::vector<CronJob>& jobs) {
    std::vector<std::string> out;
    for (const auto& j : jobs) {
        out.push_back(std::to_string(j.line) + "|" + j.user + "|" + j.command + "|" + j.path);
    }
    return out;
}

TEST(ParseCrontab, SystemFormWithUserFieldSettingsAndPercent) {
    const std::string content =
        "SHELL=/bin/sh\n"
        "# m h dom mon dow user command\n"
        "17 *\t* * * root cd / && run-parts --report /etc/cron.hourly\n"
        "PATH = \"/usr/local/bin:/usr/bin\"\n"
        "  @reboot   daemon /opt/start --now\r\n"
        "0 0 * * * root /bin/date +\\%s > /tmp/d % stdin for the job\n"
        "\n"
        "0 0 * * *\n"
        "0 0 * * * justauser\n"
        "@daily nobody %only stdin\n"
        "PATH='/opt/bin'\n"
        "*/5 1-3 * jan,feb mon-fri www-data php /x.php\n";
    const std::vector<std::string> expected = {
        "3|root|cd / && run-parts --report /etc/cron.hourly|",
        "5|daemon|/opt/start --now|/usr/local/bin:/usr/bin",
        "6|root|/bin/date +%s > /tmp/d |/usr/local/bin:/usr/bin",
        "12|www-data|php /x.php|/opt/bin",
    };
    EXPECT_EQ(flat(autoruns::parse_crontab(content, true)), expected);
}

TEST(ParseCrontab, UserFormHasNoUserField) {
    const std::string content =
        "MAILTO=\"\"\n"
        "@reboot /home/alice/bin/agent\n"
        "30 2 * * 1 backup --all\n";
    const std::vector<std::string> expected = {
        "2||/home/alice/bin/agent|",
        "3||backup --all|",
    };
    EXPECT_EQ(flat(autoruns::parse_crontab(content, false)), expected);
}

TEST(ShellCommandPrograms, FirstWordOfEachCommandOfTheLine) {
    using Programs = std::vector<std::string>;
    const std::vector<std::pair<std::string, Programs>> cases = {
        {"/usr/bin/tool --flag", {"/usr/bin/tool"}},
        {"test -e /run/systemd/system || SERVICE_MODE=1 /usr/lib/e2scrub_all_cron",
         {"test", "/usr/lib/e2scrub_all_cron"}},
        {"cd / && run-parts --report /etc/cron.daily", {"cd", "run-parts"}},
        {"[ -x /usr/sbin/x ] && /usr/sbin/x >/dev/null 2>&1", {"[", "/usr/sbin/x"}},
        {"test -x /usr/sbin/anacron || { cd / && run-parts /etc/cron.daily; }",
         {"test", "cd", "run-parts"}},
        {"'/opt/my tool' -x; \"/opt/other tool\" -y", {"/opt/my tool", "/opt/other tool"}},
        {"/opt/with\\ space/x | /bin/grep y & /bin/bg",
         {"/opt/with space/x", "/bin/grep", "/bin/bg"}},
        {"2>/dev/null /bin/after-redirect", {"/bin/after-redirect"}},
        {"/bin/a &>/dev/null; /bin/b >> log 2>&1", {"/bin/a", "/bin/b"}},
        {"exec /bin/replaced", {"/bin/replaced"}},
        {"if /bin/cond; then /bin/yes; else /bin/no; fi", {"/bin/cond", "/bin/yes", "/bin/no"}},
        {"for f in /a /b; do /bin/each $f; done", {"/bin/each"}},
        {"(cd /tmp; /bin/sub)", {"cd", "/bin/sub"}},
        {"/bin/x $(/bin/inner; echo) `/bin/tick` | /bin/y", {"/bin/x", "/bin/y"}},
        {"$(/bin/inner) arg", {"$(/bin/inner)"}},
        {"! /bin/negated", {"/bin/negated"}},
        {"/bin/echo hi # /bin/comment", {"/bin/echo"}},
        {"/bin/echo a#b", {"/bin/echo"}},
        {"FOO=1 BAR=\"a b\"", {}},
        {"'/never/closed", {"/never/closed"}},
        {"", {}},
    };
    for (const auto& [command, programs] : cases) {
        EXPECT_EQ(autoruns::shell_command_programs(command), programs) << command;
    }
}

TEST(ParsePreloadList, BlanksLineBreaksAndColonsSeparate) {
    const std::vector<std::string> expected = {"/lib/a.so", "/lib/b.so", "/lib/c.so", "libd.so"};
    EXPECT_EQ(autoruns::parse_preload_list("/lib/a.so  /lib/b.so\n/lib/c.so:libd.so\t\n\n"),
              expected);
    EXPECT_TRUE(autoruns::parse_preload_list(" \n:\t").empty());
}

}  // namespace
