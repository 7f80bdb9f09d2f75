"""Firmware tests on the zelk simulator as Bazel tests.

zelk_firmware_test() plays the part zelk_add_firmware_test() plays for
CMake: the firmware runs on a fresh chip of its own under `zelk_sim`, which
follows Bazel's test protocol (its report in test.xml, one testcase per
firmware case with `cases`; its console in the test's undeclared outputs as
console.log; the fresh chip in the test's own temporary folder). Load it
from where the package put it, copied into your workspace or through a
local repository:

    load("//tools:zelk.bzl", "zelk_firmware_test")

    zelk_firmware_test(
        name = "unit",
        elf = ":unit_test.elf",
        cases = "unity",
        cases_list = "unit_cases.txt",
        timeout = 30,
    )

`zelk_sim` and the simulator are taken from the test's PATH (pass
--test_env=PATH, or give `launcher`). A firmware runs whole: a
`shard_count` is refused.
"""

def _refuse_shards(kwargs):
    # Named apart: the macro's own `fail` hides the built-in there.
    if kwargs.get("shard_count", 1) != 1:
        fail("zelk_firmware_test: a firmware runs whole; shard_count cannot split it")

def _quoted(word):
    return "'" + word.replace("'", "'\\''") + "'"

def _zelk_firmware_test_impl(ctx):
    launcher = _quoted(ctx.file.launcher.short_path) if ctx.file.launcher else "zelk_sim"
    words = [
        "--fresh-chip",
        "-nographic",
        "--test-name",
        ctx.label.name,
        "--timeout",
        ctx.attr.seconds,
    ]
    if ctx.attr.cases:
        words += ["--cases", ctx.attr.cases]
    if ctx.file.cases_list:
        words += ["--cases-list", ctx.file.cases_list.short_path]
    for text in ctx.attr.expect:
        words += ["--expect", text]
    for text in ctx.attr.fail:
        words += ["--fail", text]
    if ctx.attr.status:
        words.append("--status")
    if ctx.file.fls:
        words += ["-img", ctx.file.fls.short_path]
    words += ctx.attr.words
    words += ["-elf", ctx.file.elf.short_path]
    script = ctx.actions.declare_file(ctx.label.name + ".zelk.sh")
    ctx.actions.write(
        output = script,
        content = "#!/bin/sh\nexec " + launcher + " " + " ".join([_quoted(w) for w in words]) + "\n",
        is_executable = True,
    )
    files = [f for f in [ctx.file.elf, ctx.file.fls, ctx.file.cases_list, ctx.file.launcher] if f]
    runfiles = ctx.runfiles(files = files + ctx.files.data)
    return [DefaultInfo(executable = script, runfiles = runfiles)]

_zelk_firmware_test = rule(
    implementation = _zelk_firmware_test_impl,
    test = True,
    attrs = {
        "elf": attr.label(allow_single_file = True, mandatory = True),
        "fls": attr.label(allow_single_file = True),
        "cases": attr.string(),
        "cases_list": attr.label(allow_single_file = True),
        "expect": attr.string_list(),
        "fail": attr.string_list(),
        "seconds": attr.string(default = "60"),
        "status": attr.bool(),
        "words": attr.string_list(),
        "launcher": attr.label(allow_single_file = True),
        "data": attr.label_list(allow_files = True),
    },
)

def zelk_firmware_test(
        name,
        elf,
        fls = None,
        cases = None,
        cases_list = None,
        expect = [],
        fail = [],
        timeout = 60,
        status = False,
        words = [],
        launcher = None,
        data = [],
        **kwargs):
    """A Bazel test that runs the firmware |elf| on the zelk simulator.

    Args:
      name: the test's name, and its testcase's in the report.
      elf: the firmware's ELF.
      fls: a firmware image file (.fls) written into the chip's flash.
      cases: the test framework whose results the console shows (--cases).
      cases_list: the cases the firmware should run (--cases-list).
      expect: texts that must appear, in this order (--expect).
      fail: texts that fail the run (--fail).
      timeout: the launcher's limit in whole seconds; Bazel's own timeout
        is the smallest of its classes that holds it and a little more.
      status: the simulator's exit status decides (--status).
      words: more words for the launcher, after those above.
      launcher: zelk_sim itself, where PATH should not decide.
      data: more files the run reads.
      **kwargs: what every Bazel test takes (tags, size, ...).
    """
    _refuse_shards(kwargs)

    # Bazel's class leaves the launcher time to end the run and report.
    limit = int(timeout) + 15
    bazel_timeout = "short" if limit <= 60 else "moderate" if limit <= 300 else "long" if limit <= 900 else "eternal"
    _zelk_firmware_test(
        name = name,
        elf = elf,
        fls = fls,
        cases = cases,
        cases_list = cases_list,
        expect = expect,
        fail = fail,
        seconds = str(timeout),
        status = status,
        words = words,
        launcher = launcher,
        data = data,
        timeout = bazel_timeout,
        **kwargs
    )
