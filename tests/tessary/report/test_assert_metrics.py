import pytest

from tessary.testing import assert_metrics


@pytest.mark.parametrize(
    ("bounds", "named"),
    [
        ({}, {"faithfulness": ">=0.6"}),
        ({"hap[output]": "<=0.225"}, {"hap": "< 0.5"}),
        ({"faithfulness": "!=1", "hap": ">1e-3"}, {}),
    ],
)
def test_bounds_kept(result, bounds, named):
    assert_metrics(result, bounds, **named)


@pytest.mark.parametrize(
    ("bounds", "expected"),
    [
        ({"faithfulness": ">=0.7"},
         ["faithfulness = 0.6167, expected >= 0.7; worst records: r2 (error: REQUEST_FAILED: refused <2>), "
          "r1 = 0.2, r3 = 0.75, r0 = 0.9"]),
        ({"hap": "<=0.1"}, ["hap = 0.46, expected <= 0.1; worst records: r0 = 0.95, r3 = 0.88, r1 = 0.01, r2 = 0"]),
        ({"hap[output]": "==0"}, ["hap[output] = 0.225, expected == 0"]),
        ({"toxicity": "<=0.1"}, ["toxicity: not in the results (metrics: faithfulness, hap, hap[output])"]),
    ],
)
def test_failure_names_metric_and_worst_records(result, bounds, expected):
    with pytest.raises(AssertionError) as failure:
        assert_metrics(result, bounds)

    lines = str(failure.value).splitlines()
    assert lines[0] == "1 of 1 metric bounds failed:"
    assert lines[1].startswith("  " + expected[0])


def test_metric_without_value_fails_with_its_error(result):
    for record in result.metrics_result[0].record_level_metrics:
        record.value = None
    result.metrics_result[0].value = "Error"

    with pytest.raises(AssertionError, match="faithfulness: no value, expected >= 0.7; 1 errors, first: REQUEST_FAILED"):
        assert_metrics(result, faithfulness=">=0.7")


@pytest.mark.parametrize("bound", ["0.7", "=>0.7", ">=", 0.7])
def test_bad_bound_is_refused(result, bound):
    with pytest.raises(ValueError, match="is not a comparison"):
        assert_metrics(result, faithfulness=bound)
