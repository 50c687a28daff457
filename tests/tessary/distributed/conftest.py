"""The local detection service and local clusters (loopback, 2 workers), started and stopped here."""
import importlib
import importlib.util

import pytest

import distributed_support
from distributed_support import network_is_isolated
from tessary import demo


@pytest.fixture(scope="session")
def configuration():
    return demo.demo_configuration().model_copy(update={"tools": [], "tool_calls_field": ""})


@pytest.fixture(scope="session")
def detection_url():
    from tessary.services.detectd import DetectionService

    service = DetectionService()
    url = service.start()
    yield url
    service.stop()


@pytest.fixture(scope="session")
def client_factory(detection_url):
    from tessary.api._services import local_client
    from tessary.distributed import CredentialsClientFactory

    return CredentialsClientFactory(local_client(detection_url).credentials)


def _require(module: str):
    if importlib.util.find_spec(module) is None:
        pytest.skip(f'{module} is not installed: pip install "tessary[{module.split(".")[0]}]"')
    if module == "dask" and importlib.util.find_spec("cloudpickle") is None:
        pytest.skip('dask.distributed is not installed: pip install "tessary[dask]"')


def _ship_support_by_value(pickler_module: str):
    """The workers cannot import the test helpers, so their classes travel by value."""
    importlib.import_module(pickler_module).register_pickle_by_value(distributed_support)


def _require_engine(name: str):
    _require(name)
    if name == "ray" and not network_is_isolated():
        pytest.skip("Ray's servers listen on every interface: its tests run in a network namespace "
                    "of their own (test_ray_tests_in_network_namespace)")


@pytest.fixture(params=["ray", "dask"])
def engine_name(request):
    """An installed engine that may start servers here; no cluster is started."""
    _require_engine(request.param)
    return request.param


@pytest.fixture(scope="session")
def ray_cluster():
    _require_engine("ray")
    _ship_support_by_value("ray.cloudpickle")
    import ray

    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield ray
    ray.shutdown()


@pytest.fixture(scope="session")
def dask_client():
    # "distributed" alone would find this tests folder; dask itself comes with the engine.
    _require("dask")
    _ship_support_by_value("cloudpickle")
    import distributed

    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       host="127.0.0.1", dashboard_address=None)
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


def block_rows(table):
    return max(250, len(table) // 8)


@pytest.fixture(params=["ray", "dask"])
def engine(request):
    """evaluate(table, metrics, configuration, **options) on one engine, cut into about eight blocks."""
    if request.param == "ray":
        request.getfixturevalue("ray_cluster")
        import ray

        from tessary.distributed import evaluate_ray

        def run(table, metrics, configuration, **options):
            return evaluate_ray(ray.data.from_pandas(table), metrics, configuration,
                                batch_size=block_rows(table), concurrency=2, **options)
    else:
        client = request.getfixturevalue("dask_client")
        import dask.dataframe as dd

        from tessary.distributed import evaluate_dask

        def run(table, metrics, configuration, **options):
            frame = dd.from_pandas(table, chunksize=block_rows(table), sort=False)
            return evaluate_dask(frame, metrics, configuration, client=client, **options)
    return run
