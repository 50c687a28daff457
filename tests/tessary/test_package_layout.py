"""What the installed package holds: the extension modules as shared objects, no C++ sources."""
import importlib
import importlib.machinery
import importlib.metadata

import pytest

EXTENSION_MODULES = [
    "tessary.evaluators.impl.runsmith",
    "tessary.utils.halyard",
    "tessary.tools.utils.gantry",
    "tessary.evaluators.impl.riskferry",
    "tessary.providers.loomwright",
    "tessary.providers.critmark",
    "tessary.providers.probewell",
]


@pytest.mark.parametrize("name", EXTENSION_MODULES)
def test_modules_are_extension_modules(name):
    module = importlib.import_module(name)
    assert module.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    assert module.__spec__.origin == module.__file__


def test_installed_files_hold_no_sources_or_python_twins():
    files = [str(path) for path in importlib.metadata.files("tessary") or []]
    if not any(path.startswith("tessary/") and path.endswith(".py") for path in files):
        pytest.skip("editable install: the package's files are not listed by the distribution")
    assert not [path for path in files if path.endswith((".cpp", ".hpp"))]
    for name in EXTENSION_MODULES:
        stem = name.replace(".", "/")
        assert f"{stem}.py" not in files
        assert any(path.startswith(stem + ".") and path.endswith(".so") for path in files)
    for data_file in ("tessary/data/demo_records.json", "tessary/utils/data/cl100k_base.tiktoken",
                      "tessary/services/data/hap_lexicon.txt"):
        assert data_file in files
    assert any(path.startswith("orvane_metrics_plugin/mra/data/") and path.endswith(".json") for path in files)
