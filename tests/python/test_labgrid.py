"""labgrid: the driver over a serial console on a pty and over ser2net's
network port, and the strategy taking a simulated board from off to its
shell and to serving; the client alone over ser2net's URLs too."""

import os
import shlex
import subprocess
import sys
import time
from pathlib import Path

import pytest

import kxmuti
from conftest import labgrid_env
from kxmuti import Client

labgrid = pytest.importorskip("labgrid")

SIMBOARD = Path(__file__).with_name("simboard.py")

def driver(tmp_path, console):
    config = tmp_path / "env.yaml"
    config.write_text(labgrid_env(console))
    return labgrid.Environment(str(config)).get_target("main").get_driver("KxMUtiDriver")


@pytest.fixture
def pty_driver(pty_server, tmp_path):
    return driver(tmp_path, f"RawSerialPort: {{port: {pty_server}, speed: 115200}}")


def check_driver(kx):
    from labgrid.driver import ExecutionError

    assert kx.get_status() == 1
    assert kx.run("echo hi") == (["hi"], [], 0)
    assert kx.run("no-such-command")[2] == 127
    assert kx.run("md 80100002")[2] == 1
    assert kx.run_check("md 80100000 1") == ["80100000: 00000000"]
    with pytest.raises(ExecutionError):
        kx.run_check("mw 90000000 1")
    assert kx.poll_until_success("echo x", expected=0, tries=1)
    assert kx.run_result("echo exact").out == b"exact\n"


def test_driver_over_a_serial_driver_on_a_pty(pty_driver):
    kx = pty_driver
    check_driver(kx)
    kx.target.deactivate(kx)
    assert kx.get_status() == 0


def test_driver_timeouts_raise_the_clients_timeout_every_time(pty_driver):
    kx = pty_driver
    for _ in range(10):  # a timeout running out mid-read once went negative
        with pytest.raises(kxmuti.Timeout) as e:
            kx.run("msleep 2000", timeout=0.3)
        assert e.value.result.cancelled
    assert kx.run("echo still") == (["still"], [], 0)


def test_driver_through_ser2net_as_a_network_serial_port(ser2net, tmp_path):
    check_driver(driver(tmp_path, "NetworkSerialPort: {host: 127.0.0.1, port: %d, speed: 115200}"
                        % ser2net.rfc2217))


@pytest.mark.parametrize("url", ["rfc2217://127.0.0.1:{rfc2217}?ign_set_control",
                                 "socket://127.0.0.1:{raw}"])
def test_client_through_ser2net_urls(ser2net, url):
    target = "serial:" + url.format(rfc2217=ser2net.rfc2217, raw=ser2net.raw)
    with Client.open(target) as kx:
        assert kx.target == target + "@115200"
        assert kx.run("echo far").out == b"far\n"
        assert kx.run_many(["mw 80100000 5", "md 80100000 1"])[1].out == b"80100000: 00000005\n"


STRATEGY_ENV = """
targets:
  main:
    resources:
      RawSerialPort:
        port: {port}
        speed: 115200
    drivers:
      ExternalPowerDriver:
        cmd_on: "{power} on"
        cmd_off: "{power} off"
      SerialDriver: {{}}
      ShellDriver:
        prompt: 'root@simboard:~# '
        login_prompt: 'simboard login: '
        username: root
        login_timeout: 60
      KxMUtiDriver:
        connect_timeout: {connect}
      KxMUtiStrategy: {{}}
imports:
  - kxmuti.labgrid
"""


@pytest.fixture
def simboard(tmp_path, shell_argv):
    """A simulated board: a pty console, a login program and a shell that runs kxshell."""
    folder = tmp_path / "board"
    folder.mkdir()
    proc = subprocess.Popen([sys.executable, str(SIMBOARD), "serve", str(folder), "--kxshell",
                             shlex.join(shell_argv)])
    deadline = time.monotonic() + 30
    while not (folder / "state").exists():
        assert time.monotonic() < deadline and proc.poll() is None, "the board did not start"
        time.sleep(0.02)
    yield folder
    proc.terminate()
    proc.wait(timeout=10)


def test_strategy_takes_a_simulated_board_through_its_states(simboard, tmp_path):
    power = f"{sys.executable} {SIMBOARD} power {simboard}"
    config = tmp_path / "strategy.yaml"
    config.write_text(STRATEGY_ENV.format(port=(simboard / "console").read_text(), power=power,
                                          connect=30 if os.environ.get("KX_EMULATOR") else 5))
    target = labgrid.Environment(str(config)).get_target("main")
    strategy = target.get_driver("KxMUtiStrategy")
    shell = target.get_driver("ShellDriver", activate=False)
    kx = target.get_driver("KxMUtiDriver", activate=False)
    seen = []
    for state in ["off", "shell", "kx", "shell", "kx", "off", "kx", "shell"]:
        start = time.monotonic()
        strategy.transition(state)
        seen.append(f"{state} {time.monotonic() - start:.3f} s")
        power_state = (simboard / "state").read_text()
        assert power_state == ("off" if state == "off" else "on")
        if state == "shell":
            assert shell.run_check("echo at the shell") == ["at the shell"]
        if state == "kx":
            assert kx.run("mw 80100000 cafe") == ([], [], 0)
            assert kx.run_check("md 80100000 1") == ["80100000: 0000CAFE"]
            assert kx.client.greeting["product"] == "kxMUti"
    print("transitions:", ", ".join(seen))  # shown in the test log
    strategy.transition("off")
