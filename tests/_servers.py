"""Loopback HTTP servers for the tests, on the local services' own harness.

`LoopbackServer` serves an aiohttp application, or one handler for a route, on 127.0.0.1 on a free
port, on its own thread and event loop, so blocking and awaitable tests use it alike. The root
conftest exposes it as the `loopback` factory fixture and the `closed_port` fixture.
"""

import socket

from aiohttp import web

from tessary.services._harness import LocalService


class LoopbackServer(LocalService):
    """A test server on loopback; `url` is its root URL ("http://127.0.0.1:<port>").

    Give an application, or a handler that answers `method` requests on `path` (by default every
    request on every path). Use it as a context manager, through the `loopback` fixture, or
    subclass it and override `build_app`.
    """

    service_name = "loopback test server"

    def __init__(self, app_or_handler=None, *, path="/{tail:.*}", method="*", shutdown_grace=1.0):
        super().__init__("127.0.0.1", 0)
        self._app_or_handler = app_or_handler
        self._route = (method, path)
        self.shutdown_grace = shutdown_grace

    def build_app(self):
        if isinstance(self._app_or_handler, web.Application):
            return self._app_or_handler
        app = web.Application()
        app.router.add_route(*self._route, self._app_or_handler)
        return app

    def call_soon(self, callback, *args):
        """Run `callback(*args)` on the server's event loop (to set its asyncio events, say)."""
        self._loop.call_soon_threadsafe(callback, *args)

    async def __aenter__(self):
        return self.__enter__()

    async def __aexit__(self, *exc_info):
        self.__exit__(*exc_info)


def closed_port():
    """A loopback port that was free a moment ago and has no listener now."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]
