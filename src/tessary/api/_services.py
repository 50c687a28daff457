"""The embedded default: local services started in-process for one evaluation, only when needed.

With no `api_client` and no platform credentials in the environment, metrics that
need the detection service get the local detection service on loopback; judged
metrics without a judge get the local judge server. Both stop when the call ends.
A configured service always wins, and nothing starts when nothing needs it.
"""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any

from tessary.api._judge_argument import describe_judge, lacks_judge

HOSTED_ENVIRONMENTS = ("QZO", "QZAI", "QZGOV")
LOCAL_JUDGE_MODEL = "tessary-judge"
# The driver always builds a platform client when given none; runs that need no
# detection service get one that points at a closed loopback port instead.
UNUSED_SERVICE_URL = "http://127.0.0.1:9"


@dataclass
class ServicePlan:
    """What one evaluation uses: the API client to hand to the driver, the judge, and in words."""

    api_client: Any = None
    judge: Any = None
    services: dict[str, str | None] = field(default_factory=dict)


def needs_detection(metric: Any) -> bool:
    from tessary.metrics.detector_metrics import DetectorMetric

    return isinstance(metric, DetectorMetric)


def platform_configured() -> bool:
    """True when the environment configures the platform: a hosted environment or credentials."""
    if os.environ.get("LUMERIS_SERVER") in HOSTED_ENVIRONMENTS:
        return True
    from tessary.clients.api_client import credentials_from_env

    try:
        credentials_from_env()
    except ValueError:
        return False
    return True


def local_client(url: str) -> Any:
    """A platform client whose detection service is the one at `url` (the URL is the service)."""
    from tessary.clients.api_client import APIClient
    from tessary.entities.credentials import Credentials

    return APIClient(credentials=Credentials(url=url, version="local", bearer_token="local",
                                             service_instance_id="local"))


def local_judge(root_url: str) -> Any:
    """The local judge server as the judge (through the AI service's protocol, which every judge path reads)."""
    from tessary.entities.credentials import QzAICredentials
    from tessary.entities.foundation_model import QzAIFoundationModel, QzAIModelProvider
    from tessary.entities.llm_judge import LLMJudge

    return LLMJudge(model=QzAIFoundationModel(
        model_id=LOCAL_JUDGE_MODEL, project_id="local",
        provider=QzAIModelProvider(credentials=QzAICredentials(url=root_url, api_key="local"))))


@contextlib.contextmanager
def embedded_services(metrics: list[Any], configuration: Any, api_client: Any) -> Iterator[ServicePlan]:
    """Start what the metrics need and nobody configured; yield the plan; stop what was started."""
    plan = ServicePlan(api_client=api_client)
    with contextlib.ExitStack() as stack:
        if any(needs_detection(metric) for metric in metrics):
            plan.services["detection"] = _detection(plan, stack)
        elif api_client is None and not platform_configured():
            plan.api_client = local_client(UNUSED_SERVICE_URL)
        if any(lacks_judge(metric, configuration) for metric in metrics):
            from tessary.services.judged import JudgeServer

            server = JudgeServer()
            server.start()
            stack.callback(server.stop)
            plan.judge = local_judge(server.root_url)
            plan.services["judge"] = f"embedded local judge server at {server.root_url}"
        elif configuration.llm_judge is not None or any(getattr(m, "llm_judge", None) for m in metrics):
            judges = {describe_judge(getattr(m, "llm_judge", None) or configuration.llm_judge)
                      for m in metrics if getattr(m, "llm_judge", None) or _judged(m)}
            judges.discard(None)
            if judges:
                plan.services["judge"] = "; ".join(sorted(judges))
        yield plan


def _judged(metric: Any) -> bool:
    from tessary.api._judge_argument import needs_judge

    return needs_judge(metric)


def _detection(plan: ServicePlan, stack: contextlib.ExitStack) -> str:
    if plan.api_client is not None:
        return f"configured detection service at {_client_url(plan.api_client)}"
    if platform_configured():
        return "configured platform (from the environment)"
    from tessary.services.detectd import DetectionService

    url = stack.enter_context(DetectionService()).url
    plan.api_client = local_client(url)
    return f"embedded local detection service at {url}"


def _client_url(client: Any) -> str:
    credentials = getattr(client, "credentials", None)
    return str(getattr(credentials, "url", None) or "the given client")
