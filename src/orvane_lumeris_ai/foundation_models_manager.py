"""The foundation models offered by the Lumeris AI service."""

from orvane_lumeris_ai.client import APIClient
from orvane_lumeris_ai.errors import APIRequestError

MODEL_SPECS_PATH = "/v1/foundation_model_specs"
PAGE_LIMIT = 100
MAX_PAGES = 1000


class FoundationModelsManager:
    """Reads foundation-model specifications through an :class:`APIClient`."""

    def __init__(self, client: APIClient) -> None:
        if not isinstance(client, APIClient):
            raise TypeError(f"FoundationModelsManager needs an APIClient, got {type(client).__name__}")
        self.client = client

    def get_model_specs(
        self,
        model_id: str | None = None,
        limit: int | None = None,
        get_all: bool = False,
    ) -> dict | None:
        """Model specifications.

        With ``model_id``: that model's description, or ``None`` when the
        service does not offer it. With ``get_all``: every model description, all
        pages read, as ``{"total_count": n, "resources": [...]}``. Otherwise the
        first page of at most ``limit`` specifications as the service sent it.
        """
        if model_id is not None:
            return self._model_spec(model_id)
        page_limit = _checked_limit(limit)
        if get_all:
            return self._all_model_specs(page_limit)
        return self.client.request("GET", MODEL_SPECS_PATH, params={"limit": page_limit})

    def _model_spec(self, model_id: str) -> dict | None:
        if not isinstance(model_id, str) or not model_id:
            raise ValueError(f"model_id must be non-empty text, got {model_id!r}")
        page = self.client.request("GET", MODEL_SPECS_PATH, params={"model_id": model_id})
        matches = [model_spec for model_spec in _resources(page) if model_spec.get("model_id") == model_id]
        return matches[0] if matches else None

    def _all_model_specs(self, page_limit: int) -> dict:
        """Follow the ``next`` links until the last page."""
        resources: list[dict] = []
        page = self.client.request("GET", MODEL_SPECS_PATH, params={"limit": page_limit})
        for _ in range(MAX_PAGES):
            resources.extend(_resources(page))
            next_href = (page.get("next") or {}).get("href")
            if not next_href:
                return {"total_count": len(resources), "resources": resources}
            page = self.client.request("GET", next_href)
        raise APIRequestError("GET", MODEL_SPECS_PATH, None, f"more than {MAX_PAGES} pages")


def _resources(page: dict) -> list[dict]:
    resources = page.get("resources")
    if not isinstance(resources, list) or not all(isinstance(item, dict) for item in resources):
        raise APIRequestError("GET", MODEL_SPECS_PATH, None, "the answer holds no list of resources")
    return resources


def _checked_limit(limit: int | None) -> int:
    if limit is None:
        return PAGE_LIMIT
    if isinstance(limit, bool) or not isinstance(limit, int) or limit < 1:
        raise ValueError(f"limit must be a positive whole number, got {limit!r}")
    return limit
