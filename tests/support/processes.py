"""Stopping the programs a test started."""
import signal
import subprocess


def terminate(process, grace):
    """Asks `process` to stop with SIGTERM, kills it after `grace` seconds,
    and returns its exit status."""
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(grace)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(5)
    return process.returncode
