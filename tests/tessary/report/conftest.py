import pandas as pd
import pytest

from tessary.entities.enums import MetricGroup
from tessary.entities.evaluation_result import MetricsEvaluationResult

from report_builders import TEXTS, aggregate, span


@pytest.fixture
def records_table():
    return pd.DataFrame({"record_id": [f"r{i}" for i in range(4)], "input_text": TEXTS,
                         "generated_text": ["ok", "fine", "you idiot", "no"]})


@pytest.fixture
def result():
    return MetricsEvaluationResult(
        metrics_result=[
            aggregate("faithfulness", [0.9, 0.2, "err", 0.75], limit=("lower_limit", 0.7)),
            aggregate("hap", [0.95, 0.01, 0.0, 0.88], group=MetricGroup.CONTENT_SAFETY,
                      limit=("upper_limit", 0.1),
                      evidences={0: [span(TEXTS[0], "idiot")], 3: [span(TEXTS[3], "idiot")]}),
            aggregate("hap[output]", [0.0, 0.0, 0.9, 0.0], group=MetricGroup.CONTENT_SAFETY,
                      evidences={2: [span("you idiot", "idiot")]}),
        ],
        run_info={"data_file": "rag.csv", "records": 4, "judge": "embedded", "seconds": 1.5,
                  "services": ["detectd"]},
    )
