"""Region and service URL tables."""
import subprocess
import sys
import textwrap
import urllib.parse

import pydantic
import pytest

from tessary.entities.enums import Region
from tessary.tools.utils import gantry
from tessary.utils import halyard

KEY_ORDER = [
    Region.US_SOUTH.value, Region.AU_SYD.value, Region.CA_TOR.value, Region.EU_DE.value, Region.JP_TOK.value,
    Region.EU_GB.value, "kpqa", "kb1dev", "mtsxdev", "mtsxqa", Region.AP_SOUTH.value, "govcloudpreprod",
    Region.US_GOV_EAST1.value,
]
RECORDS = list(halyard.LUMERIS_REGION_URLS.values())
FIELDS = ["iam_url", "qzg_url", "qml_url", "dpx_url"]


def test_tables_list_every_environment_in_order():
    assert list(halyard.LUMERIS_REGION_URLS) == KEY_ORDER
    assert list(halyard.QTS_HALYARD) == [record.qzg_url for record in RECORDS]
    assert all(record.region == key for key, record in halyard.LUMERIS_REGION_URLS.items())


def test_governance_lookup_returns_the_very_record():
    for record in RECORDS:
        assert halyard.QTS_HALYARD.get(record.qzg_url) is record
        assert halyard.QTS_HALYARD.get(record.qzg_url + "/") is None
        assert halyard.QTS_HALYARD.get(record.qzg_url + "/v2") is None
    assert halyard.LUMERIS_REGION_URLS.get("mars-north") is None


@pytest.mark.parametrize("field", FIELDS)
def test_urls_are_bare_secure_base_urls(field):
    for record in RECORDS:
        parts = urllib.parse.urlsplit(getattr(record, field))
        assert (parts.scheme, parts.path, parts.query) == ("https", "", "") and parts.netloc


@pytest.mark.parametrize("field", ["qzg_url", "qml_url", "dpx_url"])
def test_distinct_values(field):
    assert len({getattr(record, field) for record in RECORDS}) == 13


def test_shared_iam_urls():
    iam = [record.iam_url for record in RECORDS]
    assert len({iam[i] for i in (0, 1, 2, 3, 4, 5, 6, 9)}) == 1
    assert iam[7] == iam[8] != iam[0]
    assert len({iam[0], iam[7], iam[10], iam[11], iam[12]}) == 5


def test_government_records_pair_platform_and_governance_hosts():
    preprod, production = RECORDS[11], RECORDS[12]
    for record in (preprod, production):
        assert record.dpx_url == record.qzg_url.replace("https://", "https://api.")
    for field in FIELDS:
        assert getattr(preprod, field) == getattr(production, field).replace("govcloud", "preprod.govcloud")


def test_platform_allow_list_agrees_with_region_table():
    for index, record in enumerate(RECORDS):
        if index in (8, 10, 11, 12):
            assert record.dpx_url not in gantry.ALLOWED_PLATFORM_URL
        else:
            assert gantry.ALLOWED_PLATFORM_URL[record.dpx_url] == record.iam_url
    dpx = {record.dpx_url for record in RECORDS}
    assert list(gantry.NON_PROD_PLATFORM_URL)[3] not in dpx


def test_qz_urls_is_a_plain_pydantic_model():
    QzUrls = halyard.QzUrls
    assert QzUrls.__bases__ == (pydantic.BaseModel,) and QzUrls.__doc__ is None
    assert list(QzUrls.model_fields) == FIELDS + ["region"]
    with pytest.raises(pydantic.ValidationError):
        QzUrls(iam_url="https://a", qzg_url="https://b", qml_url="https://c", dpx_url="https://d")
    assert halyard.BaseModel is pydantic.BaseModel and halyard.Region is Region


REGION_MEMBERS = ["US_SOUTH", "AU_SYD", "CA_TOR", "EU_DE", "JP_TOK", "EU_GB", "AP_SOUTH", "US_GOV_EAST1"]
IMPORT_WITH_FAKE_ENUMS = """
import enum, sys, types
fake = types.ModuleType("tessary.entities.enums")
{setup}
sys.modules["tessary.entities.enums"] = fake
try:
    import tessary.utils.halyard
except BaseException as error:
    print(type(error).__name__, "|", str(error).splitlines()[0], "|", type(error.__cause__).__name__)
    print("tessary.utils.halyard" in sys.modules)
"""


@pytest.mark.parametrize(
    "setup, expected",
    [
        ("fake.Region = enum.Enum('Region', {'US_SOUTH': 'us-south'})",
         "AttributeError | type object 'Region' has no attribute 'AU_SYD' | NoneType"),
        ("", "ImportError | cannot import name 'Region' from 'tessary.entities.enums' (unknown location) | NoneType"),
        (f"fake.Region = enum.Enum('Region', {{name: i for i, name in enumerate({REGION_MEMBERS!r})}})",
         "ValidationError | 1 validation error for QzUrls | NoneType"),
    ],
    ids=["missing-member", "missing-enum", "invalid-record"],
)
def test_a_failed_import_raises_the_error_itself(setup, expected):
    script = IMPORT_WITH_FAKE_ENUMS.format(setup=setup)
    run = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, check=True)
    assert run.stdout.splitlines() == [expected, "False"]
