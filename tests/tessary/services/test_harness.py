"""The contract the three local services share: start, ready, url, stop, time-outs, context manager."""
import socket
import threading
import urllib.request

import pytest

from tessary.services._harness import LocalService, ServiceStartError
from tessary.services.aiservice import AIService
from tessary.services.detectd import DetectionService
from tessary.services.judged import JudgeServer

HEALTH_PATHS = {AIService: None, DetectionService: "/health", JudgeServer: "/health"}


@pytest.mark.parametrize("service_class", list(HEALTH_PATHS), ids=lambda c: c.__name__)
def test_context_manager_gives_the_running_service_and_frees_its_port(service_class):
    with service_class() as service:
        assert isinstance(service, service_class)
        assert service.url == f"http://127.0.0.1:{service.port}" and service.port > 0
        if HEALTH_PATHS[service_class]:
            with urllib.request.urlopen(service.url + HEALTH_PATHS[service_class], timeout=10) as response:
                assert response.status == 200
        else:
            socket.create_connection(("127.0.0.1", service.port), timeout=10).close()
    assert service.url is None
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", service.port), timeout=2).close()


class StuckService(LocalService):
    """Takes longer to build its application than start() waits."""

    def __init__(self):
        super().__init__()
        self.release = threading.Event()

    def build_app(self):
        self.release.wait(10)
        raise RuntimeError("built too late")


def test_start_gives_up_after_its_time_out():
    service = StuckService()
    try:
        with pytest.raises(ServiceStartError, match="did not start within 0.2 s"):
            service.start(timeout=0.2)
        assert service.url is None and not service.running
    finally:
        service.release.set()
