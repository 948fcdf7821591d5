"""scripts/demo as a newcomer runs it: it serves, its printed examples work,
a second start is refused without touching the first, and a restart right
after Ctrl-C keeps the usual ports."""

import fcntl
import os
import re
import select
import signal
import subprocess
import time
import unittest

from gateway import BUILD, SOURCE

DEMO = os.path.join(SOURCE, "scripts", "demo")
START_TIMEOUT = 120  # it may have to bring the build up to date first


class RunningDemo:
    def __init__(self):
        env = dict(os.environ, KESTRELON_BUILD=BUILD)
        self.proc = subprocess.Popen([DEMO], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, env=env, start_new_session=True)
        self.text = ""
        deadline = time.monotonic() + START_TIMEOUT
        while "Stop with Ctrl-C." not in self.text:
            ready, _, _ = select.select([self.proc.stdout], [], [], max(0.0, deadline - time.monotonic()))
            chunk = os.read(self.proc.stdout.fileno(), 65536) if ready else b""
            if not chunk:
                self.stop()
                raise AssertionError("the demo did not start:\n" + self.text)
            self.text += chunk.decode("utf-8", "replace")

    def port(self, name):
        return int(re.search(r"%s server: +127\.0\.0\.1:(\d+)" % name, self.text).group(1))

    def example(self, first_word):
        """The printed command that starts with `first_word`, with its continuation lines."""
        lines = self.text.splitlines()
        start = next(i for i, line in enumerate(lines) if line.strip().startswith(first_word))
        end = start
        while lines[end].rstrip().endswith(("|", "\\")):
            end += 1
        return "\n".join(lines[start:end + 1])

    def children(self):
        """The service's and the gateway's pids, by their command lines."""
        found = {}
        for task in os.listdir("/proc/%d/task" % self.proc.pid):
            with open("/proc/%d/task/%s/children" % (self.proc.pid, task)) as handle:
                for pid in map(int, handle.read().split()):
                    with open("/proc/%d/cmdline" % pid, "rb") as cmdline:
                        found["service" if b"httpmail_service" in cmdline.read() else "gateway"] = pid
        return found

    def read_until(self, text, timeout=30):
        deadline = time.monotonic() + timeout
        while text not in self.text:
            ready, _, _ = select.select([self.proc.stdout], [], [], max(0.0, deadline - time.monotonic()))
            chunk = os.read(self.proc.stdout.fileno(), 65536) if ready else b""
            if not chunk:
                raise AssertionError("no %r from the demo:\n%s" % (text, self.text))
            self.text += chunk.decode("utf-8", "replace")

    def stop(self):
        """Ctrl-C, as a terminal sends it to the whole foreground group."""
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGINT)
        rest = self.proc.communicate(timeout=30)[0]
        self.text += rest.decode("utf-8", "replace")
        return self.proc.returncode


def gone(pid, timeout=30):
    """Whether process `pid` has ended (or is a zombie) within `timeout`."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open("/proc/%d/stat" % pid) as handle:
                if handle.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return True
        except OSError:
            return True
        time.sleep(0.05)
    return False


def shell(command):
    return subprocess.run(["bash", "-c", command], capture_output=True, timeout=60)


class DemoTest(unittest.TestCase):
    def setUp(self):
        # A demo that a developer runs from this build holds its lock.
        self.lock = open(os.path.join(BUILD, "demo.lock"), "a")
        self.addCleanup(self.lock.close)
        try:
            fcntl.flock(self.lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            self.skipTest("a demo is running from %s" % BUILD)
        fcntl.flock(self.lock, fcntl.LOCK_UN)

    def test_examples_work_and_a_second_start_is_refused(self):
        demo = RunningDemo()
        self.addCleanup(demo.stop)
        fetched = shell(demo.example("curl pop3://127.0.0.1:%d/1" % demo.port("POP3")))
        self.assertEqual(0, fetched.returncode, fetched.stderr)
        self.assertIn(b"Subject: Welcome to your mailbox", fetched.stdout)
        sent = shell(demo.example("printf"))
        self.assertEqual(0, sent.returncode, sent.stderr)
        sentitems = os.path.join(BUILD, "demo-data", "mailbox", "demo@hotmail.com", "sentitems")
        kept = sorted(os.listdir(sentitems))

        second = subprocess.run([DEMO], capture_output=True, timeout=60, env=dict(os.environ, KESTRELON_BUILD=BUILD))
        self.assertEqual(1, second.returncode, second.stdout + second.stderr)
        self.assertIn(b"another demo is running", second.stderr)
        self.assertEqual(kept, sorted(os.listdir(sentitems)))
        self.assertEqual(0, shell(demo.example("curl pop3://127.0.0.1:%d/ " % demo.port("POP3"))).returncode)

        ports = demo.port("POP3"), demo.port("SMTP")
        self.assertEqual(0, demo.stop(), demo.text)
        # Right after Ctrl-C the served connections linger in TIME-WAIT; the
        # gateway can bind its ports all the same, so the demo keeps them.
        again = RunningDemo()
        self.addCleanup(again.stop)
        self.assertEqual(ports, (again.port("POP3"), again.port("SMTP")))
        self.assertEqual(0, again.stop(), again.text)

    def test_demo_supervises_its_children_and_its_lock_dies_with_it(self):
        demo = RunningDemo()
        self.addCleanup(demo.stop)
        children = demo.children()
        os.kill(children["service"], signal.SIGKILL)
        demo.read_until("demo: the HTTPMail service ended")
        self.assertTrue(gone(children["gateway"]), demo.text)
        # It ends by itself, as a failure; a Ctrl-C now would race its stop.
        self.assertNotEqual(0, demo.proc.wait(30), demo.text)

        # kill -9 of the demo itself: its children end with it, and so
        # does its lock.
        killed = RunningDemo()
        self.addCleanup(killed.stop)
        children = killed.children()
        os.kill(killed.proc.pid, signal.SIGKILL)
        killed.proc.wait(30)
        for name, pid in children.items():
            self.assertTrue(gone(pid), name)
        again = RunningDemo()
        self.addCleanup(again.stop)
        self.assertEqual(0, again.stop(), again.text)


if __name__ == "__main__":
    unittest.main()
