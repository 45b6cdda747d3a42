"""What a person installs: the tree of cmake --install, the Debian package, the
systemd unit and the manual page."""

import os
import shutil
import subprocess

import pytest

BUILD = os.environ.get("WENDLE_BUILD_DIR", "")
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TREE = {
    "usr/sbin/wendle",
    "usr/share/man/man8/wendle.8",
    "usr/share/doc/wendle/examples/get_postalcode",
    "usr/share/doc/wendle/examples/postcodezones",
    "usr/lib/systemd/system/wendle.service",
}


def run(*cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kw)


@pytest.fixture(scope="module")
def stage():
    path = "/tmp/stage"
    shutil.rmtree(path, ignore_errors=True)
    run("cmake", "--install", BUILD, env={**os.environ, "DESTDIR": path})
    return path


def files_under(path):
    return {os.path.relpath(os.path.join(d, f), path) for d, _, fs in os.walk(path) for f in fs}


def test_install_tree(stage):
    assert files_under(stage) == TREE
    assert os.access(f"{stage}/usr/sbin/wendle", os.X_OK)
    assert os.access(f"{stage}/usr/share/doc/wendle/examples/get_postalcode", os.X_OK)


def test_systemd_unit(stage):
    with open(f"{stage}/usr/lib/systemd/system/wendle.service") as f:
        unit = f.read()
    for line in ("Type=forking", "ExecStart=/usr/sbin/wendle -s", "Restart=on-failure",
                 "Before=time-sync.target", "Wants=network-online.target time-sync.target"):
        assert line + "\n" in unit
    if shutil.which("systemd-analyze") is None:
        pytest.skip("systemd-analyze is not installed")
    # Checked with ExecStart pointing into the staging tree, where the binary is.
    os.makedirs("/tmp/unit", exist_ok=True)
    with open("/tmp/unit/wendle.service", "w") as f:
        f.write(unit.replace("/usr/sbin/wendle", f"{stage}/usr/sbin/wendle"))
    result = subprocess.run(["systemd-analyze", "verify", "--man=no", "--recursive-errors=no",
                             "/tmp/unit/wendle.service"], capture_output=True, text=True)
    assert result.returncode == 0 and result.stderr == "", result.stderr


def test_manual_is_lint_clean():
    page = os.path.join(ROOT, "doc", "wendle.8")
    result = subprocess.run(["groff", "-ww", "-z", "-man", page], capture_output=True, text=True)
    # The site's own man.local lives in the host's /etc, which the sandbox hides.
    warnings = [w for w in result.stderr.splitlines() if "man.local" not in w]
    assert result.returncode == 0 and warnings == [], result.stderr
    text = run("man", "--warnings", "-l", page, env={**os.environ, "MANWIDTH": "80"}).stdout
    for needed in ("SYNOPSIS", "OPTIONS", "FILES", "EXIT STATUS", "DIAGNOSTICS", "EXAMPLES", "2038",
                   "not authenticated", "Couldn't bind socket"):
        assert needed in text


def test_sample_postcode_program():
    program = os.path.join(ROOT, "examples", "get_postalcode")
    if os.path.exists("/etc/postcode"):
        os.unlink("/etc/postcode")
    assert run(program).stdout == "retry\n"
    with open("/etc/postcode", "w") as f:
        f.write("1011599 extra\n")
    try:
        assert run(program).stdout == "10115\n"
    finally:
        os.unlink("/etc/postcode")


def test_debian_package():
    out = "/tmp/package"
    shutil.rmtree(out, ignore_errors=True)
    run("cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", out)
    [deb] = [f for f in os.listdir(out) if f.endswith(".deb")]
    deb = os.path.join(out, deb)
    listed = {line.split()[-1].lstrip("./") for line in run("dpkg-deb", "-c", deb).stdout.splitlines()
              if not line.startswith("d")}
    assert listed == TREE
    info = run("dpkg-deb", "-I", deb).stdout
    arch = run("dpkg", "--print-architecture").stdout.strip()
    for field in ("Package: wendle", "Version: 1.3", f"Architecture: {arch}", "Maintainer: ",
                  "Description: sets an appliance's local clock from NTP broadcasts"):
        assert field in info, info
    [depends] = [line for line in info.splitlines() if line.startswith(" Depends: ")]
    assert "libc6" in depends
