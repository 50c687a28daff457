"""Record identifiers: the same for the same record in every provider, missing ones filled per record,
repeated ones reported."""

import math
import warnings
from types import SimpleNamespace

import pandas as pd

from orvane_corvel_tallion import APIClient as QTSClient
from orvane_corvel_tallion import BearerTokenAuthenticator
from tessary.config import GenAIConfiguration
from tessary.evaluators.impl import runsmith
from tessary.providers.loomwright import TabulonProvider
from tessary.providers.probewell import DetectorsProvider


def detector_ids(ids):
    qts = QTSClient(authenticator=BearerTokenAuthenticator(bearer_token="t"), service_url="http://127.0.0.1:9",
                    service_instance_id="i")
    client = SimpleNamespace(qts_client=qts, credentials=SimpleNamespace(url="http://127.0.0.1:9", version="5",
                                                                          disable_ssl=False))
    made = DetectorsProvider(GenAIConfiguration(), "hap", "HAP", None, api_client=client)
    result = made._DetectorsProvider__post_process([{"detections": []}] * len(ids), ids)
    return [record.record_id for record in result.record_level_metrics]


def library_ids(ids):
    table = pd.DataFrame({"input_text": ["a b"] * len(ids), "generated_text": ["a"] * len(ids),
                          "context": ["a b"] * len(ids), "record_id": ids})
    made = TabulonProvider(GenAIConfiguration(context_fields=["context"]), "faithfulness", "F", "token_recall", "metrics.rag")
    return [record.record_id for record in made.evaluate(data=table).record_level_metrics]


def test_providers_report_the_same_ids():
    for ids in ([7, 8], ["a", None], [7, math.nan]):
        column = pd.Series(ids).tolist()
        assert library_ids(ids) == detector_ids(column), ids


def test_missing_ids_filled_per_record_and_repeated_ids_reported():
    table = pd.DataFrame({"record_id": ["r1", None, "r1", None]})
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        runsmith.__dict__["__populate_record_id_timestamp"](configuration=GenAIConfiguration(), data=table)
    ids = table["record_id"].tolist()
    assert ids[0] == ids[2] == "r1" and len({ids[1], ids[3], "r1"}) == 3
    assert [str(w.message)[:40] for w in caught] == ["2 records share a record id in column 'r"]
