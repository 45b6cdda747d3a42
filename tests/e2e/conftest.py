import os
import shutil

import pytest

import harness


def pytest_configure(config):
    if not harness.in_sandbox():
        pytest.exit("refusing to run: end-to-end tests may only run inside tests/sandbox/run "
                    "(private /etc and /var, no CAP_SYS_TIME)", returncode=2)
    if not os.access(harness.WENDLE, os.X_OK):
        pytest.exit(f"WENDLE_BIN does not name the wendle binary: {harness.WENDLE!r}", returncode=2)


@pytest.fixture(autouse=True)
def clean_box():
    """Every test starts with an empty box: no table, no postcode program, no zone files."""
    yield
    for pid in harness.wendle_pids():
        harness.end_pid(pid)
    harness.wait_port_free()
    for path in ("/etc/postcodezones", "/etc/localtime", "/etc/shadow", "/etc/postcode", "/var/hack"):
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        elif os.path.lexists(path):
            os.unlink(path)


@pytest.fixture
def syslog():
    listener = harness.Syslog()
    yield listener
    listener.close()


@pytest.fixture
def wendle():
    """Starts the daemon: wendle(*args, **kw) -> harness.Wendle; all are ended after the test."""
    started = []

    def start(*args, **kw):
        w = harness.Wendle(*args, **kw)
        started.append(w)
        return w

    yield start
    for w in started:
        w.stop()

