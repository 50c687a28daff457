import pytest

from orvane_lumeris_ai.client import APIClient
from orvane_lumeris_ai.credentials import Credentials
from orvane_lumeris_ai.foundation_models_manager import FoundationModelsManager
from tessary.services.aiservice import DEFAULT_API_KEY, DEFAULT_MODELS, AIService

MANY_MODELS = [{"model_id": f"family/model-{index:03d}"} for index in range(230)]


@pytest.fixture(scope="module")
def manager():
    with AIService() as service:
        yield FoundationModelsManager(APIClient(Credentials(url=service.base_url, api_key=DEFAULT_API_KEY)))


@pytest.mark.parametrize("model", DEFAULT_MODELS)
def test_offered_model_has_its_spec(manager, model):
    model_spec = manager.get_model_specs(model_id=model["model_id"])
    assert model_spec["model_id"] == model["model_id"]
    assert "behaviour" not in model_spec


@pytest.mark.parametrize("model_id", ["lumeris/unknown", "lumeris/guarded-chat-8", "LUMERIS/GUARDED-CHAT-8B"])
def test_unknown_model_has_no_spec(manager, model_id):
    assert manager.get_model_specs(model_id=model_id) is None


@pytest.mark.parametrize("limit", [None, 1, 2, 5, 200])
def test_get_all_reads_every_page_in_order(manager, limit):
    specs = manager.get_model_specs(get_all=True, limit=limit)
    assert [model_spec["model_id"] for model_spec in specs["resources"]] == [m["model_id"] for m in DEFAULT_MODELS]
    assert specs["total_count"] == len(DEFAULT_MODELS)


def test_get_all_follows_pages_beyond_the_default_limit():
    with AIService(models=MANY_MODELS) as service:
        client = APIClient(Credentials(url=service.base_url, api_key=DEFAULT_API_KEY))
        manager = FoundationModelsManager(client)
        first_page = manager.get_model_specs()
        assert len(first_page["resources"]) == 100 and "next" in first_page
        every = manager.get_model_specs(get_all=True)
        assert [model_spec["model_id"] for model_spec in every["resources"]] == [m["model_id"] for m in MANY_MODELS]


@pytest.mark.parametrize("kwargs, error", [({"limit": 0}, ValueError), ({"limit": True}, ValueError),
                                           ({"model_id": ""}, ValueError)])
def test_bad_arguments(manager, kwargs, error):
    with pytest.raises(error):
        manager.get_model_specs(**kwargs)


def test_manager_needs_a_client():
    with pytest.raises(TypeError, match="needs an APIClient"):
        FoundationModelsManager("http://127.0.0.1:1")
