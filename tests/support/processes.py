"""The programs a test starts: ports for them to listen on, and stopping them."""
import signal
import socket
import subprocess


def free_ports(count):
    """`count` distinct ports that were free: each stays bound until all are
    chosen, or the kernel could hand out one port twice."""
    sockets = [socket.socket(socket.AF_INET, socket.SOCK_STREAM) for _ in range(count)]
    try:
        for s in sockets:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


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
