"""The local judge server with a fixed latency per chat answer, for the judge benchmarks.

Run as ``python _judge_server.py LATENCY_SECONDS``; it prints its base URL when ready. It keeps the
bodies of the chat requests it answers until the first ``GET /bench/bodies``, which returns them
(so a bare loop can replay exactly what a metric sent) and stops keeping them.
"""

from __future__ import annotations

import asyncio
import sys

from aiohttp import web

from tessary.services._harness import serve_until_signalled
from tessary.services.judged import JudgeApp


class DelayedJudgeApp(JudgeApp):
    """The judge server's handlers behind a fixed wait per chat answer."""

    def __init__(self, latency: float) -> None:
        super().__init__()
        self.latency = latency
        self.bodies: list[dict] | None = []

    def build(self) -> web.Application:
        app = super().build()
        app.middlewares.append(self._delayed)
        app.router.add_get("/bench/bodies", self._recorded_bodies)
        return app

    @web.middleware
    async def _delayed(self, request: web.Request, handler):
        if request.path.endswith("/chat/completions"):
            if self.bodies is not None:
                self.bodies.append(await request.json())
            if self.latency:
                await asyncio.sleep(self.latency)
        return await handler(request)

    async def _recorded_bodies(self, request: web.Request) -> web.Response:
        bodies, self.bodies = self.bodies or [], None
        return web.json_response(bodies)


if __name__ == "__main__":
    asyncio.run(serve_until_signalled(DelayedJudgeApp(float(sys.argv[1])).build(), "127.0.0.1", 0,
                                      lambda url: print(url + "/v1", flush=True)))
