"""Start and stop for the local services: an aiohttp application on loopback.

`LocalService` runs one on its own thread and event loop for in-process use (tests, the embedded
defaults); `serve_until_signalled` runs one on the caller's loop for the console scripts. Both bind
with `start_site`, so every service listens, reports its URL and shuts down the same way.
"""

from __future__ import annotations

import asyncio
import contextlib
import signal
import threading
from collections.abc import Callable

from aiohttp import web

STARTUP_TIMEOUT_SECONDS = 30.0
STOP_TIMEOUT_SECONDS = 30.0
# Requests still in flight at stop get this long to finish; well inside the stop time-out.
SHUTDOWN_GRACE_SECONDS = 5.0


class ServiceStartError(OSError, RuntimeError):
    """A service that could not start listening: an OSError like the bind failure behind it, and a RuntimeError."""


def root_url(host: str, port: int) -> str:
    """The service's root URL, with an IPv6 host in brackets."""
    return f"http://{f'[{host}]' if ':' in host else host}:{port}"


async def start_site(
    app: web.Application, host: str, port: int, shutdown_grace: float = SHUTDOWN_GRACE_SECONDS
) -> web.AppRunner:
    """Serve `app` on host:port (0 for a free port); the caller cleans the runner up."""
    runner = web.AppRunner(app, access_log=None, shutdown_timeout=shutdown_grace)
    await runner.setup()
    try:
        await web.TCPSite(runner, host, port).start()
    except BaseException:
        await runner.cleanup()
        raise
    return runner


def bound_port(runner: web.AppRunner) -> int:
    """The port the runner's site actually listens on."""
    return runner.addresses[0][1]


async def serve_until_signalled(app: web.Application, host: str, port: int, announce: Callable[[str], None]) -> None:
    """Serve `app` until SIGINT or SIGTERM; `announce` gets the root URL once the service is ready."""
    runner = await start_site(app, host, port)
    try:
        stopping = asyncio.Event()
        loop = asyncio.get_running_loop()
        for signal_number in (signal.SIGINT, signal.SIGTERM):
            loop.add_signal_handler(signal_number, stopping.set)
        announce(root_url(host, bound_port(runner)))
        await stopping.wait()
    finally:
        await runner.cleanup()


class LocalService:
    """A local service on a background thread with its own event loop.

    `start()` binds `host`:`port` (port 0 picks a free one and `port` becomes the bound one), waits
    until the service is ready or the time-out passes, and returns `base_url`; `url` is the root URL
    while running and None otherwise; `stop()` shuts the service down and waits for its thread;
    stopping a stopped service is harmless. As a context manager the service starts on entry, stops
    on exit, and `__enter__` returns the service itself.

    Subclasses provide `build_app()`; they may refuse unsafe settings in `check_exposure()` and
    answer a second `start()` in `already_running()`.
    """

    #: Name used in messages and for the thread.
    service_name = "local service"
    #: Seconds that requests still in flight at `stop()` get to finish.
    shutdown_grace = SHUTDOWN_GRACE_SECONDS

    def __init__(self, host: str = "127.0.0.1", port: int = 0) -> None:
        self.host = host
        self.port = port
        self._url: str | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread: threading.Thread | None = None
        self._lifecycle_lock = threading.Lock()

    def build_app(self) -> web.Application:
        """The application the service serves; built anew at every start."""
        raise NotImplementedError

    def check_exposure(self) -> None:
        """Raise (or warn) before binding when the settings are unsafe for `host`."""

    def already_running(self) -> str:
        """What `start()` does for a running service: refuse; a service may answer its URL instead."""
        raise RuntimeError(f"The {self.service_name} is already running.")

    @property
    def url(self) -> str | None:
        """The root URL ("http://host:port") while the service runs, else None."""
        return self._url

    @property
    def base_url(self) -> str | None:
        """The URL clients are given; the root URL unless a service serves under a prefix."""
        return self._url

    @property
    def running(self) -> bool:
        return self._thread is not None

    def start(self, timeout: float = STARTUP_TIMEOUT_SECONDS) -> str:
        """Start listening and return `base_url` (for a running service, see `already_running`)."""
        with self._lifecycle_lock:
            if self._thread is not None:
                return self.already_running()
            self.check_exposure()
            self._launch(timeout)
            return self.base_url

    def stop(self, timeout: float = STOP_TIMEOUT_SECONDS) -> None:
        """Stop listening and wait up to `timeout` seconds for the service thread to end."""
        with self._lifecycle_lock:
            thread, loop = self._thread, self._loop
            if thread is None:
                return
            self._thread = self._loop = self._url = None
            loop.call_soon_threadsafe(loop.stop)
            thread.join(timeout)
            if thread.is_alive():
                raise TimeoutError(f"The {self.service_name} did not stop within {timeout} s.")

    def __enter__(self) -> LocalService:
        self.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def _launch(self, timeout: float) -> None:
        loop = asyncio.new_event_loop()
        ready = threading.Event()
        outcome: dict[str, object] = {}
        thread = threading.Thread(target=self._serve, args=(loop, ready, outcome), name=self.service_name,
                                  daemon=True)
        thread.start()
        if not ready.wait(timeout):
            with contextlib.suppress(RuntimeError):  # the loop is closed when binding failed meanwhile
                loop.call_soon_threadsafe(loop.stop)  # ends the thread once binding finishes
            raise ServiceStartError(f"The {self.service_name} did not start within {timeout} s.")
        if "error" in outcome:
            thread.join()
            error = outcome["error"]
            raise ServiceStartError(f"The {self.service_name} could not start: {error}") from error
        self._thread, self._loop = thread, loop
        self.port = outcome["port"]
        self._url = root_url(self.host, self.port)

    def _serve(self, loop: asyncio.AbstractEventLoop, ready: threading.Event, outcome: dict) -> None:
        """Thread body: bind, report readiness, and run the loop until `stop()`."""
        asyncio.set_event_loop(loop)
        try:
            runner = loop.run_until_complete(start_site(self.build_app(), self.host, self.port, self.shutdown_grace))
        except BaseException as error:  # reported to start(), which raises it
            outcome["error"] = error
            loop.close()
            ready.set()
            return
        outcome["port"] = bound_port(runner)
        ready.set()
        try:
            loop.run_forever()
        finally:
            loop.run_until_complete(runner.cleanup())
            loop.close()
