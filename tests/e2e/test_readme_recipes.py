"""The client recipes of README.md, read out of it and run exactly as
written against the gateway on the demo's mailbox. Only the marked
placeholders change: the ports (the account is the demo's own) and HOME, a
fresh folder for each recipe. As root they run as nobody, as a user would
run them (getmail refuses to deliver as root)."""

import os
import pwd
import re
import shutil
import subprocess
import tempfile
import unittest

from gateway import SOURCE, Gateway, HTTPMailFixture, needs, run_on_terminal

ACCOUNT = "demo@hotmail.com"
RECIPE = re.compile(r"<!-- recipe: ([\w-]+) -->\n```(sh|python)\n(.*?)```\n", re.S)
CLIENT_TIMEOUT = 60
LISTED = 7  # the demo's mailbox: five in the inbox, one junk mail, one in Work
FIRST_SUBJECT = b"Welcome to your mailbox"


def readme_recipes():
    with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as handle:
        return {name: (language, text) for name, language, text in RECIPE.findall(handle.read())}


def maildir_count(folder):
    return sum(len(os.listdir(os.path.join(folder, sub))) for sub in ("new", "cur"))


class ReadmeRecipes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.recipes = readme_recipes()
        cls.service = HTTPMailFixture().start()  # a copy of the demo's mailbox
        try:
            cls.gateway = Gateway(cls.service).start()
        except Exception:
            cls.service.stop()
            raise
        cls.user = pwd.getpwnam("nobody") if os.geteuid() == 0 else None

    @classmethod
    def tearDownClass(cls):
        cls.gateway.stop()
        cls.service.stop()

    def test_readme_has_every_recipe(self):
        self.assertEqual({"curl-pop3", "curl-smtp", "fetchmail", "getmail", "mutt-pop3", "msmtp", "s-nail-read",
                          "s-nail-send", "python-pop3", "python-smtp", "curl-imap", "mutt-imap", "mbsync",
                          "python-imap"}, set(self.recipes))

    # Running a recipe ----------------------------------------------------

    def command(self, name):
        """The recipe with the test's ports, as a command line."""
        language, text = self.recipes[name]
        ports = {"6110": self.gateway.pop_port, "6025": self.gateway.smtp_port, "6143": self.gateway.imap_port}
        text = re.sub(r"\b(6110|6025|6143)\b", lambda m: str(ports[m.group(1)]), text)
        command = ["bash", "-e", "-c", text] if language == "sh" else ["python3", "-c", text]
        if self.user:
            command = ["setpriv", "--reuid=nobody", "--regid=%d" % self.user.pw_gid, "--clear-groups"] + command
        return command

    def new_home(self):
        home = tempfile.mkdtemp(prefix="kestrelon-recipe-")
        self.addCleanup(shutil.rmtree, home, True)
        if self.user:
            os.chown(home, self.user.pw_uid, self.user.pw_gid)
        return home

    def environment(self, home):
        env = {"HOME": home, "PATH": os.environ.get("PATH", "/usr/bin:/bin"), "TERM": "dumb", "TZ": "UTC",
               "LANG": "C.UTF-8", "MAILRC": "/dev/null"}
        if self.user:
            env.update(USER="nobody", LOGNAME="nobody")
        return env

    def run_recipe(self, name, home=None, stdin=b""):
        home = home or self.new_home()
        result = subprocess.run(self.command(name), input=stdin, capture_output=True, cwd=home,
                                env=self.environment(home), timeout=CLIENT_TIMEOUT)
        self.assertEqual(0, result.returncode, (name, (result.stdout + result.stderr).decode(errors="replace")))
        return result.stdout, home

    def run_on_terminal(self, name):
        """Runs an interactive recipe on a pseudo-terminal: says yes when mutt
        offers to create ~/Mail, and once its index is drawn, quits it.
        Returns what it showed."""
        home = self.new_home()
        env = dict(self.environment(home), TERM="vt100")
        status, shown = run_on_terminal(self.command(name), env, home, [
            (b"Create it? ([yes]/no): ", b"y"), (b"---Mutt:", b"q")], CLIENT_TIMEOUT)
        self.assertEqual(0, status, shown[-500:])
        return shown

    def assertSent(self, subject):
        stored = [self.service.message_bytes(ACCOUNT, "sentitems", i)
                  for i in self.service.message_ids(ACCOUNT, "sentitems")]
        self.assertTrue(any(b"Subject: " + subject + b"\r\n" in m for m in stored), subject)

    # The recipes ---------------------------------------------------------

    @needs("curl")
    def test_curl(self):
        listing, _ = self.run_recipe("curl-pop3")
        self.assertIn(b"\r\n%d " % LISTED, listing)
        self.assertIn(FIRST_SUBJECT, listing)
        self.run_recipe("curl-smtp")
        self.assertSent(b"Hello from curl")
        shown, _ = self.run_recipe("curl-imap")
        self.assertIn(b' "/" INBOX\r\n', shown)
        self.assertIn(FIRST_SUBJECT, shown)

    @needs("fetchmail", "procmail")
    def test_fetchmail(self):
        _, home = self.run_recipe("fetchmail")
        self.assertEqual(LISTED, maildir_count(os.path.join(home, "Maildir")))

    @needs("getmail")
    def test_getmail_fetches_only_what_is_new(self):
        _, home = self.run_recipe("getmail")
        maildir = os.path.join(home, "Maildir")
        self.assertEqual(LISTED, maildir_count(maildir))
        self.run_recipe("getmail", home)
        self.assertEqual(LISTED, maildir_count(maildir))
        self.assertEqual(5, len(self.service.message_ids(ACCOUNT, "inbox")))  # delete = false

    @needs("mutt")
    def test_mutt(self):
        self.assertIn(FIRST_SUBJECT, self.run_on_terminal("mutt-pop3"))
        self.assertIn(FIRST_SUBJECT, self.run_on_terminal("mutt-imap"))

    @needs("msmtp")
    def test_msmtp(self):
        self.run_recipe("msmtp")
        self.assertSent(b"Hello from msmtp")

    @needs("s-nail")
    def test_s_nail(self):
        shown, _ = self.run_recipe("s-nail-read", stdin=b"print 1\nquit\n")
        self.assertIn(b"Subject: " + FIRST_SUBJECT, shown)
        self.run_recipe("s-nail-send")
        self.assertSent(b"Hello from s-nail")

    def test_python(self):
        for name in ("python-pop3", "python-imap"):
            shown, _ = self.run_recipe(name)
            self.assertIn(b"Subject: " + FIRST_SUBJECT, shown, name)
        self.run_recipe("python-smtp")
        self.assertSent(b"Hello from Python")

    @needs("mbsync")
    def test_mbsync(self):
        _, home = self.run_recipe("mbsync")
        self.assertEqual(5, maildir_count(os.path.join(home, "Mail", "INBOX")))


if __name__ == "__main__":
    unittest.main()
