"""Shared doubles for the detector provider tests: API clients and a scripted loopback server."""

from types import SimpleNamespace

from aiohttp import web

from _servers import LoopbackServer
from orvane_corvel_tallion import APIClient as QTSClient
from orvane_corvel_tallion import BearerTokenAuthenticator
from tessary.config import GenAIConfiguration
from tessary.providers.probewell import DetectorsProvider


def api_client(url="http://127.0.0.1:9", version="5.0", disable_ssl=False, instance="instance-1", token="token-1"):
    """An API client double with a real monitoring client and on-premises (version set) or cloud credentials."""
    qts = QTSClient(
        authenticator=BearerTokenAuthenticator(bearer_token=token),
        service_url="http://127.0.0.1:9",
        service_instance_id=instance,
    )
    credentials = SimpleNamespace(url=url, version=version, disable_ssl=disable_ssl)
    return SimpleNamespace(qts_client=qts, credentials=credentials)


def provider(metric_name="hap", method=None, configuration=None, url="http://127.0.0.1:9", **kwargs):
    kwargs.setdefault("api_client", api_client(url=url))
    return DetectorsProvider(configuration or GenAIConfiguration(), metric_name, metric_name.title(), method, **kwargs)


class ScriptedServer(LoopbackServer):
    """A loopback HTTP server answering each POST with the next (status, text) of its script.

    Every request's headers and body are kept in `requests`; past the end of the script it answers 500.
    """

    def __init__(self, script):
        super().__init__(self._handle, method="POST")
        self.script = list(script)
        self.requests = []

    async def _handle(self, request):
        self.requests.append({"headers": request.headers.copy(), "body": await request.text(), "path": request.path_qs})
        status, text = self.script.pop(0) if self.script else (500, '{"error": "script exhausted"}')
        return web.Response(status=status, text=text, content_type="application/json")
