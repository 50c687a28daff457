"""Client library of the Lumeris AI service.

Modules:

- ``credentials``: :class:`Credentials`, where and how to sign in.
- ``client``: :class:`APIClient`, which obtains and renews a bearer token and
  sends JSON requests to the service.
- ``foundation_models_manager``: :class:`FoundationModelsManager`, which reads
  the service's foundation-model specifications.
- ``errors``: the exceptions raised by the library.

Service protocol (JSON over HTTP, every path below the credentials' ``url``):

- ``POST /v1/auth/token`` ``{"grant_type": "apikey", "apikey": K}`` (cloud) and
  ``POST /v1/auth/authorize`` ``{"username": U, "api_key": K}`` or
  ``{"username": U, "password": P}`` (on-premises platform) answer
  ``{"access_token": T, "token_type": "Bearer", "expires_in": seconds}``.
- ``GET /v1/foundation_model_specs?limit=N&start=S&model_id=M`` answers one page
  ``{"total_count", "limit", "first": {"href"}, "next": {"href"}?, "resources"}``.
- ``POST /v1/text/generation`` ``{"model_id", "input", "project_id", "parameters"}``
  answers ``{"model_id", "results": [{"generated_text", "generated_token_count",
  "input_token_count", "stop_reason"}]}``.
"""
