"""The man page and the bash completion know every command and option that `--help` lists."""

import os
import re

import harness
from harness import check

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
MAN_PAGE = os.path.join(SOURCE, "data", "quorvex.1")
COMPLETION = os.path.join(SOURCE, "data", "completion", "quorvex")


def help_text(inst, *command):
    result = inst.run(None, args=command + ("--help",))
    check(result.returncode == 0, "%r --help" % (command,), result)
    return result.stdout


def commands_of(text):
    """The subcommands a help text lists under "Subcommands:"."""
    block = text.split("Subcommands:", 1)[1] if "Subcommands:" in text else ""
    return re.findall(r"^  (\w[\w-]*)\s", block, re.M)


def options_of(text):
    return sorted(set(re.findall(r"(?<![\w-])(--[a-z][a-z-]*)", text)))


def test_man_page_and_completion_list_every_option():
    if harness.is_windows():
        raise harness.Skip("the man page and the completion are installed on Linux")
    inst = harness.Installation("docs")
    man = open(MAN_PAGE).read().replace("\\-", "-")
    completion = open(COMPLETION).read()
    commands = commands_of(help_text(inst))
    check(commands, "the help lists commands")
    listed = re.search(r'_quorvex_commands="([^"]*)"', completion)
    check(listed is not None and sorted(listed.group(1).split()) == sorted(commands),
          "the completion's commands are %s" % commands)
    for option in options_of(help_text(inst)):
        check(option in man, "the man page names %s" % option)
    for command in commands:
        check(re.search(r"^\.B %s$" % re.escape(command), man, re.M),
              "the man page describes the command %s" % command)
        text = help_text(inst, command)
        variable = re.search(r'_quorvex_options_%s="([^"]*)"' % command.replace("-", "_"),
                             completion)
        check(variable is not None, "the completion has options for %s" % command)
        completed = set(variable.group(1).split())
        for option in options_of(text):
            check(option in man, "the man page names %s of %s" % (option, command))
            check(option in completed, "the completion offers %s for %s" % (option, command))
        for option in completed:
            check(option in options_of(text), "%s %s is an option --help lists" % (command, option))


if __name__ == "__main__":
    harness.main([test_man_page_and_completion_list_every_option])
