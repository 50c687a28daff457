"""Formats turn a rendered judge prompt into what an inference engine is sent."""

from __future__ import annotations

from typing import Any


class Format:
    """Base format: a single plain-text prompt, the system text first."""

    def format(self, system_prompt: str, text: str) -> Any:
        """The model input for one prompt."""
        return f"{system_prompt}\n\n{text}" if system_prompt else text


class PlainTextFormat(Format):
    """The format used when a judge is given none."""


class ChatAPIFormat(Format):
    """Chat messages: an optional system message, then the prompt as the user's message."""

    def format(self, system_prompt: str, text: str) -> list[dict[str, str]]:
        messages = [{"role": "system", "content": system_prompt}] if system_prompt else []
        messages.append({"role": "user", "content": text})
        return messages
