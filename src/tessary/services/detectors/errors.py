"""The one error a detector raises for input it cannot score."""


class BadDetectionRequest(ValueError):
    """The request cannot be scored as sent; the service answers it with status 400."""
