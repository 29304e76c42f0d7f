"""The command line, the pytest plugin (with the documentation's example,
run as written) and the labgrid driver, against the real shell."""

import re
import shlex
import subprocess
import sys
from xml.etree import ElementTree

import pytest

from conftest import ROOT

PY = "/usr/bin/python3"


def kxmuti_cli(args, env, **kw):
    return subprocess.run([PY, "-m", "kxmuti"] + args, env=env, capture_output=True,
                          timeout=60, **kw)


def test_run_reports_failing_lines_as_file_and_line(serve_argv, python_env, tmp_path):
    script = tmp_path / "s.kx"
    script.write_text("echo one\nmd 80100002\n# a comment\nno-such-command\necho two\n")
    p = kxmuti_cli(["run", "spawn:" + shlex.join(serve_argv), str(script)], python_env)
    assert p.returncode == 1
    assert p.stdout.startswith(b"one\n") and p.stdout.endswith(b"two\n")
    errors = p.stderr.decode().splitlines()
    assert [e.split(": ")[0] for e in errors] == [f"{script}:2", f"{script}:4"]
    assert "status 1 (0x00000001)" in errors[0] and "0xFFFFFF02" in errors[1]


def test_run_exits_0_when_all_lines_pass_and_2_without_a_target(serve_argv, python_env, tmp_path):
    script = tmp_path / "ok.kx"
    script.write_text("echo fine\n")
    assert kxmuti_cli(["run", "spawn:" + shlex.join(serve_argv), str(script)],
                      python_env).returncode == 0
    assert kxmuti_cli(["run", "tcp:127.0.0.1:1", str(script)], python_env).returncode == 2


def test_by_hand_frame_and_decode(serve_argv, python_env):
    frame = kxmuti_cli(["frame", "Q", "1", "echo hello"], python_env).stdout
    assert frame == b"#KX Q1 0 echo hello 573f596e\n"
    served = subprocess.run(serve_argv, input=frame, capture_output=True, timeout=60).stdout
    shown = kxmuti_cli(["decode"], python_env, input=served).stdout.decode().splitlines()
    assert shown[0].startswith("G 0 1 {")
    assert shown[1:3] == ["K 1 0 ", "O 1 0 hello\\n"]
    assert re.fullmatch(r'R 1 6 \{"status":6,"failed":false,.*\}', shown[3])


def documented_test() -> str:
    """The pytest example of docs/automation.md, exactly as printed there."""
    text = (ROOT / "docs" / "automation.md").read_text()
    section = text.split("### The pytest plugin", 1)[1]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def run_pytest(pytester, serve_argv, source, *extra):
    pytester.makepyfile(test_board=source)
    return pytester.runpytest_subprocess("-p", "kxmuti.pytest_plugin", "-p", "no:cacheprovider",
                                         "--kx-spawn", shlex.join(serve_argv), *extra)


def test_documented_example_passes(pytester, serve_argv, python_env, monkeypatch):
    monkeypatch.setenv("PYTHONPATH", python_env["PYTHONPATH"])
    result = run_pytest(pytester, serve_argv, documented_test())
    result.assert_outcomes(passed=2)


FAILING = '''
def test_tuner_frequency(kx):
    kx.check("mw 80100000 1")
    kx.run("echo tuning")
    r = kx.run("md 80100000 1")
    assert r.out == b"80100000: 00000002\\n"
'''


def test_failing_test_shows_commands_statuses_and_output(pytester, serve_argv, python_env,
                                                         monkeypatch):
    monkeypatch.setenv("PYTHONPATH", python_env["PYTHONPATH"])
    junit = pytester.path / "report.xml"
    result = run_pytest(pytester, serve_argv, FAILING, f"--junitxml={junit}")
    result.assert_outcomes(failed=1)
    out = result.stdout.str()
    sys.stdout.write(out)  # kept in the test log: what a person sees
    section = out.split("kx session", 1)[1]
    for expect in ("> mw 80100000 1", "> echo tuning", "status 7 (0x00000007), ok",
                   "> md 80100000 1", "80100000: 00000001"):
        assert expect in section
    failure = ElementTree.parse(junit).find(".//failure")
    assert "> md 80100000 1" in failure.text and "80100000: 00000001" in failure.text


def test_plugin_without_a_board_option_is_a_usage_error(pytester, python_env, monkeypatch):
    monkeypatch.setenv("PYTHONPATH", python_env["PYTHONPATH"])
    pytester.makepyfile(test_x="def test_x(kx):\n    pass\n")
    result = pytester.runpytest_subprocess("-p", "kxmuti.pytest_plugin", "-p", "no:cacheprovider")
    assert result.ret != 0 and "--kx-spawn" in result.stdout.str() + result.stderr.str()


ENV_YAML = """
targets:
  main:
    resources:
      RawSerialPort:
        port: {port}
        speed: 115200
    drivers:
      SerialDriver: {{}}
      KxMUtiDriver: {{}}
imports:
  - kxmuti.labgrid
"""


def test_labgrid_driver_over_a_serial_driver_on_a_pty(pty_server, tmp_path):
    labgrid = pytest.importorskip("labgrid")
    from labgrid.driver import ExecutionError

    config = tmp_path / "env.yaml"
    config.write_text(ENV_YAML.format(port=pty_server))
    target = labgrid.Environment(str(config)).get_target("main")
    kx = target.get_driver("KxMUtiDriver")
    assert kx.get_status() == 1
    assert kx.run("echo hi") == (["hi"], [], 0)
    assert kx.run("no-such-command")[2] == 127
    assert kx.run("md 80100002")[2] == 1
    assert kx.run_check("md 80100000 1") == ["80100000: 00000000"]
    with pytest.raises(ExecutionError):
        kx.run_check("mw 90000000 1")
    assert kx.poll_until_success("echo x", expected=0, tries=1)
    assert kx.run_result("echo exact").out == b"exact\n"
    target.deactivate(kx)
    assert kx.get_status() == 0
