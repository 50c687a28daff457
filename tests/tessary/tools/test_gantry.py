"""Platform URL allow-lists."""
from tessary.tools.utils import gantry


def test_allowed_is_prod_then_non_prod_in_order():
    allowed = gantry.ALLOWED_PLATFORM_URL
    assert list(allowed) == list(gantry.PROD_PLATFORM_URL) + list(gantry.NON_PROD_PLATFORM_URL)
    assert (len(gantry.PROD_PLATFORM_URL), len(gantry.NON_PROD_PLATFORM_URL), len(allowed)) == (6, 4, 10)


def test_allowed_is_a_separate_mapping():
    gantry.PROD_PLATFORM_URL["https://x.example"] = "https://iam.example"
    try:
        assert "https://x.example" not in gantry.ALLOWED_PLATFORM_URL
    finally:
        del gantry.PROD_PLATFORM_URL["https://x.example"]


def test_values_are_two_iam_urls_and_keys_compare_exactly():
    assert len(set(gantry.ALLOWED_PLATFORM_URL.values())) == 2
    assert set(gantry.PROD_PLATFORM_URL.values()) == {gantry.NON_PROD_PLATFORM_URL[k] for k in list(gantry.NON_PROD_PLATFORM_URL)[:2]}
    key = next(iter(gantry.ALLOWED_PLATFORM_URL))
    for variant in (key + "/", key + "/api", key.upper()):
        assert variant not in gantry.ALLOWED_PLATFORM_URL


def test_module_imports_nothing():
    assert {name for name in vars(gantry) if not name.startswith("__")} == {
        "PROD_PLATFORM_URL", "NON_PROD_PLATFORM_URL", "ALLOWED_PLATFORM_URL"}
