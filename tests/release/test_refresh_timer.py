"""The systemd units that renew the freshness statement (tools/cloud/systemd):
systemd-analyze verify accepts them as written (the tool's path put in), the
service's command line is the tool's own and does its work when its paths
point at a test folder and a test token, and the timer's interval fits the
window the service signs for.

    test_refresh_timer.py <vornquill-release>
"""

import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
UNITS = os.path.join(REPO, "tools", "cloud", "systemd")
SERVICE = os.path.join(UNITS, "vornquill-refresh.service")
TIMER = os.path.join(UNITS, "vornquill-refresh.timer")
KEYS = os.path.join(HERE, "keys")
MODULE = "/usr/lib/softhsm/libsofthsm2.so"
TOOL = None  # from the command line


def unit_settings(path):
    """(section, key, value) of a unit file, continuation lines joined."""
    settings, section, pending = [], None, ""
    with open(path, encoding="utf-8") as f:
        for raw in f:
            line = raw.rstrip("\n")
            if not pending and (not line.strip() or line.lstrip().startswith(("#", ";"))):
                continue
            if line.endswith("\\"):
                pending += line[:-1] + " "
                continue
            line, pending = pending + line, ""
            if line.startswith("["):
                section = line.strip("[] ")
                continue
            key, _, value = line.partition("=")
            settings.append((section, key.strip(), value.strip()))
    return settings


def setting(path, section, key):
    found = [v for s, k, v in unit_settings(path) if s == section and k == key]
    if len(found) != 1:
        raise AssertionError("%s: [%s] %s appears %d times" % (path, section, key, len(found)))
    return found[0]


class RefreshUnits(unittest.TestCase):

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="vq-refresh-timer-")
        self.addCleanup(shutil.rmtree, self.work, True)

    def test_systemd_accepts_the_units(self):
        analyze = shutil.which("systemd-analyze")
        if analyze is None:
            self.skipTest("systemd-analyze is missing (Debian package systemd, scripts/setup-deps)")
        # The installed tool's path becomes the built one: verify checks that
        # the command exists.
        for path in (SERVICE, TIMER):
            with open(path, encoding="utf-8") as f:
                text = f.read().replace("/usr/local/bin/vornquill-release", os.path.abspath(TOOL))
            with open(os.path.join(self.work, os.path.basename(path)), "w", encoding="utf-8") as f:
                f.write(text)
        r = subprocess.run([analyze, "verify", "--man=no", "vornquill-refresh.service", "vornquill-refresh.timer"],
                           cwd=self.work, capture_output=True, text=True, timeout=60)
        self.assertEqual((r.returncode, r.stdout + r.stderr), (0, ""))
        # Its calendar: once a day.
        r = subprocess.run([analyze, "calendar", "--iterations=2", setting(TIMER, "Timer", "OnCalendar")],
                           capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("Normalized form: *-*-* 03:15:00 UTC", r.stdout)

    def test_readme_shows_the_units_as_they_are(self):
        with open(os.path.join(REPO, "tools", "cloud", "README.md"), encoding="utf-8") as f:
            readme = f.read()
        shown = readme.split("<!-- refresh-units: begin -->\n", 1)[1].split("<!-- refresh-units: end -->", 1)[0]
        blocks = re.findall(r"```ini\n(.*?)```", shown, re.S)
        units = []
        for path in (SERVICE, TIMER):
            with open(path, encoding="utf-8") as f:
                units.append(f.read())
        self.assertEqual(blocks, units)

    def test_timer_fits_the_window(self):
        """Daily, at most 15 min late, caught up after a day off: the statement of a 7-day window
        then has at least 6 days left, and a failed day leaves 5, above check's 3-day warning."""
        self.assertEqual(setting(TIMER, "Timer", "OnCalendar"), "*-*-* 03:15:00 UTC")
        self.assertEqual(setting(TIMER, "Timer", "Persistent"), "true")
        self.assertEqual(setting(TIMER, "Timer", "RandomizedDelaySec"), "15min")
        self.assertEqual(setting(TIMER, "Install", "WantedBy"), "timers.target")
        argv = shlex.split(setting(SERVICE, "Service", "ExecStart"))
        days = int(argv[argv.index("--fresh-days") + 1])
        self.assertEqual(days, 7)
        self.assertGreater(days - 2, 3, "two missed runs must leave more than check's 3-day warning")
        self.assertEqual(setting(SERVICE, "Service", "Type"), "oneshot")
        self.assertIn("/srv/vornquill/published", setting(SERVICE, "Service", "ReadWritePaths").split())

    def test_service_command_renews_a_statement(self):
        """The service's own command line, its paths moved to a test folder, a test token holding a
        freshness key that keygen made in it, and the test release key: it renews the statement."""
        if not os.path.exists(MODULE):
            self.fail("%s is missing (softhsm2, scripts/setup-deps)" % MODULE)
        argv = shlex.split(setting(SERVICE, "Service", "ExecStart"))
        self.assertEqual(argv[:2], ["/usr/local/bin/vornquill-release", "refresh"])
        # A token like the vendor's, with a freshness key made inside it.
        tokens = os.path.join(self.work, "tokens")
        os.mkdir(tokens)
        conf = os.path.join(self.work, "softhsm2.conf")
        with open(conf, "w") as f:
            f.write("directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n" % tokens)
        env = {k: v for k, v in os.environ.items() if k != "VORNQUILL_PKCS11_PIN"}
        env["SOFTHSM2_CONF"] = conf
        uri = argv[argv.index("--fresh-key") + 1]
        token = re.search(r"token=([^;?]+)", uri).group(1)
        label = re.search(r"object=([^;?]+)", uri).group(1)
        subprocess.run(["softhsm2-util", "--init-token", "--free", "--label", token, "--pin", "1234",
                        "--so-pin", "5678"], check=True, capture_output=True, env=env, timeout=60)
        pin = os.path.join(self.work, "fresh.pin")
        fd = os.open(pin, os.O_WRONLY | os.O_CREAT, 0o600)
        os.write(fd, b"1234\n")
        os.close(fd)
        fresh_public = os.path.join(self.work, "fresh.public")
        subprocess.run([TOOL, "keygen", "--freshness", "--secret", "pkcs11:token=%s;object=%s" % (token, label),
                        "--public", fresh_public, "--module", MODULE, "--pin-file", pin],
                       check=True, capture_output=True, env=env, timeout=60)
        with open(fresh_public, encoding="ascii") as f:
            fresh = dict(line.strip().split("=", 1) for line in f if "=" in line and not line.startswith("#"))
        # A published folder as publish writes it.
        published = os.path.join(self.work, "published")
        installer = os.path.join(self.work, "installer.exe")
        with open(installer, "wb") as f:
            f.write(os.urandom(5000))
        subprocess.run([TOOL, "publish", "--installer", installer, "--version", "1.0.0", "--key",
                        os.path.join(KEYS, "test-release.secret"), "--fresh-key",
                        os.path.join(KEYS, "test-freshness.secret"), "--fresh-days", "1", "--out", published,
                        "--allow-refused-installer"], check=True, capture_output=True, env=env, timeout=60)
        moved = {"/srv/vornquill/published": published,
                 "/etc/vornquill/production-release.public": os.path.join(KEYS, "test-release.public"),
                 "/etc/vornquill/fresh.pin": pin,
                 "/usr/local/bin/vornquill-release": TOOL}
        run = []
        for arg in argv:
            for old, new in moved.items():
                arg = arg.replace(old, new)
            run.append(arg)
        r = subprocess.run(run, capture_output=True, text=True, env=env, timeout=60)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertRegex(r.stdout, r"\(7 days\), signed with %s" % fresh["kid"])
        v = subprocess.run([sys.executable, os.path.join(HERE, "fresh_verify.py"),
                            os.path.join(published, "latest.txt"), fresh_public, "--days", "7"], capture_output=True, text=True, timeout=60)
        self.assertEqual(v.returncode, 0, v.stdout)


if __name__ == "__main__":
    TOOL = sys.argv[1]
    unittest.main(argv=sys.argv[:1], verbosity=2)
