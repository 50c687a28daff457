import inspect
from types import SimpleNamespace

import pytest

from orvane_lumeris_ai.credentials import Credentials
from orvane_lumeris_ai.errors import CredentialsError


def test_constructor_signature_names_the_sign_in_fields():
    names = list(inspect.signature(Credentials.__init__).parameters)
    assert names[:7] == ["self", "url", "api_key", "username", "password", "instance_id", "version"]


@pytest.mark.parametrize(
    "kwargs, on_premises",
    [
        ({"url": "https://ml.example.test/", "api_key": "k"}, False),
        ({"url": "http://127.0.0.1:9", "username": "u", "api_key": "k", "instance_id": "drydock"}, True),
        ({"url": "http://127.0.0.1:9", "username": "u", "password": "p", "version": "5.0"}, True),
        ({"url": "http://127.0.0.1:9", "token": "ready"}, False),
    ],
)
def test_usable_credentials(kwargs, on_premises):
    credentials = Credentials(**kwargs)
    assert credentials.is_on_premises is on_premises
    assert not credentials.url.endswith("/")


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"url": None, "api_key": "k"}, "service URL as text"),
        ({"url": "ml.example.test", "api_key": "k"}, r"absolute http\(s\) URL"),
        ({"url": "ftp://ml.example.test", "api_key": "k"}, r"absolute http\(s\) URL"),
        ({"url": "https://ml.example.test"}, "Cloud credentials need an api_key"),
        ({"url": "https://ml.example.test", "api_key": 12}, "'api_key' must be text"),
        ({"url": "https://x.test", "instance_id": "drydock", "api_key": "k"}, "need a username"),
        ({"url": "https://x.test", "instance_id": "drydock", "username": "u"}, "either an api_key or a password"),
        ({"url": "https://x.test", "api_key": "k", "timeout": 0}, "'timeout' must be a positive number"),
    ],
)
def test_unusable_credentials_are_refused(kwargs, message):
    with pytest.raises(CredentialsError, match=message):
        Credentials(**kwargs)


def test_repr_hides_secrets():
    text = repr(Credentials(url="https://x.test", username="u", api_key="s3cret", password="pw", version="5"))
    assert "s3cret" not in text and "pw'" not in text
    assert "username='u'" in text


@pytest.mark.parametrize(
    "package_credentials, on_premises",
    [
        (SimpleNamespace(url="https://ml.example.test", api_key="k", version=None, username=None,
                         instance_id=None, password=None, disable_ssl=False, region="us-south"), False),
        (SimpleNamespace(url="https://ml.example.test", api_key="k", version="", username=None,
                         instance_id=None, password=None, disable_ssl=True), False),
        (SimpleNamespace(url="https://opd.example.test", api_key="k", version="5.0", username="u",
                         instance_id="drydock", password=None, disable_ssl=True), True),
    ],
)
def test_credentials_from_the_attributes_its_signature_names(package_credentials, on_premises):
    names = inspect.signature(Credentials.__init__).parameters
    copied = {name: getattr(package_credentials, name) for name in names if hasattr(package_credentials, name)}
    credentials = Credentials(**copied)
    assert credentials.is_on_premises is on_premises
    assert credentials.disable_ssl is package_credentials.disable_ssl
