"""Runs the examples of one Markdown file as its reader would, in order, in one scratch
folder, and fails on the first whose result differs from what the page shows.

An example is a fenced block with a marker, an HTML comment, on the line before it:

  <!-- test: c NAME -->       a C99 host, compiled against the build tree into program NAME
  <!-- test: cpp NAME -->     a C++ host, the same (C++20, no exceptions, no RTTI)
  <!-- test: file PATH -->    text written to PATH, for the examples after it
  <!-- test: session [PROGRAM ARG...] -->
                              a terminal transcript replayed through PROGRAM (kxshell when
                              none is named): what follows a prompt was typed and is piped
                              in, the other lines are the expected output; a bare prompt
                              last is the end of input
  <!-- test: sh -->           each "$ " line is run by sh; the lines up to the next one are
                              its expected standard output
  <!-- test: python -->       run by this Python with the client on its path
  <!-- test: clone FILE -->   a Python program saved as FILE in the root of a fresh clone
                              (the client's folder, and build/default/examples holding
                              kxshell) and run there as a reader is told to:
                              PYTHONPATH=clients/python PATH=build/default/examples:$PATH
                              /usr/bin/python3 FILE
  <!-- test: pytest -->       a test file, run by pytest with the client's plugin and kxshell
  <!-- test: none REASON -->  not runnable as it stands (a fragment, a machine-specific step)

Programs are found in the scratch folder, then beside kxshell.  A c, cpp or python block
without a marker is an error, so no example drops out of the test unnoticed.
"""

import argparse
import difflib
import os
import re
import shlex
import subprocess
import sys
import tempfile

MARKER = re.compile(r"^<!-- test: (\w+)(.*?) -->$")
PROMPTS = (":) ", "dev> ")
MUST_MARK = {"c", "cpp", "python"}
TIMEOUT = 60


def blocks(lines):
    """Yields (line number, kind, arguments, fence language, text) for each fenced block."""
    marker = None
    i = 0
    while i < len(lines):
        found = MARKER.match(lines[i])
        if found:
            marker = (found.group(1), shlex.split(found.group(2)), i + 1)
            i += 1
            continue
        if lines[i].startswith("```"):
            lang, start = lines[i][3:].strip(), i + 1
            end = next(j for j in range(start, len(lines)) if lines[j].startswith("```"))
            text = "".join(line + "\n" for line in lines[start:end])
            if marker and marker[2] != i:
                raise SystemExit(f"line {marker[2]}: marker not right above a fenced block")
            kind, args = marker[:2] if marker else (None, [])
            if kind is None and lang in MUST_MARK:
                raise SystemExit(f"line {start}: a {lang} block without a test marker")
            yield start, kind, args, text
            marker, i = None, end + 1
            continue
        if marker and lines[i].strip():
            raise SystemExit(f"line {marker[2]}: marker not right above a fenced block")
        i += 1


def check(where, expected, actual):
    if expected != actual:
        diff = difflib.unified_diff(expected.splitlines(True), actual.splitlines(True),
                                    "page", "run")
        raise SystemExit(f"line {where}: the output differs from the page\n" + "".join(diff))


def run(cmd, where, **kw):
    result = subprocess.run(cmd, capture_output=True, text=True, timeout=TIMEOUT, **kw)
    if result.returncode != 0 and not kw.get("shell"):
        raise SystemExit(f"line {where}: {shlex.join(cmd)} ended with {result.returncode}\n"
                         + result.stdout + result.stderr)
    return result


def session(text):
    """Splits a transcript into the piped input and the output a pipe gives back."""
    typed, shown = [], []
    lines = text.splitlines()
    for n, line in enumerate(lines):
        prompt = next((p for p in PROMPTS if (line + " ").startswith(p)), None)
        if prompt is None:
            shown.append(line + "\n")
            continue
        shown.append(prompt)  # not a terminal: the typed line is not echoed
        if n < len(lines) - 1 or len(line) > len(prompt.rstrip()):
            typed.append(line[len(prompt):] + "\n")
    return "".join(typed), "".join(shown)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("markdown")
    ap.add_argument("--cc", required=True)
    ap.add_argument("--cxx", required=True)
    ap.add_argument("--bin", required=True, help="folder of kxshell")
    ap.add_argument("--include", nargs="*", default=[])
    ap.add_argument("--lib", nargs="*", default=[], help="shared libraries to link")
    ap.add_argument("--python-path", help="folder of the Python client, when the tree has it")
    ap.add_argument("--root", help="the source tree (for clone examples)")
    opts = ap.parse_args()
    opts.bin = os.path.abspath(opts.bin)

    with open(opts.markdown, encoding="utf-8") as f:
        lines = f.read().splitlines()
    with tempfile.TemporaryDirectory(prefix="kxdocs-") as work:
        run_page(opts, lines, work)


def run_in_clone(opts, work, name, text, where):
    """Runs a program from the root of a clone as the page tells a reader to,
    with nothing of this runner's environment: a scratch root whose
    clients/ is the tree's and whose build/default/examples/ is the build's."""
    root = os.path.join(work, "clone")
    os.makedirs(os.path.join(root, "build", "default"), exist_ok=True)
    for link, target in (("clients", os.path.join(opts.root, "clients")),
                         (os.path.join("build", "default", "examples"), opts.bin)):
        if not os.path.lexists(os.path.join(root, link)):
            os.symlink(target, os.path.join(root, link))
    with open(os.path.join(root, name), "w", encoding="utf-8") as f:
        f.write(text)
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    command = f"PYTHONPATH=clients/python PATH=build/default/examples:$PATH /usr/bin/python3 {name}"
    run(["sh", "-c", command], where, cwd=root, env=env)


def run_page(opts, lines, work):
    env = dict(os.environ, HOME=work, PATH=os.pathsep.join([work, opts.bin, os.environ["PATH"]]))
    if opts.python_path:
        env["PYTHONPATH"] = opts.python_path
    link = [f"-I{d}" for d in opts.include] + opts.lib
    link += [f"-Wl,-rpath,{os.path.dirname(lib)}" for lib in opts.lib]
    compilers = {"c": [opts.cc, "-std=c99"],
                 "cpp": [opts.cxx, "-std=c++20", "-fno-exceptions", "-fno-rtti"]}
    ran, left = [], 0
    for where, kind, args, text in blocks(lines):
        if kind in (None, "none"):
            continue
        if kind in ("python", "pytest", "clone") and not opts.python_path:
            left += 1
            continue
        ran.append(f"{kind}@{where}")
        if kind in compilers:
            source = os.path.join(work, args[0] + (".c" if kind == "c" else ".cpp"))
            with open(source, "w", encoding="utf-8") as f:
                f.write(text)
            run(compilers[kind] + ["-Wall", "-Wextra", "-Werror", source,
                                   "-o", os.path.join(work, args[0])] + link, where)
        elif kind == "file":
            with open(os.path.join(work, args[0]), "w", encoding="utf-8") as f:
                f.write(text)
        elif kind == "session":
            typed, shown = session(text)
            result = run(args or ["kxshell"], where, input=typed, cwd=work, env=env)
            check(where, shown, result.stdout)
        elif kind == "sh":
            for command, output in re.findall(r"^\$ (.*)\n((?:(?!\$ ).*\n)*)", text, re.M):
                result = run(command, where, shell=True, cwd=work, env=env)
                check(where, output, result.stdout)
        elif kind == "python":
            run([sys.executable, "-c", text], where, cwd=work, env=env)
        elif kind == "clone":
            run_in_clone(opts, work, args[0], text, where)
        elif kind == "pytest":
            test = os.path.join(work, f"test_page_{where}.py")
            with open(test, "w", encoding="utf-8") as f:
                f.write(text)
            run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                 "-p", "kxmuti.pytest_plugin", "--kx-spawn",
                 os.path.join(opts.bin, "kxshell") + " --serve", test], where, cwd=work, env=env)
        else:
            raise SystemExit(f"line {where}: unknown kind of example: {kind}")
    print(f"{opts.markdown}: ran {len(ran)} examples: {' '.join(ran)}"
          + (f"; {left} Python examples wait for the client" if left else ""))


if __name__ == "__main__":
    main()
