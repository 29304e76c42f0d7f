"""The shell package's systemd unit template: installed beside kxshell,
it starts the installed kxshell serving on the instance's terminal, and
systemd reads it without a complaint."""

import shutil
import subprocess
from pathlib import Path

import pytest


@pytest.fixture
def staged(pytestconfig, tmp_path):
    """The shell component installed under tmp_path with the prefix /usr."""
    build = Path(pytestconfig.getoption("kxshell")).resolve().parents[1]
    if not (build / "cmake_install.cmake").exists():
        pytest.skip(f"{build} is not a build tree of this project")
    subprocess.run(["cmake", "--install", str(build), "--component", "shell", "--prefix", "/usr"],
                   env={"DESTDIR": str(tmp_path), "PATH": "/usr/bin:/bin"}, check=True,
                   capture_output=True, timeout=120)
    return tmp_path


def test_the_unit_serves_the_installed_shell_on_its_terminal(staged, tmp_path):
    unit = staged / "usr/lib/systemd/system/kxshell-serve@.service"
    text = unit.read_text()
    lines = dict(ln.split("=", 1) for ln in text.splitlines() if "=" in ln and ln[0] != "#")
    assert lines["ExecStart"] == "/usr/bin/kxshell --serve"
    assert (staged / "usr/bin/kxshell").exists()
    assert lines["TTYPath"] == "/dev/%I" and lines["StandardInput"] == "tty-force"
    if shutil.which("systemd-analyze") is None:
        pytest.skip("systemd-analyze is not installed")
    # systemd checks the programs it would run: point it at the staged one.
    check = tmp_path / "check"
    check.mkdir()
    (check / "kxshell-serve@.service").write_text(
        text.replace("/usr/bin/kxshell", str(staged / "usr/bin/kxshell")))
    (check / "kxshell-serve@ttyS1.service").symlink_to("kxshell-serve@.service")
    p = subprocess.run(["systemd-analyze", "verify", "--man=no",
                        str(check / "kxshell-serve@ttyS1.service")],
                       capture_output=True, text=True, timeout=60)
    assert p.returncode == 0 and p.stderr == "", p.stderr
